#include "CEventEntry.h"

#include <cstring>

namespace {

// The record's bytes, with bounds, so that no field reads past its end.
struct RecordView {
    const char* bytes;
    size_t size; // Length, less the trailing copy of it

    // The NUL-terminated text at `offset`; empty when it does not end inside.
    bool text(size_t offset, std::string& out) const {
        out.clear();
        if (offset >= size)
            return false;
        const void* nul = std::memchr(bytes + offset, 0, size - offset);
        if (!nul)
            return false;
        out.assign(bytes + offset, static_cast<const char*>(nul));
        return true;
    }
};

const size_t kSidHeaderSize = 8;

// Account and domain of the record's SID, or false.
bool lookUpAccount(const RecordView& view, const EVENTLOGRECORD* record, std::string& user,
                   std::string& domain) {
    size_t offset = record->UserSidOffset, length = record->UserSidLength;
    if (length < kSidHeaderSize || offset > view.size || length > view.size - offset)
        return false;
    // A SID is exactly as long as its sub-authority count says; the platform
    // reads that many bytes whatever the record claims. The copy keeps it
    // aligned as the platform expects.
    const BYTE* bytes = reinterpret_cast<const BYTE*>(view.bytes) + offset;
    if (length != kSidHeaderSize + 4u * bytes[1])
        return false;
    DWORD sid[(kSidHeaderSize + 4 * 255) / 4];
    std::memcpy(sid, bytes, length);
    char name[261], domainName[261];
    DWORD nameSize = sizeof name, domainSize = sizeof domainName;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, sid, name, &nameSize, domainName, &domainSize, &use))
        return false;
    user.assign(name, strnlen(name, sizeof name));
    domain.assign(domainName, strnlen(domainName, sizeof domainName));
    return true;
}

} // namespace

const char* EventTypeName(WORD eventType) {
    switch (eventType) {
    case EVENTLOG_SUCCESS:
        return "Success";
    case EVENTLOG_ERROR_TYPE:
        return "Error";
    case EVENTLOG_WARNING_TYPE:
        return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
        return "Information";
    case EVENTLOG_AUDIT_SUCCESS:
        return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE:
        return "Audit Failure";
    default:
        return "N/A";
    }
}

void DecodeRecord(const EVENTLOGRECORD* record, CEventEntry& entry) {
    RecordView view{reinterpret_cast<const char*>(record),
                    record->Length >= sizeof(EVENTLOGRECORD) + 4 ? record->Length - 4
                                                                 : sizeof(EVENTLOGRECORD)};
    entry.m_EventID = record->EventID;
    entry.m_RecordNumber = record->RecordNumber;
    // Unsigned seconds: records from 2038 on keep their dates.
    entry.m_TimeGenerated = static_cast<int64_t>(record->TimeGenerated);
    entry.m_TimeWritten = static_cast<int64_t>(record->TimeWritten);
    entry.m_TypeName = EventTypeName(record->EventType);
    view.text(sizeof(EVENTLOGRECORD), entry.m_SourceName);

    if (record->UserSidLength == 0 ||
        !lookUpAccount(view, record, entry.m_UserName, entry.m_DomainName)) {
        entry.m_UserName = "N/A";
        entry.m_DomainName = "N/A";
    }

    entry.m_Strings.clear();
    size_t cursor = record->StringOffset;
    for (WORD i = 0; i < record->NumStrings; ++i) {
        std::string text;
        if (!view.text(cursor, text))
            break; // the rest of the strings would lie outside the record
        cursor += text.size() + 1;
        entry.m_Strings.push_back(std::move(text));
    }

    // Up to the first zero byte, or to the end of the record if none comes.
    entry.m_DataText.clear();
    if (record->DataOffset < view.size) {
        const char* start = view.bytes + record->DataOffset;
        const void* nul = std::memchr(start, 0, view.size - record->DataOffset);
        entry.m_DataText.assign(start,
                                nul ? static_cast<const char*>(nul) : view.bytes + view.size);
    }
}
