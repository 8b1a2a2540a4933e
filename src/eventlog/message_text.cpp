// A record's message text: its source's message files, registered under the
// log in the registry, formatted with the record's insertion strings.
#include "../platform/local_block.h"
#include "../platform/platform_handles.h"
#include "CEventLogReader.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const DWORD kValueBufferSize = 261;
const DWORD kMinimumMessageSize = 1024;

// The highest %1..%99 a message's raw text uses ("%%" is an escape).
int highestInsert(const std::string& text) {
    int highest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        char c = text[i + 1];
        if (c >= '1' && c <= '9') {
            int n = c - '0';
            if (i + 2 < text.size() && text[i + 2] >= '0' && text[i + 2] <= '9')
                n = n * 10 + (text[i + 2] - '0');
            highest = std::max(highest, n);
        }
        ++i;
    }
    return highest;
}

// The record's insertion strings, read within the record's Length.
std::vector<std::string> insertionStrings(const EVENTLOGRECORD* record) {
    std::vector<std::string> strings;
    const char* bytes = reinterpret_cast<const char*>(record);
    size_t end = record->Length >= sizeof(EVENTLOGRECORD) + 4 ? record->Length - 4 : 0;
    size_t cursor = record->StringOffset;
    for (WORD i = 0; i < record->NumStrings && cursor < end; ++i) {
        const void* nul = std::memchr(bytes + cursor, 0, end - cursor);
        if (!nul)
            break;
        strings.emplace_back(bytes + cursor, static_cast<const char*>(nul));
        cursor += strings.back().size() + 1;
    }
    return strings;
}

std::string recordSource(const EVENTLOGRECORD* record) {
    const char* bytes = reinterpret_cast<const char*>(record);
    size_t end = record->Length >= sizeof(EVENTLOGRECORD) + 4 ? record->Length - 4 : 0;
    size_t start = sizeof(EVENTLOGRECORD);
    if (start >= end)
        return "";
    const void* nul = std::memchr(bytes + start, 0, end - start);
    return nul ? std::string(bytes + start, static_cast<const char*>(nul)) : "";
}

// `path` with its environment references expanded, however long the result.
std::string expandPath(const std::string& path) {
    std::vector<char> expanded(kValueBufferSize);
    DWORD needed = ExpandEnvironmentStringsA(path.c_str(), expanded.data(), kValueBufferSize);
    if (needed == 0)
        return path;
    if (needed > expanded.size()) {
        // Never use a path cut short: expand again into the size asked for.
        expanded.resize(needed);
        needed = ExpandEnvironmentStringsA(path.c_str(), expanded.data(), needed);
        if (needed == 0 || needed > expanded.size())
            return path;
    }
    return std::string(expanded.data());
}

// FormatMessageA into a string; false when it formats nothing.
bool formatMessage(DWORD flags, HMODULE module, DWORD id, ULONG_PTR* arguments, std::string& text) {
    char* buffer = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | flags, module, id, 0,
                                  reinterpret_cast<LPSTR>(&buffer), kMinimumMessageSize,
                                  reinterpret_cast<va_list*>(arguments));
    LocalBlock<char> owned(buffer);
    if (length == 0 || !buffer)
        return false;
    text.assign(buffer, length);
    return true;
}

// Formats message `id` of `module` (or the system's, with FROM_SYSTEM) with the
// record's strings, padded with empty ones up to the highest insert the message
// uses, so that no insert reads past the arguments.
bool formatWithInserts(DWORD source, HMODULE module, DWORD id,
                       const std::vector<std::string>& strings, std::string& text) {
    std::string raw;
    if (!formatMessage(source | FORMAT_MESSAGE_IGNORE_INSERTS, module, id, nullptr, raw))
        return false;
    size_t count = std::max<size_t>(strings.size(), static_cast<size_t>(highestInsert(raw)));
    std::vector<ULONG_PTR> arguments(count + 1, 0);
    static const char empty[] = "";
    for (size_t i = 0; i < count; ++i)
        arguments[i] = reinterpret_cast<ULONG_PTR>(i < strings.size() ? strings[i].c_str() : empty);
    return formatMessage(source | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, arguments.data(),
                         text);
}

} // namespace

std::string CEventLogReader::GetEntryMessageText(CEventEntry entry) {
    return GetRecordMessageText(entry.m_RecordNumber);
}

std::string CEventLogReader::GetRecordMessageText(DWORD recordNumber) {
    if (!IsOpen())
        return "";
    EVENTLOGRECORD* record = nullptr;
    if (!ReadRecord(recordNumber, &record, true))
        return "";
    LocalBlock<EVENTLOGRECORD> copy(record);
    return GetMessageText(copy.get());
}

std::string CEventLogReader::GetMessageText(const EVENTLOGRECORD* record) {
    if (!IsOpen())
        return "";
    std::string keyPath =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + m_LogName + "\\" + recordSource(record);
    HKEY rawKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &rawKey) != ERROR_SUCCESS)
        return "";
    UniqueRegKey key(rawKey);
    char value[kValueBufferSize] = {};
    DWORD type = 0, size = kValueBufferSize;
    if (RegQueryValueExA(key.get(), "EventMessageFile", nullptr, &type,
                         reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return "";
    std::string files(value, strnlen(value, std::min<DWORD>(size, kValueBufferSize)));

    // Each file of the list is asked in turn for the message in its own table.
    std::vector<std::string> strings = insertionStrings(record);
    bool anyLoaded = false;
    std::string text;
    for (size_t start = 0; start <= files.size();) {
        size_t end = files.find(';', start);
        if (end == std::string::npos)
            end = files.size();
        std::string file = files.substr(start, end - start);
        start = end + 1;
        if (file.empty())
            continue;
        UniqueModule module(
            LoadLibraryExA(expandPath(file).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
        if (!module)
            continue;
        anyLoaded = true;
        if (formatWithInserts(FORMAT_MESSAGE_FROM_HMODULE, module.get(), record->EventID, strings,
                              text))
            return text;
    }
    // As FROM_SYSTEM does after a single module: the system's table comes last.
    if (anyLoaded &&
        formatWithInserts(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, record->EventID, strings, text))
        return text;
    if (anyLoaded)
        CaptureLastError();
    return "";
}
