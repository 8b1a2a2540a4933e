// The PE files LoadLibraryExA has loaded, for the calls that read them.
#pragma once

#include "../win32api.h"
#include "pe_resources.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace emu {

// A PE file's bytes as read when it was loaded: a private copy, so that a file
// rewritten or cut short under a loaded module changes nothing it reads (on
// Windows a loaded image cannot be changed). Kept while a load holds it or
// while the file is unchanged, with the index of each message table read.
struct FileImage {
    std::vector<uint8_t> bytes;
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified = {};
    std::mutex indexMutex;
    std::map<const uint8_t*, pe::MessageIndex> messageIndexes; // by table

    // The index of `table` (a resource of these bytes), made on first use.
    const pe::MessageIndex& messageIndex(const pe::Resource& table);
};

// Reads the regular file at `path` whole into `image` (the copy kept while the
// file is unchanged, else a new one).
enum class ImageRead { Read, Missing, Empty, Unusable };
ImageRead readFileImage(const std::string& path, std::shared_ptr<FileImage>& image);

struct MappedModule {
    std::string path;     // as the caller named it
    std::string hostPath; // the file it was read from
    bool asImage = false; // loaded as an executable image, not as a data file
    long references = 1;
    std::shared_ptr<FileImage> image;
    pe::ResourceReader reader{nullptr, 0};
    // A language-neutral file's satellite, where its localised resources
    // (the message table) are; none found leaves `languageNeutral` alone.
    std::deque<pe::Resource> found; // what FindResourceA handed out (HRSRC)
    bool languageNeutral = false;
    std::shared_ptr<FileImage> satellite;
    pe::ResourceReader satelliteReader{nullptr, 0};
};

// The UI languages whose satellites are looked for, in order.
std::vector<std::string> uiLanguageFallbacks();
// Whether a PE file is a language-neutral main file (its "MUI" resource says so).
bool isLanguageNeutral(const pe::ResourceReader& reader);
// The host path of the satellite of the language-neutral file at `hostPath`, or "".
std::string findSatellite(const std::string& hostPath);

// The mapped module behind `module`, or null for any other handle.
const MappedModule* findMappedModule(HMODULE module);
long loadedModules();

} // namespace emu
