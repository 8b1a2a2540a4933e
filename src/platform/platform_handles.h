// Owners for the platform handles the event log code holds: a registry key and
// a module mapped for its resources.
#pragma once

#include "win32api.h"

#include <memory>
#include <type_traits>

struct RegCloseKeyDeleter {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
struct FreeLibraryDeleter {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueRegKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegCloseKeyDeleter>;
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeLibraryDeleter>;
