// The record of one plugin instance, handed to the host as an opaque handle.
#pragma once

#include "../platform/win32api.h"

#include <cstdint>
#include <string>
#include <vector>

class CLogMonitor {
  public:
    std::string m_Result;      // text of the latest query; the host reads it in place
    std::string m_OpenLog;     // the event log to read ("OpenLog")
    std::string m_ParseString; // the output template ("ParseString")
    int64_t m_LastRefresh = 0; // when the throttle last let a query read the log
    // Scratch space a refresh's reader formats messages with: a large array,
    // made on the first refresh rather than on every one. It holds nothing
    // between refreshes.
    std::vector<ULONG_PTR> m_ArgumentSlots;

    // The address of m_Result's characters, which the host may read, and write
    // into, until its next call that takes this record.
    char* HandOutResult();

    // Adopts whatever the host left in the buffer: the text up to its first NUL.
    void TakeBackResult();
};
