// LookupAccountSidA: the account and domain of a SID on this machine.
//
// Knows the well-known SIDs by their English names, and the machine's own
// accounts, kept in its registry as HKLM\SAM\Accounts\<SID>, values Name and
// Domain. FALSE with ERROR_NONE_MAPPED for a SID it does not know,
// ERROR_INVALID_SID for bytes that are not a SID, RPC_S_SERVER_UNAVAILABLE for
// another computer, and ERROR_INSUFFICIENT_BUFFER when a name and its NUL do not
// fit: then both sizes are set to what is needed, NUL included.
#include "../win32api.h"
#include "../../logfiles/evt_file.h"
#include "machine.h"

#include <cstring>
#include <map>
#include <string>

namespace {

struct Account {
    const char* name;
    const char* domain;
    SID_NAME_USE use;
};

const std::map<std::string, Account> kWellKnown = {
    {"S-1-0-0", {"NULL SID", "", SidTypeWellKnownGroup}},
    {"S-1-1-0", {"Everyone", "", SidTypeWellKnownGroup}},
    {"S-1-2-0", {"LOCAL", "", SidTypeWellKnownGroup}},
    {"S-1-3-0", {"CREATOR OWNER", "", SidTypeWellKnownGroup}},
    {"S-1-5-2", {"NETWORK", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-4", {"INTERACTIVE", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-6", {"SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-7", {"ANONYMOUS LOGON", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-11", {"Authenticated Users", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-18", {"SYSTEM", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-19", {"LOCAL SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-20", {"NETWORK SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup}},
    {"S-1-5-32-544", {"Administrators", "BUILTIN", SidTypeAlias}},
    {"S-1-5-32-545", {"Users", "BUILTIN", SidTypeAlias}},
    {"S-1-5-32-546", {"Guests", "BUILTIN", SidTypeAlias}},
    {"S-1-5-32-547", {"Power Users", "BUILTIN", SidTypeAlias}},
    {"S-1-5-32-551", {"Backup Operators", "BUILTIN", SidTypeAlias}},
};

// The account lookup reads the machine's accounts as the system does.
std::string accountValue(const std::string& sid, const char* value, bool& found) {
    emu::ServiceAccess asService;
    HKEY key = nullptr;
    found = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SAM\\Accounts\\" + sid).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return "";
    char data[512] = {};
    DWORD size = sizeof data - 1, type = 0;
    found = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
            ERROR_SUCCESS;
    RegCloseKey(key);
    return std::string(data, strnlen(data, size));
}

} // namespace

extern "C" BOOL WINAPI LookupAccountSidA(LPCSTR systemName, PSID sid, LPSTR name, LPDWORD nameSize,
                                         LPSTR domainName, LPDWORD domainSize, PSID_NAME_USE use) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        if (systemName && *systemName) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return FALSE;
        }
        if (!sid || !nameSize || !domainSize || !use) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto* bytes = static_cast<const uint8_t*>(sid);
        if (bytes[0] != 1 || bytes[1] > 15) {
            SetLastError(ERROR_INVALID_SID);
            return FALSE;
        }
        std::string text = logfiles::evt::formatSid(bytes, 8 + 4u * bytes[1]);
        std::string account, domain;
        SID_NAME_USE kind = SidTypeUser;
        auto known = kWellKnown.find(text);
        if (known != kWellKnown.end()) {
            account = known->second.name;
            domain = known->second.domain;
            kind = known->second.use;
        } else {
            bool hasName = false, hasDomain = false;
            account = accountValue(text, "Name", hasName);
            domain = accountValue(text, "Domain", hasDomain);
            if (!hasName) {
                SetLastError(ERROR_NONE_MAPPED);
                return FALSE;
            }
        }
        if (account.size() + 1 > *nameSize || domain.size() + 1 > *domainSize || !name ||
            !domainName) {
            *nameSize = static_cast<DWORD>(account.size() + 1);
            *domainSize = static_cast<DWORD>(domain.size() + 1);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(name, account.c_str(), account.size() + 1);
        std::memcpy(domainName, domain.c_str(), domain.size() + 1);
        *nameSize = static_cast<DWORD>(account.size());
        *domainSize = static_cast<DWORD>(domain.size());
        *use = kind;
        return TRUE;
    });
}
