// evt: makes and reads event log files, legacy (.evt) and XML (.evtx).
//
//   evt write DESCRIPTION OUT     make a log from a readable description
//   evt dump [--json] FILE        one line per record, oldest first
//
// A description is a text file of lines; "#" starts a comment:
//   log maxsize=N computer=NAME first=N dirty=yes|no
//       [format=evtx version=3.1|3.2 maxchunks=N lag=yes badchecksum=yes cut=BYTES]
//   record time=YYYY-MM-DDTHH:MM:SSZ [written=...] type=NAME|N source="..." id=N
//          [category=N] [sid=S-1-...]
//          .evtx only: [style=classic|manifest|userdata provider="..." eventsource="..."
//          guid={...} qualifiers=N level=N keywords=0x... version=N channel=...]
//   string TEXT          an insertion string of the record above (may be empty)
//   value TYPE TEXT      .evtx: a typed data item (string, uint32, guid, sid, filetime,
//                        binary, bool, hexint64, ..., TYPE[] for an array: a|b|c)
//   data hex 0C 14 00 00 / data text TEXT
//   repeat N             N more copies of the record above, a minute apart each
// Texts are UTF-8. The log is written as the event log service writes it: when
// it is full, the oldest records make room (an .evt wraps around; an .evtx of
// maxchunks chunks reuses its oldest chunk). For an .evtx, `lag` leaves the
// file header behind its newest chunk, `badchecksum` spoils every checksum and
// `cut` cuts the file short, as real files can be found. The level follows the
// type unless given; a classic record's qualifiers are its id's high word.
#include "../src/eventlog/CEventEntry.h"
#include "../src/platform/emu/codepage.h"
#include "../src/logfiles/evt_file.h"
#include "../src/logfiles/evtx_file.h"
#include "../src/logfiles/evtx_write.h"
#include "description_line.h"
#include "../src/platform/win32api.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using logfiles::evt::RecordSpec;

namespace {

std::u16string fromUtf8(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra == 3 ? c & 7 : extra == 2 ? c & 15 : extra == 1 ? c & 31 : c;
        ++i;
        for (int k = 0; k < extra && i < text.size(); ++k, ++i)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string toUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size())
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

const std::map<std::string, uint16_t> kTypes = {
    {"Success", EVENTLOG_SUCCESS},
    {"Error", EVENTLOG_ERROR_TYPE},
    {"Warning", EVENTLOG_WARNING_TYPE},
    {"Information", EVENTLOG_INFORMATION_TYPE},
    {"AuditSuccess", EVENTLOG_AUDIT_SUCCESS},
    {"AuditFailure", EVENTLOG_AUDIT_FAILURE},
};

bool parseTime(const std::string& text, uint32_t& seconds) {
    struct tm t = {};
    char z = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &z) != 7 ||
        z != 'Z')
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    long long value = static_cast<long long>(timegm(&t));
    if (value < 0 || value > 0xFFFFFFFFLL)
        return false;
    seconds = static_cast<uint32_t>(value);
    return true;
}

bool parseNumber(const std::string& text, uint32_t& value) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end || v > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

int fail(const std::string& where, const std::string& message) {
    std::cerr << "evt: " << where << ": " << message << "\n";
    return 1;
}

// The .evtx form of a description's records.
int writeEvtx(const std::string& descriptionPath, const std::string& outPath,
              std::map<std::string, std::string>& logKeys, const std::vector<RecordSpec>& records,
              std::vector<std::map<std::string, std::string>>& extras,
              const std::vector<std::vector<logfiles::evtx::TypedValue>>& values) {
    uint32_t first = 1, maxChunks = 0, cut = 0;
    if ((logKeys.count("first") && !parseNumber(logKeys["first"], first)) ||
        (logKeys.count("maxchunks") && !parseNumber(logKeys["maxchunks"], maxChunks)) ||
        (logKeys.count("cut") && !parseNumber(logKeys["cut"], cut)))
        return fail(descriptionPath, "bad first, maxchunks or cut");
    std::string version = logKeys.count("version") ? logKeys["version"] : "3.1";
    if (version != "3.1" && version != "3.2")
        return fail(descriptionPath, "version is 3.1 or 3.2");
    logfiles::evtx::Writer writer(version == "3.2" ? 2 : 1, first, maxChunks);
    for (size_t i = 0; i < records.size(); ++i) {
        const RecordSpec& r = records[i];
        auto& keys = extras[i];
        std::string where = descriptionPath + ": record " + std::to_string(i + 1);
        logfiles::evtx::RecordSpec x;
        std::string style = keys.count("style") ? keys["style"] : "classic";
        x.style = style == "manifest"   ? logfiles::evtx::RecordSpec::Manifest
                  : style == "userdata" ? logfiles::evtx::RecordSpec::UserData
                                        : logfiles::evtx::RecordSpec::Classic;
        if (style != "classic" && x.style == logfiles::evtx::RecordSpec::Classic)
            return fail(where, "style is classic, manifest or userdata");
        x.created = logfiles::evtx::fileTimeFromUnix(r.timeGenerated);
        x.written = logfiles::evtx::fileTimeFromUnix(r.timeWritten);
        x.provider = keys.count("provider") ? fromUtf8(keys["provider"]) : r.source;
        x.eventSourceName = fromUtf8(keys["eventsource"]);
        x.computer = r.computer;
        x.channel = keys.count("channel") ? fromUtf8(keys["channel"]) : u"System";
        x.eventId = static_cast<uint16_t>(r.eventId);
        x.sid = r.sid;
        x.task = r.category;
        x.strings = r.strings;
        x.values = values[i];
        x.binary = r.data;
        uint32_t number = 0;
        if (keys.count("qualifiers")) {
            if (!parseNumber(keys["qualifiers"], number) || number > 0xFFFF)
                return fail(where, "bad qualifiers");
            x.qualifiers = static_cast<int32_t>(number);
        } else if (x.style == logfiles::evtx::RecordSpec::Classic) {
            x.qualifiers = static_cast<int32_t>(r.eventId >> 16);
        }
        if (keys.count("guid") && !logfiles::evtx::parseGuid(keys["guid"], x.guid))
            return fail(where, "bad guid");
        switch (r.eventType) {
        case EVENTLOG_ERROR_TYPE:
            x.level = 2;
            break;
        case EVENTLOG_WARNING_TYPE:
            x.level = 3;
            break;
        case EVENTLOG_SUCCESS:
        case EVENTLOG_AUDIT_SUCCESS:
        case EVENTLOG_AUDIT_FAILURE:
            x.level = 0;
            break;
        default:
            x.level = 4;
        }
        if (x.style == logfiles::evtx::RecordSpec::Classic)
            x.keywords = 0x0080000000000000ull;
        if (r.eventType == EVENTLOG_AUDIT_SUCCESS)
            x.keywords |= logfiles::evtx::kKeywordAuditSuccess;
        if (r.eventType == EVENTLOG_AUDIT_FAILURE)
            x.keywords |= logfiles::evtx::kKeywordAuditFailure;
        if (keys.count("level")) {
            if (!parseNumber(keys["level"], number) || number > 255)
                return fail(where, "bad level");
            x.level = static_cast<uint8_t>(number);
        }
        if (keys.count("version")) {
            if (!parseNumber(keys["version"], number) || number > 255)
                return fail(where, "bad version");
            x.version = static_cast<uint8_t>(number);
        }
        if (keys.count("keywords")) {
            char* end = nullptr;
            x.keywords = std::strtoull(keys["keywords"].c_str(), &end, 0);
            if (*end)
                return fail(where, "bad keywords");
        }
        if (!writer.append(x))
            return fail(where, "does not fit in a chunk");
    }
    logfiles::evtx::FileOptions options;
    options.headerLags = logKeys["lag"] == "yes";
    options.badChecksums = logKeys["badchecksum"] == "yes";
    options.cutTo = cut;
    std::vector<uint8_t> image = writer.image(options);
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out)
        return fail(outPath, "cannot write");
    std::cerr << "evt: wrote " << outPath << ": records " << writer.oldestId() << " to "
              << writer.nextId() - 1 << (writer.wrapped() ? ", wrapped" : "") << "\n";
    return 0;
}

int writeLog(const std::string& descriptionPath, const std::string& outPath) {
    std::ifstream in(descriptionPath);
    if (!in)
        return fail(descriptionPath, "cannot read");
    uint32_t maxSize = 0x10000, first = 1;
    bool dirty = false;
    std::u16string computer = u"KESTRIN";
    std::vector<RecordSpec> records;
    // For an .evtx: each record's own keys and typed values.
    std::map<std::string, std::string> logKeys;
    std::vector<std::map<std::string, std::string>> extras;
    std::vector<std::vector<logfiles::evtx::TypedValue>> values;
    std::string word, rest;
    for (int number = 0; nextDescriptionLine(in, number, word, rest);) {
        std::string where = descriptionPath + ":" + std::to_string(number);
        std::map<std::string, std::string> pairs;
        std::string error;
        if (word == "log") {
            if (!parsePairs(rest, pairs, error))
                return fail(where, error);
            if (pairs.count("maxsize") && !parseNumber(pairs["maxsize"], maxSize))
                return fail(where, "bad maxsize");
            if (pairs.count("first") && !parseNumber(pairs["first"], first))
                return fail(where, "bad first");
            if (pairs.count("computer"))
                computer = fromUtf8(pairs["computer"]);
            dirty = pairs.count("dirty") && pairs["dirty"] == "yes";
            logKeys = pairs;
        } else if (word == "record") {
            if (!parsePairs(rest, pairs, error))
                return fail(where, error);
            RecordSpec described;
            described.computer = computer;
            uint32_t value = 0;
            if (!parseTime(pairs["time"], described.timeGenerated))
                return fail(where, "time must be YYYY-MM-DDTHH:MM:SSZ");
            described.timeWritten = described.timeGenerated;
            if (pairs.count("written") && !parseTime(pairs["written"], described.timeWritten))
                return fail(where, "bad written time");
            if (kTypes.count(pairs["type"]))
                described.eventType = kTypes.at(pairs["type"]);
            else if (parseNumber(pairs["type"], value) && value <= 0xFFFF)
                described.eventType = static_cast<uint16_t>(value);
            else
                return fail(where, "bad type");
            if (!parseNumber(pairs["id"], described.eventId))
                return fail(where, "bad id");
            if (pairs.count("category")) {
                if (!parseNumber(pairs["category"], value) || value > 0xFFFF)
                    return fail(where, "bad category");
                described.category = static_cast<uint16_t>(value);
            }
            if (pairs.count("sid") && !logfiles::evt::parseSid(pairs["sid"], described.sid))
                return fail(where, "bad sid");
            described.source = fromUtf8(pairs["source"]);
            records.push_back(described);
            extras.push_back(pairs);
            values.emplace_back();
        } else if (word == "value") {
            if (records.empty())
                return fail(where, "value before any record");
            std::string type = rest.substr(0, rest.find(' '));
            std::string text = rest.size() > type.size() ? rest.substr(type.size() + 1) : "";
            logfiles::evtx::TypedValue value;
            if (!logfiles::evtx::parseTypedValue(type, text, value))
                return fail(where, "bad value \"" + rest + "\"");
            values.back().push_back(value);
        } else if (word == "string" || word == "data" || word == "repeat") {
            if (records.empty())
                return fail(where, word + " before any record");
            RecordSpec& last = records.back();
            if (word == "string") {
                last.strings.push_back(fromUtf8(rest));
            } else if (word == "data") {
                if (rest.compare(0, 5, "text ") == 0) {
                    last.data.insert(last.data.end(), rest.begin() + 5, rest.end());
                } else if (rest.compare(0, 4, "hex ") == 0) {
                    std::istringstream bytes(rest.substr(4));
                    std::string b;
                    while (bytes >> b) {
                        uint32_t v;
                        if (!parseNumber("0x" + b, v) || v > 0xFF)
                            return fail(where, "bad byte " + b);
                        last.data.push_back(static_cast<uint8_t>(v));
                    }
                } else {
                    return fail(where, "data takes hex or text");
                }
            } else {
                uint32_t count = 0;
                if (!parseNumber(rest, count))
                    return fail(where, "bad repeat count");
                RecordSpec copy = last;
                auto keys = extras.back();
                auto typed = values.back();
                for (uint32_t i = 0; i < count; ++i) {
                    copy.timeGenerated += 60;
                    copy.timeWritten += 60;
                    records.push_back(copy);
                    extras.push_back(keys);
                    values.push_back(typed);
                }
            }
        } else {
            return fail(where, "unknown line \"" + word + "\"");
        }
    }
    if (logKeys.count("format") && logKeys["format"] != "evt") {
        if (logKeys["format"] != "evtx")
            return fail(descriptionPath, "format is evt or evtx");
        return writeEvtx(descriptionPath, outPath, logKeys, records, extras, values);
    }
    logfiles::evt::LogWriter writer(maxSize, first);
    for (const RecordSpec& described : records)
        if (!writer.append(described))
            return fail(descriptionPath, "a record does not fit in a log of this maxsize");
    std::vector<uint8_t> image = writer.image(dirty);
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out)
        return fail(outPath, "cannot write");
    std::cerr << "evt: wrote " << outPath << ": records " << writer.oldestNumber() << " to "
              << writer.nextNumber() - 1 << (writer.wrapped() ? ", wrapped" : "")
              << (dirty ? ", header left stale" : "") << "\n";
    return 0;
}

uint32_t dword(const std::vector<uint8_t>& r, size_t at) {
    return r[at] | (r[at + 1] << 8) | (r[at + 2] << 16) | (static_cast<uint32_t>(r[at + 3]) << 24);
}

std::string jsonText(const std::u16string& text) {
    std::string out = "\"";
    for (char c : toUtf8(text)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hexText(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

// An .evtx log: a line per record as the legacy calls present it, or with
// --json every field, for comparing with other readers. Damage and checksums
// are reported on standard error; what parses is dumped.
int dumpEvtx(const std::string& path, const logfiles::evt::ByteSource& source, bool json) {
    logfiles::evtx::Log log;
    std::string error;
    if (!log.locate(source, error))
        return fail(path, error);
    for (const std::string& problem : log.checksumReport())
        std::cerr << "evt: " << path << ": " << problem << "\n";
    long lost = 0;
    logfiles::evtx::Event event;
    for (uint64_t id = log.oldest(); !log.empty() && id <= log.newest(); ++id) {
        logfiles::evtx::RecordPlace place;
        if (!log.find(id, true, place))
            break;
        lost += static_cast<long>(place.id - id);
        id = place.id;
        if (!log.event(place, event)) {
            ++lost;
            continue;
        }
        uint32_t generated = logfiles::evtx::unixSeconds(event.created);
        uint32_t fullId = (static_cast<uint32_t>(event.qualifiers) << 16) | event.eventId;
        uint16_t type = logfiles::evtx::legacyEventType(event);
        std::string sid =
            event.sid.empty() ? "-" : logfiles::evt::formatSid(event.sid.data(), event.sid.size());
        std::u16string source =
            event.eventSourceName.empty() ? event.provider : event.eventSourceName;
        if (!json) {
            time_t when = static_cast<time_t>(generated);
            char text[32];
            struct tm utc;
            gmtime_r(&when, &utc);
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
            std::printf("%llu\t%s\t0x%08X\t%s\t%s\t%u\t%s\n",
                        static_cast<unsigned long long>(event.recordId), text, fullId,
                        EventTypeName(type), toUtf8(source).c_str(), event.task, sid.c_str());
            continue;
        }
        std::string strings;
        for (const std::u16string& s : event.strings)
            strings += (strings.empty() ? "" : ",") + jsonText(s);
        std::printf("{\"number\": %llu, \"created\": %llu, \"written\": %llu, \"eventId\": %u, "
                    "\"qualifiers\": %s, \"level\": %u, \"type\": %u, \"task\": %u, "
                    "\"version\": %u, \"provider\": %s, \"source\": %s, \"guid\": %s, "
                    "\"computer\": %s, \"sid\": \"%s\", \"strings\": [%s], \"data\": \"%s\"}\n",
                    static_cast<unsigned long long>(event.recordId),
                    static_cast<unsigned long long>(event.created),
                    static_cast<unsigned long long>(event.written), event.eventId,
                    event.hasQualifiers ? std::to_string(event.qualifiers).c_str() : "null",
                    event.level, type, event.task, event.version, jsonText(event.provider).c_str(),
                    jsonText(source).c_str(), jsonText(event.providerGuid).c_str(),
                    jsonText(event.computer).c_str(), sid.c_str(), strings.c_str(),
                    hexText(event.data).c_str());
    }
    if (lost)
        std::cerr << "evt: " << path << ": " << lost << " records lost or damaged\n";
    return 0;
}

int dumpLog(const std::string& path, bool json) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail(path, "cannot read");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    logfiles::evt::MemorySource source(bytes.data(), bytes.size());
    if (logfiles::evtx::hasSignature(source))
        return dumpEvtx(path, source, json);
    logfiles::evt::LogImage image(bytes.data(), bytes.size());
    logfiles::evt::Layout layout;
    std::string error;
    if (!image.locate(layout, error))
        return fail(path, error);
    uint32_t offset = layout.beginOffset;
    std::vector<uint8_t> record;
    for (uint32_t n = 0, count = layout.count(); n < count; ++n) {
        uint32_t expected = layout.oldestNumber + n;
        if (!image.storedRecord(layout, offset, record) || dword(record, 8) != expected)
            return fail(path, "record " + std::to_string(expected) + " is damaged; " +
                                  std::to_string(n) + " of " + std::to_string(count) +
                                  " records dumped");
        time_t generated = static_cast<time_t>(dword(record, 12));
        char when[32];
        struct tm utc;
        gmtime_r(&generated, &utc);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        std::u16string source;
        for (size_t i = 56; i + 1 < record.size() && (record[i] | record[i + 1]); i += 2)
            source += static_cast<char16_t>(record[i] | (record[i + 1] << 8));
        uint32_t sidLength = dword(record, 40), sidOffset = dword(record, 44);
        std::string sid = sidLength ? logfiles::evt::formatSid(&record[sidOffset], sidLength) : "-";
        std::printf("%u\t%s\t0x%08X\t%s\t%s\t%u\t%s\n", expected, when, dword(record, 20),
                    EventTypeName(static_cast<uint16_t>(record[24] | (record[25] << 8))),
                    toUtf8(source).c_str(), record[26] | (record[27] << 8),
                    sid.empty() ? "?" : sid.c_str());
        if (n + 1 < count && !image.nextOffset(layout, offset, offset))
            return fail(path, "the records end early after record " + std::to_string(expected));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "write") == 0)
        return writeLog(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "dump") == 0)
        return dumpLog(argv[2], false);
    if (argc == 4 && std::strcmp(argv[1], "dump") == 0 && std::strcmp(argv[2], "--json") == 0)
        return dumpLog(argv[3], true);
    const char* usage = "usage: evt write DESCRIPTION OUT\n       evt dump [--json] FILE\n";
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << usage;
        return 0;
    }
    std::cerr << usage;
    return 2;
}
