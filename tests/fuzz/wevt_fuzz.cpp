// libFuzzer target: arbitrary bytes as a WEVT_TEMPLATE resource, asked for
// events of the first provider it names and of one it does not.
#include "src/eventlog/wevt_template.h"

#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t named[16] = {}, other[16] = {0xAD, 0x4A, 0x81, 0x9E};
    if (size >= 32)
        std::memcpy(named, data + 16, 16);
    uint32_t message = 0;
    for (const uint8_t* guid : {named, other})
        for (uint16_t id : {0, 1, 12, 0xFFFF})
            for (size_t strings : {0u, 1u, 3u, 99u})
                FindManifestMessage(data, size, guid, id, strings, message);
    return 0;
}
