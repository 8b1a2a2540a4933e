#include "CLogMonitor.h"

#include <cstring>

char* CLogMonitor::HandOutResult() {
    // std::string never shares its buffer, so the host always gets a private one.
    return m_Result.data();
}

void CLogMonitor::TakeBackResult() {
    m_Result.resize(std::strlen(m_Result.c_str()));
}
