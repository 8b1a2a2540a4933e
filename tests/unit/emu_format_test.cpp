// FormatMessageA's inserts: what the platform takes from its arguments, and
// what it refuses before any work.
#include "src/platform/win32api.h"

#include <gtest/gtest.h>

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
