// Internal helpers shared by the emulation's files.
#pragma once

#include "../win32api.h"

#include <string>

namespace emu {

// Runs the body of an emulated call. The platform's calls fail, they never
// throw: running out of memory inside one gives `failure` and the platform's
// out-of-memory code (as the last error where `setsLastError`).
template <class Result, class Body>
Result platformCall(Result failure, bool setsLastError, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        if (setsLastError)
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

std::string hostPath(const std::string& windowsPath);
std::string machineRoot();

// Called when the machine root changes, so cached state is dropped.
void resetRegistry();
void resetCodePage();

// Resource counts behind emu::ledger().
void countLocalBlock(long delta);
void countRegistryKey(long delta);
void countGdiplusToken(long delta);
void countGdiplusObject(long delta);
bool gdiplusRunning();
long openEventLogHandles();

// Case-insensitive ASCII comparison, as the platform compares names.
bool equalsIgnoreCase(const std::string& a, const std::string& b);
int compareIgnoreCase(const std::string& a, const std::string& b);

// Writes a file by way of a temporary file and a rename, so a reader never sees
// half of it. False on failure (a missing folder is made only when asked).
bool writeFileAtomically(const std::string& path, const std::string& contents, bool createParents);
bool readWholeFile(const std::string& path, std::string& contents);

} // namespace emu
