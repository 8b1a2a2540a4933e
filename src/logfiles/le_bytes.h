// Little-endian integers read from bytes whose bounds the caller has checked.
#pragma once

#include <cstdint>

namespace logfiles {

inline uint16_t loadWord(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t loadDword(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t loadQword(const uint8_t* p) {
    return loadDword(p) | (static_cast<uint64_t>(loadDword(p + 4)) << 32);
}

} // namespace logfiles
