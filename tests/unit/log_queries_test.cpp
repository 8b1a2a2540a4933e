// LastLogEntry and LastNLogs through KestrinPlugin.so, with the clock set by
// the test.
#include "host/plugin_loader.h"
#include "log_machine.h"
#include "src/platform/emu/emu_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace {

const int64_t kStart = 1800000000; // any time; the throttle counts from here

class LogQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module_.complete()) << module_.error();
        emu::setClock(kStart);
        before_ = emu::ledger();
    }
    void TearDown() override {
        emu::useRealClock();
        emu::Ledger after = emu::ledger();
        EXPECT_EQ(before_.eventLogHandles, after.eventLogHandles);
        EXPECT_EQ(before_.modules, after.modules);
        EXPECT_EQ(before_.registryKeys, after.registryKeys);
        EXPECT_EQ(before_.localBlocks, after.localBlocks);
    }

    PluginRecord* start(const std::string& log, const std::string& outputTemplate) {
        PluginRecord* record = module_.dllstartup(0, 0);
        std::ofstream(machine_.root() + "/query.ini")
            << "[Q]\r\nOpenLog=" << log << "\r\nParseString=" << outputTemplate << "\r\n";
        std::string path = machine_.root() + "/query.ini";
        module_.load_settings(record, path.c_str(), "Q");
        return record;
    }

    LogMachine machine_;
    PluginModule module_{KESTRIN_PLUGIN_MODULE};
    emu::Ledger before_;
};

std::vector<logfiles::evt::RecordSpec> records(uint32_t count) {
    std::vector<logfiles::evt::RecordSpec> out;
    for (uint32_t n = 1; n <= count; ++n)
        out.push_back(sampleRecord(n));
    return out;
}

} // namespace

TEST_F(LogQueries, EachInstanceRefreshesFiveSecondsAfterItsOwnLastRefresh) {
    machine_.writeLog("System", records(1));
    PluginRecord* a = start("System", "%3");
    EXPECT_STREQ("0x40000001", module_.LastLogEntry(a)) << "the first query always refreshes";
    machine_.writeLog("System", records(2));
    for (int64_t later : {1, 2, 3, 4}) {
        emu::setClock(kStart + later);
        EXPECT_STREQ("0x40000001", module_.LastLogEntry(a)) << later << " s later";
    }
    PluginRecord* b = start("System", "%3");
    EXPECT_STREQ("0x40000002", module_.LastLogEntry(b)) << "a new instance is not held back";
    EXPECT_STREQ("0x40000001", module_.LastLogEntry(a)) << "nor does it hold a back";
    emu::setClock(kStart + 5);
    EXPECT_STREQ("0x40000002", module_.LastLogEntry(a));

    machine_.writeLog("System", records(3));
    emu::setClock(kStart + 65); // a host that polls every minute sees new entries
    EXPECT_STREQ("0x40000003", module_.LastLogEntry(a));
    machine_.writeLog("System", records(4));
    emu::setClock(kStart + 10); // the clock went back
    EXPECT_STREQ("0x40000004", module_.LastLogEntry(a));
    module_.dllshutdown(a);
    module_.dllshutdown(b);
}

TEST_F(LogQueries, TheNewestEntriesComeNewestFirstThenEmptyEntries) {
    machine_.writeLog("Application", records(3));
    PluginRecord* record = start("Application", "%3 %5\\n");
    std::string expected = "0x40000003 Information\n0x40000002 Information\n"
                           "0x40000001 Information\n";
    for (int i = 0; i < 22; ++i)
        expected += "0x00000000 \n";
    EXPECT_EQ(expected, module_.LastNLogs(record));
    EXPECT_EQ(expected, module_.LastLogEntry(record)) << "within 5 s: the same text";
    module_.dllshutdown(record);

    PluginRecord* unnamed = module_.dllstartup(0, 0);
    std::ofstream(machine_.root() + "/t.ini") << "[Q]\r\nParseString=%1 - %2\r\n";
    module_.load_settings(unnamed, (machine_.root() + "/t.ini").c_str(), "Q");
    EXPECT_EQ(std::string(25 * 3, ' ').size(), std::strlen(module_.LastNLogs(unnamed)))
        << "no log name: 25 empty entries";
    module_.dllshutdown(unnamed);
}

TEST_F(LogQueries, TheNewestEntryNamesSystemByDefaultAndExplainsFailures) {
    machine_.writeLog("System", records(2));
    PluginRecord* record = module_.dllstartup(0, 0);
    EXPECT_STREQ("", module_.LastLogEntry(record)) << "an empty template gives an empty text";
    std::ofstream(machine_.root() + "/s.ini") << "[S]\r\n";
    module_.save_settings(record, (machine_.root() + "/s.ini").c_str(), "S");
    std::ifstream saved(machine_.root() + "/s.ini");
    std::string contents((std::istreambuf_iterator<char>(saved)), {});
    EXPECT_NE(std::string::npos, contents.find("OpenLog=System")) << "the default is kept";
    module_.dllshutdown(record);

    PluginRecord* security = start("Security", "%1");
    EXPECT_STREQ("The caller lacks a privilege this needs.\r\n", module_.LastLogEntry(security))
        << "a standard user may not read the Security log";
    module_.dllshutdown(security);
    {
        AsAdministrator administrator;
        PluginRecord* empty = start("Security", "%1");
        EXPECT_STREQ("One of the parameters is wrong.\r\n", module_.LastLogEntry(empty))
            << "an empty log: the platform's text for the failed read";
        module_.dllshutdown(empty);
    }

    machine_.writeLogBytes("Application", std::vector<uint8_t>(512, 0x33));
    PluginRecord* damaged = start("Application", "%1");
    EXPECT_STREQ("The event log file is damaged.\r\n", module_.LastLogEntry(damaged));
    module_.dllshutdown(damaged);
}

TEST_F(LogQueries, AHostThatShortensTheTextGetsTheShortenedTextBack) {
    machine_.writeLog("System", records(1));
    PluginRecord* record = start("System", "%3 and more");
    char* text = module_.LastLogEntry(record);
    ASSERT_STREQ("0x40000001 and more", text);
    text[10] = '\0';
    emu::setClock(kStart + 2);
    EXPECT_STREQ("0x40000001", module_.LastNLogs(record));
    text = module_.LastNLogs(record);
    std::memset(text, 'x', 11); // over its NUL too: measured within its own length
    EXPECT_EQ(std::string(10, 'x'), module_.LastNLogs(record));
    module_.dllshutdown(record);
    EXPECT_STREQ("", module_.LastLogEntry(record)) << "a record that is gone";
}

TEST_F(LogQueries, TheRealRecordReadsThroughTheWholeRoad) {
    std::vector<uint8_t> file(48 + 144 + 40, 0);
    std::vector<uint8_t> record = readTestData("libevt_event_record.1");
    std::copy(record.begin(), record.end(), file.begin() + 48);
    const uint32_t header[12] = {48, 0x654c664c, 1, 1, 48, 192, 2, 1, 232, 0, 0, 48};
    const uint32_t eof[10] = {40, 0x11111111, 0x22222222, 0x33333333, 0x44444444,
                              48, 192,        2,          1,          40};
    std::memcpy(file.data(), header, sizeof header);
    std::memcpy(file.data() + 192, eof, sizeof eof);
    machine_.writeLogBytes("System", file);
    setenv("TZ", "UTC0", 1);
    tzset();
    PluginRecord* monitor = start("System", "%1|%3|%4|%5|%6|%2");
    EXPECT_STREQ("LoadPerf|0x400003E8|11/11/10, 01:10:17|Information|N/A|RSVP; QoS RSVP",
                 module_.LastLogEntry(monitor))
        << "no message file is registered for LoadPerf: its strings";
    module_.dllshutdown(monitor);
}

TEST_F(LogQueries, AReadThatEndsAtTheEndOfTheLogSaysSo) {
    machine_.writeLog("System", records(1));
    PluginRecord* record = start("System", "%1");
    emu::failEventLogReads(1, ERROR_HANDLE_EOF); // the read finds no record, and records nothing
    EXPECT_STREQ("The end of the file has been reached.\r\n", module_.LastLogEntry(record))
        << "not the text for success";
    emu::clearFaults();
    module_.dllshutdown(record);
}

TEST_F(LogQueries, TheChosenLogOrAClearText) {
    machine_.writeLog("System", records(3));
    machine_.writeLog("Application", records(1));
    HKEY source = nullptr;
    AsAdministrator setUp;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                    "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\System\\NETLOGON", 0, nullptr,
                    0, KEY_ALL_ACCESS, nullptr, &source, nullptr);
    RegCloseKey(source);
    const std::string unknown = "No channel of that name was found.\r\n";
    const struct {
        const char* log;
        std::string entry;
    } rows[] = {{"System", "0x40000003"},
                {"sYsTeM", "0x40000003"},
                {"NETLOGON", "0x40000003"}, // a source's name opens its log
                {"Sytem", unknown},         // never the Application log
                {"System\\NETLOGON", unknown}};
    for (const auto& row : rows) {
        PluginRecord* record = start(row.log, "%3");
        EXPECT_EQ(row.entry, module_.LastLogEntry(record)) << row.log;
        module_.dllshutdown(record);
    }
    PluginRecord* record = start("Sytem", "%3");
    std::string empty;
    for (int i = 0; i < 25; ++i)
        empty += "0x00000000";
    EXPECT_EQ(empty, module_.LastNLogs(record)) << "25 empty entries";
    module_.dllshutdown(record);
}

TEST_F(LogQueries, SeekReadsThePlatformRefusesGiveTheSameTexts) {
    machine_.writeLog("System", records(40), 4096); // wrapped: the oldest are gone
    auto query = [this](bool newest) {
        PluginRecord* record = start("System", "%3 %1\\n");
        std::string text = newest ? module_.LastLogEntry(record) : module_.LastNLogs(record);
        module_.dllshutdown(record);
        return text;
    };
    std::string entry = query(true), last = query(false);
    ASSERT_EQ("0x40000028 Service Control Manager\n", entry);
    emu::refuseSeekReads(true);
    EXPECT_EQ(entry, query(true));
    EXPECT_EQ(last, query(false));
    emu::clearFaults();
}
