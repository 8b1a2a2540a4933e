// The emulated process is a 32-bit one: on a machine with Windows\SysWOW64 it
// meets the file system redirector, the loader's word-size rules and the
// program folders of WOW64, as on 64-bit Windows.
#include "src/platform/emu/emu_control.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

std::string sampleFile(const std::string& folder, const std::string& name) {
    std::ifstream in(std::string(KESTRIN_SAMPLE_MACHINE) + "/drive_c/Windows/" + folder + "/" +
                         name,
                     std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Message 0x40001B7D's text in `module`, or "" when it has none.
std::string stateMessage(HMODULE module) {
    char* text = nullptr;
    const char* args[] = {"A", "B"};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                 FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             module, 0x40001B7D, 0, reinterpret_cast<LPSTR>(&text), 0,
                             reinterpret_cast<va_list*>(args));
    std::string out = n ? text : "";
    LocalFree(text);
    return out;
}

// A 64-bit machine: kservice.dll only in System32 (64-bit), both.dll in both
// folders with different messages (the 32-bit copy has no state message).
class Wow64 : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_.writeFile("drive_c/Windows/System32/kservice.dll",
                           sampleFile("System32", "kservice.dll"));
        machine_.writeFile("drive_c/Windows/System32/both.dll",
                           sampleFile("System32", "kservice.dll"));
        machine_.writeFile("drive_c/Windows/SysWOW64/both.dll",
                           sampleFile("SysWOW64", "ksystem.dll"));
        machine_.writeFile("drive_c/Windows/System32/drivers/etc/shared.dll",
                           sampleFile("System32", "kservice.dll"));
        machine_.reload();
    }
    TestMachine machine_;
};

} // namespace

TEST_F(Wow64, LoadsFollowTheRedirectorAndTheWordSize) {
    const DWORD image = DONT_RESOLVE_DLL_REFERENCES, data = LOAD_LIBRARY_AS_DATAFILE,
                resource = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
    const struct {
        const char* path;
        DWORD flags;
        DWORD error; // 0: loads
        bool hasStateMessage;
    } rows[] = {
        {"C:\\Windows\\System32\\kservice.dll", image, ERROR_MOD_NOT_FOUND, false},
        {"C:\\Windows\\System32\\kservice.dll", data, ERROR_FILE_NOT_FOUND, false},
        {"C:\\Windows\\Sysnative\\kservice.dll", image, ERROR_BAD_EXE_FORMAT, false},
        {"C:\\Windows\\Sysnative\\kservice.dll", data, 0, true},
        {"c:\\windows\\SYSNATIVE\\kservice.dll", resource, 0, true},
        {"C:\\Windows\\System32\\both.dll", image, 0, false}, // the 32-bit copy
        {"both.dll", resource, 0, false},                     // searched: System32, redirected
        {"kservice.dll", data, ERROR_FILE_NOT_FOUND, false},
        {"C:\\Windows\\Sysnative\\both.dll", resource, 0, true},
        {"C:\\Windows\\System32\\drivers\\etc\\shared.dll", resource, 0, true}, // not redirected
        {"C:\\NoFolder\\x.dll", data, ERROR_FILE_NOT_FOUND, false},             // as Wine says
        {"C:\\NoFolder\\Deeper\\x.dll", data, ERROR_FILE_NOT_FOUND, false},
        {"C:\\NoFolder\\x.dll", image, ERROR_MOD_NOT_FOUND, false},
    };
    long before = emu::ledger().modules;
    for (const auto& row : rows) {
        SetLastError(0);
        HMODULE module = LoadLibraryExA(row.path, nullptr, row.flags);
        EXPECT_EQ(row.error == 0, module != nullptr) << row.path << " " << row.flags;
        if (!module) {
            EXPECT_EQ(row.error, GetLastError()) << row.path << " " << row.flags;
            continue;
        }
        EXPECT_EQ(row.hasStateMessage, !stateMessage(module).empty()) << row.path;
        FreeLibrary(module);
    }
    EXPECT_EQ(before, emu::ledger().modules);

    // Data files map anew; an image is loaded once and counted, and a data-file
    // load of it gets the same handle.
    const char* native = "C:\\Windows\\Sysnative\\kservice.dll";
    HMODULE first = LoadLibraryExA(native, nullptr, data),
            second = LoadLibraryExA(native, nullptr, data);
    EXPECT_NE(first, second);
    const char* both = "C:\\Windows\\System32\\both.dll";
    HMODULE loaded = LoadLibraryExA(both, nullptr, 0), again = LoadLibraryExA(both, nullptr, image),
            asData = LoadLibraryExA(both, nullptr, resource);
    EXPECT_EQ(loaded, again);
    EXPECT_EQ(loaded, asData);
    EXPECT_EQ(before + 5, emu::ledger().modules);
    for (HMODULE module : {first, second, loaded, again, asData})
        EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(loaded)) << "given back as often as it was taken";
    EXPECT_EQ(before, emu::ledger().modules);

    emu::refuseImageResourceLoads(true);
    EXPECT_EQ(nullptr, LoadLibraryExA(native, nullptr, resource));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    emu::clearFaults();
}

TEST_F(Wow64, TheProcessSeesTheMachinesEnvironmentAndTheX86ProgramFolders) {
    machine_.writeHive("HKEY_LOCAL_MACHINE",
                       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                       "Session Manager\\Environment]\r\n\"Path\"=\"C:\\\\Windows\\\\system32\"\r\n"
                       "\"Both\"=\"system\"\r\n");
    machine_.writeHive("HKEY_CURRENT_USER",
                       "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Environment]\r\n\"Both\"=\"user\"\r\n");
    const struct {
        const char* text;
        const char* expanded;
    } rows[] = {
        {"%ProgramFiles%|%CommonProgramFiles%",
         "C:\\Program Files (x86)|C:\\Program Files (x86)\\Common Files"},
        {"%ProgramW6432%|%CommonProgramW6432%",
         "C:\\Program Files|C:\\Program Files\\Common Files"},
        {"%SystemRoot%|%windir%|%SystemDrive%|%ProgramData%",
         "C:\\Windows|C:\\Windows|C:|C:\\ProgramData"},
        {"%PATH%|%Both%", "C:\\Windows\\system32|user"},
        {"%HOME%|%USER%", "%HOME%|%USER%"}, // the test process's own never reach it
    };
    for (const auto& row : rows) {
        char out[512] = {};
        ExpandEnvironmentStringsA(row.text, out, sizeof out);
        EXPECT_STREQ(row.expanded, out);
    }
    machine_.writeFile("drive_c/Windows/SysWOW64/k.ini", "[S]\r\nk=32-bit\r\n");
    char value[32] = {};
    GetPrivateProfileStringA("S", "k", "", value, sizeof value, "C:\\Windows\\System32\\k.ini");
    EXPECT_STREQ("32-bit", value) << "the process's own files are redirected too";
}

TEST(Wow64Not, AMachineWithoutSysWow64IsA32BitWindows) {
    TestMachine machine;
    machine.writeFile("drive_c/Windows/System32/ksystem.dll",
                      sampleFile("SysWOW64", "ksystem.dll"));
    HMODULE module = LoadLibraryExA("C:\\Windows\\System32\\ksystem.dll", nullptr, 0);
    EXPECT_NE(nullptr, module);
    FreeLibrary(module);
    EXPECT_EQ(nullptr, LoadLibraryExA("C:\\Windows\\Sysnative\\ksystem.dll", nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE));
    char out[64] = {};
    ExpandEnvironmentStringsA("%ProgramFiles%|%ProgramW6432%", out, sizeof out);
    EXPECT_STREQ("C:\\Program Files|%ProgramW6432%", out);
}

// The registry's views, where Wine is kinder than Windows (the rest is the
// conformance probe's): both flags at once are refused, and the view is each
// call's own, not its parent handle's. A 32-bit Windows has one view.
TEST(Wow64Registry, TheViewIsTheCallsAndBothFlagsAreRefused) {
    for (bool wow64 : {true, false}) {
        SCOPED_TRACE(wow64 ? "64-bit machine" : "32-bit machine");
        TestMachine machine;
        if (wow64)
            machine.writeFile("drive_c/Windows/SysWOW64/k.ini", "");
        machine.writeHive("HKEY_LOCAL_MACHINE", "REGEDIT4\r\n\r\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\Only64]\r\n\r\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\r\n");
        machine.reload();
        auto opens = [](HKEY root, const char* path, REGSAM flags) {
            HKEY key = nullptr;
            LSTATUS status = RegOpenKeyExA(root, path, 0, KEY_READ | flags, &key);
            if (key)
                RegCloseKey(key);
            return status;
        };
        EXPECT_EQ(wow64 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS,
                  opens(HKEY_LOCAL_MACHINE, "SOFTWARE\\K\\Only64", 0));
        EXPECT_EQ(ERROR_SUCCESS, opens(HKEY_LOCAL_MACHINE, "SOFTWARE\\K\\Only64", KEY_WOW64_64KEY));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, opens(HKEY_LOCAL_MACHINE, "SOFTWARE\\K\\Only64",
                                                 KEY_WOW64_64KEY | KEY_WOW64_32KEY));
        HKEY software = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0,
                                               KEY_READ | KEY_WOW64_64KEY, &software));
        EXPECT_EQ(wow64 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS, opens(software, "K\\Only64", 0));
        RegCloseKey(software);
    }
}

// Language satellites: a language-neutral file's table is read from
// <folder>\<language>\<name>.mui, the first of the user's preferred languages,
// the machine's UI language and en-US that has one; without any, Windows 10's
// ERROR_MUI_FILE_NOT_FOUND.
TEST(Satellites, TheFirstLanguageOfTheFallbackListWithASatelliteIsRead) {
    const std::string neutral = sampleFile("System32", "kmanifest.dll");
    const std::string english = sampleFile("System32/en-US", "kmanifest.dll.mui");
    const std::string german = sampleFile("System32", "kservice.dll"); // another table
    struct Case {
        const char* what;
        const char* preferred; // HKCU PreferredUILanguages, or none
        const char* machine;   // Nls\Language Default
        std::vector<std::pair<const char*, const std::string*>> satellites;
        DWORD id, error;
    } cases[] = {
        {"the machine's language", nullptr, "0409", {{"en-US", &english}}, 0xB0010001, 0},
        {"the user's before the machine's",
         "de-DE",
         "0409",
         {{"en-US", &english}, {"DE-de", &german}},
         0x40001B7D,
         0},
        {"en-US as the last fallback", nullptr, "0407", {{"en-us", &english}}, 0xB0010001, 0},
        {"no satellite", nullptr, "0409", {}, 0xB0010001, ERROR_MUI_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestMachine machine;
        machine.writeFile("drive_c/Windows/k.dll", neutral);
        for (const auto& [language, bytes] : c.satellites)
            machine.writeFile(std::string("drive_c/Windows/") + language + "/k.dll.mui", *bytes);
        machine.writeHive(
            "HKEY_LOCAL_MACHINE",
            std::string("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                        "Control\\Nls\\Language]\r\n\"Default\"=\"") +
                c.machine + "\"\r\n");
        if (c.preferred)
            machine.writeHive("HKEY_CURRENT_USER",
                              std::string("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel\\"
                                          "Desktop]\r\n\"PreferredUILanguages\"=\"") +
                                  c.preferred + "\"\r\n");
        machine.reload();
        HMODULE module = LoadLibraryExA("C:\\Windows\\k.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module);
        char* text = nullptr;
        const char* args[] = {"A", "B", "C", "D", "E", "F", "G"};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 module, c.id, 0, reinterpret_cast<LPSTR>(&text), 0,
                                 reinterpret_cast<va_list*>(args));
        EXPECT_EQ(c.error, n ? 0u : GetLastError());
        LocalFree(text);
        FreeLibrary(module);
    }
}
