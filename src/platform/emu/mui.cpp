// Language satellites (MUI), as the resource loader of Vista and later finds
// them: a language-neutral file (a "MUI" resource of file type "main") keeps
// its localised resources in <folder>\<language>\<name>.mui, and a load of it,
// data-file loads included, reads them from the satellite of the first
// language of the process's fallback list that has one: the user's preferred
// UI languages (HKCU\Control Panel\Desktop, PreferredUILanguages), the
// machine's UI language (HKLM\SYSTEM\CurrentControlSet\Control\Nls\Language,
// Default), its other installed UI languages
// (HKLM\SYSTEM\CurrentControlSet\Control\MUI\UILanguages), then en-US, the
// ultimate fallback our files name. Folder and file names compare without
// regard to case, as on Windows.
#include "../win32api.h"
#include "codepage.h"
#include "machine.h"
#include "module_table.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMuiSignature = 0xFECDFECD;
constexpr uint32_t kMuiLanguageNeutralMain = 0x11; // the file type of a main file

uint32_t dword(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The names Windows gives the UI languages a machine is likely to have.
std::string languageName(unsigned langId) {
    static const struct {
        unsigned id;
        const char* name;
    } names[] = {{0x0409, "en-US"}, {0x0809, "en-GB"}, {0x0407, "de-DE"}, {0x040C, "fr-FR"},
                 {0x0410, "it-IT"}, {0x0C0A, "es-ES"}, {0x0416, "pt-BR"}, {0x0816, "pt-PT"},
                 {0x0413, "nl-NL"}, {0x0419, "ru-RU"}, {0x0415, "pl-PL"}, {0x0411, "ja-JP"},
                 {0x0412, "ko-KR"}, {0x0804, "zh-CN"}, {0x0404, "zh-TW"}, {0x041F, "tr-TR"},
                 {0x0405, "cs-CZ"}, {0x040E, "hu-HU"}, {0x041D, "sv-SE"}, {0x0406, "da-DK"},
                 {0x0414, "nb-NO"}, {0x040B, "fi-FI"}, {0x0408, "el-GR"}, {0x040D, "he-IL"},
                 {0x0401, "ar-SA"}};
    for (const auto& known : names)
        if (known.id == langId)
            return known.name;
    return "";
}

std::string readString(HKEY root, const char* path, const char* value, DWORD* type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    char data[1024] = {};
    DWORD size = sizeof data - 2, kind = 0;
    LSTATUS status =
        RegQueryValueExA(key, value, nullptr, &kind, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (type)
        *type = kind;
    return status == ERROR_SUCCESS ? std::string(data, size) : "";
}

std::vector<std::string> subkeyNames(HKEY root, const char* path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, size);
    }
    RegCloseKey(key);
    return names;
}

void addLanguage(std::vector<std::string>& order, const std::string& name) {
    if (name.empty())
        return;
    for (const std::string& known : order)
        if (emu::equalsIgnoreCase(known, name))
            return;
    order.push_back(name);
}

// The entry of `folder` named `name` whatever its case, or an empty path.
fs::path entryNamed(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    fs::path exact = folder / name;
    if (fs::exists(exact, ec))
        return exact;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (emu::equalsIgnoreCase(it->path().filename().string(), name))
            return it->path();
    return {};
}

} // namespace

namespace emu {

std::vector<std::string> uiLanguageFallbacks() {
    // Read again only when the registry changed.
    static std::mutex cacheMutex;
    static uint64_t cachedState = 0;
    static std::vector<std::string> cached;
    uint64_t state = registryState();
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        if (state == cachedState && !cached.empty())
            return cached;
    }
    std::vector<std::string> order;
    DWORD type = 0;
    std::string preferred =
        readString(HKEY_CURRENT_USER, "Control Panel\\Desktop", "PreferredUILanguages", &type);
    for (size_t start = 0; start < preferred.size();) {
        size_t end = preferred.find('\0', start);
        if (end == std::string::npos)
            end = preferred.size();
        addLanguage(order, preferred.substr(start, end - start));
        start = end + 1;
    }
    std::string langId = readString(HKEY_LOCAL_MACHINE,
                                    "SYSTEM\\CurrentControlSet\\Control\\Nls\\Language", "Default");
    if (!langId.empty())
        addLanguage(order,
                    languageName(static_cast<unsigned>(std::strtoul(langId.c_str(), nullptr, 16))));
    for (const std::string& installed :
         subkeyNames(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\MUI\\UILanguages"))
        addLanguage(order, installed);
    addLanguage(order, "en-US");
    std::lock_guard<std::mutex> lock(cacheMutex);
    cachedState = state;
    cached = order;
    return order;
}

bool isLanguageNeutral(const pe::ResourceReader& reader) {
    pe::Resource mui;
    return reader.findNamed("MUI", 1, mui) && mui.size >= 20 && dword(mui.data) == kMuiSignature &&
           dword(mui.data + 16) == kMuiLanguageNeutralMain;
}

std::string findSatellite(const std::string& hostPath) {
    fs::path file(hostPath);
    for (const std::string& language : uiLanguageFallbacks()) {
        fs::path folder = entryNamed(file.parent_path(), language);
        if (folder.empty())
            continue;
        fs::path satellite = entryNamed(folder, file.filename().string() + ".mui");
        if (!satellite.empty())
            return satellite.string();
    }
    return "";
}

} // namespace emu
