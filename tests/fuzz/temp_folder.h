// A folder for one fuzz run, removed when the run ends (libFuzzer exits
// through exit(), which runs static destructors).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

struct TempFolder {
    std::string path;
    explicit TempFolder(std::string pattern) {
        const char* made = mkdtemp(pattern.data());
        path = made ? made : "";
        if (!made)
            std::abort();
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};
