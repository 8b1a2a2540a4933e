#include "evtx_file.h"

#include "../platform/emu/codepage.h"
#include "binxml.h"
#include "le_bytes.h"

#include <algorithm>
#include <cstring>

namespace logfiles::evtx {

namespace {

constexpr size_t kChunksKept = 8;
const char kFileSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', 0};
const char kChunkSignature[8] = {'E', 'l', 'f', 'C', 'h', 'n', 'k', 0};

constexpr auto word = logfiles::loadWord;
constexpr auto dword = logfiles::loadDword;
constexpr auto qword = logfiles::loadQword;

void putDword(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t digestOf(const uint8_t* data, size_t size) {
    uint64_t digest = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i)
        digest = (digest ^ data[i]) * 1099511628211ull;
    return digest;
}

// Whether a whole record starts at `offset` of `chunk` (size, copy of size).
bool recordAt(const uint8_t* chunk, uint32_t size, uint32_t offset, uint32_t& recordSize) {
    if (offset > size || size - offset < kMinRecordSize ||
        dword(chunk + offset) != kRecordSignature)
        return false;
    recordSize = dword(chunk + offset + 4);
    return recordSize >= kMinRecordSize && recordSize <= size - offset &&
           dword(chunk + offset + recordSize - 4) == recordSize;
}

bool parseNumber(const std::u16string& text, uint64_t& value) {
    value = 0;
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size())
        return false;
    for (; i < text.size(); ++i) {
        char16_t c = text[i];
        unsigned digit = c >= u'0' && c <= u'9'   ? c - u'0'
                         : c >= u'a' && c <= u'f' ? c - u'a' + 10
                         : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                  : 99;
        if (digit >= base)
            return false;
        value = value * base + digit;
    }
    return true;
}

uint64_t numberIn(const Document& document, const Element& system, const char16_t* name) {
    int at = childNamed(document, system, name);
    uint64_t value = 0;
    if (at >= 0)
        parseNumber(textOf(document, document.elements[at].content), value);
    return value;
}

std::u16string attributeText(const Document& document, const Element& element,
                             const char16_t* name) {
    const Attribute* attribute = attributeNamed(element, name);
    return attribute ? textOf(document, attribute->value) : std::u16string();
}

// The first typed value of an attribute, or nullptr.
const Item* attributeValue(const Element& element, const char16_t* name, uint8_t type) {
    const Attribute* attribute = attributeNamed(element, name);
    if (attribute)
        for (const Item& item : attribute->value)
            if (item.kind == Item::Value && item.type == type)
                return &item;
    return nullptr;
}

bool hexToBytes(const std::u16string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t byte;
        if (!parseNumber(u"0x" + text.substr(i, 2), byte))
            return false;
        out.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

// EventData: each Data element's values, in order: one text for a value, one
// for each element of an array, an empty one for an empty named element
// (a manifest's parameter left empty); the classic form's unnamed empty Data
// holds no strings. Binary is the record's data.
void eventDataValues(const Document& document, const Element& data, Event& event) {
    for (const Item& item : data.content) {
        if (item.kind != Item::Element) {
            textsOf(document, item, event.strings);
            continue;
        }
        const Element& child = document.elements[item.element];
        if (child.name == u"Binary") {
            for (const Item& part : child.content) {
                if (part.kind == Item::Value && part.type == kBinary)
                    event.data.insert(event.data.end(), part.data, part.data + part.size);
                else if (part.kind == Item::Text)
                    hexToBytes(part.text, event.data);
            }
        } else if (child.content.size() == 1) {
            textsOf(document, child.content[0], event.strings);
        } else if (!child.content.empty() || attributeNamed(child, u"Name")) {
            event.strings.push_back(textOf(document, child.content));
        }
    }
}

} // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        made = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool hasSignature(const evt::ByteSource& source) {
    uint8_t head[8];
    return source.size() >= 8 && source.read(0, head, 8) &&
           std::memcmp(head, kFileSignature, 8) == 0;
}

bool eventFromRecord(const uint8_t* chunk, uint32_t chunkSize, uint32_t offset, Event& event) {
    uint32_t size;
    if (!recordAt(chunk, chunkSize, offset, size))
        return false;
    event = Event();
    event.recordId = qword(chunk + offset + 8);
    event.written = qword(chunk + offset + 16);
    Document document;
    if (!parseRecordXml(chunk, chunkSize, offset + 24, size - 28, document))
        return false;
    const Element& root = document.elements[0];
    int systemAt = childNamed(document, root, u"System");
    if (systemAt < 0)
        return false;
    const Element& system = document.elements[systemAt];
    int provider = childNamed(document, system, u"Provider");
    if (provider >= 0) {
        const Element& p = document.elements[provider];
        event.provider = attributeText(document, p, u"Name");
        event.eventSourceName = attributeText(document, p, u"EventSourceName");
        event.providerGuid = attributeText(document, p, u"Guid");
    }
    int id = childNamed(document, system, u"EventID");
    if (id >= 0) {
        uint64_t value = 0;
        parseNumber(textOf(document, document.elements[id].content), value);
        event.eventId = static_cast<uint16_t>(value);
        std::u16string qualifiers = attributeText(document, document.elements[id], u"Qualifiers");
        event.hasQualifiers = parseNumber(qualifiers, value);
        event.qualifiers = event.hasQualifiers ? static_cast<uint16_t>(value) : 0;
    }
    event.version = static_cast<uint8_t>(numberIn(document, system, u"Version"));
    event.level = static_cast<uint8_t>(numberIn(document, system, u"Level"));
    event.task = static_cast<uint16_t>(numberIn(document, system, u"Task"));
    event.keywords = numberIn(document, system, u"Keywords");
    int created = childNamed(document, system, u"TimeCreated");
    if (created >= 0) {
        const Item* time = attributeValue(document.elements[created], u"SystemTime", kFileTime);
        event.created = time && time->size >= 8 ? qword(time->data) : event.written;
    }
    int computer = childNamed(document, system, u"Computer");
    if (computer >= 0)
        event.computer = textOf(document, document.elements[computer].content);
    int security = childNamed(document, system, u"Security");
    if (security >= 0) {
        const Item* sid = attributeValue(document.elements[security], u"UserID", kSid);
        if (sid)
            event.sid.assign(sid->data, sid->data + sid->size);
    }
    for (const Item& item : root.content) {
        if (item.kind != Item::Element || item.element == static_cast<uint32_t>(systemAt))
            continue;
        const Element& part = document.elements[item.element];
        if (part.name == u"EventData")
            eventDataValues(document, part, event);
        else if (part.name != u"RenderingInfo")
            for (const Item& inner : part.content)
                textsOf(document, inner, event.strings);
    }
    return true;
}

uint16_t legacyEventType(const Event& event) {
    if (event.keywords & kKeywordAuditSuccess)
        return 0x0008; // EVENTLOG_AUDIT_SUCCESS
    if (event.keywords & kKeywordAuditFailure)
        return 0x0010; // EVENTLOG_AUDIT_FAILURE
    switch (event.level) {
    case 0:
        return 0x0000; // EVENTLOG_SUCCESS: "log always"
    case 1:
    case 2:
        return 0x0001; // critical and error
    case 3:
        return 0x0002;
    default:
        return 0x0004; // information, and verbose and the reserved levels
    }
}

uint32_t unixSeconds(uint64_t filetime) {
    const uint64_t epoch = 116444736000000000ull; // 1970-01-01 as a FILETIME
    if (filetime < epoch)
        return 0;
    uint64_t seconds = (filetime - epoch) / 10000000;
    return seconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

void legacyRecord(const Event& event, unsigned codePage, std::vector<uint8_t>& out) {
    out.assign(56, 0);
    auto append = [&](const std::u16string& text) {
        std::string ansi = emu::wideToAnsi(text.substr(0, text.find(u'\0')), codePage);
        out.insert(out.end(), ansi.begin(), ansi.end());
        out.push_back(0);
    };
    std::u16string source = event.eventSourceName.empty() ? event.provider : event.eventSourceName;
    append(source);
    append(event.computer);
    while (out.size() % 8)
        out.push_back(0);
    uint32_t sidOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), event.sid.begin(), event.sid.end());
    uint32_t stringOffset = static_cast<uint32_t>(out.size());
    size_t count = std::min<size_t>(event.strings.size(), 0xFFFF);
    for (size_t i = 0; i < count; ++i)
        append(event.strings[i]);
    uint32_t dataOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), event.data.begin(), event.data.end());
    while (out.size() % 4)
        out.push_back(0);
    out.resize(out.size() + 4);
    uint32_t length = static_cast<uint32_t>(out.size());
    putDword(out, 0, length);
    putDword(out, 4, evt::kSignature);
    putDword(out, 8, static_cast<uint32_t>(event.recordId));
    putDword(out, 12, unixSeconds(event.created));
    putDword(out, 16, unixSeconds(event.written));
    putDword(out, 20, (static_cast<uint32_t>(event.qualifiers) << 16) | event.eventId);
    uint16_t type = legacyEventType(event);
    out[24] = static_cast<uint8_t>(type);
    out[25] = static_cast<uint8_t>(type >> 8);
    out[26] = static_cast<uint8_t>(count);
    out[27] = static_cast<uint8_t>(count >> 8);
    out[28] = static_cast<uint8_t>(event.task);
    out[29] = static_cast<uint8_t>(event.task >> 8);
    putDword(out, 36, stringOffset);
    putDword(out, 40, static_cast<uint32_t>(event.sid.size()));
    putDword(out, 44, sidOffset);
    putDword(out, 48, static_cast<uint32_t>(event.data.size()));
    putDword(out, 52, dataOffset);
    putDword(out, length - 4, length);
}

bool Log::locate(const evt::ByteSource& source, std::string& error) {
    source_ = &source;
    chunks_.clear();
    loaded_.clear();
    converted_.clear();
    lost_ = false;
    uint8_t header[128];
    if (source.size() < sizeof header || !source.read(0, header, sizeof header) ||
        std::memcmp(header, kFileSignature, 8) != 0) {
        error = "not an .evtx log";
        return false;
    }
    minor_ = word(header + 36);
    uint16_t major = word(header + 38);
    flags_ = dword(header + 120);
    headerChecksumOk_ = crc32(header, 120) == dword(header + 124);
    if (major != 3 || (minor_ != 1 && minor_ != 2) || word(header + 40) != kFileHeaderSize) {
        error = "an .evtx log of version " + std::to_string(major) + "." + std::to_string(minor_) +
                ", which is not known";
        return false;
    }
    // Every chunk in the file, whatever the header counts: it lags behind its
    // chunks when the log was not closed cleanly.
    for (uint64_t at = kFileHeaderSize; at + kChunkHeaderSize <= source.size(); at += kChunkSize) {
        uint8_t head[kChunkHeaderSize];
        if (!source.readUncached(at, head, sizeof head))
            break;
        if (std::memcmp(head, kChunkSignature, 8) != 0)
            continue;
        Chunk chunk;
        chunk.fileOffset = at;
        chunk.size = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, source.size() - at));
        chunk.firstId = qword(head + 24);
        chunk.lastId = qword(head + 32);
        if (chunk.firstId == 0 || chunk.lastId < chunk.firstId ||
            chunk.lastId - chunk.firstId >= kChunkSize / kMinRecordSize)
            continue; // an unused chunk, or a header that cannot be a chunk's
        chunks_.push_back(chunk);
    }
    std::sort(chunks_.begin(), chunks_.end(),
              [](const Chunk& a, const Chunk& b) { return a.firstId < b.firstId; });
    // Two chunks cannot hold the same records: the later one is left out.
    std::vector<Chunk> kept;
    for (const Chunk& chunk : chunks_)
        if (kept.empty() || chunk.firstId > kept.back().lastId)
            kept.push_back(chunk);
    chunks_ = std::move(kept);
    if (!chunks_.empty()) {
        // Records appended to the newest chunk before its header was updated.
        // The newest chunk is read whole: what it holds, not what its header
        // says, counts (records appended since the header was written, or a
        // chunk cut short).
        const Loaded* newest = load(chunks_.size() - 1);
        if (newest && newest->lastId >= chunks_.back().firstId)
            chunks_.back().lastId = newest->lastId;
        else
            chunks_.pop_back();
        loaded_.clear(); // indexed by the chunk's place, which the pop may have changed
    }
    return true;
}

const Log::Loaded* Log::load(size_t index) const {
    for (size_t i = 0; i < loaded_.size(); ++i)
        if (loaded_[i]->chunk == index) {
            std::rotate(loaded_.begin() + i, loaded_.begin() + i + 1, loaded_.end());
            return loaded_.back().get();
        }
    const Chunk& chunk = chunks_[index];
    auto made = std::make_unique<Loaded>();
    made->chunk = index;
    made->bytes.resize(chunk.size);
    if (!source_->read(chunk.fileOffset, made->bytes.data(), chunk.size)) {
        lost_ = true;
        return nullptr;
    }
    made->lastId = chunk.firstId - 1;
    const uint8_t* bytes = made->bytes.data();
    // Walk the records; past a damaged one, look for the next record that is
    // whole and newer, so that damage loses only itself.
    uint64_t last = chunk.firstId - 1;
    for (uint32_t at = kChunkHeaderSize; at + kMinRecordSize <= chunk.size;) {
        uint32_t size;
        uint64_t id = recordAt(bytes, chunk.size, at, size) ? qword(bytes + at + 8) : 0;
        if (id <= last || id - chunk.firstId >= kChunkSize / kMinRecordSize) {
            // On to the next place a record could start.
            static const uint8_t signature[4] = {0x2a, 0x2a, 0, 0};
            const uint8_t* end = bytes + chunk.size;
            at = static_cast<uint32_t>(std::search(bytes + at + 1, end, signature, signature + 4) -
                                       bytes);
            continue;
        }
        if (made->offsets.size() <= id - chunk.firstId)
            made->offsets.resize(id - chunk.firstId + 1, 0);
        made->offsets[id - chunk.firstId] = at;
        made->lastId = id;
        last = id;
        at += size;
    }
    if (loaded_.size() == kChunksKept)
        loaded_.erase(loaded_.begin());
    loaded_.push_back(std::move(made));
    return loaded_.back().get();
}

bool Log::find(uint64_t id, bool forwards, RecordPlace& place) const {
    if (empty() || id < oldest() || id > newest())
        return false;
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), id,
                               [](uint64_t value, const Chunk& c) { return value < c.firstId; });
    size_t index = static_cast<size_t>(it - chunks_.begin()) - 1; // id >= oldest: it > begin
    for (;;) {
        const Chunk& chunk = chunks_[index];
        if (!forwards && id > chunk.lastId)
            id = chunk.lastId; // from a gap back into this chunk
        if (id >= chunk.firstId && id <= chunk.lastId) {
            const Loaded* loaded = load(index);
            if (!loaded)
                return false;
            for (uint64_t at = id;;) {
                uint64_t slot = at - chunk.firstId;
                if (slot < loaded->offsets.size() && loaded->offsets[slot]) {
                    place = {index, loaded->offsets[slot], at};
                    return true;
                }
                if (at == (forwards ? chunk.lastId : chunk.firstId))
                    break;
                at += forwards ? 1 : -1;
            }
        }
        // On to the neighbouring chunk in the direction of the read.
        if (forwards) {
            if (++index == chunks_.size())
                return false;
            id = chunks_[index].firstId;
        } else {
            if (index-- == 0)
                return false;
            id = chunks_[index].lastId;
        }
    }
}

bool Log::event(const RecordPlace& place, Event& event, uint64_t* digest) const {
    const Loaded* loaded = load(place.chunk);
    if (!loaded)
        return false;
    if (!eventFromRecord(loaded->bytes.data(), static_cast<uint32_t>(loaded->bytes.size()),
                         place.offset, event) ||
        event.recordId != place.id)
        return false;
    if (digest)
        *digest = digestOf(loaded->bytes.data() + place.offset,
                           dword(loaded->bytes.data() + place.offset + 4));
    return true;
}

bool Log::legacy(const RecordPlace& place, unsigned codePage, std::vector<uint8_t>& out,
                 uint64_t& digest) const {
    const uint64_t at = fileOffset(place);
    for (const Converted& kept : converted_)
        if (kept.fileOffset == at && kept.codePage == codePage) {
            out = kept.record;
            digest = kept.digest;
            return true;
        }
    Event parsed;
    if (!event(place, parsed, &digest))
        return false;
    legacyRecord(parsed, codePage, out);
    constexpr size_t kKept = 128; // a LastNLogs refresh reads 25 records twice
    Converted made{at, codePage, digest, out};
    if (converted_.size() < kKept) {
        converted_.push_back(std::move(made));
    } else {
        converted_[nextConverted_] = std::move(made);
        nextConverted_ = (nextConverted_ + 1) % kKept;
    }
    return true;
}

bool Log::holds(uint64_t id, uint64_t fileOffset, uint64_t digest) const {
    RecordPlace place;
    if (!find(id, true, place) || place.id != id || this->fileOffset(place) != fileOffset)
        return false;
    const Loaded* loaded = load(place.chunk);
    return loaded && digestOf(loaded->bytes.data() + place.offset,
                              dword(loaded->bytes.data() + place.offset + 4)) == digest;
}

std::vector<std::string> Log::checksumReport() const {
    std::vector<std::string> report;
    if (!headerChecksumOk_)
        report.push_back("the file header's checksum does not match");
    for (size_t i = 0; i < chunks_.size(); ++i) {
        const Loaded* loaded = load(i);
        if (!loaded)
            continue;
        const uint8_t* bytes = loaded->bytes.data();
        uint32_t crc = crc32(bytes + 128, kChunkHeaderSize - 128, crc32(bytes, 120));
        std::string where = "chunk at " + std::to_string(chunks_[i].fileOffset);
        if (crc != dword(bytes + 124))
            report.push_back(where + ": its header's checksum does not match");
        uint32_t free = dword(bytes + 48);
        if (free >= kChunkHeaderSize && free <= loaded->bytes.size() &&
            crc32(bytes + kChunkHeaderSize, free - kChunkHeaderSize) != dword(bytes + 52))
            report.push_back(where + ": its records' checksum does not match");
    }
    return report;
}

} // namespace logfiles::evtx
