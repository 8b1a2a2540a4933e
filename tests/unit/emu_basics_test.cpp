// The emulation's per-thread last error, local memory ledger, fault table and
// path mapping.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include <thread>

TEST(EmulatedErrors, LastErrorBelongsToEachThread) {
    SetLastError(5);
    DWORD seenByOther = 0xdeadbeef;
    std::thread([&] {
        seenByOther = GetLastError();
        SetLastError(87);
    }).join();
    EXPECT_EQ(0u, seenByOther);
    EXPECT_EQ(5u, GetLastError());
}

TEST(EmulatedLocalMemory, LedgerCountsBlocksAndZeroInitClears) {
    long before = emu::ledger().localBlocks;
    auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, block[0] | block[63]);
    EXPECT_EQ(before + 1, emu::ledger().localBlocks);
    EXPECT_EQ(nullptr, LocalFree(block));
    EXPECT_EQ(before, emu::ledger().localBlocks);
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

TEST(EmulatedLocalMemory, FaultTableFailsAllocationsAfterACount) {
    emu::failLocalAllocAfter(1);
    HLOCAL first = LocalAlloc(LMEM_FIXED, 8);
    SetLastError(0);
    HLOCAL second = LocalAlloc(LMEM_FIXED, 8);
    DWORD error = GetLastError();
    emu::clearFaults();
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), error);
    LocalFree(first);
}

TEST(EmulatedPaths, MapDrivesAndMatchComponentsWithoutRegardToCase) {
    TestMachine machine;
    machine.writeFile("drive_c/Program Files/Velmora/plugins/x.ini", "");
    const std::string root = machine.root();
    EXPECT_EQ(root + "/drive_c/Program Files/Velmora/plugins/x.ini",
              emu::hostPath("c:\\PROGRAM FILES\\velmora\\Plugins\\X.INI"));
    EXPECT_EQ(root + "/drive_c/Windows/new.ini", emu::hostPath("\\windows\\new.ini"));
    EXPECT_EQ(root + "/drive_d/data/a", emu::hostPath("D:/data/./b/../a"));
    EXPECT_EQ("/tmp/host/file", emu::hostPath("/tmp/host/file"));
    EXPECT_EQ("", emu::hostPath("\\\\server\\share\\file"));
}

TEST(EmulatedIni, BareFileNamesLiveInTheWindowsFolderAndMissingFoldersFail) {
    TestMachine machine;
    EXPECT_TRUE(WritePrivateProfileStringA("S", "K", "V", "bare.ini"));
    EXPECT_EQ("[S]\r\nK=V\r\n", machine.readFile("drive_c/Windows/bare.ini"));

    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", "C:\\No\\Such\\Folder\\x.ini"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_FALSE(machine.exists("drive_c/No"));
}

TEST(EmulatedIni, WriteKeepsTheOtherKeysAndCommentsInThePlatformsLayout) {
    TestMachine machine;
    machine.writeFile("drive_c/host.ini", "; the host's own comment\r\n[Host]\r\nA=1\r\n\r\n"
                                          "[Kestrin]\r\nOpenLog=System\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("kestrin", "OPENLOG", "Application", "C:\\host.ini"));
    ASSERT_TRUE(WritePrivateProfileStringA("Host", "B", "2", "C:\\host.ini"));
    EXPECT_EQ("; the host's own comment\r\n[Host]\r\nA=1\r\nB=2\r\n"
              "[Kestrin]\r\nOpenLog=Application\r\n",
              machine.readFile("drive_c/host.ini"));
}

TEST(EmulatedIni, EncodingsLineEndsAndFilesThatCannotBeRead) {
    TestMachine machine;
    auto get = [](const char* section, const char* key, const char* file) {
        char value[64];
        GetPrivateProfileStringA(section, key, "default", value, sizeof value, file);
        return std::string(value);
    };
    const std::string utf16 = std::string("\xFF\xFE[\0S\0]\0\r\0\n\0K\0=\0\xE9\0\r\0\n\0", 22);
    machine.writeFile("drive_c/wide.ini", utf16);
    EXPECT_EQ("\xE9", get("s", "k", "C:\\wide.ini"));
    ASSERT_TRUE(WritePrivateProfileStringA("S", "New", "v", "C:\\wide.ini"));
    EXPECT_EQ(utf16 + std::string("N\0e\0w\0=\0v\0\r\0\n\0", 14),
              machine.readFile("drive_c/wide.ini"));

    machine.writeFile("drive_c/cr.ini", "top=before any section\r[A]\rk=cr only\r\r[B]\rk=b\r");
    EXPECT_EQ("cr only", get("A", "k", "C:\\cr.ini"));
    EXPECT_EQ("b", get("B", "k", "C:\\cr.ini"));
    EXPECT_EQ("before any section", get("", "top", "C:\\cr.ini"));

    std::filesystem::create_directories(machine.root() + "/drive_c/folder.ini");
    mkfifo((machine.root() + "/drive_c/fifo.ini").c_str(), 0644);
    for (const char* file : {"C:\\folder.ini", "C:\\fifo.ini"}) {
        EXPECT_EQ("default", get("S", "K", file)) << file;
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", file)) << file;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << file;
    }
    EXPECT_TRUE(std::filesystem::is_directory(machine.root() + "/drive_c/folder.ini"));
    EXPECT_TRUE(std::filesystem::is_fifo(machine.root() + "/drive_c/fifo.ini"));
}

TEST(EmulatedModules, AFifoOrAFolderGivenAsAModuleIsRefusedAtOnce) {
    TestMachine machine;
    std::filesystem::create_directories(machine.root() + "/drive_c/folder.dll");
    mkfifo((machine.root() + "/drive_c/fifo.dll").c_str(), 0644);
    for (const char* file : {"C:\\folder.dll", "C:\\fifo.dll"}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE)) << file;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << file;
    }
}
