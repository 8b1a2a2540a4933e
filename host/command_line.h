// The stand-in host's options: "--name value", "--name=value", flags, and "--"
// before words that begin with dashes.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct CommandLine {
    std::map<std::string, std::string> values; // by option name, "--" included
    std::set<std::string> flags;
    std::vector<std::string> words;
};

// Reads `args` of `command`, which takes the options in `valued` (each with a
// value) and `flags`. Returns "" or what is wrong, in words for the user.
std::string parseOptions(const std::string& command, const std::vector<std::string>& args,
                         const std::set<std::string>& valued, const std::set<std::string>& flags,
                         CommandLine& out);

// A whole decimal number from `min` to `max`, nothing before or after it.
bool parseWholeNumber(const std::string& text, long min, long max, long& value);
