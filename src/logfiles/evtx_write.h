// Writes .evtx files as the event log service of Vista and later does, for the
// tests and the bundled machines: records in 64 KiB chunks, each record a
// template instance whose template is defined in full the first time a chunk
// needs it and referred to by its offset after that, so that both forms are
// exercised. A log of a fixed number of chunks reuses the oldest chunk's
// place when it is full, as the service does. What real files sometimes
// carry (a header left behind by its chunks, checksums that do not match, a
// file cut short) can be asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace logfiles::evtx {

// A typed value of a manifest event (or of UserData): its type (binxml.h's
// ValueType, with kArray for arrays) and its stored bytes.
struct TypedValue {
    uint8_t type = 0;
    std::vector<uint8_t> bytes;
};

struct RecordSpec {
    enum Style { Classic, Manifest, UserData };
    Style style = Classic;
    uint64_t created = 0; // FILETIME
    uint64_t written = 0; // FILETIME; 0: the same as created
    std::u16string provider, eventSourceName, computer, channel;
    std::vector<uint8_t> guid; // 16 bytes, or none
    uint16_t eventId = 0;
    int32_t qualifiers = -1; // none
    uint8_t level = 4, version = 0, opcode = 0;
    uint16_t task = 0;
    uint64_t keywords = 0;
    std::vector<uint8_t> sid;
    std::vector<std::u16string> strings; // Classic: the insertion strings
    std::vector<TypedValue> values;      // Manifest and UserData: the data items
    std::vector<uint8_t> binary;         // Classic and Manifest: EventData/Binary
};

struct FileOptions {
    bool headerLags = false;   // as a log not closed cleanly: the newest chunk not counted
    bool badChecksums = false; // the file header's and every chunk's checksums wrong
    uint64_t cutTo = 0;        // the file cut short to this many bytes (0: whole)
};

class Writer {
  public:
    // `maxChunks` 0: the log grows without bound.
    explicit Writer(uint16_t minorVersion = 1, uint64_t firstId = 1, uint32_t maxChunks = 0);
    // False when the record cannot fit even in an empty chunk.
    bool append(const RecordSpec& record);
    std::vector<uint8_t> image(const FileOptions& options = {}) const;
    uint64_t oldestId() const;
    uint64_t nextId() const { return next_; }
    bool wrapped() const { return wrapped_; }

  private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        uint32_t used;
        uint64_t firstId = 0, lastId = 0;
        uint32_t lastRecord = 0;
        std::vector<std::pair<std::string, uint32_t>> templates; // shape, definition offset
    };
    bool appendTo(Chunk& chunk, const RecordSpec& record);
    void finish(Chunk& chunk) const;

    uint16_t minor_;
    uint64_t next_;
    uint32_t maxChunks_;
    std::vector<Chunk> slots_; // in file order
    size_t current_ = 0;       // the slot being written
    bool wrapped_ = false;
};

// Typed values from text, as tools/evt's descriptions give them: "uint32 5",
// "string text", "guid {…}", "filetime 2017-07-12T17:16:05Z", "sid S-1-5-18",
// "binary 0C 14", "bool true", "hexint64 0x10", "string[] a|b". False for a
// type or a value that does not parse.
bool parseTypedValue(const std::string& type, const std::string& text, TypedValue& value);
bool parseGuid(const std::string& text, std::vector<uint8_t>& guid);
// Seconds since 1970 to a FILETIME.
uint64_t fileTimeFromUnix(uint64_t seconds);

} // namespace logfiles::evtx
