// A record's message text: its source's message files, registered under the
// log in the registry, formatted with the record's insertion strings; for a
// manifest-based provider the message its compiled manifest (WEVT_TEMPLATE)
// names for the event, from the publisher's message file.
#include "../platform/local_block.h"
#include "../platform/platform_handles.h"
#include "CEventLogReader.h"
#include "name_compare.h"
#include "wevt_template.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace {

const DWORD kValueBufferSize = 261;
// At most this many files of a list are tried for one message.
const size_t kMaxListedFiles = 64;
const char kPublishersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WINEVT\\Publishers\\";
const DWORD kMinimumMessageSize = 1024;
// How many argument slots a message can read, by the format's own limits: a
// message table entry holds at most 65,535 bytes; its inserts name slots 1 to
// 99, and each "*" width or precision takes the slot after the highest read so
// far, at most two an insert of at least six characters ("%1!**!"), one more
// a 64-bit insert in a 32-bit process. One slot for every two bytes of the
// entry, after the 99, is more than any message can ask for.
const size_t kArgumentSlots = 99 + 65535 / 2;
// Every string handed to FormatMessageA ends in this many NUL bytes: a message
// that reads an insert as a wide string (%1!S!) stops at the first aligned
// pair of them, whatever the string's length.
const size_t kTerminatorBytes = 4;
const char kEmptyInsert[kTerminatorBytes] = {};
// Parameter strings make a message longer; past this size the rest of it is
// kept as it stands (no desktop shows that much of one entry anyway).
const size_t kParameterExpansionLimit = 64 * 1024;
// At most this many distinct parameter messages are looked up for one message;
// any "%%N" after them stays as it stands. A lookup walks a message block's
// entries in order (on Windows too), so thousands of "%%N" against a file of
// millions of messages would otherwise take minutes of one refresh.
const size_t kParameterLookupLimit = 64;

// The record's insertion strings, read within the record's Length, in the
// argument array FormatMessageA takes: the reader's slots, every one past the
// strings an empty string, given back empty when the message is done.
class InsertArguments {
  public:
    InsertArguments(const EVENTLOGRECORD* record, std::vector<ULONG_PTR>& slots) : slots_(slots) {
        const char* bytes = reinterpret_cast<const char*>(record);
        size_t end = record->Length >= sizeof(EVENTLOGRECORD) + 4 ? record->Length - 4 : 0;
        // The strings end to end, each padded, in one block that is not moved
        // once the slots point into it.
        size_t cursor = record->StringOffset, size = 0;
        for (WORD i = 0; i < record->NumStrings && cursor < end; ++i) {
            const void* nul = std::memchr(bytes + cursor, 0, end - cursor);
            if (!nul)
                break;
            size_t length = static_cast<const char*>(nul) - (bytes + cursor);
            size += length + kTerminatorBytes;
            cursor += length + 1;
            ++count_;
        }
        strings_.reserve(size);
        size_t needed = kArgumentSlots + count_;
        if (slots_.size() < needed)
            slots_.resize(needed, reinterpret_cast<ULONG_PTR>(kEmptyInsert));
        cursor = record->StringOffset;
        for (size_t i = 0; i < count_; ++i) {
            size_t length = std::strlen(bytes + cursor);
            slots_[i] = reinterpret_cast<ULONG_PTR>(strings_.data() + strings_.size());
            strings_.append(bytes + cursor, length).append(kTerminatorBytes, '\0');
            cursor += length + 1;
        }
    }
    ~InsertArguments() {
        std::fill_n(slots_.begin(), count_, reinterpret_cast<ULONG_PTR>(kEmptyInsert));
    }
    InsertArguments(const InsertArguments&) = delete;
    InsertArguments& operator=(const InsertArguments&) = delete;
    va_list* array() { return reinterpret_cast<va_list*>(slots_.data()); }
    size_t count() const { return count_; }

    // The strings one after another, "; " between them: the text of an event
    // no message file words (the platform's viewer lists the same values one
    // per line).
    std::string joined() const {
        std::string out;
        for (size_t i = 0; i < count_; ++i) {
            if (i > 0)
                out += "; ";
            out.append(reinterpret_cast<const char*>(slots_[i]));
        }
        return out;
    }

  private:
    std::vector<ULONG_PTR>& slots_;
    std::string strings_;
    size_t count_ = 0;
};

// The record's SourceName appended to `out`.
void appendRecordSource(const EVENTLOGRECORD* record, std::string& out) {
    const char* bytes = reinterpret_cast<const char*>(record);
    size_t end = record->Length >= sizeof(EVENTLOGRECORD) + 4 ? record->Length - 4 : 0;
    size_t start = sizeof(EVENTLOGRECORD);
    if (start >= end)
        return;
    if (const void* nul = std::memchr(bytes + start, 0, end - start))
        out.append(bytes + start, static_cast<const char*>(nul));
}

// `path` with its environment references expanded, however long the result.
std::string expandPath(const std::string& path) {
    char first[kValueBufferSize];
    DWORD needed = ExpandEnvironmentStringsA(path.c_str(), first, kValueBufferSize);
    if (needed == 0)
        return path;
    if (needed <= kValueBufferSize)
        return std::string(first, strnlen(first, needed));
    // Never use a path cut short: expand again into the size asked for.
    std::vector<char> expanded(needed);
    needed = ExpandEnvironmentStringsA(path.c_str(), expanded.data(), needed);
    if (needed == 0 || needed > expanded.size())
        return path;
    return std::string(expanded.data(), strnlen(expanded.data(), needed));
}

// A text value of any length (REG_SZ or REG_EXPAND_SZ), or false when it is
// missing or not a text.
bool readText(HKEY key, const char* valueName, std::string& text) {
    // Nearly every value fits the first buffer: one call; a longer one is
    // read again into the size it asks for.
    char first[kValueBufferSize + 1];
    std::vector<char> value;
    char* buffer = first;
    DWORD capacity = kValueBufferSize;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0, got = capacity;
        LSTATUS status =
            RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &got);
        if (status == ERROR_MORE_DATA) {
            value.assign(got + 1, '\0');
            buffer = value.data();
            capacity = got;
            continue;
        }
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            return false;
        got = std::min(got, capacity);
        text.assign(buffer, strnlen(buffer, got));
        return true;
    }
    return false;
}

// A list of files from a key's value ("a.dll;b.dll"), whatever its length,
// its first 64 files; false when the value is missing.
bool readFileList(HKEY key, const char* valueName, std::vector<std::string>& files) {
    std::string list;
    if (!readText(key, valueName, list))
        return false;
    for (size_t start = 0; start <= list.size() && files.size() < kMaxListedFiles;) {
        size_t end = std::min(list.find(';', start), list.size());
        if (end > start)
            files.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// A message file is read for its resources alone: as a data file, which takes
// an image of either word size. Before Vista the platform refuses
// LOAD_LIBRARY_AS_IMAGE_RESOURCE (ERROR_INVALID_PARAMETER).
UniqueModule loadDataFile(const std::string& path) {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return UniqueModule(module);
}

// Where a 32-bit process on 64-bit Windows finds the native file a path names:
// System32 reaches the 32-bit SysWOW64 (which lacks many system message files
// and may hold a different copy), Sysnative the real one; 64-bit programs
// register files under the native program folders. "" for any other path.
std::string nativeAlternative(const CEventLogReader::NativePaths& native, const std::string& file,
                              const std::string& expanded) {
    if (StartsWithIgnoringCase(expanded, native.system))
        return native.sysnative + expanded.substr(native.system.size());
    if (expanded.find_first_of("\\/:") == std::string::npos)
        return native.sysnative + expanded;
    for (const auto& [wow, nativeFolder] :
         {std::pair<const char*, const char*>{"%ProgramFiles%\\", "%ProgramW6432%\\"},
          {"%CommonProgramFiles%\\", "%CommonProgramW6432%\\"}}) {
        std::string prefix = wow;
        if (StartsWithIgnoringCase(file, prefix))
            return expandPath(nativeFolder + file.substr(prefix.size()));
    }
    return "";
}

// Up to two paths, in the order they are tried.
struct Candidates {
    std::string path[2];
    size_t count = 0;
    const std::string* begin() const { return path; }
    const std::string* end() const { return path + count; }
};

// The paths a registered file is loaded from, in turn: the native file first,
// the one the platform's 64-bit event viewer reads (so its text is the one
// shown where the two copies differ, and the dearest call of a refresh, a
// failed load in SysWOW64, is not made for a 64-bit-only file), then the path
// as it stands.
Candidates messageFileCandidates(const CEventLogReader::NativePaths& native,
                                 const std::string& file) {
    Candidates candidates;
    std::string expanded = expandPath(file);
    std::string alternative = native.wow64 ? nativeAlternative(native, file, expanded) : "";
    if (!alternative.empty())
        candidates.path[candidates.count++] = std::move(alternative);
    candidates.path[candidates.count++] = std::move(expanded);
    return candidates;
}

bool isMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_MOD_NOT_FOUND;
}

// The files one message loads, each once: a file that serves several roles
// (message file, resource file) is loaded once, and one that failed to load is
// not tried again. All are given back when the message is done.
class MessageFiles {
  public:
    explicit MessageFiles(const CEventLogReader::NativePaths& native) : native_(native) {}
    // The module of `path` (one of messageFileCandidates), loaded on first use;
    // null, with the load's error as the last error, when it does not load.
    HMODULE load(const std::string& path) {
        for (const Entry& entry : loaded_)
            if (EqualsIgnoringCase(entry.path, path)) {
                SetLastError(entry.error);
                return entry.module.get();
            }
        UniqueModule module = loadDataFile(path);
        DWORD error = module ? ERROR_SUCCESS : GetLastError();
        loaded_.push_back({path, std::move(module), error});
        SetLastError(error);
        return loaded_.back().module.get();
    }
    // The first copy of a registered file that loads; a missing copy gives
    // way to the next, a failure of any other kind ends the search.
    HMODULE first(const std::string& registered) {
        HMODULE module = nullptr;
        for (const std::string& path : messageFileCandidates(native_, registered)) {
            module = load(path);
            if (module || !isMissing(GetLastError()))
                break;
        }
        return module;
    }

  private:
    struct Entry {
        std::string path;
        UniqueModule module;
        DWORD error;
    };
    const CEventLogReader::NativePaths& native_;
    std::vector<Entry> loaded_;
};

// What asking one message table for a message came to.
enum class Lookup { Found, NotFound, Failed };

// Only these mean "this table has no such message": any other failure is of a
// message that exists, and another table's message of that number is not it.
// A file without resources answers ERROR_RESOURCE_DATA_NOT_FOUND (Wine), and
// Windows 10 a missing message of a file whose language satellite is missing
// or unusable with the two MUI codes.
bool isNotFound(DWORD code) {
    return code == ERROR_MR_MID_NOT_FOUND || code == ERROR_RESOURCE_TYPE_NOT_FOUND ||
           code == ERROR_RESOURCE_DATA_NOT_FOUND || code == ERROR_MUI_FILE_NOT_FOUND ||
           code == ERROR_MUI_FILE_NOT_LOADED || code == ERROR_RESOURCE_NAME_NOT_FOUND ||
           code == ERROR_RESOURCE_LANG_NOT_FOUND;
}

// FormatMessageA into `text`; on failure `error` holds the platform's code.
Lookup formatMessage(DWORD flags, HMODULE module, DWORD id, va_list* arguments, std::string& text,
                     DWORD& error) {
    char* buffer = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | flags, module, id, 0,
                                  reinterpret_cast<LPSTR>(&buffer), kMinimumMessageSize, arguments);
    error = length == 0 ? GetLastError() : ERROR_SUCCESS;
    LocalBlock<char> owned(buffer);
    if (length == 0 || !buffer) {
        if (error == ERROR_SUCCESS)
            error = ERROR_NO_WORK_DONE;
        return isNotFound(error) ? Lookup::NotFound : Lookup::Failed;
    }
    text.assign(buffer, length);
    return Lookup::Found;
}

// The text of parameter message `id`: from the source's parameter files in
// turn, then the system's table; without its final line break.
bool parameterText(const std::vector<HMODULE>& files, DWORD id, std::string& text) {
    DWORD error = 0;
    bool found = false;
    for (HMODULE file : files) {
        if (formatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, file, id,
                          nullptr, text, error) == Lookup::Found) {
            found = true;
            break;
        }
    }
    if (!found)
        found = formatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              id, nullptr, text, error) == Lookup::Found;
    if (!found)
        return false;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    else if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return true;
}

// Replaces each "%%N" (N decimal: an insertion string that names a parameter
// message) with the text of message N, as the platform's event viewer shows
// it. A "%%N" that nothing resolves stays; replaced text is not read again.
// The parameter files are the list `valueName` of `filesKey`, read only for a
// text that holds a "%%N".
std::string expandParameters(HKEY filesKey, const char* valueName, MessageFiles& loaded,
                             std::string text) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t at = text.find("%%");
    while (at != std::string::npos && !(at + 2 < text.size() && isDigit(text[at + 2])))
        at = text.find("%%", at + 1);
    if (at == std::string::npos)
        return text;

    std::vector<std::string> parameterFiles;
    readFileList(filesKey, valueName, parameterFiles);
    std::vector<HMODULE> files;
    for (const std::string& name : parameterFiles)
        if (HMODULE file = loaded.first(name))
            files.push_back(file);

    std::map<DWORD, std::string> known;
    std::string out(text, 0, at);
    size_t i = at;
    while (i < text.size()) {
        if (out.size() > kParameterExpansionLimit || text.compare(i, 2, "%%") != 0 ||
            i + 2 >= text.size() || !isDigit(text[i + 2])) {
            out += text[i++];
            continue;
        }
        size_t digits = i + 2;
        uint64_t id = 0;
        while (digits < text.size() && isDigit(text[digits]) && id <= 0xFFFFFFFFu)
            id = id * 10 + static_cast<uint64_t>(text[digits++] - '0');
        if (id > 0xFFFFFFFFu) {
            out.append(text, i, digits - i);
            i = digits;
            continue;
        }
        auto cached = known.find(static_cast<DWORD>(id));
        if (cached == known.end() && known.size() >= kParameterLookupLimit) {
            out.append(text, i, digits - i);
            i = digits;
            continue;
        }
        if (cached == known.end()) {
            std::string value;
            if (!parameterText(files, static_cast<DWORD>(id), value))
                value = text.substr(i, digits - i);
            cached = known.emplace(static_cast<DWORD>(id), std::move(value)).first;
        }
        out += cached->second;
        i = digits;
    }
    return out;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as a GUID is stored: the first
// three fields little-endian.
bool parseGuid(const std::string& text, uint8_t guid[16]) {
    static const int kFields[] = {8, 4, 4, 4, 12};
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    std::vector<uint8_t> bytes;
    size_t at = 1;
    for (int field : kFields) {
        for (int i = 0; i < field; i += 2, at += 2) {
            auto hex = [](char c) {
                return c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
            };
            int high = hex(text[at]), low = hex(text[at + 1]);
            if (high < 0 || low < 0)
                return false;
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
        if (at < 37 && text[at++] != '-')
            return false;
    }
    std::reverse(bytes.begin(), bytes.begin() + 4);
    std::reverse(bytes.begin() + 4, bytes.begin() + 6);
    std::reverse(bytes.begin() + 6, bytes.begin() + 8);
    std::copy(bytes.begin(), bytes.end(), guid);
    return true;
}

// The manifest way, for a source with a ProviderGuid that the legacy way did
// not word: the publisher's key (in the registry's 64-bit view, where Windows
// keeps it; a 32-bit process is shown WOW6432Node otherwise), its resource
// file's WEVT_TEMPLATE for the message that words the event, and that message
// from its message file. `publisherKey` gets the publisher's key, which names
// its parameter files.
Lookup manifestMessage(const CEventLogReader::NativePaths& native, HKEY source,
                       const EVENTLOGRECORD* record, InsertArguments& inserts, MessageFiles& loaded,
                       std::string& text, DWORD& error, UniqueRegKey& publisherKey) {
    std::string guidText;
    uint8_t guid[16];
    if (!readText(source, "ProviderGuid", guidText) || !parseGuid(guidText, guid))
        return Lookup::NotFound;
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kPublishersKey + guidText).c_str(), 0,
                      KEY_READ | KEY_WOW64_64KEY, &raw) != ERROR_SUCCESS)
        return Lookup::NotFound;
    UniqueRegKey publisher(raw);
    std::vector<std::string> resources, messages;
    readFileList(publisher.get(), "ResourceFileName", resources);
    readFileList(publisher.get(), "MessageFileName", messages);
    uint32_t messageId = 0;
    bool named = false;
    for (const std::string& file : resources) {
        HMODULE module = loaded.first(file);
        HRSRC found =
            module ? FindResourceA(module, MAKEINTRESOURCEA(1), "WEVT_TEMPLATE") : nullptr;
        if (!found)
            continue;
        const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
        DWORD size = SizeofResource(module, found);
        if (bytes && FindManifestMessage(bytes, size, guid, LOWORD(record->EventID),
                                         inserts.count(), messageId)) {
            named = true;
            break;
        }
    }
    if (!named)
        return Lookup::NotFound;
    for (const std::string& file : messages) {
        for (const std::string& path : messageFileCandidates(native, file)) {
            HMODULE module = loaded.load(path);
            if (!module)
                continue;
            Lookup lookup =
                formatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                              messageId, inserts.array(), text, error);
            if (lookup != Lookup::NotFound) {
                publisherKey = std::move(publisher);
                return lookup;
            }
        }
    }
    return Lookup::NotFound;
}

} // namespace

const CEventLogReader::NativePaths& CEventLogReader::GetNativePaths() {
    if (m_NativePaths.known)
        return m_NativePaths;
    m_NativePaths.known = true;
    // Only 64-bit Windows gives a 32-bit process %ProgramW6432%: elsewhere
    // there is no native folder to try.
    static const char kNativeProgramFiles[] = "%ProgramW6432%";
    m_NativePaths.wow64 = expandPath(kNativeProgramFiles) != kNativeProgramFiles;
    if (m_NativePaths.wow64) {
        m_NativePaths.system = expandPath("%SystemRoot%\\System32\\");
        m_NativePaths.sysnative = expandPath("%SystemRoot%\\Sysnative\\");
    }
    return m_NativePaths;
}

std::string CEventLogReader::GetEntryMessageText(const CEventEntry& entry) {
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
    // An event's identifier is not an error code: its message is looked up in
    // its own message files alone, never in the system's table, and an event
    // no file words shows its insertion strings.
    InsertArguments inserts(record, m_ArgumentSlots);
    static const char kSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
    std::string keyPath;
    keyPath.reserve(sizeof kSourcesKey + m_LogName.size() + 64);
    keyPath.append(kSourcesKey).append(m_LogName).append(1, '\\');
    appendRecordSource(record, keyPath);
    HKEY rawKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &rawKey) != ERROR_SUCCESS)
        return inserts.joined();
    UniqueRegKey key(rawKey);
    const NativePaths& native = GetNativePaths();
    MessageFiles loaded(native);
    std::string text;
    DWORD error = 0;

    // The legacy way: each file of the list is asked in turn for the record's
    // full identifier in its own table, a file's second copy too when the
    // first lacks the message.
    Lookup lookup = Lookup::NotFound;
    std::vector<std::string> files;
    readFileList(key.get(), "EventMessageFile", files);
    for (const std::string& file : files) {
        for (const std::string& path : messageFileCandidates(native, file)) {
            HMODULE module = loaded.load(path);
            if (!module)
                continue;
            lookup = formatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   module, record->EventID, inserts.array(), text, error);
            if (lookup != Lookup::NotFound)
                break;
        }
        if (lookup != Lookup::NotFound)
            break;
    }
    HKEY parameterKey = key.get();
    const char* parameterValue = "ParameterMessageFile";
    UniqueRegKey publisher;
    if (lookup == Lookup::NotFound) {
        lookup =
            manifestMessage(native, key.get(), record, inserts, loaded, text, error, publisher);
        parameterKey = publisher.get();
        parameterValue = "ParameterFileName";
    }
    if (lookup == Lookup::NotFound)
        return inserts.joined();
    if (lookup != Lookup::Found) {
        SetLastError(error);
        CaptureLastError();
        return "";
    }
    return expandParameters(parameterKey, parameterValue, loaded, std::move(text));
}
