// The plugin module's exports, loaded from KestrinPlugin.so as the host loads it.
#include "host/plugin_loader.h"
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

const char* const kHostIni = "C:\\Velmora\\velmora.ini";
const char* const kOwnIni = "drive_c/Velmora/plugins/KestrinPlugin.INI";

class PluginExports : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = std::make_unique<TestMachine>();
        machine_->writeHive("HKEY_CURRENT_USER",
                            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostrel Velmora\\General]"
                            "\r\n\"DirPath\"=\"C:\\\\Velmora\\\\\"\r\n");
        machine_->writeFile("drive_c/Velmora/plugins/.keep", "");
        module_ = std::make_unique<PluginModule>(KESTRIN_PLUGIN_MODULE);
        ASSERT_TRUE(module_->loaded()) << module_->error();
        ASSERT_TRUE(module_->complete()) << module_->error();
        ledger_ = emu::ledger();
    }

    void TearDown() override {
        module_.reset();
        machine_.reset();
    }

    // What a record holds, as the host can learn it: saved and read back.
    std::pair<std::string, std::string> settingsOf(PluginRecord* record) {
        machine_->writeFile("drive_c/check.ini", "");
        module_->save_settings(record, "C:\\check.ini", "Check");
        return {read("C:\\check.ini", "Check", "OpenLog"),
                read("C:\\check.ini", "Check", "ParseString")};
    }

    static std::string read(const char* file, const char* section, const char* key) {
        char buffer[2048];
        GetPrivateProfileStringA(section, key, "<missing>", buffer, sizeof buffer, file);
        return buffer;
    }

    std::unique_ptr<TestMachine> machine_;
    std::unique_ptr<PluginModule> module_;
    emu::Ledger ledger_;
};

} // namespace

TEST_F(PluginExports, AnswerTheirConstants) {
    EXPECT_STREQ("LastLogEntry|LastNLogs", module_->init());
    for (const char* name : {"LastLogEntry", "LastNLogs", "", "other"})
        EXPECT_STREQ("", module_->getparam(name)) << name;
    EXPECT_STREQ("Kestrin Viewer", module_->getinfo(0));
    EXPECT_STRNE("", module_->getinfo(1));
    EXPECT_STREQ("1.0", module_->getinfo(2));
    EXPECT_STREQ("16/08/04", module_->getinfo(3));
    EXPECT_STREQ("16/08/04", module_->getinfo(4));
    EXPECT_STREQ("", module_->getinfo(5));
    EXPECT_STRNE("", module_->getinfo(6));
    EXPECT_STREQ("", module_->getinfo(7));
    EXPECT_STREQ("", module_->getinfo(0xFFFFFFFFu));
    EXPECT_EQ(1, module_->dlltype());
    EXPECT_EQ(0, module_->vis_configure(12345));
}

TEST_F(PluginExports, StartupLoadsTheOwnSettingsFileOnlyWhenAskedWithOne) {
    for (int flag : {0, 2}) {
        PluginRecord* record = module_->dllstartup(0, flag);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(std::make_pair(std::string(), std::string()), settingsOf(record)) << flag;
        module_->dllshutdown(record);
    }
    PluginRecord* defaults = module_->dllstartup(0, 1);
    EXPECT_EQ(std::make_pair(std::string("System"), std::string("%1 - %2")), settingsOf(defaults));
    module_->dllshutdown(defaults);

    machine_->writeFile(kOwnIni, "[Kestrin Settings]\r\nOpenLog=Application\r\nParseString=%5\r\n");
    PluginRecord* own = module_->dllstartup(0, 1);
    EXPECT_EQ(std::make_pair(std::string("Application"), std::string("%5")), settingsOf(own));
    module_->dllshutdown(own);
}

TEST_F(PluginExports, LoadSettingsKeepsValuesShorterThanTwoCharacters) {
    machine_->writeFile("drive_c/Velmora/velmora.ini",
                        "[A]\r\nOpenLog=Security\r\nParseString=%1 %2\r\n"
                        "[Empty]\r\nOpenLog=\r\nParseString=x\r\n"
                        "[Two]\r\nOpenLog=ab\r\n");
    PluginRecord* record = module_->dllstartup(0, 0);
    EXPECT_EQ(0, module_->load_settings(record, kHostIni, "NoSuchSection"));
    EXPECT_EQ(std::make_pair(std::string("System"), std::string("%1 - %2")), settingsOf(record));
    module_->load_settings(record, kHostIni, "A");
    module_->load_settings(record, kHostIni, "Empty");
    EXPECT_EQ(std::make_pair(std::string("Security"), std::string("%1 %2")), settingsOf(record));
    module_->load_settings(record, kHostIni, "Two");
    EXPECT_EQ("ab", settingsOf(record).first);

    std::string longTemplate(1500, 'x');
    machine_->writeFile("drive_c/Velmora/long.ini", "[L]\r\nParseString=" + longTemplate + "\r\n");
    module_->load_settings(record, "C:\\Velmora\\long.ini", "L");
    EXPECT_EQ(longTemplate.substr(0, 1023), settingsOf(record).second);
    module_->dllshutdown(record);
}

TEST_F(PluginExports, SaveSettingsWritesBothKeysEvenWhenEmpty) {
    PluginRecord* record = module_->dllstartup(0, 0);
    EXPECT_EQ(0, module_->save_settings(record, kHostIni, "Kestrin"));
    EXPECT_EQ("[Kestrin]\r\nOpenLog=\r\nParseString=\r\n",
              machine_->readFile("drive_c/Velmora/velmora.ini"));
    module_->dllshutdown(record);
}

TEST_F(PluginExports, NullNamesAndDeadRecordsAreLeftAlone) {
    PluginRecord* record = module_->dllstartup(0, 0);
    EXPECT_EQ(0, module_->save_settings(record, nullptr, "S"));
    EXPECT_EQ(0, module_->save_settings(record, kHostIni, nullptr));
    EXPECT_EQ(0, module_->load_settings(record, nullptr, "S"));
    EXPECT_EQ(0, module_->load_settings(record, kHostIni, nullptr));
    EXPECT_FALSE(machine_->exists("drive_c/Windows/win.ini"));
    EXPECT_FALSE(machine_->exists("drive_c/Velmora/velmora.ini"));

    EXPECT_EQ(0, module_->dllshutdown(record));
    EXPECT_EQ(0, module_->dllshutdown(record)) << "a second shutdown does nothing";
    EXPECT_EQ(0, module_->save_settings(record, kHostIni, "S"));
    EXPECT_EQ(0, module_->dllshutdown(nullptr));
    int notARecord = 0;
    EXPECT_EQ(0,
              module_->save_settings(reinterpret_cast<PluginRecord*>(&notARecord), kHostIni, "S"));
    EXPECT_FALSE(machine_->exists("drive_c/Velmora/velmora.ini"));
}

TEST_F(PluginExports, GdiplusRunsWhileAnyInstanceLivesWhateverTheShutdownOrder) {
    PluginRecord* first = module_->dllstartup(0, 0);
    PluginRecord* second = module_->dllstartup(0, 0);
    EXPECT_EQ(ledger_.gdiplusTokens + 1, emu::ledger().gdiplusTokens);
    module_->dllshutdown(first);
    EXPECT_EQ(ledger_.gdiplusTokens + 1, emu::ledger().gdiplusTokens);
    PluginRecord* third = module_->dllstartup(0, 0);
    module_->dllshutdown(second);
    EXPECT_EQ(ledger_.gdiplusTokens + 1, emu::ledger().gdiplusTokens);
    module_->dllshutdown(third);
    EXPECT_EQ(ledger_.gdiplusTokens, emu::ledger().gdiplusTokens);
    EXPECT_EQ(ledger_.registryKeys, emu::ledger().registryKeys);
    EXPECT_EQ(ledger_.localBlocks, emu::ledger().localBlocks);
}

TEST_F(PluginExports, TheOwnSettingsFileIsNamedForTheModuleFileAsLoaded) {
    namespace fs = std::filesystem;
    fs::path renamed = fs::path(machine_->root()) / "my.plugin.so";
    fs::copy_file(KESTRIN_PLUGIN_MODULE, renamed);
    machine_->writeFile("drive_c/Velmora/plugins/my.plugin.INI",
                        "[Kestrin Settings]\r\nOpenLog=Renamed\r\n");
    PluginModule other(renamed.string());
    ASSERT_TRUE(other.complete()) << other.error();
    PluginRecord* record = other.dllstartup(0, 1);
    machine_->writeFile("drive_c/check.ini", "");
    other.save_settings(record, "C:\\check.ini", "Check");
    EXPECT_EQ("Renamed", read("C:\\check.ini", "Check", "OpenLog"));
    other.dllshutdown(record);
}
