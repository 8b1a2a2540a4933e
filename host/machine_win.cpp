#include "machine_win.h"

#include "../src/logfiles/evt_file.h"
#include "../src/logfiles/evt_read.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <map>
#include <set>
#include <vector>

namespace {

bool runAndWait(std::string commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code == 0;
}

// The real system directory as this process names it: a 32-bit process on
// 64-bit Windows (WoW64) sees C:\Windows\System32 redirected to SysWOW64 and
// reaches the native one only as Sysnative, which exists for it alone.
std::string nativeSystemDirectory() {
    DWORD attributes = GetFileAttributesA("C:\\Windows\\Sysnative");
    bool wow64 = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return wow64 ? "C:\\Windows\\Sysnative" : "C:\\Windows\\System32";
}

// `path` as a native process (the event log service) would open it.
std::string asNativeProcess(const std::string& path) {
    const std::string system = "C:\\Windows\\System32";
    if (path.size() >= system.size() &&
        (path.size() == system.size() || path[system.size()] == '\\') &&
        lstrcmpiA(path.substr(0, system.size()).c_str(), system.c_str()) == 0)
        return nativeSystemDirectory() + path.substr(system.size());
    return path;
}

// The message table of the satellite at `satellite` added to the installed
// language-neutral file `neutral`, whose other resources (WEVT_TEMPLATE) stay.
bool mergeTable(const std::string& satellite, const std::string& neutral) {
    HMODULE source = LoadLibraryExA(satellite.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!source)
        return false;
    bool ok = false;
    HRSRC table = FindResourceA(source, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(11));
    void* data = table ? LockResource(LoadResource(source, table)) : nullptr;
    DWORD size = table ? SizeofResource(source, table) : 0;
    if (data && size) {
        HANDLE update = BeginUpdateResourceA(neutral.c_str(), FALSE);
        if (update) {
            ok = UpdateResourceA(update, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1),
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), data, size) &&
                 EndUpdateResourceA(update, FALSE);
            if (!ok)
                EndUpdateResourceA(update, TRUE);
        }
    }
    FreeLibrary(source);
    return ok;
}

// Wine 8's resource loader does not read language satellites (MUI): a
// language-neutral file's table is in <folder>\<language>\<name>.mui. So that
// the real DLL shows the texts the emulation finds, each satellite's table is
// installed into its file, beside the file's own resources.
bool installSatellites(const std::string& from, const std::string& to, std::string& error) {
    WIN32_FIND_DATAA folder;
    HANDLE folders = FindFirstFileA((from + "\\*-*").c_str(), &folder);
    if (folders == INVALID_HANDLE_VALUE)
        return true;
    bool ok = true;
    do {
        if (!(folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        std::string language = from + "\\" + folder.cFileName;
        WIN32_FIND_DATAA file;
        HANDLE files = FindFirstFileA((language + "\\*.mui").c_str(), &file);
        if (files == INVALID_HANDLE_VALUE)
            continue;
        do {
            std::string name = file.cFileName;
            std::string neutral = to + "\\" + name.substr(0, name.size() - 4);
            if (GetFileAttributesA(asNativeProcess(neutral).c_str()) == INVALID_FILE_ATTRIBUTES)
                continue; // a satellite of no file here
            if (!mergeTable(language + "\\" + name, asNativeProcess(neutral))) {
                error = "cannot install " + language + "\\" + name + " into " + neutral;
                ok = false;
            }
        } while (FindNextFileA(files, &file));
        FindClose(files);
    } while (FindNextFileA(folders, &folder));
    FindClose(folders);
    return ok;
}

// Copies the machine's drive C: into this one: its System32 into the native
// system directory, everything else (SysWOW64 included) where it is named.
bool copyTree(const std::string& from, const std::string& to, std::string& error) {
    std::string target = asNativeProcess(to);
    CreateDirectoryA(target.c_str(), nullptr);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((from + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    bool ok = true;
    do {
        std::string name = found.cFileName;
        // The emulated machine's system message file stands in for the
        // platform's own table; Windows (and Wine) have theirs.
        if (name == "." || name == ".." || lstrcmpiA(name.c_str(), "kernelbase.dll") == 0)
            continue;
        std::string source = from + "\\" + name, destination = to + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = copyTree(source, destination, error) && ok;
        else if (!CopyFileA(source.c_str(), asNativeProcess(destination).c_str(), FALSE)) {
            error = "cannot copy " + source + " to " + asNativeProcess(destination);
            ok = false;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return installSatellites(from, to, error) && ok;
}

// One log file as read when it was opened, and a handle's place in it.
struct LogFile {
    std::vector<uint8_t> bytes;
    logfiles::evt::MemorySource source{nullptr, 0};
    logfiles::evt::Layout layout;
    std::unique_ptr<logfiles::evtx::Log> evtx; // an .evtx file, whose signature says so
    bool damaged = true;
    mutable logfiles::evt::ConvertedRecords converted; // of this version
    logfiles::evt::LogView view() const {
        return {&source, layout, evtx.get(), damaged, GetACP(), &converted};
    }
};
struct LogHandle {
    std::shared_ptr<LogFile> log;
    logfiles::evt::ReadPosition position;
};
std::set<LogHandle*> handles;
std::set<void*> localBlocks;
std::set<HKEY> registryKeys;
std::set<HMODULE> modules;

HLOCAL WINAPI trackedLocalAlloc(UINT flags, SIZE_T bytes) {
    HLOCAL block = LocalAlloc(flags, bytes);
    if (block)
        localBlocks.insert(block);
    return block;
}
HLOCAL WINAPI trackedLocalFree(HLOCAL block) {
    localBlocks.erase(block);
    return LocalFree(block);
}
LONG WINAPI trackedRegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result) {
    LONG status = RegOpenKeyExA(root, subKey, options, access, result);
    if (status == ERROR_SUCCESS)
        registryKeys.insert(*result);
    return status;
}
LONG WINAPI trackedRegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                   DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                   PHKEY result, LPDWORD disposition) {
    LONG status = RegCreateKeyExA(root, subKey, reserved, keyClass, options, access, security,
                                  result, disposition);
    if (status == ERROR_SUCCESS)
        registryKeys.insert(*result);
    return status;
}
LONG WINAPI trackedRegCloseKey(HKEY key) {
    registryKeys.erase(key);
    return RegCloseKey(key);
}
HMODULE WINAPI trackedLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
    HMODULE module = LoadLibraryExA(name, file, flags);
    if (module)
        modules.insert(module);
    return module;
}
BOOL WINAPI trackedFreeLibrary(HMODULE module) {
    modules.erase(module);
    return FreeLibrary(module);
}

struct Replacement {
    const char* name;
    void* function;
};

// Points the module's imports from `dll` named in `replacements` at them.
int patchImports(HMODULE module, const char* dll, const Replacement* replacements, size_t count) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return 0;
    int patched = 0;
    for (auto* descriptor =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name; ++descriptor) {
        if (_stricmp(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (size_t i = 0; i < count; ++i) {
                if (std::strcmp(reinterpret_cast<char*>(byName->Name), replacements[i].name) != 0)
                    continue;
                DWORD old = 0;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                               &old);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacements[i].function);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
                ++patched;
            }
        }
    }
    return patched;
}

std::string registryString(const std::string& key, const char* value) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "";
    char data[1024] = {};
    DWORD size = sizeof data - 1;
    LONG status =
        RegQueryValueExA(handle, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS ? std::string(data) : "";
}

// One log's bytes as last read, and what they were read at: the service keeps
// a log's contents between opens, so a refresh does not read the whole file.
struct LogVersion {
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    std::string header;
    std::shared_ptr<LogFile> file;
};
std::map<std::string, LogVersion> logVersions;

bool sameAttributes(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
    return a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh &&
           CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

// The file's bytes, read again only when its size, its time or its header
// changed since they were last read.
std::shared_ptr<LogFile> currentLogFile(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    std::ifstream in(path, std::ios::binary);
    if (!in || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) {
        auto empty = std::make_shared<LogFile>();
        empty->damaged = false; // no file yet: an empty log
        return empty;
    }
    std::string header(logfiles::evt::kHeaderSize, '\0');
    in.read(&header[0], static_cast<std::streamsize>(header.size()));
    header.resize(static_cast<size_t>(in.gcount()));
    LogVersion& known = logVersions[path];
    if (known.file && sameAttributes(known.attributes, attributes) && known.header == header)
        return known.file;
    auto logFile = std::make_shared<LogFile>();
    in.clear();
    in.seekg(0);
    logFile->bytes.assign(std::istreambuf_iterator<char>(in), {});
    logFile->source = logfiles::evt::MemorySource(logFile->bytes.data(), logFile->bytes.size());
    std::string error;
    if (logfiles::evtx::hasSignature(logFile->source)) {
        logFile->evtx = std::make_unique<logfiles::evtx::Log>();
        logFile->damaged = !logFile->evtx->locate(logFile->source, error);
    } else {
        logfiles::evt::LogImage image(logFile->source);
        logFile->damaged = !image.locate(logFile->layout, error);
    }
    known = LogVersion{attributes, header, logFile};
    return logFile;
}

LogHandle* lookup(HANDLE handle) {
    auto* h = static_cast<LogHandle*>(handle);
    return handles.count(h) ? h : nullptr;
}

// The five calls, with the emulation's contract (see src/platform/emu/eventlog.cpp).
HANDLE WINAPI openLog(LPCSTR server, LPCSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (server && *server) {
        char computer[MAX_COMPUTERNAME_LENGTH + 1];
        DWORD size = sizeof computer;
        GetComputerNameA(computer, &size);
        std::string wanted = server[0] == '\\' && server[1] == '\\' ? server + 2 : server;
        if (_stricmp(wanted.c_str(), computer) != 0) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return nullptr;
        }
    }
    const std::string logs = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";
    HKEY key = nullptr;
    std::string log = name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (logs + log).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS)
        RegCloseKey(key);
    else
        log = "Application";
    std::string file = registryString(logs + log, "File");
    if (file.empty())
        file = "%SystemRoot%\\System32\\config\\" + log + ".evt";
    char expanded[MAX_PATH * 4];
    DWORD length = ExpandEnvironmentStringsA(file.c_str(), expanded, sizeof expanded);
    if (length > 0 && length <= sizeof expanded)
        file = expanded;

    std::shared_ptr<LogFile> logFile = currentLogFile(asNativeProcess(file));
    auto* handle = new LogHandle{logFile, {}};
    handles.insert(handle);
    return handle;
}

BOOL WINAPI closeLog(HANDLE log) {
    LogHandle* handle = lookup(log);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    handles.erase(handle);
    delete handle;
    return TRUE;
}

BOOL WINAPI countRecords(HANDLE log, DWORD* count) {
    LogHandle* handle = lookup(log);
    if (!handle || !count) {
        SetLastError(handle ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *count = logfiles::evt::recordCount(handle->log->view());
    return TRUE;
}

BOOL WINAPI oldestRecord(HANDLE log, DWORD* oldest) {
    LogHandle* handle = lookup(log);
    if (!handle || !oldest) {
        SetLastError(handle ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *oldest = logfiles::evt::oldestRecord(handle->log->view());
    return TRUE;
}

BOOL WINAPI readLog(HANDLE log, DWORD flags, DWORD number, LPVOID buffer, DWORD size,
                    DWORD* bytesRead, DWORD* needed) {
    LogHandle* handle = lookup(log);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD error = logfiles::evt::readEventLog(handle->log->view(), handle->position, flags, number,
                                              buffer, size, bytesRead, needed);
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

} // namespace

bool installMachine(const std::string& machineDir, std::string& error) {
    // The machine's registry is its 64-bit view, as the emulation keeps it: a
    // 32-bit reg.exe would write HKLM\SOFTWARE into WOW6432Node, so the
    // native one imports it.
    const std::string reg = nativeSystemDirectory() + "\\reg.exe";
    for (const char* hive : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"}) {
        std::string file = machineDir + "\\registry\\" + hive + ".reg";
        if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        if (!runAndWait("\"" + reg + "\" import \"" + file + "\"")) {
            error = "reg import " + file + " failed";
            return false;
        }
    }
    // The event publishers are in the 64-bit view alone: this 32-bit process
    // must not see them without asking for that view.
    HKEY publishers = nullptr;
    const char* winevt = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WINEVT\\Publishers";
    bool wow64 = nativeSystemDirectory() != "C:\\Windows\\System32";
    if (wow64 &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, winevt, 0, KEY_READ, &publishers) == ERROR_SUCCESS) {
        RegCloseKey(publishers);
        error = "the 32-bit registry view holds WINEVT\\Publishers: the import went to WOW6432Node";
        return false;
    }
    return copyTree(machineDir + "\\drive_c", "C:", error);
}

int redirectEventLogImports(HMODULE module) {
    const Replacement replacements[] = {
        {"OpenEventLogA", reinterpret_cast<void*>(openLog)},
        {"ReadEventLogA", reinterpret_cast<void*>(readLog)},
        {"GetNumberOfEventLogRecords", reinterpret_cast<void*>(countRecords)},
        {"GetOldestEventLogRecord", reinterpret_cast<void*>(oldestRecord)},
        {"CloseEventLog", reinterpret_cast<void*>(closeLog)},
    };
    return patchImports(module, "advapi32.dll", replacements, 5);
}

int replaceImport(HMODULE module, const char* dll, const char* name, void* function) {
    const Replacement replacement = {name, function};
    return patchImports(module, dll, &replacement, 1);
}

void trackModuleResources(HMODULE module) {
    const Replacement registry[] = {
        {"RegOpenKeyExA", reinterpret_cast<void*>(trackedRegOpenKeyExA)},
        {"RegCreateKeyExA", reinterpret_cast<void*>(trackedRegCreateKeyExA)},
        {"RegCloseKey", reinterpret_cast<void*>(trackedRegCloseKey)},
    };
    const Replacement kernel[] = {
        {"LocalAlloc", reinterpret_cast<void*>(trackedLocalAlloc)},
        {"LocalFree", reinterpret_cast<void*>(trackedLocalFree)},
        {"LoadLibraryExA", reinterpret_cast<void*>(trackedLoadLibraryExA)},
        {"FreeLibrary", reinterpret_cast<void*>(trackedFreeLibrary)},
    };
    patchImports(module, "advapi32.dll", registry, 3);
    patchImports(module, "kernel32.dll", kernel, 4);
}

std::string heldResources() {
    std::string held;
    auto add = [&held](const char* name, size_t count) {
        if (count)
            held += std::string(held.empty() ? "" : ", ") + name + " " + std::to_string(count);
    };
    add("event logs", handles.size());
    add("LocalAlloc blocks", localBlocks.size());
    add("registry keys", registryKeys.size());
    add("modules", modules.size());
    return held;
}
