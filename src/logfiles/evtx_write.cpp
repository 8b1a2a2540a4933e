#include "evtx_write.h"

#include "../platform/emu/codepage.h"
#include "binxml.h"
#include "evt_file.h"
#include "evtx_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace logfiles::evtx {

namespace {

// The substitutions of System, in the order the template refers to them.
enum : uint16_t {
    kSubProvider,
    kSubGuid,
    kSubEventSource,
    kSubQualifiers,
    kSubEventId,
    kSubVersion,
    kSubLevel,
    kSubTask,
    kSubOpcode,
    kSubKeywords,
    kSubCreated,
    kSubRecordId,
    kSubChannel,
    kSubComputer,
    kSubUserId,
    kSystemSubs
};

TypedValue scalar(uint8_t type, uint64_t value, size_t size) {
    TypedValue out;
    out.type = type;
    for (size_t i = 0; i < size; ++i)
        out.bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

TypedValue text(const std::u16string& value) {
    TypedValue out;
    out.type = kString;
    for (char16_t c : value) {
        out.bytes.push_back(static_cast<uint8_t>(c));
        out.bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// A template's element: its name, attributes (name and the substitution, or a
// literal text) and content (one substitution, a literal text, or children).
struct Node {
    explicit Node(std::u16string elementName) : name(std::move(elementName)) {}
    std::u16string name;
    std::vector<std::pair<std::u16string, int>> attributes;
    std::vector<std::pair<std::u16string, std::u16string>> literalAttributes;
    int substitution = -1;
    std::u16string literal;
    std::vector<Node> children;
};

uint16_t nameHash(const std::u16string& name) {
    uint32_t hash = 0;
    for (char16_t c : name)
        hash = hash * 65599 + c;
    return static_cast<uint16_t>(hash);
}

// Writes into a chunk at a moving position; anything past the chunk's end
// marks the whole write as failed.
class Emitter {
  public:
    Emitter(std::vector<uint8_t>& chunk, uint32_t pos) : b_(chunk), pos_(pos) {}
    uint32_t pos() const { return pos_; }
    bool ok() const { return ok_; }

    void bytes(const void* data, size_t count) {
        if (count == 0)
            return; // an empty value: nothing to copy, and maybe no buffer
        if (!ok_ || count > b_.size() - pos_) {
            ok_ = false;
            return;
        }
        std::memcpy(b_.data() + pos_, data, count);
        pos_ += static_cast<uint32_t>(count);
    }
    void u8(uint8_t v) { bytes(&v, 1); }
    void u16(uint16_t v) {
        uint8_t p[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        bytes(p, 2);
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
    void patch32(uint32_t at, uint32_t v) {
        if (ok_)
            for (int i = 0; i < 4; ++i)
                b_[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void patch16(uint32_t at, uint16_t v) {
        if (ok_) {
            b_[at] = static_cast<uint8_t>(v);
            b_[at + 1] = static_cast<uint8_t>(v >> 8);
        }
    }
    void wide(const std::u16string& text) {
        for (char16_t c : text)
            u16(c);
    }
    // A name used for the first time: its offset points just past the field.
    void name(const std::u16string& text) {
        u32(pos_ + 4);
        u32(0);
        u16(nameHash(text));
        u16(static_cast<uint16_t>(text.size()));
        wide(text);
        u16(0);
    }
    void literalText(const std::u16string& text) {
        u8(0x05);
        u8(kString);
        u16(static_cast<uint16_t>(text.size()));
        wide(text);
    }
    void element(const Node& node, const std::vector<uint8_t>& types) {
        uint32_t start = pos_;
        bool attributes = !node.attributes.empty() || !node.literalAttributes.empty();
        u8(attributes ? 0x41 : 0x01);
        u16(0xFFFF);
        u32(0); // data size, patched below
        name(node.name);
        if (attributes) {
            uint32_t listAt = pos_;
            u32(0);
            size_t count = node.attributes.size() + node.literalAttributes.size(), i = 0;
            for (const auto& [attribute, sub] : node.attributes) {
                u8(++i < count ? 0x46 : 0x06);
                name(attribute);
                u8(0x0e);
                u16(static_cast<uint16_t>(sub));
                u8(types[sub]);
            }
            for (const auto& [attribute, value] : node.literalAttributes) {
                u8(++i < count ? 0x46 : 0x06);
                name(attribute);
                literalText(value);
            }
            patch32(listAt, pos_ - listAt - 4);
        }
        if (node.substitution < 0 && node.literal.empty() && node.children.empty()) {
            u8(0x03);
        } else {
            u8(0x02);
            if (node.substitution >= 0) {
                u8(0x0e);
                u16(static_cast<uint16_t>(node.substitution));
                u8(types[node.substitution]);
            } else if (!node.literal.empty()) {
                literalText(node.literal);
            }
            for (const Node& child : node.children)
                element(child, types);
            u8(0x04);
        }
        patch32(start + 3, pos_ - start - 7);
    }

  private:
    std::vector<uint8_t>& b_;
    uint32_t pos_;
    bool ok_ = true;
};

std::u16string paramName(size_t i) {
    std::string name = "param" + std::to_string(i + 1);
    return std::u16string(name.begin(), name.end());
}

// The record's template and its values (NULL where the record has none).
Node eventTemplate(const RecordSpec& r, std::vector<TypedValue>& values, std::string& shape) {
    values.assign(kSystemSubs, TypedValue());
    values[kSubProvider] = text(r.provider);
    if (r.guid.size() == 16)
        values[kSubGuid] = {kGuid, r.guid};
    if (!r.eventSourceName.empty())
        values[kSubEventSource] = text(r.eventSourceName);
    if (r.qualifiers >= 0)
        values[kSubQualifiers] = scalar(kUInt16, static_cast<uint32_t>(r.qualifiers), 2);
    values[kSubEventId] = scalar(kUInt16, r.eventId, 2);
    values[kSubVersion] = scalar(kUInt8, r.version, 1);
    values[kSubLevel] = scalar(kUInt8, r.level, 1);
    values[kSubTask] = scalar(kUInt16, r.task, 2);
    values[kSubOpcode] = scalar(kUInt8, r.opcode, 1);
    values[kSubKeywords] = scalar(kHexInt64, r.keywords, 8);
    values[kSubCreated] = scalar(kFileTime, r.created, 8);
    values[kSubRecordId] = scalar(kUInt64, 0, 8); // set per record
    values[kSubChannel] = text(r.channel);
    values[kSubComputer] = text(r.computer);
    if (!r.sid.empty())
        values[kSubUserId] = {kSid, r.sid};

    Node system(u"System");
    auto leaf = [](const char16_t* name, int sub) {
        Node node(name);
        node.substitution = sub;
        return node;
    };
    Node provider(u"Provider");
    provider.attributes = {
        {u"Name", kSubProvider}, {u"Guid", kSubGuid}, {u"EventSourceName", kSubEventSource}};
    Node eventId = leaf(u"EventID", kSubEventId);
    eventId.attributes = {{u"Qualifiers", kSubQualifiers}};
    Node created(u"TimeCreated");
    created.attributes = {{u"SystemTime", kSubCreated}};
    Node security(u"Security");
    security.attributes = {{u"UserID", kSubUserId}};
    system.children = {provider,
                       eventId,
                       leaf(u"Version", kSubVersion),
                       leaf(u"Level", kSubLevel),
                       leaf(u"Task", kSubTask),
                       leaf(u"Opcode", kSubOpcode),
                       leaf(u"Keywords", kSubKeywords),
                       created,
                       leaf(u"EventRecordID", kSubRecordId),
                       leaf(u"Channel", kSubChannel),
                       leaf(u"Computer", kSubComputer),
                       security};
    Node event(u"Event");
    event.literalAttributes = {
        {u"xmlns", u"http://schemas.microsoft.com/win/2004/08/events/event"}};
    event.children = {system};
    shape = std::to_string(r.style);
    if (r.style == RecordSpec::UserData) {
        // Filled in place as embedded binary XML: see appendTo.
        values.push_back(TypedValue{kBinXml, {}});
        event.children.push_back(leaf(u"UserData", kSystemSubs));
        shape += ":" + std::to_string(r.values.size());
        return event;
    }
    Node data(u"EventData");
    if (r.style == RecordSpec::Classic) {
        TypedValue strings;
        strings.type = kString | kArray;
        for (const std::u16string& s : r.strings) {
            TypedValue one = text(s);
            strings.bytes.insert(strings.bytes.end(), one.bytes.begin(), one.bytes.end());
            strings.bytes.push_back(0);
            strings.bytes.push_back(0);
        }
        if (r.strings.empty())
            strings = TypedValue{kNull, {}};
        values.push_back(strings);
        data.children.push_back(leaf(u"Data", static_cast<int>(values.size() - 1)));
    } else {
        for (size_t i = 0; i < r.values.size(); ++i) {
            values.push_back(r.values[i]);
            Node item = leaf(u"Data", static_cast<int>(values.size() - 1));
            item.literalAttributes = {{u"Name", paramName(i)}};
            data.children.push_back(item);
            shape += ":" + std::to_string(r.values[i].type);
        }
    }
    if (!r.binary.empty() || r.style == RecordSpec::Classic) {
        values.push_back(r.binary.empty() ? TypedValue{kNull, {}} : TypedValue{kBinary, r.binary});
        data.children.push_back(leaf(u"Binary", static_cast<int>(values.size() - 1)));
        shape += ":b";
    }
    event.children.push_back(data);
    return event;
}

// The types the template's substitutions declare (a NULL value keeps its
// declared type in the template).
std::vector<uint8_t> declaredTypes(const RecordSpec& r, const std::vector<TypedValue>& values) {
    static const uint8_t system[kSystemSubs] = {kString,   kGuid,   kString, kUInt16, kUInt16,
                                                kUInt8,    kUInt8,  kUInt16, kUInt8,  kHexInt64,
                                                kFileTime, kUInt64, kString, kString, kSid};
    std::vector<uint8_t> types(system, system + kSystemSubs);
    for (size_t i = kSystemSubs; i < values.size(); ++i)
        types.push_back(values[i].type);
    if (r.style == RecordSpec::Classic) {
        types[kSystemSubs] = kString | kArray;
        types.back() = kBinary;
    }
    return types;
}

uint32_t dword(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    put32(b, at, static_cast<uint32_t>(v));
    put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "YYYY-MM-DDTHH:MM:SS[.fffffff]Z" to FILETIME.
bool parseTime(const std::string& text, uint64_t& filetime) {
    int y, mo, d, h, mi, s;
    char tail[16] = {};
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%15s", &y, &mo, &d, &h, &mi, &s, tail) <
        6)
        return false;
    uint64_t fraction = 0;
    if (tail[0] == '.') {
        std::string digits;
        for (const char* p = tail + 1; *p >= '0' && *p <= '9'; ++p)
            digits += *p;
        digits = (digits + "0000000").substr(0, 7);
        fraction = std::strtoull(digits.c_str(), nullptr, 10);
    }
    int64_t seconds =
        daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
        mi * 60 + s;
    if (seconds < -11644473600LL)
        return false;
    filetime = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000 + fraction;
    return true;
}

bool parseUnsigned(const std::string& text, uint64_t& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0);
    return *end == 0 && text[0] != '-';
}

bool parseScalar(uint8_t type, const std::string& text, TypedValue& out) {
    out.type = type;
    out.bytes.clear();
    uint64_t u = 0;
    char* end = nullptr;
    switch (type) {
    case kString: {
        out = evtx::TypedValue{kString, {}};
        for (char16_t c : emu::utf8ToWide(text)) {
            out.bytes.push_back(static_cast<uint8_t>(c));
            out.bytes.push_back(static_cast<uint8_t>(c >> 8));
        }
        return true;
    }
    case kAnsiString:
        out.bytes.assign(text.begin(), text.end());
        return true;
    case kInt8:
    case kInt16:
    case kInt32:
    case kInt64: {
        long long s = std::strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end)
            return false;
        size_t size = type == kInt8 ? 1 : type == kInt16 ? 2 : type == kInt32 ? 4 : 8;
        out = scalar(type, static_cast<uint64_t>(s), size);
        return true;
    }
    case kUInt8:
    case kUInt16:
    case kUInt32:
    case kUInt64:
    case kHexInt32:
    case kHexInt64:
    case kSizeT: {
        if (!parseUnsigned(text, u))
            return false;
        size_t size = type == kUInt8                                           ? 1
                      : type == kUInt16                                        ? 2
                      : type == kUInt32 || type == kHexInt32 || type == kSizeT ? 4
                                                                               : 8;
        out = scalar(type, u, size);
        return true;
    }
    case kReal32: {
        float f = std::strtof(text.c_str(), &end);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        out = scalar(type, bits, 4);
        return !text.empty() && !*end;
    }
    case kReal64: {
        double f = std::strtod(text.c_str(), &end);
        uint64_t bits;
        std::memcpy(&bits, &f, 8);
        out = scalar(type, bits, 8);
        return !text.empty() && !*end;
    }
    case kBool:
        if (text != "true" && text != "false")
            return false;
        out = scalar(type, text == "true", 4);
        return true;
    case kBinary: {
        std::string digits;
        for (char c : text)
            if (c != ' ')
                digits += c;
        if (digits.size() % 2)
            return false;
        for (size_t i = 0; i < digits.size(); i += 2) {
            uint64_t byte;
            if (!parseUnsigned("0x" + digits.substr(i, 2), byte))
                return false;
            out.bytes.push_back(static_cast<uint8_t>(byte));
        }
        return true;
    }
    case kGuid:
        return parseGuid(text, out.bytes);
    case kFileTime:
        if (!parseTime(text, u))
            return false;
        out = scalar(type, u, 8);
        return true;
    case kSystemTime: {
        int y, mo, d, h, mi, s, ms = 0;
        if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s,
                        &ms) < 6)
            return false;
        int64_t days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
        int fields[8] = {y, mo, static_cast<int>(((days % 7) + 11) % 7), d, h, mi, s, ms};
        for (int field : fields) {
            out.bytes.push_back(static_cast<uint8_t>(field));
            out.bytes.push_back(static_cast<uint8_t>(field >> 8));
        }
        return true;
    }
    case kSid:
        return evt::parseSid(text, out.bytes);
    default:
        return false;
    }
}

} // namespace

uint64_t fileTimeFromUnix(uint64_t seconds) {
    return (seconds + 11644473600ull) * 10000000ull;
}

bool parseGuid(const std::string& text, std::vector<uint8_t>& guid) {
    unsigned a, b, c, d[8];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0],
                    &d[1], &d[2], &d[3], &d[4], &d[5], &d[6], &d[7]) != 11 ||
        text.size() != 38)
        return false;
    guid.clear();
    for (int i = 0; i < 4; ++i) // the first three fields little-endian, as stored
        guid.push_back(static_cast<uint8_t>(a >> (8 * i)));
    for (unsigned v : {b, c}) {
        guid.push_back(static_cast<uint8_t>(v));
        guid.push_back(static_cast<uint8_t>(v >> 8));
    }
    for (unsigned v : d)
        guid.push_back(static_cast<uint8_t>(v));
    return true;
}

bool parseTypedValue(const std::string& type, const std::string& text, TypedValue& value) {
    static const struct {
        const char* name;
        uint8_t type;
    } names[] = {{"string", kString}, {"ansistring", kAnsiString}, {"int8", kInt8},
                 {"uint8", kUInt8},   {"int16", kInt16},           {"uint16", kUInt16},
                 {"int32", kInt32},   {"uint32", kUInt32},         {"int64", kInt64},
                 {"uint64", kUInt64}, {"real32", kReal32},         {"real64", kReal64},
                 {"bool", kBool},     {"binary", kBinary},         {"guid", kGuid},
                 {"sizet", kSizeT},   {"filetime", kFileTime},     {"systemtime", kSystemTime},
                 {"sid", kSid},       {"hexint32", kHexInt32},     {"hexint64", kHexInt64}};
    bool array = type.size() > 2 && type.compare(type.size() - 2, 2, "[]") == 0;
    std::string base = array ? type.substr(0, type.size() - 2) : type;
    for (const auto& known : names) {
        if (base != known.name)
            continue;
        if (!array)
            return parseScalar(known.type, text, value);
        if (known.type == kBinary)
            return false; // the platform has no arrays of binary
        value = TypedValue{static_cast<uint8_t>(known.type | kArray), {}};
        size_t start = 0;
        for (;;) {
            size_t bar = text.find('|', start);
            TypedValue one;
            if (!parseScalar(known.type, text.substr(start, bar - start), one))
                return false;
            value.bytes.insert(value.bytes.end(), one.bytes.begin(), one.bytes.end());
            if (known.type == kString || known.type == kAnsiString) // NUL-separated
                value.bytes.insert(value.bytes.end(), known.type == kString ? 2 : 1, 0);
            if (bar == std::string::npos)
                return true;
            start = bar + 1;
        }
    }
    return false;
}

Writer::Writer(uint16_t minorVersion, uint64_t firstId, uint32_t maxChunks)
    : minor_(minorVersion), next_(firstId), maxChunks_(maxChunks) {}

uint64_t Writer::oldestId() const {
    uint64_t oldest = 0;
    for (const Chunk& chunk : slots_)
        if (chunk.firstId && (!oldest || chunk.firstId < oldest))
            oldest = chunk.firstId;
    return oldest;
}

bool Writer::appendTo(Chunk& chunk, const RecordSpec& r) {
    std::vector<TypedValue> values;
    std::string shape;
    Node root = eventTemplate(r, values, shape);
    values[kSubRecordId] = scalar(kUInt64, next_, 8);
    std::vector<uint8_t> types = declaredTypes(r, values);
    Emitter out(chunk.bytes, chunk.used);
    uint32_t start = out.pos();
    out.u32(kRecordSignature);
    out.u32(0);
    out.u64(next_);
    out.u64(r.written ? r.written : r.created);
    out.bytes("\x0f\x01\x01\x00", 4);
    out.u8(0x0c);
    out.u8(0x01);
    auto known = std::find_if(chunk.templates.begin(), chunk.templates.end(),
                              [&](const auto& t) { return t.first == shape; });
    bool define = known == chunk.templates.end();
    uint32_t definition = define ? out.pos() + 8 : known->second;
    out.u32(static_cast<uint32_t>(std::hash<std::string>()(shape)));
    out.u32(definition);
    if (define) {
        out.u32(0); // the next definition with the same hash: none
        for (int i = 0; i < 16; ++i)
            out.u8(static_cast<uint8_t>(std::hash<std::string>()(shape + char('a' + i))));
        uint32_t sizeAt = out.pos();
        out.u32(0);
        out.bytes("\x0f\x01\x01\x00", 4);
        out.element(root, types);
        out.u8(0x00);
        out.patch32(sizeAt, out.pos() - sizeAt - 4);
    }
    out.u32(static_cast<uint32_t>(values.size()));
    uint32_t descriptors = out.pos();
    for (const TypedValue& value : values) {
        out.u16(static_cast<uint16_t>(std::min<size_t>(value.bytes.size(), 0xFFFF)));
        out.u8(value.type);
        out.u8(0);
    }
    for (size_t i = 0; i < values.size(); ++i) {
        const TypedValue& value = values[i];
        if (value.type != kBinXml) {
            if (value.bytes.size() > 0xFFFF)
                return false;
            out.bytes(value.bytes.data(), value.bytes.size());
            continue;
        }
        // UserData: embedded binary XML of its own, as the service writes it: a
        // template instance whose element is the provider's, its data items
        // the template's values.
        uint32_t at = out.pos();
        Node xml(u"EventXML");
        xml.literalAttributes = {{u"xmlns", u"kestrin:" + r.provider}};
        std::vector<uint8_t> itemTypes;
        for (size_t k = 0; k < r.values.size(); ++k) {
            Node item(paramName(k));
            item.substitution = static_cast<int>(k);
            itemTypes.push_back(r.values[k].type);
            xml.children.push_back(item);
        }
        out.bytes("\x0f\x01\x01\x00\x0c\x01", 6);
        out.u32(0);
        out.u32(out.pos() + 4);
        out.u32(0);
        for (int k = 0; k < 16; ++k)
            out.u8(static_cast<uint8_t>(k));
        uint32_t innerSize = out.pos();
        out.u32(0);
        out.bytes("\x0f\x01\x01\x00", 4);
        out.element(xml, itemTypes);
        out.u8(0x00);
        out.patch32(innerSize, out.pos() - innerSize - 4);
        out.u32(static_cast<uint32_t>(r.values.size()));
        for (const TypedValue& item : r.values) {
            out.u16(static_cast<uint16_t>(std::min<size_t>(item.bytes.size(), 0xFFFF)));
            out.u8(item.type);
            out.u8(0);
        }
        for (const TypedValue& item : r.values)
            out.bytes(item.bytes.data(), std::min<size_t>(item.bytes.size(), 0xFFFF));
        out.patch16(descriptors + 4 * static_cast<uint32_t>(i),
                    static_cast<uint16_t>(out.pos() - at));
    }
    out.u8(0x00); // the end of the stream
    uint32_t sizeAt = start + 4;
    uint32_t size = out.pos() + 4 - start;
    out.u32(size);
    if (!out.ok())
        return false;
    out.patch32(sizeAt, size);
    if (define)
        chunk.templates.emplace_back(shape, definition);
    if (!chunk.firstId)
        chunk.firstId = next_;
    chunk.lastId = next_++;
    chunk.lastRecord = start;
    chunk.used = out.pos();
    return true;
}

bool Writer::append(const RecordSpec& record) {
    auto fresh = [] {
        Chunk chunk;
        chunk.bytes.assign(kChunkSize, 0);
        chunk.used = kChunkHeaderSize;
        return chunk;
    };
    if (slots_.empty())
        slots_.push_back(fresh());
    if (appendTo(slots_[current_], record))
        return true;
    // A new chunk: at the end of the file, or in the oldest one's place.
    Chunk next = fresh();
    if (!appendTo(next, record))
        return false;
    if (maxChunks_ && slots_.size() >= maxChunks_) {
        current_ = (current_ + 1) % slots_.size();
        slots_[current_] = std::move(next);
        wrapped_ = true;
    } else {
        slots_.push_back(std::move(next));
        current_ = slots_.size() - 1;
    }
    return true;
}

void Writer::finish(Chunk& chunk) const {
    std::vector<uint8_t>& b = chunk.bytes;
    std::memcpy(b.data(), "ElfChnk", 8);
    put64(b, 8, chunk.firstId);
    put64(b, 16, chunk.lastId);
    put64(b, 24, chunk.firstId);
    put64(b, 32, chunk.lastId);
    put32(b, 40, 128);
    put32(b, 44, chunk.lastRecord);
    put32(b, 48, chunk.used);
    put32(b, 52, crc32(b.data() + kChunkHeaderSize, chunk.used - kChunkHeaderSize));
    put32(b, 124, crc32(b.data() + 128, kChunkHeaderSize - 128, crc32(b.data(), 120)));
}

std::vector<uint8_t> Writer::image(const FileOptions& options) const {
    std::vector<uint8_t> file(kFileHeaderSize, 0);
    std::memcpy(file.data(), "ElfFile", 8);
    size_t oldestSlot = wrapped_ ? (current_ + 1) % slots_.size() : 0;
    uint64_t counted = slots_.size(), lastSlot = current_, next = next_;
    uint32_t flags = 0;
    if (options.headerLags && !slots_.empty()) {
        // The service had the log open: the newest chunk is not in the header yet.
        counted = slots_.size() - 1;
        lastSlot = current_ ? current_ - 1 : slots_.size() - 1;
        next = slots_[current_].firstId;
        flags |= 1;
    }
    put64(file, 8, oldestSlot);
    put64(file, 16, lastSlot);
    put64(file, 24, next);
    put32(file, 32, 128);
    file[36] = static_cast<uint8_t>(minor_);
    file[38] = 3;
    file[40] = kFileHeaderSize & 0xFF;
    file[41] = kFileHeaderSize >> 8;
    file[42] = static_cast<uint8_t>(counted);
    file[43] = static_cast<uint8_t>(counted >> 8);
    put32(file, 120, flags);
    put32(file, 124, crc32(file.data(), 120) ^ (options.badChecksums ? 1 : 0));
    for (Chunk chunk : slots_) {
        finish(chunk);
        if (options.badChecksums)
            put32(chunk.bytes, 124, dword(chunk.bytes, 124) ^ 1);
        file.insert(file.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    if (options.cutTo && options.cutTo < file.size())
        file.resize(options.cutTo);
    return file;
}

} // namespace logfiles::evtx
