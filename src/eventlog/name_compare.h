// Names the platform compares without regard to case (logs, sources, paths),
// compared as it does for the ASCII letters they are made of.
#pragma once

#include <algorithm>
#include <string>

inline bool SameLetterIgnoringCase(char a, char b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    return lower(a) == lower(b);
}

inline bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), SameLetterIgnoringCase);
}

inline bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), SameLetterIgnoringCase);
}
