// A reader over one event log: opens it, reads records by number or in
// sequence, and keeps the entries of its batch reads. Every platform failure is
// left in the CErrorInfo it derives from; nothing throws on one.
#pragma once

#include "CErrorInfo.h"
#include "CEventEntry.h"

#include <memory>
#include <string>
#include <vector>

class CEventLogReader : public CErrorInfo {
  public:
    // `argumentSlots`: the argument array message formatting reads inserts
    // from, kept by the caller across readers (it is large, and made once); the
    // reader makes its own when given none.
    explicit CEventLogReader(std::vector<ULONG_PTR>* argumentSlots = nullptr);
    ~CEventLogReader() override;
    CEventLogReader(const CEventLogReader&) = delete;
    CEventLogReader& operator=(const CEventLogReader&) = delete;

    // Opens `logName` on the local computer (empty `serverName`) or on a named one.
    bool Open(const std::string& logName, const std::string& serverName);
    void Close();
    DWORD GetRecordCount();
    DWORD GetOldestRecordNumber();

    // Reads record `recordNumber` by a seek read; on success `record` receives a
    // LocalAlloc copy of exactly that record, which the caller gives back with
    // LocalFree.
    bool ReadRecord(DWORD recordNumber, EVENTLOGRECORD** record, bool backwards);

    // Reads records in sequence, decoding each into m_Entries, until `maxCount`
    // (0: no limit) is reached before a read or the log ends. Returns the entries
    // this call appended, or -1 when the reader is closed or a failure is on record.
    int32_t ReadEntries(DWORD maxCount, bool backwards);

    // Entry `index`, or the empty entry outside the list; valid until the
    // next ReadEntries or the reader's end.
    const CEventEntry& GetEntry(int32_t index) const;

    // Reads record `recordNumber` and decodes it into `entry`.
    bool ReadEntry(DWORD recordNumber, CEventEntry& entry);

    // The message text of the entry's record, read again from the log; "" on
    // any failure (what failed is in the status where the platform said why).
    std::string GetEntryMessageText(const CEventEntry& entry);
    std::string GetRecordMessageText(DWORD recordNumber);
    // The message text of `record`, from its source's message files.
    std::string GetMessageText(const EVENTLOGRECORD* record);

    bool IsOpen() const { return m_LogHandle != nullptr; }
    const std::string& LogName() const { return m_LogName; }
    size_t EntryCount() const { return m_Entries.size(); }
    DWORD BufferSize() const { return m_BufferSize; }

    // How this process names the native system's files, found on the first
    // message that needs it and kept for the reader's life (message_text.cpp).
    struct NativePaths {
        bool known = false;
        bool wow64 = false;    // a 32-bit process on 64-bit Windows
        std::string system;    // %SystemRoot%\System32\, expanded
        std::string sysnative; // %SystemRoot%\Sysnative\, expanded
    };

    // A read that succeeds with nothing read is issued again at most this often.
    static const int kEmptyReadRetries = 3;

  private:
    // Releases the buffer and allocates exactly `size` bytes; false when that fails.
    bool GrowBuffer(DWORD size);

    // One platform read into the buffer; the outcome the two reads act on.
    // SeekRefused: a seek read failed with ERROR_INVALID_PARAMETER, nothing recorded.
    enum class ReadOutcome { Records, Retry, End, Failed, SeekRefused };
    ReadOutcome ReadIntoBuffer(DWORD flags, DWORD recordNumber, DWORD& bytesRead, int& emptyReads);

    // Turns `name` into the log the machine registers under it or for it as a
    // source; false when it names neither.
    bool FindRegisteredLog(std::string& name);
    // A LocalAlloc copy of the record at `bytes`, checked against `bytesRead`.
    bool CopyRecord(const BYTE* bytes, DWORD bytesRead, EVENTLOGRECORD** record);
    // Records ERROR_EVENTLOG_FILE_CORRUPT; false.
    bool RecordCorruption();
    bool ReadRecordSequentially(DWORD recordNumber, EVENTLOGRECORD** record);

    std::vector<CEventEntry> m_Entries;
    HANDLE m_LogHandle = nullptr;
    std::unique_ptr<BYTE[]> m_Buffer;
    DWORD m_BufferSize = 0;
    BYTE* m_ReadPointer = nullptr;
    DWORD m_OldestRecord = 0;
    DWORD m_RecordCount = 0;
    std::string m_LogName;
    std::string m_ServerName; // as passed to OpenEventLogA, for a second handle
    CEventEntry m_EmptyEntry;
    // The argument array FormatMessageA reads a message's inserts from, made
    // once and kept empty between messages (message_text.cpp): the caller's,
    // or m_OwnSlots.
    std::vector<ULONG_PTR> m_OwnSlots;
    std::vector<ULONG_PTR>& m_ArgumentSlots;
    NativePaths m_NativePaths;
    const NativePaths& GetNativePaths();
};
