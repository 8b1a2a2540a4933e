// The emulated registry over .reg hive files.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kRegedit4Hive = "REGEDIT4\r\n"
                                  "\r\n"
                                  "[HKEY_LOCAL_MACHINE\\Software\\Kestrin]\r\n"
                                  "@=\"default value\"\r\n"
                                  "\"Quoted\"=\"C:\\\\Path \\\"in quotes\\\"\"\r\n"
                                  "\"Count\"=dword:0000002a\r\n"
                                  "\"Blob\"=hex:01,02,\\\r\n"
                                  "  03\r\n"
                                  "\"Expand\"=hex(2):25,57,49,4e,44,49,52,25,00\r\n"
                                  "\r\n"
                                  "[HKEY_CURRENT_USER\\Elsewhere]\r\n"
                                  "\"Ignored\"=\"other root\"\r\n";

struct Queried {
    LSTATUS status;
    DWORD type;
    std::vector<BYTE> data;
};

Queried query(HKEY key, const char* name) {
    Queried q{};
    DWORD size = 0;
    q.status = RegQueryValueExA(key, name, nullptr, &q.type, nullptr, &size);
    if (q.status != ERROR_SUCCESS)
        return q;
    q.data.resize(size);
    q.status = RegQueryValueExA(key, name, nullptr, &q.type, q.data.data(), &size);
    return q;
}

std::string text(const Queried& q) {
    return std::string(q.data.begin(), q.data.end());
}

std::vector<std::string> subkeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[300];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, size);
    }
    return names;
}

} // namespace

TEST(EmulatedRegistry, ReadsRegedit4WithEveryValueForm) {
    TestMachine machine;
    machine.writeHive("HKEY_LOCAL_MACHINE", kRegedit4Hive);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\kestrin", 0, KEY_READ, &key));

    Queried def = query(key, nullptr);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), def.type);
    EXPECT_EQ(std::string("default value", 14), text(def));
    EXPECT_EQ(std::string("C:\\Path \"in quotes\"", 20), text(query(key, "quoted")));
    Queried count = query(key, "Count");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), count.type);
    EXPECT_EQ((std::vector<BYTE>{0x2a, 0, 0, 0}), count.data);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), query(key, "Blob").data);
    Queried expand = query(key, "Expand");
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), expand.type);
    EXPECT_EQ(std::string("%WINDIR%", 9), text(expand)); // REGEDIT4 hex(2) is ANSI
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, query(key, "Ignored").status);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST(EmulatedRegistry, WritesAHiveThatReadsBackUnchanged) {
    TestMachine machine;
    machine.writeHive("HKEY_LOCAL_MACHINE", kRegedit4Hive);
    AsAdministrator writer;
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kestrin\\New Key", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    const BYTE multi[] = "one\0two\0";
    const BYTE control[] = "line\r\nfeed";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, multi, sizeof multi));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Control", 0, REG_SZ, control, sizeof control));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, "Latin", 0, REG_SZ, reinterpret_cast<const BYTE*>("caf\xe9"), 5));
    RegCloseKey(key);

    std::string written = machine.readHive("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(0u, written.find("REGEDIT4\r\n"));
    EXPECT_NE(std::string::npos, written.find("\"Expand\"=hex(2):25,57,49,4e,44,49,52,25,00"));

    machine.reload(); // read the written file afresh
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kestrin\\New Key", 0, KEY_READ, &key));
    Queried m = query(key, "Multi");
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), m.type);
    EXPECT_EQ(std::vector<BYTE>(multi, multi + sizeof multi), m.data);
    EXPECT_EQ(std::vector<BYTE>(control, control + sizeof control), query(key, "Control").data);
    EXPECT_EQ(std::string("caf\xe9", 5), text(query(key, "Latin")));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kestrin", 0, KEY_READ, &key));
    EXPECT_EQ(std::string("%WINDIR%", 9), text(query(key, "Expand")));
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), query(key, "Blob").data);
    RegCloseKey(key);
}

TEST(EmulatedRegistry, ReadsUnicodeVersion5Files) {
    TestMachine machine;
    std::string utf8 = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n"
                       "\"Name\"=\"caf\xc3\xa9\"\n";
    std::u16string wide = u"\xfeffWindows Registry Editor Version 5.00\r\n\r\n"
                          u"[HKEY_CURRENT_USER\\K]\r\n\"Name\"=\"na\x00efve\"\r\n";
    std::string utf16;
    for (char16_t c : wide) {
        utf16 += static_cast<char>(c & 0xff);
        utf16 += static_cast<char>(c >> 8);
    }
    machine.writeHive("HKEY_CURRENT_USER", utf16);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &key));
    EXPECT_EQ(std::string("na\xefve", 6), text(query(key, "Name")));
    RegCloseKey(key);

    machine.writeHive("HKEY_CURRENT_USER", "\xEF\xBB\xBF" + utf8);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &key));
    EXPECT_EQ(std::string("caf\xe9", 5), text(query(key, "Name")));
    RegCloseKey(key);
}

TEST(EmulatedRegistry, EnumeratesSubkeysInNameOrderKeepingTheirSpelling) {
    TestMachine machine;
    machine.writeHive("HKEY_LOCAL_MACHINE", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\L\\system]\n"
                                            "[HKEY_LOCAL_MACHINE\\L\\Application]\n"
                                            "[HKEY_LOCAL_MACHINE\\L\\Security]\n");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "l", 0, KEY_READ, &key));
    EXPECT_EQ((std::vector<std::string>{"Application", "Security", "system"}), subkeys(key));

    char tiny[4];
    DWORD size = sizeof tiny;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyExA(key, 0, tiny, &size, nullptr, nullptr, nullptr, nullptr));
    size = sizeof tiny;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyExA(key, 3, tiny, &size, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(key);
}

TEST(EmulatedRegistry, ReportsFailuresAsThePlatformDoes) {
    TestMachine machine;
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "No\\Such\\Key", 0, KEY_READ, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "K", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    const BYTE value[] = "twelve bytes";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "V", 0, REG_SZ, value, sizeof value));

    BYTE small[4] = {0xbd, 0xbd, 0xbd, 0xbd};
    DWORD size = sizeof small;
    DWORD type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "v", nullptr, &type, small, &size));
    EXPECT_EQ(sizeof value, size);
    EXPECT_EQ(0xbd, small[0]) << "a buffer that is too small is left alone";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, query(key, "missing").status);

    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, query(key, "V").status);
}

TEST(EmulatedRegistry, CountsOpenKeysInTheLedger) {
    TestMachine machine;
    long before = emu::ledger().registryKeys;
    HKEY a = nullptr, b = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &a, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(a, nullptr, 0, KEY_READ, &b));
    EXPECT_EQ(before + 2, emu::ledger().registryKeys);
    RegCloseKey(a);
    RegCloseKey(b);
    EXPECT_EQ(before, emu::ledger().registryKeys);
}

TEST(EmulatedRegistry, BundledMachineIsAWindows10WithItsXpLogsBeside) {
    TestMachine machine(KESTRIN_SAMPLE_MACHINE);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Eventlog", 0,
                            KEY_READ, &key));
    EXPECT_EQ((std::vector<std::string>{"Application", "Parameters", "Security", "State", "System",
                                        "XP Application", "XP System"}),
              subkeys(key));
    for (const auto& [log, file] :
         {std::pair<const char*, const char*>{"System",
                                              "%SystemRoot%\\System32\\Winevt\\Logs\\System.evtx"},
          {"XP System", "%SystemRoot%\\System32\\config\\SysEvent.Evt"}}) {
        HKEY opened = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, log, 0, KEY_READ, &opened));
        Queried found = query(opened, "File");
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), found.type);
        EXPECT_EQ(std::string(file), text(found).c_str());
        RegCloseKey(opened);
    }
    RegCloseKey(key);
    // The publishers are in the 64-bit view only.
    const char* publisher = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WINEVT\\Publishers\\"
                            "{A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, publisher, 0, KEY_READ, &key));
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, publisher, 0, KEY_READ | KEY_WOW64_64KEY, &key));
    EXPECT_EQ(std::string("Microsoft-Windows-Kernel-General"), text(query(key, "")).c_str());
    RegCloseKey(key);
}

TEST(EmulatedRegistry, NeverOverwritesAHiveFileItCouldNotRead) {
    TestMachine machine;
    const std::string damaged = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"V\"=dword:xyz\r\n";
    machine.writeHive("HKEY_CURRENT_USER", damaged);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_CANTWRITE, RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(damaged, machine.readHive("HKEY_CURRENT_USER"));
}

TEST(EmulatedRegistry, AStandardUserGetsWhatTheHandleAndTheMachineAllow) {
    TestMachine machine;
    machine.writeHive("HKEY_LOCAL_MACHINE",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
                      "Eventlog\\Security\\Source]\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Other]\r\n");
    machine.writeHive("HKEY_CURRENT_USER", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Mine\\Sub]\r\n"
                                           "\"V\"=\"v\"\r\n");
    const std::string security = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Security";
    long keysBefore = emu::ledger().registryKeys;
    auto opened = [](HKEY root, const std::string& path, REGSAM access, bool create = false) {
        HKEY key = nullptr;
        LSTATUS status = create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, access,
                                                  nullptr, &key, nullptr)
                                : RegOpenKeyExA(root, path.c_str(), 0, access, &key);
        if (key)
            RegCloseKey(key);
        return status;
    };
    const struct {
        HKEY root;
        std::string path;
        REGSAM access;
        bool create;
        LSTATUS status;
    } opens[] = {
        {HKEY_LOCAL_MACHINE, "SYSTEM\\Other", KEY_READ, false, ERROR_SUCCESS},
        {HKEY_LOCAL_MACHINE, "SYSTEM\\Other", KEY_SET_VALUE, false, ERROR_ACCESS_DENIED},
        {HKEY_LOCAL_MACHINE, "SYSTEM\\Other", KEY_READ, true, ERROR_SUCCESS}, // opens what is there
        {HKEY_LOCAL_MACHINE, "SYSTEM\\New", KEY_READ, true, ERROR_ACCESS_DENIED},
        {HKEY_LOCAL_MACHINE, "SYSTEM\\Other", 0x40000000 /* GENERIC_WRITE */, false,
         ERROR_ACCESS_DENIED},
        {HKEY_LOCAL_MACHINE, security, KEY_READ, false, ERROR_ACCESS_DENIED},
        {HKEY_LOCAL_MACHINE, security + "\\Source", KEY_QUERY_VALUE, false, ERROR_ACCESS_DENIED},
        {HKEY_CURRENT_USER, "Mine\\New", KEY_ALL_ACCESS, true, ERROR_SUCCESS},
    };
    for (const auto& row : opens)
        EXPECT_EQ(row.status, opened(row.root, row.path, row.access, row.create)) << row.path;
    HKEY other = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Other", 0, KEY_READ, &other);
    EXPECT_NE(std::string::npos, machine.readHive("HKEY_LOCAL_MACHINE").find("Other"));
    EXPECT_EQ(std::string::npos, machine.readHive("HKEY_LOCAL_MACHINE").find("New"));
    RegCloseKey(other);

    // Each call needs its own right on the handle.
    HKEY read = nullptr, query = nullptr;
    RegOpenKeyExA(HKEY_CURRENT_USER, "Mine", 0, KEY_READ, &read);
    RegOpenKeyExA(HKEY_CURRENT_USER, "Mine\\Sub", 0, KEY_QUERY_VALUE, &query);
    const BYTE value[] = "x";
    char name[16];
    DWORD size = sizeof name;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(read, "V", 0, REG_SZ, value, sizeof value));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegEnumKeyExA(query, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegEnumKeyExA(read, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
    // Windows does not ask the parent handle for KEY_CREATE_SUB_KEY.
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(query, "Deeper", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &other, nullptr));
    RegCloseKey(other);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_SZ, value, sizeof value));
    RegCloseKey(read);
    RegCloseKey(query);
    EXPECT_EQ(nullptr, OpenEventLogA(nullptr, "Security"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
    EXPECT_EQ(keysBefore, emu::ledger().registryKeys);

    // A machine that says its user is an administrator.
    machine.writeHive("HKEY_LOCAL_MACHINE",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Emulation]\r\n"
                      "\"Administrator\"=dword:00000001\r\n[HKEY_LOCAL_MACHINE\\" +
                          security + "]\r\n");
    EXPECT_EQ(ERROR_SUCCESS, opened(HKEY_LOCAL_MACHINE, security, KEY_ALL_ACCESS));
    EXPECT_EQ(ERROR_SUCCESS, opened(HKEY_LOCAL_MACHINE, "SYSTEM\\New", KEY_ALL_ACCESS, true));
    HANDLE log = OpenEventLogA(nullptr, "Security");
    EXPECT_NE(nullptr, log);
    CloseEventLog(log);
    EXPECT_EQ(keysBefore, emu::ledger().registryKeys);
}
