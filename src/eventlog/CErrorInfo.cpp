#include "CErrorInfo.h"

#include "../platform/local_block.h"

void CErrorInfo::SetStatus(const std::string& message, int32_t errorNumber, bool captureLastError) {
    m_SystemError = captureLastError ? GetLastError() : 0;
    m_Message = message;
    m_ErrorNumber = errorNumber;
}

DWORD CErrorInfo::CaptureLastError() {
    m_SystemError = GetLastError();
    return m_SystemError;
}

bool CErrorInfo::GetStatus(int32_t* status) const {
    int32_t value = (m_ErrorNumber != 0 || !m_Message.empty()) ? 1 : m_SystemError != 0 ? 2 : 0;
    if (status)
        *status = value;
    return value != 0;
}

std::string CErrorInfo::GetErrorText() const {
    return GetSystemErrorText(m_SystemError);
}

std::string GetSystemErrorText(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&text), 0, nullptr);
    LocalBlock<char> owned(text);
    if (length == 0 || !text)
        return "Cannot Display Error.";
    return std::string(text, length);
}
