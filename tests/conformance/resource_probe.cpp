// Resource probe: FindResourceA, LoadResource, LockResource and SizeofResource
// on message files loaded as data files: the resources the manifest-based
// providers' files carry (WEVT_TEMPLATE, MUI), by number, "#number" and name,
// in any case. Built for the emulation and for Windows (run under Wine); the
// outputs must be equal.
//
// usage: resource_probe FILE...   files in the platform's path syntax
#include "../../src/platform/win32api.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void find(const char* file, HMODULE module, LPCSTR name, const char* nameShown, LPCSTR type,
          const char* typeShown) {
    SetLastError(0);
    HRSRC resource = FindResourceA(module, name, type);
    std::printf("%-32s %-6s %-16s -> ", file, nameShown, typeShown);
    if (!resource) {
        std::printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return;
    }
    DWORD size = SizeofResource(module, resource);
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, resource)));
    uint32_t digest = 2166136261u;
    for (DWORD i = 0; bytes && i < size; ++i)
        digest = (digest ^ bytes[i]) * 16777619u;
    std::printf("%lu bytes, digest %08x, same handle again: %s\n", static_cast<unsigned long>(size),
                digest, FindResourceA(module, name, type) == resource ? "yes" : "no");
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* file = std::strrchr(argv[i], '\\');
        file = file ? file + 1 : std::strrchr(argv[i], '/');
        file = file ? file + (*file == '/') : argv[i];
        HMODULE module = LoadLibraryExA(argv[i], nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) {
            std::printf("%s: LoadLibraryExA error %lu\n", file,
                        static_cast<unsigned long>(GetLastError()));
            continue;
        }
        find(file, module, MAKEINTRESOURCEA(1), "1", "WEVT_TEMPLATE", "WEVT_TEMPLATE");
        find(file, module, "#1", "#1", "wevt_template", "wevt_template");
        find(file, module, MAKEINTRESOURCEA(2), "2", "WEVT_TEMPLATE", "WEVT_TEMPLATE");
        find(file, module, MAKEINTRESOURCEA(1), "1", MAKEINTRESOURCEA(11), "RT_MESSAGETABLE");
        find(file, module, MAKEINTRESOURCEA(1), "1", "MUI", "MUI");
        find(file, module, "NAMED", "NAMED", "NOSUCHTYPE", "NOSUCHTYPE");
        FreeLibrary(module);
    }
    return 0;
}
