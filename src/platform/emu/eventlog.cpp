// The event log calls over the machine's legacy .evt files.
//
// A log is found as Windows NT finds it: the File value of
// HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\<log>, expanded and mapped to
// the machine. A log that is not registered opens the Application log, as the
// service does. A file that does not exist yet is an empty log.
//
// Files are mapped, not read: a read touches only the records it delivers. The
// records' places come from the end-of-file record, which a dirty header forces
// us to search for; that search is done once per process for each version of a
// file (its inode, size and modification time), as the service does when it
// starts. A file replaced under an open handle stays mapped as it was for that
// handle, as the service keeps its own view of an open log.
// Seeking to a record walks from the nearest known record (the oldest, the
// newest, or the handle's position), so reading the newest records costs the
// same whatever the size of the log.
#include "../win32api.h"
#include "emu_control.h"
#include "evt_file.h"
#include "evt_read.h"
#include "machine.h"

#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One version of one log file, mapped.
struct MappedLog {
    std::string path;
    struct timespec modified = {};
    off_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    const uint8_t* bytes = nullptr;
    emu::evt::Layout layout;
    bool damaged = false; // not an event log: every read fails with ERROR_EVENTLOG_FILE_CORRUPT

    ~MappedLog() {
        if (bytes)
            munmap(const_cast<uint8_t*>(bytes), static_cast<size_t>(size));
    }
    emu::evt::LogImage image() const {
        return emu::evt::LogImage(bytes, static_cast<size_t>(size));
    }
    emu::evt::LogView view() const { return {bytes, static_cast<size_t>(size), layout, damaged}; }
};

struct LogHandle {
    std::shared_ptr<MappedLog> log;
    emu::evt::ReadPosition position;
};

std::mutex logMutex;
long scans = 0;
long failingReads = 0;
DWORD failingReadError = 0;
bool seekReadsRefused = false;
std::map<std::string, std::shared_ptr<MappedLog>> mappedLogs;
std::set<LogHandle*> openHandles;
long handleCount = 0;

// The event log service reads its registry as the system does.
std::string registryString(HKEY root, const std::string& key, const char* value) {
    emu::ServiceAccess asService;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "";
    char data[1024] = {};
    DWORD size = sizeof data - 1, type = 0;
    LSTATUS status =
        RegQueryValueExA(handle, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS ? std::string(data, strnlen(data, size)) : "";
}

std::string computerName() {
    std::string name = registryString(
        HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
        "ComputerName");
    return name.empty() ? "KESTRIN" : name;
}

bool keyExists(const std::string& key) {
    emu::ServiceAccess asService;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

// The host path of the log's file.
std::string logFilePath(const std::string& logName) {
    const std::string logs = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";
    std::string name = keyExists(logs + logName) ? logName : "Application";
    std::string file = registryString(HKEY_LOCAL_MACHINE, logs + name, "File");
    if (file.empty())
        file = "%SystemRoot%\\System32\\config\\" + name + ".evt";
    char expanded[MAX_PATH * 4];
    DWORD length = ExpandEnvironmentStringsA(file.c_str(), expanded, sizeof expanded);
    if (length > 0 && length <= sizeof expanded)
        file = expanded;
    return emu::hostPath(file);
}

// The mapped current version of the file (an empty log when it is missing).
std::shared_ptr<MappedLog> mapLog(const std::string& path) {
    struct stat info = {};
    bool exists = !path.empty() && stat(path.c_str(), &info) == 0;
    auto cached = mappedLogs.find(path);
    if (cached != mappedLogs.end()) {
        const MappedLog& log = *cached->second;
        if (exists && log.size == info.st_size && log.device == info.st_dev &&
            log.inode == info.st_ino && log.modified.tv_sec == info.st_mtim.tv_sec &&
            log.modified.tv_nsec == info.st_mtim.tv_nsec)
            return cached->second;
        if (!exists && !log.bytes)
            return cached->second;
    }
    auto log = std::make_shared<MappedLog>();
    log->path = path;
    if (exists) {
        log->modified = info.st_mtim;
        log->size = info.st_size;
        log->device = info.st_dev;
        log->inode = info.st_ino;
        int fd = open(path.c_str(), O_RDONLY);
        void* bytes = fd >= 0 && info.st_size > 0 ? mmap(nullptr, static_cast<size_t>(info.st_size),
                                                         PROT_READ, MAP_PRIVATE, fd, 0)
                                                  : MAP_FAILED;
        if (fd >= 0)
            close(fd);
        if (bytes == MAP_FAILED) {
            log->size = 0;
            log->damaged = true;
        } else {
            log->bytes = static_cast<const uint8_t*>(bytes);
            std::string error;
            bool searched = false;
            log->damaged = !log->image().locate(log->layout, error, &searched);
            scans += searched; // once per version of a file, however often it is opened
        }
    }
    mappedLogs[path] = log;
    return log;
}

LogHandle* lookup(HANDLE handle) {
    auto* h = static_cast<LogHandle*>(handle);
    return openHandles.count(h) ? h : nullptr;
}

} // namespace

// OpenEventLogA: a handle to the log `sourceName` on this machine. NULL with
// RPC_S_SERVER_UNAVAILABLE for another computer, ERROR_INVALID_PARAMETER for a
// NULL or empty name, ERROR_PRIVILEGE_NOT_HELD for the Security log unless the
// user is an administrator.
extern "C" HANDLE WINAPI OpenEventLogA(LPCSTR serverName, LPCSTR sourceName) {
    return emu::platformCall<HANDLE>(nullptr, true, [&]() -> HANDLE {
        if (!sourceName || !*sourceName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (serverName && *serverName) {
            std::string server = serverName;
            if (server.compare(0, 2, "\\\\") == 0)
                server.erase(0, 2);
            if (!emu::equalsIgnoreCase(server, computerName())) {
                SetLastError(RPC_S_SERVER_UNAVAILABLE);
                return nullptr;
            }
        }
        // Reading the Security log takes a privilege a standard user lacks.
        if (emu::equalsIgnoreCase(sourceName, "Security") && !emu::userIsAdministrator()) {
            SetLastError(ERROR_PRIVILEGE_NOT_HELD);
            return nullptr;
        }
        std::string path = logFilePath(sourceName);
        std::lock_guard<std::mutex> lock(logMutex);
        auto* handle = new LogHandle{mapLog(path), {}};
        openHandles.insert(handle);
        ++handleCount;
        return handle;
    });
}

// CloseEventLog: FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
extern "C" BOOL WINAPI CloseEventLog(HANDLE eventLog) {
    std::lock_guard<std::mutex> lock(logMutex);
    LogHandle* handle = lookup(eventLog);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    openHandles.erase(handle);
    --handleCount;
    delete handle;
    return TRUE;
}

// GetNumberOfEventLogRecords / GetOldestEventLogRecord: from the end-of-file
// record (0 and 0 for an empty log). FALSE with ERROR_INVALID_HANDLE or
// ERROR_INVALID_PARAMETER for a NULL result.
extern "C" BOOL WINAPI GetNumberOfEventLogRecords(HANDLE eventLog, DWORD* numberOfRecords) {
    std::lock_guard<std::mutex> lock(logMutex);
    LogHandle* handle = lookup(eventLog);
    if (!handle || !numberOfRecords) {
        SetLastError(handle ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *numberOfRecords = emu::evt::recordCount(handle->log->view());
    return TRUE;
}

extern "C" BOOL WINAPI GetOldestEventLogRecord(HANDLE eventLog, DWORD* oldestRecord) {
    std::lock_guard<std::mutex> lock(logMutex);
    LogHandle* handle = lookup(eventLog);
    if (!handle || !oldestRecord) {
        SetLastError(handle ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *oldestRecord = emu::evt::oldestRecord(handle->log->view());
    return TRUE;
}

// ReadEventLogA: whole records, texts in ANSI, as many as fit in `buffer`.
// EVENTLOG_SEEK_READ starts at record `recordOffset`; EVENTLOG_SEQUENTIAL_READ
// goes on from the last record this handle read (from the oldest forwards, the
// newest backwards, the first time). Fails with ERROR_INSUFFICIENT_BUFFER and
// the bytes the next record needs in *minBytesNeeded when it does not fit,
// ERROR_HANDLE_EOF past the last record, ERROR_INVALID_PARAMETER for bad flags
// or a record number not in the log, ERROR_EVENTLOG_FILE_CORRUPT for a damaged
// file, ERROR_INVALID_HANDLE for a handle that is not open.
extern "C" BOOL WINAPI ReadEventLogA(HANDLE eventLog, DWORD readFlags, DWORD recordOffset,
                                     LPVOID buffer, DWORD bytesToRead, DWORD* bytesRead,
                                     DWORD* minBytesNeeded) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        std::lock_guard<std::mutex> lock(logMutex);
        LogHandle* handle = lookup(eventLog);
        if (!handle) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (failingReads > 0) {
            --failingReads;
            if (bytesRead)
                *bytesRead = 0;
            if (failingReadError == 0)
                return TRUE;
            SetLastError(failingReadError);
            return FALSE;
        }
        if (seekReadsRefused && (readFlags & EVENTLOG_SEEK_READ)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD error =
            emu::evt::readEventLog(handle->log->view(), handle->position, readFlags, recordOffset,
                                   buffer, bytesToRead, bytesRead, minBytesNeeded);
        if (error) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    });
}

namespace emu {
void failEventLogReads(long count, DWORD error) {
    std::lock_guard<std::mutex> lock(logMutex);
    failingReads = count;
    failingReadError = error;
}

void refuseSeekReads(bool refuse) {
    std::lock_guard<std::mutex> lock(logMutex);
    seekReadsRefused = refuse;
}

long eventLogScans() {
    std::lock_guard<std::mutex> lock(logMutex);
    return scans;
}

long openEventLogHandles() {
    std::lock_guard<std::mutex> lock(logMutex);
    return handleCount;
}
} // namespace emu
