// The system's own message table, as FORMAT_MESSAGE_FROM_SYSTEM reads it: the
// machine's System32\kernelbase.dll as this process sees it (SysWOW64's copy
// for the 32-bit process on a 64-bit machine), whose texts are the machine's
// own. The file is read as modules are (a private copy, kept while it is
// unchanged); a machine without it has no system texts, as a Windows without
// it would have none.
#include "../win32api.h"
#include "machine.h"
#include "module_table.h"
#include "pe_resources.h"

#include <functional>
#include <memory>
#include <mutex>

namespace {

struct SystemFile {
    std::shared_ptr<emu::FileImage> image;
    std::unique_ptr<emu::pe::ResourceReader> reader; // null: not a PE image
};

std::mutex systemMutex;
SystemFile systemFile;

} // namespace

namespace emu {
// Calls `use` with the reader of the machine's system message file and its
// image, under the lock that keeps them alive; false when the machine has none.
bool withSystemMessageFile(const std::function<void(const pe::ResourceReader&, FileImage&)>& use) {
    std::string path = processPath("C:\\Windows\\System32\\kernelbase.dll");
    std::shared_ptr<FileImage> image;
    if (path.empty() || readFileImage(path, image) != ImageRead::Read)
        return false;
    std::lock_guard<std::mutex> lock(systemMutex);
    if (systemFile.image != image) {
        systemFile.image = image;
        systemFile.reader =
            std::make_unique<pe::ResourceReader>(image->bytes.data(), image->bytes.size());
        std::string error;
        if (!systemFile.reader->open(error))
            systemFile.reader.reset();
    }
    if (!systemFile.reader)
        return false;
    use(*systemFile.reader, *systemFile.image);
    return true;
}
} // namespace emu
