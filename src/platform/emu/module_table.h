// The PE files LoadLibraryExA has mapped, for the calls that read them.
#pragma once

#include "../win32api.h"
#include "pe_resources.h"

#include <string>

namespace emu {

struct MappedModule {
    std::string path;     // as the caller named it
    std::string hostPath; // the file it maps
    bool asImage = false; // loaded as an executable image, not as a data file
    long references = 1;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    pe::ResourceReader reader{nullptr, 0};
    ~MappedModule();
};

// The mapped module behind `module`, or null for any other handle.
const MappedModule* findMappedModule(HMODULE module);
long loadedModules();

} // namespace emu
