// libFuzzer target: arbitrary bytes as a log's .evt file, read through the
// emulated event log by CEventLogReader in every way the plugin reads, and as a
// record handed straight to DecodeRecord.
#include "src/eventlog/CEventLogReader.h"
#include "src/platform/emu/emu_control.h"
#include "temp_folder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string machine;

void prepareMachine() {
    static TempFolder folder("/tmp/kestrin-fuzz-XXXXXX");
    machine = folder.path;
    fs::create_directories(machine + "/registry");
    fs::create_directories(machine + "/drive_c/Windows/System32/config");
    std::ofstream(machine + "/registry/HKEY_LOCAL_MACHINE.reg")
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\"
           "System]\r\n\"File\"=\"C:\\\\Windows\\\\System32\\\\config\\\\SysEvent.Evt\"\r\n";
    emu::setMachineRoot(machine);
}

void readEveryWay() {
    CEventLogReader reader;
    if (!reader.Open("System", ""))
        return;
    DWORD oldest = reader.GetOldestRecordNumber();
    DWORD count = reader.GetRecordCount();
    CEventEntry entry;
    reader.ReadEntry(oldest + count - 1, entry);
    reader.ReadEntry(oldest, entry);
    reader.ReadEntries(25, true);
    reader.ReadEntries(0, false);
    for (int32_t i = 0; i < 25; ++i) {
        CEventEntry e = reader.GetEntry(i);
        EVENTLOGRECORD* record = nullptr;
        if (reader.ReadRecord(e.m_RecordNumber, &record, true))
            LocalFree(record);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (machine.empty())
        prepareMachine();
    std::string file = machine + "/drive_c/Windows/System32/config/SysEvent.Evt";
    {
        std::ofstream out(file + ".new", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fs::rename(file + ".new", file); // a new file each time, as a log replaced on disk
    readEveryWay();

    // The same bytes as a record a platform handed over, Length checked as the
    // reader checks it.
    if (size >= sizeof(EVENTLOGRECORD) && size < (1u << 20)) {
        auto* copy = static_cast<EVENTLOGRECORD*>(std::malloc(size));
        std::memcpy(copy, data, size);
        if (copy->Length >= sizeof(EVENTLOGRECORD) && copy->Length <= size) {
            CEventEntry entry;
            DecodeRecord(copy, entry);
        }
        std::free(copy);
    }
    emu::Ledger ledger = emu::ledger();
    if (ledger.eventLogHandles != 0 || ledger.localBlocks != 0)
        std::abort(); // a read path kept a handle or a block
    return 0;
}
