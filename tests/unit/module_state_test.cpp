// The module's live instances, its current one, and its behaviour when memory
// runs out. These call the exports linked into the test, so the module-wide
// state can be read directly.
#include "src/platform/emu/emu_control.h"
#include "src/plugin/module_state.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
CLogMonitor* dllstartup(int hostValue, int loadOwnSettings);
int dllshutdown(CLogMonitor* monitor);
int load_settings(CLogMonitor* monitor, const char* fileName, const char* section);
}

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Every operator new of the process goes through here, so a test can make the
// Nth allocation fail.
namespace {
std::atomic<long> allocationsLeft{-1};
}

void* operator new(std::size_t size) {
    long left = allocationsLeft.load();
    if (left == 0)
        throw std::bad_alloc();
    if (left > 0)
        allocationsLeft = left - 1;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

TEST(ModuleState, TheCurrentInstanceIsTheNewestThatStillLives) {
    TestMachine machine;
    EXPECT_EQ(nullptr, g_CurrentMonitor);
    CLogMonitor* a = dllstartup(0, 0);
    CLogMonitor* b = dllstartup(0, 0);
    CLogMonitor* c = dllstartup(0, 0);
    EXPECT_EQ(c, g_CurrentMonitor);
    dllshutdown(b);
    EXPECT_EQ(c, g_CurrentMonitor) << "shutting down another instance leaves the current one";
    dllshutdown(c);
    EXPECT_EQ(a, g_CurrentMonitor) << "b is gone, so a is the newest that lives";
    EXPECT_FALSE(IsLiveMonitor(b));
    dllshutdown(a);
    EXPECT_EQ(nullptr, g_CurrentMonitor);
}

TEST(ModuleState, RunningOutOfMemoryNeverEscapesAndLeavesNothingBehind) {
    TestMachine machine(KESTRIN_SAMPLE_MACHINE);
    machine.writeFile("drive_c/Program Files/Velmora/plugins/unit_tests.INI",
                      "[Kestrin Settings]\r\nOpenLog=Application\r\nParseString=%1 %2 %3\r\n");
    emu::Ledger before = emu::ledger();
    bool succeeded = false;
    for (long allowed = 0; allowed < 5000 && !succeeded; ++allowed) {
        allocationsLeft = allowed;
        CLogMonitor* monitor = nullptr;
        EXPECT_NO_THROW(monitor = dllstartup(0, 1));
        allocationsLeft = -1;
        if (monitor) {
            succeeded = monitor->m_OpenLog == "Application";
            EXPECT_EQ(0, dllshutdown(monitor));
        }
        EXPECT_EQ(nullptr, g_CurrentMonitor) << "after " << allowed << " allocations";
        EXPECT_EQ(before.registryKeys, emu::ledger().registryKeys);
        EXPECT_EQ(before.gdiplusTokens, emu::ledger().gdiplusTokens);
    }
    EXPECT_TRUE(succeeded) << "enough memory lets the start-up load finish";
}
