// GetLastError / SetLastError: one slot per thread, as on Windows.
#include "../win32api.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) {
    return lastError;
}

extern "C" void WINAPI SetLastError(DWORD code) {
    lastError = code;
}
