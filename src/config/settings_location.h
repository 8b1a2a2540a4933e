// Where the plugin keeps its own settings file: <DirPath>plugins\<module>.INI,
// with DirPath from the host's per-user registry key.
#pragma once

#include <string>

// The host's "plugins" directory ("DirPath" followed by "plugins"), or "" when
// the host's key has no directory or cannot be read.
std::string GetHostPluginDir();

// The full path of the plugin's own settings file, built anew on every call.
std::string GetPluginIniPath();

// The section of the own settings file.
extern const char* const kOwnSettingsSection;
