// The emulation's code page conversions for the Windows test host, which
// stands in for the event log service: Windows itself converts.
#include "../src/platform/emu/codepage.h"

#include <windows.h>

namespace emu {

std::string wideToAnsi(const std::u16string& wide, unsigned codePage) {
    if (wide.empty())
        return "";
    auto* text = reinterpret_cast<const wchar_t*>(wide.data());
    int length = static_cast<int>(wide.size());
    int size = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(codePage, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

std::u16string ansiToWide(const std::string& ansi, unsigned codePage) {
    if (ansi.empty())
        return u"";
    int length = static_cast<int>(ansi.size());
    int size = MultiByteToWideChar(codePage, 0, ansi.data(), length, nullptr, 0);
    std::u16string out(static_cast<size_t>(size > 0 ? size : 0), u'\0');
    if (size > 0)
        MultiByteToWideChar(codePage, 0, ansi.data(), length, reinterpret_cast<wchar_t*>(&out[0]),
                            size);
    return out;
}

std::string wideToAnsi(const std::u16string& wide) {
    return wideToAnsi(wide, GetACP());
}

std::u16string ansiToWide(const std::string& ansi) {
    return ansiToWide(ansi, GetACP());
}

std::string wideToUtf8(const std::u16string& wide) {
    return wideToAnsi(wide, CP_UTF8);
}

std::u16string utf8ToWide(const std::string& utf8) {
    return ansiToWide(utf8, CP_UTF8);
}

} // namespace emu
