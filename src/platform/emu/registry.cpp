// The Reg*A calls over the machine's hive files.
//
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER live in
// <machine>/registry/<ROOT>.reg; each is read the first time a call needs it
// and written back whole, atomically, after every change. Key and value names
// compare without regard to case and keep their spelling; subkeys enumerate in
// the order of their names without regard to case, as the platform keeps them.
// Open keys are counted in the ledger.
//
// The user is a standard user unless the machine says otherwise (value
// "Administrator", a non-zero DWORD, under HKLM\SOFTWARE\Kestrin Emulation):
// each handle keeps the access it was opened with and a call that needs more
// fails with ERROR_ACCESS_DENIED; HKLM is read only, and the Eventlog\Security
// key cannot be opened at all. The emulation's own services (the event log,
// the account lookup) read as the system does.
#include "../win32api.h"
#include "machine.h"
#include "registry_hive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <iterator>
#include <set>
#include <vector>

namespace {

struct Hive {
    std::string rootName;
    emu::RegistryKey root;
    bool loaded = false;
    bool damaged = false; // the file did not parse: never overwrite it
};

struct OpenKey {
    Hive* hive;
    emu::RegistryKey* key;
    unsigned generation;
    REGSAM access;
    std::vector<std::string> path; // below the hive's root
};

const REGSAM kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericAll = 0x10000000;
const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020 /* KEY_CREATE_LINK */ |
                            0x00010000 /* DELETE */ | 0x00040000 /* WRITE_DAC */ |
                            0x00080000 /* WRITE_OWNER */;
thread_local int serviceDepth = 0;
bool administratorOverride = false;

REGSAM mapGeneric(REGSAM access) {
    if (access & kGenericAll)
        access |= KEY_ALL_ACCESS;
    if (access & kGenericRead)
        access |= KEY_READ;
    if (access & kGenericWrite)
        access |= KEY_WRITE;
    return access & ~(kGenericAll | kGenericRead | kGenericWrite);
}

std::mutex registryMutex;
Hive localMachine{"HKEY_LOCAL_MACHINE", {}, false};
Hive currentUser{"HKEY_CURRENT_USER", {}, false};
std::set<OpenKey*> openKeys;
unsigned generation = 1; // bumped when the machine changes: older handles go stale

std::string hivePath(const Hive& hive) {
    std::string root = emu::machineRoot();
    return root.empty() ? "" : root + "/registry/" + hive.rootName + ".reg";
}

void loadHive(Hive& hive) {
    if (hive.loaded)
        return;
    // Parsed aside and adopted whole, so a load that runs out of memory leaves
    // the hive unloaded, to be read again by the next call.
    emu::RegistryKey root;
    std::string path = hivePath(hive);
    std::string bytes, error;
    hive.damaged = false;
    if (!path.empty() && emu::readWholeFile(path, bytes) &&
        !emu::parseRegFile(bytes, hive.rootName, root, error)) {
        std::fprintf(stderr, "win32emu: %s: %s; the hive is read-only\n", path.c_str(),
                     error.c_str());
        hive.damaged = true;
    }
    hive.root = std::move(root);
    hive.loaded = true;
}

bool saveHive(const Hive& hive) {
    if (hive.damaged)
        return false;
    std::string path = hivePath(hive);
    if (path.empty())
        return true; // a machine without a folder keeps its registry in memory
    return emu::writeFileAtomically(path, emu::formatRegFile(hive.rootName, hive.root), true);
}

bool isAdministrator() {
    if (serviceDepth > 0 || administratorOverride)
        return true;
    loadHive(localMachine);
    emu::RegistryKey* software = localMachine.root.findSubkey("SOFTWARE");
    emu::RegistryKey* emulation = software ? software->findSubkey("Kestrin Emulation") : nullptr;
    emu::RegistryValue* value = emulation ? emulation->findValue("Administrator") : nullptr;
    if (!value || value->type != REG_DWORD || value->data.size() != 4)
        return false;
    return value->data[0] || value->data[1] || value->data[2] || value->data[3];
}

// Resolves a root handle (predefined or open) to its hive and key, with the
// access the handle was opened with and the key's path.
LSTATUS resolve(HKEY handle, Hive*& hive, emu::RegistryKey*& key, REGSAM* access = nullptr,
                std::vector<std::string>* path = nullptr) {
    if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER) {
        hive = handle == HKEY_LOCAL_MACHINE ? &localMachine : &currentUser;
        loadHive(*hive);
        key = &hive->root;
        if (access)
            *access = hive == &localMachine && !isAdministrator() ? KEY_READ : KEY_ALL_ACCESS;
        if (path)
            path->clear();
        return ERROR_SUCCESS;
    }
    auto* open = reinterpret_cast<OpenKey*>(handle);
    if (!handle || !openKeys.count(open) || open->generation != generation)
        return ERROR_INVALID_HANDLE;
    hive = open->hive;
    key = open->key;
    if (access)
        *access = serviceDepth > 0 ? KEY_ALL_ACCESS : open->access;
    if (path)
        *path = open->path;
    return ERROR_SUCCESS;
}

// Resolves `handle` for a call that needs `needed` rights on it.
LSTATUS resolveFor(HKEY handle, REGSAM needed, Hive*& hive, emu::RegistryKey*& key) {
    REGSAM access = 0;
    if (LSTATUS status = resolve(handle, hive, key, &access))
        return status;
    return (access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The Security log's key, which a standard user may not open.
bool isSecurityLogKey(const Hive* hive, const std::vector<std::string>& path) {
    static const char* const kPath[] = {"SYSTEM", "CurrentControlSet", "Services", "Eventlog",
                                        "Security"};
    if (hive != &localMachine || path.size() < std::size(kPath))
        return false;
    for (size_t i = 0; i < std::size(kPath); ++i)
        if (!emu::equalsIgnoreCase(path[i], kPath[i]))
            return false;
    return true;
}

std::vector<std::string> splitKeyPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

HKEY handOut(Hive* hive, emu::RegistryKey* key, REGSAM access, std::vector<std::string> path) {
    auto* open = new OpenKey{hive, key, generation, access, std::move(path)};
    openKeys.insert(open);
    emu::countRegistryKey(1);
    return reinterpret_cast<HKEY>(open);
}

LSTATUS openOrCreate(HKEY root, LPCSTR subKey, bool create, REGSAM access, PHKEY result,
                     LPDWORD disposition) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(registryMutex);
    Hive* hive;
    emu::RegistryKey* key;
    REGSAM parentAccess = 0;
    std::vector<std::string> keyPath;
    if (LSTATUS status = resolve(root, hive, key, &parentAccess, &keyPath))
        return status;
    std::string path = subKey ? subKey : "";
    if (!path.empty() && path[0] == '\\')
        return 161; // ERROR_BAD_PATHNAME
    access = mapGeneric(access);
    std::vector<std::string> parts = splitKeyPath(path);
    keyPath.insert(keyPath.end(), parts.begin(), parts.end());
    bool standardUser = !isAdministrator();
    if (standardUser && hive == &localMachine &&
        ((access & kWriteRights) || isSecurityLogKey(hive, keyPath)))
        return ERROR_ACCESS_DENIED;
    // Everything is checked before anything is made.
    emu::RegistryKey* walk = key;
    size_t found = 0;
    for (; found < parts.size(); ++found) {
        emu::RegistryKey* next = walk->findSubkey(parts[found]);
        if (!next)
            break;
        walk = next;
    }
    bool created = found < parts.size();
    if (created && !create)
        return ERROR_FILE_NOT_FOUND;
    if (created && ((standardUser && hive == &localMachine) ||
                    (found == 0 && !(parentAccess & KEY_CREATE_SUB_KEY))))
        return ERROR_ACCESS_DENIED;
    for (size_t i = found; i < parts.size(); ++i)
        walk = walk->addSubkey(parts[i]);
    if (created && !saveHive(*hive))
        return ERROR_CANTWRITE;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = handOut(hive, walk, access, std::move(keyPath));
    return ERROR_SUCCESS;
}

} // namespace

namespace emu {
ServiceAccess::ServiceAccess() {
    ++serviceDepth;
}
ServiceAccess::~ServiceAccess() {
    --serviceDepth;
}
bool userIsAdministrator() {
    std::lock_guard<std::mutex> lock(registryMutex);
    return serviceDepth == 0 && isAdministrator();
}
void actAsAdministrator(bool administrator) {
    std::lock_guard<std::mutex> lock(registryMutex);
    administratorOverride = administrator;
}

void resetRegistry() {
    std::lock_guard<std::mutex> lock(registryMutex);
    localMachine.loaded = false;
    currentUser.loaded = false;
    localMachine.root = RegistryKey{};
    currentUser.root = RegistryKey{};
    ++generation;
}
} // namespace emu

// RegCreateKeyExA: opens `subKey` below `root`, making every missing key on the
// way. ERROR_SUCCESS with the new handle in *result and REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY in *disposition; ERROR_INVALID_HANDLE for a bad root,
// ERROR_BAD_PATHNAME for a path that begins with a backslash, ERROR_CANTWRITE
// when the hive file cannot be written.
extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD,
                                          REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY result,
                                          LPDWORD disposition) {
    return emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        return openOrCreate(root, subKey, true, access, result, disposition);
    });
}

// RegOpenKeyExA: opens an existing key; ERROR_FILE_NOT_FOUND when it is missing.
extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM access,
                                        PHKEY result) {
    return emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        return openOrCreate(root, subKey, false, access, result, nullptr);
    });
}

// RegCloseKey: ERROR_SUCCESS, also for the predefined roots; ERROR_INVALID_HANDLE
// for a handle that is not open.
extern "C" LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(registryMutex);
    auto* open = reinterpret_cast<OpenKey*>(key);
    if (!openKeys.erase(open))
        return ERROR_INVALID_HANDLE;
    delete open;
    emu::countRegistryKey(-1);
    return ERROR_SUCCESS;
}

// RegQueryValueExA: the value's type and data. With no data buffer, only the
// size; with one too small, ERROR_MORE_DATA and the size needed (the buffer is
// left alone). ERROR_FILE_NOT_FOUND for a missing value, ERROR_INVALID_PARAMETER
// for a data buffer without a size.
extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY handle, LPCSTR valueName, LPDWORD reserved,
                                           LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        if (reserved || (data && !dataSize))
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(registryMutex);
        Hive* hive;
        emu::RegistryKey* key;
        if (LSTATUS status = resolveFor(handle, KEY_QUERY_VALUE, hive, key))
            return status;
        emu::RegistryValue* value = key->findValue(valueName ? valueName : "");
        if (!value)
            return ERROR_FILE_NOT_FOUND;
        if (type)
            *type = value->type;
        DWORD needed = static_cast<DWORD>(value->data.size());
        if (!data) {
            if (dataSize)
                *dataSize = needed;
            return ERROR_SUCCESS;
        }
        if (*dataSize < needed) {
            *dataSize = needed;
            return ERROR_MORE_DATA;
        }
        if (needed)
            std::memcpy(data, value->data.data(), needed);
        *dataSize = needed;
        return ERROR_SUCCESS;
    });
}

// RegSetValueExA: stores `dataSize` bytes of `data` as the value, exactly as
// given, and writes the hive back. ERROR_INVALID_PARAMETER for a non-zero
// reserved word, ERROR_CANTWRITE when the hive cannot be written.
extern "C" LSTATUS WINAPI RegSetValueExA(HKEY handle, LPCSTR valueName, DWORD reserved, DWORD type,
                                         const BYTE* data, DWORD dataSize) {
    return emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        if (reserved || (!data && dataSize))
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(registryMutex);
        Hive* hive;
        emu::RegistryKey* key;
        if (LSTATUS status = resolveFor(handle, KEY_SET_VALUE, hive, key))
            return status;
        std::string name = valueName ? valueName : "";
        emu::RegistryValue* value = key->findValue(name);
        if (!value) {
            key->values.push_back(emu::RegistryValue{name, 0, {}});
            value = &key->values.back();
        }
        value->type = type;
        value->data.assign(data, data + dataSize);
        return saveHive(*hive) ? ERROR_SUCCESS : ERROR_CANTWRITE;
    });
}

// RegEnumKeyExA: the name of subkey `index`. *nameSize holds the buffer's size
// in characters, NUL included, and receives the name's length without it.
// ERROR_NO_MORE_ITEMS past the last subkey; ERROR_MORE_DATA when the name does
// not fit.
extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY handle, DWORD index, LPSTR name, LPDWORD nameSize,
                                        LPDWORD reserved, LPSTR keyClass, LPDWORD classSize,
                                        PFILETIME lastWriteTime) {
    return emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        if (reserved || !name || !nameSize)
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(registryMutex);
        Hive* hive;
        emu::RegistryKey* key;
        if (LSTATUS status = resolveFor(handle, KEY_ENUMERATE_SUB_KEYS, hive, key))
            return status;
        if (index >= key->subkeys.size())
            return ERROR_NO_MORE_ITEMS;
        const std::string& subName = key->subkeys[index]->name;
        if (subName.size() + 1 > *nameSize)
            return ERROR_MORE_DATA;
        std::memcpy(name, subName.c_str(), subName.size() + 1);
        *nameSize = static_cast<DWORD>(subName.size());
        if (keyClass && classSize && *classSize)
            keyClass[0] = '\0';
        if (classSize)
            *classSize = 0;
        if (lastWriteTime)
            *lastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}
