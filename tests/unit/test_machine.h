// A machine folder made for one test in a temporary directory, and removed
// with it. The emulation is pointed at it for the test's length.
#pragma once

#include <string>

class TestMachine {
  public:
    // An empty machine, or a copy of the folder `from`.
    explicit TestMachine(const std::string& from = "");
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    const std::string& root() const { return root_; }

    // Writes `text` as a hive file ("HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER")
    // and makes the emulation read the machine afresh.
    void writeHive(const std::string& rootName, const std::string& text);
    std::string readHive(const std::string& rootName) const;

    // A file below the root, made with its folders.
    void writeFile(const std::string& relativePath, const std::string& contents);
    std::string readFile(const std::string& relativePath) const;
    bool exists(const std::string& relativePath) const;

    // Drops what the emulation cached of this machine.
    void reload();

  private:
    void installSystemMessages(const std::string& folder);
    std::string root_;
};

// The user of a test machine is a standard user, as ours are; code that sets
// the machine up through the registry calls acts as an administrator while
// one of these lives.
struct AsAdministrator {
    AsAdministrator();
    ~AsAdministrator();
};
