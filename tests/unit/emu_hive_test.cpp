// Hive files that are hostile, huge, foreign or changed behind the emulation's back.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string hkcu(const std::string& body) {
    return "REGEDIT4\r\n\r\n" + body;
}

std::string queryText(HKEY root, const std::string& path, const std::string& name,
                      LSTATUS* status = nullptr) {
    HKEY key = nullptr;
    LSTATUS s = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
    char data[512] = {};
    DWORD size = sizeof data - 1;
    if (s == ERROR_SUCCESS)
        s = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                             &size);
    if (key)
        RegCloseKey(key);
    if (status)
        *status = s;
    return s == ERROR_SUCCESS ? std::string(data, size) : "";
}

LSTATUS setText(HKEY root, const std::string& path, const std::string& name,
                const std::string& text) {
    HKEY key = nullptr;
    LSTATUS s =
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (s == ERROR_SUCCESS)
        s = RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1));
    if (key)
        RegCloseKey(key);
    return s;
}

std::string utf16(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

} // namespace

TEST(EmulatedHive, AFileThatCannotBeReadIsNeverWrittenOver) {
    TestMachine machine;
    std::string hive = machine.root() + "/registry/HKEY_CURRENT_USER.reg";
    std::filesystem::create_directories(machine.root() + "/registry");
    const struct {
        const char* what;
        void (*make)(const std::string& path);
    } kinds[] = {
        {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }},
        {"a FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0644); }},
        {"a symlink loop", [](const std::string& p) { symlink(p.c_str(), p.c_str()); }},
    };
    for (const auto& kind : kinds) {
        std::filesystem::remove_all(hive);
        kind.make(hive);
        machine.reload();
        struct stat before;
        lstat(hive.c_str(), &before);
        EXPECT_EQ(ERROR_CANTWRITE, setText(HKEY_CURRENT_USER, "K", "V", "x")) << kind.what;
        struct stat after;
        ASSERT_EQ(0, lstat(hive.c_str(), &after)) << kind.what;
        EXPECT_EQ(before.st_mode, after.st_mode) << kind.what;
        EXPECT_EQ(before.st_ino, after.st_ino) << kind.what;
    }
}

TEST(EmulatedHive, ALineThatDoesNotParseLosesOnlyItselfAndMakesTheHiveReadOnly) {
    TestMachine machine;
    const std::string text = hkcu("[HKEY_CURRENT_USER\\K]\r\n\"A\"=\"kept\"\r\n"
                                  "\"B\"=hex(zz):01\r\n\"C\"=hex():01\r\n"
                                  "\"D\"=hex(123456789):01\r\n\"E\"=dword:1234567890\r\n"
                                  "garbage\r\n\"F\"=hex(2):41,00\r\n[HKEY_CURRENT_USER\\L]\r\n"
                                  "\"G\"=dword:00000007\r\n");
    testing::internal::CaptureStderr();
    machine.writeHive("HKEY_CURRENT_USER", text);
    EXPECT_EQ(std::string("kept", 5), queryText(HKEY_CURRENT_USER, "K", "A"));
    EXPECT_EQ(std::string("A", 2), queryText(HKEY_CURRENT_USER, "K", "F"));
    for (const char* lost : {"B", "C", "D", "E"}) {
        LSTATUS status;
        queryText(HKEY_CURRENT_USER, "K", lost, &status);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, status) << lost;
    }
    EXPECT_EQ(std::string("\x07\0\0\0", 4), queryText(HKEY_CURRENT_USER, "L", "G"));
    EXPECT_EQ(ERROR_CANTWRITE, setText(HKEY_CURRENT_USER, "K", "A", "changed"));
    EXPECT_EQ(ERROR_CANTWRITE, setText(HKEY_CURRENT_USER, "New", "A", "x"));
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, machine.readHive("HKEY_CURRENT_USER"));
    EXPECT_EQ(1, std::count(warning.begin(), warning.end(), '\n')) << warning;
    EXPECT_NE(std::string::npos, warning.find("HKEY_CURRENT_USER.reg: line 5:")) << warning;
    EXPECT_NE(std::string::npos, warning.find("(and 4 more)")) << warning;
}

TEST(EmulatedHive, KeysStopAt512LevelsAndAreWrittenWithoutRepeatingEachLevel) {
    TestMachine machine;
    auto chain = [](size_t levels) {
        std::string path = "HKEY_CURRENT_USER";
        for (size_t i = 0; i < levels; ++i)
            path += "\\level-with-a-long-name-" + std::to_string(i % 10);
        return path;
    };
    std::string deep = hkcu("[" + chain(512) + "]\r\n\"V\"=\"deepest\"\r\n");
    machine.writeHive("HKEY_CURRENT_USER", deep);
    std::string below = chain(512).substr(sizeof "HKEY_CURRENT_USER");
    EXPECT_EQ(std::string("deepest", 8), queryText(HKEY_CURRENT_USER, below, "V"));
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_CURRENT_USER, (below + "\\one more").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_CURRENT_USER, std::string(256, 'n').c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, setText(HKEY_CURRENT_USER, "Other", "V", "v"));
    EXPECT_LT(machine.readHive("HKEY_CURRENT_USER").size(), deep.size() + 100);

    testing::internal::CaptureStderr();
    machine.writeHive("HKEY_CURRENT_USER", hkcu("[" + chain(100000) +
                                                "]\r\n\"V\"=\"too deep\"\r\n[HKEY_CURRENT_USER"
                                                "\\Near]\r\n\"V\"=\"near\"\r\n"));
    EXPECT_EQ(std::string("near", 5), queryText(HKEY_CURRENT_USER, "Near", "V"));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("a key deeper than 512 levels"));
}

TEST(EmulatedHive, NamesWithLineBreaksAndNulsComeBack) {
    TestMachine machine;
    machine.writeHive("HKEY_CURRENT_USER",
                      hkcu("[HKEY_CURRENT_USER\\K]\r\n\"a\\rb\"=\"1\"\r\n\"c\\nd\"=\"2\"\r\n"
                           "\"e\\0f\"=\"3\"\r\n"));
    ASSERT_EQ(ERROR_SUCCESS, setText(HKEY_CURRENT_USER, "line\r\nbreak\\and\rreturn", "x\ny", "4"));
    machine.reload();
    EXPECT_EQ(std::string("1", 2), queryText(HKEY_CURRENT_USER, "K", "a\rb"));
    EXPECT_EQ(std::string("2", 2), queryText(HKEY_CURRENT_USER, "K", "c\nd"));
    EXPECT_EQ(std::string("4", 2),
              queryText(HKEY_CURRENT_USER, "line\r\nbreak\\and\rreturn", "x\ny"));
    EXPECT_NE(std::string::npos, machine.readHive("HKEY_CURRENT_USER").find("\"e\\0f\"=\"3\""));
}

TEST(EmulatedHive, AVersion5HiveKeepsEveryCharacterKeyAndCommentWhenWrittenBack) {
    TestMachine machine;
    const std::u16string original =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"; \x0394 a comment above the key\r\n[HKEY_CURRENT_USER\\\x041A\x043B\x044E\x0447]\r\n"
        u"; a comment above the value\r\n\"\x540D\"=\"\x4E2D\x6587 \xD83D\xDE00\"\r\n"
        u"\"Expand\"=hex(2):25,00,3b,04,25,00,00,00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Elsewhere]\r\n\"Kept\"=\"as it was\"\r\n";
    machine.writeHive("HKEY_CURRENT_USER", utf16(original));
    ASSERT_EQ(ERROR_SUCCESS, setText(HKEY_CURRENT_USER, "Added", "V", "new"));
    std::string written = machine.readHive("HKEY_CURRENT_USER");
    ASSERT_EQ(0u, written.find("\xFF\xFE")) << "still UTF-16LE";
    for (const std::u16string& part :
         {std::u16string(u"; \x0394 a comment above the key\r\n[HKEY_CURRENT_USER\\\x041A\x043B"
                         u"\x044E\x0447]\r\n; a comment above the value\r\n\"\x540D\"=\"\x4E2D"
                         u"\x6587 \xD83D\xDE00\"\r\n\"Expand\"=hex(2):25,00,3b,04,25,00,00,00"),
          std::u16string(u"[HKEY_CURRENT_USER\\Added]\r\n\"V\"=\"new\""),
          std::u16string(u"[HKEY_LOCAL_MACHINE\\Elsewhere]\r\n\"Kept\"=\"as it was\"")})
        EXPECT_NE(std::string::npos, written.find(utf16(part).substr(2)));
    machine.reload();
    EXPECT_EQ(written, (setText(HKEY_CURRENT_USER, "Added", "V", "new"),
                        machine.readHive("HKEY_CURRENT_USER")))
        << "a second round trip changes nothing";
}

TEST(EmulatedHive, AChangeMadeByAnotherProcessIsSeenAndNeverUndone) {
    TestMachine machine;
    machine.writeHive("HKEY_CURRENT_USER", hkcu("[HKEY_CURRENT_USER\\K]\r\n\"V\"=\"one\"\r\n"));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(std::string("one", 4), queryText(HKEY_CURRENT_USER, "K", "V"));
    machine.writeFile("registry/HKEY_CURRENT_USER.reg",
                      hkcu("[HKEY_CURRENT_USER\\K]\r\n\"V\"=\"two\"\r\n\"W\"=\"theirs\"\r\n"));
    EXPECT_EQ(std::string("two", 4), queryText(HKEY_CURRENT_USER, "K", "V"));
    const BYTE mine[] = "mine";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "X", 0, REG_SZ, mine, sizeof mine));
    std::string written = machine.readHive("HKEY_CURRENT_USER");
    EXPECT_NE(std::string::npos, written.find("\"W\"=\"theirs\""));
    EXPECT_NE(std::string::npos, written.find("\"X\"=\"mine\""));
    machine.writeFile("registry/HKEY_CURRENT_USER.reg", hkcu("[HKEY_CURRENT_USER\\Other]\r\n"));
    EXPECT_EQ(1018 /* ERROR_KEY_DELETED */, RegSetValueExA(key, "X", 0, REG_SZ, mine, sizeof mine));
    RegCloseKey(key);
}

TEST(EmulatedHive, TextsCrossTheAnsiEdgeInTheMachinesCodePage) {
    TestMachine machine;
    machine.writeHive("HKEY_LOCAL_MACHINE",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                      "Nls\\CodePage]\r\n\"ACP\"=\"1251\"\r\n[HKEY_LOCAL_MACHINE\\\xCA\xEB\xFE\xF7]"
                      "\r\n\"V\"=\"\xEF\xF0\xE8\xE2\xE5\xF2\"\r\n");
    machine.writeFile("registry/HKEY_CURRENT_USER.reg",
                      utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]"
                            u"\r\n\"V\"=\"\x043C\x0438\x0440 \x4E2D\"\r\n"));
    EXPECT_EQ(1251u, GetACP());
    EXPECT_EQ(std::string("\xEF\xF0\xE8\xE2\xE5\xF2", 7),
              queryText(HKEY_LOCAL_MACHINE, "\xCA\xEB\xFE\xF7", "V"));
    EXPECT_EQ(std::string("\xEC\xE8\xF0 ?", 6), queryText(HKEY_CURRENT_USER, "K", "V"));

    // A text whose count leaves its NUL out is stored with one.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "K", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3));
    RegCloseKey(key);
    EXPECT_EQ(std::string("abc", 4), queryText(HKEY_CURRENT_USER, "K", "NoNul"));
}
