#include "command_line.h"

#include <cerrno>
#include <cstdlib>

std::string parseOptions(const std::string& command, const std::vector<std::string>& args,
                         const std::set<std::string>& valued, const std::set<std::string>& flags,
                         CommandLine& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            out.words.insert(out.words.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            out.words.push_back(arg);
            continue;
        }
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        if (valued.count(name)) {
            if (equals != std::string::npos)
                out.values[name] = arg.substr(equals + 1);
            else if (i + 1 < args.size())
                out.values[name] = args[++i];
            else
                return name + " needs a value";
        } else if (flags.count(name) && equals == std::string::npos) {
            out.flags.insert(name);
        } else if (flags.count(name)) {
            return name + " takes no value";
        } else {
            return command + " does not take " + name;
        }
    }
    return "";
}

bool parseWholeNumber(const std::string& text, long min, long max, long& value) {
    if (text.empty() || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9')))
        return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno || !end || *end || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}
