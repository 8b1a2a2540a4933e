// The .reg text form of hive files.
//
// Both headers are read: "REGEDIT4", whose hex(2) and hex(7) data are ANSI
// bytes, and "Windows Registry Editor Version 5.00", whose are UTF-16LE. A hive
// is written back in the form it was read in, so a version 5.00 hive keeps
// every character: REGEDIT4 in ANSI (what `reg import` reads as it stands), or
// version 5.00 in UTF-16LE with its byte order mark. Comment lines travel with
// the key or value below them, and keys of other roots are kept as they were.
//
// A hive can be deep and wide: nothing here recurses once per level, and
// names are found through indexes, never by a walk of their siblings.
#include "registry_hive.h"

#include "../win32api.h"
#include "codepage.h"
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

std::string folded(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        c = asciiUpper(c);
    return out;
}

} // namespace

bool CaseLess::operator()(const std::string& a, const std::string& b) const {
    return compareIgnoreCase(a, b) < 0;
}

// Without recursion, and without allocating, since a destructor must not fail:
// the keys below wait on a chain through their own `nextDoomed_`.
RegistryKey::~RegistryKey() {
    RegistryKey* doomed = nullptr;
    auto release = [&doomed](RegistryKey& key) {
        for (auto& entry : key.subkeys_) {
            RegistryKey* sub = entry.second.release();
            sub->nextDoomed_ = doomed;
            doomed = sub;
        }
        key.subkeys_.clear();
    };
    release(*this);
    while (doomed) {
        RegistryKey* key = doomed;
        doomed = key->nextDoomed_;
        release(*key);
        delete key;
    }
}

RegistryKey* RegistryKey::findSubkey(const std::string& keyName) const {
    auto it = subkeys_.find(keyName);
    return it == subkeys_.end() ? nullptr : it->second.get();
}

RegistryKey* RegistryKey::addSubkey(const std::string& keyName) {
    auto it = subkeys_.lower_bound(keyName);
    if (it != subkeys_.end() && equalsIgnoreCase(it->first, keyName))
        return it->second.get();
    auto key = std::make_unique<RegistryKey>();
    key->name = keyName;
    order_.clear();
    return subkeys_.emplace_hint(it, keyName, std::move(key))->second.get();
}

void RegistryKey::removeSubkey(const std::string& keyName) {
    auto it = subkeys_.find(keyName);
    if (it == subkeys_.end())
        return;
    std::unique_ptr<RegistryKey> doomed = std::move(it->second); // freed after the erase
    subkeys_.erase(it);
    order_.clear();
}

const RegistryKey* RegistryKey::subkeyAt(size_t index) const {
    if (order_.size() != subkeys_.size()) {
        order_.clear();
        order_.reserve(subkeys_.size());
        for (const auto& entry : subkeys_)
            order_.push_back(entry.second.get());
    }
    return index < order_.size() ? order_[index] : nullptr;
}

RegistryValue* RegistryKey::findValue(const std::string& valueName) {
    auto it = valueIndex_.find(folded(valueName));
    return it == valueIndex_.end() ? nullptr : &values_[it->second];
}

RegistryValue& RegistryKey::setValue(const std::string& valueName) {
    if (RegistryValue* existing = findValue(valueName))
        return *existing;
    values_.push_back(RegistryValue{valueName, 0, {}, {}});
    valueIndex_.emplace(folded(valueName), values_.size() - 1);
    return values_.back();
}

void RegistryKey::removeValue(const std::string& valueName) {
    auto it = valueIndex_.find(folded(valueName));
    if (it == valueIndex_.end())
        return;
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(it->second));
    valueIndex_.clear();
    for (size_t i = 0; i < values_.size(); ++i)
        valueIndex_.emplace(folded(values_[i].name), i);
}

std::vector<unsigned char> wideBytes(const std::u16string& wide) {
    std::vector<unsigned char> out;
    out.reserve(wide.size() * 2);
    for (char16_t c : wide) {
        out.push_back(static_cast<unsigned char>(c & 0xFF));
        out.push_back(static_cast<unsigned char>(c >> 8));
    }
    return out;
}

std::u16string bytesToWide(const unsigned char* bytes, size_t size) {
    std::u16string wide;
    wide.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2)
        wide += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return wide;
}

bool isTextType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

namespace {

// The file as UTF-8 text, whatever it was written in.
std::string decodeText(const std::string& bytes, unsigned codePage, HiveEncoding& encoding) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        encoding = HiveEncoding::Utf16;
        return wideToUtf8(bytesToWide(reinterpret_cast<const unsigned char*>(bytes.data()) + 2,
                                      bytes.size() - 2));
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding = HiveEncoding::Utf8;
        return wideToUtf8(utf8ToWide(bytes.substr(3))); // what cannot be read is "?" from here on
    }
    encoding = HiveEncoding::Ansi;
    return wideToUtf8(ansiToWide(bytes, codePage));
}

struct Line {
    std::string text; // continuations joined
    std::string raw;  // the physical lines as they were, for what is kept as read
    size_t number;    // of its first physical line
};

bool endsHeader(const std::string& text) {
    size_t last = text.find_last_not_of(" \t");
    return last != std::string::npos && text[last] == ']';
}

// Logical lines: a line that ends in a backslash continues on the next one, and
// a key's header runs on to a line that ends in its closing bracket, keeping
// the line breaks a key name holds (a name with "]" just before a line break
// is the one a .reg file cannot tell apart).
std::vector<Line> logicalLines(const std::string& text) {
    std::vector<Line> lines;
    Line current;
    enum { Fresh, Continued, InHeader } state = Fresh;
    size_t start = 0, number = 0;
    while (start < text.size() || (start == 0 && text.empty())) {
        ++number;
        size_t end = text.find('\n', start);
        bool lastLine = end == std::string::npos || end + 1 == text.size();
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        std::string lineBreak = end < text.size() ? "\n" : "";
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            lineBreak = "\r\n";
        }
        start = end + 1;
        if (state == Fresh) {
            current = Line{"", "", number};
            size_t first = line.find_first_not_of(" \t");
            if (first != std::string::npos && line[first] == '[' && !endsHeader(line) &&
                !lastLine) {
                current.text = current.raw = line + lineBreak;
                state = InHeader;
                continue;
            }
        } else if (state == InHeader) {
            current.text += line;
            current.raw += line;
            if (!endsHeader(line) && !lastLine) {
                current.text += lineBreak;
                current.raw += lineBreak;
                continue;
            }
            lines.push_back(current);
            state = Fresh;
            continue;
        } else {
            current.raw += "\r\n";
        }
        current.raw += line;
        if (state == Continued) {
            size_t skip = line.find_first_not_of(" \t");
            line = skip == std::string::npos ? "" : line.substr(skip);
        }
        if (!line.empty() && line.back() == '\\') {
            current.text += line.substr(0, line.size() - 1);
            state = Continued;
        } else {
            current.text += line;
            lines.push_back(current);
            state = Fresh;
        }
    }
    if (state != Fresh)
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

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = asciiLower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A number of 1 to `maxDigits` hex digits, the whole of `text`.
bool parseHexNumber(const std::string& text, size_t maxDigits, uint32_t& value) {
    if (text.empty() || text.size() > maxDigits)
        return false;
    value = 0;
    for (char c : text) {
        int digit = hexDigit(c);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool parseHexBytes(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    std::string digits;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : ',';
        if (c == ' ' || c == '\t')
            continue;
        if (c != ',') {
            digits += c;
            continue;
        }
        if (digits.empty()) {
            if (i < text.size())
                return false;
            break;
        }
        uint32_t byte;
        if (!parseHexNumber(digits, 2, byte))
            return false;
        out.push_back(static_cast<unsigned char>(byte));
        digits.clear();
    }
    return true;
}

// Parses what follows "=" in a value line into `type` and `data`.
bool parseValueData(const std::string& text, HiveForm form, unsigned codePage, uint32_t& type,
                    std::vector<unsigned char>& data) {
    if (!text.empty() && text[0] == '"') {
        size_t pos = 1;
        std::string s;
        if (!readQuoted(text, pos, s) || text.find_first_not_of(" \t", pos) != std::string::npos)
            return false;
        type = REG_SZ;
        data = wideBytes(utf8ToWide(s) + u'\0');
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        uint32_t v;
        if (!parseHexNumber(text.substr(6), 8, v))
            return false;
        type = REG_DWORD;
        data = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        return true;
    }
    if (text.compare(0, 3, "hex") != 0)
        return false;
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    type = REG_BINARY;
    if (colon != 3) {
        if (text[3] != '(' || text[colon - 1] != ')' ||
            !parseHexNumber(text.substr(4, colon - 5), 8, type))
            return false;
    }
    if (!parseHexBytes(text.substr(colon + 1), data))
        return false;
    if (form == HiveForm::Regedit4 && isTextType(type)) {
        std::string ansi(data.begin(), data.end());
        data = wideBytes(ansiToWide(ansi, codePage));
    }
    return true;
}

struct Parser {
    const std::string& rootName;
    unsigned codePage;
    RegistryHive& hive;
    std::vector<HiveProblem>& problems;
    RegistryKey* current = nullptr;
    bool inOtherRoot = false;
    bool keySkipped = false;
    std::vector<std::string> pendingComments;

    void problem(const Line& line, const std::string& what) {
        problems.push_back({line.number, what});
    }

    void header(const Line& line, const std::string& text) {
        current = nullptr;
        inOtherRoot = false;
        keySkipped = false;
        size_t close = text.rfind(']');
        if (close == std::string::npos ||
            text.find_first_not_of(" \t", close + 1) != std::string::npos) {
            problem(line, "unterminated key");
            keySkipped = true;
            return;
        }
        std::string path = text.substr(1, close - 1);
        bool deletion = !path.empty() && path[0] == '-';
        if (deletion)
            path.erase(0, 1);
        size_t slash = path.find('\\');
        if (!equalsIgnoreCase(path.substr(0, slash), rootName)) {
            inOtherRoot = true;
            for (std::string& comment : pendingComments)
                hive.otherRoots.push_back(std::move(comment));
            pendingComments.clear();
            hive.otherRoots.push_back(line.raw);
            return;
        }
        std::vector<std::string> parts;
        while (slash != std::string::npos) {
            size_t next = path.find('\\', slash + 1);
            std::string part = path.substr(slash + 1, next - slash - 1);
            if (!part.empty())
                parts.push_back(part);
            slash = next;
        }
        if (parts.size() > kMaxKeyDepth) {
            problem(line, "a key deeper than " + std::to_string(kMaxKeyDepth) + " levels");
            keySkipped = true;
            return;
        }
        for (const std::string& part : parts)
            if (utf8ToWide(part).size() > kMaxKeyNameLength) {
                problem(line, "a key name longer than " + std::to_string(kMaxKeyNameLength) +
                                  " characters");
                keySkipped = true;
                return;
            }
        RegistryKey* key = &hive.root;
        size_t walk = deletion ? parts.size() - std::min<size_t>(parts.size(), 1) : parts.size();
        for (size_t i = 0; i < walk && key; ++i)
            key = deletion ? key->findSubkey(parts[i]) : key->addSubkey(parts[i]);
        if (deletion) {
            if (key && !parts.empty())
                key->removeSubkey(parts.back());
            keySkipped = true; // what follows a deletion has no key to go to
            return;
        }
        current = key;
        for (std::string& comment : pendingComments)
            current->comments.push_back(std::move(comment));
        pendingComments.clear();
    }

    void value(const Line& line, const std::string& text) {
        if (!current) {
            if (!keySkipped)
                problem(line, "a value outside any key");
            return;
        }
        std::string name;
        size_t pos = 1;
        if (text[0] == '"') {
            if (!readQuoted(text, pos, name)) {
                problem(line, "unterminated value name");
                return;
            }
        } else if (text[0] != '@') {
            problem(line, "unexpected text");
            return;
        }
        if (utf8ToWide(name).size() > kMaxValueNameLength) {
            problem(line, "a value name longer than " + std::to_string(kMaxValueNameLength) +
                              " characters");
            return;
        }
        pos = text.find_first_not_of(" \t", pos);
        if (pos == std::string::npos || text[pos] != '=') {
            problem(line, "missing '='");
            return;
        }
        size_t dataStart = text.find_first_not_of(" \t", pos + 1);
        std::string data = dataStart == std::string::npos ? "" : text.substr(dataStart);
        if (data == "-") {
            current->removeValue(name);
            return;
        }
        uint32_t type = 0;
        std::vector<unsigned char> bytes;
        if (!parseValueData(data, hive.form, codePage, type, bytes)) {
            problem(line, "bad value data");
            return;
        }
        RegistryValue& stored = current->setValue(name);
        stored.type = type;
        stored.data = std::move(bytes);
        for (std::string& comment : pendingComments)
            stored.comments.push_back(std::move(comment));
        pendingComments.clear();
    }
};

std::string escapeQuoted(const std::string& s, bool isName) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (isName && (c == '\r' || c == '\n' || c == '\0')) {
            out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\0";
            continue;
        }
        out += c;
    }
    return out;
}

void appendHexList(std::string& out, const std::string& prefix,
                   const std::vector<unsigned char>& bytes) {
    out += prefix;
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
}

// A REG_SZ that a quoted text can carry: one terminating NUL and no control
// characters that the quoted form cannot spell.
bool fitsQuotedForm(const RegistryValue& value) {
    const auto& d = value.data;
    if (value.type != REG_SZ || d.size() < 2 || d.size() % 2 || d[d.size() - 1] || d[d.size() - 2])
        return false;
    for (size_t i = 0; i + 2 < d.size(); i += 2)
        if (d[i + 1] == 0 && d[i] < 0x20)
            return false;
    return true;
}

void formatValue(const RegistryValue& value, HiveForm form, unsigned codePage, std::string& out) {
    for (const std::string& comment : value.comments)
        out += comment + "\r\n";
    out += value.name.empty() ? "@=" : "\"" + escapeQuoted(value.name, true) + "\"=";
    if (fitsQuotedForm(value)) {
        std::u16string wide = bytesToWide(value.data.data(), value.data.size() - 2);
        out += "\"" + escapeQuoted(wideToUtf8(wide), false) + "\"";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        char hex[16];
        uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                     (static_cast<uint32_t>(value.data[3]) << 24);
        std::snprintf(hex, sizeof hex, "dword:%08x", v);
        out += hex;
    } else if (value.type == REG_BINARY) {
        appendHexList(out, "hex:", value.data);
    } else {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
        std::vector<unsigned char> bytes = value.data;
        if (form == HiveForm::Regedit4 && isTextType(value.type)) {
            std::string ansi = wideToAnsi(bytesToWide(bytes.data(), bytes.size()), codePage);
            bytes.assign(ansi.begin(), ansi.end());
        }
        appendHexList(out, prefix, bytes);
    }
    out += "\r\n";
}

} // namespace

bool parseRegFile(const std::string& bytes, const std::string& rootName, unsigned codePage,
                  RegistryHive& hive, std::vector<HiveProblem>& problems) {
    std::vector<Line> lines = logicalLines(decodeText(bytes, codePage, hive.encoding));
    size_t first = 0;
    while (first < lines.size() && lines[first].text.find_first_not_of(" \t") == std::string::npos)
        ++first;
    if (first == lines.size()) {
        problems.push_back({1, "empty file"});
        return false;
    }
    if (lines[first].text == "REGEDIT4") {
        hive.form = HiveForm::Regedit4;
    } else if (lines[first].text == "Windows Registry Editor Version 5.00") {
        hive.form = HiveForm::Version5;
        if (hive.encoding == HiveEncoding::Ansi)
            hive.encoding = HiveEncoding::Utf16;
    } else {
        problems.push_back({lines[first].number, "not a registry file"});
        return false;
    }
    Parser parser{rootName, codePage, hive, problems, nullptr, false, false, {}};
    for (size_t i = first + 1; i < lines.size(); ++i) {
        const Line& line = lines[i];
        size_t skip = line.text.find_first_not_of(" \t");
        if (skip == std::string::npos)
            continue;
        if (line.text[skip] == ';' || line.text[skip] == '#') {
            if (parser.inOtherRoot)
                hive.otherRoots.push_back(line.raw);
            else
                parser.pendingComments.push_back(line.raw);
            continue;
        }
        std::string text = line.text.substr(skip);
        if (text[0] == '[')
            parser.header(line, text);
        else if (parser.inOtherRoot)
            hive.otherRoots.push_back(line.raw);
        else
            parser.value(line, text);
    }
    for (std::string& comment : parser.pendingComments)
        hive.closingComments.push_back(std::move(comment));
    return true;
}

std::string formatRegFile(const std::string& rootName, const RegistryHive& hive,
                          unsigned codePage) {
    std::string out = hive.form == HiveForm::Regedit4
                          ? "REGEDIT4\r\n\r\n"
                          : "Windows Registry Editor Version 5.00\r\n\r\n";
    struct Step {
        const RegistryKey* key;
        size_t nextSubkey;
        size_t pathLength; // of the parent's path
    };
    std::string path = rootName;
    std::vector<Step> stack{{&hive.root, 0, 0}};
    auto writeKey = [&](const RegistryKey& key) {
        if (key.values().empty() && key.comments.empty() && key.subkeyCount() > 0)
            return;
        for (const std::string& comment : key.comments)
            out += comment + "\r\n";
        out += "[" + path + "]\r\n";
        for (const RegistryValue& value : key.values())
            formatValue(value, hive.form, codePage, out);
        out += "\r\n";
    };
    writeKey(hive.root);
    while (!stack.empty()) {
        Step& step = stack.back();
        const RegistryKey* sub = step.key->subkeyAt(step.nextSubkey++);
        if (!sub) {
            path.resize(step.pathLength);
            stack.pop_back();
            continue;
        }
        size_t parentLength = path.size();
        path += "\\" + sub->name;
        stack.push_back({sub, 0, parentLength});
        writeKey(*sub);
    }
    for (const std::string& line : hive.otherRoots)
        out += line + "\r\n";
    for (const std::string& comment : hive.closingComments)
        out += comment + "\r\n";

    if (hive.encoding == HiveEncoding::Utf8)
        return "\xEF\xBB\xBF" + out;
    std::u16string wide = utf8ToWide(out);
    if (hive.encoding == HiveEncoding::Ansi)
        return wideToAnsi(wide, codePage);
    std::vector<unsigned char> bytes = wideBytes(u"\xFEFF" + wide);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace emu
