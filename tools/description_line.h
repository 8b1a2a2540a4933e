// What tools/evt and tools/providers share of their description files: the
// lines (blank ones and "#" comments passed over, a CR before the LF dropped),
// each a word and the rest, and a line's key=value pairs.
#pragma once

#include <istream>
#include <map>
#include <string>

// The next line that says something, as its first word and the rest; false at
// the end. `number` counts every line read.
inline bool nextDescriptionLine(std::istream& in, int& number, std::string& word,
                                std::string& rest) {
    std::string line;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || line[start] == '#')
            continue;
        line = line.substr(start);
        word = line.substr(0, line.find(' '));
        rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        return true;
    }
    return false;
}

// key=value pairs; a value may be quoted to hold blanks.
inline bool parsePairs(const std::string& text, std::map<std::string, std::string>& pairs,
                       std::string& error) {
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == ' ')
            ++pos;
        if (pos >= text.size())
            break;
        size_t equals = text.find('=', pos);
        if (equals == std::string::npos) {
            error = "expected key=value at \"" + text.substr(pos) + "\"";
            return false;
        }
        std::string key = text.substr(pos, equals - pos), value;
        pos = equals + 1;
        if (pos < text.size() && text[pos] == '"') {
            size_t close = text.find('"', pos + 1);
            if (close == std::string::npos) {
                error = "unterminated quote";
                return false;
            }
            value = text.substr(pos + 1, close - pos - 1);
            pos = close + 1;
        } else {
            size_t end = text.find(' ', pos);
            value = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            pos = end == std::string::npos ? text.size() : end;
        }
        pairs[key] = value;
    }
    return true;
}
