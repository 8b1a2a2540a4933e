// Conversions between UTF-16 and the machine's ANSI code page, as the A
// functions of the platform make them, and between UTF-16 and UTF-8, the form
// the emulation keeps names in. Characters the code page lacks become "?", as
// WideCharToMultiByte's default character; bytes it cannot decode become "?"
// too.
#pragma once

#include <string>

namespace emu {

// In the machine's code page (GetACP).
std::string wideToAnsi(const std::u16string& wide);
std::u16string ansiToWide(const std::string& ansi);

// In the code page given: 1252 and the double-byte and 125x pages.
std::string wideToAnsi(const std::u16string& wide, unsigned codePage);
std::u16string ansiToWide(const std::string& ansi, unsigned codePage);

std::string wideToUtf8(const std::u16string& wide);
// How many UTF-16 units `utf8` makes, counted without converting it.
size_t utf16Length(const std::string& utf8);
std::u16string utf8ToWide(const std::string& utf8);

} // namespace emu
