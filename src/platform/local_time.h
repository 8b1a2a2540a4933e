// The language runtime's 64-bit local-time conversion, which honours TZ. The
// two runtimes spell it differently; this is the one place that asks which.
#pragma once

#include <cstdint>
#include <ctime>

// False for a negative time or one the runtime cannot convert.
inline bool LocalTime64(int64_t seconds, std::tm& local) {
    if (seconds < 0)
        return false;
#ifdef _WIN32
    __time64_t t = seconds;
    return _localtime64_s(&local, &t) == 0;
#else
    // TZ is read when the process first converts a time (tzset), as the Windows
    // runtime reads it; a program that changes TZ later calls tzset itself.
    std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, &local) != nullptr;
#endif
}
