// providers: compiles descriptions of manifest-based event providers into the
// two resources a provider's files carry: the compiled manifest
// (WEVT_TEMPLATE: each event's identifier, version and template, and the
// message that words it) and the message table of those messages.
//
//   providers DESCRIPTION OUT_PREFIX   writes OUT_PREFIX.wevt and OUT_PREFIX.msgtable
//
// A description is a text file of lines; "#" starts a comment:
//   provider name="Microsoft-Windows-Kernel-General" guid={A68CA8B7-004F-D7B6-A698-07E2DE0F1F5D}
//   template NAME [TYPE:ITEM ...]     data items of the provider's events
//   event id=N version=N [level=N] [template=NAME] message="TEXT" | message=none
// Types: string ansistring int8 uint8 int16 uint16 int32 uint32 int64 uint64
// float double boolean binary guid pointer filetime systemtime sid hexint32
// hexint64. Texts are UTF-8; a message is given a line break at its end, as
// the message compiler does. Message identifiers are 0xB0000000, the
// provider's number (from 1) times 0x10000, and the event's number (from 1),
// so that none is an event's identifier.
#include "../src/platform/emu/codepage.h"
#include "../src/logfiles/evtx_write.h"
#include "description_line.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Item {
    uint8_t inType;
    std::u16string name;
};
struct Event {
    uint16_t id = 0;
    uint8_t version = 0, level = 4;
    std::string templateName;
    bool hasMessage = true;
    std::u16string message;
    uint32_t messageId = 0xFFFFFFFFu;
};
struct Provider {
    std::vector<uint8_t> guid;
    std::u16string name;
    std::map<std::string, std::vector<Item>> templates;
    std::vector<Event> events;
};

const std::map<std::string, uint8_t> kInTypes = {
    {"string", 1},   {"ansistring", 2}, {"int8", 3},        {"uint8", 4},   {"int16", 5},
    {"uint16", 6},   {"int32", 7},      {"uint32", 8},      {"int64", 9},   {"uint64", 10},
    {"float", 11},   {"double", 12},    {"boolean", 13},    {"binary", 14}, {"guid", 15},
    {"pointer", 16}, {"filetime", 17},  {"systemtime", 18}, {"sid", 19},    {"hexint32", 20},
    {"hexint64", 21}};

int fail(const std::string& where, const std::string& message) {
    std::cerr << "providers: " << where << ": " << message << "\n";
    return 1;
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}
void set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void tag(std::vector<uint8_t>& out, const char* four) {
    out.insert(out.end(), four, four + 4);
}

// The compiled manifest: CRIM, then each provider's WEVT with its EVNT and
// TTBL elements; every offset from the start of the resource.
std::vector<uint8_t> compileManifest(const std::vector<Provider>& providers) {
    std::vector<uint8_t> out;
    tag(out, "CRIM");
    put32(out, 0);
    put16(out, 3);
    put16(out, 1);
    put32(out, static_cast<uint32_t>(providers.size()));
    size_t descriptors = out.size();
    out.resize(out.size() + 20 * providers.size());
    for (size_t p = 0; p < providers.size(); ++p) {
        const Provider& provider = providers[p];
        std::copy(provider.guid.begin(), provider.guid.end(), out.begin() + descriptors + 20 * p);
        set32(out, descriptors + 20 * p + 16, static_cast<uint32_t>(out.size()));
        size_t wevt = out.size();
        tag(out, "WEVT");
        put32(out, 0);
        put32(out, 0xFFFFFFFFu);
        put32(out, 2); // EVNT and TTBL
        put32(out, 0);
        size_t elements = out.size();
        out.resize(out.size() + 16);
        set32(out, wevt + 4, static_cast<uint32_t>(out.size() - wevt));

        // The template table first, so that events can name their templates.
        std::map<std::string, uint32_t> templateAt;
        size_t ttbl = out.size();
        set32(out, elements, static_cast<uint32_t>(ttbl));
        tag(out, "TTBL");
        put32(out, 0);
        put32(out, static_cast<uint32_t>(provider.templates.size()));
        for (const auto& [name, items] : provider.templates) {
            size_t temp = out.size();
            templateAt[name] = static_cast<uint32_t>(temp);
            tag(out, "TEMP");
            put32(out, 0);
            put32(out, static_cast<uint32_t>(items.size()));
            put32(out, static_cast<uint32_t>(items.size()));
            put32(out, 0); // the items' offset, set below
            put32(out, 1); // EventData
            for (int i = 0; i < 16; ++i)
                out.push_back(static_cast<uint8_t>(std::hash<std::string>()(name) >> (i % 8)));
            const uint8_t fragment[] = {0x0f, 0x01, 0x01, 0x00, 0x00}; // an empty fragment
            out.insert(out.end(), fragment, fragment + sizeof fragment);
            while (out.size() % 4)
                out.push_back(0);
            set32(out, temp + 16, static_cast<uint32_t>(out.size()));
            size_t descriptorsAt = out.size();
            out.resize(out.size() + 20 * items.size());
            for (size_t i = 0; i < items.size(); ++i) {
                size_t d = descriptorsAt + 20 * i;
                out[d + 4] = items[i].inType;
                out[d + 5] = 1;  // xs:string
                out[d + 12] = 1; // one value
                set32(out, d + 16, static_cast<uint32_t>(out.size()));
                size_t nameAt = out.size();
                put32(out, 0);
                for (char16_t c : items[i].name)
                    put16(out, c);
                put16(out, 0);
                while (out.size() % 8)
                    out.push_back(0);
                set32(out, nameAt, static_cast<uint32_t>(out.size() - nameAt));
            }
            set32(out, temp + 4, static_cast<uint32_t>(out.size() - temp));
        }
        set32(out, ttbl + 4, static_cast<uint32_t>(out.size() - ttbl));

        size_t evnt = out.size();
        set32(out, elements + 8, static_cast<uint32_t>(evnt));
        tag(out, "EVNT");
        put32(out, 0);
        put32(out, static_cast<uint32_t>(provider.events.size()));
        put32(out, 0);
        for (const Event& event : provider.events) {
            size_t e = out.size();
            out.resize(out.size() + 48);
            out[e] = static_cast<uint8_t>(event.id);
            out[e + 1] = static_cast<uint8_t>(event.id >> 8);
            out[e + 2] = event.version;
            out[e + 4] = event.level;
            set32(out, e + 16, event.messageId);
            set32(out, e + 20, event.templateName.empty() ? 0 : templateAt.at(event.templateName));
        }
        set32(out, evnt + 4, static_cast<uint32_t>(out.size() - evnt));
    }
    set32(out, 4, static_cast<uint32_t>(out.size()));
    return out;
}

// MESSAGE_RESOURCE_DATA: one block of Unicode entries for each run of
// consecutive identifiers.
std::vector<uint8_t> compileMessages(const std::map<uint32_t, std::u16string>& messages) {
    std::vector<std::pair<uint32_t, uint32_t>> blocks; // low, high
    for (const auto& [id, text] : messages)
        if (blocks.empty() || blocks.back().second + 1 != id)
            blocks.emplace_back(id, id);
        else
            blocks.back().second = id;
    std::vector<uint8_t> out;
    put32(out, static_cast<uint32_t>(blocks.size()));
    size_t table = out.size();
    out.resize(out.size() + 12 * blocks.size());
    auto message = messages.begin();
    for (size_t b = 0; b < blocks.size(); ++b) {
        set32(out, table + 12 * b, blocks[b].first);
        set32(out, table + 12 * b + 4, blocks[b].second);
        set32(out, table + 12 * b + 8, static_cast<uint32_t>(out.size()));
        for (uint32_t id = blocks[b].first; id <= blocks[b].second; ++id, ++message) {
            std::u16string text = message->second + u"\r\n";
            size_t length = 4 + 2 * (text.size() + 1);
            length = (length + 3) & ~size_t(3);
            put16(out, static_cast<uint16_t>(length));
            put16(out, 1); // Unicode
            size_t start = out.size();
            for (char16_t c : text)
                put16(out, c);
            while (out.size() - start + 4 < length)
                out.push_back(0);
        }
    }
    return out;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << "usage: providers DESCRIPTION OUT_PREFIX\n";
        return 0;
    }
    if (argc != 3) {
        std::cerr << "usage: providers DESCRIPTION OUT_PREFIX\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in)
        return fail(argv[1], "cannot read");
    std::vector<Provider> providers;
    std::map<uint32_t, std::u16string> messages;
    std::string word, rest;
    for (int number = 0; nextDescriptionLine(in, number, word, rest);) {
        std::string where = std::string(argv[1]) + ":" + std::to_string(number);
        std::map<std::string, std::string> pairs;
        std::string error;
        if (word == "provider") {
            Provider provider;
            if (!parsePairs(rest, pairs, error) ||
                !logfiles::evtx::parseGuid(pairs["guid"], provider.guid))
                return fail(where, "a provider needs name=... guid={...}");
            provider.name = emu::utf8ToWide(pairs["name"]);
            providers.push_back(provider);
        } else if (providers.empty()) {
            return fail(where, word + " before any provider");
        } else if (word == "template") {
            std::istringstream parts(rest);
            std::string name, item;
            parts >> name;
            std::vector<Item>& items = providers.back().templates[name];
            while (parts >> item) {
                size_t colon = item.find(':');
                if (colon == std::string::npos || !kInTypes.count(item.substr(0, colon)))
                    return fail(where, "an item is TYPE:NAME with a known type: " + item);
                items.push_back(
                    {kInTypes.at(item.substr(0, colon)), emu::utf8ToWide(item.substr(colon + 1))});
            }
        } else if (word == "event") {
            Event event;
            if (!parsePairs(rest, pairs, error) || !pairs.count("id") || !pairs.count("message"))
                return fail(where, "an event needs id=N and message=...");
            event.id = static_cast<uint16_t>(std::stoul(pairs["id"], nullptr, 0));
            event.version =
                static_cast<uint8_t>(std::stoul(pairs.count("version") ? pairs["version"] : "0"));
            event.level =
                static_cast<uint8_t>(std::stoul(pairs.count("level") ? pairs["level"] : "4"));
            event.templateName = pairs["template"];
            Provider& provider = providers.back();
            if (!event.templateName.empty() && !provider.templates.count(event.templateName))
                return fail(where, "no template " + event.templateName + " above");
            if (pairs["message"] != "none") {
                event.messageId = 0xB0000000u | (static_cast<uint32_t>(providers.size()) << 16) |
                                  static_cast<uint32_t>(provider.events.size() + 1);
                messages[event.messageId] = emu::utf8ToWide(pairs["message"]);
            }
            provider.events.push_back(event);
        } else {
            return fail(where, "unknown line \"" + word + "\"");
        }
    }
    std::string prefix = argv[2];
    if (!writeFile(prefix + ".wevt", compileManifest(providers)) ||
        !writeFile(prefix + ".msgtable", compileMessages(messages)))
        return fail(prefix, "cannot write");
    return 0;
}
