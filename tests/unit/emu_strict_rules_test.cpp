// What Windows refuses, and in which order it checks, for the calls the plugin
// makes: the emulation must be no kinder.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "log_machine.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const HKEY kNotAKey = reinterpret_cast<HKEY>(0x1234);
}

TEST(StrictRegistry, FailuresClearTheHandleAndRightsAreWhatTheUserMayHave) {
    TestMachine machine;
    machine.writeHive("HKEY_LOCAL_MACHINE", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\r\n"
                                            "\"V\"=\"value\"\r\n");
    machine.writeHive("HKEY_CURRENT_USER", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n");
    HKEY key = kNotAKey;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\No", 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key);
    key = kNotAKey;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr,
                                                   0, KEY_READ, nullptr, &key, nullptr));
    EXPECT_EQ(nullptr, key);

    // MAXIMUM_ALLOWED: read access for a standard user under HKLM, all under HKCU.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", 0, 0x02000000, &key));
    DWORD size = 64;
    char data[64];
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "V", nullptr, nullptr, (BYTE*)data, &size));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "V", 0, REG_SZ, (const BYTE*)"x", 2));
    // One variable for the type and the size: the size wins.
    DWORD both = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "V", nullptr, &both, nullptr, &both));
    EXPECT_EQ(6u, both);
    RegCloseKey(key);

    // A parent's own rights do not stop a key being made below it.
    HKEY parent = nullptr, child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_NOTIFY, &parent));
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(parent, "Made", 0, nullptr, 0, 0x02000000, nullptr, &child, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(child, "V", 0, REG_SZ, (const BYTE*)"x", 2));
    RegCloseKey(child);
    RegCloseKey(parent);
}

TEST(StrictCalls, ArgumentsAreCheckedBeforeHandlesAndModulesSayWhatTheyAreNot) {
    LogMachine machine;
    machine.writeLog("System", {sampleRecord(1)});
    HANDLE log = OpenEventLogA(nullptr, "System");
    ASSERT_NE(nullptr, log);
    DWORD value = 0, read = 0, needed = 0;
    char buffer[512];
    const struct {
        BOOL (*call)(HANDLE, DWORD*);
        HANDLE handle;
        DWORD* out;
        DWORD error;
    } queries[] = {
        {GetNumberOfEventLogRecords, nullptr, nullptr, ERROR_INVALID_PARAMETER},
        {GetNumberOfEventLogRecords, nullptr, &value, ERROR_INVALID_HANDLE},
        {GetNumberOfEventLogRecords, log, nullptr, ERROR_INVALID_PARAMETER},
        {GetOldestEventLogRecord, nullptr, nullptr, ERROR_INVALID_PARAMETER},
        {GetOldestEventLogRecord, nullptr, &value, ERROR_INVALID_HANDLE},
    };
    for (const auto& q : queries) {
        SetLastError(0);
        EXPECT_FALSE(q.call(q.handle, q.out));
        EXPECT_EQ(q.error, GetLastError());
    }
    const DWORD seqBack = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
    const struct {
        HANDLE handle;
        DWORD flags;
        void* buffer;
        DWORD error;
    } reads[] = {
        {nullptr, 0, nullptr, ERROR_INVALID_PARAMETER},
        {nullptr, seqBack, nullptr, ERROR_INVALID_PARAMETER},
        {nullptr, EVENTLOG_SEQUENTIAL_READ, buffer, ERROR_INVALID_PARAMETER},
        {nullptr, seqBack | EVENTLOG_FORWARDS_READ, buffer, ERROR_INVALID_PARAMETER},
        {nullptr, seqBack, buffer, ERROR_INVALID_HANDLE},
        {log, seqBack, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto& r : reads) {
        SetLastError(0);
        EXPECT_FALSE(ReadEventLogA(r.handle, r.flags, 0, r.buffer, sizeof buffer, &read, &needed));
        EXPECT_EQ(r.error, GetLastError()) << r.flags;
    }
    CloseEventLog(log);

    machine.writeFile("drive_c/empty.dll", "");
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryExA("C:\\empty.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(buffer)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
}

TEST(StrictEnvironment, ExpandableUserVariablesComeExpandedOnce) {
    TestMachine machine;
    machine.writeHive("HKEY_CURRENT_USER",
                      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Environment]\r\n"
                      "\"USERPROFILE\"=\"C:\\\\Users\\\\k\"\r\n"
                      "\"TEMP\"=hex(2):25,55,53,45,52,50,52,4f,46,49,4c,45,25,5c,54,00\r\n"
                      "\"LOOP\"=hex(2):25,4c,4f,4f,50,25,00\r\n");
    char out[128];
    ASSERT_GT(ExpandEnvironmentStringsA("%TEMP%|%LOOP%", out, sizeof out), 0u);
    EXPECT_STREQ("C:\\Users\\k\\T|%LOOP%", out);
}

TEST(StrictSystemMessages, TheMachinesOwnFileHasATextForEveryCodeItsCallsGive) {
    TestMachine machine;
    auto systemText = [](DWORD code) {
        char* text = nullptr;
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        std::string out = n ? text : "";
        LocalFree(text);
        return out;
    };
    // What the emulation sets, what the plugin records, the bundled machine's
    // %%1053, and what Wine's tests ask the system for.
    for (DWORD code :
         {0u,    2u,    3u,     5u,     6u,     7u,          8u,          13u,        14u,
          30u,   38u,   87u,    122u,   126u,   161u,        193u,        234u,       235u,
          259u,  317u,  1006u,  1013u,  1018u,  1053u,       1314u,       1332u,      1337u,
          1400u, 1421u, 1500u,  1501u,  1502u,  1503u,       1722u,       1812u,      1813u,
          1814u, 1815u, 15007u, 15100u, 15105u, 0x800B0100u, 0x80004001u, 0x80004005u})
        EXPECT_NE("", systemText(code)) << code;
    EXPECT_EQ(systemText(5), systemText(0x80070005u)) << "HRESULT_FROM_WIN32 folds to its code";
    EXPECT_EQ("", systemText(0xE0001234u));

    // The texts are the file's: a machine without it has none.
    std::string file = machine.readFile("drive_c/Windows/System32/kernelbase.dll");
    machine.writeFile("drive_c/Windows/System32/kernelbase.dll", "");
    EXPECT_EQ("", systemText(2));
    machine.writeFile("drive_c/Windows/System32/kernelbase.dll", file);
    EXPECT_EQ("No file by that name was found.\r\n", systemText(2));
}

TEST(StrictModules, AMessageFileCutShortUnderALoadChangesNothingTheLoadReads) {
    TestMachine machine;
    std::ifstream in(std::string(KESTRIN_SAMPLE_MACHINE) + "/drive_c/Windows/SysWOW64/ksystem.dll",
                     std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    machine.writeFile("drive_c/k.dll", bytes);
    HMODULE module = LoadLibraryExA("C:\\k.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    ASSERT_EQ(0, truncate((machine.root() + "/drive_c/k.dll").c_str(), 0)); // a mapping would fault
    char* text = nullptr;
    EXPECT_NE(0u,
              FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             module, 0xC0001B58, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr));
    LocalFree(text);
    FreeLibrary(module);
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryExA("C:\\k.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID), GetLastError()) << "the file as it is now";
}

TEST(StrictFiles, ConcurrentWritersKeepEveryKeyAndTemporaryFilesFollowNoLink) {
    TestMachine machine;
    machine.writeFile("drive_c/s/.keep", "");
    const std::string ini = machine.root() + "/drive_c/s/k.ini";
    // A link planted where a predictable temporary name would be.
    const std::string outside = machine.root() + "/outside.txt";
    machine.writeFile("outside.txt", "untouched");
    ASSERT_EQ(0, symlink(outside.c_str(), (ini + ".tmp" + std::to_string(getpid())).c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "C:\\s\\k.ini"));
    EXPECT_EQ("untouched", machine.readFile("outside.txt"));

    // Eight processes write sections of their own into one file at once.
    std::vector<pid_t> children;
    for (int writer = 0; writer < 8; ++writer) {
        pid_t child = fork();
        if (child == 0) {
            std::string section = "W" + std::to_string(writer);
            for (int round = 0; round < 10; ++round)
                WritePrivateProfileStringA(section.c_str(), ("k" + std::to_string(round)).c_str(),
                                           "v", "C:\\s\\k.ini");
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children)
        waitpid(child, nullptr, 0);
    machine.reload();
    for (int writer = 0; writer < 8; ++writer) {
        char value[8] = {};
        GetPrivateProfileStringA(("W" + std::to_string(writer)).c_str(), "k9", "", value,
                                 sizeof value, "C:\\s\\k.ini");
        EXPECT_STREQ("v", value) << writer;
    }
}

TEST(StrictFiles, WritesStayInTheMachineFolderUnlessTheHostNamedTheFile) {
    TestMachine machine;
    TestMachine elsewhere; // a folder outside this machine
    elsewhere.writeFile("dir/read.ini", "[S]\r\nk=outside\r\n");
    const std::string outside = elsewhere.root() + "/dir";
    machine.reload();
    ASSERT_EQ(0, symlink(outside.c_str(), (machine.root() + "/drive_c/link").c_str()));
    for (const std::string& file : {outside + "/host.ini", std::string("C:\\link\\through.ini")}) {
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", file.c_str())) << file;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << file;
    }
    EXPECT_FALSE(elsewhere.exists("dir/host.ini"));
    EXPECT_FALSE(elsewhere.exists("dir/through.ini"));
    char value[16] = {};
    GetPrivateProfileStringA("S", "k", "", value, sizeof value, "C:\\link\\read.ini");
    EXPECT_STREQ("outside", value) << "reads are not limited";
    emu::allowHostWrite(outside + "/host.ini");
    EXPECT_TRUE(WritePrivateProfileStringA("S", "k", "v", (outside + "/host.ini").c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("S", "k", "v", "C:\\inside.ini"));
}
