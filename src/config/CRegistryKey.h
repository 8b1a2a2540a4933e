// One registry key, held for one operation and closed when it goes out of scope.
#pragma once

#include "../platform/win32api.h"

#include <string>

class CRegistryKey {
  public:
    enum class Access { CreateWithFullAccess, ReadOnly };

    // Opens `subKeyPath` below `root` with full access, creating it when missing;
    // or, with Access::ReadOnly, opens an existing key for reading and never
    // creates it. After a failure every call on the object fails in the platform.
    CRegistryKey(HKEY root, const char* subKeyPath, Access access = Access::CreateWithFullAccess);
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // The longest key name in the ANSI code page: 255 characters of up to three bytes.
    static const DWORD kMaxKeyNameBytes = 255 * 3;

    bool EnumFirstSubKey(std::string& name);
    bool EnumNextSubKey(std::string& name);

    // The value's data as text; when it cannot be read, `defaultValue`, which is
    // stored as the value when the value is missing. A null name gives "" and
    // touches nothing.
    std::string ReadStringValue(const char* valueName, const char* defaultValue);

  private:
    bool EnumSubKey(std::string& name);

    DWORD m_EnumIndex = 0;
    HKEY m_hKey = nullptr;
};
