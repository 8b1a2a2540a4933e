// The legacy event log file (.evt): a 48-byte header, records end to end in a
// circular area that follows it (a record may run off the end of the file and
// continue right after the header), and an end-of-file record after the newest
// record. Records are stored with UTF-16LE texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace logfiles::evt {

constexpr uint32_t kHeaderSize = 0x30;
constexpr uint32_t kSignature = 0x654c664c; // "LfLe"
constexpr uint32_t kEofSize = 0x28;
constexpr uint32_t kFixedRecordSize = 56;
constexpr uint32_t kMinRecordSize = kFixedRecordSize + 4; // with the trailing Length
constexpr uint32_t kFlagDirty = 1, kFlagWrap = 2, kFlagFull = 4, kFlagArchive = 8;

// Where a file's records lie, from its end-of-file record.
struct Layout {
    uint32_t fileSize = 0;
    uint32_t beginOffset = 0;  // the oldest record
    uint32_t eofOffset = 0;    // the end-of-file record, just after the newest
    uint32_t oldestNumber = 0; // 0 in an empty log
    uint32_t nextNumber = 0;   // the number the next record will get
    bool empty() const { return oldestNumber == 0 || beginOffset == eofOffset; }
    uint32_t count() const { return empty() ? 0 : nextNumber - oldestNumber; }
};

// The bytes of one version of a log file. A read fails, never faults, when the
// bytes are no longer there (a file cut short under its reader).
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    virtual bool read(uint64_t offset, void* out, size_t count) const = 0;
    // The same for bytes read once (headers while a file is located), which
    // a source that keeps blocks need not keep.
    virtual bool readUncached(uint64_t offset, void* out, size_t count) const {
        return read(offset, out, count);
    }
    // The first offset at or after `offset` that is not in a hole of a sparse
    // file (size() when only holes are left).
    virtual uint64_t nextData(uint64_t offset) const { return offset; }
    // The first hole at or after `offset` (size() when there is none).
    virtual uint64_t nextHole(uint64_t) const { return size(); }
};

class MemorySource final : public ByteSource {
  public:
    MemorySource(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t count) const override;

  private:
    const uint8_t* bytes_;
    size_t size_;
};

// Read-only access to a whole file's bytes, across the wrap.
class LogImage {
  public:
    explicit LogImage(const ByteSource& source) : source_(source) {}
    LogImage(const uint8_t* bytes, size_t size) : memory_(bytes, size), source_(memory_) {}
    LogImage(const LogImage&) = delete;
    LogImage& operator=(const LogImage&) = delete;

    // Finds the records. A clean header names its end-of-file record; a dirty
    // one (the service was running) may be stale, so then the file is searched
    // for the end-of-file record, the newest if several remain (holes of a
    // sparse file are passed over). False, with `error`, for a file that is not
    // an event log or whose records are lost.
    bool locate(Layout& layout, std::string& error, bool* searched = nullptr) const;
    // The same for a file that `previous` described and that has since had
    // records appended in place: the walk starts at the old end-of-file record,
    // so it costs what was appended. False when that walk does not find one.
    bool locateAfter(const Layout& previous, Layout& layout) const;

    // The stored record at `offset`, checked (signature, lengths, offsets within
    // the record), copied out of the circular area. False for a damaged record.
    bool storedRecord(const Layout& layout, uint32_t offset, std::vector<uint8_t>& record) const;

    // The offset of the record after / before the one at `offset`. False when
    // the length found there cannot be a record's.
    bool nextOffset(const Layout& layout, uint32_t offset, uint32_t& next) const;
    bool previousOffset(const Layout& layout, uint32_t offset, uint32_t& previous) const;

    uint32_t readDword(const Layout& layout, uint32_t offset) const;

    // Whether a read found its bytes gone: what was read since is not the file's.
    bool bytesLost() const { return lost_; }

  private:
    uint32_t advance(const Layout& layout, uint32_t offset, uint32_t by) const;
    uint32_t retreat(const Layout& layout, uint32_t offset, uint32_t by) const;
    bool eofRecordAt(uint32_t offset, uint32_t fileSize, uint32_t values[10]) const;
    // `count` bytes from `offset` in the circular area, zeros where they are lost.
    void readWrapped(uint32_t fileSize, uint32_t offset, uint8_t* out, uint32_t count) const;
    bool layoutFromEof(const uint32_t eof[10], uint32_t eofOffset, uint32_t fileSize,
                       Layout& layout, std::string& error) const;

    MemorySource memory_{nullptr, 0};
    const ByteSource& source_;
    mutable bool lost_ = false;
};

// What ReadEventLogA hands over for a stored record: its texts in the ANSI code
// page `codePage`, the offsets, Length and trailing Length changed to match. False for a
// record whose parts lie outside it.
bool convertToAnsi(const std::vector<uint8_t>& stored, unsigned codePage,
                   std::vector<uint8_t>& converted);

// One record to write, as the event log service receives it.
struct RecordSpec {
    uint32_t timeGenerated = 0;
    uint32_t timeWritten = 0;
    uint32_t eventId = 0;
    uint16_t eventType = 0;
    uint16_t category = 0;
    std::u16string source;
    std::u16string computer;
    std::vector<uint8_t> sid;
    std::vector<std::u16string> strings;
    std::vector<uint8_t> data;
};

// The stored (UTF-16) form of a record numbered `number`.
std::vector<uint8_t> encodeRecord(const RecordSpec& described, uint32_t number);

// Writes a log as the event log service does: records appended to a circular
// area of a fixed size, the oldest ones given up when a new one needs room.
class LogWriter {
  public:
    explicit LogWriter(uint32_t maxSize, uint32_t firstNumber = 1);
    // False when the record cannot fit even in an empty log.
    bool append(const RecordSpec& described);
    // The file. `dirty` leaves the header as it was after the first record, with
    // the dirty flag set, as a log the service still had open.
    std::vector<uint8_t> image(bool dirty) const;
    uint32_t oldestNumber() const { return count_ ? oldest_ : 0; }
    uint32_t nextNumber() const { return next_; }
    bool wrapped() const { return wrapped_; }

  private:
    void writeAt(uint32_t offset, const uint8_t* data, uint32_t size);
    uint32_t freeSpace() const;

    std::vector<uint8_t> area_; // the whole file
    uint32_t begin_, end_;
    uint32_t oldest_, next_, count_ = 0;
    bool wrapped_ = false;
    std::vector<uint32_t> lengths_; // of the records from the oldest on
    size_t firstLength_ = 0;        // index in lengths_ of the oldest record
    uint32_t staleHeader_[4] = {};  // start, end, next, oldest after the first record
};

// Parses "S-1-5-18" into a binary SID and back.
bool parseSid(const std::string& text, std::vector<uint8_t>& sid);
std::string formatSid(const uint8_t* sid, size_t size);

} // namespace logfiles::evt
