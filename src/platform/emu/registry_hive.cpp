// The .reg text format of hive files.
//
// Both headers are read: "REGEDIT4", whose hex(2) and hex(7) data are ANSI bytes,
// and "Windows Registry Editor Version 5.00", whose are UTF-16LE. What is kept
// in memory is what the A functions hand out, so texts are held in ANSI either
// way. Hives are written in the REGEDIT4 form, ANSI throughout: `reg import`
// reads the hex(2) and hex(7) data of a file without a byte order mark as ANSI
// whatever its header says, so that is the form it takes back unchanged.
#include "registry_hive.h"

#include "../win32api.h"
#include "codepage.h"
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace emu {

RegistryKey* RegistryKey::findSubkey(const std::string& keyName) const {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), keyName,
                               [](const std::unique_ptr<RegistryKey>& key, const std::string& n) {
                                   return compareIgnoreCase(key->name, n) < 0;
                               });
    if (it != subkeys.end() && equalsIgnoreCase((*it)->name, keyName))
        return it->get();
    return nullptr;
}

RegistryKey* RegistryKey::addSubkey(const std::string& keyName) {
    if (RegistryKey* existing = findSubkey(keyName))
        return existing;
    auto key = std::make_unique<RegistryKey>();
    key->name = keyName;
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), keyName,
                               [](const std::unique_ptr<RegistryKey>& k, const std::string& n) {
                                   return compareIgnoreCase(k->name, n) < 0;
                               });
    return subkeys.insert(it, std::move(key))->get();
}

RegistryValue* RegistryKey::findValue(const std::string& valueName) {
    for (RegistryValue& value : values)
        if (equalsIgnoreCase(value.name, valueName))
            return &value;
    return nullptr;
}

namespace {

// The file as 8-bit text: UTF-16LE (with its byte order mark) and UTF-8 become
// ANSI, since every name and text the A functions see is ANSI.
std::string decodeText(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return wideToAnsi(wide);
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        std::u16string wide;
        for (size_t i = 3; i < bytes.size();) {
            unsigned char c = static_cast<unsigned char>(bytes[i]);
            uint32_t cp = c;
            int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            cp = extra == 3 ? c & 0x07 : extra == 2 ? c & 0x0F : extra == 1 ? c & 0x1F : c;
            ++i;
            for (int k = 0; k < extra && i < bytes.size(); ++k, ++i)
                cp = (cp << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3F);
            wide += cp > 0xFFFF ? u'?' : static_cast<char16_t>(cp);
        }
        return wideToAnsi(wide);
    }
    return bytes;
}

// Logical lines: a line that ends in a backslash continues on the next one.
std::vector<std::string> logicalLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!current.empty()) {
            size_t skip = line.find_first_not_of(" \t");
            line = skip == std::string::npos ? "" : line.substr(skip);
        }
        if (!line.empty() && line.back() == '\\') {
            current += line.substr(0, line.size() - 1);
        } else {
            lines.push_back(current + line);
            current.clear();
        }
        start = end + 1;
    }
    if (!current.empty())
        lines.push_back(current);
    return lines;
}

// A quoted text from `pos` (just after the opening quote); `pos` ends after the
// closing quote. False when the closing quote is missing.
bool readQuoted(const std::string& line, size_t& pos, std::string& out) {
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c == '\\' && pos < line.size()) {
            char next = line[pos++];
            if (next == 'n')
                out += '\n';
            else if (next == 'r')
                out += '\r';
            else if (next == '0')
                out += '\0';
            else
                out += next;
            continue;
        }
        out += c;
    }
    return false;
}

bool parseHexBytes(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    std::string digits;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : ',';
        if (c == ' ' || c == '\t')
            continue;
        if (c == ',') {
            if (digits.empty()) {
                if (i < text.size())
                    return false;
                break;
            }
            if (digits.size() > 2)
                return false;
            out.push_back(static_cast<unsigned char>(std::stoul(digits, nullptr, 16)));
            digits.clear();
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    return true;
}

std::vector<unsigned char> wideBytesToAnsi(const std::vector<unsigned char>& bytes) {
    std::u16string wide;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        wide += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    std::string ansi = wideToAnsi(wide);
    return std::vector<unsigned char>(ansi.begin(), ansi.end());
}

bool isTextType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Parses what follows "=" in a value line.
bool parseValueData(const std::string& text, bool unicodeFile, RegistryValue& value) {
    if (!text.empty() && text[0] == '"') {
        size_t pos = 1;
        std::string s;
        if (!readQuoted(text, pos, s))
            return false;
        value.type = REG_SZ;
        value.data.assign(s.begin(), s.end());
        value.data.push_back(0);
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        std::string hex = text.substr(6);
        if (hex.empty() || hex.size() > 8 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        uint32_t v = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
        value.type = REG_DWORD;
        value.data = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                      static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        return true;
    }
    if (text.compare(0, 3, "hex") == 0) {
        size_t colon = text.find(':');
        if (colon == std::string::npos)
            return false;
        uint32_t type = REG_BINARY;
        if (colon > 3) {
            if (text[3] != '(' || text[colon - 1] != ')')
                return false;
            type = static_cast<uint32_t>(std::stoul(text.substr(4, colon - 5), nullptr, 16));
        }
        if (!parseHexBytes(text.substr(colon + 1), value.data))
            return false;
        value.type = type;
        if (unicodeFile && isTextType(type))
            value.data = wideBytesToAnsi(value.data);
        return true;
    }
    return false;
}

std::string escapeQuoted(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string hexList(const std::string& prefix, const std::vector<unsigned char>& bytes) {
    std::string out = prefix;
    size_t column = prefix.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        out += hex;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

// A REG_SZ that a quoted text can carry: one terminating NUL and no control
// characters that the quoted form cannot spell.
bool fitsQuotedForm(const RegistryValue& value) {
    if (value.type != REG_SZ || value.data.empty() || value.data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < value.data.size(); ++i)
        if (value.data[i] < 0x20)
            return false;
    return true;
}

void formatKey(const std::string& path, const RegistryKey& key, std::string& out) {
    out += "[" + path + "]\r\n";
    for (const RegistryValue& value : key.values) {
        std::string name = value.name.empty() ? "@" : "\"" + escapeQuoted(value.name) + "\"";
        name += "=";
        if (fitsQuotedForm(value)) {
            out += name + "\"" +
                   escapeQuoted(std::string(value.data.begin(), value.data.end() - 1)) + "\"";
        } else if (value.type == REG_DWORD && value.data.size() == 4) {
            char hex[16];
            uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                         (static_cast<uint32_t>(value.data[3]) << 24);
            std::snprintf(hex, sizeof hex, "dword:%08x", v);
            out += name + hex;
        } else if (value.type == REG_BINARY) {
            out += hexList(name + "hex:", value.data);
        } else {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
            out += hexList(name + prefix, value.data);
        }
        out += "\r\n";
    }
    out += "\r\n";
    for (const auto& sub : key.subkeys)
        formatKey(path + "\\" + sub->name, *sub, out);
}

} // namespace

bool parseRegFile(const std::string& bytes, const std::string& rootName, RegistryKey& root,
                  std::string& error) {
    std::string text = decodeText(bytes);
    std::vector<std::string> lines = logicalLines(text);
    size_t first = 0;
    while (first < lines.size() && lines[first].find_first_not_of(" \t") == std::string::npos)
        ++first;
    if (first == lines.size()) {
        error = "empty file";
        return false;
    }
    bool unicodeFile;
    if (lines[first] == "REGEDIT4") {
        unicodeFile = false;
    } else if (lines[first] == "Windows Registry Editor Version 5.00") {
        unicodeFile = true;
    } else {
        error = "not a registry file: " + lines[first];
        return false;
    }

    RegistryKey* current = nullptr;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        std::string line = lines[i];
        size_t skip = line.find_first_not_of(" \t");
        if (skip == std::string::npos || line[skip] == ';' || line[skip] == '#')
            continue;
        line = line.substr(skip);
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos) {
                error = "line " + std::to_string(i + 1) + ": unterminated key";
                return false;
            }
            std::string path = line.substr(1, close - 1);
            current = nullptr;
            if (path.empty() || path[0] == '-')
                continue; // key deletions have nothing to delete in a fresh hive
            size_t slash = path.find('\\');
            std::string head = path.substr(0, slash);
            if (!equalsIgnoreCase(head, rootName))
                continue;
            current = &root;
            while (slash != std::string::npos) {
                size_t next = path.find('\\', slash + 1);
                std::string part = path.substr(slash + 1, next - slash - 1);
                if (!part.empty())
                    current = current->addSubkey(part);
                slash = next;
            }
            continue;
        }
        if (!current)
            continue;
        RegistryValue value;
        size_t pos;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            pos = 1;
            if (!readQuoted(line, pos, value.name)) {
                error = "line " + std::to_string(i + 1) + ": unterminated value name";
                return false;
            }
        } else {
            error = "line " + std::to_string(i + 1) + ": unexpected text";
            return false;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size() || line[pos] != '=') {
            error = "line " + std::to_string(i + 1) + ": missing '='";
            return false;
        }
        std::string data = line.substr(pos + 1);
        size_t dataStart = data.find_first_not_of(" \t");
        data = dataStart == std::string::npos ? "" : data.substr(dataStart);
        if (data == "-") {
            auto& values = current->values;
            values.erase(std::remove_if(values.begin(), values.end(),
                                        [&](const RegistryValue& v) {
                                            return equalsIgnoreCase(v.name, value.name);
                                        }),
                         values.end());
            continue;
        }
        if (!parseValueData(data, unicodeFile, value)) {
            error = "line " + std::to_string(i + 1) + ": bad value data";
            return false;
        }
        if (RegistryValue* existing = current->findValue(value.name))
            *existing = value;
        else
            current->values.push_back(value);
    }
    return true;
}

std::string formatRegFile(const std::string& rootName, const RegistryKey& root) {
    std::string out = "REGEDIT4\r\n\r\n";
    formatKey(rootName, root, out);
    return out;
}

} // namespace emu
