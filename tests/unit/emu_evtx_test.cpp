// .evtx logs served through the legacy calls: real Windows 10 logs, and made
// ones for what real files lack (a cut chunk, spoilt checksums, a lagging
// header, a reused chunk, every value type, a log growing under its reader).
#include "log_machine.h"
#include "src/logfiles/binxml.h"
#include "src/logfiles/evtx_write.h"
#include "src/platform/win32api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using logfiles::evtx::RecordSpec;

const DWORD kSeqBack = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
const DWORD kSeqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
const DWORD kSeekFwd = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;

struct Record {
    EVENTLOGRECORD head;
    std::string source, computer, sid;
    std::vector<std::string> strings;
    std::vector<uint8_t> data;
};

// Every record in a buffer, its layout checked as Vista and later lay it out.
std::vector<Record> records(const uint8_t* bytes, DWORD size) {
    std::vector<Record> found;
    for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= size;) {
        Record r;
        std::memcpy(&r.head, bytes + at, sizeof r.head);
        const uint8_t* p = bytes + at;
        const EVENTLOGRECORD& h = r.head;
        EXPECT_EQ(0x654c664cu, h.Reserved);
        DWORD trailing;
        std::memcpy(&trailing, p + h.Length - 4, 4);
        EXPECT_EQ(h.Length, trailing);
        r.source = reinterpret_cast<const char*>(p + sizeof h);
        r.computer = reinterpret_cast<const char*>(p + sizeof h + r.source.size() + 1);
        DWORD names = static_cast<DWORD>(sizeof h + r.source.size() + r.computer.size() + 2);
        EXPECT_EQ((names + 7) & ~7u, h.UserSidOffset);
        EXPECT_EQ(h.UserSidOffset + h.UserSidLength, h.StringOffset);
        const char* s = reinterpret_cast<const char*>(p + h.StringOffset);
        for (WORD i = 0; i < h.NumStrings; ++i, s += std::strlen(s) + 1)
            r.strings.push_back(s);
        EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<const uint8_t*>(s) - p), h.DataOffset);
        r.data.assign(p + h.DataOffset, p + h.DataOffset + h.DataLength);
        if (h.UserSidLength)
            r.sid = logfiles::evt::formatSid(p + h.UserSidOffset, h.UserSidLength);
        found.push_back(r);
        at += h.Length;
    }
    return found;
}

// All of a log's records, newest first, read as the plugin reads them.
std::vector<Record> readAll(const char* name, DWORD flags = kSeqBack) {
    HANDLE log = OpenEventLogA(nullptr, name);
    EXPECT_NE(nullptr, log);
    std::vector<Record> all;
    std::vector<uint8_t> buffer(0x10000);
    DWORD read = 0, needed = 0;
    while (ReadEventLogA(log, flags, 0, buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                         &needed)) {
        auto some = records(buffer.data(), read);
        all.insert(all.end(), some.begin(), some.end());
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), GetLastError());
    CloseEventLog(log);
    return all;
}

RecordSpec made(uint32_t n, size_t padding = 0) {
    RecordSpec r;
    r.provider = u"Service Control Manager";
    r.computer = u"WIN10";
    r.eventId = 7036;
    r.qualifiers = 0x4000;
    r.created = logfiles::evtx::fileTimeFromUnix(1700000000 + n);
    r.strings = {u"Service " + std::u16string(1, static_cast<char16_t>(u'A' + n % 26)),
                 std::u16string(padding, u'x')};
    return r;
}

std::vector<uint8_t> madeLog(uint32_t count, const logfiles::evtx::FileOptions& options = {},
                             uint32_t maxChunks = 0, size_t padding = 0) {
    logfiles::evtx::Writer writer(2, 1, maxChunks);
    for (uint32_t n = 1; n <= count; ++n)
        EXPECT_TRUE(writer.append(made(n, padding)));
    return writer.image(options);
}

std::vector<DWORD> numbersOf(const std::vector<Record>& all) {
    std::vector<DWORD> out;
    for (const Record& r : all)
        out.push_back(r.head.RecordNumber);
    return out;
}

} // namespace

TEST(EvtxLog, RealWindows10LogsReadAsTheServicePresentsThem) {
    LogMachine machine;
    machine.writeLogBytes("System", readTestData("win10-1703-System.evtx"));
    machine.writeLogBytes("Application", readTestData("win10-Application-no-crc32.evtx"));
    HANDLE log = OpenEventLogA(nullptr, "System");
    DWORD count = 0, oldest = 0;
    EXPECT_TRUE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_TRUE(GetOldestEventLogRecord(log, &oldest));
    EXPECT_EQ(1881u, count);
    EXPECT_EQ(1u, oldest);
    CloseEventLog(log);

    std::vector<Record> all = readAll("System");
    ASSERT_EQ(1881u, all.size());
    EXPECT_EQ(1881u, all.front().head.RecordNumber);
    const Record& first = all.back(); // a classic source: qualifiers in the id
    EXPECT_EQ("EventLog", first.source);
    EXPECT_EQ("WIN-P4SIAA0SQCO", first.computer);
    EXPECT_EQ(0x80001779u, first.head.EventID);
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, first.head.EventType);
    EXPECT_EQ((std::vector<std::string>{"10.00.", "15063", "", "Multiprocessor Free", "0"}),
              first.strings);
    const Record& third = all[all.size() - 3]; // a manifest provider: no qualifiers, a SID
    EXPECT_EQ("Microsoft-Windows-Kernel-General", third.source);
    EXPECT_EQ(12u, third.head.EventID);
    EXPECT_EQ("S-1-5-18", third.sid);
    EXPECT_EQ(1u, third.head.EventCategory);
    EXPECT_EQ("2017-07-12T17:16:05.499259900Z", third.strings.at(6));
    EXPECT_EQ(third.head.TimeGenerated, 1499879765u);

    // Both checksums of this log are wrong and its 17 records are real.
    std::vector<Record> application = readAll("Application", kSeqFwd);
    ASSERT_EQ(17u, application.size());
    EXPECT_EQ(426u, application.front().head.RecordNumber);
    EXPECT_EQ("Wlclntfy", application[2].source); // EventSourceName before the provider's name
    EXPECT_EQ((std::vector<uint8_t>{0xD9, 0x06, 0, 0}), application[2].data);
}

TEST(EvtxLog, DamageLosesOnlyWhatIsDamaged) {
    const size_t pad = 400; // about 120 records a chunk
    struct Case {
        const char* what;
        logfiles::evtx::FileOptions options;
        uint32_t maxChunks;
        DWORD oldest, count, readable;
    } cases[] = {
        {"whole", {}, 0, 1, 500, 500},
        {"spoilt checksums", {false, true, 0}, 0, 1, 500, 500},
        {"header behind its newest chunk", {true, false, 0}, 0, 1, 500, 500},
        {"cut inside the newest chunk", {false, false, 4096 + 4 * 65536 + 20000}, 0, 1, 0, 0},
        {"the oldest chunk's place reused", {}, 3, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogMachine machine;
        machine.writeLogBytes("System", madeLog(500, c.options, c.maxChunks, pad));
        std::vector<Record> all = readAll("System", kSeqFwd);
        HANDLE log = OpenEventLogA(nullptr, "System");
        DWORD count = 0, oldest = 0;
        GetNumberOfEventLogRecords(log, &count);
        GetOldestEventLogRecord(log, &oldest);
        CloseEventLog(log);
        if (c.count) {
            EXPECT_EQ(c.count, count);
            EXPECT_EQ(c.oldest, oldest);
            EXPECT_EQ(c.readable, all.size());
        } else {
            // What remains is read in order, newest last, and the count says so.
            ASSERT_FALSE(all.empty());
            EXPECT_GT(all.size(), 100u);
            EXPECT_LT(all.size(), 500u);
            EXPECT_EQ(oldest, all.front().head.RecordNumber);
            EXPECT_EQ(oldest + count - 1, all.back().head.RecordNumber);
            EXPECT_EQ(count, all.size());
        }
        for (size_t i = 1; i < all.size(); ++i)
            ASSERT_EQ(all[i - 1].head.RecordNumber + 1, all[i].head.RecordNumber);
    }
}

TEST(EvtxLog, EveryValueTypeIsHandedOverAsText) {
    RecordSpec r = made(1);
    r.style = RecordSpec::Manifest;
    r.qualifiers = -1;
    r.level = 2;
    r.sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const struct {
        const char* type;
        const char* text;
        std::vector<std::string> shown;
    } values[] = {
        {"string", "h\xc3\xa9llo", {"h\xe9llo"}}, // in the ANSI code page (1252)
        {"ansistring", "plain", {"plain"}},
        {"int8", "-5", {"-5"}},
        {"uint8", "200", {"200"}},
        {"int16", "-300", {"-300"}},
        {"uint16", "65535", {"65535"}},
        {"int32", "-70000", {"-70000"}},
        {"uint32", "4000000000", {"4000000000"}},
        {"int64", "-5000000000", {"-5000000000"}},
        {"uint64", "18446744073709551615", {"18446744073709551615"}},
        {"real32", "1.5", {"1.5"}},
        {"real64", "-0.25", {"-0.25"}},
        {"bool", "true", {"true"}},
        {"binary", "01 02 FF", {"0102FF"}},
        {"guid",
         "{01020304-0506-0708-090A-0B0C0D0E0F10}",
         {"{01020304-0506-0708-090A-0B0C0D0E0F10}"}},
        {"sizet", "0x1000", {"0x1000"}},
        {"filetime", "2024-05-01T10:04:59.1234567Z", {"2024-05-01T10:04:59.123456700Z"}},
        {"systemtime", "2024-05-01T10:04:59.250Z", {"2024-05-01T10:04:59.250Z"}},
        {"sid", "S-1-5-21-1-2-3-1001", {"S-1-5-21-1-2-3-1001"}},
        {"hexint32", "0xc000006d", {"0xc000006d"}},
        {"hexint64", "0x3e7", {"0x3e7"}},
        {"string[]", "a||c", {"a", "", "c"}},
        {"uint16[]", "1|2", {"1", "2"}},
    };
    std::vector<std::string> expected;
    for (const auto& v : values) {
        logfiles::evtx::TypedValue value;
        ASSERT_TRUE(logfiles::evtx::parseTypedValue(v.type, v.text, value)) << v.type;
        r.values.push_back(value);
        expected.insert(expected.end(), v.shown.begin(), v.shown.end());
    }
    for (RecordSpec::Style style : {RecordSpec::Manifest, RecordSpec::UserData}) {
        r.style = style;
        logfiles::evtx::Writer writer(1);
        ASSERT_TRUE(writer.append(r));
        ASSERT_TRUE(writer.append(r)); // the template referred to, not repeated
        LogMachine machine;
        machine.writeLogBytes("System", writer.image());
        std::vector<Record> all = readAll("System");
        ASSERT_EQ(2u, all.size());
        for (const Record& got : all) {
            EXPECT_EQ(expected, got.strings);
            EXPECT_EQ(7036u, got.head.EventID); // no qualifiers: the id alone
            EXPECT_EQ(EVENTLOG_ERROR_TYPE, got.head.EventType);
            EXPECT_EQ("S-1-5-18", got.sid);
        }
    }
    EXPECT_FALSE(logfiles::evtx::TypedValue().type);
    logfiles::evtx::TypedValue bad;
    EXPECT_FALSE(logfiles::evtx::parseTypedValue("binary[]", "01", bad));
    EXPECT_FALSE(logfiles::evtx::parseTypedValue("uint8x", "1", bad));
}

TEST(EvtxLog, ALogGrowingUnderItsReaderIsFollowedAndAClearedOneFailsTheRead) {
    LogMachine machine;
    machine.writeLogBytes("System", madeLog(100, {}, 0, 300));
    HANDLE log = OpenEventLogA(nullptr, "System");
    std::vector<uint8_t> buffer(0x10000);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogA(log, kSeekFwd, 100, buffer.data(), 0x10000, &read, &needed));
    EXPECT_EQ(std::vector<DWORD>{100}, numbersOf(records(buffer.data(), read)));
    // Records added to the current chunk, then new chunks.
    for (uint32_t total : {101u, 400u}) {
        machine.writeLogBytes("System", madeLog(total, {}, 0, 300));
        DWORD count = 0;
        GetNumberOfEventLogRecords(log, &count);
        EXPECT_EQ(total, count);
        ASSERT_TRUE(ReadEventLogA(log, kSeqFwd, 0, buffer.data(), 0x10000, &read, &needed));
        EXPECT_EQ(total == 101 ? 101u : 102u,
                  records(buffer.data(), read).front().head.RecordNumber);
    }
    // Cleared and written again: what the handle read is gone.
    logfiles::evtx::Writer other(1, 1);
    for (uint32_t n = 1; n <= 400; ++n)
        other.append(made(n + 7, 300));
    machine.writeLogBytes("System", other.image());
    EXPECT_FALSE(ReadEventLogA(log, kSeqFwd, 0, buffer.data(), 0x10000, &read, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED), GetLastError());
    CloseEventLog(log);
}
