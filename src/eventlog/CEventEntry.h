// One event log record, decoded into plain values that outlive the record.
#pragma once

#include "../platform/win32api.h"

#include <cstdint>
#include <string>
#include <vector>

class CEventEntry {
  public:
    std::string m_UserName;   // "N/A" without a SID or when the lookup fails
    std::string m_DomainName; // likewise
    uint32_t m_RecordNumber = 0;
    uint32_t m_EventID = 0;      // all 32 bits
    int64_t m_TimeGenerated = 0; // seconds since 1970-01-01 UTC
    int64_t m_TimeWritten = 0;
    std::string m_TypeName;
    std::string m_SourceName;
    std::vector<std::string> m_Strings; // the insertion strings, in record order
    std::string m_DataText;             // the data area up to its first zero byte
};

// The name of an event type ("Error", "Audit Success", ...), "N/A" for others.
const char* EventTypeName(WORD eventType);

// Fills every field of `entry` from `record`, a record as ReadEventLogA placed
// it, whose Length the caller has checked against the bytes it holds. Nothing
// outside the record's Length is read: an offset or length that points beyond
// it gives an empty field ("N/A" for the names).
void DecodeRecord(const EVENTLOGRECORD* record, CEventEntry& entry);
