#include "pe_resources.h"

#include "codepage.h"

#include <cctype>
#include <cstring>

namespace emu::pe {

namespace {

uint16_t word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t dword(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

const uint32_t kSubdirectory = 0x80000000u;
const uint32_t kNamedEntry = 0x80000000u;
const uint32_t kMaxEntries = 4096; // a directory with more is not one a compiler wrote

} // namespace

bool ResourceReader::open(std::string& error) {
    if (size_ < 0x40 || word(bytes_) != 0x5A4D) {
        error = "no MZ header";
        return false;
    }
    uint32_t pe = dword(bytes_ + 0x3C);
    if (pe > size_ || size_ - pe < 24 || dword(bytes_ + pe) != 0x00004550) {
        error = "no PE header";
        return false;
    }
    uint16_t sectionCount = word(bytes_ + pe + 6);
    uint16_t optionalSize = word(bytes_ + pe + 20);
    uint32_t optional = pe + 24;
    if (optionalSize < 2 || size_ - optional < optionalSize) {
        error = "optional header cut short";
        return false;
    }
    uint16_t magic = word(bytes_ + optional);
    is64Bit_ = magic == 0x20B;
    uint32_t directories; // offset of the data directories in the optional header
    if (magic == 0x10B)
        directories = 96;
    else if (magic == 0x20B)
        directories = 112;
    else {
        error = "neither PE32 nor PE32+";
        return false;
    }
    if (optionalSize >= directories + 24 && dword(bytes_ + optional + directories - 4) > 2) {
        resourceRva_ = dword(bytes_ + optional + directories + 16);
        resourceSize_ = dword(bytes_ + optional + directories + 20);
    }
    uint32_t table = optional + optionalSize;
    if (table > size_ || (size_ - table) / 40 < sectionCount) {
        error = "section table cut short";
        return false;
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = bytes_ + table + 40u * i;
        sections_.push_back({dword(s + 12), dword(s + 8), dword(s + 20), dword(s + 16)});
    }
    return true;
}

const uint8_t* ResourceReader::atRva(uint32_t rva, uint32_t length) const {
    for (const Section& s : sections_) {
        uint32_t extent = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva < s.virtualAddress || rva - s.virtualAddress >= extent)
            continue;
        uint32_t into = rva - s.virtualAddress;
        if (into > s.rawSize || s.rawSize - into < length)
            return nullptr;
        uint64_t offset = uint64_t(s.rawOffset) + into;
        if (offset > size_ || size_ - offset < length)
            return nullptr;
        return bytes_ + offset;
    }
    return nullptr;
}

const uint8_t* ResourceReader::inResources(uint32_t offset, uint32_t length) const {
    if (offset > resourceSize_ || resourceSize_ - offset < length)
        return nullptr;
    return atRva(resourceRva_ + offset, length);
}

bool ResourceReader::entry(uint32_t directory, uint32_t id, uint32_t& target) const {
    const uint8_t* header = inResources(directory, 16);
    if (!header)
        return false;
    uint32_t count = uint32_t(word(header + 12)) + word(header + 14);
    if (count > kMaxEntries)
        return false;
    const uint8_t* entries = inResources(directory + 16, count * 8);
    if (!entries)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t name = dword(entries + 8 * i);
        if (!(name & kNamedEntry) && name == id) {
            target = dword(entries + 8 * i + 4);
            return true;
        }
    }
    return false;
}

std::vector<uint16_t> ResourceReader::languages(uint32_t type, uint32_t id) const {
    std::vector<uint16_t> found;
    uint32_t names, languageDirectory;
    if (!resourceRva_ || !entry(0, type, names) || !(names & kSubdirectory) ||
        !entry(names & ~kSubdirectory, id, languageDirectory) ||
        !(languageDirectory & kSubdirectory))
        return found;
    uint32_t directory = languageDirectory & ~kSubdirectory;
    const uint8_t* header = inResources(directory, 16);
    if (!header)
        return found;
    uint32_t count = uint32_t(word(header + 12)) + word(header + 14);
    const uint8_t* entries =
        count <= kMaxEntries ? inResources(directory + 16, count * 8) : nullptr;
    for (uint32_t i = 0; entries && i < count; ++i)
        if (!(dword(entries + 8 * i) & kNamedEntry))
            found.push_back(static_cast<uint16_t>(dword(entries + 8 * i)));
    return found;
}

bool ResourceReader::find(uint32_t type, uint32_t id, uint16_t language, Resource& resource) const {
    uint32_t names, languages, data;
    if (!resourceRva_ || !entry(0, type, names) || !(names & kSubdirectory) ||
        !entry(names & ~kSubdirectory, id, languages) || !(languages & kSubdirectory) ||
        !entry(languages & ~kSubdirectory, language, data) || (data & kSubdirectory))
        return false;
    return dataOf(data, language, resource);
}

bool ResourceReader::dataOf(uint32_t data, uint16_t language, Resource& resource) const {
    const uint8_t* dataEntry = inResources(data, 16);
    if (!dataEntry)
        return false;
    resource.size = dword(dataEntry + 4);
    resource.data = atRva(dword(dataEntry), resource.size);
    resource.language = language;
    return resource.data != nullptr;
}

bool ResourceReader::namedEntry(uint32_t directory, const std::string& name,
                                uint32_t& target) const {
    const uint8_t* header = inResources(directory, 16);
    if (!header)
        return false;
    uint32_t named = word(header + 12); // named entries come first
    if (named > kMaxEntries)
        return false;
    const uint8_t* entries = inResources(directory + 16, named * 8);
    if (!entries)
        return false;
    for (uint32_t i = 0; i < named; ++i) {
        uint32_t nameField = dword(entries + 8 * i);
        if (!(nameField & kNamedEntry))
            continue;
        const uint8_t* stored = inResources(nameField & ~kNamedEntry, 2);
        if (!stored || word(stored) != name.size())
            continue;
        const uint8_t* chars = inResources((nameField & ~kNamedEntry) + 2, 2 * name.size());
        bool same = chars != nullptr;
        for (size_t k = 0; same && k < name.size(); ++k) {
            uint16_t c = word(chars + 2 * k);
            same = c < 0x80 && std::toupper(c) == std::toupper(static_cast<unsigned char>(name[k]));
        }
        if (same) {
            target = dword(entries + 8 * i + 4);
            return true;
        }
    }
    return false;
}

bool ResourceReader::findNamed(const std::string& typeName, uint32_t id, Resource& resource) const {
    return findFirst(Key{0, typeName}, Key{id, ""}, resource) == 0;
}

uint32_t ResourceReader::findFirst(const Key& type, const Key& name, Resource& resource) const {
    const uint32_t kDataNotFound = 1812, kTypeNotFound = 1813, kNameNotFound = 1814;
    if (!resourceRva_)
        return kDataNotFound;
    auto lookup = [this](uint32_t directory, const Key& key, uint32_t& target) {
        return key.name.empty() ? entry(directory, key.id, target)
                                : namedEntry(directory, key.name, target);
    };
    uint32_t names, languages;
    if (!lookup(0, type, names) || !(names & kSubdirectory))
        return kTypeNotFound;
    if (!lookup(names & ~kSubdirectory, name, languages) || !(languages & kSubdirectory))
        return kNameNotFound;
    const uint8_t* header = inResources(languages & ~kSubdirectory, 16);
    if (!header || word(header + 12) + word(header + 14) == 0)
        return kNameNotFound;
    const uint8_t* first = inResources((languages & ~kSubdirectory) + 16, 8);
    if (!first || (dword(first + 4) & kSubdirectory) ||
        !dataOf(dword(first + 4), static_cast<uint16_t>(dword(first)), resource))
        return kNameNotFound;
    return 0;
}

namespace {

// The message at `offset` of `table` as UTF-16; false when its entry does not
// lie whole within the table.
bool messageAt(const Resource& table, uint32_t offset, std::u16string& text) {
    if (offset > table.size || table.size - offset < 4)
        return false;
    uint16_t length = word(table.data + offset);
    uint16_t flags = word(table.data + offset + 2);
    if (length < 4 || table.size - offset < length)
        return false;
    const uint8_t* p = table.data + offset + 4;
    size_t bytes = length - 4u;
    text.clear();
    if (flags & 1) { // UTF-16
        for (size_t i = 0; i + 1 < bytes; i += 2) {
            char16_t c = static_cast<char16_t>(p[i] | (p[i + 1] << 8));
            if (c == 0)
                break;
            text += c;
        }
    } else { // ANSI (UTF-8 entries are not written by any compiler we meet)
        std::string ansi(reinterpret_cast<const char*>(p),
                         strnlen(reinterpret_cast<const char*>(p), bytes));
        text = ansiToWide(ansi);
    }
    return true;
}

} // namespace

namespace {

// The blocks of a message table that lie whole within it (0 for a table too
// short for its own count).
uint32_t blockCount(const Resource& table) {
    if (table.size < 4)
        return 0;
    uint32_t blocks = dword(table.data);
    return blocks > (table.size - 4) / 12 ? 0 : blocks;
}

// Calls `visit(id, offset)` for each entry of block `b` in turn, up to the
// first that does not lie whole within the table, until `visit` returns true.
// Every entry takes at least 4 bytes: no block is walked further than that.
template <typename Visit> void walkBlock(const Resource& table, uint32_t b, Visit visit) {
    const uint8_t* block = table.data + 4 + 12 * b;
    uint32_t high = dword(block + 4), offset = dword(block + 8);
    uint64_t steps = 0;
    for (uint64_t id = dword(block); id <= high && steps++ <= table.size / 4; ++id) {
        if (offset > table.size || table.size - offset < 4)
            return;
        uint16_t length = word(table.data + offset);
        if (length < 4 || table.size - offset < length || visit(static_cast<uint32_t>(id), offset))
            return;
        offset += length;
    }
}

} // namespace

MessageIndex indexMessages(const Resource& table) {
    MessageIndex index;
    for (uint32_t b = 0, blocks = blockCount(table); b < blocks; ++b) {
        MessageIndex::Block entry;
        entry.low = dword(table.data + 4 + 12 * b);
        entry.high = dword(table.data + 8 + 12 * b);
        walkBlock(table, b, [&](uint32_t, uint32_t offset) {
            entry.offsets.push_back(offset);
            return false;
        });
        index.blocks.push_back(std::move(entry));
    }
    return index;
}

bool findMessage(const Resource& table, uint32_t id, std::u16string& text,
                 const MessageIndex* index) {
    if (index) {
        // The first block whose range holds the id decides, as the walk does.
        for (const MessageIndex::Block& block : index->blocks)
            if (id >= block.low && id <= block.high)
                return id - block.low < block.offsets.size() &&
                       messageAt(table, block.offsets[id - block.low], text);
        return false;
    }
    for (uint32_t b = 0, blocks = blockCount(table); b < blocks; ++b) {
        const uint8_t* block = table.data + 4 + 12 * b;
        if (id < dword(block) || id > dword(block + 4))
            continue;
        bool found = false;
        walkBlock(table, b, [&](uint32_t current, uint32_t offset) {
            if (current != id)
                return false;
            found = messageAt(table, offset, text);
            return true;
        });
        return found;
    }
    return false;
}

} // namespace emu::pe
