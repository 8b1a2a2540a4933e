// Owner of a block from LocalAlloc (or one the platform allocated that way),
// given back with LocalFree however the code that holds it ends.
#pragma once

#include "win32api.h"

#include <memory>

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};

template <class T> using LocalBlock = std::unique_ptr<T, LocalFreeDeleter>;
