// The system's own message table, as FORMAT_MESSAGE_FROM_SYSTEM reads it: the
// machine's System32\kernelbase.dll as this process sees it (SysWOW64's copy
// for the 32-bit process on a 64-bit machine), whose texts are the machine's
// own. The file is read whole once and again only when it changes; a machine
// without it has no system texts, as a Windows without it would have none.
#include "../win32api.h"
#include "machine.h"
#include "pe_resources.h"

#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct SystemFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified = {};
    std::vector<uint8_t> bytes;
    std::unique_ptr<emu::pe::ResourceReader> reader; // null: not a PE image
};

std::mutex systemMutex;
SystemFile systemFile;

bool sameFile(const SystemFile& file, const std::string& path, const struct stat& info) {
    return file.path == path && file.device == info.st_dev && file.inode == info.st_ino &&
           file.size == info.st_size && file.modified.tv_sec == info.st_mtim.tv_sec &&
           file.modified.tv_nsec == info.st_mtim.tv_nsec;
}

// Reads `path` into `file`; false (and an empty file) when it cannot be read.
bool readSystemFile(const std::string& path, SystemFile& file) {
    file = SystemFile{};
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info = {};
    // Only a regular file of a message file's size: never a FIFO or a device.
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
              info.st_size < (64 << 20);
    if (ok) {
        file.bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < file.bytes.size()) {
            ssize_t n = pread(fd, file.bytes.data() + done, file.bytes.size() - done,
                              static_cast<off_t>(done));
            ok = n > 0;
            done += ok ? static_cast<size_t>(n) : 0;
        }
    }
    close(fd);
    if (!ok) {
        file = SystemFile{};
        return false;
    }
    file.path = path;
    file.device = info.st_dev;
    file.inode = info.st_ino;
    file.size = info.st_size;
    file.modified = info.st_mtim;
    file.reader = std::make_unique<emu::pe::ResourceReader>(file.bytes.data(), file.bytes.size());
    std::string error;
    if (!file.reader->open(error))
        file.reader.reset();
    return true;
}

} // namespace

namespace emu {
// Calls `use` with the reader of the machine's system message file, under the
// lock that keeps the file's bytes alive; false when the machine has none.
bool withSystemMessageFile(const std::function<void(const pe::ResourceReader&)>& use) {
    std::string path = processPath("C:\\Windows\\System32\\kernelbase.dll");
    std::lock_guard<std::mutex> lock(systemMutex);
    struct stat info = {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        systemFile = SystemFile{};
        return false;
    }
    if (!sameFile(systemFile, path, info) && !readSystemFile(path, systemFile))
        return false;
    if (!systemFile.reader)
        return false;
    use(*systemFile.reader);
    return true;
}
} // namespace emu
