// Reading the newest records of a log: the cost must not grow with the log.
//
//   build/posix/bench/eventlog_bench
//
// Logs of 100, 10,000 and 1,000,000 records are written once into a temporary
// machine, as .evt files and (the Evtx benchmarks) as .evtx files of the same
// records; each benchmark then opens the System log as a refresh does.
#include "call_floor.h"
#include "src/eventlog/CEventLogReader.h"
#include "src/plugin/CLogMonitor.h"
#include "src/platform/emu/emu_control.h"
#include "src/logfiles/evt_file.h"
#include "src/logfiles/evtx_write.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

class BenchMachine {
  public:
    // In KESTRIN_BENCH_KEEP when that names a folder, which then keeps the
    // logs written for the next run (writing 1,000,000 records takes long
    // under valgrind).
    BenchMachine() {
        const char* keep = std::getenv("KESTRIN_BENCH_KEEP");
        char pattern[] = "/tmp/kestrin-bench-XXXXXX";
        keep_ = keep && *keep;
        root_ = keep_ ? std::string(keep) : std::string(mkdtemp(pattern));
        fs::create_directories(root_ + "/registry");
        fs::create_directories(root_ + "/drive_c/Windows/System32/config");
    }
    ~BenchMachine() {
        std::error_code ec;
        if (!keep_)
            fs::remove_all(root_, ec);
    }

    // Points the System log at a log of `records` records, written on first use.
    void useLog(long records, bool evtx = false) {
        std::string file = "Log" + std::to_string(records) + (evtx ? ".evtx" : ".evt");
        // Google Benchmark runs a benchmark several times over: a machine in
        // use stays as it is, its caches warm.
        if (file == current_ && emu::machineRoot() == root_)
            return;
        current_ = file;
        std::string path = root_ + "/drive_c/Windows/System32/config/" + file;
        if (evtx && !fs::exists(path)) {
            logfiles::evtx::Writer writer(1);
            logfiles::evtx::RecordSpec r;
            r.eventId = 0x1B7D;
            r.qualifiers = 0x4000;
            r.provider = u"Service Control Manager";
            r.computer = u"KESTRIN-PC";
            r.channel = u"System";
            r.strings = {u"Windows Update", u"running"};
            r.keywords = 0x0080000000000000ull;
            logfiles::evt::parseSid("S-1-5-18", r.sid);
            for (long n = 0; n < records; ++n) {
                r.created =
                    logfiles::evtx::fileTimeFromUnix(1700000000u + static_cast<uint32_t>(n));
                writer.append(r);
            }
            std::vector<uint8_t> image = writer.image();
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(image.data()),
                       static_cast<std::streamsize>(image.size()));
        }
        if (!fs::exists(path)) {
            logfiles::evt::LogWriter writer(static_cast<uint32_t>(records * 200 + 4096));
            for (long n = 0; n < records; ++n) {
                logfiles::evt::RecordSpec described;
                described.timeGenerated = described.timeWritten =
                    1700000000u + static_cast<uint32_t>(n);
                described.eventId = 0x40001B7Du;
                described.eventType = 4;
                described.source = u"Service Control Manager";
                described.computer = u"KESTRIN-PC";
                described.strings = {u"Windows Update", u"running"};
                logfiles::evt::parseSid("S-1-5-18", described.sid);
                writer.append(described);
            }
            std::vector<uint8_t> image = writer.image(false);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(image.data()),
                       static_cast<std::streamsize>(image.size()));
        }
        std::ofstream(root_ + "/registry/HKEY_LOCAL_MACHINE.reg")
            << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
               "Eventlog\\System]\r\n\"File\"=\"C:\\\\Windows\\\\System32\\\\config\\\\"
            << file
            << "\"\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\System\\"
               "Service Control Manager]\r\n\"EventMessageFile\"=\"%SystemRoot%\\\\System32\\\\"
               "kservice.dll\"\r\n";
        fs::copy_file(
            std::string(KESTRIN_SAMPLE_MACHINE) + "/drive_c/Windows/System32/kservice.dll",
            root_ + "/drive_c/Windows/System32/kservice.dll", fs::copy_options::overwrite_existing);
        emu::setMachineRoot(root_);
    }

  private:
    std::string root_;
    std::string current_;
    bool keep_ = false;
};

// Chooses `root` unless it is in use already (which keeps the caches warm).
void useMachine(const std::string& root) {
    if (emu::machineRoot() != root)
        emu::setMachineRoot(root);
}

// The bundled Windows 10 machine with a System log of 25 entries of one kind:
// a manifest-based provider's (Kernel-General 12, worded through its
// WEVT_TEMPLATE) or a classic source's (the Service Control Manager's 7037).
class ProviderMachine {
  public:
    explicit ProviderMachine(bool manifest) {
        char pattern[] = "/tmp/kestrin-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        fs::copy(KESTRIN_SAMPLE_MACHINE, root_, fs::copy_options::recursive);
        logfiles::evtx::Writer writer(1);
        for (int n = 0; n < 25; ++n) {
            logfiles::evtx::RecordSpec r;
            r.computer = u"KESTRIN-PC";
            r.channel = u"System";
            r.created = logfiles::evtx::fileTimeFromUnix(1700000000u + n);
            if (manifest) {
                r.style = logfiles::evtx::RecordSpec::Manifest;
                r.provider = u"Microsoft-Windows-Kernel-General";
                logfiles::evtx::parseGuid("{A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}", r.guid);
                r.eventId = 12;
                for (const char* v : {"10", "0", "19045", "3803", "0", "0"}) {
                    logfiles::evtx::TypedValue value;
                    logfiles::evtx::parseTypedValue("uint32", v, value);
                    r.values.push_back(value);
                }
                logfiles::evtx::TypedValue start;
                logfiles::evtx::parseTypedValue("filetime", "2026-12-08T06:59:57Z", start);
                r.values.push_back(start);
            } else {
                r.provider = u"Service Control Manager";
                r.eventId = 0x1B7D;
                r.qualifiers = 0x4000;
                r.strings = {u"Windows Update", u"running"};
            }
            writer.append(r);
        }
        std::vector<uint8_t> image = writer.image();
        std::ofstream(root_ + "/drive_c/Windows/System32/winevt/Logs/System.evtx",
                      std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    ~ProviderMachine() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    const char* root() const { return root_.c_str(); }

  private:
    std::string root_;
};

BenchMachine& machine() {
    static BenchMachine instance;
    return instance;
}

// Argument 0: the bundled machine's System log; N: the log of N records.
void chooseLog(benchmark::State& state) {
    if (state.range(0) == 0)
        useMachine(KESTRIN_SAMPLE_MACHINE);
    else
        machine().useLog(state.range(0));
}

void BM_OpenAndReadNewest(benchmark::State& state) {
    machine().useLog(state.range(0));
    for (auto _ : state) {
        CEventLogReader reader;
        reader.Open("System", "");
        DWORD newest = reader.GetOldestRecordNumber() + reader.GetRecordCount() - 1;
        CEventEntry entry;
        if (!reader.ReadEntry(newest, entry))
            state.SkipWithError("the newest record did not read");
        benchmark::DoNotOptimize(entry);
    }
}

void BM_OpenAndReadNewest25(benchmark::State& state) {
    machine().useLog(state.range(0));
    for (auto _ : state) {
        CEventLogReader reader;
        reader.Open("System", "");
        if (reader.ReadEntries(25, true) < 25)
            state.SkipWithError("fewer than 25 records read");
        benchmark::DoNotOptimize(reader.GetEntry(24));
    }
}

// What a LastNLogs refresh adds to the batch read: each of the 25 records read
// again by number, its message file loaded, the message formatted.
void BM_MessageTextsOfNewest25(benchmark::State& state) {
    machine().useLog(state.range(0));
    for (auto _ : state) {
        CEventLogReader reader;
        reader.Open("System", "");
        reader.ReadEntries(25, true);
        for (int32_t i = 0; i < 25; ++i) {
            std::string text = reader.GetEntryMessageText(reader.GetEntry(i));
            if (text.empty())
                state.SkipWithError("no message text");
            benchmark::DoNotOptimize(text);
        }
    }
}

extern "C" {
CLogMonitor* dllstartup(int hostValue, int loadOwnSettings);
int dllshutdown(CLogMonitor* monitor);
char* LastLogEntry(CLogMonitor* monitor);
char* LastNLogs(CLogMonitor* monitor);
}

// One refreshing query through the export, as the host makes it every few
// seconds: the clock moves on five seconds each time so that every call reads.
// Argument 0 is the bundled machine's System log.
void runQuery(benchmark::State& state, char* (*query)(CLogMonitor*), const char* root = nullptr,
              const char* log = "System", bool choose = true) {
    if (root)
        useMachine(root);
    else if (choose)
        chooseLog(state);
    CLogMonitor* monitor = dllstartup(0, 0);
    monitor->m_OpenLog = log;
    monitor->m_ParseString = "%1 - %2";
    int64_t now = 1800000000;
    // Choosing the machine drops the emulation's caches: the refresh that
    // reads its files cold is made before the measured ones.
    emu::setClock(now);
    query(monitor);
    for (auto _ : state) {
        emu::setClock(now += 5);
        benchmark::DoNotOptimize(query(monitor));
    }
    dllshutdown(monitor);
    emu::useRealClock();
}

// The floor of the same queries (call_floor.h), on the same logs, once its
// text is seen to be the plugin's.
void runFloor(benchmark::State& state, bool newest25) {
    chooseLog(state);
    CallFloor floor;
    CLogMonitor* monitor = dllstartup(0, 0);
    monitor->m_OpenLog = "System";
    monitor->m_ParseString = "%1 - %2";
    emu::setClock(1800000000);
    std::string plugin = (newest25 ? LastNLogs : LastLogEntry)(monitor);
    dllshutdown(monitor);
    emu::useRealClock();
    auto query = newest25 ? &CallFloor::NewestEntries : &CallFloor::NewestEntry;
    if ((floor.*query)("System", "%1 - %2") != plugin) {
        state.SkipWithError("the floor's text is not the plugin's");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize((floor.*query)("System", "%1 - %2"));
}
void BM_FloorLastLogEntry(benchmark::State& state) {
    runFloor(state, false);
}
void BM_FloorLastNLogs(benchmark::State& state) {
    runFloor(state, true);
}

void BM_LastLogEntry(benchmark::State& state) {
    runQuery(state, LastLogEntry);
}
void BM_LastNLogs(benchmark::State& state) {
    runQuery(state, LastNLogs);
}
// The same records in an .evtx log, as Windows 10 keeps them.
void BM_LastNLogsEvtx(benchmark::State& state) {
    machine().useLog(state.range(0), true);
    runQuery(state, LastNLogs, nullptr, "System", false);
}

// LastNLogs over 25 manifest-provider entries (1) or 25 classic ones (0).
void BM_LastNLogsByProviderKind(benchmark::State& state) {
    ProviderMachine kind(state.range(0) == 1);
    runQuery(state, LastNLogs, kind.root());
}

// LastNLogs on a machine made elsewhere (KESTRIN_BENCH_MACHINE, its log
// KESTRIN_BENCH_LOG): bench/parameter_strings_bench.sh makes one.
void BM_LastNLogsOfMachine(benchmark::State& state) {
    const char* root = std::getenv("KESTRIN_BENCH_MACHINE");
    const char* log = std::getenv("KESTRIN_BENCH_LOG");
    if (!root || !log) {
        state.SkipWithError("KESTRIN_BENCH_MACHINE and KESTRIN_BENCH_LOG name no machine");
        return;
    }
    runQuery(state, LastNLogs, root, log);
}

} // namespace

BENCHMARK(BM_LastNLogsOfMachine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LastLogEntry)->Arg(0)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_LastNLogs)->Arg(0)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_FloorLastLogEntry)->Arg(0)->Arg(1000000);
BENCHMARK(BM_FloorLastNLogs)->Arg(0)->Arg(1000000);
BENCHMARK(BM_LastNLogsEvtx)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_LastNLogsByProviderKind)->Arg(0)->Arg(1);
BENCHMARK(BM_MessageTextsOfNewest25)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_OpenAndReadNewest)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_OpenAndReadNewest25)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK_MAIN();
