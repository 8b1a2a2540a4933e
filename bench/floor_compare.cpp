// call_floor: the plugin's two queries against their floor (call_floor.h) on
// one machine, refresh after refresh, alternating: the texts must be the same
// bytes, and each side's time is printed (minimum and median).
//
//   build/posix/call_floor [--machine DIR] [--log L] [--template T] [--refreshes N]
//   wine build/win32/call_floor.exe --machine DIR ...     (scripts/wine-refresh-bench.sh)
//
// The plugin is the real module beside the program (KestrinPlugin.so or .dll),
// called through its exports as the host calls it, one instance for the whole
// run. Its refresh throttle is moved on five seconds before each query: in the
// emulation through the clock seam, under Wine by giving the module's clock
// import a clock that does so. Exits 1 when a text differs.
#include "call_floor.h"
#include "host/plugin_loader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include "host/machine_win.h"
#else
#include "src/platform/emu/emu_control.h"
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// A clock five seconds on at every reading, so that every query refreshes.
ULONGLONG fakeTicks = 0;
void WINAPI advancingClock(FILETIME* now) {
    if (fakeTicks == 0) {
        GetSystemTimeAsFileTime(now);
        fakeTicks = (static_cast<ULONGLONG>(now->dwHighDateTime) << 32) | now->dwLowDateTime;
    }
    fakeTicks += 5 * 10000000ULL;
    now->dwLowDateTime = static_cast<DWORD>(fakeTicks);
    now->dwHighDateTime = static_cast<DWORD>(fakeTicks >> 32);
}
#else
int64_t fakeSeconds = 1800000000;
#endif

void moveClockOn() {
#ifndef _WIN32
    emu::setClock(fakeSeconds += 5);
#endif
}

std::string settingsFile() {
#ifdef _WIN32
    char dir[MAX_PATH], file[MAX_PATH];
    if (GetTempPathA(MAX_PATH, dir) && GetTempFileNameA(dir, "kfl", 0, file))
        return file;
    return "";
#else
    char pattern[] = "/tmp/call-floor-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        return "";
    close(fd);
    emu::allowHostWrite(pattern);
    return pattern;
#endif
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

struct Side {
    const char* name;
    std::vector<double> ms;
};

void report(const char* query, const std::string& log, const std::string& outputTemplate,
            const Side& plugin, const Side& floor, size_t bytes) {
    double pluginMin = *std::min_element(plugin.ms.begin(), plugin.ms.end());
    double floorMin = *std::min_element(floor.ms.begin(), floor.ms.end());
    double pluginMedian = median(plugin.ms), floorMedian = median(floor.ms);
    std::printf("%s, log \"%s\", template \"%s\": %zu refreshes each, alternating\n", query,
                log.c_str(), outputTemplate.c_str(), plugin.ms.size());
    for (const Side* side : {&plugin, &floor}) {
        std::vector<double> sorted = side->ms;
        std::sort(sorted.begin(), sorted.end());
        auto at = [&](double share) {
            return sorted[static_cast<size_t>(share * (sorted.size() - 1))];
        };
        std::printf("  %-7s min %8.3f ms  median %8.3f ms  (tenth %.3f, nine tenths %.3f)\n",
                    side->name, sorted.front(), median(side->ms), at(0.1), at(0.9));
    }
    std::printf("  plugin/floor %.3f (min), %.3f (median); the same %zu bytes\n",
                pluginMin / floorMin, pluginMedian / floorMedian, bytes);
}

} // namespace

int main(int argc, char** argv) {
    std::string machine, log = "System", outputTemplate = "%1 - %2", query = "both";
    std::string modulePath = defaultModulePath();
    int refreshes = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--machine")
            machine = value;
        else if (name == "--log")
            log = value;
        else if (name == "--template")
            outputTemplate = value;
        else if (name == "--refreshes")
            refreshes = std::max(1, std::atoi(value.c_str()));
        else if (name == "--query")
            query = value;
        else if (name == "--module")
            modulePath = value;
        else {
            std::fprintf(stderr, "call_floor: unknown option %s\n", name.c_str());
            return 2;
        }
    }
#ifdef _WIN32
    std::string error;
    if (!machine.empty() && !installMachine(machine, error)) {
        std::fprintf(stderr, "call_floor: %s\n", error.c_str());
        return 1;
    }
#else
    if (!machine.empty())
        emu::setMachineRoot(machine);
#endif
    PluginModule module(modulePath);
    if (!module.loaded() || !module.complete()) {
        std::fprintf(stderr, "call_floor: cannot use %s: %s\n", modulePath.c_str(),
                     module.error().c_str());
        return 1;
    }
#ifdef _WIN32
    // Both sides read the machine's logs through the same reader.
    auto plugin = static_cast<HMODULE>(module.nativeHandle());
    if (!machine.empty() && (redirectEventLogImports(plugin) != 5 ||
                             redirectEventLogImports(GetModuleHandleA(nullptr)) != 5)) {
        std::fprintf(stderr, "call_floor: the event log imports could not be redirected\n");
        return 1;
    }
    if (replaceImport(plugin, "kernel32.dll", "GetSystemTimeAsFileTime",
                      reinterpret_cast<void*>(advancingClock)) != 1) {
        std::fprintf(stderr, "call_floor: the plugin's clock import could not be replaced\n");
        return 1;
    }
#endif
    std::string settings = settingsFile();
    WritePrivateProfileStringA("Floor", "OpenLog", log.c_str(), settings.c_str());
    WritePrivateProfileStringA("Floor", "ParseString", outputTemplate.c_str(), settings.c_str());
    PluginRecord* record = module.dllstartup(0, 0);
    module.load_settings(record, settings.c_str(), "Floor");
    std::remove(settings.c_str());

    CallFloor floor;
    int status = 0;
    struct Query {
        const char* name;
        const char* option; // its --query value
        plugin_api::QueryFn plugin;
        std::string (CallFloor::*floor)(const std::string&, const std::string&);
    };
    const Query queries[] = {
        {"LastNLogs", "last", module.LastNLogs, &CallFloor::NewestEntries},
        {"LastLogEntry", "entry", module.LastLogEntry, &CallFloor::NewestEntry}};
    for (const Query& q : queries) {
        if (query != "both" && query != q.option)
            continue;
        Side pluginSide{"plugin", {}}, floorSide{"floor", {}};
        size_t bytes = 0;
        // Three rounds to warm both up, then the measured ones.
        for (int round = -3; round < refreshes; ++round) {
            using Clock = std::chrono::steady_clock;
            moveClockOn();
            auto start = Clock::now();
            const char* pluginText = q.plugin(record);
            auto middle = Clock::now();
            std::string floorText = (floor.*q.floor)(log, outputTemplate);
            auto end = Clock::now();
            if (floorText != pluginText) {
                size_t at = 0;
                while (pluginText[at] && at < floorText.size() && pluginText[at] == floorText[at])
                    ++at;
                std::fprintf(stderr,
                             "call_floor: %s differs from its floor at byte %zu:\n  plugin: "
                             "%.80s\n  floor:  %.80s\n",
                             q.name, at, pluginText + std::min(at, std::strlen(pluginText)),
                             floorText.c_str() + at);
                status = 1;
                break;
            }
            bytes = floorText.size();
            if (round < 0)
                continue;
            pluginSide.ms.push_back(
                std::chrono::duration<double, std::milli>(middle - start).count());
            floorSide.ms.push_back(std::chrono::duration<double, std::milli>(end - middle).count());
        }
        if (!pluginSide.ms.empty() && status == 0)
            report(q.name, log, outputTemplate, pluginSide, floorSide, bytes);
    }
    module.dllshutdown(record);
    return status;
}
