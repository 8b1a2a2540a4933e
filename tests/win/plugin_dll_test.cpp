// KestrinPlugin.dll under Wine, loaded from a host's plugins folder with
// LoadLibraryA as the host loads it. The registry and the INI files are Wine's.
#include "host/plugin_loader.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const char* const kHostKey = "Software\\Ostrel Velmora\\General";

std::string exeDirectory() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length);
    return self.substr(0, self.find_last_of('\\') + 1);
}

void setDirPath(const std::string* value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kHostKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (value)
        RegSetValueExA(key, "DirPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                       static_cast<DWORD>(value->size() + 1));
    else
        RegDeleteValueA(key, "DirPath");
    RegCloseKey(key);
}

std::string readIni(const std::string& file, const char* section, const char* key) {
    char buffer[2048];
    GetPrivateProfileStringA(section, key, "<missing>", buffer, sizeof buffer, file.c_str());
    return buffer;
}

void writeFile(const std::string& path, const std::string& contents) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
}

// A host folder made for each test: <temp>\kestrin-N\ with plugins\ holding a
// copy of the DLL, and DirPath pointing at it.
class PluginDll : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        for (unsigned n = GetTickCount();; ++n) {
            hostDir_ = std::string(temp) + "kestrin-" + std::to_string(n) + "\\";
            if (CreateDirectoryA(hostDir_.c_str(), nullptr))
                break;
        }
        pluginsDir_ = hostDir_ + "plugins\\";
        CreateDirectoryA(pluginsDir_.c_str(), nullptr);
        setDirPath(&hostDir_);
        module_ = load("KestrinPlugin.dll");
    }

    void TearDown() override {
        module_.reset();
        std::string pattern = pluginsDir_ + "*";
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(pattern.c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
            DeleteFileA((pluginsDir_ + found.cFileName).c_str());
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
        DeleteFileA((hostDir_ + "host.ini").c_str());
        RemoveDirectoryA(pluginsDir_.c_str());
        RemoveDirectoryA(hostDir_.c_str());
    }

    std::unique_ptr<PluginModule> load(const std::string& fileName) {
        std::string copy = pluginsDir_ + fileName;
        EXPECT_TRUE(CopyFileA((exeDirectory() + "KestrinPlugin.dll").c_str(), copy.c_str(), FALSE));
        auto module = std::make_unique<PluginModule>(copy);
        EXPECT_TRUE(module->loaded()) << module->error();
        EXPECT_TRUE(module->complete()) << module->error();
        return module;
    }

    std::pair<std::string, std::string> settingsOf(PluginModule& module, PluginRecord* record) {
        std::string check = hostDir_ + "check.ini";
        DeleteFileA(check.c_str());
        module.save_settings(record, check.c_str(), "Check");
        auto result = std::make_pair(readIni(check, "Check", "OpenLog"),
                                     readIni(check, "Check", "ParseString"));
        DeleteFileA(check.c_str());
        return result;
    }

    std::string hostDir_, pluginsDir_;
    std::unique_ptr<PluginModule> module_;
};

} // namespace

TEST_F(PluginDll, ExportsItsNamesAndConstants) {
    EXPECT_STREQ("LastLogEntry|LastNLogs", module_->init());
    EXPECT_STREQ("", module_->getparam("LastLogEntry"));
    EXPECT_STREQ("Kestrin Viewer", module_->getinfo(0));
    EXPECT_STREQ("16/08/04", module_->getinfo(4));
    EXPECT_STREQ("", module_->getinfo(0xFFFFFFFFu));
    EXPECT_EQ(1, module_->dlltype());
    EXPECT_EQ(0, module_->vis_configure(7));
}

TEST_F(PluginDll, StartupReadsTheOwnSettingsFileThroughTheHostsDirPath) {
    PluginRecord* defaults = module_->dllstartup(0, 1);
    ASSERT_NE(nullptr, defaults);
    EXPECT_EQ(std::make_pair(std::string("System"), std::string("%1 - %2")),
              settingsOf(*module_, defaults));
    module_->dllshutdown(defaults);

    writeFile(pluginsDir_ + "KestrinPlugin.INI",
              "[Kestrin Settings]\r\nOpenLog=Security\r\nParseString=%3 %5\r\n");
    PluginRecord* own = module_->dllstartup(0, 1);
    EXPECT_EQ(std::make_pair(std::string("Security"), std::string("%3 %5")),
              settingsOf(*module_, own));
    module_->dllshutdown(own);

    PluginRecord* none = module_->dllstartup(0, 0);
    EXPECT_EQ(std::make_pair(std::string(), std::string()), settingsOf(*module_, none));
    module_->dllshutdown(none);
}

TEST_F(PluginDll, TheSettingsFileIsNamedForTheDllAsLoaded) {
    writeFile(pluginsDir_ + "my.plugin.INI", "[Kestrin Settings]\r\nOpenLog=Renamed\r\n");
    std::unique_ptr<PluginModule> renamed = load("my.plugin.dll");
    PluginRecord* record = renamed->dllstartup(0, 1);
    EXPECT_EQ("Renamed", settingsOf(*renamed, record).first);
    renamed->dllshutdown(record);
}

TEST_F(PluginDll, AMissingDirPathIsCreatedEmpty) {
    setDirPath(nullptr);
    PluginRecord* record = module_->dllstartup(0, 1);
    module_->dllshutdown(record);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kHostKey, 0, KEY_READ, &key));
    BYTE data[8] = {0xbd};
    DWORD size = sizeof data, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "DirPath", nullptr, &type, data, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(0, data[0]);
    RegCloseKey(key);
}

TEST_F(PluginDll, LoadAndSaveSettingsGoThroughTheHostsFile) {
    std::string hostIni = hostDir_ + "host.ini";
    writeFile(hostIni, "[Velmora]\r\nOpenLog = Application \r\nParseString=\"%1: %2\"\r\n"
                       "[Short]\r\nOpenLog=x\r\nParseString=\r\n");
    PluginRecord* record = module_->dllstartup(0, 0);
    module_->load_settings(record, hostIni.c_str(), "velmora");
    module_->load_settings(record, hostIni.c_str(), "Short");
    EXPECT_EQ(std::make_pair(std::string("Application"), std::string("%1: %2")),
              settingsOf(*module_, record));

    EXPECT_EQ(0, module_->save_settings(record, hostIni.c_str(), "Saved"));
    EXPECT_EQ("Application", readIni(hostIni, "Saved", "OpenLog"));
    EXPECT_EQ("%1: %2", readIni(hostIni, "Saved", "ParseString"));

    EXPECT_EQ(0, module_->save_settings(record, hostIni.c_str(), nullptr));
    EXPECT_EQ(0, module_->load_settings(record, nullptr, "Velmora"));
    module_->dllshutdown(record);
    EXPECT_EQ(0, module_->save_settings(record, hostIni.c_str(), "AfterShutdown"));
    EXPECT_EQ("<missing>", readIni(hostIni, "AfterShutdown", "OpenLog"));
}
