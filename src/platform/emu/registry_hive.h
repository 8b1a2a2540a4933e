// One registry hive in memory, and its .reg text form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

struct RegistryValue {
    std::string name; // "" is the key's default value
    uint32_t type = 0;
    std::vector<unsigned char> data; // as the A functions see it: texts in ANSI
};

struct RegistryKey {
    std::string name;
    std::vector<std::unique_ptr<RegistryKey>> subkeys; // sorted without regard to case
    std::vector<RegistryValue> values;

    RegistryKey* findSubkey(const std::string& keyName) const;
    RegistryKey* addSubkey(const std::string& keyName);
    RegistryValue* findValue(const std::string& valueName);
};

// Reads a .reg file (REGEDIT4, or version 5.00 in ANSI, UTF-8 or UTF-16LE) whose
// keys all lie below `rootName` (for example "HKEY_LOCAL_MACHINE") into `root`.
// Keys of other roots are passed over. False, with `error` set, when the text is
// not a registry file.
bool parseRegFile(const std::string& bytes, const std::string& rootName, RegistryKey& root,
                  std::string& error);

// The whole hive as REGEDIT4 text, which regedit and `reg import` read.
std::string formatRegFile(const std::string& rootName, const RegistryKey& root);

} // namespace emu
