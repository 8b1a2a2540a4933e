// Native modules of the process: GetModuleHandleExA and GetModuleFileNameA.
//
// A module handle is the base address of a loaded shared object, as an HMODULE
// is the base address of a loaded image on Windows; its file name is the path it
// was loaded from.
#include "../win32api.h"
#include "machine.h"

#include <cstring>
#include <dlfcn.h>

// GetModuleHandleExA: only GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS is emulated
// (the module that holds an address). FALSE with ERROR_INVALID_PARAMETER for
// other uses or a null result, ERROR_MOD_NOT_FOUND for an address in no module.
extern "C" BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        if (!module || !(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *module = nullptr;
        Dl_info info;
        if (!dladdr(nameOrAddress, &info) || !info.dli_fbase) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        *module = static_cast<HMODULE>(info.dli_fbase);
        return TRUE;
    });
}

// GetModuleFileNameA: the module's path, cut to size - 1 characters when it does
// not fit; then the result is `size` and the last error ERROR_INSUFFICIENT_BUFFER,
// as on Windows XP and later. 0 with ERROR_MOD_NOT_FOUND for an unknown module.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        Dl_info info;
        if (!module || !dladdr(module, &info) || !info.dli_fname) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        if (size == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        size_t length = std::strlen(info.dli_fname);
        if (length + 1 > size) {
            std::memcpy(fileName, info.dli_fname, size - 1);
            fileName[size - 1] = '\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        std::memcpy(fileName, info.dli_fname, length + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(length);
    });
}
