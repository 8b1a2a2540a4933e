#include "FormatEntry.h"

#include "../platform/local_time.h"
#include "../platform/win32api.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Lead bytes of the ANSI code page, asked of the platform only for the bytes a
// text holds: ASCII text costs nothing.
class LeadBytes {
  public:
    bool isLead(unsigned char c) {
        if (c < 0x80)
            return false;
        int& known = known_[c - 0x80];
        if (known < 0)
            known = IsDBCSLeadByte(c) ? 1 : 0;
        return known == 1;
    }

  private:
    std::array<int, 128> known_ = [] {
        std::array<int, 128> a{};
        a.fill(-1);
        return a;
    }();
};

std::string replaceAll(const std::string& text, const std::string& pattern,
                       const std::string& value, LeadBytes& leads) {
    if (pattern.empty())
        return text;
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    for (;;) {
        size_t match = text.find(pattern, i);
        if (match == std::string::npos) {
            out.append(text, i, std::string::npos);
            return out;
        }
        // Step over whole characters up to the match: a match that begins on a
        // trail byte is no match.
        size_t at = i;
        while (at < match)
            at +=
                leads.isLead(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
        out.append(text, i, at - i);
        i = at;
        if (at != match)
            continue;
        out += value;
        i += pattern.size();
    }
}

std::string dateText(int64_t seconds) {
    std::tm local{};
    if (!LocalTime64(seconds, local))
        return "";
    char buffer[128];
    size_t length = std::strftime(buffer, sizeof buffer, "%d/%m/%y, %H:%M:%S", &local);
    return std::string(buffer, length);
}

} // namespace

std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& value) {
    LeadBytes leads;
    return replaceAll(text, pattern, value, leads);
}

std::string FormatEntry(const CEventEntry& entry, std::string messageText,
                        std::string outputTemplate) {
    LeadBytes leads;
    char eventId[16];
    std::snprintf(eventId, sizeof eventId, "0x%08X", static_cast<unsigned>(entry.m_EventID));
    std::string text = std::move(outputTemplate);
    text = replaceAll(text, "%1", entry.m_SourceName, leads);
    text = replaceAll(text, "%2", messageText, leads);
    text = replaceAll(text, "%3", eventId, leads);
    text = replaceAll(text, "%4", dateText(entry.m_TimeGenerated), leads);
    text = replaceAll(text, "%5", entry.m_TypeName, leads);
    text = replaceAll(text, "%6", entry.m_UserName, leads);
    text = replaceAll(text, "%7", entry.m_DomainName, leads);
    text = replaceAll(text, "\\n", "\n", leads);
    text = replaceAll(text, "\\t", "\t", leads);
    return text;
}
