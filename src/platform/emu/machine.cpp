// The emulated machine: where its state lives on the host and how Windows paths
// reach it.
//
// A machine is a folder. Drive X: is <root>/drive_x; each path component is
// matched without regard to case, as Windows does, against what the folder
// holds, and keeps the caller's spelling where nothing matches yet (a file that
// is about to be made). A path that begins with "/" is a host path used as it
// stands; one that begins with a single backslash is on drive C:.
#include "emu_control.h"
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace emu {

namespace {

std::mutex rootMutex;
bool rootChosen = false;
std::string rootDir;

std::vector<std::string> splitComponents(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

// The entry of `dir` whose name equals `name` without regard to case, or `name`.
std::string matchEntry(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    if (fs::exists(dir / name, ec))
        return name;
    // opendir rather than std::filesystem: libstdc++'s directory iterator aborts
    // when memory runs out, and the platform's calls must fail instead.
    std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(dir.c_str()), closedir);
    if (!folder)
        return name;
    while (dirent* entry = readdir(folder.get()))
        if (equalsIgnoreCase(entry->d_name, name))
            return entry->d_name;
    return name;
}

} // namespace

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return compareIgnoreCase(a, b) == 0;
}

int compareIgnoreCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = static_cast<unsigned char>(asciiUpper(a[i]));
        int cb = static_cast<unsigned char>(asciiUpper(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string machineRoot() {
    std::lock_guard<std::mutex> lock(rootMutex);
    if (!rootChosen) {
        const char* env = std::getenv("KESTRIN_MACHINE");
        rootDir = env ? env : "";
        rootChosen = true;
    }
    return rootDir;
}

void setMachineRoot(const std::string& dir) {
    {
        std::lock_guard<std::mutex> lock(rootMutex);
        rootDir = dir;
        rootChosen = true;
    }
    resetRegistry();
    resetCodePage();
}

namespace {

// What the 32-bit process sees of C:\Windows\System32 on a 64-bit machine.
// `parts` are the components below the drive, "." and ".." resolved.
void redirectForWow64(std::vector<std::string>& parts) {
    auto is = [&](size_t i, const char* name) {
        return i < parts.size() && equalsIgnoreCase(parts[i], name);
    };
    if (!is(0, "Windows"))
        return;
    if (is(1, "Sysnative")) {
        parts[1] = "System32";
        return;
    }
    if (parts.size() == 2 && is(1, "regedit.exe")) {
        parts.insert(parts.begin() + 1, "SysWOW64");
        return;
    }
    size_t system = is(1, "lastgood") ? 2 : 1;
    if (!is(system, "System32"))
        return;
    // The folders the platform leaves to both word sizes.
    for (const char* shared : {"catroot", "catroot2", "driverstore", "logfiles", "spool"})
        if (is(system + 1, shared))
            return;
    if (is(system + 1, "drivers") && is(system + 2, "etc"))
        return;
    parts[system] = "SysWOW64";
}

// A folder's stamp: an entry made, removed or renamed in it changes it.
struct FolderStamp {
    ino_t inode = 0;
    nlink_t links = 0;
    off_t size = 0;
    timespec modified = {}, changed = {};
    bool operator==(const FolderStamp& other) const {
        return inode == other.inode && links == other.links && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

bool folderStamp(const std::string& folder, FolderStamp& stamp) {
    struct stat info = {};
    if (stat(folder.c_str(), &info) != 0)
        return false;
    stamp = FolderStamp{info.st_ino, info.st_nlink, info.st_size, info.st_mtim, info.st_ctim};
    return true;
}

// `parts` matched below `base`, each without regard to case. A path matched
// once is kept with the stamps of the folders it was matched in, and matched
// again only when one of them changed (module loads ask for the same few
// paths at every refresh).
std::string matchComponents(const std::string& base, const std::vector<std::string>& parts) {
    struct Matched {
        std::string host;
        std::vector<std::pair<std::string, FolderStamp>> folders;
    };
    static std::mutex matchedMutex;
    static std::map<std::string, Matched> matched;
    std::string key = base;
    for (const std::string& part : parts)
        key += '\0' + part;
    {
        std::lock_guard<std::mutex> lock(matchedMutex);
        auto it = matched.find(key);
        if (it != matched.end()) {
            bool fresh = true;
            FolderStamp now;
            for (const auto& [folder, stamp] : it->second.folders)
                fresh = fresh && folderStamp(folder, now) && now == stamp;
            if (fresh)
                return it->second.host;
            matched.erase(it);
        }
    }
    Matched result;
    fs::path host(base);
    bool stamped = true;
    for (const std::string& part : parts) {
        FolderStamp stamp;
        stamped = stamped && folderStamp(host.string(), stamp);
        if (stamped)
            result.folders.emplace_back(host.string(), stamp);
        host /= matchEntry(host, part);
    }
    result.host = host.string();
    // Only what is there is kept: a name not found yet may appear in another
    // letter case within the same tick of a folder's clock.
    struct stat there = {};
    if (stamped && stat(result.host.c_str(), &there) == 0) {
        std::lock_guard<std::mutex> lock(matchedMutex);
        if (matched.size() > 4096)
            matched.clear();
        matched[key] = result;
    }
    return result.host;
}

std::string resolvePath(const std::string& windowsPath, bool asProcess) {
    if (windowsPath.empty())
        return "";
    if (windowsPath[0] == '/')
        return windowsPath;
    std::string root = machineRoot();
    if (root.empty())
        return "";

    char drive = 'c';
    std::string rest = windowsPath;
    if (windowsPath.size() >= 2 && windowsPath[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(windowsPath[0]))) {
        drive = asciiLower(windowsPath[0]);
        rest = windowsPath.substr(2);
    } else if (windowsPath.size() >= 2 && (windowsPath[0] == '\\' || windowsPath[0] == '/') &&
               (windowsPath[1] == '\\' || windowsPath[1] == '/')) {
        return ""; // UNC names lead off the machine
    }

    // Relative paths start from the root of the drive: the emulated process's
    // current directory is C:\.
    std::vector<std::string> resolved;
    for (const std::string& part : splitComponents(rest)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!resolved.empty())
                resolved.pop_back();
            continue;
        }
        resolved.push_back(part);
    }
    // Only paths into C:\Windows can be redirected: other paths never ask
    // which machine this is.
    if (asProcess && drive == 'c' && !resolved.empty() &&
        equalsIgnoreCase(resolved[0], "Windows") && isWow64Machine())
        redirectForWow64(resolved);

    return matchComponents(root + "/drive_" + drive, resolved);
}

} // namespace

std::string hostPath(const std::string& windowsPath) {
    return resolvePath(windowsPath, false);
}

std::string processPath(const std::string& windowsPath) {
    return resolvePath(windowsPath, true);
}

bool isWow64Machine() {
    std::string root = machineRoot();
    if (root.empty())
        return false;
    // Asked for every path into C:\Windows: the answer is kept while neither
    // drive C: nor its Windows folder changed (a folder made or renamed in
    // either changes its stamp), as the hives are kept.
    struct Answer {
        std::string root;
        fs::path windowsPath;
        struct stat drive = {}, windows = {};
        bool wow64 = false;
    };
    static std::mutex answerMutex;
    static Answer kept;
    auto same = [](const struct stat& a, const struct stat& b) {
        // A folder made inside adds a link; the size and times catch the rest.
        return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_nlink == b.st_nlink &&
               a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
               a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
    };
    fs::path drive = fs::path(root) / "drive_c";
    struct stat driveStamp = {}, windowsStamp = {};
    if (stat(drive.c_str(), &driveStamp) != 0)
        return false;
    std::lock_guard<std::mutex> lock(answerMutex);
    if (kept.root == root && same(kept.drive, driveStamp) &&
        stat(kept.windowsPath.c_str(), &windowsStamp) == 0 && same(kept.windows, windowsStamp))
        return kept.wow64;
    fs::path windows = drive / matchEntry(drive, "Windows");
    stat(windows.c_str(), &windowsStamp);
    std::error_code ec;
    kept = Answer{root, windows, driveStamp, windowsStamp,
                  fs::is_directory(windows / matchEntry(windows, "SysWOW64"), ec)};
    return kept.wow64;
}

FileRead readRegularFile(const std::string& path, std::string& contents, std::string* why) {
    contents.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        struct stat link;
        if (error == ENOENT && lstat(path.c_str(), &link) != 0)
            return FileRead::Missing;
        if (why)
            *why = std::strerror(error);
        return FileRead::Unreadable;
    }
    struct stat st;
    FileRead result = FileRead::Read;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (why)
            *why = "not a regular file";
        result = FileRead::Unreadable;
    }
    char buffer[65536];
    while (result == FileRead::Read) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (why)
                *why = std::strerror(errno);
            result = FileRead::Unreadable;
            break;
        }
        contents.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return result;
}

namespace {

std::mutex writableMutex;
std::vector<std::string> writableHostFiles; // as resolved when allowed

// `path` with every link on the way resolved, the last part included (a
// dangling link resolves to where it points); "" when its folder is missing.
std::string resolvedPath(const std::string& path) {
    std::error_code ec;
    fs::path target(path);
    for (int hops = 0; hops < 40 && fs::is_symlink(target, ec); ++hops) {
        fs::path link = fs::read_symlink(target, ec);
        if (ec)
            return "";
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    // Folders not made yet are judged by the nearest one that is there.
    fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::path missing = target.filename();
    while (!fs::exists(folder, ec) && folder.has_parent_path() && folder != folder.parent_path()) {
        missing = folder.filename() / missing;
        folder = folder.parent_path();
    }
    fs::path real = fs::canonical(folder, ec);
    return ec ? "" : (real / missing).lexically_normal().string();
}

bool mayWrite(const std::string& path) {
    std::string target = resolvedPath(path);
    if (target.empty())
        return false;
    std::error_code ec;
    std::string root = fs::canonical(machineRoot(), ec).string();
    if (!ec && !root.empty() && target.compare(0, root.size() + 1, root + "/") == 0)
        return true;
    std::lock_guard<std::mutex> lock(writableMutex);
    return std::find(writableHostFiles.begin(), writableHostFiles.end(), target) !=
           writableHostFiles.end();
}

} // namespace

void allowHostWrite(const std::string& hostFile) {
    std::string resolved = resolvedPath(hostFile);
    std::lock_guard<std::mutex> lock(writableMutex);
    if (!resolved.empty())
        writableHostFiles.push_back(resolved);
}

bool writeFileAtomically(const std::string& path, const std::string& contents, bool createParents) {
    std::error_code ec;
    fs::path target(path);
    if (!mayWrite(path)) {
        errno = EACCES;
        return false;
    }
    if (createParents && target.has_parent_path())
        fs::create_directories(target.parent_path(), ec);
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data()); // O_CREAT | O_EXCL: a planted link is never followed
    if (fd < 0)
        return false;
    struct stat existing = {};
    mode_t mode = stat(path.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0644;
    bool ok = fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < contents.size();) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = close(fd) == 0 && ok;
    if (ok)
        fs::rename(temp, target, ec);
    if (!ok || ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

FolderLock::FolderLock(const std::string& folder) {
    if (!folder.empty())
        fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0)
        flock(fd_, LOCK_EX);
}

FolderLock::~FolderLock() {
    if (fd_ >= 0)
        close(fd_);
}

} // namespace emu
