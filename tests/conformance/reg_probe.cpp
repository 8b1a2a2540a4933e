// Registry probe. "write" stores one value of every kind the plugin's hives
// hold under HKCU\Software\KestrinProbe; "read" prints them back. The emulation
// writes its hive file, Wine imports that file with `reg import`, and the two
// "read" outputs must be equal: what the emulation writes, Windows reads.
#include "../../src/platform/win32api.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kKey = "Software\\KestrinProbe\\Sub Key";

struct Sample {
    const char* name;
    DWORD type;
    const char* data;
    DWORD size;
};

const Sample kSamples[] = {
    {"Plain", REG_SZ, "C:\\Program Files\\Velmora\\", 26},
    {"Quotes", REG_SZ, "say \"hi\" = ok", 14},
    {"Empty", REG_SZ, "", 1},
    {"Latin", REG_SZ, "caf\xe9 na\xefve", 11},
    {"Lines", REG_SZ, "one\r\ntwo", 9},
    {"Expand", REG_EXPAND_SZ, "%SystemRoot%\\System32\\x.dll", 28},
    {"Multi", REG_MULTI_SZ, "first\0second\0", 14},
    {"Dword", REG_DWORD, "\x2a\x00\x00\x80", 4},
    {"Binary", REG_BINARY, "\x00\x01\xfe\xff", 4},
    {"NoNul", REG_SZ, "counted without its NUL", 23},
    {"", REG_SZ, "the default value", 18},
};

int write() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return 1;
    for (const Sample& s : kSamples)
        RegSetValueExA(key, s.name, 0, s.type, reinterpret_cast<const BYTE*>(s.data), s.size);
    RegCloseKey(key);
    return 0;
}

int read() {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key);
    std::printf("open: %ld\n", static_cast<long>(status));
    if (status != ERROR_SUCCESS)
        return 1;
    for (const Sample& s : kSamples) {
        BYTE data[256];
        DWORD size = sizeof data, type = 0;
        status = RegQueryValueExA(key, s.name, nullptr, &type, data, &size);
        std::printf("[%s] status=%ld type=%lu size=%lu data=", s.name, static_cast<long>(status),
                    static_cast<unsigned long>(type), static_cast<unsigned long>(size));
        for (DWORD i = 0; status == ERROR_SUCCESS && i < size; ++i)
            std::printf("%02x", data[i]);
        std::printf("\n");
    }
    RegCloseKey(key);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "write") == 0)
        return write();
    if (argc == 2 && std::strcmp(argv[1], "read") == 0)
        return read();
    std::fprintf(stderr, "usage: reg_probe write|read\n");
    return 2;
}
