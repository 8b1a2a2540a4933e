// The framework's growable array of text strings.
#pragma once

#include <string>
#include <vector>

class CStringArray : public std::vector<std::string> {
  public:
    int GetSize() const { return static_cast<int>(size()); }
    void Add(const std::string& text) { push_back(text); }
    void RemoveAll() { clear(); }
};
