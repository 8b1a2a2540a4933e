#include "evt_read.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace logfiles::evt {

namespace {

// The offset of record `number`, walking from the nearest record whose place
// is known. False for a damaged file.
bool findRecord(const LogImage& image, const Layout& layout, const ReadPosition& handle,
                uint32_t number, uint32_t& offset) {
    uint32_t newest = layout.nextNumber - 1;
    uint32_t fromOldest = number - layout.oldestNumber;
    uint32_t fromNewest = newest - number;
    uint32_t from = 0, at = 0;
    bool forwards;
    if (handle.positioned && std::min(number - handle.lastNumber, handle.lastNumber - number) <
                                 std::min(fromOldest, fromNewest)) {
        at = handle.lastOffset;
        from = handle.lastNumber;
        forwards = number - handle.lastNumber < handle.lastNumber - number;
    } else if (fromOldest <= fromNewest) {
        at = layout.beginOffset;
        from = layout.oldestNumber;
        forwards = true;
    } else {
        if (!image.previousOffset(layout, layout.eofOffset, at))
            return false;
        from = newest;
        forwards = false;
    }
    while (from != number) {
        if (!(forwards ? image.nextOffset(layout, at, at) : image.previousOffset(layout, at, at)))
            return false;
        from += forwards ? 1 : -1;
    }
    offset = at; // its number is checked when the record is read
    return true;
}

DWORD readFromImage(const LogImage& image, const Layout& layout, ReadPosition& position,
                    DWORD flags, DWORD recordNumber, uint8_t* buffer, DWORD size, DWORD& bytesRead,
                    DWORD& needed, unsigned codePage, ConvertedRecords* cache) {
    bool seek = flags & EVENTLOG_SEEK_READ;
    bool forwards = flags & EVENTLOG_FORWARDS_READ;
    bool backwards = !forwards;
    bytesRead = 0;
    needed = 0;
    uint32_t newest = layout.nextNumber - 1;

    uint32_t number, offset;
    if (seek) {
        if (layout.empty() || recordNumber - layout.oldestNumber >= layout.count()) {
            return ERROR_INVALID_PARAMETER;
        }
        number = recordNumber;
        if (!findRecord(image, layout, position, number, offset)) {
            return ERROR_EVENTLOG_FILE_CORRUPT;
        }
    } else if (!position.positioned) {
        if (layout.empty()) {
            return ERROR_HANDLE_EOF;
        }
        number = forwards ? layout.oldestNumber : newest;
        offset = layout.beginOffset;
        if (backwards && !image.previousOffset(layout, layout.eofOffset, offset)) {
            return ERROR_EVENTLOG_FILE_CORRUPT;
        }
    } else {
        if (forwards ? position.lastNumber == newest : position.lastNumber == layout.oldestNumber) {
            return ERROR_HANDLE_EOF;
        }
        number = position.lastNumber + (forwards ? 1 : -1);
        bool stepped = forwards ? image.nextOffset(layout, position.lastOffset, offset)
                                : image.previousOffset(layout, position.lastOffset, offset);
        if (!stepped) {
            return ERROR_EVENTLOG_FILE_CORRUPT;
        }
    }

    uint8_t* out = buffer;
    std::vector<uint8_t> stored, made;
    for (;;) {
        const std::vector<uint8_t>* converted = nullptr;
        uint64_t digest = 0;
        const ConvertedRecords::Entry* kept =
            cache ? cache->find(offset, number, codePage) : nullptr;
        if (kept) {
            converted = &kept->record;
            digest = kept->digest;
        } else {
            if (!image.storedRecord(layout, offset, stored) ||
                !convertToAnsi(stored, codePage, made) ||
                reinterpret_cast<const EVENTLOGRECORD*>(stored.data())->RecordNumber != number) {
                if (bytesRead)
                    break; // hand over what was read; the next read meets the damage
                return ERROR_EVENTLOG_FILE_CORRUPT;
            }
            digest = recordDigest(stored);
            converted = &made;
            if (cache && !image.bytesLost()) {
                cache->add({offset, number, codePage, digest, made});
                converted = &cache->find(offset, number, codePage)->record;
            }
        }
        if (converted->size() > size - bytesRead) {
            if (bytesRead)
                break;
            needed = static_cast<DWORD>(converted->size());
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memcpy(out + bytesRead, converted->data(), converted->size());
        bytesRead += static_cast<DWORD>(converted->size());
        position.positioned = true;
        position.lastNumber = number;
        position.lastOffset = offset;
        position.lastDigest = digest;
        if (forwards ? number == newest : number == layout.oldestNumber)
            break;
        bool stepped = forwards ? image.nextOffset(layout, offset, offset)
                                : image.previousOffset(layout, offset, offset);
        if (!stepped)
            break;
        number += forwards ? 1 : -1;
    }
    return 0;
}

// The same over an .evtx log. Record identifiers stand for record numbers; a
// record that is lost or does not parse is passed over (the read goes on with
// the next one that way), since the chunks of an .evtx file are independent.
DWORD readFromEvtx(const evtx::Log& log, ReadPosition& position, DWORD flags, DWORD recordNumber,
                   uint8_t* buffer, DWORD size, DWORD& bytesRead, DWORD& needed,
                   unsigned codePage) {
    const bool forwards = flags & EVENTLOG_FORWARDS_READ;
    bytesRead = 0;
    needed = 0;
    const uint64_t oldest = log.oldest(), newest = log.newest();
    uint64_t next;
    if (flags & EVENTLOG_SEEK_READ) {
        if (log.empty() || recordNumber < oldest || recordNumber > newest)
            return ERROR_INVALID_PARAMETER;
        next = recordNumber;
    } else if (!position.positioned) {
        if (log.empty())
            return ERROR_HANDLE_EOF;
        next = forwards ? oldest : newest;
    } else {
        if (forwards ? position.lastNumber >= newest : position.lastNumber <= oldest)
            return ERROR_HANDLE_EOF;
        next = position.lastNumber + (forwards ? 1 : -1);
    }
    std::vector<uint8_t> record;
    for (;;) {
        evtx::RecordPlace place;
        if (!log.find(next, forwards, place))
            break;
        uint64_t digest = 0;
        bool parsed = log.legacy(place, codePage, record, digest);
        if (log.lost())
            break;
        if (parsed) {
            if (record.size() > size - bytesRead) {
                if (bytesRead)
                    break;
                needed = static_cast<DWORD>(record.size());
                return ERROR_INSUFFICIENT_BUFFER;
            }
            std::memcpy(buffer + bytesRead, record.data(), record.size());
            bytesRead += static_cast<DWORD>(record.size());
            position.positioned = true;
            position.lastNumber = static_cast<uint32_t>(place.id);
            position.lastOffset = static_cast<uint32_t>(log.fileOffset(place));
            position.lastDigest = digest;
        }
        if (place.id == (forwards ? newest : oldest))
            break;
        next = place.id + (forwards ? 1 : -1);
    }
    return bytesRead || log.lost() ? 0 : ERROR_HANDLE_EOF;
}

} // namespace

uint64_t recordDigest(const std::vector<uint8_t>& stored) {
    uint64_t digest = 1469598103934665603ull;
    for (uint8_t byte : stored)
        digest = (digest ^ byte) * 1099511628211ull;
    return digest;
}

DWORD readRecords(const LogImage& image, const Layout& layout, ReadPosition& position, DWORD flags,
                  DWORD recordNumber, uint8_t* buffer, DWORD size, DWORD& bytesRead, DWORD& needed,
                  unsigned codePage, ConvertedRecords* converted) {
    ReadPosition before = position;
    DWORD error = readFromImage(image, layout, position, flags, recordNumber, buffer, size,
                                bytesRead, needed, codePage, converted);
    if (!image.bytesLost())
        return error;
    // What was read is not the file's: hand over nothing and stay where we were.
    position = before;
    bytesRead = 0;
    needed = 0;
    return ERROR_EVENTLOG_FILE_CHANGED;
}

DWORD recordCount(const LogView& log) {
    if (log.damaged)
        return 0;
    return log.evtx ? static_cast<DWORD>(log.evtx->count()) : log.layout.count();
}

DWORD oldestRecord(const LogView& log) {
    if (log.damaged)
        return 0;
    if (log.evtx)
        return static_cast<DWORD>(log.evtx->oldest());
    return log.layout.empty() ? 0 : log.layout.oldestNumber;
}

bool positionHolds(const LogView& log, const ReadPosition& at) {
    if (!at.positioned)
        return true;
    if (log.damaged || !log.source)
        return false;
    if (log.evtx)
        return log.evtx->holds(at.lastNumber, at.lastOffset, at.lastDigest);
    LogImage image(*log.source);
    std::vector<uint8_t> record;
    const Layout& layout = log.layout;
    return at.lastNumber - layout.oldestNumber < layout.count() &&
           image.storedRecord(layout, at.lastOffset, record) &&
           reinterpret_cast<const EVENTLOGRECORD*>(record.data())->RecordNumber == at.lastNumber &&
           recordDigest(record) == at.lastDigest;
}

DWORD readEventLog(const LogView& log, ReadPosition& position, DWORD flags, DWORD recordNumber,
                   void* buffer, DWORD size, DWORD* bytesRead, DWORD* needed) {
    const DWORD maxReadSize = 0x7FFFF; // the platform's limit on one read
    bool sequential = flags & EVENTLOG_SEQUENTIAL_READ, seek = flags & EVENTLOG_SEEK_READ;
    bool forwards = flags & EVENTLOG_FORWARDS_READ, backwards = flags & EVENTLOG_BACKWARDS_READ;
    // The documentation forbids a null buffer without naming the code.
    if (sequential == seek || forwards == backwards || !bytesRead || !needed ||
        size > maxReadSize || !buffer)
        return ERROR_INVALID_PARAMETER;
    *bytesRead = 0;
    *needed = 0;
    if (log.damaged)
        return ERROR_EVENTLOG_FILE_CORRUPT;
    if (log.evtx) {
        ReadPosition before = position;
        DWORD error =
            readFromEvtx(*log.evtx, position, flags, recordNumber, static_cast<uint8_t*>(buffer),
                         size, *bytesRead, *needed, log.codePage);
        if (!log.evtx->lost())
            return error;
        position = before; // what was read is not the file's
        *bytesRead = 0;
        *needed = 0;
        return ERROR_EVENTLOG_FILE_CHANGED;
    }
    static const MemorySource nothing(nullptr, 0); // a log without a file yet
    LogImage image(log.source ? *log.source : nothing);
    return readRecords(image, log.layout, position, flags, recordNumber,
                       static_cast<uint8_t*>(buffer), size, *bytesRead, *needed, log.codePage,
                       log.converted);
}

} // namespace logfiles::evt
