// The system clock and the machine's ANSI code page.
//
// GetSystemTimeAsFileTime: the host's clock, or the one emu::setClock set, in
// 100-nanosecond units since 1601-01-01 UTC.
// GetACP: HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage, value ACP; 1252
// when absent; read once per machine, as Windows reads it when it starts. IsDBCSLeadByte: whether a
// byte starts a two-byte character in that code page (932, 936, 949 and 950 have lead bytes; others
// none).
#include "../win32api.h"
#include "emu_control.h"
#include "machine.h"

#include <atomic>
#include <chrono>
#include <string>

namespace {

std::atomic<bool> clockSet{false};
std::atomic<int> cachedCodePage{0}; // read once per machine, as Windows reads it at boot
std::atomic<int64_t> clockSeconds{0};
const int64_t kUnixEpochIn100ns = 116444736000000000LL;

} // namespace

namespace emu {
void resetCodePage() {
    cachedCodePage = 0;
}

void setClock(int64_t unixSeconds) {
    clockSeconds = unixSeconds;
    clockSet = true;
}
void useRealClock() {
    clockSet = false;
}
} // namespace emu

extern "C" void WINAPI GetSystemTimeAsFileTime(PFILETIME systemTime) {
    int64_t ticks;
    if (clockSet) {
        ticks = clockSeconds * 10000000LL + kUnixEpochIn100ns;
    } else {
        auto since = std::chrono::system_clock::now().time_since_epoch();
        ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 +
                kUnixEpochIn100ns;
    }
    systemTime->dwLowDateTime = static_cast<DWORD>(ticks);
    systemTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
}

extern "C" UINT WINAPI GetACP(void) {
    int page = cachedCodePage;
    if (page == 0) {
        // Not a call that can fail: the page the registry names, or 1252.
        try {
            page = static_cast<int>(emu::registryCodePage());
        } catch (...) {
            page = 1252;
        }
        cachedCodePage = page;
    }
    return static_cast<UINT>(page);
}

extern "C" BOOL WINAPI IsDBCSLeadByte(BYTE c) {
    switch (GetACP()) {
    case 932:
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950:
        return c >= 0x81 && c <= 0xFE;
    default:
        return FALSE;
    }
}
