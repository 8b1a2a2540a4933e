// The Reg*A calls over the machine's hive files.
//
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER live in
// <machine>/registry/<ROOT>.reg; each is read the first time a call needs it,
// again whenever another process has changed the file, and written back whole,
// atomically, after every change, under a lock on the folder that other
// emulated processes take too. A file that is there but cannot be read whole
// (unreadable, not a regular file, a line that does not parse) is never
// written over: the hive is read-only and changes fail with ERROR_CANTWRITE. Key and value names
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
#include "codepage.h"
#include "machine.h"
#include "registry_hive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What identifies one version of a hive file: another process that writes it
// (by rename, as this one does, or in place) changes at least one of these.
struct FileStamp {
    int error = ENOENT; // of stat(): 0 when the file is there
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modified = 0, changed = 0; // nanoseconds

    bool operator==(const FileStamp& o) const {
        return error == o.error && device == o.device && inode == o.inode && size == o.size &&
               modified == o.modified && changed == o.changed;
    }
};

FileStamp stampOf(const std::string& path) {
    FileStamp stamp;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        stamp.error = errno;
        return stamp;
    }
    stamp.error = 0;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    stamp.changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    return stamp;
}

struct Hive {
    std::string rootName;
    emu::RegistryHive data;
    bool loaded = false;
    bool readOnly = false; // the file could not be read whole: never write over it
    FileStamp stamp;
    unsigned version = 0; // one per load: open keys find their key again after it
    std::string path;     // of its file, as the last load found it
};

struct OpenKey {
    Hive* hive;
    emu::RegistryKey* key;
    unsigned generation;
    unsigned hiveVersion;
    REGSAM access;
    std::vector<std::string> path; // below the hive's root
};

const REGSAM kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericAll = 0x10000000;
const REGSAM kMaximumAllowed = 0x02000000;
const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020 /* KEY_CREATE_LINK */ |
                            0x00010000 /* DELETE */ | 0x00040000 /* WRITE_DAC */ |
                            0x00080000 /* WRITE_OWNER */;
const LSTATUS kKeyDeleted = 1018; // ERROR_KEY_DELETED
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
Hive localMachine{"HKEY_LOCAL_MACHINE", {}, false, false, {}, 0, {}};
Hive currentUser{"HKEY_CURRENT_USER", {}, false, false, {}, 0, {}};
std::set<OpenKey*> openKeys;
unsigned generation = 1;      // bumped when the machine changes: older handles go stale
unsigned machineCodePage = 0; // the ANSI page, read with the machine's first HKLM

std::string registryFolder() {
    std::string root = emu::machineRoot();
    return root.empty() ? "" : root + "/registry";
}

std::string hivePath(const Hive& hive) {
    std::string folder = registryFolder();
    return folder.empty() ? "" : folder + "/" + hive.rootName + ".reg";
}

unsigned acpOf(emu::RegistryHive& hive) {
    emu::RegistryKey* key = &hive.root;
    for (const char* part : {"SYSTEM", "CurrentControlSet", "Control", "Nls", "CodePage"})
        if (!(key = key->findSubkey(part)))
            return 1252;
    emu::RegistryValue* acp = key->findValue("ACP");
    if (!acp || acp->type != REG_SZ)
        return 1252;
    unsigned page = 0;
    for (size_t i = 0; i + 1 < acp->data.size() && acp->data[i + 1] == 0; i += 2) {
        unsigned char c = acp->data[i];
        if (c < '0' || c > '9' || page > 100000)
            break;
        page = page * 10 + (c - '0');
    }
    return page ? page : 1252;
}

// Reads the hive's file afresh. A file that is there but cannot be read whole
// leaves the hive read-only, and says so once on standard error.
void loadHive(Hive& hive) {
    // Parsed aside and adopted whole, so a load that runs out of memory leaves
    // the hive as it was, to be read again by the next call.
    emu::RegistryHive fresh;
    std::string path = hivePath(hive);
    FileStamp stamp = path.empty() ? FileStamp{} : stampOf(path);
    std::string bytes, why;
    emu::FileRead read =
        path.empty() ? emu::FileRead::Missing : emu::readRegularFile(path, bytes, &why);
    std::vector<emu::HiveProblem> problems;
    bool readOnly = false;
    if (read == emu::FileRead::Unreadable) {
        readOnly = true;
    } else if (read == emu::FileRead::Read) {
        unsigned page = &hive == &localMachine ? 1252 : machineCodePage;
        // Windows-1252 decodes every byte, so the first reading of HKLM finds
        // the page the machine's own texts are in.
        bool parsed = emu::parseRegFile(bytes, hive.rootName, page, fresh, problems);
        if (parsed && &hive == &localMachine && acpOf(fresh) != 1252) {
            page = acpOf(fresh);
            fresh = emu::RegistryHive{};
            problems.clear();
            parsed = emu::parseRegFile(bytes, hive.rootName, page, fresh, problems);
        }
        readOnly = !parsed || !problems.empty();
        if (!problems.empty())
            why = "line " + std::to_string(problems[0].line) + ": " + problems[0].what +
                  (problems.size() > 1 ? " (and " + std::to_string(problems.size() - 1) + " more)"
                                       : "");
    }
    if (&hive == &localMachine && !machineCodePage)
        machineCodePage = acpOf(fresh);
    if (readOnly)
        std::fprintf(stderr, "win32emu: %s: %s; the hive is read-only\n", path.c_str(),
                     why.c_str());
    hive.data = std::move(fresh);
    hive.readOnly = readOnly;
    hive.stamp = stamp;
    hive.path = path;
    hive.loaded = true;
    ++hive.version;
}

// Sees what another process wrote since the hive was read.
void refreshHive(Hive& hive) {
    if (&hive == &currentUser && !localMachine.loaded)
        loadHive(localMachine); // its code page decodes this hive
    if (!hive.loaded) {
        loadHive(hive);
        return;
    }
    if (!hive.path.empty() && !(stampOf(hive.path) == hive.stamp))
        loadHive(hive);
}

unsigned hiveWrites = 0; // changes made here, which no load counts

bool saveHive(Hive& hive) {
    if (hive.readOnly)
        return false;
    std::string path = hivePath(hive);
    if (path.empty())
        return true; // a machine without a folder keeps its registry in memory
    if (!emu::writeFileAtomically(
            path,
            emu::formatRegFile(hive.rootName, hive.data, machineCodePage ? machineCodePage : 1252),
            true))
        return false;
    hive.stamp = stampOf(path);
    ++hiveWrites;
    return true;
}

// Held by a call that changes a hive, from the moment it looks at the file to
// the moment it has written it, so two processes that change one hive never
// undo each other's change.
// Changes take the registry folder's lock from the stamp check to the rename.
class HiveWriteLock : public emu::FolderLock {
  public:
    HiveWriteLock() : emu::FolderLock(registryFolder()) {}
};

unsigned codePage() {
    return machineCodePage ? machineCodePage : 1252;
}

bool isAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Names are ASCII nearly always, and ASCII is the same in every form.
std::string nameFromAnsi(const std::string& ansi) {
    return isAscii(ansi) ? ansi : emu::wideToUtf8(emu::ansiToWide(ansi, codePage()));
}

std::string nameToAnsi(const std::string& name) {
    return isAscii(name) ? name : emu::wideToAnsi(emu::utf8ToWide(name), codePage());
}

bool isAdministrator() {
    if (serviceDepth > 0 || administratorOverride)
        return true;
    refreshHive(localMachine);
    emu::RegistryKey* software = localMachine.data.root.findSubkey("SOFTWARE");
    emu::RegistryKey* emulation = software ? software->findSubkey("Kestrin Emulation") : nullptr;
    emu::RegistryValue* value = emulation ? emulation->findValue("Administrator") : nullptr;
    if (!value || value->type != REG_DWORD || value->data.size() != 4)
        return false;
    return value->data[0] || value->data[1] || value->data[2] || value->data[3];
}

emu::RegistryKey* walkPath(emu::RegistryKey* key, const std::vector<std::string>& path) {
    for (const std::string& part : path)
        if (!(key = key->findSubkey(part)))
            return nullptr;
    return key;
}

// Resolves a root handle (predefined or open) to its hive and key, with the
// access the handle was opened with and the key's path. A hive another process
// changed is read again first; a key it deleted gives ERROR_KEY_DELETED.
LSTATUS resolve(HKEY handle, Hive*& hive, emu::RegistryKey*& key, REGSAM* access = nullptr,
                std::vector<std::string>* path = nullptr) {
    if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER) {
        hive = handle == HKEY_LOCAL_MACHINE ? &localMachine : &currentUser;
        refreshHive(*hive);
        key = &hive->data.root;
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
    refreshHive(*hive);
    if (open->hiveVersion != hive->version) {
        open->key = walkPath(&hive->data.root, open->path);
        open->hiveVersion = hive->version;
    }
    if (!open->key)
        return kKeyDeleted;
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

bool startsWith(const std::vector<std::string>& path, size_t from, const char* prefix) {
    std::vector<std::string> parts = splitKeyPath(prefix);
    if (path.size() - from < parts.size())
        return false;
    for (size_t i = 0; i < parts.size(); ++i)
        if (!emu::equalsIgnoreCase(path[from + i], parts[i]))
            return false;
    return true;
}

// Whether the key at `path` (below SOFTWARE, from `from` on) is one of those
// the two views share ("Registry Keys Affected by WOW64", Windows 7 and later).
bool sharedBetweenViews(const std::vector<std::string>& path, size_t from) {
    static const char* const kRedirectedInShared[] = {"Classes\\CLSID", "Classes\\DirectShow",
                                                      "Classes\\Interface", "Classes\\Media Type",
                                                      "Classes\\MediaFoundation"};
    static const char* const kShared[] = {
        "Classes",
        "Clients",
        "Policies",
        "RegisteredApplications",
        "Microsoft\\COM3",
        "Microsoft\\Cryptography\\Calais\\Current",
        "Microsoft\\Cryptography\\Calais\\Readers",
        "Microsoft\\Cryptography\\Services",
        "Microsoft\\CTF\\SystemShared",
        "Microsoft\\CTF\\TIP",
        "Microsoft\\DFS",
        "Microsoft\\Driver Signing",
        "Microsoft\\EnterpriseCertificates",
        "Microsoft\\EventSystem",
        "Microsoft\\MSMQ",
        "Microsoft\\Non-Driver Signing",
        "Microsoft\\Notepad\\DefaultFonts",
        "Microsoft\\OLE",
        "Microsoft\\RAS",
        "Microsoft\\RPC",
        "Microsoft\\SOFTWARE\\Microsoft\\Shared Tools\\MSInfo",
        "Microsoft\\SystemCertificates",
        "Microsoft\\TermServLicensing",
        "Microsoft\\Transaction Server",
        "Microsoft\\Windows\\CurrentVersion\\App Paths",
        "Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
        "Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
        "Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
        "Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
        "Microsoft\\Windows\\CurrentVersion\\Group Policy",
        "Microsoft\\Windows\\CurrentVersion\\Policies",
        "Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
        "Microsoft\\Windows\\CurrentVersion\\Setup",
        "Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
        "Microsoft\\Windows NT\\CurrentVersion\\Console",
        "Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
        "Microsoft\\Windows NT\\CurrentVersion\\FontLink",
        "Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
        "Microsoft\\Windows NT\\CurrentVersion\\Fonts",
        "Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
        "Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
        "Microsoft\\Windows NT\\CurrentVersion\\Language Pack",
        "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
        "Microsoft\\Windows NT\\CurrentVersion\\Perflib",
        "Microsoft\\Windows NT\\CurrentVersion\\Ports",
        "Microsoft\\Windows NT\\CurrentVersion\\Print",
        "Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
        "Microsoft\\Windows NT\\CurrentVersion\\Time Zones"};
    for (const char* redirected : kRedirectedInShared)
        if (startsWith(path, from, redirected))
            return false;
    for (const char* shared : kShared)
        if (startsWith(path, from, shared))
            return true;
    return false;
}

// The key WOW64 opens for a 32-bit process asking for `path` in HKLM.
void applyRegistryView(std::vector<std::string>& path, bool view32) {
    if (path.empty() || !emu::equalsIgnoreCase(path[0], "SOFTWARE"))
        return;
    bool inWow = path.size() > 1 && emu::equalsIgnoreCase(path[1], "WOW6432Node");
    if (inWow)
        path.erase(path.begin() + 1); // its logical name
    if ((view32 || inWow) && !sharedBetweenViews(path, 1))
        path.insert(path.begin() + 1, "WOW6432Node");
}

HKEY handOut(Hive* hive, emu::RegistryKey* key, REGSAM access, std::vector<std::string> path) {
    auto* open = new OpenKey{hive, key, generation, hive->version, access, std::move(path)};
    openKeys.insert(open);
    emu::countRegistryKey(1);
    return reinterpret_cast<HKEY>(open);
}

LSTATUS openOrCreate(HKEY root, LPCSTR subKey, bool create, REGSAM access, PHKEY result,
                     LPDWORD disposition) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(registryMutex);
    std::unique_ptr<HiveWriteLock> writing(create ? new HiveWriteLock : nullptr);
    Hive* hive;
    emu::RegistryKey* key;
    std::vector<std::string> keyPath;
    if (LSTATUS status = resolve(root, hive, key, nullptr, &keyPath))
        return status;
    std::string path = subKey ? nameFromAnsi(subKey) : "";
    if (!path.empty() && path[0] == '\\')
        return 161; // ERROR_BAD_PATHNAME
    access = mapGeneric(access);
    bool standardUser = !isAdministrator();
    if (access & kMaximumAllowed) // what this user may have of the key
        access = (access & ~kMaximumAllowed) |
                 (standardUser && hive == &localMachine ? KEY_READ : KEY_ALL_ACCESS);
    std::vector<std::string> parts = splitKeyPath(path);
    for (const std::string& part : parts)
        if (emu::utf16Length(part) > emu::kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
    if ((access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY)) == (KEY_WOW64_64KEY | KEY_WOW64_32KEY))
        return ERROR_INVALID_PARAMETER;
    keyPath.insert(keyPath.end(), parts.begin(), parts.end());
    if (hive == &localMachine && serviceDepth == 0 && !keyPath.empty() &&
        emu::equalsIgnoreCase(keyPath[0], "SOFTWARE") && emu::isWow64Machine()) {
        size_t before = keyPath.size();
        applyRegistryView(keyPath, !(access & KEY_WOW64_64KEY));
        if (keyPath.size() != before) { // the view names another key
            // Walk the key the view names, from the root.
            key = &hive->data.root;
            parts = keyPath;
        }
    }
    access &= ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
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
    if (created && keyPath.size() > emu::kMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    // The parent handle's own rights do not matter: every version of Windows
    // creates a key below a parent opened with KEY_NOTIFY alone.
    if (created && standardUser && hive == &localMachine)
        return ERROR_ACCESS_DENIED;
    if (created && hive->readOnly)
        return ERROR_CANTWRITE;
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

uint64_t registryState() {
    std::lock_guard<std::mutex> lock(registryMutex);
    refreshHive(localMachine);
    refreshHive(currentUser);
    uint64_t state = generation;
    for (uint64_t part :
         {uint64_t(localMachine.version), uint64_t(currentUser.version), uint64_t(hiveWrites)})
        state = state * 1000003u + part;
    return state;
}

unsigned registryCodePage() {
    std::lock_guard<std::mutex> lock(registryMutex);
    refreshHive(localMachine);
    return codePage();
}

void resetRegistry() {
    std::lock_guard<std::mutex> lock(registryMutex);
    for (Hive* hive : {&localMachine, &currentUser}) {
        hive->loaded = false;
        hive->data = RegistryHive{};
        hive->stamp = FileStamp{};
    }
    machineCodePage = 0;
    ++generation;
}
} // namespace emu

// RegCreateKeyExA: opens `subKey` below `root`, making every missing key on the
// way. ERROR_SUCCESS with the new handle in *result and REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY in *disposition; ERROR_INVALID_HANDLE for a bad root,
// ERROR_BAD_PATHNAME for a path that begins with a backslash,
// ERROR_INVALID_PARAMETER for a name past 255 characters or a key past 512
// levels, ERROR_CANTWRITE when the hive file cannot be written.
extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD,
                                          REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY result,
                                          LPDWORD disposition) {
    LSTATUS status = emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        return openOrCreate(root, subKey, true, access, result, disposition);
    });
    if (status != ERROR_SUCCESS && result)
        *result = nullptr;
    return status;
}

// RegOpenKeyExA: opens an existing key; ERROR_FILE_NOT_FOUND when it is missing.
extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM access,
                                        PHKEY result) {
    LSTATUS status = emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        return openOrCreate(root, subKey, false, access, result, nullptr);
    });
    if (status != ERROR_SUCCESS && result)
        *result = nullptr;
    return status;
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

// RegQueryValueExA: the value's type and data, texts converted to ANSI. With no
// data buffer, only the size; with one too small, ERROR_MORE_DATA and the size
// needed (the buffer is left alone). ERROR_FILE_NOT_FOUND for a missing value,
// ERROR_INVALID_PARAMETER for a data buffer without a size.
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
        emu::RegistryValue* value = key->findValue(nameFromAnsi(valueName ? valueName : ""));
        if (!value)
            return ERROR_FILE_NOT_FOUND;
        // Read before *type is written: a caller may pass one variable for both.
        const DWORD available = dataSize ? *dataSize : 0;
        if (type)
            *type = value->type;
        std::string text;
        const unsigned char* bytes = value->data.data();
        size_t size = value->data.size();
        if (emu::isTextType(value->type)) {
            text = emu::wideToAnsi(emu::bytesToWide(bytes, size), codePage());
            bytes = reinterpret_cast<const unsigned char*>(text.data());
            size = text.size();
        }
        DWORD needed = static_cast<DWORD>(size);
        if (!data) {
            if (dataSize)
                *dataSize = needed;
            return ERROR_SUCCESS;
        }
        if (available < needed) {
            *dataSize = needed;
            return ERROR_MORE_DATA;
        }
        if (needed)
            std::memcpy(data, bytes, needed);
        *dataSize = needed;
        return ERROR_SUCCESS;
    });
}

// RegSetValueExA: stores `dataSize` bytes of `data` as the value, texts
// converted from ANSI, and writes the hive back. A text whose count leaves out
// its terminating NUL gets it, as NT adds it. ERROR_INVALID_PARAMETER for a
// non-zero reserved word, ERROR_CANTWRITE when the hive cannot be written.
extern "C" LSTATUS WINAPI RegSetValueExA(HKEY handle, LPCSTR valueName, DWORD reserved, DWORD type,
                                         const BYTE* data, DWORD dataSize) {
    return emu::platformCall<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, false, [&]() -> LSTATUS {
        if (reserved || (!data && dataSize))
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(registryMutex);
        HiveWriteLock writing;
        Hive* hive;
        emu::RegistryKey* key;
        if (LSTATUS status = resolveFor(handle, KEY_SET_VALUE, hive, key))
            return status;
        if (hive->readOnly)
            return ERROR_CANTWRITE;
        std::string name = nameFromAnsi(valueName ? valueName : "");
        if (emu::utf8ToWide(name).size() > emu::kMaxValueNameLength)
            return ERROR_INVALID_PARAMETER;
        std::vector<unsigned char> stored(data, data + dataSize);
        if (emu::isTextType(type)) {
            if (dataSize && data[dataSize - 1] && !data[dataSize])
                stored.push_back(0);
            stored = emu::wideBytes(
                emu::ansiToWide(std::string(stored.begin(), stored.end()), codePage()));
        }
        emu::RegistryValue& value = key->setValue(name);
        value.type = type;
        value.data = std::move(stored);
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
        const emu::RegistryKey* sub = key->subkeyAt(index);
        if (!sub)
            return ERROR_NO_MORE_ITEMS;
        std::string subName = nameToAnsi(sub->name);
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
