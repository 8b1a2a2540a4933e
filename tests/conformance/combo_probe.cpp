// Combo box probe: a sorted drop-down list in a dialog made from an in-memory
// template, filled and searched the same way through whichever platform it is
// linked with. Built for the emulation and for Windows (run under Wine); the
// outputs must be equal.
#include "../../src/platform/win32api.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void dword(std::vector<WORD>& t, DWORD v) {
    t.push_back(static_cast<WORD>(v));
    t.push_back(static_cast<WORD>(v >> 16));
}
void text(std::vector<WORD>& t, const char* s) {
    while (*s)
        t.push_back(static_cast<unsigned char>(*s++));
    t.push_back(0);
}

std::vector<WORD> comboDialog() {
    std::vector<WORD> t = {1, 0xFFFF};
    dword(t, 0);
    dword(t, 0);
    dword(t, 0x80C00048);
    t.push_back(1);
    for (WORD v : {0, 0, 180, 100})
        t.push_back(v);
    t.push_back(0);
    t.push_back(0);
    text(t, "probe");
    t.push_back(8);
    t.push_back(0);
    t.push_back(0);
    text(t, "MS Shell Dlg");
    if (t.size() % 2)
        t.push_back(0);
    dword(t, 0);
    dword(t, 0);
    dword(t, 0x50210103); // CBS_SORT | CBS_DROPDOWNLIST, visible child
    for (WORD v : {10, 10, 140, 60})
        t.push_back(v);
    dword(t, 1001);
    t.push_back(0xFFFF);
    t.push_back(0x0085); // ComboBox
    text(t, "");
    t.push_back(0);
    return t;
}

void show(HWND combo, const char* label) {
    int count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    std::printf("%s:", label);
    for (int i = 0; i < count; ++i) {
        char entry[64] = {};
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
        std::printf(" [%s]", entry);
    }
    char current[64] = {};
    GetWindowTextA(combo, current, sizeof current);
    std::printf(" selected=%ld text=[%s]\n",
                static_cast<long>(SendMessageA(combo, CB_GETCURSEL, 0, 0)), current);
}

INT_PTR CALLBACK probe(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG)
        return FALSE;
    HWND combo = GetDlgItem(dialog, 1001);
    for (const char* name :
         {"System", "application", "Security", "App",    "Apple", "APPLICATION", "security",
          "Zeta",   "alpha",       "_under",   "1digit", "co-op", "coop",        "a-c",
          "ab",     "a-b",         "it's",     "its",    "-lead", "'quote"})
        std::printf("add %s -> %ld\n", name,
                    static_cast<long>(
                        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name))));
    show(combo, "sorted");
    for (long start : {-1L, 0L, 1L, 2L, 3L, 9L, 10L, 11L, 50L})
        for (const char* prefix : {"app", "APPLE", "s", "sec", "", "zz", "System"})
            std::printf(
                "find after %ld [%s] -> %ld\n", start, prefix,
                static_cast<long>(SendMessageA(combo, CB_FINDSTRING, static_cast<WPARAM>(start),
                                               reinterpret_cast<LPARAM>(prefix))));
    std::printf("select [sys] -> %ld\n",
                static_cast<long>(SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>("sys"))));
    show(combo, "after select");
    std::printf("settext -> %ld\n", static_cast<long>(SendMessageA(
                                        combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("typed"))));
    show(combo, "after settext");
    std::printf("setcursel 99 -> %ld\n",
                static_cast<long>(SendMessageA(combo, CB_SETCURSEL, 99, 0)));
    show(combo, "after bad setcursel");
    std::printf("setcursel 2 -> %ld\n", static_cast<long>(SendMessageA(combo, CB_SETCURSEL, 2, 0)));
    std::printf("text length %ld\n",
                static_cast<long>(SendMessageA(combo, WM_GETTEXTLENGTH, 0, 0)));
    SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("secu"));
    for (int size : {1, 3, 64}) {
        char cut[64];
        std::memset(cut, 'x', sizeof cut);
        LRESULT got = SendMessageA(combo, WM_GETTEXT, size, reinterpret_cast<LPARAM>(cut));
        cut[sizeof cut - 1] = 0;
        std::printf("gettext %d -> %ld [%s]\n", size, static_cast<long>(got), cut);
        std::memset(cut, 'x', sizeof cut);
        int length = GetWindowTextA(combo, cut, size);
        cut[sizeof cut - 1] = 0;
        std::printf("getwindowtext %d -> %d [%s]\n", size, length, cut);
    }
    std::printf("setwindowtext -> %d\n", static_cast<int>(SetWindowTextA(combo, "typed")));
    EndDialog(dialog, 7);
    return TRUE;
}

} // namespace

int main() {
    std::vector<WORD> dialogTemplate = comboDialog();
    INT_PTR result = DialogBoxIndirectParamA(
        nullptr, reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()), nullptr, probe, 0);
    std::printf("dialog -> %ld\n", static_cast<long>(result));
    return 0;
}
