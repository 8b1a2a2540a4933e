#include "CRegistryKey.h"

#include <cstring>

CRegistryKey::CRegistryKey(HKEY root, const char* subKeyPath, Access access) {
    DWORD disposition = 0;
    LSTATUS status = access == Access::ReadOnly
                         ? RegOpenKeyExA(root, subKeyPath, 0, KEY_READ, &m_hKey)
                         : RegCreateKeyExA(root, subKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &m_hKey, &disposition);
    if (status != ERROR_SUCCESS)
        m_hKey = nullptr;
}

CRegistryKey::~CRegistryKey() {
    if (m_hKey)
        RegCloseKey(m_hKey);
}

bool CRegistryKey::EnumFirstSubKey(std::string& name) {
    m_EnumIndex = 0;
    return EnumSubKey(name);
}

bool CRegistryKey::EnumNextSubKey(std::string& name) {
    ++m_EnumIndex;
    return EnumSubKey(name);
}

bool CRegistryKey::EnumSubKey(std::string& name) {
    // A key name is at most 255 characters, up to three bytes each in the
    // ANSI code page (two in a double-byte page, three in UTF-8). A name that
    // still does not fit is passed over, never the end of the list.
    char buffer[kMaxKeyNameBytes + 1] = {};
    for (;; ++m_EnumIndex) {
        DWORD length = kMaxKeyNameBytes;
        LSTATUS status =
            RegEnumKeyExA(m_hKey, m_EnumIndex, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return false;
        name.assign(buffer, strnlen(buffer, kMaxKeyNameBytes));
        return true;
    }
}

std::string CRegistryKey::ReadStringValue(const char* valueName, const char* defaultValue) {
    if (!valueName)
        return "";
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = ERROR_SUCCESS;
    // The value may grow between asking for its size and reading it; ask again
    // rather than take that for a failure.
    for (int attempt = 0; attempt < 4; ++attempt) {
        status = RegQueryValueExA(m_hKey, valueName, nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS)
            break;
        std::string buffer(size + 1, '\0');
        status = RegQueryValueExA(m_hKey, valueName, nullptr, &type,
                                  reinterpret_cast<BYTE*>(&buffer[0]), &size);
        if (status == ERROR_SUCCESS)
            return std::string(buffer.data(), strnlen(buffer.data(), size));
        if (status != ERROR_MORE_DATA)
            break;
    }
    if (!defaultValue)
        return "";
    // Only a value that is really missing is created. A value that exists but
    // could not be read this time (no memory, a key that did not open) must not
    // be overwritten with the default: that would lose the host's setting.
    if (status != ERROR_FILE_NOT_FOUND)
        return defaultValue;
    RegSetValueExA(m_hKey, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(defaultValue),
                   static_cast<DWORD>(std::strlen(defaultValue) + 1));
    return defaultValue;
}
