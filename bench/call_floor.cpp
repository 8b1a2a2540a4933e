#include "call_floor.h"

#include "src/eventlog/CEventEntry.h"
#include "src/eventlog/name_compare.h"
#include "src/eventlog/wevt_template.h"
#include "src/platform/local_time.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <type_traits>

namespace {

const char kEventlogKey[] = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";
const char kSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
const char kPublishersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WINEVT\\Publishers\\";
// As many slots as a message can read (message_text.cpp says why).
const size_t kSlots = 99 + 65535 / 2;
const char kEmpty[4] = {};

std::string expand(const std::string& path) {
    char out[261];
    DWORD n = ExpandEnvironmentStringsA(path.c_str(), out, sizeof out);
    return n == 0 || n > sizeof out ? path : std::string(out);
}

bool readValue(HKEY key, const char* name, std::string& text) {
    char value[262];
    DWORD type = 0, size = 261;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    text.assign(value, strnlen(value, size));
    return true;
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> files;
    for (size_t start = 0; start <= list.size() && files.size() < 64;) {
        size_t end = std::min(list.find(';', start), list.size());
        if (end > start)
            files.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return files;
}

bool notFound(DWORD code) {
    return code == ERROR_MR_MID_NOT_FOUND || code == ERROR_RESOURCE_TYPE_NOT_FOUND ||
           code == ERROR_RESOURCE_DATA_NOT_FOUND || code == ERROR_MUI_FILE_NOT_FOUND ||
           code == ERROR_MUI_FILE_NOT_LOADED || code == ERROR_RESOURCE_NAME_NOT_FOUND ||
           code == ERROR_RESOURCE_LANG_NOT_FOUND;
}

// 1: found, 0: not found, -1: failed.
int formatFrom(HMODULE module, DWORD flags, DWORD id, ULONG_PTR* slots, std::string& text) {
    char* buffer = nullptr;
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | flags, module, id, 0,
                       reinterpret_cast<LPSTR>(&buffer), 1024, reinterpret_cast<va_list*>(slots));
    DWORD error = n == 0 ? GetLastError() : 0;
    if (n != 0 && buffer)
        text.assign(buffer, n);
    LocalFree(buffer);
    return n != 0 && buffer ? 1 : notFound(error) ? 0 : -1;
}

// The modules one message loads, each once, freed with it.
struct Loaded {
    struct Module {
        std::string path;
        HMODULE module;
        DWORD error;
    };
    std::vector<Module> modules;
    ~Loaded() {
        for (Module& m : modules)
            if (m.module)
                FreeLibrary(m.module);
    }
    HMODULE load(const std::string& path, DWORD& error) {
        for (Module& m : modules)
            if (EqualsIgnoringCase(m.path, path)) {
                error = m.error;
                return m.module;
            }
        HMODULE module = LoadLibraryExA(path.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        error = module ? 0 : GetLastError();
        modules.push_back({path, module, error});
        return module;
    }
    // The first copy that loads; only a missing copy gives way to the next.
    template <class Paths> HMODULE first(const Paths& paths) {
        for (const std::string& path : paths) {
            DWORD error = 0;
            HMODULE module = load(path, error);
            if (module || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
                           error != ERROR_MOD_NOT_FOUND))
                return module;
        }
        return nullptr;
    }
};

std::string replaceAll(const std::string& text, const char* pattern, const std::string& value) {
    size_t at = text.find(pattern);
    if (at == std::string::npos)
        return text;
    std::string out;
    size_t from = 0, length = std::strlen(pattern);
    for (; at != std::string::npos; at = text.find(pattern, from)) {
        out.append(text, from, at - from).append(value);
        from = at + length;
    }
    return out.append(text, from, std::string::npos);
}

} // namespace

void CallFloor::nativePaths() {
    if (pathsKnown_)
        return;
    pathsKnown_ = true;
    wow64_ = expand("%ProgramW6432%") != "%ProgramW6432%";
    if (wow64_) {
        system_ = expand("%SystemRoot%\\System32\\");
        sysnative_ = expand("%SystemRoot%\\Sysnative\\");
    }
}

HANDLE CallFloor::open(const std::string& log) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kEventlogKey + log).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    RegCloseKey(key);
    // As the plugin's reader, a refresh starts with a buffer of 260 bytes and
    // learns the machine's native paths again; only the argument slots stay.
    buffer_.assign(260, 0);
    pathsKnown_ = false;
    return OpenEventLogA(nullptr, log.c_str());
}

bool CallFloor::read(HANDLE log, DWORD flags, DWORD number, DWORD& got) {
    for (;;) {
        DWORD needed = 0;
        if (ReadEventLogA(log, flags, number, buffer_.data(), static_cast<DWORD>(buffer_.size()),
                          &got, &needed))
            return true;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        buffer_.assign(needed, 0);
    }
}

void CallFloor::decode(const BYTE* bytes, Entry& entry) {
    auto* record = reinterpret_cast<const EVENTLOGRECORD*>(bytes);
    entry.recordNumber = record->RecordNumber;
    entry.eventId = record->EventID;
    entry.timeGenerated = record->TimeGenerated;
    entry.typeName = EventTypeName(record->EventType);
    entry.source = reinterpret_cast<const char*>(bytes + sizeof(EVENTLOGRECORD));
    entry.user = entry.domain = "N/A";
    if (record->UserSidLength >= 8) {
        char name[261], domain[261];
        DWORD nameSize = sizeof name, domainSize = sizeof domain;
        SID_NAME_USE use;
        DWORD sid[257];
        std::memcpy(sid, bytes + record->UserSidOffset, record->UserSidLength);
        if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
            entry.user = name;
            entry.domain = domain;
        }
    }
}

std::string CallFloor::messageText(HANDLE log, const std::string& logName, DWORD number) {
    DWORD got = 0;
    if (!read(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, number, got)) {
        // The plugin's answer to a refused seek: is the record in the log?
        DWORD oldest = 0, count = 0;
        GetOldestEventLogRecord(log, &oldest);
        GetNumberOfEventLogRecords(log, &count);
        return "";
    }
    DWORD length = reinterpret_cast<const EVENTLOGRECORD*>(buffer_.data())->Length;
    void* copy = LocalAlloc(LMEM_ZEROINIT, length);
    std::memcpy(copy, buffer_.data(), length);
    std::string text = format(static_cast<const EVENTLOGRECORD*>(copy), logName);
    LocalFree(copy);
    return text;
}

std::string CallFloor::format(const EVENTLOGRECORD* record, const std::string& logName) {
    const char* bytes = reinterpret_cast<const char*>(record);
    if (slots_.size() < kSlots + record->NumStrings)
        slots_.resize(kSlots + record->NumStrings, reinterpret_cast<ULONG_PTR>(kEmpty));
    std::string padded;
    const char* at = bytes + record->StringOffset;
    for (WORD i = 0; i < record->NumStrings; ++i, at += std::strlen(at) + 1)
        padded.append(at).append(4, '\0');
    std::string joined;
    at = padded.data();
    for (WORD i = 0; i < record->NumStrings; ++i, at += std::strlen(at) + 4) {
        slots_[i] = reinterpret_cast<ULONG_PTR>(at);
        joined.append(i ? "; " : "").append(at);
    }
    struct Restore {
        std::vector<ULONG_PTR>& slots;
        WORD count;
        ~Restore() {
            for (WORD i = 0; i < count; ++i)
                slots[i] = reinterpret_cast<ULONG_PTR>(kEmpty);
        }
    } restore{slots_, record->NumStrings};

    HKEY key = nullptr;
    std::string path = kSourcesKey + logName + "\\" + (bytes + sizeof(EVENTLOGRECORD));
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return joined;
    std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> keyOwner(key, RegCloseKey);
    nativePaths();
    Loaded loaded;
    auto candidates = [&](const std::string& file) {
        std::string expanded = expand(file), native;
        if (wow64_ && StartsWithIgnoringCase(expanded, system_))
            native = sysnative_ + expanded.substr(system_.size());
        else if (wow64_ && expanded.find_first_of("\\/:") == std::string::npos)
            native = sysnative_ + expanded;
        else if (wow64_ && StartsWithIgnoringCase(file, "%ProgramFiles%\\"))
            native = expand("%ProgramW6432%\\" + file.substr(15));
        else if (wow64_ && StartsWithIgnoringCase(file, "%CommonProgramFiles%\\"))
            native = expand("%CommonProgramW6432%\\" + file.substr(21));
        return native.empty() ? std::vector<std::string>{expanded}
                              : std::vector<std::string>{native, expanded};
    };
    // Every copy of the files of `list` in turn until one has message `id`.
    auto word = [&](const std::string& list, DWORD id, std::string& text) {
        for (const std::string& file : split(list))
            for (const std::string& candidate : candidates(file)) {
                DWORD error = 0;
                HMODULE module = loaded.load(candidate, error);
                if (!module)
                    continue;
                int found =
                    formatFrom(module, FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                               id, slots_.data(), text);
                if (found != 0)
                    return found;
            }
        return 0;
    };

    std::string files, text, parameterList;
    int found = readValue(key, "EventMessageFile", files) ? word(files, record->EventID, text) : 0;
    HKEY parameterKey = key, publisher = nullptr;
    const char* parameterValue = "ParameterMessageFile";
    std::string guidText;
    if (found == 0 && readValue(key, "ProviderGuid", guidText) && guidText.size() == 38 &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kPublishersKey + guidText).c_str(), 0,
                      KEY_READ | KEY_WOW64_64KEY, &publisher) == ERROR_SUCCESS) {
        // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", the first three fields
        // stored little-endian.
        static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
        uint8_t guid[16];
        auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
        for (int i = 0, at = 1; i < 16; ++i, at += 2) {
            at += guidText[at] == '-';
            guid[kOrder[i]] = static_cast<uint8_t>(hex(guidText[at]) * 16 + hex(guidText[at + 1]));
        }
        std::string resources, messages;
        readValue(publisher, "ResourceFileName", resources);
        readValue(publisher, "MessageFileName", messages);
        uint32_t id = 0;
        bool named = false;
        for (const std::string& file : split(resources)) {
            HMODULE module = loaded.first(candidates(file));
            HRSRC resource =
                module ? FindResourceA(module, MAKEINTRESOURCEA(1), "WEVT_TEMPLATE") : nullptr;
            if (!resource)
                continue;
            auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, resource)));
            if (data && FindManifestMessage(data, SizeofResource(module, resource), guid,
                                            LOWORD(record->EventID), record->NumStrings, id)) {
                named = true;
                break;
            }
        }
        if (named)
            found = word(messages, id, text);
        parameterKey = publisher;
        parameterValue = "ParameterFileName";
    }
    std::string result = found == 0 ? joined : found < 0 ? "" : text;
    // "%%N": parameter message N, from the parameter files, then the system.
    size_t percent = found > 0 ? text.find("%%") : std::string::npos;
    while (percent != std::string::npos &&
           !(percent + 2 < text.size() && text[percent + 2] >= '0' && text[percent + 2] <= '9'))
        percent = text.find("%%", percent + 1);
    if (percent != std::string::npos && readValue(parameterKey, parameterValue, parameterList)) {
        std::vector<HMODULE> parameterFiles;
        for (const std::string& file : split(parameterList))
            if (HMODULE module = loaded.first(candidates(file)))
                parameterFiles.push_back(module);
        std::map<DWORD, std::string> known;
        result.assign(text, 0, percent);
        for (size_t i = percent; i < text.size();) {
            if (text.compare(i, 2, "%%") != 0 || i + 2 >= text.size() || text[i + 2] < '0' ||
                text[i + 2] > '9') {
                result += text[i++];
                continue;
            }
            size_t end = i + 2;
            DWORD id = 0;
            while (end < text.size() && text[end] >= '0' && text[end] <= '9')
                id = id * 10 + static_cast<DWORD>(text[end++] - '0');
            auto cached = known.find(id);
            if (cached == known.end()) {
                std::string value;
                bool resolved = false;
                for (HMODULE module : parameterFiles)
                    if ((resolved =
                             formatFrom(module,
                                        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        id, nullptr, value) == 1))
                        break;
                if (!resolved)
                    resolved =
                        formatFrom(nullptr,
                                   FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, id,
                                   nullptr, value) == 1;
                if (resolved && value.size() >= 2 &&
                    value.compare(value.size() - 2, 2, "\r\n") == 0)
                    value.resize(value.size() - 2);
                else if (resolved && !value.empty() && value.back() == '\n')
                    value.pop_back();
                cached = known.emplace(id, resolved ? value : text.substr(i, end - i)).first;
            }
            result += cached->second;
            i = end;
        }
    }
    if (publisher)
        RegCloseKey(publisher);
    return result;
}

std::string CallFloor::render(const Entry& entry, const std::string& message,
                              const std::string& outputTemplate) {
    std::string text = replaceAll(outputTemplate, "%1", entry.source);
    text = replaceAll(text, "%2", message);
    if (text.find("%3") != std::string::npos) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(entry.eventId));
        text = replaceAll(text, "%3", id);
    }
    if (text.find("%4") != std::string::npos) {
        std::tm local{};
        char date[128] = "";
        if (LocalTime64(entry.timeGenerated, local))
            std::strftime(date, sizeof date, "%d/%m/%y, %H:%M:%S", &local);
        text = replaceAll(text, "%4", date);
    }
    text = replaceAll(text, "%5", entry.typeName);
    text = replaceAll(text, "%6", entry.user);
    text = replaceAll(text, "%7", entry.domain);
    text = replaceAll(text, "\\n", "\n");
    return replaceAll(text, "\\t", "\t");
}

std::string CallFloor::NewestEntries(const std::string& log, const std::string& outputTemplate) {
    HANDLE handle = open(log);
    if (!handle)
        return "(the floor knows registered logs only)";
    DWORD count = 0, oldest = 0;
    GetNumberOfEventLogRecords(handle, &count);
    GetOldestEventLogRecord(handle, &oldest);
    std::vector<Entry> entries;
    entries.reserve(25);
    DWORD got = 0;
    while (entries.size() < 25 &&
           read(handle, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, got)) {
        for (DWORD at = 0; at < got;) {
            entries.emplace_back();
            decode(buffer_.data() + at, entries.back());
            at += reinterpret_cast<const EVENTLOGRECORD*>(buffer_.data() + at)->Length;
        }
    }
    std::string result;
    const Entry empty;
    for (size_t i = 0; i < 25; ++i) {
        const Entry& entry = i < entries.size() ? entries[i] : empty;
        result += render(entry, messageText(handle, log, entry.recordNumber), outputTemplate);
    }
    CloseEventLog(handle);
    return result;
}

std::string CallFloor::NewestEntry(const std::string& log, const std::string& outputTemplate) {
    HANDLE handle = open(log);
    if (!handle)
        return "(the floor knows registered logs only)";
    DWORD oldest = 0, count = 0, got = 0;
    GetOldestEventLogRecord(handle, &oldest);
    GetNumberOfEventLogRecords(handle, &count);
    Entry entry;
    std::string result = "(the floor knows logs whose newest record reads only)";
    if (read(handle, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, oldest + count - 1, got)) {
        DWORD length = reinterpret_cast<const EVENTLOGRECORD*>(buffer_.data())->Length;
        void* copy = LocalAlloc(LMEM_ZEROINIT, length);
        std::memcpy(copy, buffer_.data(), length);
        decode(static_cast<const BYTE*>(copy), entry);
        LocalFree(copy);
        result = render(entry, messageText(handle, log, entry.recordNumber), outputTemplate);
    }
    CloseEventLog(handle);
    return result;
}
