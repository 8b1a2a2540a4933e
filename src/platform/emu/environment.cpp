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
#include <map>
#include <mutex>
#include <optional>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string expand(const std::string& text, int depth);

// Set when a variable could not be read for another reason than its absence
// (memory ran out): such an answer is not kept.
thread_local bool readFailed = false;

bool registryVariable(HKEY root, const char* path, const std::string& name, std::string& value,
                      int depth) {
    HKEY key = nullptr;
    LSTATUS opened = RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key);
    if (opened != ERROR_SUCCESS) {
        readFailed = readFailed || opened != ERROR_FILE_NOT_FOUND;
        return false;
    }
    char data[2048] = {};
    DWORD size = sizeof data - 1, type = 0;
    LSTATUS status =
        RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        readFailed = true;
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

bool readVariable(const std::string& name, std::string& value, int depth) {
    return registryVariable(HKEY_CURRENT_USER, "Environment", name, value, depth) ||
           registryVariable(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                            name, value, depth) ||
           defaultVariable(name, value);
}

// The variables read so far, kept while the machine, its hives and its word
// size are the ones they were read from (a refresh expands the same few
// names for every message file it loads).
struct KnownVariables {
    std::string root;
    uint64_t registry = 0;
    bool wow64 = false;
    std::map<std::string, std::optional<std::string>> values; // by upper-case name
    std::map<std::string, std::string> expansions;            // by the text expanded
};
std::mutex knownMutex;
KnownVariables known;
// Set when a variable of the expansion under way could not be read.
thread_local bool expansionFailed = false;

// Forgets what was read of another machine, other hives or another word size.
// Call with knownMutex held.
void checkKnown(const std::string& root, uint64_t registry, bool wow64) {
    if (known.root != root || known.registry != registry || known.wow64 != wow64)
        known = KnownVariables{root, registry, wow64, {}, {}};
}

bool lookup(const std::string& name, std::string& value, int depth) {
    if (depth > 0) // inside an expansion: read as it stands, never kept
        return readVariable(name, value, depth);
    std::string root = emu::machineRoot();
    uint64_t registry = emu::registryState();
    bool wow64 = emu::isWow64Machine();
    std::string key = name;
    for (char& c : key)
        c = emu::asciiUpper(c);
    {
        std::lock_guard<std::mutex> lock(knownMutex);
        checkKnown(root, registry, wow64);
        auto it = known.values.find(key);
        if (it != known.values.end()) {
            if (it->second)
                value = *it->second;
            return it->second.has_value();
        }
    }
    std::optional<std::string> read;
    readFailed = false;
    if (readVariable(name, value, depth))
        read = value;
    expansionFailed = expansionFailed || readFailed;
    std::lock_guard<std::mutex> lock(knownMutex);
    if (!readFailed && known.root == root && known.registry == registry)
        known.values[key] = read;
    return read.has_value();
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
        // A whole text expanded before comes back as it was while nothing it
        // came from changed: a refresh expands the same paths for every file.
        std::string root = emu::machineRoot(), text = source, out;
        uint64_t registry = emu::registryState();
        bool wow64 = emu::isWow64Machine(), kept = false;
        {
            std::lock_guard<std::mutex> lock(knownMutex);
            checkKnown(root, registry, wow64);
            auto it = known.expansions.find(text);
            if (it != known.expansions.end()) {
                out = it->second;
                kept = true;
            }
        }
        if (!kept) {
            expansionFailed = false;
            out = expand(text, 0);
            std::lock_guard<std::mutex> lock(knownMutex);
            if (!expansionFailed && known.root == root && known.registry == registry &&
                known.expansions.size() < 1024)
                known.expansions[text] = out;
        }
        DWORD needed = static_cast<DWORD>(out.size() + 1);
        if (destination && needed <= size)
            std::memcpy(destination, out.c_str(), needed);
        return needed;
    });
}
