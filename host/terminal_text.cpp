#include "terminal_text.h"

#include "../src/platform/emu/codepage.h"

#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace {

// One character in the locale's set, or "?" when it has none for it.
class LocaleEncoder {
  public:
    LocaleEncoder() {
        const char* codeset = nl_langinfo(CODESET);
        utf8_ = codeset && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0);
        if (!utf8_)
            converter_ = iconv_open(codeset ? codeset : "ASCII", "UTF-32LE");
    }
    ~LocaleEncoder() {
        if (converter_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(converter_);
    }
    LocaleEncoder(const LocaleEncoder&) = delete;
    LocaleEncoder& operator=(const LocaleEncoder&) = delete;

    bool utf8() const { return utf8_; }

    void append(std::string& out, char32_t c) {
        if (c < 0x80 || converter_ == reinterpret_cast<iconv_t>(-1)) {
            out += c < 0x80 ? static_cast<char>(c) : '?';
            return;
        }
        unsigned char in[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
                               static_cast<unsigned char>(c >> 16),
                               static_cast<unsigned char>(c >> 24)};
        char buffer[16];
        char* inPointer = reinterpret_cast<char*>(in);
        char* outPointer = buffer;
        size_t inLeft = sizeof in, outLeft = sizeof buffer;
        iconv(converter_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(converter_, &inPointer, &inLeft, &outPointer, &outLeft) ==
            static_cast<size_t>(-1))
            out += '?';
        else
            out.append(buffer, outPointer);
    }

  private:
    bool utf8_ = false;
    iconv_t converter_ = reinterpret_cast<iconv_t>(-1);
};

} // namespace

std::string forTerminal(const std::u16string& text) {
    static LocaleEncoder encoder; // the locale is set once, before any text
    if (encoder.utf8())
        return emu::wideToUtf8(text);
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        encoder.append(out, c);
    }
    return out;
}

std::string ansiForTerminal(const std::string& ansi, unsigned codePage) {
    return forTerminal(emu::ansiToWide(ansi, codePage));
}

size_t terminalColumns(const std::string& text) {
    size_t columns = 0;
    for (unsigned char c : text)
        columns +=
            (c & 0xC0) != 0x80; // bytes that begin a character, in UTF-8 and single-byte sets
    return columns;
}
