// One registry hive in memory, and its .reg text form.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace emu {

// Names are held in UTF-8 and texts (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) in
// UTF-16LE, as the platform stores them; the A functions convert at their edge.
struct RegistryValue {
    std::string name; // "" is the key's default value
    uint32_t type = 0;
    std::vector<unsigned char> data;
    std::vector<std::string> comments; // the comment lines above it in the file
};

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

class RegistryKey {
  public:
    std::string name;
    std::vector<std::string> comments;

    RegistryKey() = default;
    RegistryKey(RegistryKey&&) = default;
    RegistryKey& operator=(RegistryKey&&) = default;
    ~RegistryKey(); // one level at a time, whatever the depth

    RegistryKey* findSubkey(const std::string& keyName) const;
    RegistryKey* addSubkey(const std::string& keyName);
    void removeSubkey(const std::string& keyName);
    size_t subkeyCount() const { return subkeys_.size(); }
    // In the order of their names without regard to case, as the platform keeps them.
    const RegistryKey* subkeyAt(size_t index) const;

    const std::vector<RegistryValue>& values() const { return values_; }
    RegistryValue* findValue(const std::string& valueName);
    // The value of that name, made (empty, at the end) when there is none.
    RegistryValue& setValue(const std::string& valueName);
    void removeValue(const std::string& valueName);

  private:
    std::map<std::string, std::unique_ptr<RegistryKey>, CaseLess> subkeys_;
    mutable std::vector<const RegistryKey*> order_; // subkeys_ by index, made when asked
    std::vector<RegistryValue> values_;
    std::unordered_map<std::string, size_t> valueIndex_; // by folded name
    RegistryKey* nextDoomed_ = nullptr;
};

// The form the file had, and keeps when it is written back: its header, and
// the encoding of its text.
enum class HiveForm { Regedit4, Version5 };
enum class HiveEncoding { Ansi, Utf8, Utf16 };

struct RegistryHive {
    RegistryKey root;
    HiveForm form = HiveForm::Regedit4;
    HiveEncoding encoding = HiveEncoding::Ansi;
    std::vector<std::string> otherRoots; // keys of other roots, kept as they were read
    std::vector<std::string> closingComments;
};

// A text value's stored UTF-16LE bytes, and the text they hold.
std::vector<unsigned char> wideBytes(const std::u16string& wide);
std::u16string bytesToWide(const unsigned char* bytes, size_t size);
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: the types held as UTF-16LE.
bool isTextType(uint32_t type);

// The platform's limits.
const size_t kMaxKeyDepth = 512;
const size_t kMaxKeyNameLength = 255;
const size_t kMaxValueNameLength = 16383;

struct HiveProblem {
    size_t line;
    std::string what;
};

// Reads a .reg file (REGEDIT4, whose texts are ANSI in `codePage`, or version
// 5.00 in ANSI, UTF-8 or UTF-16LE, whose hex(2) and hex(7) data are UTF-16LE)
// whose keys lie below `rootName` (for example "HKEY_LOCAL_MACHINE") into
// `hive`. A line that cannot be read is passed over and listed in `problems`.
// False when the text is not a registry file at all (`problems` says why).
bool parseRegFile(const std::string& bytes, const std::string& rootName, unsigned codePage,
                  RegistryHive& hive, std::vector<HiveProblem>& problems);

// The whole hive in the form it was read in: REGEDIT4 or version 5.00, in
// ANSI, UTF-8 or UTF-16LE (with their byte order marks) as it was; a version
// 5.00 hive read as ANSI is written in UTF-16LE, which keeps every character. Each key is written
// once with its own path; a key that has neither values nor comments is left to the paths of its
// subkeys, which make it again.
std::string formatRegFile(const std::string& rootName, const RegistryHive& hive, unsigned codePage);

} // namespace emu
