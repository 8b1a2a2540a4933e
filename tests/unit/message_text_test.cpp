// Message texts from the sources' message files, on the bundled machine and on
// machines made here.
#include "log_machine.h"
#include "src/eventlog/CEventLogReader.h"
#include "src/platform/emu/emu_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

// The bundled machine with one more System source whose records the test writes.
class MessageText : public ::testing::Test {
  protected:
    void SetUp() override { before_ = emu::ledger(); }
    void TearDown() override {
        emu::Ledger after = emu::ledger();
        EXPECT_EQ(before_.modules, after.modules) << "a message file stayed loaded";
        EXPECT_EQ(before_.registryKeys, after.registryKeys);
        EXPECT_EQ(before_.localBlocks, after.localBlocks);
        EXPECT_EQ(before_.eventLogHandles, after.eventLogHandles);
    }

    // The message text of each of the log's records, newest first.
    static std::vector<std::string> texts(const std::string& log, size_t count) {
        CEventLogReader reader;
        EXPECT_TRUE(reader.Open(log, ""));
        reader.ReadEntries(static_cast<DWORD>(count), true);
        std::vector<std::string> out;
        for (size_t i = 0; i < count; ++i)
            out.push_back(reader.GetEntryMessageText(reader.GetEntry(static_cast<int32_t>(i))));
        return out;
    }

    emu::Ledger before_;
};

std::string sampleDll(const std::string& name) {
    std::ifstream in(std::string(KESTRIN_SAMPLE_MACHINE) + "/drive_c/Windows/System32/" + name,
                     std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void addSource(TestMachine& machine, const std::string& source, const std::string& files,
               const std::string& parameterFiles = "") {
    AsAdministrator setUp;
    HKEY key = nullptr;
    std::string path = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\System\\" + source;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(files.c_str()),
                   static_cast<DWORD>(files.size() + 1));
    if (!parameterFiles.empty())
        RegSetValueExA(key, "ParameterMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(parameterFiles.c_str()),
                       static_cast<DWORD>(parameterFiles.size() + 1));
    RegCloseKey(key);
}

std::string testDll(const std::string& name) {
    std::ifstream in(std::string(KESTRIN_TEST_MESSAGES) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

logfiles::evt::RecordSpec recordOf(const std::u16string& source, uint32_t id,
                                   std::vector<std::u16string> strings) {
    logfiles::evt::RecordSpec described = sampleRecord(1, source);
    described.eventId = id;
    described.strings = std::move(strings);
    return described;
}

} // namespace

TEST_F(MessageText, TheBundledLogsReadAsTheirSourcesWordThem) {
    TestMachine machine(KESTRIN_SAMPLE_MACHINE);
    std::vector<std::string> system = texts("XP System", 3);
    EXPECT_EQ("The time service is now synchronizing the system time with time.windows.com,0x9 "
              "(ntp.m|0x9|0.0.0.0:123->203.0.113.10:123) (1).\r\n",
              system[0]);
    EXPECT_EQ("The Windows Defender Antivirus Network Inspection Service: \xdc"
              "berwachung der Netzwerkaktivit\xe4t service entered the stopped state.\r\n",
              system[1]);
    EXPECT_EQ("The system detected an address conflict for IP address 192.168.1.40 with the "
              "system\r\nhaving network hardware address 00:1A:2B:3C:4D:5E. Network operations "
              "on this system may be\r\ndisrupted as a result.\r\n",
              system[2])
        << "an empty first string";

    std::vector<std::string> application = texts("XP Application", 2);
    EXPECT_EQ("Test record: first string [], second string [the first insertion string is "
              "empty], 100% done.",
              application[0])
        << "%0 ends the text without a line break";
    EXPECT_EQ("The log Caf\xe9 log \x97 \xe9\xf1 could not be read (, attempt ).\r\n",
              application[1])
        << "inserts past the record's strings come out empty";
}

TEST_F(MessageText, EachListedFileIsTriedAndNeverTheSystemsTable) {
    LogMachine machine;
    for (const char* dll : {"kservice.dll", "ksystem.dll"})
        machine.writeFile(std::string("drive_c/Windows/System32/") + dll, sampleDll(dll));
    addSource(machine, "Two Files",
              "%SystemRoot%\\System32\\missing.dll;%SystemRoot%\\System32\\kservice.dll;"
              "%SystemRoot%\\System32\\ksystem.dll");
    addSource(machine, "Nowhere", "%SystemRoot%\\System32\\missing.dll");
    machine.writeLog("System", {recordOf(u"Two Files", 0xC0001B58, {u"Spooler", u"gone"}),
                                recordOf(u"Two Files", 6, {u"", u"x", u"y"}),
                                recordOf(u"Two Files", 0x1234, {}), recordOf(u"Nowhere", 6, {u"a"}),
                                recordOf(u"Unknown", 6, {u"b", u"c"})});
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    EXPECT_EQ("The Spooler service failed to start due to the following error: \r\ngone\r\n",
              reader.GetRecordMessageText(1))
        << "found in the third file of the list";
    // An event identifier is not an error code: 6 is ERROR_INVALID_HANDLE's.
    EXPECT_EQ("; x; y", reader.GetRecordMessageText(2)) << "no file has id 6: the strings";
    EXPECT_EQ("", reader.GetRecordMessageText(3)) << "nobody has id 0x1234, and no strings";
    EXPECT_FALSE(reader.GetStatus(nullptr)) << "a message no file has is not a failure";

    CEventLogReader other;
    ASSERT_TRUE(other.Open("System", ""));
    EXPECT_EQ("a", other.GetRecordMessageText(4)) << "no file loads";
    EXPECT_EQ("b; c", other.GetRecordMessageText(5)) << "no registry key for the source";
    EXPECT_FALSE(other.GetStatus(nullptr));
    other.Close();
    EXPECT_EQ("", other.GetRecordMessageText(1));
}

TEST_F(MessageText, AnExpandedPathLongerThanMaxPathIsUsedWhole) {
    LogMachine machine;
    std::string folder(200, 'd');
    std::string deeper(120, 'e');
    machine.writeFile("drive_c/" + folder + "/" + deeper + "/kservice.dll",
                      sampleDll("kservice.dll"));
    AsAdministrator setUp;
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0, nullptr,
                    0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    std::string value = "C:\\" + folder + "\\" + deeper;
    RegSetValueExA(key, "KESTRIN_LONG_DIR", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    addSource(machine, "Long", "%KESTRIN_LONG_DIR%\\kservice.dll");
    machine.writeLog("System", {recordOf(u"Long", 0x40001B7D, {u"Spooler", u"running"})});
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    EXPECT_EQ("The Spooler service entered the running state.\r\n", reader.GetRecordMessageText(1));
}

// Records written after real ones: the Service Control Manager's start failure
// with "%%2", NETLOGON's with "%%1311", the redirector's "%%22".
TEST_F(MessageText, ParameterStringsShowTheTextsTheyName) {
    LogMachine machine;
    for (const char* dll : {"kservice.dll", "ksystem.dll", "kparams.dll"})
        machine.writeFile(std::string("drive_c/Windows/System32/") + dll, sampleDll(dll));
    addSource(machine, "Service Control Manager", "%SystemRoot%\\System32\\ksystem.dll");
    addSource(machine, "NETLOGON", "%SystemRoot%\\System32\\ksystem.dll",
              "%SystemRoot%\\System32\\missing.dll;%SystemRoot%\\System32\\kparams.dll");
    machine.writeLog("System",
                     {recordOf(u"Service Control Manager", 0xC0001B58, {u"Spooler", u"%%2"}),
                      recordOf(u"NETLOGON", 0xC0001B58, {u"%%1311", u"%%22, %%2 %%99999 100%%"}),
                      recordOf(u"NETLOGON", 0xC0001B58, {u"Big", u"%%4294967296 %%%%22"})});
    const std::string failed = " service failed to start due to the following error: \r\n";
    std::vector<std::string> seen = texts("System", 3);
    EXPECT_EQ("The Spooler" + failed + "No file by that name was found.\r\n", seen[2])
        << "no parameter file: the system's table";
    EXPECT_EQ("The There are currently no logon servers available to service the logon "
              "request." +
                  failed +
                  "The device does not recognize the command., No file by that name was found. "
                  "%%99999 100%%\r\n",
              seen[1])
        << "each file in turn, then the system; an id nobody has stays";
    EXPECT_EQ("The Big" + failed + "%%4294967296 %%The device does not recognize the command.\r\n",
              seen[0]);

    // A thousand distinct "%%N" in one entry: the first 64 are looked up, the
    // rest stay as they stand, and the work stays bounded.
    std::u16string many = u"%%22";
    for (int n = 1; n <= 1000; ++n) {
        std::string id = std::to_string(n + 100000);
        many += u" %%" + std::u16string(id.begin(), id.end());
    }
    many += u" %%1311";
    machine.writeLog("System", {recordOf(u"NETLOGON", 0xC0001B58, {u"Many", many})});
    emu::failPlatformCallAt(0);
    std::string text = texts("System", 1)[0];
    EXPECT_LT(emu::platformCallsMade(), 64 * 3 + 40)
        << "one lookup in each place for 64 ids at most";
    emu::clearFaults();
    EXPECT_EQ(
        0u, text.find("The Many" + failed + "The device does not recognize the command. %%100001"));
    EXPECT_NE(std::string::npos, text.find(" %%1311\r\n")) << "past the limit: left as it stands";
}

TEST_F(MessageText, AMessageThatIsFoundButFailsIsNotAnotherMessage) {
    LogMachine machine;
    machine.writeFile("drive_c/Windows/System32/kbroken.dll", testDll("kbroken.dll"));
    machine.writeFile("drive_c/Windows/System32/kservice.dll", sampleDll("kservice.dll"));
    addSource(machine, "Broken",
              "%SystemRoot%\\System32\\kbroken.dll;%SystemRoot%\\System32\\kservice.dll");
    machine.writeLog("System", {recordOf(u"Broken", 6, {}), recordOf(u"Broken", 7, {u"abc"}),
                                recordOf(u"Broken", 0x40001B7D, {u"Spooler", u"running"}),
                                recordOf(u"Broken", 8, {u"x"}), recordOf(u"Broken", 9, {u"x"})});
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    EXPECT_EQ("", reader.GetRecordMessageText(1))
        << "not the system's \"The handle is not valid.\"";
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_WORK_DONE), reader.CaptureLastError());
    // A wide insert reads the ANSI string as UTF-16 up to an aligned pair of NULs,
    // which every string and every padding ends in (ASan watches the read).
    EXPECT_EQ(0u, reader.GetRecordMessageText(2).find('['));
    EXPECT_EQ("The Spooler service entered the running state.\r\n", reader.GetRecordMessageText(3))
        << "not found in the first file: the second";
    // Widths and precisions that read slot after slot past the 200 a message
    // used to be given: every slot read is the plugin's (ASan watches), each an
    // empty string's address, which as a number cuts or pads to nothing useful.
    for (DWORD record : {4u, 5u})
        EXPECT_GE(2u, reader.GetRecordMessageText(record).size()) << record;
}

// The argument slots an instance keeps from refresh to refresh hold nothing
// of a message once it is done: each reader on them sees only its own strings.
TEST_F(MessageText, KeptArgumentSlotsHoldNothingBetweenReaders) {
    LogMachine machine;
    machine.writeFile("drive_c/Windows/System32/kservice.dll", sampleDll("kservice.dll"));
    addSource(machine, "Svc", "%SystemRoot%\\System32\\kservice.dll");
    machine.writeLog("System", {recordOf(u"Svc", 0x40001B7D, {u"Spooler", u"running"}),
                                recordOf(u"Svc", 0x40001B7D, {})});
    std::vector<ULONG_PTR> slots;
    for (DWORD record : {1u, 2u, 1u}) {
        CEventLogReader reader(&slots);
        ASSERT_TRUE(reader.Open("System", ""));
        EXPECT_EQ(record == 1 ? "The Spooler service entered the running state.\r\n"
                              : "The  service entered the  state.\r\n",
                  reader.GetRecordMessageText(record));
        ASSERT_FALSE(slots.empty());
        EXPECT_EQ(slots.size(),
                  static_cast<size_t>(std::count(slots.begin(), slots.end(), slots.back())))
            << "a slot still points at a string of record " << record;
    }
}

// A 32-bit plugin on a 64-bit machine made here: where each registered path
// leads, and what it shows.
TEST_F(MessageText, EverySourcesFileIsFoundAsA32BitProcessOn64BitWindows) {
    LogMachine machine;
    auto file = [](const char* folder, const char* name) {
        std::ifstream in(std::string(KESTRIN_SAMPLE_MACHINE) + "/drive_c/Windows/" + folder + "/" +
                             name,
                         std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    machine.writeFile("drive_c/Windows/System32/kservice.dll", file("System32", "kservice.dll"));
    machine.writeFile("drive_c/Windows/System32/both.dll", file("System32", "kservice.dll"));
    machine.writeFile("drive_c/Windows/SysWOW64/both.dll", file("SysWOW64", "ksystem.dll"));
    machine.writeFile("drive_c/Windows/SysWOW64/wow.dll", file("SysWOW64", "ksystem.dll"));
    machine.writeFile("drive_c/Program Files/Vendor/msg.dll", file("System32", "kservice.dll"));
    const struct {
        const char* source;
        const char* files;
        uint32_t id;
        const char* text;
    } rows[] = {
        {"SixtyFourOnly", "%SystemRoot%\\System32\\kservice.dll", 0x40001B7D,
         "The A service entered the B state.\r\n"},
        {"Bare", "kservice.dll", 0x40001B7D, "The A service entered the B state.\r\n"},
        // The native copy first (the 64-bit viewer's text); the 32-bit copy
        // when the native one lacks the message or is missing.
        {"Copy", "%SYSTEMROOT%\\system32\\both.dll", 0x40001B7D,
         "The A service entered the B state.\r\n"},
        {"Copy", "%SystemRoot%\\System32\\both.dll", 0xC0001B58,
         "The A service failed to start due to the following error: \r\nB\r\n"},
        {"OnlyThirtyTwo", "%SystemRoot%\\System32\\wow.dll", 0xC0001B58,
         "The A service failed to start due to the following error: \r\nB\r\n"},
        {"Nowhere", "%SystemRoot%\\System32\\none.dll", 0x40001B7D, "A; B"},
        {"Vendor", "%ProgramFiles%\\Vendor\\msg.dll", 0x40001B7D,
         "The A service entered the B state.\r\n"},
    };
    std::vector<logfiles::evt::RecordSpec> records;
    for (const auto& row : rows) {
        addSource(machine, row.source, row.files);
        records.push_back(recordOf(std::u16string(row.source, row.source + strlen(row.source)),
                                   row.id, {u"A", u"B"}));
    }
    machine.writeLog("System", records);
    for (bool beforeVista : {false, true}) {
        emu::refuseImageResourceLoads(beforeVista);
        std::vector<std::string> seen = texts("System", std::size(rows));
        for (size_t i = 0; i < std::size(rows); ++i)
            EXPECT_EQ(rows[i].text, seen[std::size(rows) - 1 - i]) << rows[i].source;
    }
    emu::clearFaults();
}
