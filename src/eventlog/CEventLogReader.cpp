#include "CEventLogReader.h"

#include "../platform/local_block.h"
#include "../platform/platform_handles.h"
#include "name_compare.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace {

const DWORD kInitialBufferSize = 260;
// A batch asks for room for this many entries at most before it reads.
const DWORD kReservedEntries = 256;
const char kEventlogKey[] = "SYSTEM\\CurrentControlSet\\Services\\Eventlog";
// The code on record for a log name that the machine does not register: its
// text says what is wrong to a user ("The specified channel could not be found.").
const DWORD kUnknownLogError = ERROR_EVT_CHANNEL_NOT_FOUND;
// The code on record when the platform keeps answering reads with nothing.
const DWORD kEmptyReadsError = ERROR_READ_FAULT;

// The Length of the record at `at` when the `remaining` bytes hold it whole
// (`strict`: also a multiple of 4, as records laid end to end are), else 0:
// no Length is trusted beyond the bytes the platform reported.
DWORD wholeRecordLength(const BYTE* at, DWORD remaining, bool strict) {
    DWORD length = 0;
    if (remaining < sizeof(EVENTLOGRECORD))
        return 0;
    std::memcpy(&length, at, sizeof length);
    if (length < sizeof(EVENTLOGRECORD) || length > remaining || (strict && length % 4 != 0))
        return 0;
    return length;
}

// Calls `visit` with each log the machine registers (the subkeys of the
// Eventlog key, read without asking for more than reading: a standard user may
// not open some of them, Security among them) until it returns true. False
// when the list cannot be read at all.
template <typename Visit> bool forEachRegisteredLog(Visit visit) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventlogKey, 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return false;
    UniqueRegKey key(raw);
    for (DWORD index = 0;; ++index) {
        // 255 characters of up to three bytes each in the ANSI code page.
        char name[255 * 3 + 1];
        DWORD size = sizeof name;
        LSTATUS status =
            RegEnumKeyExA(key.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        if (status == ERROR_SUCCESS && visit(std::string(name, size)))
            return true;
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            return false;
    }
}

// True when `source` is registered under `log`.
bool isSourceOf(const std::string& log, const std::string& source) {
    std::string path = std::string(kEventlogKey) + "\\" + log + "\\" + source;
    HKEY raw = nullptr;
    if (source.find('\\') != std::string::npos ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return false;
    UniqueRegKey key(raw);
    return true;
}

struct EventLogCloser {
    void operator()(HANDLE log) const { CloseEventLog(log); }
};
using UniqueEventLog = std::unique_ptr<void, EventLogCloser>;

} // namespace

CEventLogReader::CEventLogReader(std::vector<ULONG_PTR>* argumentSlots)
    : m_ArgumentSlots(argumentSlots ? *argumentSlots : m_OwnSlots) {
    GrowBuffer(kInitialBufferSize);
}

CEventLogReader::~CEventLogReader() {
    Close();
}

bool CEventLogReader::GrowBuffer(DWORD size) {
    m_Buffer.reset();
    m_Buffer.reset(new (std::nothrow) BYTE[size]);
    m_ReadPointer = m_Buffer.get();
    m_BufferSize = m_Buffer ? size : 0;
    return m_Buffer != nullptr;
}

bool CEventLogReader::Open(const std::string& logName, const std::string& serverName) {
    if (IsOpen())
        return false;
    if (logName.empty()) {
        SetStatus("Invalid Log Name.", 0, true);
        return false;
    }
    std::string server = serverName;
    if (!server.empty() && server.compare(0, 2, "\\\\") != 0)
        server = "\\\\" + server;
    // The platform opens the Application log for a name it does not know: a
    // mistyped name would show another log's entries under the chosen one.
    std::string log = logName;
    if (server.empty() && !FindRegisteredLog(log)) {
        m_LogName = logName;
        SetLastError(kUnknownLogError);
        SetStatus("Could not open the this event log.", 0, true);
        return false;
    }
    m_LogName = log;
    m_ServerName = server;
    m_LogHandle = OpenEventLogA(server.empty() ? nullptr : server.c_str(), log.c_str());
    if (!m_LogHandle) {
        // A failure is never recorded as a success: where the platform left
        // no code, the log could not be opened.
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_EVENTLOG_CANT_START);
        SetStatus("Could not open the this event log.", 0, true);
        return false;
    }
    return true;
}

bool CEventLogReader::FindRegisteredLog(std::string& name) {
    // The usual case costs one open, however many logs the machine has.
    HKEY raw = nullptr;
    if (!name.empty() && name.find('\\') == std::string::npos &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kEventlogKey) + "\\" + name).c_str(), 0,
                      KEY_READ, &raw) == ERROR_SUCCESS) {
        UniqueRegKey key(raw);
        return true;
    }
    // One this user may not open (Security), or a source's name, which opens
    // its log, as the platform documents (its message texts are registered
    // under that log).
    bool registered = false;
    if (!forEachRegisteredLog(
            [&](const std::string& log) { return registered = EqualsIgnoringCase(log, name); }))
        return true; // nothing to check against: the platform decides
    if (registered)
        return true;
    std::string sourceLog;
    forEachRegisteredLog([&](const std::string& log) {
        if (!isSourceOf(log, name))
            return false;
        sourceLog = log;
        return true;
    });
    if (sourceLog.empty())
        return false;
    name = sourceLog;
    return true;
}

void CEventLogReader::Close() {
    if (!IsOpen())
        return;
    m_LogName.clear();
    m_ServerName.clear();
    CloseEventLog(m_LogHandle);
    m_LogHandle = nullptr;
    m_OldestRecord = 0;
    m_RecordCount = 0;
    m_Buffer.reset();
    m_ReadPointer = nullptr;
    m_BufferSize = 0;
}

// 0 on a failure, which is on record like every other: the caller must not
// take the 0 for an empty log.
DWORD CEventLogReader::GetRecordCount() {
    DWORD count = 0;
    if (!IsOpen())
        return 0; // why it is not open is on record already
    if (!GetNumberOfEventLogRecords(m_LogHandle, &count)) {
        CaptureLastError();
        return 0;
    }
    return count;
}

DWORD CEventLogReader::GetOldestRecordNumber() {
    DWORD oldest = 0;
    if (!IsOpen())
        return 0;
    if (!GetOldestEventLogRecord(m_LogHandle, &oldest)) {
        CaptureLastError();
        return 0;
    }
    return oldest;
}

CEventLogReader::ReadOutcome CEventLogReader::ReadIntoBuffer(DWORD flags, DWORD recordNumber,
                                                             DWORD& bytesRead, int& emptyReads) {
    DWORD needed = 0;
    bytesRead = 0;
    // A reader without a buffer (opened again after Close, or after a failed
    // growth) takes its first one before it reads: the platform refuses a null buffer.
    if (!m_Buffer && !GrowBuffer(kInitialBufferSize)) {
        SetStatus("Insuficient memory to allocate event data.", 0, true);
        return ReadOutcome::Failed;
    }
    if (ReadEventLogA(m_LogHandle, flags, recordNumber, m_ReadPointer, m_BufferSize, &bytesRead,
                      &needed)) {
        if (bytesRead > 0)
            return ReadOutcome::Records;
        // A platform that keeps answering "nothing" would hold the host forever.
        if (++emptyReads <= kEmptyReadRetries)
            return ReadOutcome::Retry;
        SetLastError(kEmptyReadsError);
        CaptureLastError();
        return ReadOutcome::Failed;
    }
    DWORD error = GetLastError();
    switch (error) {
    case ERROR_INSUFFICIENT_BUFFER:
        if (GrowBuffer(needed))
            return ReadOutcome::Retry;
        SetStatus("Insuficient memory to allocate event data.", 0, true);
        return ReadOutcome::Failed;
    case ERROR_HANDLE_EOF:
        return ReadOutcome::End;
    case ERROR_INVALID_PARAMETER:
        if (flags & EVENTLOG_SEEK_READ)
            return ReadOutcome::SeekRefused; // the caller decides whether to record it
        [[fallthrough]];
    default:
        SetLastError(error);
        CaptureLastError();
        return ReadOutcome::Failed;
    }
}

bool CEventLogReader::ReadRecord(DWORD recordNumber, EVENTLOGRECORD** record, bool backwards) {
    if (!IsOpen()) {
        SetStatus("Log closed.", 0, true);
        return false;
    }
    DWORD flags =
        EVENTLOG_SEEK_READ | (backwards ? EVENTLOG_BACKWARDS_READ : EVENTLOG_FORWARDS_READ);
    int emptyReads = 0;
    for (;;) {
        DWORD bytesRead = 0;
        switch (ReadIntoBuffer(flags, recordNumber, bytesRead, emptyReads)) {
        case ReadOutcome::Retry:
            continue;
        case ReadOutcome::SeekRefused:
            return ReadRecordSequentially(recordNumber, record);
        case ReadOutcome::End:
        case ReadOutcome::Failed:
            return false;
        case ReadOutcome::Records:
            break;
        }
        return CopyRecord(m_ReadPointer, bytesRead, record);
    }
}

bool CEventLogReader::CopyRecord(const BYTE* bytes, DWORD bytesRead, EVENTLOGRECORD** record) {
    DWORD length = wholeRecordLength(bytes, bytesRead, false);
    if (length == 0)
        return RecordCorruption();
    void* copy = LocalAlloc(LMEM_ZEROINIT, length);
    if (!copy) {
        CaptureLastError();
        return false;
    }
    std::memcpy(copy, bytes, length);
    *record = static_cast<EVENTLOGRECORD*>(copy);
    return true;
}

bool CEventLogReader::RecordCorruption() {
    SetLastError(ERROR_EVENTLOG_FILE_CORRUPT);
    CaptureLastError();
    return false;
}

// Some Windows versions refuse seek reads on large or wrapped logs for records
// that the log holds. Such a record is found by reading backwards from the
// newest one, on a handle of its own so that this reader's sequential
// position stays where its batch left it. A record the log does not hold is
// refused as the platform refused it.
bool CEventLogReader::ReadRecordSequentially(DWORD recordNumber, EVENTLOGRECORD** record) {
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(m_LogHandle, &oldest);
    GetNumberOfEventLogRecords(m_LogHandle, &count);
    auto refused = [this] {
        SetLastError(ERROR_INVALID_PARAMETER);
        CaptureLastError();
        return false;
    };
    if (count == 0 || recordNumber < oldest || uint64_t(recordNumber) >= uint64_t(oldest) + count)
        return refused();
    UniqueEventLog log(
        OpenEventLogA(m_ServerName.empty() ? nullptr : m_ServerName.c_str(), m_LogName.c_str()));
    if (!log)
        return refused();
    // The reads go through this reader's own buffer and read path, on the
    // second handle for the length of the call.
    struct HandleSwap {
        HANDLE& slot;
        HANDLE saved;
        ~HandleSwap() { slot = saved; }
    } swap{m_LogHandle, m_LogHandle};
    m_LogHandle = log.get();
    int emptyReads = 0;
    for (;;) {
        DWORD bytesRead = 0;
        switch (ReadIntoBuffer(EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, bytesRead,
                               emptyReads)) {
        case ReadOutcome::Retry:
            continue;
        case ReadOutcome::End:
            return refused();
        case ReadOutcome::Failed:
        case ReadOutcome::SeekRefused:
            return false;
        case ReadOutcome::Records:
            break;
        }
        for (DWORD at = 0; at < bytesRead;) {
            DWORD length = wholeRecordLength(m_ReadPointer + at, bytesRead - at, true);
            if (length == 0)
                return RecordCorruption();
            DWORD number = 0;
            std::memcpy(&number, m_ReadPointer + at + offsetof(EVENTLOGRECORD, RecordNumber),
                        sizeof number);
            if (number == recordNumber)
                return CopyRecord(m_ReadPointer + at, length, record);
            if (number < recordNumber)
                return refused(); // gone past it: the log no longer holds it
            at += length;
        }
    }
}

int32_t CEventLogReader::ReadEntries(DWORD maxCount, bool backwards) {
    if (!IsOpen())
        return -1;
    DWORD flags =
        EVENTLOG_SEQUENTIAL_READ | (backwards ? EVENTLOG_BACKWARDS_READ : EVENTLOG_FORWARDS_READ);
    GetNumberOfEventLogRecords(m_LogHandle, &m_RecordCount);
    GetOldestEventLogRecord(m_LogHandle, &m_OldestRecord);

    int32_t count = 0;
    if (maxCount != 0 && maxCount <= kReservedEntries)
        m_Entries.reserve(m_Entries.size() + maxCount);
    int emptyReads = 0;
    bool reading = true;
    while (reading && (maxCount == 0 || static_cast<DWORD>(count) < maxCount)) {
        DWORD bytesRead = 0;
        switch (ReadIntoBuffer(flags, 0, bytesRead, emptyReads)) {
        case ReadOutcome::Retry:
            continue;
        case ReadOutcome::End:
        case ReadOutcome::Failed:
        case ReadOutcome::SeekRefused:
            reading = false;
            continue;
        case ReadOutcome::Records:
            break;
        }
        // Walk every record the platform placed, trusting no Length beyond the
        // bytes it reported.
        const BYTE* cursor = m_ReadPointer;
        DWORD remaining = bytesRead;
        while (remaining > 0) {
            DWORD length = wholeRecordLength(cursor, remaining, true);
            if (length == 0) {
                reading = RecordCorruption();
                break;
            }
            // Decoded where it is kept: no entry is copied.
            m_Entries.emplace_back();
            DecodeRecord(reinterpret_cast<const EVENTLOGRECORD*>(cursor), m_Entries.back());
            ++count;
            cursor += length;
            remaining -= length;
        }
    }
    return GetStatus(nullptr) ? -1 : count;
}

const CEventEntry& CEventLogReader::GetEntry(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_Entries.size())
        return m_EmptyEntry;
    return m_Entries[static_cast<size_t>(index)];
}

bool CEventLogReader::ReadEntry(DWORD recordNumber, CEventEntry& entry) {
    if (!IsOpen())
        return false;
    EVENTLOGRECORD* record = nullptr;
    if (!ReadRecord(recordNumber, &record, true))
        return false;
    LocalBlock<EVENTLOGRECORD> copy(record);
    DecodeRecord(copy.get(), entry);
    return true;
}
