// ExpandEnvironmentStringsA: %NAME% from the machine, never from the process
// that runs the emulation: the user's variables (HKCU\Environment), then the
// system's (the Session Manager's Environment key under HKLM\SYSTEM), then
// the ones every Windows has. On a 64-bit machine the
// process is a 32-bit one: ProgramFiles and CommonProgramFiles name the
// "(x86)" folders, ProgramW6432 and CommonProgramW6432 the native ones. A name
// found nowhere is left as it stands, percent signs included. A REG_EXPAND_SZ
// variable comes expanded, as in the environment Windows builds at logon.
//
// Returns the characters the expansion needs, NUL included; when that is more
// than `size`, nothing is written past `size` and the caller must ask again.
#include "../win32api.h"
#include "machine.h"

#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string expand(const std::string& text, int depth);

bool registryVariable(HKEY root, const char* path, const std::string& name, std::string& value,
                      int depth) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    char data[2048] = {};
    DWORD size = sizeof data - 1, type = 0;
    LSTATUS status =
        RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    value.assign(data, strnlen(data, size));
    // Windows expands a REG_EXPAND_SZ variable when it builds the process's
    // environment (%USERPROFILE%\AppData\Local\Temp as TEMP): once, so that
    // a variable naming itself cannot loop.
    if (type == REG_EXPAND_SZ && depth == 0)
        value = expand(value, depth + 1);
    return true;
}

bool defaultVariable(const std::string& name, std::string& value) {
    bool wow64 = emu::isWow64Machine();
    std::vector<std::pair<const char*, const char*>> defaults = {
        {"SystemRoot", "C:\\Windows"},
        {"windir", "C:\\Windows"},
        {"SystemDrive", "C:"},
        {"ProgramData", "C:\\ProgramData"},
        {"ALLUSERSPROFILE", "C:\\ProgramData"},
        {"ProgramFiles", wow64 ? "C:\\Program Files (x86)" : "C:\\Program Files"},
        {"CommonProgramFiles",
         wow64 ? "C:\\Program Files (x86)\\Common Files" : "C:\\Program Files\\Common Files"},
    };
    if (wow64) {
        defaults.insert(defaults.end(),
                        {{"ProgramFiles(x86)", "C:\\Program Files (x86)"},
                         {"CommonProgramFiles(x86)", "C:\\Program Files (x86)\\Common Files"},
                         {"ProgramW6432", "C:\\Program Files"},
                         {"CommonProgramW6432", "C:\\Program Files\\Common Files"}});
    }
    for (const auto& [known, text] : defaults) {
        if (emu::equalsIgnoreCase(name, known)) {
            value = text;
            return true;
        }
    }
    return false;
}

bool lookup(const std::string& name, std::string& value, int depth) {
    return registryVariable(HKEY_CURRENT_USER, "Environment", name, value, depth) ||
           registryVariable(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                            name, value, depth) ||
           defaultVariable(name, value);
}

std::string expand(const std::string& text, int depth) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find('%', pos);
        size_t close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) {
            out += text.substr(pos);
            break;
        }
        out += text.substr(pos, open - pos);
        std::string name = text.substr(open + 1, close - open - 1), value;
        if (!name.empty() && lookup(name, value, depth)) {
            out += value;
            pos = close + 1;
        } else {
            out += '%';
            pos = open + 1; // the closing % may open the next name
        }
    }
    return out;
}

} // namespace

extern "C" DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        if (!source) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string out = expand(source, 0);
        DWORD needed = static_cast<DWORD>(out.size() + 1);
        if (destination && needed <= size)
            std::memcpy(destination, out.c_str(), needed);
        return needed;
    });
}
