#include "CLogMonitor.h"

#include <cstring>

char* CLogMonitor::HandOutResult() {
    // std::string never shares its buffer, so the host always gets a private one.
    return m_Result.data();
}

void CLogMonitor::TakeBackResult() {
    // Never past the text's own length: the host may have written over its NUL.
    m_Result.resize(strnlen(m_Result.data(), m_Result.size()));
    m_Result.data()[m_Result.size()] = '\0';
}
