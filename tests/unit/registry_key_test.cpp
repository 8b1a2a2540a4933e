// CRegistryKey and the own settings file's location.
#include "src/config/CRegistryKey.h"
#include "src/config/settings_location.h"
#include "src/platform/emu/emu_control.h"
#include "src/plugin/CPluginApp.h"
#include "test_machine.h"

#include <gtest/gtest.h>

namespace {

const char* const kHostKey = "Software\\Ostrel Velmora\\General";

std::string hostKeyHive(const std::string& dirPathLine) {
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_CURRENT_USER\\Software\\Ostrel Velmora\\General]\r\n" +
           dirPathLine + "\r\n";
}

} // namespace

TEST(CRegistryKey, ReadStringValueFallsBackToTheDefaultAndStoresIt) {
    TestMachine machine;
    long keysBefore = emu::ledger().registryKeys;
    {
        CRegistryKey key(HKEY_CURRENT_USER, "Software\\Test");
        EXPECT_EQ("fallback", key.ReadStringValue("Missing", "fallback"));
        EXPECT_EQ("fallback", key.ReadStringValue("missing", "other")) << "the default was stored";
        EXPECT_EQ("", key.ReadStringValue(nullptr, "ignored"));
        EXPECT_EQ("", key.ReadStringValue("NoDefault", nullptr));
        EXPECT_EQ(keysBefore + 1, emu::ledger().registryKeys);
    }
    EXPECT_EQ(keysBefore, emu::ledger().registryKeys) << "the destructor closes the key";
    std::string hive = machine.readHive("HKEY_CURRENT_USER");
    EXPECT_NE(std::string::npos, hive.find("\"Missing\"=\"fallback\""));
    EXPECT_EQ(std::string::npos, hive.find("NoDefault")) << "a null default writes nothing";
    EXPECT_EQ(std::string::npos, hive.find("ignored"));
}

TEST(CRegistryKey, ReadsAnyValueTypeAsTextUpToItsFirstNul) {
    TestMachine machine;
    machine.writeHive("HKEY_CURRENT_USER",
                      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\T]\r\n"
                      "\"Expand\"=hex(2):25,41,25,00\r\n" // ANSI in REGEDIT4: "%A%"
                      "\"Dword\"=dword:00333231\r\n"      // bytes 31 32 33 00: "123"
                      "\"Binary\"=hex:41,42,00,43\r\n"
                      "\"NoNul\"=hex:41,42\r\n");
    CRegistryKey key(HKEY_CURRENT_USER, "T");
    EXPECT_EQ("%A%", key.ReadStringValue("Expand", "d")) << "no expansion";
    EXPECT_EQ("123", key.ReadStringValue("Dword", "d"));
    EXPECT_EQ("AB", key.ReadStringValue("Binary", "d"));
    EXPECT_EQ("AB", key.ReadStringValue("NoNul", "d"));
}

TEST(CRegistryKey, EnumeratesSubkeysUntilTheFirstFailure) {
    TestMachine machine;
    machine.writeHive("HKEY_CURRENT_USER", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Logs\\B]\r\n"
                                           "[HKEY_CURRENT_USER\\Logs\\a]\r\n"
                                           "[HKEY_CURRENT_USER\\Empty]\r\n");
    CRegistryKey logs(HKEY_CURRENT_USER, "Logs"); // full access: HKLM is read-only to our users
    std::string name = "previous";
    ASSERT_TRUE(logs.EnumFirstSubKey(name));
    EXPECT_EQ("a", name);
    ASSERT_TRUE(logs.EnumNextSubKey(name));
    EXPECT_EQ("B", name);
    EXPECT_FALSE(logs.EnumNextSubKey(name));
    ASSERT_TRUE(logs.EnumFirstSubKey(name)) << "starting over";
    EXPECT_EQ("a", name);

    CRegistryKey empty(HKEY_CURRENT_USER, "Empty");
    EXPECT_FALSE(empty.EnumFirstSubKey(name));
}

TEST(SettingsLocation, JoinsDirPathPluginsAndTheModuleName) {
    TestMachine machine;
    const std::string module = theApp.GetAppName();
    ASSERT_FALSE(module.empty());

    machine.writeHive("HKEY_CURRENT_USER", hostKeyHive("\"DirPath\"=\"C:\\\\Apps\\\\Host\\\\\""));
    EXPECT_EQ("C:\\Apps\\Host\\plugins", GetHostPluginDir());
    EXPECT_EQ("C:\\Apps\\Host\\plugins\\" + module + ".INI", GetPluginIniPath());

    // Without a trailing backslash "plugins" joins the last name directly.
    machine.writeHive("HKEY_CURRENT_USER", hostKeyHive("\"DirPath\"=\"C:\\\\Apps\\\\Host\""));
    EXPECT_EQ("C:\\Apps\\Hostplugins\\" + module + ".INI", GetPluginIniPath());

    // An empty directory adds no "plugins" and writes nothing.
    machine.writeHive("HKEY_CURRENT_USER", hostKeyHive("\"DirPath\"=\"\""));
    std::string before = machine.readHive("HKEY_CURRENT_USER");
    EXPECT_EQ("\\" + module + ".INI", GetPluginIniPath());
    EXPECT_EQ(before, machine.readHive("HKEY_CURRENT_USER"));
}

TEST(SettingsLocation, AMissingHostKeyIsCreatedWithAnEmptyDirPath) {
    TestMachine machine;
    EXPECT_EQ("\\" + theApp.GetAppName() + ".INI", GetPluginIniPath());
    machine.reload();
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kHostKey, 0, KEY_READ, &key));
    BYTE data[8] = {0xbd, 0xbd};
    DWORD size = sizeof data, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "DirPath", nullptr, &type, data, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(0, data[0]);
    RegCloseKey(key);
}

TEST(ModuleName, IsTheFileNameWithoutDirectoryAndLastExtension) {
    EXPECT_EQ("KestrinPlugin", ModuleNameFromPath("C:\\Apps\\Host\\plugins\\KestrinPlugin.dll"));
    EXPECT_EQ("my.plugin", ModuleNameFromPath("C:\\Apps\\my.plugin.dll"));
    EXPECT_EQ("KestrinPlugin", ModuleNameFromPath("/opt/kestrin/KestrinPlugin.so"));
    EXPECT_EQ("noext", ModuleNameFromPath("D:/x.y\\noext"));
    EXPECT_EQ("unit_tests", theApp.GetAppName());
}
