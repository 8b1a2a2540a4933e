// The last failure of the event log subsystem, carried by every reader. Reads
// report failure through their results and leave the reason here.
#pragma once

#include "../platform/win32api.h"

#include <cstdint>
#include <string>

class CErrorInfo {
  public:
    CErrorInfo() = default;
    virtual ~CErrorInfo() = default;

    // Records a failure: the thread's last error (when `captureLastError`, else 0)
    // first, before anything else can change it, then the message and number.
    void SetStatus(const std::string& message, int32_t errorNumber, bool captureLastError);

    // Stores the thread's last error and returns it; the message stays.
    DWORD CaptureLastError();

    // True when anything is on record; `status` (may be null) receives 1 for a
    // message or number, 2 for a system error code alone, 0 for nothing.
    bool GetStatus(int32_t* status) const;

    // The platform's text for the recorded system error code.
    std::string GetErrorText() const;

  protected:
    std::string m_Message;
    int32_t m_ErrorNumber = 0;
    DWORD m_SystemError = 0;
};

// The platform's message text for a system error code, as it gives it (line
// break included), or "Cannot Display Error." when it has none.
std::string GetSystemErrorText(DWORD code);
