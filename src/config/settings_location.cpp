#include "settings_location.h"

#include "../plugin/CPluginApp.h"
#include "CRegistryKey.h"

const char* const kOwnSettingsSection = "Kestrin Settings";

std::string GetHostPluginDir() {
    try {
        CRegistryKey hostKey(HKEY_CURRENT_USER, "Software\\Ostrel Velmora\\General");
        std::string directory = hostKey.ReadStringValue("DirPath", "");
        // DirPath is stored with its trailing backslash; "plugins" joins it as is.
        if (!directory.empty())
            directory += "plugins";
        return directory;
    } catch (...) {
        return "";
    }
}

std::string GetPluginIniPath() {
    return GetHostPluginDir() + "\\" + theApp.GetAppName() + ".INI";
}
