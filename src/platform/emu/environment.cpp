// ExpandEnvironmentStringsA: %NAME% from the process environment, then from the
// machine's HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment;
// SystemRoot and windir default to C:\Windows. A name found nowhere is left as
// it stands, percent signs included.
//
// Returns the characters the expansion needs, NUL included; when that is more
// than `size`, nothing is written past `size` and the caller must ask again.
#include "../win32api.h"
#include "machine.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool machineVariable(const std::string& name, std::string& value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char data[2048] = {};
    DWORD size = sizeof data - 1, type = 0;
    LSTATUS status =
        RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    value.assign(data, strnlen(data, size));
    return true;
}

bool lookup(const std::string& name, std::string& value) {
    if (const char* env = std::getenv(name.c_str())) {
        value = env;
        return true;
    }
    if (machineVariable(name, value))
        return true;
    if (emu::equalsIgnoreCase(name, "SystemRoot") || emu::equalsIgnoreCase(name, "windir")) {
        value = "C:\\Windows";
        return true;
    }
    return false;
}

} // namespace

extern "C" DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        if (!source) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string text = source, out;
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
            if (!name.empty() && lookup(name, value)) {
                out += value;
                pos = close + 1;
            } else {
                out += '%';
                pos = open + 1; // the closing % may open the next name
            }
        }
        DWORD needed = static_cast<DWORD>(out.size() + 1);
        if (destination && needed <= size)
            std::memcpy(destination, out.c_str(), needed);
        return needed;
    });
}
