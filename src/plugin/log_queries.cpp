#include "log_queries.h"

#include "../eventlog/CEventLogReader.h"
#include "../format/FormatEntry.h"
#include "../platform/win32api.h"

namespace {
const int64_t kRefreshInterval = 5;
const int64_t kUnixEpochIn100ns = 116444736000000000LL;
} // namespace

int64_t CurrentTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return (ticks - kUnixEpochIn100ns) / 10000000LL;
}

bool IsRefreshDue(CLogMonitor& monitor) {
    int64_t now = CurrentTime();
    bool never = monitor.m_LastRefresh == 0;
    if (!never && now >= monitor.m_LastRefresh && now - monitor.m_LastRefresh < kRefreshInterval)
        return false;
    monitor.m_LastRefresh = now;
    return true;
}

void RefreshNewestEntry(CLogMonitor& monitor) {
    if (monitor.m_OpenLog.empty())
        monitor.m_OpenLog = "System";
    CEventLogReader reader(&monitor.m_ArgumentSlots);
    reader.Open(monitor.m_OpenLog, "");
    DWORD oldest = reader.GetOldestRecordNumber();
    DWORD count = reader.GetRecordCount();
    DWORD newest = oldest + count - 1;
    CEventEntry entry;
    std::string result;
    // A failed count is not an empty log: its failure is what the user sees,
    // not the one a read of a made-up record number would give.
    bool counted = !reader.IsOpen() || !reader.GetStatus(nullptr);
    if (counted && reader.ReadEntry(newest, entry)) {
        result = FormatEntry(entry, reader.GetEntryMessageText(entry), monitor.m_ParseString);
    } else {
        // A read that ended without a failure on record (the end of an empty log)
        // still shows why it ended, not the text for success.
        if (!reader.GetStatus(nullptr))
            reader.CaptureLastError();
        result = reader.GetErrorText();
    }
    reader.Close();
    monitor.m_Result = std::move(result);
}

void RefreshNewestEntries(CLogMonitor& monitor) {
    CEventLogReader reader(&monitor.m_ArgumentSlots);
    reader.Open(monitor.m_OpenLog, "");
    reader.ReadEntries(kBatchSize, true);
    std::string result;
    for (int32_t i = 0; i < kBatchSize && result.size() < kRefreshTextLimit; ++i) {
        const CEventEntry& entry = reader.GetEntry(i);
        result += FormatEntry(entry, reader.GetEntryMessageText(entry), monitor.m_ParseString);
    }
    result = CutAtCharacter(std::move(result), kRefreshTextLimit);
    reader.Close();
    monitor.m_Result = std::move(result);
}
