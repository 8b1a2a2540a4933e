#include "FormatEntry.h"

#include "../platform/local_time.h"
#include "../platform/win32api.h"

#include <algorithm>
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

// Replace-all that stops building once the text passes `limit` bytes: what
// lies beyond is cut anyway, and this keeps every step within a small
// multiple of the bound however many matches the text holds.
std::string replaceAll(const std::string& text, const std::string& pattern,
                       const std::string& value, LeadBytes& leads,
                       size_t limit = std::string::npos) {
    if (pattern.empty())
        return text.substr(0, limit);
    std::string out;
    // Room for one match: the usual case.
    out.reserve(
        std::min(std::max(text.size(), pattern.size()) - pattern.size() + value.size(), limit));
    size_t i = 0;
    for (;;) {
        if (out.size() >= limit) {
            out.resize(limit);
            return out;
        }
        size_t match = text.find(pattern, i);
        if (match == std::string::npos) {
            out.append(text, i, limit - out.size());
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

size_t wholeCharacters(const std::string& text, size_t limit, LeadBytes& leads) {
    if (text.size() <= limit)
        return text.size();
    size_t at = 0;
    for (;;) {
        size_t next = at + (leads.isLead(static_cast<unsigned char>(text[at])) ? 2 : 1);
        if (next > limit)
            return at;
        at = next;
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

std::string CutAtCharacter(std::string text, size_t limit) {
    LeadBytes leads;
    text.resize(wholeCharacters(text, limit, leads));
    return text;
}

std::string FormatEntry(const CEventEntry& entry, std::string messageText,
                        std::string outputTemplate) {
    LeadBytes leads;
    const size_t limit = kEntryTextLimit;
    std::string text = std::move(outputTemplate);
    // Each step stops a little past the bound (so that a lone lead byte at the
    // cut is seen as such), and the end cuts at a whole character. A sequence
    // the text does not hold costs one search: nothing is copied or made; a
    // text without '%' or '\\' holds none of those left.
    const size_t working = limit + 1;
    if (text.size() > working)
        text.resize(working);
    auto holdsSequences = [&] {
        return std::memchr(text.data(), '%', text.size()) ||
               std::memchr(text.data(), '\\', text.size());
    };
    bool pending = holdsSequences();
    auto step = [&](const char* sequence, auto value) {
        if (!pending || text.find(sequence) == std::string::npos)
            return;
        text = replaceAll(text, sequence, value(), leads, working);
        pending = holdsSequences();
    };
    step("%1", [&]() -> const std::string& { return entry.m_SourceName; });
    step("%2", [&]() -> const std::string& { return messageText; });
    step("%3", [&] {
        char eventId[16];
        std::snprintf(eventId, sizeof eventId, "0x%08X", static_cast<unsigned>(entry.m_EventID));
        return std::string(eventId);
    });
    step("%4", [&] { return dateText(entry.m_TimeGenerated); });
    step("%5", [&]() -> const std::string& { return entry.m_TypeName; });
    step("%6", [&]() -> const std::string& { return entry.m_UserName; });
    step("%7", [&]() -> const std::string& { return entry.m_DomainName; });
    step("\\n", [] { return std::string("\n"); });
    step("\\t", [] { return std::string("\t"); });
    text.resize(wholeCharacters(text, limit, leads));
    return text;
}
