// Manifest-based providers: the WEVT_TEMPLATE reader on a real file and on
// the provider tool's output, and the plugin's manifest way on the bundled
// Windows 10 machine.
#include "src/eventlog/CEventLogReader.h"
#include "src/eventlog/wevt_template.h"
#include "src/logfiles/evtx_write.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> guidOf(const char* text) {
    std::vector<uint8_t> guid;
    EXPECT_TRUE(logfiles::evtx::parseGuid(text, guid)) << text;
    return guid;
}

// The WEVT_TEMPLATE of a message file, read through the platform's calls.
std::vector<uint8_t> manifestOf(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(nullptr, module) << path;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), "WEVT_TEMPLATE");
    EXPECT_NE(nullptr, found);
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    std::vector<uint8_t> out(bytes, bytes + SizeofResource(module, found));
    FreeLibrary(module);
    return out;
}

} // namespace

TEST(ManifestMessages, TheCompiledManifestNamesEachEventsMessage) {
    // The real file: event 1, version 1, message 0xB0010001, whatever the strings.
    std::vector<uint8_t> real =
        fileBytes(std::string(KESTRIN_TEST_DATA) + "/../fuzz/corpus/wevt/plaso-wevt-template");
    const uint8_t plaso[16] = {0xbc, 0x3b, 0x88, 0x67, 0x92, 0xd5, 0x02, 0x4d,
                               0x8e, 0x29, 0x66, 0x90, 0x7f, 0xcb, 0x07, 0xd6};
    uint32_t message = 0;
    ASSERT_TRUE(FindManifestMessage(real.data(), real.size(), plaso, 1, 0, message));
    EXPECT_EQ(0xB0010001u, message);
    EXPECT_FALSE(FindManifestMessage(real.data(), real.size(), plaso, 2, 0, message));
    for (size_t cut : {size_t(0), size_t(15), size_t(100), size_t(300)})
        EXPECT_FALSE(FindManifestMessage(real.data(), cut, plaso, 1, 0, message)) << cut;

    // The tool's output for the bundled machine, as its 32-bit process reads it.
    TestMachine machine(KESTRIN_SAMPLE_MACHINE);
    std::vector<uint8_t> made = manifestOf("C:\\Windows\\Sysnative\\kmanifest.dll");
    const struct {
        const char* guid;
        uint16_t id;
        size_t strings;
        uint32_t message; // 0: none
    } rows[] = {
        {"{A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}", 12, 7, 0xB0010001},
        {"{A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}", 1, 2, 0xB0010003}, // version 0 matches
        {"{A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}", 1, 3, 0xB0010004}, // version 1 matches
        {"{A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}", 1, 9, 0xB0010004}, // none: the highest
        {"{945A8954-C147-4ACD-923F-40C45405A658}", 19, 3, 0xB0060001},
        {"{945A8954-C147-4ACD-923F-40C45405A658}", 19, 4, 0xB0060002},
        {"{FC65DDD8-D6EF-4962-83D5-6E5CFE9CE148}", 6005, 0, 0}, // no message
        {"{FC65DDD8-D6EF-4962-83D5-6E5CFE9CE148}", 999, 0, 0},  // no such event
        // The GUID's byte order matters: the same digits read as one big number.
        {"{B7A88CA6-4F00-B6D7-A698-07E2DE0F1F5D}", 12, 7, 0},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> guid = guidOf(row.guid);
        uint32_t found = 0;
        bool named =
            FindManifestMessage(made.data(), made.size(), guid.data(), row.id, row.strings, found);
        EXPECT_EQ(row.message != 0, named) << row.guid << " " << row.id;
        if (named) {
            EXPECT_EQ(row.message, found) << row.guid << " " << row.id << " " << row.strings;
        }
    }
}

TEST(ManifestMessages, TheBundledWindows10LogReadsAsTheViewerWordsIt) {
    TestMachine machine(KESTRIN_SAMPLE_MACHINE);
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    auto textOf = [&](DWORD record) { return reader.GetRecordMessageText(record); };
    EXPECT_EQ("The operating system started at system time 2026-12-08T06:59:57.500000000Z.\r\n",
              textOf(51201));
    EXPECT_EQ("The boot type was 0 (load options 0).\r\n", textOf(51202)) << "version 1";
    EXPECT_EQ("The time service is now synchronizing the system time with the time source "
              "time.windows.com,0x9 (ntp.m|0x9|0.0.0.0:123->203.0.113.10:123).\r\n",
              textOf(51217))
        << "a provider whose key names no message file";
    EXPECT_EQ("The Windows PowerShell log file was cleared.\r\n", textOf(51225)) << "UserData";
    EXPECT_FALSE(reader.GetStatus(nullptr));

    // The publishers are in the 64-bit view: where a machine has them only in
    // WOW6432Node, as a 32-bit reg.exe would put them, the strings are shown.
    std::string hive = machine.readHive("HKEY_LOCAL_MACHINE");
    for (size_t at; (at = hive.find("\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WINEVT")) !=
                    std::string::npos;)
        hive.replace(at, 9, "\\SOFTWARE\\WOW6432Node");
    machine.writeHive("HKEY_LOCAL_MACHINE", hive);
    machine.reload();
    CEventLogReader again;
    ASSERT_TRUE(again.Open("System", ""));
    EXPECT_EQ("10; 0; 19045; 3803; 0; 0; 2026-12-08T06:59:57.500000000Z",
              again.GetRecordMessageText(51201));
}
