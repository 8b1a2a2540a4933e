#include "log_machine.h"

#include <fstream>
#include <iterator>

logfiles::evt::RecordSpec sampleRecord(uint32_t n, const std::u16string& source) {
    logfiles::evt::RecordSpec described;
    described.timeGenerated = 1700000000 + 60 * n;
    described.timeWritten = described.timeGenerated + 1;
    described.eventId = 0x40000000 + n;
    described.eventType = 4;
    described.source = source;
    described.computer = u"KESTRIN-PC";
    described.strings = {u"string " + std::u16string(1, u'0' + n % 10), u"second"};
    return described;
}

LogMachine::LogMachine() {
    std::string hive = "REGEDIT4\r\n\r\n";
    for (const char* log : {"System", "Application", "Security"})
        hive +=
            std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\") +
            log + "]\r\n\"File\"=\"%SystemRoot%\\\\System32\\\\config\\\\" + log + ".evt\"\r\n";
    hive += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]"
            "\r\n\"ComputerName\"=\"KESTRIN-PC\"\r\n"
            "[HKEY_LOCAL_MACHINE\\SAM\\Accounts\\S-1-5-21-1-2-3-1001]\r\n"
            "\"Name\"=\"alice\"\r\n\"Domain\"=\"KESTRIN-PC\"\r\n";
    writeHive("HKEY_LOCAL_MACHINE", hive);
}

void LogMachine::writeLog(const std::string& log, const std::vector<logfiles::evt::RecordSpec>& records,
                          uint32_t maxSize, bool dirty, uint32_t first) {
    logfiles::evt::LogWriter writer(maxSize, first);
    for (const auto& record : records)
        writer.append(record);
    writeLogBytes(log, writer.image(dirty));
}

void LogMachine::writeLogBytes(const std::string& log, const std::vector<uint8_t>& bytes) {
    writeFile("drive_c/Windows/System32/config/" + log + ".evt",
              std::string(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> readTestData(const std::string& name) {
    std::ifstream in(std::string(KESTRIN_TEST_DATA) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
