// libFuzzer target: arbitrary bytes as a PE file whose message table is read,
// as LoadLibraryExA and FormatMessageA read a message file.
#include "src/platform/emu/pe_resources.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    emu::pe::ResourceReader reader(data, size);
    std::string error;
    if (!reader.open(error))
        return 0;
    for (uint16_t language : reader.languages(11, 1)) {
        emu::pe::Resource table;
        if (!reader.find(11, 1, language, table))
            continue;
        std::u16string text;
        for (uint32_t id : {0u, 1u, 2u, 1000u, 0x40001B7Du, 0xC0001B58u, 0xFFFFFFFFu})
            emu::pe::findMessage(table, id, text);
    }
    return 0;
}
