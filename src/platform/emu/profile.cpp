// INI files: GetPrivateProfileStringA and WritePrivateProfileStringA.
//
// The rules are the platform's, checked against Wine by the conformance probe:
// a line is trimmed of blanks at both ends; "[name]" runs to the last "]" and
// opens a section whose name is trimmed too; any other line is a key, its name ending at the first
// "=" (blanks before it dropped) and its value starting after it (blanks dropped); a line without
// "=" is a key without a value. Sections and keys are found without regard to case, the first
// section of a name only, the first key of a name in it. A file name without a directory part lives
// in C:\Windows.
#include "../win32api.h"
#include "machine.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

bool isIniBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == 0x1a;
}

std::string trimBlanks(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isIniBlank(text[begin]))
        ++begin;
    while (end > begin && isIniBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

struct IniLine {
    enum Kind { Blank, Section, Key } kind = Blank;
    std::string name;
    bool hasValue = false;
    std::string value;
};

IniLine classifyLine(const std::string& raw) {
    IniLine line;
    std::string text = trimBlanks(raw);
    if (text.empty())
        return line;
    if (text[0] == '[') {
        size_t close = text.rfind(']');
        if (close != std::string::npos) {
            line.kind = IniLine::Section;
            line.name = trimBlanks(text.substr(1, close - 1));
            return line;
        }
    }
    line.kind = IniLine::Key;
    size_t equals = text.find('=');
    if (equals == std::string::npos) {
        line.name = text;
        return line;
    }
    line.name = trimBlanks(text.substr(0, equals));
    line.hasValue = true;
    line.value = trimBlanks(text.substr(equals + 1));
    return line;
}

// The file's lines without their line feeds (a CR is a blank and trims away).
std::vector<std::string> splitLines(const std::string& contents) {
    std::vector<std::string> lines;
    size_t start = 0;
    if (contents.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos)
            end = contents.size();
        lines.push_back(contents.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string resolveIniPath(const std::string& fileName) {
    bool hasDirectory = fileName.find_first_of("\\/") != std::string::npos ||
                        (fileName.size() >= 2 && fileName[1] == ':');
    if (!hasDirectory)
        return emu::processPath("C:\\Windows\\" + fileName);
    return emu::processPath(fileName);
}

// Where a section and key stand among the file's lines.
struct IniPosition {
    long section = -1;    // line of the section's header, -1 when there is none
    long sectionEnd = -1; // one past the section's last line
    long key = -1;        // line of the key, -1 when the section lacks it
};

IniPosition locate(const std::vector<std::string>& lines, const std::string& section,
                   const std::string& key) {
    IniPosition pos;
    std::string wantedSection = trimBlanks(section);
    std::string wantedKey = trimBlanks(key);
    for (size_t i = 0; i < lines.size(); ++i) {
        IniLine line = classifyLine(lines[i]);
        if (pos.section < 0) {
            if (line.kind == IniLine::Section && !line.name.empty() &&
                emu::equalsIgnoreCase(line.name, wantedSection)) {
                pos.section = static_cast<long>(i);
                pos.sectionEnd = static_cast<long>(lines.size());
            }
            continue;
        }
        if (line.kind == IniLine::Section) {
            pos.sectionEnd = static_cast<long>(i);
            break;
        }
        if (pos.key < 0 && line.kind == IniLine::Key && emu::equalsIgnoreCase(line.name, wantedKey))
            pos.key = static_cast<long>(i);
    }
    return pos;
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
        if (path.empty() || !emu::readWholeFile(path, contents))
            return copyEntry(fallback, buffer, size, true);

        std::vector<std::string> lines = splitLines(contents);
        IniPosition pos = locate(lines, section, key);
        if (pos.key >= 0) {
            IniLine line = classifyLine(lines[pos.key]);
            if (line.hasValue)
                return copyEntry(line.value, buffer, size, true);
        }
        return copyEntry(fallback, buffer, size, true);
    });
}

// WritePrivateProfileStringA: sets `key` in `section` of `fileName` to `value`,
// making the file, the section and the key when they are missing; a NULL value
// removes the key and a NULL key the whole section. The other lines of the file
// stay as they were. FALSE with ERROR_PATH_NOT_FOUND when the file's folder does
// not exist, ERROR_ACCESS_DENIED when it cannot be written, ERROR_INVALID_PARAMETER
// for a NULL section.
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

        std::string contents;
        emu::readWholeFile(path, contents);
        std::vector<std::string> lines = splitLines(contents);
        // Keep each line's own ending; a line the file ended without gets one.
        for (std::string& line : lines)
            if (!line.empty() && line.back() == '\r')
                line.pop_back();

        IniPosition pos = locate(lines, section, key ? key : "");
        if (!key) {
            if (pos.section >= 0)
                lines.erase(lines.begin() + pos.section, lines.begin() + pos.sectionEnd);
        } else if (!value) {
            if (pos.key >= 0)
                lines.erase(lines.begin() + pos.key);
        } else {
            std::string text = value;
            size_t skip = 0;
            while (skip < text.size() && isIniBlank(text[skip]))
                ++skip;
            std::string entry = std::string(key) + "=" + text.substr(skip);
            if (pos.key >= 0) {
                lines[pos.key] = classifyLine(lines[pos.key]).name + "=" + text.substr(skip);
            } else if (pos.section >= 0) {
                long insertAt = pos.sectionEnd;
                while (insertAt > pos.section + 1 && trimBlanks(lines[insertAt - 1]).empty())
                    --insertAt;
                lines.insert(lines.begin() + insertAt, entry);
            } else {
                lines.push_back(std::string("[") + section + "]");
                lines.push_back(entry);
            }
        }

        std::string out;
        for (const std::string& line : lines)
            out += line + "\r\n";
        if (!emu::writeFileAtomically(path, out, false)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return TRUE;
    });
}
