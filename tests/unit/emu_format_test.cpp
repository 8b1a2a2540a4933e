// FormatMessageA's inserts: what the platform takes from its arguments, and
// what it refuses before any work.
#include "src/platform/win32api.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Formatted {
    DWORD length, error;
    std::string text;
};

Formatted format(const char* text, std::vector<ULONG_PTR> args) {
    char* out = nullptr;
    SetLastError(0);
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        text, 0, 0, reinterpret_cast<LPSTR>(&out), 0, reinterpret_cast<va_list*>(args.data()));
    Formatted f{n, GetLastError(), out ? out : ""};
    LocalFree(out);
    return f;
}

ULONG_PTR text(const char* s) {
    return reinterpret_cast<ULONG_PTR>(s);
}

} // namespace

TEST(EmulatedFormatMessage, InsertsTakeTheirSlotsAndBadFormatsFailFirst) {
    static const char16_t wide[] = u"wide";
    const ULONG_PTR w = reinterpret_cast<ULONG_PTR>(wide);
    int written = 7;
    const struct {
        const char* format;
        std::vector<ULONG_PTR> args;
        const char* expected; // null: fails with ERROR_INVALID_PARAMETER
    } rows[] = {
        {"[%1!*s!]", {6, text("ab")}, "[    ab]"},
        {"[%1!*.*s!] [%4]", {8, 2, text("abcdef"), text("four")}, "[      ab] [four]"},
        {"[%1!-*s!|%3]", {5, text("x"), text("three")}, "[x    |three]"},
        {"[%1!I64u!] [%2!u!]", {5, 7}, "[5] [7]"},
        {"[%1!p!] [%2!08x!] [%3!d!]",
         {0x2A, 0xBEEF, static_cast<ULONG_PTR>(-3)},
         "[0000002A] [0000beef] [-3]"},
        {"[%1!S!] [%1!ls!] [%1!.2S!] [%2!hS!]", {w, text("narrow")}, "[wide] [wide] [wi] [narrow]"},
        {"[%1!.3s!] [%1!05s!] [%2!c!]", {text("abcdef"), 'Z'}, "[abc] [abcdef] [Z]"},
        {"[%1!n!]", {reinterpret_cast<ULONG_PTR>(&written)}, nullptr},
        {"[%1!I64n!]", {reinterpret_cast<ULONG_PTR>(&written)}, nullptr},
        {"[%1!f!]", {1}, nullptr},
        {"[%1!s]", {text("no closing mark")}, nullptr},
        {"[%1!0000000000000000000000000000005s!]", {text("too long a format")}, nullptr},
        {"[%1!99999999s!]", {text("too wide")}, nullptr},
        {"[%1!*s!]", {4000000000u, text("too wide from its argument")}, nullptr},
        {"[%1!.*u!]", {70000, 1}, nullptr},
    };
    for (const auto& row : rows) {
        Formatted f = format(row.format, row.args);
        if (row.expected) {
            EXPECT_EQ(row.expected, f.text) << row.format;
        } else {
            EXPECT_EQ(0u, f.length) << row.format;
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), f.error) << row.format;
        }
    }
    EXPECT_EQ(7, written) << "%n never reaches the C library";
}

namespace {
std::string formatList(const char* text, ...) {
    char out[256] = {};
    va_list list;
    va_start(list, text);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, text, 0, 0, out, sizeof out, &list);
    va_end(list);
    return n ? out : "(failed)";
}
} // namespace

TEST(EmulatedFormatMessage, AVaListIsReadAWordOfTheProcessAtATime) {
    // A 64-bit process passes an address and an I64 number as one word each.
    std::string heap = "on the heap";
    EXPECT_EQ("[on the heap] [1099511627776] [literal]",
              formatList("[%1] [%2!I64u!] [%3!s!]", heap.c_str(), 1ull << 40, "literal"));
    ULONG_PTR array[] = {ULONG_PTR(1) << 40, 7};
    char* out = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                   "%1!I64u! %2!u!", 0, 0, reinterpret_cast<LPSTR>(&out), 0,
                   reinterpret_cast<va_list*>(array));
    EXPECT_STREQ("1099511627776 7", out);
    LocalFree(out);
}

TEST(EmulatedFormatMessage, TheAFunctionTakesNoBufferOf32KAndFormatsNoMoreThan32767) {
    const struct {
        size_t length;
        DWORD size, flags, error; // error 0: formatted
    } rows[] = {
        {32766, 32767, 0, 0},
        {32767, 32768, 0, ERROR_INVALID_PARAMETER},
        {32767, 32768, FORMAT_MESSAGE_ALLOCATE_BUFFER, ERROR_INVALID_PARAMETER},
        {32767, 0, FORMAT_MESSAGE_ALLOCATE_BUFFER, 0},
        {32768, 0, FORMAT_MESSAGE_ALLOCATE_BUFFER, ERROR_INSUFFICIENT_BUFFER},
        {40000, 32767, 0, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& row : rows) {
        std::string text(row.length, 'x');
        for (const char* source : {text.c_str(), "%1"}) {
            ULONG_PTR args[] = {reinterpret_cast<ULONG_PTR>(text.c_str())};
            std::vector<char> buffer(row.size + 1);
            char* allocated = nullptr;
            bool allocate = row.flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
            SetLastError(0);
            DWORD n = FormatMessageA(
                FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | row.flags, source, 0,
                0, allocate ? reinterpret_cast<LPSTR>(&allocated) : buffer.data(), row.size,
                reinterpret_cast<va_list*>(args));
            EXPECT_EQ(row.error ? 0 : row.length, n) << row.length << " " << row.size << source[0];
            if (row.error)
                EXPECT_EQ(row.error, GetLastError()) << row.length << " " << row.size;
            LocalFree(allocated);
        }
    }
}
