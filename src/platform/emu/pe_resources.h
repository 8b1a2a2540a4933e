// Reading the resources of a PE file (PE32 or PE32+) without loading it: the
// headers, the section table and the resource directory, nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu::pe {

// One resource's bytes, and the language it was found under.
struct Resource {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint16_t language = 0;
};

class ResourceReader {
  public:
    // `bytes` is the whole file, which must outlive the reader.
    ResourceReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

    // Checks the headers and finds the resource directory. False, with `error`,
    // for a file that is not a PE image; a PE without resources is fine.
    bool open(std::string& error);

    // After open: whether the image has a resource section at all.
    bool hasResources() const { return resourceRva_ != 0; }
    // After open: true for a PE32+ (64-bit) image.
    bool is64Bit() const { return is64Bit_; }

    // The languages under resource type `type`, name `id`, in directory order.
    std::vector<uint16_t> languages(uint32_t type, uint32_t id) const;

    // The resource of `type`, `id` and `language`.
    bool find(uint32_t type, uint32_t id, uint16_t language, Resource& resource) const;
    // The resource of the type named `typeName` ("MUI", "WEVT_TEMPLATE": names
    // compare without regard to case, as the platform's lookup does) and
    // `id`, in whichever language comes first.
    bool findNamed(const std::string& typeName, uint32_t id, Resource& resource) const;
    // A resource's type or name: a number, or a name.
    struct Key {
        uint32_t id = 0;
        std::string name; // used when not empty
    };
    // The resource of `type` and `name` in whichever language comes first:
    // 0, or ERROR_RESOURCE_DATA_NOT_FOUND (no resources at all),
    // ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND.
    uint32_t findFirst(const Key& type, const Key& name, Resource& resource) const;

  private:
    // The bytes at a relative virtual address, or null when they lie outside
    // the file.
    const uint8_t* atRva(uint32_t rva, uint32_t length) const;
    // The directory entry for `id` in the directory at `directory` (an offset in
    // the resource section); returns its offset-to-data field.
    bool entry(uint32_t directory, uint32_t id, uint32_t& target) const;
    // The same for a named entry.
    bool namedEntry(uint32_t directory, const std::string& name, uint32_t& target) const;
    bool dataOf(uint32_t data, uint16_t language, Resource& resource) const;
    const uint8_t* inResources(uint32_t offset, uint32_t length) const;

    struct Section {
        uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
    };
    const uint8_t* bytes_;
    size_t size_;
    std::vector<Section> sections_;
    uint32_t resourceRva_ = 0, resourceSize_ = 0;
    bool is64Bit_ = false;
};

// Where each message of a RT_MESSAGETABLE resource starts, block by block:
// its variable-length entries are walked once, not at every lookup. A block
// whose walk leaves the table ends at the last whole entry.
struct MessageIndex {
    struct Block {
        uint32_t low = 0, high = 0;
        std::vector<uint32_t> offsets; // of messages low, low + 1, ... that lie whole
    };
    std::vector<Block> blocks;
};
MessageIndex indexMessages(const Resource& table);

// One message of a RT_MESSAGETABLE resource, as UTF-16; with an index of the
// table, found without walking its entries.
bool findMessage(const Resource& table, uint32_t id, std::u16string& text,
                 const MessageIndex* index = nullptr);

} // namespace emu::pe
