// The record of one plugin instance, handed to the host as an opaque handle.
#pragma once

#include <cstdint>
#include <string>

class CLogMonitor {
  public:
    std::string m_Result;      // text of the latest query; the host reads it in place
    std::string m_OpenLog;     // the event log to read ("OpenLog")
    std::string m_ParseString; // the output template ("ParseString")
    int64_t m_LastRefresh = 0; // when the throttle last let a query read the log

    // The address of m_Result's characters, which the host may read, and write
    // into, until its next call that takes this record.
    char* HandOutResult();

    // Adopts whatever the host left in the buffer: the text up to its first NUL.
    void TakeBackResult();
};
