// Internal helpers shared by the emulation's files.
#pragma once

#include "../win32api.h"

#include <string>

namespace emu {

// The fault matrix: whether the outermost platform call being made now is the
// one to fail (see emu::failPlatformCallAt).
bool faultThisCall();
// How deep in platform calls this thread is: the emulation's own calls to the
// platform (the event log service reading the registry) are not the caller's.
extern thread_local int platformCallDepth;

// Runs the body of an emulated call. The platform's calls fail, they never
// throw: running out of memory inside one gives `failure` and the platform's
// out-of-memory code (as the last error where `setsLastError`), and so does the
// call the fault matrix picks.
template <class Result, class Body>
Result platformCall(Result failure, bool setsLastError, Body&& body) noexcept {
    if (platformCallDepth == 0 && faultThisCall()) {
        if (setsLastError)
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
    struct Depth {
        Depth() { ++platformCallDepth; }
        ~Depth() { --platformCallDepth; }
    } depth;
    try {
        return body();
    } catch (...) {
        if (setsLastError)
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

// The host path that holds `windowsPath`, as a native process (the event log
// service) sees it.
std::string hostPath(const std::string& windowsPath);
// The same as the emulated process sees it: a 32-bit process, so on a 64-bit
// machine the system directory is redirected (System32 to SysWOW64, Sysnative
// to System32) as the platform's file system redirector does.
std::string processPath(const std::string& windowsPath);
// A machine whose drive C: has Windows\SysWOW64 is a 64-bit Windows.
bool isWow64Machine();
std::string machineRoot();

// While one lives, this thread's registry calls are the system's, as the
// platform's own services make them (the event log, the account lookup).
struct ServiceAccess {
    ServiceAccess();
    ~ServiceAccess();
    ServiceAccess(const ServiceAccess&) = delete;
    ServiceAccess& operator=(const ServiceAccess&) = delete;
};
bool userIsAdministrator();

// Called when the machine root changes, so cached state is dropped.
void resetRegistry();
void resetCodePage();
// The machine's ANSI code page as its HKLM hive says (1252 when it does not).
unsigned registryCodePage();
// A number that changes whenever what the hives hold may have changed: a load
// (another process wrote a hive), a change made here, another machine.
uint64_t registryState();

// Resource counts behind emu::ledger().
void countLocalBlock(long delta);
void countRegistryKey(long delta);
void countGdiplusToken(long delta);
void countGdiplusObject(long delta);
bool gdiplusRunning();
long openEventLogHandles();

// The ASCII letters folded, every other byte as it is: the process's C locale
// (a host may set another) never decides how the machine compares its names.
inline char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
inline char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// Case-insensitive ASCII comparison, as the platform compares names.
bool equalsIgnoreCase(const std::string& a, const std::string& b);
int compareIgnoreCase(const std::string& a, const std::string& b);

// Writes a file by way of a temporary file and a rename, so a reader never sees
// half of it. False on failure (a missing folder is made only when asked). The
// temporary file gets a name of its own in the target's folder, made with
// O_EXCL (never through a link planted there).
bool writeFileAtomically(const std::string& path, const std::string& contents, bool createParents);

// An exclusive lock on a folder (flock), held for a read, change and write of
// a file in it, so that two emulated processes never undo each other's change.
class FolderLock {
  public:
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd_ = -1;
};
// Reads a whole regular file. A FIFO, a device or a folder is refused before
// anything waits on it. Missing only when nothing is there at all (not even a
// dangling link); `why` says why a file that is there cannot be read.
enum class FileRead { Read, Missing, Unreadable };
FileRead readRegularFile(const std::string& path, std::string& contents,
                         std::string* why = nullptr);

} // namespace emu
