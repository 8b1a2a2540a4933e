// libFuzzer target: a hive file parsed, written and parsed again. A hive read
// without a problem (one with a problem is never written) must read back from
// what was written to the same hive without a problem: the second writing
// equals the first.
#include "src/platform/emu/registry_hive.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The one key name a .reg file cannot carry: "]" just before a line break.
bool hasAmbiguousName(const emu::RegistryKey& key) {
    std::vector<const emu::RegistryKey*> pending{&key};
    while (!pending.empty()) {
        const emu::RegistryKey* at = pending.back();
        pending.pop_back();
        for (size_t i = 0; i < at->subkeyCount(); ++i) {
            const emu::RegistryKey* sub = at->subkeyAt(i);
            const std::string& name = sub->name;
            for (size_t c = 0; c + 1 < name.size(); ++c)
                if (name[c] == ']' && (name[c + 1] == '\r' || name[c + 1] == '\n'))
                    return true;
            pending.push_back(sub);
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    unsigned codePage = data[0] & 1 ? 932 : 1252;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    emu::RegistryHive first;
    std::vector<emu::HiveProblem> problems;
    // A hive with a problem is read-only: it is never written.
    if (!emu::parseRegFile(bytes, "HKEY_CURRENT_USER", codePage, first, problems) ||
        !problems.empty() || hasAmbiguousName(first.root))
        return 0;
    std::string written = emu::formatRegFile("HKEY_CURRENT_USER", first, codePage);
    emu::RegistryHive second;
    problems.clear();
    if (!emu::parseRegFile(written, "HKEY_CURRENT_USER", codePage, second, problems) ||
        !problems.empty())
        std::abort();
    if (emu::formatRegFile("HKEY_CURRENT_USER", second, codePage) != written)
        std::abort();
    return 0;
}
