#include "wevt_template.h"

#include <cstring>

namespace {

// Far more than any manifest has; a count past these is damage.
constexpr uint32_t kMaxProviders = 4096;
constexpr uint32_t kMaxElements = 64;

uint32_t dword(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

class Manifest {
  public:
    Manifest(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    // Whether `count` bytes at `offset` lie within the resource.
    bool has(uint64_t offset, uint64_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    const uint8_t* at(uint64_t offset) const { return bytes_ + offset; }
    bool signature(uint64_t offset, const char* tag) const {
        return has(offset, 8) && std::memcmp(at(offset), tag, 4) == 0;
    }

  private:
    const uint8_t* bytes_;
    size_t size_;
};

// The number of data items of the template at `offset`, or -1.
long templateItems(const Manifest& m, uint32_t offset) {
    if (offset == 0)
        return 0; // an event without a template has no data
    if (!m.signature(offset, "TEMP") || !m.has(offset, 40))
        return -1;
    return static_cast<long>(dword(m.at(offset + 8)));
}

} // namespace

bool FindManifestMessage(const uint8_t* resource, size_t size, const uint8_t guid[16],
                         uint16_t eventId, size_t stringCount, uint32_t& messageId) {
    if (!resource)
        return false;
    Manifest m(resource, size);
    if (!m.signature(0, "CRIM") || !m.has(0, 16) || dword(m.at(4)) > size)
        return false;
    uint32_t providers = dword(m.at(12));
    if (providers > kMaxProviders || !m.has(16, uint64_t(providers) * 20))
        return false;
    uint32_t provider = 0;
    bool found = false;
    for (uint32_t i = 0; i < providers && !found; ++i) {
        const uint8_t* descriptor = m.at(16 + uint64_t(i) * 20);
        if (std::memcmp(descriptor, guid, 16) == 0) {
            provider = dword(descriptor + 16);
            found = true;
        }
    }
    if (!found || !m.signature(provider, "WEVT") || !m.has(provider, 20))
        return false;
    uint32_t elements = dword(m.at(provider + 12));
    if (elements > kMaxElements || !m.has(provider + 20, uint64_t(elements) * 8))
        return false;
    bool chosen = false, chosenMatches = false;
    unsigned chosenVersion = 0;
    uint32_t chosenMessage = 0;
    for (uint32_t e = 0; e < elements; ++e) {
        uint32_t element = dword(m.at(provider + 20 + uint64_t(e) * 8));
        if (!m.signature(element, "EVNT") || !m.has(element, 16))
            continue;
        uint32_t events = dword(m.at(element + 8));
        if (!m.has(element + 16, uint64_t(events) * 48))
            return false;
        for (uint32_t k = 0; k < events; ++k) {
            const uint8_t* event = m.at(element + 16 + uint64_t(k) * 48);
            if (word(event) != eventId)
                continue;
            long items = templateItems(m, dword(event + 20));
            if (items < 0)
                return false;
            bool matches = static_cast<size_t>(items) == stringCount;
            unsigned version = event[2];
            // A version whose data items match the strings wins; among equals
            // the highest version.
            if (!chosen || (matches && !chosenMatches) ||
                (matches == chosenMatches && version > chosenVersion)) {
                chosen = true;
                chosenMatches = matches;
                chosenVersion = version;
                chosenMessage = dword(event + 16);
            }
        }
    }
    if (!chosen || chosenMessage == 0xFFFFFFFFu)
        return false;
    messageId = chosenMessage;
    return true;
}
