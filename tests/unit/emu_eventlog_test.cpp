// The emulated event log: the platform's read contract over .evt files.
#include "log_machine.h"
#include "src/eventlog/CEventEntry.h"
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"

#include <gtest/gtest.h>

#include <fstream>

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Read {
    BOOL ok;
    DWORD error, bytesRead, needed;
    std::vector<uint8_t> bytes;
};

Read readLog(HANDLE log, DWORD flags, DWORD number, DWORD size) {
    Read r{};
    r.bytes.assign(size, 0xbd);
    SetLastError(0);
    r.ok = ReadEventLogA(log, flags, number, r.bytes.data(), size, &r.bytesRead, &r.needed);
    r.error = GetLastError();
    r.bytes.resize(r.ok ? r.bytesRead : 0);
    return r;
}

// The record numbers in a buffer of whole records.
std::vector<DWORD> numbers(const std::vector<uint8_t>& bytes) {
    std::vector<DWORD> found;
    for (size_t at = 0; at + sizeof(EVENTLOGRECORD) <= bytes.size();) {
        EVENTLOGRECORD record;
        std::memcpy(&record, &bytes[at], sizeof record);
        found.push_back(record.RecordNumber);
        at += record.Length;
    }
    return found;
}

const DWORD kSeekBack = EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ;
const DWORD kSeqBack = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
const DWORD kSeqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;

} // namespace

TEST(EmulatedEventLog, ReadsAWrappedLogInBothDirectionsAcrossTheWrap) {
    LogMachine machine;
    std::vector<logfiles::evt::RecordSpec> records;
    for (uint32_t n = 1; n <= 40; ++n)
        records.push_back(sampleRecord(n));
    machine.writeLog("System", records, 3000); // holds about 15 of them: it wraps
    HANDLE log = OpenEventLogA(nullptr, "System");
    ASSERT_NE(nullptr, log);
    DWORD oldest = 0, count = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_GT(oldest, 1u);
    EXPECT_EQ(41u, oldest + count);

    std::vector<DWORD> backwards, forwards;
    for (Read r; (r = readLog(log, kSeqBack, 0, 0x10000)).ok;)
        for (DWORD n : numbers(r.bytes))
            backwards.push_back(n);
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), readLog(log, kSeqBack, 0, 0x10000).error);
    HANDLE other = OpenEventLogA("", "system");
    for (Read r; (r = readLog(other, kSeqFwd, 0, 300)).ok;)
        for (DWORD n : numbers(r.bytes))
            forwards.push_back(n);
    ASSERT_EQ(count, backwards.size());
    ASSERT_EQ(count, forwards.size());
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(40 - i, backwards[i]);
        EXPECT_EQ(oldest + i, forwards[i]);
    }
    CloseEventLog(log);
    CloseEventLog(other);
}

TEST(EmulatedEventLog, HandsRecordsOverInAnsiWithTheirSizes) {
    LogMachine machine;
    logfiles::evt::RecordSpec described = sampleRecord(1, u"Caf\u00e9 Service");
    described.strings = {u"na\u00efve", u"", u"\u20ac 5"};
    logfiles::evt::parseSid("S-1-5-18", described.sid);
    described.data = {0x41, 0x42, 0x00, 0x43};
    machine.writeLog("Application", {described});
    HANDLE log = OpenEventLogA(nullptr, "Application");

    Read tooSmall = readLog(log, kSeekBack, 1, 60);
    EXPECT_FALSE(tooSmall.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), tooSmall.error);
    Read exact = readLog(log, kSeekBack, 1, tooSmall.needed);
    ASSERT_TRUE(exact.ok);
    EXPECT_EQ(tooSmall.needed, exact.bytesRead);

    EVENTLOGRECORD header;
    std::memcpy(&header, exact.bytes.data(), sizeof header);
    EXPECT_EQ(exact.bytesRead, header.Length);
    DWORD trailing;
    std::memcpy(&trailing, &exact.bytes[header.Length - 4], 4);
    EXPECT_EQ(header.Length, trailing);
    CEventEntry entry;
    DecodeRecord(reinterpret_cast<const EVENTLOGRECORD*>(exact.bytes.data()), entry);
    EXPECT_EQ("Caf\xe9 Service", entry.m_SourceName);
    EXPECT_EQ((std::vector<std::string>{"na\xefve", "", "\x80 5"}), entry.m_Strings);
    EXPECT_EQ("SYSTEM", entry.m_UserName);
    EXPECT_EQ("NT AUTHORITY", entry.m_DomainName);
    EXPECT_EQ("AB", entry.m_DataText);
    EXPECT_EQ(4u, header.DataLength);
    CloseEventLog(log);
}

TEST(EmulatedEventLog, RefusesWhatThePlatformRefuses) {
    LogMachine machine;
    machine.writeLog("System", {sampleRecord(1), sampleRecord(2)});
    long handles = emu::ledger().eventLogHandles;
    HANDLE log = OpenEventLogA("\\\\kestrin-pc", "System");
    ASSERT_NE(nullptr, log) << "this computer by name";
    EXPECT_EQ(handles + 1, emu::ledger().eventLogHandles);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), readLog(log, kSeekBack, 3, 4096).error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), readLog(log, kSeekBack, 0, 4096).error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              readLog(log, EVENTLOG_SEEK_READ | EVENTLOG_SEQUENTIAL_READ | 8, 1, 4096).error);

    // A seek read sets where sequential reads go on from.
    EXPECT_EQ(std::vector<DWORD>{1}, numbers(readLog(log, kSeekBack, 1, 4096).bytes));
    EXPECT_EQ(std::vector<DWORD>{2}, numbers(readLog(log, kSeqFwd, 0, 4096).bytes));
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), readLog(log, kSeqFwd, 0, 4096).error);
    EXPECT_TRUE(CloseEventLog(log));
    EXPECT_FALSE(CloseEventLog(log));
    EXPECT_EQ(handles, emu::ledger().eventLogHandles);

    SetLastError(0);
    EXPECT_EQ(nullptr, OpenEventLogA("\\\\elsewhere", "System"));
    EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());

    // A log that is not registered is the Application log; a missing file is empty.
    HANDLE unknown = OpenEventLogA(nullptr, "NoSuchLog");
    ASSERT_NE(nullptr, unknown);
    DWORD count = 99;
    EXPECT_TRUE(GetNumberOfEventLogRecords(unknown, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), readLog(unknown, kSeqBack, 0, 4096).error);
    CloseEventLog(unknown);
}

TEST(EmulatedEventLog, ADirtyHeaderIsSearchedPastOncePerVersionOfTheFile) {
    LogMachine machine;
    std::vector<logfiles::evt::RecordSpec> records;
    for (uint32_t n = 1; n <= 30; ++n)
        records.push_back(sampleRecord(n));
    machine.writeLog("System", records, 2500, true, 100);
    long scans = emu::eventLogScans();
    for (int i = 0; i < 3; ++i) {
        HANDLE log = OpenEventLogA(nullptr, "System");
        DWORD oldest = 0, count = 0;
        GetOldestEventLogRecord(log, &oldest);
        GetNumberOfEventLogRecords(log, &count);
        EXPECT_EQ(130u, oldest + count) << "the numbers come from the end-of-file record";
        EXPECT_EQ(std::vector<DWORD>{129}, numbers(readLog(log, kSeekBack, 129, 200).bytes));
        CloseEventLog(log);
    }
    EXPECT_EQ(scans + 1, emu::eventLogScans());
}

TEST(EmulatedEventLog, ReadsTheRealRecordAndFindsTheRealEndOfFileRecord) {
    // The real header (dirty, its offsets stale), the real record at the start
    // of the records and the real end-of-file record where it says it lies.
    std::vector<uint8_t> header = readTestData("libevt_file_header.1");
    std::vector<uint8_t> record = readTestData("libevt_event_record.1");
    std::vector<uint8_t> eof = readTestData("libevt_end_of_file_record.1");
    ASSERT_EQ(48u, header.size());
    ASSERT_EQ(144u, record.size());
    ASSERT_EQ(40u, eof.size());
    std::vector<uint8_t> file(191200 + 40 + 1024, 0);
    std::copy(header.begin(), header.end(), file.begin());
    std::copy(record.begin(), record.end(), file.begin() + 48);
    std::copy(eof.begin(), eof.end(), file.begin() + 191200);

    LogMachine machine;
    machine.writeLogBytes("System", file);
    HANDLE log = OpenEventLogA(nullptr, "System");
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(log, &oldest);
    GetNumberOfEventLogRecords(log, &count);
    EXPECT_EQ(1u, oldest);
    EXPECT_EQ(898u, count) << "CurrentRecordNumber 899 of the end-of-file record";

    Read first = readLog(log, kSeekBack, 1, 4096);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(std::vector<DWORD>{1}, numbers(first.bytes)) << "the next record is not in the file";
    CEventEntry entry;
    DecodeRecord(reinterpret_cast<const EVENTLOGRECORD*>(first.bytes.data()), entry);
    EXPECT_EQ(104u, first.bytesRead) << "144 bytes stored, 104 with ANSI texts";
    EXPECT_EQ(1u, entry.m_RecordNumber);
    EXPECT_EQ(1289437817, entry.m_TimeGenerated);
    EXPECT_EQ(1289437817, entry.m_TimeWritten);
    EXPECT_EQ(0x400003E8u, entry.m_EventID);
    EXPECT_EQ("Information", entry.m_TypeName);
    EXPECT_EQ("LoadPerf", entry.m_SourceName);
    EXPECT_EQ((std::vector<std::string>{"RSVP", "QoS RSVP"}), entry.m_Strings);
    EXPECT_EQ("N/A", entry.m_UserName);
    EXPECT_EQ("\x0c\x14", entry.m_DataText);

    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT),
              readLog(log, kSeekBack, 2, 4096).error);
    CloseEventLog(log);
}

TEST(EmulatedEventLog, AFileThatIsNotALogFailsEveryRead) {
    LogMachine machine;
    machine.writeLogBytes("System", std::vector<uint8_t>(4096, 0x5a));
    HANDLE log = OpenEventLogA(nullptr, "System");
    ASSERT_NE(nullptr, log);
    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT),
              readLog(log, kSeqBack, 0, 4096).error);
    CloseEventLog(log);
}

TEST(EmulatedAccounts, NamesThatDoNotFitFailWithTheSizesNeeded) {
    LogMachine machine;
    std::vector<uint8_t> sid;
    logfiles::evt::parseSid("S-1-5-32-544", sid);
    char name[15] = {}, domain[8] = {};
    DWORD nameSize = 14, domainSize = 7; // "Administrators" needs 15, "BUILTIN" 8
    SID_NAME_USE use;
    SetLastError(0);
    EXPECT_FALSE(
        LookupAccountSidA(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(15u, nameSize);
    EXPECT_EQ(8u, domainSize);
    nameSize = 15;
    EXPECT_TRUE(LookupAccountSidA(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_STREQ("Administrators", name);
    EXPECT_STREQ("BUILTIN", domain);
    EXPECT_EQ(14u, nameSize);
    EXPECT_EQ(SidTypeAlias, use);
}

TEST(EmulatedEventLog, AFileChangedUnderItsReaderFailsTheReadNeverTheProcess) {
    LogMachine machine;
    const std::string file = machine.root() + "/drive_c/Windows/System32/config/System.evt";
    std::vector<logfiles::evt::RecordSpec> records;
    for (uint32_t n = 1; n <= 40; ++n)
        records.push_back(sampleRecord(n));
    machine.writeLog("System", {records.begin(), records.begin() + 30}, 1 << 16, true);
    long scans = emu::eventLogScans();
    HANDLE log = OpenEventLogA(nullptr, "System");
    EXPECT_EQ(std::vector<DWORD>{30}, numbers(readLog(log, kSeekBack, 30, 200).bytes));

    // The service appends in place: the handle goes on, and no search is made again.
    machine.writeLog("System", records, 1 << 16, true);
    DWORD count = 0;
    GetNumberOfEventLogRecords(log, &count);
    EXPECT_EQ(40u, count);
    EXPECT_EQ(std::vector<DWORD>{31}, numbers(readLog(log, kSeqFwd, 0, 200).bytes));
    HANDLE again = OpenEventLogA(nullptr, "System");
    EXPECT_EQ(std::vector<DWORD>{40}, numbers(readLog(again, kSeqBack, 0, 200).bytes));
    EXPECT_EQ(scans + 1, emu::eventLogScans());

    // Cut short, or cleared, in place: the reads fail as the platform's do.
    ASSERT_EQ(0, truncate(file.c_str(), 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED), readLog(log, kSeqFwd, 0, 200).error);
    machine.writeLog("System", {sampleRecord(1)}, 1 << 16, true);
    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED),
              readLog(again, kSeqBack, 0, 200).error);
    CloseEventLog(log);
    CloseEventLog(again);

    // Cleared and refilled in place with the same record numbers: not an
    // append, whatever the numbers say.
    machine.writeLog("System", {records.begin(), records.begin() + 30}, 1 << 16, true);
    HANDLE reader = OpenEventLogA(nullptr, "System");
    EXPECT_EQ(std::vector<DWORD>{30}, numbers(readLog(reader, kSeqBack, 0, 200).bytes));
    std::vector<logfiles::evt::RecordSpec> refilled;
    for (uint32_t n = 1; n <= 30; ++n)
        refilled.push_back(sampleRecord(n, u"Service Control Monitor")); // at the same offsets
    machine.writeLog("System", refilled, 1 << 16, true);
    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED),
              readLog(reader, kSeqBack, 0, 200).error);
    CloseEventLog(reader);
}

TEST(EmulatedEventLog, AHugeSparseDirtyLogIsSearchedOnlyWhereItHoldsData) {
    LogMachine machine;
    std::vector<logfiles::evt::RecordSpec> records;
    for (uint32_t n = 1; n <= 30; ++n)
        records.push_back(sampleRecord(n));
    machine.writeLog("System", records, 1 << 16, true);
    ASSERT_EQ(0, truncate((machine.root() + "/drive_c/Windows/System32/config/System.evt").c_str(),
                          2000000000));
    long before = emu::eventLogBytesRead();
    HANDLE log = OpenEventLogA(nullptr, "System");
    EXPECT_EQ(std::vector<DWORD>{30}, numbers(readLog(log, kSeqBack, 0, 200).bytes));
    CloseEventLog(log);
    EXPECT_LT(emu::eventLogBytesRead() - before, 4 << 20);

    // 4 GiB with a few bytes of data in every MiB: only those blocks are read.
    const std::string file = machine.root() + "/drive_c/Windows/System32/config/System.evt";
    {
        std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
        for (uint64_t at = 4ull << 20; at < (4ull << 30) - 8192; at += 1 << 20) {
            out.seekp(static_cast<std::streamoff>(at));
            out.write("junk", 4);
        }
    }
    ASSERT_EQ(0, truncate(file.c_str(), (4ll << 30) - 4096)); // offsets are 32-bit
    before = emu::eventLogBytesRead();
    log = OpenEventLogA(nullptr, "System");
    EXPECT_EQ(std::vector<DWORD>{30}, numbers(readLog(log, kSeqBack, 0, 200).bytes));
    CloseEventLog(log);
    EXPECT_LT(emu::eventLogBytesRead() - before, 64 << 20) << "4,096 blocks, not 4 GiB";
}

TEST(EmulatedEventLog, AFifoOrAFolderAsTheLogFileIsRefusedAtOnce) {
    LogMachine machine;
    const std::string file = machine.root() + "/drive_c/Windows/System32/config/System.evt";
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    for (bool fifo : {true, false}) {
        std::filesystem::remove_all(file);
        ASSERT_EQ(0, fifo ? mkfifo(file.c_str(), 0644) : mkdir(file.c_str(), 0755));
        HANDLE log = OpenEventLogA(nullptr, "System");
        ASSERT_NE(nullptr, log);
        EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT),
                  readLog(log, kSeqBack, 0, 200).error);
        CloseEventLog(log);
    }
}

TEST(EmulatedEventLog, TextsAreHandedOverInTheMachinesCodePage) {
    const struct {
        const char* page;
        std::u16string text;
        std::string ansi;
    } rows[] = {
        {"1252", u"caf\x00E9 \x20AC \x0416", "caf\xE9 \x80 ?"},
        {"65001", u"caf\x00E9 \x20AC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"99999", u"caf\x00E9", "caf?"}, // a page that cannot be converted: never another
        {"1251", u"\x041F\x0440\x0438 \x00E9", "\xCF\xF0\xE8 ?"},
        {"1250",
         u"\x0141\x00F3"
         u"d\x017A",
         "\xA3\xF3\x64\x9F"},
        {"932", u"\x30B5\x30FC\x30D3\x30B9 A", "\x83\x54\x81\x5B\x83\x72\x83\x58 A"},
        {"936", u"\x670D\x52A1", "\xB7\xFE\xCE\xF1"},
        {"949", u"\xC11C\xBE44\xC2A4", "\xBC\xAD\xBA\xF1\xBD\xBA"},
        {"950", u"\x670D\x52D9", "\xAA\x41\xB0\xC8"},
    };
    for (const auto& row : rows) {
        LogMachine machine;
        {
            AsAdministrator admin;
            HKEY key = nullptr;
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage",
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
            RegSetValueExA(key, "ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(row.page),
                           static_cast<DWORD>(strlen(row.page) + 1));
            RegCloseKey(key);
        }
        machine.reload();
        logfiles::evt::RecordSpec record = sampleRecord(1);
        record.strings = {row.text};
        machine.writeLog("System", {record});
        HANDLE log = OpenEventLogA(nullptr, "System");
        Read read = readLog(log, kSeqBack, 0, 4096);
        CloseEventLog(log);
        ASSERT_TRUE(read.ok) << row.page;
        EVENTLOGRECORD fixed;
        std::memcpy(&fixed, read.bytes.data(), sizeof fixed);
        EXPECT_EQ(row.ansi, reinterpret_cast<const char*>(&read.bytes[fixed.StringOffset]))
            << row.page;
    }
}
