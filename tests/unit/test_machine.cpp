#include "test_machine.h"

#include "src/platform/emu/emu_control.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TestMachine::TestMachine(const std::string& from) {
    std::string pattern = (fs::temp_directory_path() / "kestrin-machine-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    root_ = pattern;
    if (!from.empty())
        fs::copy(from, root_, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::create_directories(fs::path(root_) / "drive_c" / "Windows");
    installSystemMessages("System32");
    reload();
}

// Every Windows has its system message file, and a 64-bit one a 32-bit copy
// in SysWOW64: a machine made here has the bundled machine's.
void TestMachine::installSystemMessages(const std::string& folder) {
    fs::path target = fs::path(root_) / "drive_c" / "Windows" / folder / "kernelbase.dll";
    std::error_code ec;
    if (fs::exists(target, ec))
        return;
    fs::create_directories(target.parent_path(), ec);
    fs::copy_file(fs::path(KESTRIN_SAMPLE_MACHINE) / "drive_c" / "Windows" / "SysWOW64" /
                      "kernelbase.dll",
                  target, ec);
}

TestMachine::~TestMachine() {
    emu::setMachineRoot("");
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void TestMachine::reload() {
    emu::setMachineRoot(root_);
}

void TestMachine::writeHive(const std::string& rootName, const std::string& text) {
    writeFile("registry/" + rootName + ".reg", text);
    reload();
}

std::string TestMachine::readHive(const std::string& rootName) const {
    return readFile("registry/" + rootName + ".reg");
}

void TestMachine::writeFile(const std::string& relativePath, const std::string& contents) {
    fs::path path = fs::path(root_) / relativePath;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    if (relativePath.rfind("drive_c/Windows/SysWOW64/", 0) == 0)
        installSystemMessages("SysWOW64");
}

std::string TestMachine::readFile(const std::string& relativePath) const {
    std::ifstream in(fs::path(root_) / relativePath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool TestMachine::exists(const std::string& relativePath) const {
    return fs::exists(fs::path(root_) / relativePath);
}

AsAdministrator::AsAdministrator() {
    emu::actAsAdministrator(true);
}
AsAdministrator::~AsAdministrator() {
    emu::actAsAdministrator(false);
}
