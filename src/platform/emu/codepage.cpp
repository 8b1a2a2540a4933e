#include "codepage.h"

namespace emu {

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F; 0 marks the five bytes
// it leaves undefined (they map to the same code point, as Windows maps them).
const char16_t cp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t byteToWide(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F && cp1252High[b - 0x80])
        return cp1252High[b - 0x80];
    return b;
}

} // namespace

std::string wideToAnsi(const std::u16string& wide) {
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) ||
            (c >= 0x80 && c <= 0x9F && !cp1252High[c - 0x80])) {
            out += static_cast<char>(c);
            continue;
        }
        char mapped = '?';
        for (int i = 0; i < 32; ++i)
            if (cp1252High[i] == c && c != 0)
                mapped = static_cast<char>(0x80 + i);
        out += mapped;
    }
    return out;
}

std::u16string ansiToWide(const std::string& ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char c : ansi)
        out += byteToWide(static_cast<unsigned char>(c));
    return out;
}

} // namespace emu
