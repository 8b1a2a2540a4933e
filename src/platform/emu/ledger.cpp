// The ledger of platform resources the process holds, and the fault table.
#include "emu_control.h"
#include "machine.h"
#include "module_table.h"

#include <atomic>

namespace emu {

namespace {
std::atomic<long> localBlocks{0};
std::atomic<long> registryKeys{0};
std::atomic<long> gdiplusTokens{0};
std::atomic<long> gdiplusObjects{0};
std::atomic<long> callsMade{0};
std::atomic<long> failingCall{0};
} // namespace

thread_local int platformCallDepth = 0;

bool faultThisCall() {
    long made = ++callsMade;
    return failingCall > 0 && made == failingCall;
}

void failPlatformCallAt(long position) {
    callsMade = 0;
    failingCall = position;
}

long platformCallsMade() {
    return callsMade;
}

void countLocalBlock(long delta) {
    localBlocks += delta;
}
void countRegistryKey(long delta) {
    registryKeys += delta;
}
void countGdiplusToken(long delta) {
    gdiplusTokens += delta;
}
void countGdiplusObject(long delta) {
    gdiplusObjects += delta;
}
bool gdiplusRunning() {
    return gdiplusTokens > 0;
}

Ledger ledger() {
    Ledger l;
    l.localBlocks = localBlocks;
    l.registryKeys = registryKeys;
    l.gdiplusTokens = gdiplusTokens;
    l.gdiplusObjects = gdiplusObjects;
    l.eventLogHandles = openEventLogHandles();
    l.modules = loadedModules();
    return l;
}

} // namespace emu
