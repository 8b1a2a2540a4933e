// INI files: GetPrivateProfileStringA and WritePrivateProfileStringA.
//
// The rules are the platform's, checked against Wine by the conformance probe.
// A file is read whole, in the encoding its start shows (a UTF-8 or UTF-16
// byte order mark, else ANSI in the machine's code page), and split into lines
// at every run of CR and LF. A line is trimmed of blanks (tab to CR, ^Z and
// space) at both ends; one that begins with "[" and holds a "]" opens a section
// named by what lies between, trimmed; any other line is a key, its name ending
// at the first "=" (blanks before it dropped) and its value starting after it
// (blanks dropped); a line without "=" is a key without a value. Keys before the
// first section belong to the section "". Sections and keys are found without
// regard to case, the first section of a name only, the first key of a name in
// it. A file name without a directory part lives in C:\Windows.
//
// A write changes that tree and writes it back whole, in the file's own
// encoding, as the platform does: a section's header on its line, its keys
// below, blank lines gone, comments kept as the valueless keys they were read
// as. A file that is there but cannot be read (a folder, a FIFO, a device, no
// permission) is never replaced: the write fails with ERROR_ACCESS_DENIED and a
// read gives the default.
#include "../win32api.h"
#include "codepage.h"
#include "machine.h"

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

enum class Encoding { Ansi, Utf8, Utf16LE, Utf16BE };

struct IniKey {
    std::u16string name;
    std::optional<std::u16string> value;
};

struct IniSection {
    std::u16string name;
    std::vector<IniKey> keys;
};

struct IniFile {
    Encoding encoding = Encoding::Ansi;
    std::vector<IniSection> sections{IniSection{}}; // the first is the unnamed one
};

bool isIniBlank(char16_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x1a || c == 0x20;
}

std::u16string trimmed(const std::u16string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isIniBlank(text[begin]))
        ++begin;
    while (end > begin && isIniBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool sameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

std::u16string utf16Units(const std::string& bytes, size_t start, bool bigEndian) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[i]);
        unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
        text += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    return text;
}

IniFile parseIni(const std::string& bytes) {
    IniFile file;
    std::u16string text;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        file.encoding = Encoding::Utf8;
        text = emu::utf8ToWide(bytes.substr(3));
    } else if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        file.encoding = Encoding::Utf16LE;
        text = utf16Units(bytes, 2, false);
    } else if (bytes.compare(0, 2, "\xFE\xFF") == 0) {
        file.encoding = Encoding::Utf16BE;
        text = utf16Units(bytes, 2, true);
    } else {
        text = emu::ansiToWide(bytes);
    }
    IniSection* section = &file.sections.front();
    const IniKey* previous = nullptr;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of(u"\r\n", at);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = trimmed(text.substr(at, end - at));
        at = text.find_first_not_of(u"\r\n", end);
        if (at == std::u16string::npos)
            at = text.size();
        if (line.empty())
            continue;
        size_t close = line.rfind(u']');
        if (line[0] == u'[' && close != std::u16string::npos) {
            file.sections.push_back(IniSection{trimmed(line.substr(1, close - 1)), {}});
            section = &file.sections.back();
            previous = nullptr;
            continue;
        }
        IniKey key;
        size_t equals = line.find(u'=');
        key.name = trimmed(line.substr(0, equals));
        if (equals != std::u16string::npos)
            key.value = trimmed(line.substr(equals + 1));
        // A nameless key is kept once in a row, as the platform keeps it.
        if (!key.name.empty() || !previous || !previous->name.empty()) {
            section->keys.push_back(std::move(key));
            previous = &section->keys.back();
        }
    }
    return file;
}

std::string formatIni(const IniFile& file) {
    std::u16string text;
    for (const IniSection& section : file.sections) {
        if (!section.name.empty())
            text += u"[" + section.name + u"]\r\n";
        for (const IniKey& key : section.keys) {
            text += key.name;
            if (key.value)
                text += u"=" + *key.value;
            text += u"\r\n";
        }
    }
    switch (file.encoding) {
    case Encoding::Ansi:
        return emu::wideToAnsi(text);
    case Encoding::Utf8:
        return "\xEF\xBB\xBF" + emu::wideToUtf8(text);
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        bool big = file.encoding == Encoding::Utf16BE;
        std::string out = big ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t c : text) {
            char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
            out += big ? high : low;
            out += big ? low : high;
        }
        return out;
    }
    }
    return "";
}

IniSection* findSection(IniFile& file, const std::u16string& name) {
    std::u16string wanted = trimmed(name);
    for (IniSection& section : file.sections)
        if (sameName(section.name, wanted))
            return &section;
    return nullptr;
}

IniKey* findKey(IniSection& section, const std::u16string& name) {
    std::u16string wanted = trimmed(name);
    for (IniKey& key : section.keys)
        if (sameName(key.name, wanted))
            return &key;
    return nullptr;
}

std::string resolveIniPath(const std::string& fileName) {
    bool hasDirectory = fileName.find_first_of("\\/") != std::string::npos ||
                        (fileName.size() >= 2 && fileName[1] == ':');
    if (!hasDirectory)
        return emu::processPath("C:\\Windows\\" + fileName);
    return emu::processPath(fileName);
}

// Copies `value` into `buffer` cut to size - 1 characters; with `stripQuotes`, a
// value in matching quotes loses them (the platform's rule, truncation included).
DWORD copyEntry(const std::string& value, char* buffer, DWORD size, bool stripQuotes) {
    std::string text = value;
    bool quoted = false;
    if (stripQuotes && text.size() > 1 && (text[0] == '"' || text[0] == '\'') &&
        text.back() == text[0]) {
        quoted = true;
        text.erase(0, 1);
    }
    std::string copied = text.substr(0, size - 1);
    if (quoted && size >= text.size() && !copied.empty())
        copied.pop_back();
    std::memcpy(buffer, copied.c_str(), copied.size() + 1);
    return static_cast<DWORD>(copied.size());
}

} // namespace

// GetPrivateProfileStringA: copies the value of `key` in `section` of `fileName`,
// or `defaultValue` (trailing spaces dropped) when the file, section, key or value
// is missing, into `buffer`, cut to size - 1 characters. Returns the characters
// copied; the default loses matching quotes as a value does. Listing the
// sections or keys (a NULL section or key) is not emulated: 0 and
// ERROR_INVALID_PARAMETER.
extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                                 LPSTR buffer, DWORD size, LPCSTR fileName) {
    if (buffer && size)
        buffer[0] = '\0'; // whatever happens below, the caller gets a text
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        if (!buffer || size == 0)
            return 0;
        if (!section || !key) {
            buffer[0] = '\0';
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string fallback = defaultValue ? defaultValue : "";
        while (!fallback.empty() && fallback.back() == ' ')
            fallback.pop_back();

        std::string contents;
        std::string path = resolveIniPath(fileName ? fileName : "win.ini");
        if (path.empty() || emu::readRegularFile(path, contents) != emu::FileRead::Read)
            return copyEntry(fallback, buffer, size, true);
        IniFile file = parseIni(contents);
        IniSection* found = findSection(file, emu::ansiToWide(section));
        IniKey* entry = found ? findKey(*found, emu::ansiToWide(key)) : nullptr;
        if (entry && entry->value)
            return copyEntry(emu::wideToAnsi(*entry->value), buffer, size, true);
        return copyEntry(fallback, buffer, size, true);
    });
}

// WritePrivateProfileStringA: sets `key` in `section` of `fileName` to `value`
// (blanks before it dropped), making the file, the section and the key when they
// are missing; a NULL value removes the key and a NULL key the whole section.
// FALSE with ERROR_PATH_NOT_FOUND when the file's folder does not exist,
// ERROR_ACCESS_DENIED when the file cannot be read or written,
// ERROR_INVALID_PARAMETER for a NULL section.
extern "C" BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                                  LPCSTR fileName) {
    return emu::platformCall<BOOL>(FALSE, true, [&]() -> BOOL {
        if (!section) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::string path = resolveIniPath(fileName ? fileName : "win.ini");
        std::error_code ec;
        std::filesystem::path hostFile(path);
        if (path.empty() || (hostFile.has_parent_path() &&
                             !std::filesystem::is_directory(hostFile.parent_path(), ec))) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        // The file's folder is locked from the read to the rename, as the
        // hives are: two processes writing one file never lose each other's keys.
        emu::FolderLock lock(hostFile.has_parent_path() ? hostFile.parent_path().string() : ".");
        std::string contents;
        if (emu::readRegularFile(path, contents) == emu::FileRead::Unreadable) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        IniFile file = parseIni(contents);
        std::u16string sectionName = emu::ansiToWide(section);
        IniSection* found = findSection(file, sectionName);
        if (!key) {
            if (found)
                file.sections.erase(file.sections.begin() + (found - file.sections.data()));
        } else if (!value) {
            IniKey* entry = found ? findKey(*found, emu::ansiToWide(key)) : nullptr;
            if (entry)
                found->keys.erase(found->keys.begin() + (entry - found->keys.data()));
        } else {
            std::u16string text = emu::ansiToWide(value);
            size_t skip = 0;
            while (skip < text.size() && isIniBlank(text[skip]))
                ++skip;
            if (!found) {
                file.sections.push_back(IniSection{trimmed(sectionName), {}});
                found = &file.sections.back();
            }
            IniKey* entry = findKey(*found, emu::ansiToWide(key));
            if (!entry) {
                found->keys.push_back(IniKey{trimmed(emu::ansiToWide(key)), std::nullopt});
                entry = &found->keys.back();
            }
            entry->value = text.substr(skip);
        }
        if (!emu::writeFileAtomically(path, formatIni(file), false)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return TRUE;
    });
}
