// The Windows XML event log file (.evtx), as Vista and later keep every log:
// a 4 KiB file header, then 64 KiB chunks, each with a 512-byte header (its
// first and last record identifiers, its names and templates) and event
// records of binary XML. Format versions 3.1 and 3.2.
//
// A log is located once per version of its file: every chunk header is read
// (not the chunks), so a file header that lags behind its chunks (a log not
// closed cleanly) costs nothing more, and the newest chunk is walked for
// records its own header does not count yet. Chunks are read whole when a
// record in them is wanted, a few kept. A chunk or record that does not parse
// loses only itself; checksums are reported, never a reason to drop records
// that parse.
#pragma once

#include "evt_file.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logfiles::evtx {

constexpr uint32_t kFileHeaderSize = 4096;
constexpr uint32_t kChunkSize = 65536;
constexpr uint32_t kChunkHeaderSize = 512;
constexpr uint32_t kRecordSignature = 0x00002a2a;
constexpr uint32_t kMinRecordSize = 28;
constexpr uint64_t kKeywordAuditFailure = 0x0010000000000000ull;
constexpr uint64_t kKeywordAuditSuccess = 0x0020000000000000ull;

// Whether the file starts with the .evtx signature ("ElfFile").
bool hasSignature(const evt::ByteSource& source);

// What the legacy calls present of one event.
struct Event {
    uint64_t recordId = 0;
    uint64_t written = 0; // FILETIME, from the record's header
    uint64_t created = 0; // FILETIME, TimeCreated/@SystemTime
    uint16_t eventId = 0;
    uint16_t qualifiers = 0;
    bool hasQualifiers = false;
    uint8_t level = 0;
    uint8_t version = 0;
    uint16_t task = 0;
    uint64_t keywords = 0;
    std::u16string provider;        // Provider/@Name
    std::u16string eventSourceName; // Provider/@EventSourceName
    std::u16string providerGuid;    // Provider/@Guid, as written
    std::u16string computer;
    std::vector<uint8_t> sid;
    std::vector<std::u16string> strings;
    std::vector<uint8_t> data;
};

// The event of the record at `offset` of a chunk of `chunkSize` bytes. False
// for a record that is not whole or whose binary XML does not parse.
bool eventFromRecord(const uint8_t* chunk, uint32_t chunkSize, uint32_t offset, Event& event);

// EVENTLOGRECORD's EventType for an event: from the audit keywords, else from
// the level.
uint16_t legacyEventType(const Event& event);

// The EVENTLOGRECORD that ReadEventLogA hands over, as Vista and later lay it
// out: the two names right after the fixed part, the SID at the next 8-byte
// boundary, the strings right after it (StringOffset equals UserSidOffset when
// there is no SID), the data, and the trailing Length. Texts in `codePage`.
void legacyRecord(const Event& event, unsigned codePage, std::vector<uint8_t>& out);

// Seconds since 1970 for a FILETIME (0 before 1970, clamped after 2106).
uint32_t unixSeconds(uint64_t filetime);

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// Where a record is: its chunk (an index into the located chunks) and offset.
struct RecordPlace {
    size_t chunk = 0;
    uint32_t offset = 0;
    uint64_t id = 0;
};

// One version of an .evtx file, located.
class Log {
  public:
    struct Chunk {
        uint64_t fileOffset = 0;
        uint32_t size = 0; // less than kChunkSize when the file is cut short
        uint64_t firstId = 0, lastId = 0;
    };

    // Reads the file header and every chunk header. False, with `error`, for
    // a file that is not an .evtx log of a known version.
    bool locate(const evt::ByteSource& source, std::string& error);

    bool empty() const { return chunks_.empty(); }
    uint64_t oldest() const { return empty() ? 0 : chunks_.front().firstId; }
    uint64_t newest() const { return empty() ? 0 : chunks_.back().lastId; }
    uint64_t count() const { return empty() ? 0 : newest() - oldest() + 1; }
    const std::vector<Chunk>& chunks() const { return chunks_; }
    uint16_t minorVersion() const { return minor_; }
    uint32_t fileFlags() const { return flags_; }

    // The record `id` or, when it is lost, the nearest one after it (forwards)
    // or before it. False when there is none that way, or when the file's
    // bytes went (then `lost()`).
    bool find(uint64_t id, bool forwards, RecordPlace& place) const;
    // The event at `place` and a digest of its stored bytes. False for a
    // record that does not parse.
    bool event(const RecordPlace& place, Event& event, uint64_t* digest = nullptr) const;
    // The record at `place` as ReadEventLogA hands it over (legacyRecord), and
    // its digest. The newest few are kept: a refresh reads the same records
    // every few seconds, and a version of a file never changes.
    bool legacy(const RecordPlace& place, unsigned codePage, std::vector<uint8_t>& out,
                uint64_t& digest) const;
    // Whether the record `id` is at file offset `fileOffset` with bytes of
    // this digest: a handle's place in a file that changed.
    bool holds(uint64_t id, uint64_t fileOffset, uint64_t digest) const;
    uint64_t fileOffset(const RecordPlace& place) const {
        return chunks_[place.chunk].fileOffset + place.offset;
    }

    // A read found the file's bytes gone (cut or rewritten under the reader).
    bool lost() const { return lost_; }

    // For evt dump: whether the file header's and each chunk's checksums match.
    bool headerChecksumMatches() const { return headerChecksumOk_; }
    std::vector<std::string> checksumReport() const;

  private:
    struct Loaded {
        size_t chunk;
        std::vector<uint8_t> bytes;
        std::vector<uint32_t> offsets; // by id - firstId; 0 where the record is lost
        uint64_t lastId;
    };
    const Loaded* load(size_t chunk) const;

    struct Converted {
        uint64_t fileOffset;
        unsigned codePage;
        uint64_t digest;
        std::vector<uint8_t> record;
    };
    mutable std::vector<Converted> converted_; // a ring of the last ones made
    mutable size_t nextConverted_ = 0;

    const evt::ByteSource* source_ = nullptr;
    std::vector<Chunk> chunks_;
    uint16_t minor_ = 0;
    uint32_t flags_ = 0;
    bool headerChecksumOk_ = false;
    mutable std::vector<std::unique_ptr<Loaded>> loaded_; // the newest use last
    mutable bool lost_ = false;
};

} // namespace logfiles::evtx
