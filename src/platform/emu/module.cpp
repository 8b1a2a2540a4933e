// Modules: the process's own shared objects (GetModuleHandleExA), and PE files
// mapped for their resources (LoadLibraryExA, FreeLibrary); GetModuleFileNameA
// for both.
//
// A native module's handle is the base address of a loaded shared object, as an
// HMODULE is the base address of a loaded image on Windows. A PE file is never
// run here: LoadLibraryExA reads it into a private copy and checks its headers,
// whatever the flags, so a message file's resources can be read and nothing
// else, and a file changed under a loaded module can never fault a reader.
// A language-neutral file's satellite is found when it is loaded (mui.cpp).
#include "../win32api.h"
#include "machine.h"
#include "module_table.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex moduleMutex;
std::map<HMODULE, std::unique_ptr<emu::MappedModule>> mappedModules;
// Files read for loads, by host path: read again only when the file changed.
// Those no load holds go first when the copies pass the limit.
std::map<std::string, std::shared_ptr<emu::FileImage>> fileImages;
const size_t kImageCacheLimit = 256u << 20;

bool sameFile(const emu::FileImage& image, const struct stat& info) {
    return image.device == info.st_dev && image.inode == info.st_ino &&
           image.bytes.size() == static_cast<size_t>(info.st_size) &&
           image.modified.tv_sec == info.st_mtim.tv_sec &&
           image.modified.tv_nsec == info.st_mtim.tv_nsec;
}

// The bytes of the open file `fd`, read whole through pread; null when it
// cannot be read whole or changed while it was read. Call with moduleMutex held.
std::shared_ptr<emu::FileImage> readImage(const std::string& path, int fd,
                                          const struct stat& info) {
    auto cached = fileImages.find(path);
    if (cached != fileImages.end() && sameFile(*cached->second, info))
        return cached->second;
    auto image = std::make_shared<emu::FileImage>();
    image->device = info.st_dev;
    image->inode = info.st_ino;
    image->modified = info.st_mtim;
    try {
        image->bytes.resize(static_cast<size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (size_t done = 0; done < image->bytes.size();) {
        ssize_t n = pread(fd, image->bytes.data() + done, image->bytes.size() - done,
                          static_cast<off_t>(done));
        if (n <= 0)
            return nullptr; // cut short under the read
        done += static_cast<size_t>(n);
    }
    struct stat after = {};
    if (fstat(fd, &after) != 0 || !sameFile(*image, after))
        return nullptr; // rewritten under the read
    fileImages[path] = image;
    size_t total = 0;
    for (const auto& entry : fileImages)
        total += entry.second->bytes.size();
    for (auto it = fileImages.begin(); it != fileImages.end() && total > kImageCacheLimit;) {
        if (it->second.use_count() == 1 && it->second != image) {
            total -= it->second->bytes.size();
            it = fileImages.erase(it);
        } else {
            ++it;
        }
    }
    return image;
}

} // namespace

namespace emu {

ImageRead readFileImage(const std::string& path, std::shared_ptr<FileImage>& image) {
    // Opened without waiting, and checked again once open: a file swapped for
    // a FIFO since it was found must not hang the caller.
    struct stat info = {};
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0)
            close(fd);
        return ImageRead::Missing;
    }
    ImageRead result = !S_ISREG(info.st_mode) ? ImageRead::Unusable
                       : info.st_size == 0    ? ImageRead::Empty
                                              : ImageRead::Read;
    if (result == ImageRead::Read) {
        std::lock_guard<std::mutex> lock(moduleMutex);
        image = readImage(path, fd, info);
        if (!image)
            result = ImageRead::Unusable;
    }
    close(fd);
    return result;
}

const pe::MessageIndex& FileImage::messageIndex(const pe::Resource& table) {
    std::lock_guard<std::mutex> lock(indexMutex);
    auto it = messageIndexes.find(table.data);
    if (it == messageIndexes.end())
        it = messageIndexes.emplace(table.data, pe::indexMessages(table)).first;
    return it->second;
}

const MappedModule* findMappedModule(HMODULE module) {
    std::lock_guard<std::mutex> lock(moduleMutex);
    auto it = mappedModules.find(module);
    return it == mappedModules.end() ? nullptr : it->second.get();
}

long loadedModules() {
    std::lock_guard<std::mutex> lock(moduleMutex);
    long references = 0;
    for (const auto& entry : mappedModules)
        references += entry.second->references;
    return references;
}

} // namespace emu

namespace {

bool imageResourceRefused = false;

// Where a name without a folder is looked for, in the platform's order after
// the program's own folder: the system directory (as this 32-bit process sees
// it), the 16-bit one, the Windows folder, the current directory (C:\).
std::vector<std::string> searchOrder(const std::string& name) {
    if (name.find_first_of("\\/:") != std::string::npos)
        return {name};
    return {"C:\\Windows\\System32\\" + name, "C:\\Windows\\System\\" + name,
            "C:\\Windows\\" + name, "C:\\" + name};
}

bool isRegularFile(const std::string& path) {
    struct stat info = {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The code for a file that is not there, as Wine 8 gives it to a 32-bit
// program: an image load says the module was not found, a data-file load that
// the file was not found, also where folders on the way are missing.
DWORD missingFileError(bool asData) {
    return asData ? ERROR_FILE_NOT_FOUND : ERROR_MOD_NOT_FOUND;
}

} // namespace

namespace emu {
void refuseImageResourceLoads(bool refuse) {
    std::lock_guard<std::mutex> lock(moduleMutex);
    imageResourceRefused = refuse;
}
} // namespace emu

// LoadLibraryExA: maps the PE file `fileName` for its resources (no code is
// run). As a data file (LOAD_LIBRARY_AS_DATAFILE, _EXCLUSIVE or
// LOAD_LIBRARY_AS_IMAGE_RESOURCE) any PE maps, anew with a handle of its own
// unless the file is loaded as an image already (that handle comes back,
// counted); without those flags it is an image load, which this 32-bit
// process refuses for a 64-bit image (ERROR_BAD_EXE_FORMAT) and which gives
// the same handle, counted, for a file already loaded. A name without a folder
// is searched for along the platform's order. A missing file: ERROR_MOD_NOT_FOUND
// for an image, ERROR_FILE_NOT_FOUND for a data file; an empty one
// ERROR_FILE_INVALID.
extern "C" HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
    return emu::platformCall<HMODULE>(nullptr, true, [&]() -> HMODULE {
        if (!fileName || !*fileName || file) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        const bool asData = flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                     LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        {
            std::lock_guard<std::mutex> lock(moduleMutex);
            if (imageResourceRefused && (flags & LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
                SetLastError(ERROR_INVALID_PARAMETER); // as Windows before Vista
                return nullptr;
            }
        }
        std::string path;
        for (const std::string& candidate : searchOrder(fileName)) {
            path = emu::processPath(candidate);
            if (isRegularFile(path))
                break;
        }
        if (!isRegularFile(path)) {
            SetLastError(missingFileError(asData));
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(moduleMutex);
            for (auto& [handle, loaded] : mappedModules) {
                if (loaded->asImage && loaded->hostPath == path) {
                    ++loaded->references;
                    return handle;
                }
            }
        }
        std::shared_ptr<emu::FileImage> image;
        switch (emu::readFileImage(path, image)) {
        case emu::ImageRead::Read:
            break;
        case emu::ImageRead::Missing:
            SetLastError(missingFileError(asData));
            return nullptr;
        case emu::ImageRead::Empty: // an empty file cannot be mapped at all
            SetLastError(ERROR_FILE_INVALID);
            return nullptr;
        case emu::ImageRead::Unusable:
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
        auto module = std::make_unique<emu::MappedModule>();
        module->path = fileName;
        module->hostPath = path;
        module->asImage = !asData;
        module->image = image;
        module->reader = emu::pe::ResourceReader(image->bytes.data(), image->bytes.size());
        std::string error;
        if (!module->reader.open(error) || (!asData && module->reader.is64Bit())) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
        // A language-neutral file: its satellite holds the localised resources.
        if (emu::isLanguageNeutral(module->reader)) {
            module->languageNeutral = true;
            std::string satellitePath = emu::findSatellite(path);
            std::shared_ptr<emu::FileImage> satellite;
            if (!satellitePath.empty() &&
                emu::readFileImage(satellitePath, satellite) == emu::ImageRead::Read) {
                emu::pe::ResourceReader reader(satellite->bytes.data(), satellite->bytes.size());
                if (reader.open(error)) {
                    module->satellite = satellite;
                    module->satelliteReader = reader;
                }
            }
        }
        HMODULE handle = reinterpret_cast<HMODULE>(module.get());
        std::lock_guard<std::mutex> lock(moduleMutex);
        mappedModules[handle] = std::move(module);
        return handle;
    });
}

// FreeLibrary: gives back one load of a module LoadLibraryExA mapped, unmapping
// it with the last. FALSE with ERROR_BAD_EXE_FORMAT for any other handle.
extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
    std::lock_guard<std::mutex> lock(moduleMutex);
    auto it = mappedModules.find(module);
    if (it == mappedModules.end()) {
        SetLastError(ERROR_BAD_EXE_FORMAT); // what Windows says of an address that is no module
        return FALSE;
    }
    if (--it->second->references == 0)
        mappedModules.erase(it);
    return TRUE;
}

// GetModuleHandleExA: only GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS is emulated
// (the module that holds an address). FALSE with ERROR_INVALID_PARAMETER for
// other uses or a null result, ERROR_MOD_NOT_FOUND for an address in no module.
extern "C" BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        if (!module || !(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *module = nullptr;
        Dl_info info;
        if (!dladdr(nameOrAddress, &info) || !info.dli_fbase) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        *module = static_cast<HMODULE>(info.dli_fbase);
        return TRUE;
    });
}

// GetModuleFileNameA: the module's path, cut to size - 1 characters when it does
// not fit; then the result is `size` and the last error ERROR_INSUFFICIENT_BUFFER,
// as on Windows XP and later. 0 with ERROR_MOD_NOT_FOUND for an unknown module.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        std::string mappedPath;
        if (const emu::MappedModule* mapped = emu::findMappedModule(module))
            mappedPath = mapped->path;
        Dl_info info = {};
        if (mappedPath.empty() && (!module || !dladdr(module, &info) || !info.dli_fname)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        if (!mappedPath.empty())
            info.dli_fname = mappedPath.c_str();
        if (size == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        size_t length = std::strlen(info.dli_fname);
        if (length + 1 > size) {
            std::memcpy(fileName, info.dli_fname, size - 1);
            fileName[size - 1] = '\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        std::memcpy(fileName, info.dli_fname, length + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(length);
    });
}

namespace {

// A resource type or name as FindResourceA takes it: MAKEINTRESOURCE(n), "#n",
// or a name (compared without regard to case).
emu::pe::ResourceReader::Key resourceKey(LPCSTR given) {
    if (IS_INTRESOURCE(given))
        return {static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(given)), ""};
    if (given[0] == '#')
        return {static_cast<uint32_t>(std::strtoul(given + 1, nullptr, 10)), ""};
    return {0, given};
}

emu::MappedModule* mappedModule(HMODULE module) {
    auto it = mappedModules.find(module);
    return it == mappedModules.end() ? nullptr : it->second.get();
}

// Whether `resource` is one FindResourceA handed out for `module`.
const emu::pe::Resource* handedOut(emu::MappedModule* module, HRSRC resource) {
    if (!module)
        return nullptr;
    for (const emu::pe::Resource& found : module->found)
        if (reinterpret_cast<HRSRC>(const_cast<emu::pe::Resource*>(&found)) == resource)
            return &found;
    return nullptr;
}

} // namespace

// FindResourceA: the resource of `type` and `name` (any language) in a module
// LoadLibraryExA mapped: its own resources, then its language satellite's.
// NULL with ERROR_RESOURCE_DATA_NOT_FOUND for a file without resources,
// ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND, as Windows
// answers; ERROR_INVALID_HANDLE for a module that is not one.
extern "C" HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    return emu::platformCall<HRSRC>(nullptr, true, [&]() -> HRSRC {
        if (!name || !type) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(moduleMutex);
        emu::MappedModule* mapped = mappedModule(module);
        if (!mapped) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        emu::pe::Resource resource;
        uint32_t error = mapped->reader.findFirst(resourceKey(type), resourceKey(name), resource);
        if (error && mapped->satellite &&
            mapped->satelliteReader.findFirst(resourceKey(type), resourceKey(name), resource) == 0)
            error = 0;
        if (error) {
            SetLastError(error);
            return nullptr;
        }
        for (const emu::pe::Resource& known : mapped->found) // one handle for one resource
            if (known.data == resource.data)
                return reinterpret_cast<HRSRC>(const_cast<emu::pe::Resource*>(&known));
        mapped->found.push_back(resource);
        return reinterpret_cast<HRSRC>(&mapped->found.back());
    });
}

// LoadResource: the resource's data, which stays while the module is loaded.
extern "C" HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
    return emu::platformCall<HGLOBAL>(nullptr, true, [&]() -> HGLOBAL {
        std::lock_guard<std::mutex> lock(moduleMutex);
        const emu::pe::Resource* found = handedOut(mappedModule(module), resource);
        if (!found) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return const_cast<uint8_t*>(found->data);
    });
}

// LockResource: the data's address (resources are never moved).
extern "C" LPVOID WINAPI LockResource(HGLOBAL data) {
    return data;
}

// SizeofResource: the resource's size in bytes; 0 with ERROR_INVALID_HANDLE
// for a resource the module did not hand out.
extern "C" DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        std::lock_guard<std::mutex> lock(moduleMutex);
        const emu::pe::Resource* found = handedOut(mappedModule(module), resource);
        if (!found) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        return found->size;
    });
}
