// Loading a large hive: the cost must grow with its size, no faster.
//
//   build/posix/bench/registry_bench
//
// One key with N values, and N keys below one key (their headers in reverse
// order of their names, the worst order for a sorted list), each read by a
// first query after the machine is loaded afresh.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct HiveMachine {
    std::string root;
    explicit HiveMachine(const std::string& hive) {
        char pattern[] = "/tmp/kestrin-bench-XXXXXX";
        root = mkdtemp(pattern);
        fs::create_directories(root + "/registry");
        std::ofstream(root + "/registry/HKEY_CURRENT_USER.reg", std::ios::binary) << hive;
    }
    ~HiveMachine() {
        emu::setMachineRoot("");
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

void loadAndQuery(benchmark::State& state, const std::string& hive, const char* path,
                  const char* name) {
    HiveMachine machine(hive);
    for (auto _ : state) {
        emu::setMachineRoot(machine.root);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            state.SkipWithError("key not found");
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            state.SkipWithError("value not found");
        RegCloseKey(key);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_HiveWithManyValues(benchmark::State& state) {
    std::string hive = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Wide]\r\n";
    for (long i = 0; i < state.range(0); ++i)
        hive += "\"Value " + std::to_string(i) + "\"=\"text " + std::to_string(i) + "\"\r\n";
    loadAndQuery(state, hive, "Wide", "Value 0");
}

void BM_HiveWithManyKeys(benchmark::State& state) {
    std::string hive = "REGEDIT4\r\n\r\n";
    for (long i = state.range(0) - 1; i >= 0; --i)
        hive += "[HKEY_CURRENT_USER\\Many\\Key " + std::to_string(i) + "]\r\n\"V\"=dword:1\r\n";
    loadAndQuery(state, hive, "Many\\Key 0", "V");
}

} // namespace

BENCHMARK(BM_HiveWithManyValues)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HiveWithManyKeys)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
