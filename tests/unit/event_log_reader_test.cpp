// CErrorInfo, CEventEntry's decoding and CEventLogReader.
#include "log_machine.h"
#include "src/eventlog/CEventLogReader.h"
#include "src/platform/emu/emu_control.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A record laid out by hand, for decoding what no platform would hand over.
std::vector<uint8_t> craftRecord(const std::string& variable, DWORD stringOffset, WORD numStrings,
                                 DWORD dataOffset, DWORD sidOffset = 0, DWORD sidLength = 0) {
    std::vector<uint8_t> bytes(sizeof(EVENTLOGRECORD), 0);
    bytes.insert(bytes.end(), variable.begin(), variable.end());
    while (bytes.size() % 4)
        bytes.push_back(0);
    bytes.resize(bytes.size() + 4);
    EVENTLOGRECORD header = {};
    header.Length = static_cast<DWORD>(bytes.size());
    header.RecordNumber = 7;
    header.TimeGenerated = 0x80000000u;
    header.TimeWritten = 0xFFFFFFFFu;
    header.EventID = 0xC0000005u;
    header.EventType = 16;
    header.NumStrings = numStrings;
    header.StringOffset = stringOffset;
    header.DataOffset = dataOffset;
    header.UserSidOffset = sidOffset;
    header.UserSidLength = sidLength;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(&bytes[bytes.size() - 4], &header.Length, 4);
    return bytes;
}

const EVENTLOGRECORD* asRecord(const std::vector<uint8_t>& bytes) {
    return reinterpret_cast<const EVENTLOGRECORD*>(bytes.data());
}

} // namespace

TEST(CErrorInfo, StatusFollowsWhatWasRecorded) {
    TestMachine machine;  // its system message file
    CEventLogReader info; // CErrorInfo is only ever part of a reader
    int32_t status = -1;
    EXPECT_FALSE(info.GetStatus(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("The operation succeeded.\r\n", info.GetErrorText());

    SetLastError(6);
    info.SetStatus("Log closed.", 0, true);
    EXPECT_TRUE(info.GetStatus(&status));
    EXPECT_EQ(1, status);
    EXPECT_EQ("The handle is not valid.\r\n", info.GetErrorText());

    SetLastError(5);
    info.SetStatus("", 0, true);
    info.GetStatus(&status);
    EXPECT_EQ(2, status);
    info.SetStatus("", 7, false);
    info.GetStatus(&status);
    EXPECT_EQ(1, status);
    EXPECT_EQ("The operation succeeded.\r\n", info.GetErrorText()) << "code erased";
    EXPECT_TRUE(info.GetStatus(nullptr));

    SetLastError(38);
    EXPECT_EQ(38u, info.CaptureLastError());
    info.GetStatus(&status);
    EXPECT_EQ(1, status) << "the number stays on record";
}

TEST(CErrorInfo, SystemErrorTextIsThePlatformsUntrimmed) {
    TestMachine machine;
    long blocks = emu::ledger().localBlocks;
    EXPECT_EQ("The end of the file has been reached.\r\n", GetSystemErrorText(38));
    EXPECT_EQ("One of the parameters is wrong.\r\n", GetSystemErrorText(87));
    EXPECT_EQ("The event log file is damaged.\r\n", GetSystemErrorText(1500));
    EXPECT_EQ("The RPC server cannot be reached.\r\n", GetSystemErrorText(1722));
    EXPECT_EQ("Cannot Display Error.", GetSystemErrorText(0xE0001234));
    EXPECT_EQ(blocks, emu::ledger().localBlocks) << "every buffer given back";
}

TEST(DecodeRecord, TakesEveryFieldAndNothingFromOutsideTheRecord) {
    LogMachine machine; // for the account lookups
    std::string variable =
        std::string("Src\0PC\0", 7) + std::string("one\0\0three\0", 11) + std::string("AB\0C", 4);
    auto bytes = craftRecord(variable, 63, 3, 74);
    CEventEntry entry;
    entry.m_Strings = {"left", "over", "from", "before"};
    DecodeRecord(asRecord(bytes), entry);
    EXPECT_EQ("Src", entry.m_SourceName);
    EXPECT_EQ((std::vector<std::string>{"one", "", "three"}), entry.m_Strings);
    EXPECT_EQ("AB", entry.m_DataText);
    EXPECT_EQ("Audit Failure", entry.m_TypeName);
    EXPECT_EQ(0xC0000005u, entry.m_EventID);
    EXPECT_EQ(7u, entry.m_RecordNumber);
    EXPECT_EQ(2147483648LL, entry.m_TimeGenerated) << "2038 and later keep their dates";
    EXPECT_EQ(4294967295LL, entry.m_TimeWritten);
    EXPECT_EQ("N/A", entry.m_UserName);
    EXPECT_EQ("N/A", entry.m_DomainName);

    // Offsets past the end, strings that run out, data without a zero byte.
    auto outside = craftRecord(std::string("Src\0", 4) + "DATA", 5000, 2, 60);
    DecodeRecord(asRecord(outside), entry);
    EXPECT_TRUE(entry.m_Strings.empty());
    EXPECT_EQ("DATA", entry.m_DataText) << "no zero byte: the text stops at the record's end";

    EXPECT_EQ(std::string("N/A"), EventTypeName(3));
    EXPECT_EQ(std::string("N/A"), EventTypeName(32));
    EXPECT_EQ(std::string("Success"), EventTypeName(0));
}

TEST(DecodeRecord, LooksTheSidUpOnlyWhenItIsWhole) {
    LogMachine machine;
    std::vector<uint8_t> sid;
    logfiles::evt::parseSid("S-1-5-21-1-2-3-1001", sid);
    std::string variable = std::string("S\0PC\0\0\0\0", 8) + std::string(sid.begin(), sid.end());
    CEventEntry entry;
    DecodeRecord(asRecord(craftRecord(variable, 0, 0, 0, 64, static_cast<DWORD>(sid.size()))),
                 entry);
    EXPECT_EQ("alice", entry.m_UserName);
    EXPECT_EQ("KESTRIN-PC", entry.m_DomainName);
    DecodeRecord(asRecord(craftRecord(variable, 0, 0, 0, 64, 12)), entry);
    EXPECT_EQ("N/A", entry.m_UserName) << "a SID cut short is never handed to the platform";
    DecodeRecord(asRecord(craftRecord(variable, 0, 0, 0, 64, 4000)), entry);
    EXPECT_EQ("N/A", entry.m_DomainName);
    logfiles::evt::parseSid("S-1-5-21-9-9-9-500", sid);
    variable = std::string("S\0PC\0\0\0\0", 8) + std::string(sid.begin(), sid.end());
    DecodeRecord(asRecord(craftRecord(variable, 0, 0, 0, 64, static_cast<DWORD>(sid.size()))),
                 entry);
    EXPECT_EQ("N/A", entry.m_UserName) << "an unknown account";
}

TEST(CEventLogReader, OpensOnlyWhatItCanAndRecordsWhy) {
    LogMachine machine;
    machine.writeLog("System", {sampleRecord(1)});
    CEventLogReader reader;
    EXPECT_FALSE(reader.Open("", ""));
    int32_t status = 0;
    reader.GetStatus(&status);
    EXPECT_EQ(1, status);
    EXPECT_EQ("", reader.LogName());

    EXPECT_TRUE(reader.Open("System", "KESTRIN-PC")) << "backslashes are put in front";
    EXPECT_FALSE(reader.Open("Application", "")) << "already open";
    EXPECT_EQ("System", reader.LogName());
    reader.Close();
    reader.Close();
    EXPECT_EQ("", reader.LogName());

    CEventLogReader remote;
    EXPECT_FALSE(remote.Open("System", "\\\\elsewhere"));
    EXPECT_EQ("System", remote.LogName());
    EXPECT_EQ("The RPC server cannot be reached.\r\n", remote.GetErrorText());

    // A failed open that leaves no code is still recorded as a failure.
    emu::failEventLogOpens(1, ERROR_SUCCESS);
    CEventLogReader silent;
    EXPECT_FALSE(silent.Open("System", ""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_EVENTLOG_CANT_START), silent.CaptureLastError());
}

TEST(CEventLogReader, GrowsItsBufferToExactlyTheRecordAndReadsItAgainByNumber) {
    LogMachine machine;
    logfiles::evt::RecordSpec big = sampleRecord(1);
    big.data.assign(300, 0x41);
    machine.writeLog("System", {sampleRecord(0), big});
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    EXPECT_EQ(260u, reader.BufferSize());
    EVENTLOGRECORD* record = nullptr;
    long blocks = emu::ledger().localBlocks;
    ASSERT_TRUE(reader.ReadRecord(2, &record, true));
    EXPECT_EQ(record->Length, reader.BufferSize());
    EXPECT_GT(record->Length, 260u);
    EXPECT_EQ(blocks + 1, emu::ledger().localBlocks);
    LocalFree(record);

    EXPECT_FALSE(reader.ReadRecord(3, &record, true)) << "not in the log";
    int32_t status = 0;
    reader.GetStatus(&status);
    EXPECT_EQ(2, status);
    EXPECT_EQ("One of the parameters is wrong.\r\n", reader.GetErrorText());

    CEventEntry entry;
    EXPECT_TRUE(reader.ReadEntry(1, entry));
    EXPECT_EQ(1u, entry.m_RecordNumber);
    reader.Close();
    EXPECT_FALSE(reader.ReadEntry(1, entry));
    EXPECT_FALSE(reader.ReadRecord(1, &record, true));
    reader.GetStatus(&status);
    EXPECT_EQ(1, status) << "Log closed.";
    EXPECT_EQ(blocks, emu::ledger().localBlocks);
}

TEST(CEventLogReader, BatchReadsNewestFirstAndKeepWhatTheyRead) {
    LogMachine machine;
    std::vector<logfiles::evt::RecordSpec> records;
    for (uint32_t n = 1; n <= 10; ++n)
        records.push_back(sampleRecord(n));
    records.back().data.assign(240, 0x20); // the newest is the largest: later reads take several
    machine.writeLog("System", records);
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    int32_t first = reader.ReadEntries(2, true);
    EXPECT_GT(first, 2) << "the limit is tested only before a read, and a read takes several";
    EXPECT_EQ(10 - first, reader.ReadEntries(0, true)) << "goes on where the first stopped";
    for (int32_t i = 0; i < 10; ++i)
        EXPECT_EQ(static_cast<DWORD>(10 - i), reader.GetEntry(i).m_RecordNumber);
    EXPECT_FALSE(reader.GetStatus(nullptr)) << "the end of the log is no failure";
    EXPECT_EQ(0u, reader.GetEntry(10).m_RecordNumber);
    EXPECT_EQ(0u, reader.GetEntry(-1).m_RecordNumber);
    reader.Close();
    EXPECT_EQ(-1, reader.ReadEntries(25, true));
    EXPECT_EQ(10u, reader.EntryCount()) << "Close keeps the entries";
}

TEST(CEventLogReader, EndlessEmptyReadsAndReadErrorsEndTheBatch) {
    LogMachine machine;
    machine.writeLog("System", {sampleRecord(1), sampleRecord(2)});
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    SetLastError(ERROR_SUCCESS); // whatever the thread held, the failure has its own code
    emu::failEventLogReads(1000, 0);
    EXPECT_EQ(-1, reader.ReadEntries(25, true));
    emu::clearFaults();
    EXPECT_EQ("The device could not be read.\r\n", reader.GetErrorText());

    emu::failEventLogReads(1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(-1, reader.ReadEntries(25, true));
    EXPECT_EQ("The handle is not valid.\r\n", reader.GetErrorText());
    EXPECT_EQ(-1, reader.ReadEntries(25, true)) << "the failure stays on record";
    EXPECT_EQ(2u, reader.EntryCount());
    emu::clearFaults();
}

TEST(CEventLogReader, ARecordLargerThanAnyReadIsAFailureNotALoop) {
    LogMachine machine;
    logfiles::evt::RecordSpec big = sampleRecord(1);
    big.data.assign(0x80000, 0x41); // more than one read may deliver
    machine.writeLog("System", {big}, 0x100000);
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    EXPECT_EQ(-1, reader.ReadEntries(25, true));
    EXPECT_EQ(0u, reader.EntryCount());
    EXPECT_EQ("One of the parameters is wrong.\r\n", reader.GetErrorText());
}

TEST(CEventLogReader, ARefusedSeekReadReadsBackOnAHandleOfItsOwn) {
    LogMachine machine;
    std::vector<logfiles::evt::RecordSpec> records;
    for (uint32_t n = 1; n <= 6; ++n)
        records.push_back(sampleRecord(n));
    machine.writeLog("System", records);
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    ASSERT_EQ(2, reader.ReadEntries(2, true));
    emu::refuseSeekReads(true);
    CEventEntry entry;
    ASSERT_TRUE(reader.ReadEntry(2, entry));
    EXPECT_EQ(2u, entry.m_RecordNumber);
    EXPECT_FALSE(reader.GetStatus(nullptr));
    EXPECT_FALSE(reader.ReadEntry(7, entry)) << "not in the log: refused as the platform did";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), reader.CaptureLastError());
    emu::clearFaults();
    EXPECT_EQ(-1, reader.ReadEntries(2, true)) << "the failure stays on record";
    EXPECT_EQ(3u, reader.GetEntry(3).m_RecordNumber) << "the batch went on where it stopped";
    EXPECT_EQ(1, emu::ledger().eventLogHandles) << "the second handle is closed";
}

TEST(CEventLogReader, AReaderOpenedAgainTakesABufferBeforeItReads) {
    LogMachine machine;
    machine.writeLog("System", {sampleRecord(1), sampleRecord(2)});
    HANDLE log = OpenEventLogA(nullptr, "System");
    DWORD read = 0, needed = 0;
    EXPECT_FALSE(ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, nullptr,
                               0, &read, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << "no null buffer";
    CloseEventLog(log);
    CEventLogReader reader;
    ASSERT_TRUE(reader.Open("System", ""));
    reader.Close();
    ASSERT_TRUE(reader.Open("System", ""));
    EXPECT_EQ(2, reader.ReadEntries(25, true));
    EXPECT_FALSE(reader.GetStatus(nullptr));
}
