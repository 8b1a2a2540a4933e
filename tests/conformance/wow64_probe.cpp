// WoW64 probe: what a 32-bit process on 64-bit Windows gets from the loader,
// the file system redirector and registry handles. The machine (or prefix) has
// x64only.dll, a 64-bit message file, only in the native system directory,
// k32.dll, a 32-bit one, only in SysWOW64, and SysWOW64\k.ini, and its HKLM
// holds wow64_registry.reg (imported by a 64-bit reg.exe). Built for the
// emulation and for Windows (run as a 32-bit program in a 64-bit Wine prefix);
// the outputs must be equal.
#include "../../src/platform/win32api.h"

#include <cstdio>
#include <initializer_list>

namespace {

const DWORD kImage = DONT_RESOLVE_DLL_REFERENCES, kData = LOAD_LIBRARY_AS_DATAFILE,
            kResource = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

// Whether the module holds message 0x40001B7D (x64only) or 0xC0001B58 (k32).
const char* messages(HMODULE module) {
    for (DWORD id : {0x40001B7Du, 0xC0001B58u}) {
        char* text = nullptr;
        DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 module, id, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        LocalFree(text);
        if (n)
            return id == 0x40001B7Du ? "64-bit messages" : "32-bit messages";
    }
    return "no messages";
}

void load(const char* path, DWORD flags) {
    SetLastError(0);
    HMODULE module = LoadLibraryExA(path, nullptr, flags);
    if (!module) {
        std::printf("%-42s flags %-2lu -> error %lu\n", path, static_cast<unsigned long>(flags),
                    static_cast<unsigned long>(GetLastError()));
        return;
    }
    std::printf("%-42s flags %-2lu -> loaded, %s\n", path, static_cast<unsigned long>(flags),
                messages(module));
    FreeLibrary(module);
}

// A key of HKLM\SOFTWARE opened with `flags`, and what its value "View" says.
void openView(HKEY root, const char* rootName, const char* path, REGSAM flags) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path, 0, KEY_READ | flags, &key);
    char view[32] = "-";
    DWORD size = sizeof view - 1;
    if (status == ERROR_SUCCESS &&
        RegQueryValueExA(key, "View", nullptr, nullptr, reinterpret_cast<BYTE*>(view), &size) !=
            ERROR_SUCCESS)
        std::snprintf(view, sizeof view, "no value");
    if (key)
        RegCloseKey(key);
    std::printf("%s\\%s flags 0x%03lx -> %ld %s\n", rootName, path,
                static_cast<unsigned long>(flags), static_cast<long>(status),
                status == ERROR_SUCCESS ? view : "");
}

} // namespace

int main() {
    // The registry's two views: WOW6432Node, the 64-bit view, the keys shared.
    for (const char* path :
         {"SOFTWARE\\KestrinViews\\Only64", "SOFTWARE\\KestrinViews\\Only32",
          "SOFTWARE\\KestrinViews\\Both", "SOFTWARE\\WOW6432Node\\KestrinViews\\Only32",
          "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WINEVT\\Publishers\\"
          "{9E814AAD-3204-11D2-9A82-006008A86939}",
          "SOFTWARE\\Microsoft\\EventSystem\\KestrinShared", "SYSTEM\\KestrinViews"})
        for (REGSAM flags : {0x000, 0x100, 0x200, 0x300})
            openView(HKEY_LOCAL_MACHINE, "HKLM", path, flags);
    // The view is the call's, not the parent handle's.
    HKEY software = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ | 0x100, &software);
    for (REGSAM flags : {0x000, 0x100})
        openView(software, "SOFTWARE(64)", "KestrinViews\\Only64", flags);
    RegCloseKey(software);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software);
    for (REGSAM flags : {0x000, 0x100})
        openView(software, "SOFTWARE(32)", "KestrinViews\\Only32", flags);
    RegCloseKey(software);

    for (const char* path :
         {"C:\\windows\\system32\\x64only.dll", "C:\\windows\\sysnative\\x64only.dll",
          "C:\\WINDOWS\\SYSNATIVE\\x64only.dll", "C:\\windows\\system32\\k32.dll",
          "C:\\windows\\syswow64\\k32.dll", "C:\\windows\\sysnative\\k32.dll", "k32.dll",
          "C:\\windows\\system32\\missing.dll", "C:\\no such folder\\x.dll",
          "C:\\no such folder\\deeper\\x.dll"})
        for (DWORD flags : {kImage, kData, kResource})
            load(path, flags);

    HMODULE first = LoadLibraryExA("C:\\windows\\system32\\k32.dll", nullptr, kData);
    HMODULE second = LoadLibraryExA("C:\\windows\\system32\\k32.dll", nullptr, kData);
    std::printf("two data-file loads: %s handles\n", first == second ? "the same" : "two");
    FreeLibrary(first);
    FreeLibrary(second);

    char value[32] = {};
    GetPrivateProfileStringA("S", "k", "none", value, sizeof value, "C:\\windows\\system32\\k.ini");
    std::printf("system32\\k.ini -> %s\n", value);

    // A handle keeps the access it was opened with.
    HKEY created = nullptr, read = nullptr, query = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\KestrinWow64Probe\\Sub", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &created, nullptr);
    RegCloseKey(created);
    RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KestrinWow64Probe", 0, KEY_READ, &read);
    RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KestrinWow64Probe", 0, KEY_QUERY_VALUE, &query);
    const BYTE data[] = "x";
    char name[64];
    DWORD size = sizeof name;
    std::printf("set value through KEY_READ -> %ld\n",
                static_cast<long>(RegSetValueExA(read, "V", 0, REG_SZ, data, sizeof data)));
    std::printf("enumerate through KEY_QUERY_VALUE -> %ld\n",
                static_cast<long>(
                    RegEnumKeyExA(query, 0, name, &size, nullptr, nullptr, nullptr, nullptr)));
    size = sizeof name;
    std::printf(
        "enumerate through KEY_READ -> %ld\n",
        static_cast<long>(RegEnumKeyExA(read, 0, name, &size, nullptr, nullptr, nullptr, nullptr)));
    RegCloseKey(read);
    RegCloseKey(query);
    return 0;
}
