#include "monitor_settings.h"

#include "../platform/win32api.h"

namespace {

struct SettingsKey {
    const char* name;
    const char* defaultValue;
    std::string CLogMonitor::*field;
};

const SettingsKey kSettingsKeys[] = {
    {"OpenLog", "System", &CLogMonitor::m_OpenLog},
    {"ParseString", "%1 - %2", &CLogMonitor::m_ParseString},
};

} // namespace

void LoadMonitorSettings(CLogMonitor& monitor, const char* fileName, const char* section) {
    for (const SettingsKey& key : kSettingsKeys) {
        char buffer[1024];
        DWORD copied = GetPrivateProfileStringA(section, key.name, key.defaultValue, buffer,
                                                sizeof buffer, fileName);
        if (copied > 1)
            monitor.*key.field = std::string(buffer, copied);
    }
}

void SaveMonitorSettings(const CLogMonitor& monitor, const char* fileName, const char* section) {
    for (const SettingsKey& key : kSettingsKeys)
        WritePrivateProfileStringA(section, key.name, (monitor.*key.field).c_str(), fileName);
}
