// LocalAlloc / LocalFree over the C heap, counted in the ledger.
//
// LocalAlloc(flags, bytes): LMEM_FIXED blocks only (the handle is the address);
// LMEM_ZEROINIT clears the block. Returns NULL with ERROR_NOT_ENOUGH_MEMORY when
// the heap, or the fault table, refuses.
// LocalFree(block): NULL on success (also for NULL), as on Windows.
#include "../win32api.h"
#include "emu_control.h"
#include "machine.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<long> allocationsLeft{-1};

bool allocationRefused() {
    long left = allocationsLeft.load();
    while (left >= 0) {
        if (left == 0)
            return true;
        if (allocationsLeft.compare_exchange_weak(left, left - 1))
            return false;
    }
    return false;
}
} // namespace

namespace emu {
void failLocalAllocAfter(long count) {
    allocationsLeft = count;
}
void clearFaults() {
    allocationsLeft = -1;
    failEventLogReads(0, 0);
    refuseSeekReads(false);
    refuseImageResourceLoads(false);
    failPlatformCallAt(0);
}
} // namespace emu

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, size_t bytes) {
    if (allocationRefused() || (emu::platformCallDepth == 0 && emu::faultThisCall())) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // A zero-byte fixed block is still a distinct block on Windows.
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (flags & LMEM_ZEROINIT)
        std::memset(block, 0, bytes ? bytes : 1);
    emu::countLocalBlock(1);
    return block;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL block) {
    if (block) {
        std::free(block);
        emu::countLocalBlock(-1);
    }
    return nullptr;
}
