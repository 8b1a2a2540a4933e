#include "CEventLogReader.h"

#include "../platform/local_block.h"

#include <cstring>
#include <new>

namespace {
const DWORD kInitialBufferSize = 260;
}

CEventLogReader::CEventLogReader() {
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
    m_LogName = logName;
    std::string server = serverName;
    if (!server.empty() && server.compare(0, 2, "\\\\") != 0)
        server = "\\\\" + server;
    m_LogHandle = OpenEventLogA(server.empty() ? nullptr : server.c_str(), logName.c_str());
    if (!m_LogHandle) {
        SetStatus("Could not open the this event log.", 0, true);
        return false;
    }
    return true;
}

void CEventLogReader::Close() {
    if (!IsOpen())
        return;
    m_LogName.clear();
    CloseEventLog(m_LogHandle);
    m_LogHandle = nullptr;
    m_OldestRecord = 0;
    m_RecordCount = 0;
    m_Buffer.reset();
    m_ReadPointer = nullptr;
    m_BufferSize = 0;
}

DWORD CEventLogReader::GetRecordCount() {
    DWORD count = 0;
    if (!GetNumberOfEventLogRecords(m_LogHandle, &count))
        return 0;
    return count;
}

DWORD CEventLogReader::GetOldestRecordNumber() {
    DWORD oldest = 0;
    if (!GetOldestEventLogRecord(m_LogHandle, &oldest))
        return 0;
    return oldest;
}

CEventLogReader::ReadOutcome CEventLogReader::ReadIntoBuffer(DWORD flags, DWORD recordNumber,
                                                             DWORD& bytesRead, int& emptyReads) {
    DWORD needed = 0;
    bytesRead = 0;
    if (ReadEventLogA(m_LogHandle, flags, recordNumber, m_ReadPointer, m_BufferSize, &bytesRead,
                      &needed)) {
        if (bytesRead > 0)
            return ReadOutcome::Records;
        // A platform that keeps answering "nothing" would hold the host forever.
        return ++emptyReads > kEmptyReadRetries ? ReadOutcome::End : ReadOutcome::Retry;
    }
    switch (GetLastError()) {
    case ERROR_INSUFFICIENT_BUFFER:
        if (GrowBuffer(needed))
            return ReadOutcome::Retry;
        SetStatus("Insuficient memory to allocate event data.", 0, true);
        return ReadOutcome::Failed;
    case ERROR_HANDLE_EOF:
        return ReadOutcome::End;
    default:
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
        case ReadOutcome::End:
        case ReadOutcome::Failed:
            return false;
        case ReadOutcome::Records:
            break;
        }
        DWORD length = reinterpret_cast<const EVENTLOGRECORD*>(m_ReadPointer)->Length;
        if (bytesRead < sizeof(DWORD) || length < sizeof(EVENTLOGRECORD) || length > bytesRead) {
            SetLastError(ERROR_EVENTLOG_FILE_CORRUPT);
            CaptureLastError();
            return false;
        }
        void* copy = LocalAlloc(LMEM_ZEROINIT, length);
        if (!copy) {
            CaptureLastError();
            return false;
        }
        std::memcpy(copy, m_ReadPointer, length);
        *record = static_cast<EVENTLOGRECORD*>(copy);
        return true;
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
    CEventEntry working;
    int emptyReads = 0;
    bool reading = true;
    while (reading && (maxCount == 0 || static_cast<DWORD>(count) < maxCount)) {
        DWORD bytesRead = 0;
        switch (ReadIntoBuffer(flags, 0, bytesRead, emptyReads)) {
        case ReadOutcome::Retry:
            continue;
        case ReadOutcome::End:
        case ReadOutcome::Failed:
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
            DWORD length = 0;
            if (remaining >= sizeof length)
                std::memcpy(&length, cursor, sizeof length);
            if (remaining < sizeof(EVENTLOGRECORD) || length < sizeof(EVENTLOGRECORD) ||
                length > remaining || length % sizeof(DWORD) != 0) {
                SetLastError(ERROR_EVENTLOG_FILE_CORRUPT);
                CaptureLastError();
                reading = false;
                break;
            }
            DecodeRecord(reinterpret_cast<const EVENTLOGRECORD*>(cursor), working);
            m_Entries.push_back(working);
            ++count;
            cursor += length;
            remaining -= length;
        }
    }
    return GetStatus(nullptr) ? -1 : count;
}

CEventEntry CEventLogReader::GetEntry(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_Entries.size())
        return CEventEntry();
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
