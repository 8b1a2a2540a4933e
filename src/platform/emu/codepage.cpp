// Windows-1252 is converted by table, which keeps its five undefined bytes
// as Windows does (each maps to the code point of the same number); every
// other page through iconv, one converter per page and thread.
#include "codepage.h"

#include "../win32api.h"

#include <atomic>
#include <cstdio>
#include <iconv.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>

namespace emu {

namespace {

const char16_t cp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t byteToWide(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F && cp1252High[b - 0x80])
        return cp1252High[b - 0x80];
    return b;
}

char wideTo1252(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || (c >= 0x80 && c <= 0x9F && !cp1252High[c - 0x80]))
        return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (cp1252High[i] == c)
            return static_cast<char>(0x80 + i);
    return '?';
}

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using Converter = std::unique_ptr<void, IconvCloser>;

// A converter from `from` to `to`, or null where iconv lacks the page.
iconv_t converter(const std::string& from, const std::string& to) {
    thread_local std::map<std::string, Converter> open;
    std::string name = from + ">" + to;
    auto it = open.find(name);
    if (it == open.end()) {
        iconv_t cd = iconv_open(to.c_str(), from.c_str());
        void* held = cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd;
        it = open.emplace(name, Converter(held)).first;
    }
    return static_cast<iconv_t>(it->second.get());
}

std::string pageName(unsigned codePage) {
    if (codePage == 65001)
        return "UTF-8";
    if (codePage == 20127)
        return "ASCII";
    return "CP" + std::to_string(codePage);
}

// A page this machine's iconv lacks is never taken for another: its texts keep
// ASCII and show "?" for the rest, and the emulation says so once.
char16_t unconvertible(unsigned codePage) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        std::fprintf(stderr,
                     "win32emu: the machine's code page %u cannot be converted here: its texts "
                     "keep ASCII and show \"?\" for every other character\n",
                     codePage);
    return u'?';
}

} // namespace

std::string wideToAnsi(const std::u16string& wide, unsigned codePage) {
    std::string out;
    out.reserve(wide.size());
    iconv_t cd = codePage == 1252 ? nullptr : converter("UTF-16LE", pageName(codePage));
    if (!cd) {
        for (char16_t c : wide)
            out += codePage == 1252 ? wideTo1252(c)
                   : c < 0x80       ? static_cast<char>(c)
                                    : static_cast<char>(unconvertible(codePage));
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    // One character at a time, so a character the page lacks becomes "?" and
    // the rest goes on.
    for (size_t i = 0; i < wide.size(); ++i) {
        size_t units = (wide[i] >= 0xD800 && wide[i] < 0xDC00 && i + 1 < wide.size()) ? 2 : 1;
        char in[4] = {static_cast<char>(wide[i] & 0xFF), static_cast<char>(wide[i] >> 8)};
        if (units == 2) {
            in[2] = static_cast<char>(wide[i + 1] & 0xFF);
            in[3] = static_cast<char>(wide[i + 1] >> 8);
        }
        char bytes[8];
        char* inPtr = in;
        char* outPtr = bytes;
        size_t inLeft = units * 2, outLeft = sizeof bytes;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += '?';
        } else {
            out.append(bytes, outPtr);
        }
        i += units - 1;
    }
    return out;
}

std::u16string ansiToWide(const std::string& ansi, unsigned codePage) {
    std::u16string out;
    out.reserve(ansi.size());
    iconv_t cd = codePage == 1252 ? nullptr : converter(pageName(codePage), "UTF-16LE");
    if (!cd) {
        for (char c : ansi) {
            auto byte = static_cast<unsigned char>(c);
            out += codePage == 1252 ? byteToWide(byte)
                   : byte < 0x80    ? static_cast<char16_t>(byte)
                                    : unconvertible(codePage);
        }
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* inPtr = const_cast<char*>(ansi.data());
    size_t inLeft = ansi.size();
    std::string wideBytes;
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        wideBytes.append(buffer, outPtr);
        if (done == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte the page cannot decode, or a lead byte at the end.
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            wideBytes += "?";
            wideBytes += '\0';
            ++inPtr;
            --inLeft;
        }
    }
    for (size_t i = 0; i + 1 < wideBytes.size(); i += 2)
        out += static_cast<char16_t>(static_cast<unsigned char>(wideBytes[i]) |
                                     static_cast<unsigned char>(wideBytes[i + 1]) << 8);
    return out;
}

std::string wideToAnsi(const std::u16string& wide) {
    return wideToAnsi(wide, GetACP());
}

std::u16string ansiToWide(const std::string& ansi) {
    return ansiToWide(ansi, GetACP());
}

std::string wideToUtf8(const std::u16string& wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        // A lone surrogate is kept as its own three bytes, so it comes back.
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

// Calls `take` with each code point of `utf8`, or with '?' for a byte that
// does not begin a whole sequence.
template <typename Take> void decodeUtf8(const std::string& utf8, Take take) {
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra == 3 ? c & 0x07 : extra == 2 ? c & 0x0F : extra == 1 ? c & 0x1F : c;
        size_t end = i + 1 + extra;
        bool whole = c < 0x80 || (c >= 0xC0 && end <= utf8.size());
        for (size_t k = i + 1; whole && k < end; ++k) {
            unsigned char next = static_cast<unsigned char>(utf8[k]);
            whole = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        take(whole ? cp : uint32_t('?'));
        i = whole ? end : i + 1;
    }
}

} // namespace

size_t utf16Length(const std::string& utf8) {
    size_t units = 0;
    decodeUtf8(utf8, [&](uint32_t cp) { units += cp >= 0x10000 ? 2 : 1; });
    return units;
}

std::u16string utf8ToWide(const std::string& utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    decodeUtf8(utf8, [&](uint32_t cp) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    });
    return out;
}

} // namespace emu
