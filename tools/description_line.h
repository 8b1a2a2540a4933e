// What tools/evt and tools/providers share of their description files: a
// line's key=value pairs.
#pragma once

#include <map>
#include <string>

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
