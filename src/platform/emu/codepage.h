// Conversions between UTF-16 and the machine's ANSI code page (Windows-1252),
// as the A functions of the platform make them. Characters the code page lacks
// become "?", as WideCharToMultiByte's default character.
#pragma once

#include <string>

namespace emu {

std::string wideToAnsi(const std::u16string& wide);
std::u16string ansiToWide(const std::string& ansi);

} // namespace emu
