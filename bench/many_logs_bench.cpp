// A machine that registers a hundred thousand event logs: the configuration
// dialog's list and a refresh's check of the log's name.
//
//   build/posix/bench/many_logs_bench
#include "src/config/property_dialog_layout.h"
#include "src/eventlog/CEventLogReader.h"
#include "src/platform/emu/emu_control.h"
#include "src/plugin/CLogMonitor.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

extern "C" {
CLogMonitor* dllstartup(int hostValue, int loadOwnSettings);
int dllshutdown(CLogMonitor* monitor);
int configure();
}

namespace {

class ManyLogs {
  public:
    ManyLogs() {
        char pattern[] = "/tmp/kestrin-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        fs::create_directories(root_ + "/registry");
        fs::create_directories(root_ + "/drive_c/Windows/System32");
        std::ofstream hive(root_ + "/registry/HKEY_LOCAL_MACHINE.reg");
        hive << "REGEDIT4\r\n\r\n";
        const std::string key =
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";
        for (int n = 0; n < 100000; ++n)
            hive << key << "Log " << n << "]\r\n";
        hive << key << "System]\r\n" << key << "System\\Kestrin Source]\r\n";
        emu::setMachineRoot(root_);
    }
    ~ManyLogs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

  private:
    std::string root_;
};

ManyLogs& machine() {
    static ManyLogs instance;
    return instance;
}

// What a refresh asks first: is the log's name a registered log?
void BM_OpenARegisteredLog(benchmark::State& state) {
    machine();
    for (auto _ : state) {
        CEventLogReader reader;
        benchmark::DoNotOptimize(reader.Open("System", ""));
    }
}

// A source's name: found only by looking under every log.
void BM_OpenBySourceName(benchmark::State& state) {
    machine();
    for (auto _ : state) {
        CEventLogReader reader;
        benchmark::DoNotOptimize(reader.Open("Kestrin Source", ""));
    }
}

// The dialog opened on all of them and accepted.
void BM_ConfigureDialog(benchmark::State& state) {
    machine();
    emu::setDialogPresenter([](HWND dialog) { emu::pressButton(dialog, IDCANCEL); });
    CLogMonitor* monitor = dllstartup(0, 0);
    for (auto _ : state)
        configure();
    dllshutdown(monitor);
    emu::setDialogPresenter(nullptr);
}

} // namespace

BENCHMARK(BM_OpenARegisteredLog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenBySourceName)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConfigureDialog)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
