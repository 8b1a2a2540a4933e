// The read contract of ReadEventLogA over a located log file, .evt or .evtx,
// shared by the emulation and by the Windows test host (which stands in for
// the event log service that Wine lacks).
#pragma once

#include "../platform/win32api.h"
#include "evt_file.h"
#include "evtx_file.h"

namespace logfiles::evt {

// Where a handle's sequential reads go on from: the last record it read.
struct ReadPosition {
    bool positioned = false;
    uint32_t lastNumber = 0;
    uint32_t lastOffset = 0;
    // The last record's stored bytes, digested: a log cleared and refilled in
    // place keeps its record numbers, not its records.
    uint64_t lastDigest = 0;
};

// The last records of one version of an .evt file as ReadEventLogA hands them
// over: a refresh reads the same records every few seconds, and a version of
// a file never changes (a changed file is a new version, with a cache of its
// own).
class ConvertedRecords {
  public:
    struct Entry {
        uint32_t offset = 0, number = 0;
        unsigned codePage = 0;
        uint64_t digest = 0;
        std::vector<uint8_t> record;
    };
    const Entry* find(uint32_t offset, uint32_t number, unsigned codePage) const {
        for (const Entry& entry : entries_)
            if (entry.offset == offset && entry.number == number && entry.codePage == codePage)
                return &entry;
        return nullptr;
    }
    void add(Entry entry) {
        constexpr size_t kKept = 128; // a LastNLogs refresh reads 25 records twice
        if (entries_.size() < kKept) {
            entries_.push_back(std::move(entry));
            return;
        }
        entries_[next_] = std::move(entry);
        next_ = (next_ + 1) % kKept;
    }

  private:
    std::vector<Entry> entries_;
    size_t next_ = 0;
};

// A digest of a record's stored bytes (FNV-1a).
uint64_t recordDigest(const std::vector<uint8_t>& stored);

// One ReadEventLogA call on `image`: whole records, texts in ANSI, as many as
// fit. Returns 0 with `bytesRead` set, or the platform's error code
// (ERROR_INSUFFICIENT_BUFFER with `needed`, ERROR_HANDLE_EOF, ERROR_INVALID_PARAMETER,
// ERROR_EVENTLOG_FILE_CORRUPT, ERROR_EVENTLOG_FILE_CHANGED when the file's bytes
// went while they were read). Flags and sizes are the caller's to check.
DWORD readRecords(const LogImage& image, const Layout& layout, ReadPosition& position, DWORD flags,
                  DWORD recordNumber, uint8_t* buffer, DWORD size, DWORD& bytesRead, DWORD& needed,
                  unsigned codePage, ConvertedRecords* converted = nullptr);

// A located log as its handles see it.
struct LogView {
    const ByteSource* source = nullptr;
    Layout layout;
    const evtx::Log* evtx = nullptr;       // an .evtx file, located (then `layout` is unused)
    bool damaged = false;                  // not an event log: every read fails as corrupt
    unsigned codePage = 1252;              // the ANSI code page records are handed over in
    ConvertedRecords* converted = nullptr; // this version's, where the caller keeps one
};

// Whether the record a handle read last is still where it was, with the same
// bytes: a file that changed in place was appended to, not rewritten.
bool positionHolds(const LogView& log, const ReadPosition& position);

// GetNumberOfEventLogRecords and GetOldestEventLogRecord: 0 for an empty or
// damaged log.
DWORD recordCount(const LogView& log);
DWORD oldestRecord(const LogView& log);

// ReadEventLogA once its handle is found: the flags and sizes checked
// (ERROR_INVALID_PARAMETER), a damaged log refused (ERROR_EVENTLOG_FILE_CORRUPT),
// then readRecords. Returns 0 or the error code.
DWORD readEventLog(const LogView& log, ReadPosition& position, DWORD flags, DWORD recordNumber,
                   void* buffer, DWORD size, DWORD* bytesRead, DWORD* needed);

} // namespace logfiles::evt
