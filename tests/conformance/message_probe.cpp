// Message probe: the same message ids and the same insertion strings, from the
// same message files, through whichever LoadLibraryExA and FormatMessageA it is
// linked with; and the same format strings through FORMAT_MESSAGE_FROM_STRING.
// Built for the emulation and for Windows (run under Wine); the outputs must be
// equal byte for byte.
//
// usage: message_probe FILE...   message files in the platform's path syntax
#include "../../src/platform/win32api.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string shown(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '\r')
            out += "\\r";
        else if (*p == '\n')
            out += "\\n";
        else if (*p == '\t')
            out += "\\t";
        else if (*p < 0x20 || *p >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", *p);
            out += hex;
        } else
            out += static_cast<char>(*p);
    }
    return out;
}

const char* const kStrings[] = {"first", "",      "third string", "4",   "five",   "six",
                                "seven", "eight", "nine",         "ten", "eleven", "twelve"};

void format(const char* label, DWORD flags, LPCVOID source, DWORD id, DWORD language) {
    ULONG_PTR args[12];
    for (int i = 0; i < 12; ++i)
        args[i] = reinterpret_cast<ULONG_PTR>(kStrings[i]);
    char* text = nullptr;
    SetLastError(0xdeadbeef);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags,
                             source, id, language, reinterpret_cast<LPSTR>(&text), 0,
                             reinterpret_cast<va_list*>(args));
    if (n == 0)
        std::printf("%-34s 0x%08lx -> 0 error %lu\n", label, static_cast<unsigned long>(id),
                    static_cast<unsigned long>(GetLastError()));
    else
        std::printf("%-34s 0x%08lx -> %lu [%s]\n", label, static_cast<unsigned long>(id),
                    static_cast<unsigned long>(n), shown(text).c_str());
    LocalFree(text);
}

// A format string with arguments of its own: numbers, texts, a wide text.
void withArguments(const char* label, const char* text, const ULONG_PTR* values) {
    char* out = nullptr;
    SetLastError(0xdeadbeef);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                 FORMAT_MESSAGE_FROM_STRING,
                             text, 0, 0, reinterpret_cast<LPSTR>(&out), 0,
                             reinterpret_cast<va_list*>(const_cast<ULONG_PTR*>(values)));
    if (n == 0)
        std::printf("%-34s -> 0 error %lu\n", label, static_cast<unsigned long>(GetLastError()));
    else
        std::printf("%-34s -> %lu [%s]\n", label, static_cast<unsigned long>(n),
                    shown(out).c_str());
    LocalFree(out);
}

void fromString(const char* label, const char* text, DWORD flags = 0) {
    format(label, FORMAT_MESSAGE_FROM_STRING | flags, text, 0, 0);
}

// FormatMessageA's length limit: a text of `length` characters, plain or
// through a %1 insert, into a buffer of `size` or allocated (`size` its least).
void longText(size_t length, DWORD size) {
    std::string text(length, 'x');
    const ULONG_PTR insert[] = {reinterpret_cast<ULONG_PTR>(text.c_str())};
    for (int how = 0; how < 3; ++how) {
        const char* source = how == 1 ? "%1" : text.c_str();
        DWORD flags = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                      (how == 2 ? FORMAT_MESSAGE_ALLOCATE_BUFFER : 0);
        std::vector<char> buffer(size + 1);
        char* allocated = nullptr;
        LPSTR out = how == 2 ? reinterpret_cast<LPSTR>(&allocated) : buffer.data();
        SetLastError(0xdeadbeef);
        DWORD n = FormatMessageA(flags, source, 0, 0, out, size,
                                 reinterpret_cast<va_list*>(const_cast<ULONG_PTR*>(insert)));
        std::printf("%-6s %5zu chars, size %5lu -> %lu error %lu\n",
                    how == 0   ? "text"
                    : how == 1 ? "insert"
                               : "alloc",
                    length, static_cast<unsigned long>(size), static_cast<unsigned long>(n),
                    n ? 0ul : static_cast<unsigned long>(GetLastError()));
        LocalFree(allocated);
    }
}

// Ids worth asking every file for: the samples', the test files', and some
// system error codes that Wine's own message files carry.
const DWORD kIds[] = {1,          2,          3,          6,          38,         87,
                      1000,       0x210,      0x3E8,      0x2B3A,     0x24,       0x25,
                      0x80000024, 0x80000033, 0x80001776, 0x80001779, 0xC0001B58, 0x40001B7D,
                      0xC0001067, 0x80000002, 0xB0010001, 12002,      0xC00D36B0, 0x12345,    22,         1311};

} // namespace

int main(int argc, char** argv) {
    fromString("escapes", "a%%b%nc%rd%te%.f%!g%bh%0never");
    fromString("inserts", "[%1] [%2] [%3] [%10] [%12] [%1%2]");
    fromString("printf inserts", "[%4!5s!] [%1!-8s!] [%3!.5s!] [%2!3s!]");
    fromString("line ends", "one\r\ntwo\nthree\rfour\r\n");
    fromString("ignore inserts", "[%1] %% %n %t %0 [%2]", FORMAT_MESSAGE_IGNORE_INSERTS);
    fromString("width turns breaks into blanks", "one\r\ntwo%nthree", 0xFF);
    fromString("trailing percent", "ends with %");
    fromString("empty", "");
    fromString("two digits then a digit", "%123");
    for (size_t length : {32766u, 32767u, 32768u})
        for (DWORD size : {0u, 32767u, 32768u})
            longText(length, size);

    static const unsigned short wide[] = {'w', 'i', 'd', 'e', 0};
    auto t = [](const void* p) { return reinterpret_cast<ULONG_PTR>(p); };
    const ULONG_PTR starWidth[] = {6, t("ab")};
    const ULONG_PTR starBoth[] = {8, 2, t("abcdef"), t("four")};
    const ULONG_PTR numbers[] = {5, 7, 0x2A, 0xBEEF, static_cast<ULONG_PTR>(-3)};
    const ULONG_PTR texts[] = {t(wide), t("abcdef")};
    withArguments("star width", "[%1!*s!]", starWidth);
    withArguments("star width and precision", "[%1!*.*s!] [%4]", starBoth);
    withArguments("I64 in an array", "[%1!I64u!] [%2!u!]", numbers);
    withArguments("pointer, hex, signed", "[%3!p!] [%4!08x!] [%5!d!]", numbers);
    withArguments("wide texts", "[%1!S!] [%1!ls!] [%1!.2S!] [%2!hS!]", texts);
    withArguments("precision and width of texts", "[%2!.3s!] [%2!-8s!|] [%2!8s!]", texts);
    withArguments("no closing mark", "[%2!s]", texts);
    withArguments("format past 30 characters", "[%2!0000000000000000000000000000005s!]", texts);
    withArguments("three stars", "[%1!**.*s!]", starBoth);

    for (int i = 1; i < argc; ++i) {
        const char* name = std::strrchr(argv[i], '\\');
        name = name ? name + 1 : std::strrchr(argv[i], '/');
        name = name ? name + (*name == '/') : argv[i];
        HMODULE module = LoadLibraryExA(argv[i], nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) {
            std::printf("%s: LoadLibraryExA error %lu\n", name,
                        static_cast<unsigned long>(GetLastError()));
            continue;
        }
        for (DWORD id : kIds) {
            std::string label = std::string(name) + " lang 0";
            format(label.c_str(), FORMAT_MESSAGE_FROM_HMODULE, module, id, 0);
        }
        std::string label = std::string(name) + " lang 0x409";
        format(label.c_str(), FORMAT_MESSAGE_FROM_HMODULE, module, 2, 0x409);
        label = std::string(name) + " lang 0x407";
        format(label.c_str(), FORMAT_MESSAGE_FROM_HMODULE, module, 2, 0x407);
        label = std::string(name) + " ignore inserts";
        format(label.c_str(), FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module,
               0x40001B7D, 0);
        FreeLibrary(module);
    }
    return 0;
}
