#include "evt_file.h"

#include "../platform/win32api.h"
#include "../platform/emu/codepage.h"

#include <algorithm>
#include <cstring>

namespace logfiles::evt {

namespace {

const uint32_t kEofMarks[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};

uint32_t loadDword(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void storeDword(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void appendDword(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    storeDword(b, v);
    out.insert(out.end(), b, b + 4);
}

void padToDword(std::vector<uint8_t>& out) {
    while (out.size() % 4)
        out.push_back(0);
}

// The UTF-16 text at `offset`, up to its NUL, which must lie before `limit`.
bool readWide(const std::vector<uint8_t>& record, size_t& offset, size_t limit,
              std::u16string& text) {
    text.clear();
    while (offset + 1 < limit) {
        char16_t c = static_cast<char16_t>(record[offset] | (record[offset + 1] << 8));
        offset += 2;
        if (c == 0)
            return true;
        text += c;
    }
    return false;
}

// Field offsets in the fixed part of a record.
enum : size_t {
    kLength = 0,
    kReserved = 4,
    kRecordNumber = 8,
    kTimeGenerated = 12,
    kTimeWritten = 16,
    kEventId = 20,
    kEventType = 24,
    kNumStrings = 26,
    kCategory = 28,
    kStringOffset = 36,
    kSidLength = 40,
    kSidOffset = 44,
    kDataLength = 48,
    kDataOffset = 52,
};

uint16_t loadWord(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

bool MemorySource::read(uint64_t offset, void* out, size_t count) const {
    if (offset > size_ || count > size_ - offset)
        return false;
    if (count)
        std::memcpy(out, bytes_ + offset, count);
    return true;
}

void LogImage::readWrapped(uint32_t fileSize, uint32_t offset, uint8_t* out, uint32_t count) const {
    uint32_t first = std::min<uint32_t>(count, fileSize - offset);
    if (!source_.read(offset, out, first)) {
        std::memset(out, 0, first);
        lost_ = true;
    }
    // What runs off the end of the file goes on after the header, more than
    // once only for a record that cannot be one (caught by its checks).
    for (uint32_t done = first; done < count;) {
        uint32_t part = std::min<uint32_t>(count - done, fileSize - kHeaderSize);
        if (!source_.read(kHeaderSize, out + done, part)) {
            std::memset(out + done, 0, part);
            lost_ = true;
        }
        done += part;
    }
}

uint32_t LogImage::readDword(const Layout& layout, uint32_t offset) const {
    uint8_t b[4];
    readWrapped(layout.fileSize, offset, b, 4);
    return loadDword(b);
}

uint32_t LogImage::advance(const Layout& layout, uint32_t offset, uint32_t by) const {
    uint64_t area = layout.fileSize - kHeaderSize;
    uint64_t position = (static_cast<uint64_t>(offset) - kHeaderSize + by) % area;
    return static_cast<uint32_t>(position + kHeaderSize);
}

uint32_t LogImage::retreat(const Layout& layout, uint32_t offset, uint32_t by) const {
    uint64_t area = layout.fileSize - kHeaderSize;
    uint64_t position = (static_cast<uint64_t>(offset) - kHeaderSize + area - by % area) % area;
    return static_cast<uint32_t>(position + kHeaderSize);
}

bool LogImage::eofRecordAt(uint32_t offset, uint32_t fileSize, uint32_t values[10]) const {
    uint8_t bytes[kEofSize];
    readWrapped(fileSize, offset, bytes, kEofSize);
    for (uint32_t i = 0; i < 10; ++i)
        values[i] = loadDword(bytes + 4 * i);
    return values[0] == kEofSize && values[9] == kEofSize && values[1] == kEofMarks[0] &&
           values[2] == kEofMarks[1] && values[3] == kEofMarks[2] && values[4] == kEofMarks[3];
}

bool LogImage::layoutFromEof(const uint32_t eof[10], uint32_t eofOffset, uint32_t fileSize,
                             Layout& layout, std::string& error) const {
    layout.fileSize = fileSize;
    layout.beginOffset = eof[5];
    layout.eofOffset = eofOffset;
    layout.nextNumber = eof[7];
    layout.oldestNumber = eof[8];
    if (layout.beginOffset < kHeaderSize || layout.beginOffset >= fileSize ||
        layout.beginOffset % 4) {
        error = "the end-of-file record names no oldest record";
        return false;
    }
    if (!layout.empty() && layout.nextNumber - layout.oldestNumber > fileSize / kMinRecordSize) {
        error = "the end-of-file record's record numbers do not fit the file";
        return false;
    }
    return true;
}

bool LogImage::locate(Layout& layout, std::string& error, bool* searched) const {
    uint64_t size = source_.size();
    if (size < kHeaderSize + kEofSize || size > 0xFFFFFFFFu) {
        error = "too small to be an event log";
        return false;
    }
    uint32_t fileSize = static_cast<uint32_t>(size & ~uint64_t(3));
    uint8_t header[kHeaderSize];
    if (!source_.read(0, header, sizeof header)) {
        lost_ = true;
        error = "the file is no longer there";
        return false;
    }
    uint32_t headerSize = loadDword(header), signature = loadDword(header + 4);
    uint32_t endOffset = loadDword(header + 20), flags = loadDword(header + 36);
    if (headerSize != kHeaderSize || signature != kSignature ||
        loadDword(header + 44) != kHeaderSize) {
        error = "no event log header";
        return false;
    }

    uint32_t eof[10];
    if (!(flags & kFlagDirty) && endOffset >= kHeaderSize && endOffset < fileSize &&
        endOffset % 4 == 0 && eofRecordAt(endOffset, fileSize, eof) && eof[6] == endOffset)
        return layoutFromEof(eof, endOffset, fileSize, layout, error);

    // The header may be stale: find the end-of-file record itself. Old ones
    // can survive in the space the service has not reused; the newest wins.
    if (searched)
        *searched = true;
    bool found = false;
    uint32_t eofOffset = 0, values[10];
    Layout whole;
    whole.fileSize = fileSize;
    // The service writes within the header's MaxSize; only the file's data is
    // read, never its holes.
    uint32_t maxSize = loadDword(header + 32);
    uint64_t limit = maxSize >= kHeaderSize + kEofSize && maxSize < fileSize ? maxSize : fileSize;
    std::vector<uint8_t> chunk(std::min<uint32_t>(fileSize, 1u << 20));
    for (uint64_t at = kHeaderSize; at + 4 <= limit;) {
        uint64_t data = source_.nextData(at) & ~uint64_t(3);
        if (data > at)
            at = data;
        if (at + 4 > limit)
            break;
        uint64_t hole = std::max<uint64_t>(source_.nextHole(at), at + 4);
        uint32_t count = static_cast<uint32_t>(
            std::min<uint64_t>({chunk.size(), limit - at, (hole - at + 3) & ~uint64_t(3)}));
        if (!source_.read(at, chunk.data(), count)) {
            lost_ = true;
            break;
        }
        for (uint32_t i = 0; i + 4 <= count; i += 4) {
            if (loadDword(&chunk[i]) != kEofMarks[0])
                continue;
            uint32_t start = retreat(whole, static_cast<uint32_t>(at + i), 4);
            if (!eofRecordAt(start, fileSize, values) || values[6] != start)
                continue;
            if (!found || values[7] - eof[7] < 0x80000000u) {
                std::memcpy(eof, values, sizeof eof);
                eofOffset = start;
                found = true;
            }
        }
        at += count;
    }
    if (lost_) {
        error = "the file was cut short while it was read";
        return false;
    }
    if (!found) {
        error = "no end-of-file record";
        return false;
    }
    return layoutFromEof(eof, eofOffset, fileSize, layout, error);
}

bool LogImage::locateAfter(const Layout& previous, Layout& layout) const {
    uint64_t size = source_.size();
    if (previous.fileSize == 0 || (size & ~uint64_t(3)) != previous.fileSize)
        return false;
    std::string error;
    uint32_t offset = previous.eofOffset, values[10];
    for (uint32_t steps = 0; steps <= previous.fileSize / kMinRecordSize; ++steps) {
        if (eofRecordAt(offset, previous.fileSize, values) && values[6] == offset)
            return !lost_ && layoutFromEof(values, offset, previous.fileSize, layout, error);
        uint32_t length = readDword(previous, offset);
        if (lost_ || readDword(previous, advance(previous, offset, 4)) != kSignature ||
            length < kMinRecordSize || length > previous.fileSize - kHeaderSize || length % 4)
            return false;
        offset = advance(previous, offset, length);
    }
    return false;
}

bool LogImage::nextOffset(const Layout& layout, uint32_t offset, uint32_t& next) const {
    uint32_t length = readDword(layout, offset);
    if (length < kMinRecordSize || length > layout.fileSize - kHeaderSize || length % 4)
        return false;
    next = advance(layout, offset, length);
    return true;
}

bool LogImage::previousOffset(const Layout& layout, uint32_t offset, uint32_t& previous) const {
    uint32_t length = readDword(layout, retreat(layout, offset, 4));
    if (length < kMinRecordSize || length > layout.fileSize - kHeaderSize || length % 4)
        return false;
    previous = retreat(layout, offset, length);
    return true;
}

bool LogImage::storedRecord(const Layout& layout, uint32_t offset,
                            std::vector<uint8_t>& record) const {
    uint32_t length = readDword(layout, offset);
    if (length < kMinRecordSize || length > layout.fileSize - kHeaderSize || length % 4)
        return false;
    record.resize(length);
    readWrapped(layout.fileSize, offset, record.data(), length);
    if (loadDword(&record[kReserved]) != kSignature || loadDword(&record[length - 4]) != length)
        return false;
    uint32_t body = length - 4;
    uint64_t sidEnd = uint64_t(loadDword(&record[kSidOffset])) + loadDword(&record[kSidLength]);
    uint64_t dataEnd = uint64_t(loadDword(&record[kDataOffset])) + loadDword(&record[kDataLength]);
    return loadDword(&record[kStringOffset]) <= body && sidEnd <= body && dataEnd <= body;
}

bool convertToAnsi(const std::vector<uint8_t>& stored, unsigned page, std::vector<uint8_t>& out) {
    if (stored.size() < kMinRecordSize)
        return false;
    size_t body = stored.size() - 4;
    out.assign(stored.begin(), stored.begin() + kFixedRecordSize);
    size_t cursor = kFixedRecordSize;
    std::u16string text;
    for (int name = 0; name < 2; ++name) { // source, then computer
        if (!readWide(stored, cursor, body, text))
            return false;
        std::string ansi = emu::wideToAnsi(text, page);
        out.insert(out.end(), ansi.begin(), ansi.end());
        out.push_back(0);
    }
    padToDword(out);

    uint32_t sidLength = loadDword(&stored[kSidLength]);
    uint32_t sidOffset = loadDword(&stored[kSidOffset]);
    storeDword(&out[kSidOffset], static_cast<uint32_t>(out.size()));
    out.insert(out.end(), stored.begin() + sidOffset, stored.begin() + sidOffset + sidLength);

    storeDword(&out[kStringOffset], static_cast<uint32_t>(out.size()));
    cursor = loadDword(&stored[kStringOffset]);
    for (uint16_t i = 0, n = loadWord(&stored[kNumStrings]); i < n; ++i) {
        if (!readWide(stored, cursor, body, text))
            return false;
        std::string ansi = emu::wideToAnsi(text, page);
        out.insert(out.end(), ansi.begin(), ansi.end());
        out.push_back(0);
    }

    uint32_t dataLength = loadDword(&stored[kDataLength]);
    uint32_t dataOffset = loadDword(&stored[kDataOffset]);
    storeDword(&out[kDataOffset], static_cast<uint32_t>(out.size()));
    out.insert(out.end(), stored.begin() + dataOffset, stored.begin() + dataOffset + dataLength);
    padToDword(out);
    appendDword(out, static_cast<uint32_t>(out.size() + 4));
    storeDword(&out[kLength], static_cast<uint32_t>(out.size()));
    return true;
}

std::vector<uint8_t> encodeRecord(const RecordSpec& described, uint32_t number) {
    std::vector<uint8_t> out(kFixedRecordSize, 0);
    storeDword(&out[kReserved], kSignature);
    storeDword(&out[kRecordNumber], number);
    storeDword(&out[kTimeGenerated], described.timeGenerated);
    storeDword(&out[kTimeWritten], described.timeWritten);
    storeDword(&out[kEventId], described.eventId);
    out[kEventType] = static_cast<uint8_t>(described.eventType);
    out[kEventType + 1] = static_cast<uint8_t>(described.eventType >> 8);
    out[kNumStrings] = static_cast<uint8_t>(described.strings.size());
    out[kNumStrings + 1] = static_cast<uint8_t>(described.strings.size() >> 8);
    out[kCategory] = static_cast<uint8_t>(described.category);
    out[kCategory + 1] = static_cast<uint8_t>(described.category >> 8);
    auto appendWide = [&out](const std::u16string& text) {
        for (char16_t c : text) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    };
    appendWide(described.source);
    appendWide(described.computer);
    padToDword(out);
    storeDword(&out[kSidLength], static_cast<uint32_t>(described.sid.size()));
    storeDword(&out[kSidOffset], static_cast<uint32_t>(out.size()));
    out.insert(out.end(), described.sid.begin(), described.sid.end());
    storeDword(&out[kStringOffset], static_cast<uint32_t>(out.size()));
    for (const std::u16string& s : described.strings)
        appendWide(s);
    storeDword(&out[kDataLength], static_cast<uint32_t>(described.data.size()));
    storeDword(&out[kDataOffset], static_cast<uint32_t>(out.size()));
    out.insert(out.end(), described.data.begin(), described.data.end());
    padToDword(out);
    appendDword(out, static_cast<uint32_t>(out.size() + 4));
    storeDword(&out[kLength], static_cast<uint32_t>(out.size()));
    return out;
}

LogWriter::LogWriter(uint32_t maxSize, uint32_t firstNumber)
    : area_(std::max<uint32_t>(maxSize & ~3u, kHeaderSize + kEofSize + kMinRecordSize), 0),
      begin_(kHeaderSize), end_(kHeaderSize), oldest_(firstNumber), next_(firstNumber) {
    staleHeader_[0] = kHeaderSize;
    staleHeader_[1] = kHeaderSize;
    staleHeader_[2] = firstNumber;
    staleHeader_[3] = 0;
}

uint32_t LogWriter::freeSpace() const {
    uint32_t area = static_cast<uint32_t>(area_.size()) - kHeaderSize;
    if (count_ == 0)
        return area;
    uint32_t used = (end_ - kHeaderSize + area - (begin_ - kHeaderSize)) % area;
    return area - used;
}

void LogWriter::writeAt(uint32_t offset, const uint8_t* data, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        area_[offset] = data[i];
        if (++offset == area_.size()) {
            offset = kHeaderSize;
            wrapped_ = true;
        }
    }
}

bool LogWriter::append(const RecordSpec& described) {
    std::vector<uint8_t> record = encodeRecord(described, next_);
    uint32_t size = static_cast<uint32_t>(record.size());
    if (size + kEofSize > area_.size() - kHeaderSize)
        return false;
    // The end-of-file record must still fit behind the new record.
    while (count_ && freeSpace() < size + kEofSize) {
        uint32_t area = static_cast<uint32_t>(area_.size()) - kHeaderSize;
        begin_ = (begin_ - kHeaderSize + lengths_[firstLength_++]) % area + kHeaderSize;
        ++oldest_;
        --count_;
    }
    if (count_ == 0)
        begin_ = end_;
    writeAt(end_, record.data(), size);
    uint32_t area = static_cast<uint32_t>(area_.size()) - kHeaderSize;
    end_ = (end_ - kHeaderSize + size) % area + kHeaderSize;
    lengths_.push_back(size);
    ++count_;
    ++next_;
    if (count_ == 1 && next_ - 1 == staleHeader_[2]) {
        staleHeader_[0] = begin_;
        staleHeader_[1] = end_;
        staleHeader_[2] = next_;
        staleHeader_[3] = oldest_;
    }
    return true;
}

std::vector<uint8_t> LogWriter::image(bool dirty) const {
    LogWriter copy = *this;
    uint8_t eof[kEofSize];
    uint32_t eofValues[10] = {kEofSize, kEofMarks[0], kEofMarks[1], kEofMarks[2],   kEofMarks[3],
                              begin_,   end_,         next_,        oldestNumber(), kEofSize};
    for (int i = 0; i < 10; ++i)
        storeDword(eof + 4 * i, eofValues[i]);
    copy.writeAt(end_, eof, kEofSize);
    uint32_t flags = (wrapped_ ? kFlagWrap : 0) | (dirty ? kFlagDirty : 0);
    uint32_t header[12] = {kHeaderSize,
                           kSignature,
                           1,
                           1,
                           dirty ? staleHeader_[0] : begin_,
                           dirty ? staleHeader_[1] : end_,
                           dirty ? staleHeader_[2] : next_,
                           dirty ? staleHeader_[3] : oldestNumber(),
                           static_cast<uint32_t>(area_.size()),
                           flags,
                           0,
                           kHeaderSize};
    for (int i = 0; i < 12; ++i)
        storeDword(&copy.area_[4 * i], header[i]);
    return copy.area_;
}

bool parseSid(const std::string& text, std::vector<uint8_t>& sid) {
    if (text.compare(0, 4, "S-1-") != 0)
        return false;
    std::vector<uint64_t> parts;
    size_t pos = 4;
    while (pos <= text.size()) {
        size_t end = text.find('-', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string part = text.substr(pos, end - pos);
        if (part.empty() || part.size() > 15 ||
            part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts.push_back(std::stoull(part));
        pos = end + 1;
    }
    if (parts.empty() || parts.size() > 16 || parts[0] > 0xFFFFFFFFFFFFull)
        return false;
    sid.assign(8, 0);
    sid[0] = 1;
    sid[1] = static_cast<uint8_t>(parts.size() - 1);
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = static_cast<uint8_t>(parts[0] >> (8 * (5 - i)));
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull)
            return false;
        appendDword(sid, static_cast<uint32_t>(parts[i]));
    }
    return true;
}

std::string formatSid(const uint8_t* sid, size_t size) {
    if (size < 8 || sid[0] != 1 || size != 8 + 4u * sid[1])
        return "";
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = (authority << 8) | sid[2 + i];
    std::string text = "S-1-" + std::to_string(authority);
    for (int i = 0; i < sid[1]; ++i)
        text += "-" + std::to_string(loadDword(sid + 8 + 4 * i));
    return text;
}

} // namespace logfiles::evt
