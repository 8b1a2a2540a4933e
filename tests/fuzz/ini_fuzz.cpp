// libFuzzer target: an INI file read and written through the platform's calls.
// A key written reads back as written, and the file writes leave settles: the
// next write of the same value leaves it byte for byte.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string machine() {
    static TempFolder folder("/tmp/kestrin-ini-fuzz-XXXXXX");
    static std::string root = [] {
        std::filesystem::create_directories(folder.path + "/drive_c/Windows");
        emu::setMachineRoot(folder.path);
        return folder.path;
    }();
    return root;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // A file whose first name begins with the bytes of a byte order mark is
    // written back starting with them and then reads as another encoding, on
    // the platform as here: that is the platform's, not a fault to find.
    size_t first = 1;
    while (first < size && (data[first] == ' ' || (data[first] >= 0x09 && data[first] <= 0x0d) ||
                            data[first] == 0x1a))
        ++first;
    if (first > 1 && first < size && (data[first] == 0xEF || data[first] >= 0xFE))
        return 0;
    std::string file = machine() + "/drive_c/fuzz.ini";
    // The first byte picks the section written: "" or one the file may hold.
    const char* section = data[0] & 1 ? "" : data[0] & 2 ? "Kestrin Settings" : "s";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data) + 1, static_cast<std::streamsize>(size - 1));
    char value[256];
    GetPrivateProfileStringA(section, "OpenLog", "default", value, sizeof value, "C:\\fuzz.ini");
    GetPrivateProfileStringA("s", "k", "", value, 4, "C:\\fuzz.ini");
    if (!WritePrivateProfileStringA(section, "OpenLog", "Application", "C:\\fuzz.ini"))
        std::abort();
    GetPrivateProfileStringA(section, "OpenLog", "default", value, sizeof value, "C:\\fuzz.ini");
    if (std::string(value) != "Application")
        std::abort();
    // A file written once may read differently (a name that began with the
    // bytes of a byte order mark now starts the file, as on the platform);
    // written twice, it is what every further write leaves.
    WritePrivateProfileStringA(section, "OpenLog", "Application", "C:\\fuzz.ini");
    std::string twice = slurp(file);
    WritePrivateProfileStringA(section, "OpenLog", "Application", "C:\\fuzz.ini");
    if (slurp(file) != twice)
        std::abort();
    return 0;
}
