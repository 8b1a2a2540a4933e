// The event log calls over the machine's log files: legacy .evt files and the
// .evtx files of Vista and later, told apart by their signature, so that one
// machine may hold both.
//
// A log is found as Windows NT finds it: the File value of
// HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\<log>, expanded and mapped to
// the machine. A log that is not registered opens the Application log, as the
// service does. A file that does not exist yet is an empty log.
//
// Files are read in place, a block at a time, never mapped: a file cut short
// or rewritten under a reader makes its read fail (ERROR_EVENTLOG_FILE_CHANGED),
// never the process. The records' places come from the end-of-file record,
// which a dirty header forces us to search for; that search is done once per
// process for each version of a file (its inode, size and modification time),
// as the service does when it starts, passes over the holes of a sparse file,
// and for records appended in place walks only from the old end-of-file record.
// A handle whose file changed in place goes on in the new version when its
// records are still there (the service appended), and fails its next read with
// ERROR_EVENTLOG_FILE_CHANGED when they are not; a file replaced under an open
// handle stays as it was for that handle, as the service keeps its own view.
// FIFOs, devices and folders are refused before anything waits on them.
// Seeking to a record walks from the nearest known record (the oldest, the
// newest, or the handle's position), so reading the newest records costs the
// same whatever the size of the log.
#include "../win32api.h"
#include "emu_control.h"
#include "../../logfiles/evt_file.h"
#include "../../logfiles/evt_read.h"
#include "machine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

long bytesReadFromLogs = 0;

// One version of a log file, read through its own descriptor with a few
// blocks kept, since a refresh reads the same blocks for every record.
class FileSource final : public logfiles::evt::ByteSource {
  public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~FileSource() override {
        if (fd_ >= 0)
            close(fd_);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    uint64_t size() const override { return size_; }

    bool read(uint64_t offset, void* out, size_t count) const override {
        if (offset > size_ || count > size_ - offset)
            return false;
        auto* to = static_cast<uint8_t*>(out);
        while (count) {
            uint64_t index = offset / kBlock;
            const std::vector<uint8_t>* block = blockAt(index);
            if (!block)
                return false;
            size_t within = static_cast<size_t>(offset - index * kBlock);
            size_t part = std::min(count, block->size() - within);
            std::memcpy(to, block->data() + within, part);
            to += part;
            offset += part;
            count -= part;
        }
        return true;
    }

    bool readUncached(uint64_t offset, void* out, size_t count) const override {
        if (offset > size_ || count > size_ - offset)
            return false;
        auto* to = static_cast<uint8_t*>(out);
        for (size_t got = 0; got < count;) {
            ssize_t n = pread(fd_, to + got, count - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        bytesReadFromLogs += static_cast<long>(count);
        return true;
    }

    uint64_t nextData(uint64_t offset) const override {
        off_t data = lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0)
            return errno == ENXIO ? size_ : offset;
        return std::max<uint64_t>(offset, static_cast<uint64_t>(data));
    }

    uint64_t nextHole(uint64_t offset) const override {
        off_t hole = lseek(fd_, static_cast<off_t>(offset), SEEK_HOLE);
        if (hole < 0)
            return size_;
        return std::min<uint64_t>(size_, std::max<uint64_t>(offset, static_cast<uint64_t>(hole)));
    }

    // Whether the file still is what this version read (not cut, not rewritten).
    bool unchangedSince(const struct stat& version) const {
        struct stat now;
        return fstat(fd_, &now) == 0 && now.st_size == version.st_size &&
               now.st_mtim.tv_sec == version.st_mtim.tv_sec &&
               now.st_mtim.tv_nsec == version.st_mtim.tv_nsec;
    }

  private:
    static constexpr uint64_t kBlock = 64 * 1024;
    static constexpr size_t kBlocksKept = 16;

    const std::vector<uint8_t>* blockAt(uint64_t index) const {
        for (const auto& kept : blocks_)
            if (kept.first == index)
                return &kept.second;
        uint64_t start = index * kBlock;
        size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, size_ - start));
        std::vector<uint8_t> bytes(want);
        size_t got = 0;
        while (got < want) {
            ssize_t n = pread(fd_, bytes.data() + got, want - got, static_cast<off_t>(start + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return nullptr; // cut short since this version was read
            got += static_cast<size_t>(n);
        }
        bytesReadFromLogs += static_cast<long>(want);
        if (blocks_.size() == kBlocksKept)
            blocks_.erase(blocks_.begin());
        blocks_.emplace_back(index, std::move(bytes));
        return &blocks_.back().second;
    }

    int fd_;
    uint64_t size_;
    mutable std::vector<std::pair<uint64_t, std::vector<uint8_t>>> blocks_;
};

// One version of one log file.
struct MappedLog {
    std::string path;
    struct stat info = {};
    std::unique_ptr<FileSource> source; // none for a missing file or one that cannot be read
    logfiles::evt::Layout layout;
    std::unique_ptr<logfiles::evtx::Log> evtx; // an .evtx file, whose signature says so
    bool damaged = false; // not an event log: every read fails with ERROR_EVENTLOG_FILE_CORRUPT

    mutable logfiles::evt::ConvertedRecords converted; // of this version

    logfiles::evt::LogView view() const {
        return {source.get(), layout, evtx.get(), damaged, GetACP(), &converted};
    }
};

struct LogHandle {
    std::shared_ptr<MappedLog> log;
    logfiles::evt::ReadPosition position;
};

std::mutex logMutex;
long scans = 0;
long failingReads = 0;
long failingOpens = 0;
DWORD failingOpenError = 0;
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

bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The current version of the file (an empty log when it is missing).
std::shared_ptr<MappedLog> mapLog(const std::string& path) {
    struct stat info = {};
    bool exists = !path.empty() && stat(path.c_str(), &info) == 0;
    auto cached = mappedLogs.find(path);
    std::shared_ptr<MappedLog> previous;
    if (cached != mappedLogs.end()) {
        previous = cached->second;
        if (exists ? previous->source && sameVersion(previous->info, info)
                   : !previous->source && !previous->damaged)
            return previous;
    }
    auto log = std::make_shared<MappedLog>();
    log->path = path;
    if (exists) {
        log->info = info;
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat opened = {};
        if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))) {
            close(fd);
            fd = -1;
        }
        if (fd < 0) {
            log->damaged = true;
        } else {
            log->info = opened;
            log->source = std::make_unique<FileSource>(fd, static_cast<uint64_t>(opened.st_size));
            if (logfiles::evtx::hasSignature(*log->source)) {
                std::string error;
                log->evtx = std::make_unique<logfiles::evtx::Log>();
                log->damaged = !log->evtx->locate(*log->source, error);
                ++scans;
                mappedLogs[path] = log;
                return log;
            }
            logfiles::evt::LogImage image(*log->source);
            bool appended = previous && previous->source && !previous->damaged && !previous->evtx &&
                            previous->info.st_ino == opened.st_ino &&
                            previous->info.st_dev == opened.st_dev &&
                            image.locateAfter(previous->layout, log->layout);
            if (!appended) {
                std::string error;
                bool searched = false;
                log->damaged = !image.locate(log->layout, error, &searched);
                scans += searched; // once per version of a file, however often it is opened
            }
        }
    }
    mappedLogs[path] = log;
    return log;
}

// Before a call on `handle`: a file changed in place since the handle's version
// was read is read again, and the handle goes on in it when the record it last
// read is still where it was. False when it is not (the log was cleared or
// rewritten): the call fails with ERROR_EVENTLOG_FILE_CHANGED.
bool followChanges(LogHandle& handle) {
    MappedLog& log = *handle.log;
    if (!log.source || log.source->unchangedSince(log.info))
        return true;
    auto current = mapLog(log.path);
    if (!current->source || current->damaged || current->info.st_ino != log.info.st_ino ||
        current->info.st_dev != log.info.st_dev)
        return false;
    if (!logfiles::evt::positionHolds(current->view(), handle.position))
        return false; // rewritten, not appended to: what this handle read is gone
    handle.log = current;
    return true;
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
        {
            std::lock_guard<std::mutex> lock(logMutex);
            if (failingOpens > 0) {
                --failingOpens;
                SetLastError(failingOpenError);
                return nullptr;
            }
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
// record (0 and 0 for an empty log). FALSE with ERROR_INVALID_PARAMETER for a
// NULL result (whatever the handle), else ERROR_INVALID_HANDLE for a handle
// that is not open.
extern "C" BOOL WINAPI GetNumberOfEventLogRecords(HANDLE eventLog, DWORD* numberOfRecords) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        if (!numberOfRecords) { // checked before the handle, as Windows does
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::lock_guard<std::mutex> lock(logMutex);
        LogHandle* handle = lookup(eventLog);
        if (!handle) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        followChanges(*handle);
        *numberOfRecords = logfiles::evt::recordCount(handle->log->view());
        return TRUE;
    });
}

extern "C" BOOL WINAPI GetOldestEventLogRecord(HANDLE eventLog, DWORD* oldestRecord) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        if (!oldestRecord) { // checked before the handle, as Windows does
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::lock_guard<std::mutex> lock(logMutex);
        LogHandle* handle = lookup(eventLog);
        if (!handle) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        followChanges(*handle);
        *oldestRecord = logfiles::evt::oldestRecord(handle->log->view());
        return TRUE;
    });
}

// ReadEventLogA: whole records, texts in ANSI, as many as fit in `buffer`.
// EVENTLOG_SEEK_READ starts at record `recordOffset`; EVENTLOG_SEQUENTIAL_READ
// goes on from the last record this handle read (from the oldest forwards, the
// newest backwards, the first time). Fails with ERROR_INSUFFICIENT_BUFFER and
// the bytes the next record needs in *minBytesNeeded when it does not fit,
// ERROR_HANDLE_EOF past the last record, ERROR_INVALID_PARAMETER for bad flags,
// a null buffer (both checked first, whatever the handle) or a record number
// not in the log, ERROR_EVENTLOG_FILE_CORRUPT for a damaged file,
// ERROR_INVALID_HANDLE for a handle that is not open.
extern "C" BOOL WINAPI ReadEventLogA(HANDLE eventLog, DWORD readFlags, DWORD recordOffset,
                                     LPVOID buffer, DWORD bytesToRead, DWORD* bytesRead,
                                     DWORD* minBytesNeeded) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        // The arguments are checked before the handle, as Windows does: one
        // direction and one way of reading, and a buffer.
        const bool seek = readFlags & EVENTLOG_SEEK_READ,
                   sequential = readFlags & EVENTLOG_SEQUENTIAL_READ;
        const bool forwards = readFlags & EVENTLOG_FORWARDS_READ,
                   backwards = readFlags & EVENTLOG_BACKWARDS_READ;
        if (seek == sequential || forwards == backwards || !buffer) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
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
        if (!followChanges(*handle)) {
            if (bytesRead)
                *bytesRead = 0;
            SetLastError(ERROR_EVENTLOG_FILE_CHANGED);
            return FALSE;
        }
        if (seekReadsRefused && (readFlags & EVENTLOG_SEEK_READ)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD error = logfiles::evt::readEventLog(handle->log->view(), handle->position, readFlags,
                                                  recordOffset, buffer, bytesToRead, bytesRead,
                                                  minBytesNeeded);
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

void failEventLogOpens(long count, DWORD error) {
    std::lock_guard<std::mutex> lock(logMutex);
    failingOpens = count;
    failingOpenError = error;
}

void refuseSeekReads(bool refuse) {
    std::lock_guard<std::mutex> lock(logMutex);
    seekReadsRefused = refuse;
}

long eventLogScans() {
    std::lock_guard<std::mutex> lock(logMutex);
    return scans;
}

long eventLogBytesRead() {
    std::lock_guard<std::mutex> lock(logMutex);
    return bytesReadFromLogs;
}

long openEventLogHandles() {
    std::lock_guard<std::mutex> lock(logMutex);
    return handleCount;
}
} // namespace emu
