// GdiplusStartup / GdiplusShutdown: hands out tokens and takes them back.
//
// GdiplusStartup(token, input, output): Ok (0) with a new token; InvalidParameter
// (2) for a null token or input; UnsupportedGdiplusVersion (17) for a version
// other than 1. GdiplusShutdown(token) forgets a token it handed out and ignores
// any other. Live tokens are counted in the ledger.
#include "../win32api.h"
#include "machine.h"

#include <mutex>
#include <set>

namespace {
std::mutex tokenMutex;
std::set<ULONG_PTR> liveTokens;
ULONG_PTR nextToken = 0x1000;
} // namespace

extern "C" GpStatus WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                          void*) {
    return emu::platformCall<GpStatus>(3, false, [&]() -> GpStatus {
        if (!token || !input)
            return 2;
        if (input->GdiplusVersion != 1)
            return 17;
        std::lock_guard<std::mutex> lock(tokenMutex);
        *token = nextToken++;
        liveTokens.insert(*token);
        emu::countGdiplusToken(1);
        return 0;
    });
}

extern "C" void WINAPI GdiplusShutdown(ULONG_PTR token) {
    std::lock_guard<std::mutex> lock(tokenMutex);
    if (liveTokens.erase(token))
        emu::countGdiplusToken(-1);
}
