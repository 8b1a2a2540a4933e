#include "binxml.h"
#include "le_bytes.h"

#include <cstdio>
#include <cstring>

namespace logfiles::evtx {

namespace {

// Nesting of elements, templates and embedded fragments, and the number of
// pieces one record may resolve to: a template may be instanced from inside
// another's values, so the bytes alone do not bound the work.
constexpr int kMaxDepth = 48;
constexpr size_t kMaxPieces = 1 << 13;

constexpr auto word = logfiles::loadWord;
constexpr auto dword = logfiles::loadDword;
constexpr auto qword = logfiles::loadQword;

struct Substitution {
    uint8_t type;
    uint32_t offset; // in the chunk
    uint32_t size;
};

class Parser {
  public:
    Parser(const uint8_t* chunk, uint32_t size, Document& document)
        : chunk_(chunk), size_(size), doc_(document) {}

    // Tokens from `pos` up to `end`, until the end of the stream or of the
    // enclosing element (`inElement`), appended to `out`.
    bool content(uint32_t& pos, uint32_t end, const std::vector<Substitution>* subs,
                 std::vector<Item>& out, bool inElement) {
        if (++depth_ > kMaxDepth)
            return false;
        bool ok = contentTokens(pos, end, subs, out, inElement);
        --depth_;
        return ok;
    }

  private:
    bool has(uint32_t pos, uint32_t count, uint32_t end) const {
        return pos <= end && count <= end - pos;
    }
    bool spend() { return ++pieces_ <= kMaxPieces; }

    bool contentTokens(uint32_t& pos, uint32_t end, const std::vector<Substitution>* subs,
                       std::vector<Item>& out, bool inElement) {
        while (pos < end) {
            uint8_t token = chunk_[pos];
            switch (token & 0xBF) {
            case 0x00: // end of the stream
                ++pos;
                return !inElement;
            case 0x04: // end of the element
                ++pos;
                return inElement;
            case 0x0f: // fragment header
                if (!has(pos, 4, end))
                    return false;
                pos += 4;
                break;
            case 0x01: {
                uint32_t index;
                if (!element(pos, end, subs, index))
                    return false;
                Item item;
                item.kind = Item::Element;
                item.element = index;
                out.push_back(std::move(item));
                break;
            }
            case 0x0c:
                if (!templateInstance(pos, end, out))
                    return false;
                break;
            default:
                if (!valuePiece(pos, end, subs, out, true))
                    return false;
            }
            if (!spend())
                return false;
        }
        return !inElement && pos == end;
    }

    // Text, references and substitutions: what an attribute's value or an
    // element's text is made of. False for any other token.
    bool valuePiece(uint32_t& pos, uint32_t end, const std::vector<Substitution>* subs,
                    std::vector<Item>& out, bool elementsAllowed) {
        uint8_t token = chunk_[pos] & 0xBF;
        Item item;
        switch (token) {
        case 0x05: // value text: a string with its length before it
            if (!has(pos, 4, end) || chunk_[pos + 1] != kString)
                return false;
            pos += 2;
            return lengthPrefixed(pos, end, &out);
        case 0x07: // CDATA
            ++pos;
            return lengthPrefixed(pos, end, &out);
        case 0x08: // a character reference
            if (!has(pos, 3, end))
                return false;
            item.text.assign(1, static_cast<char16_t>(word(chunk_ + pos + 1)));
            pos += 3;
            out.push_back(std::move(item));
            return true;
        case 0x09: { // an entity reference: the five XML defines
            ++pos;
            std::u16string name;
            if (!nameAt(pos, end, name))
                return false;
            static const struct {
                const char16_t* name;
                char16_t c;
            } entities[] = {
                {u"lt", u'<'}, {u"gt", u'>'}, {u"amp", u'&'}, {u"quot", u'"'}, {u"apos", u'\''}};
            for (const auto& entity : entities)
                if (name == entity.name)
                    item.text.assign(1, entity.c);
            if (item.text.empty())
                item.text = u"&" + name + u";";
            out.push_back(std::move(item));
            return true;
        }
        case 0x0a: { // a processing instruction's target, then its data: not content
            ++pos;
            std::u16string name;
            return nameAt(pos, end, name);
        }
        case 0x0b:
            ++pos;
            return lengthPrefixed(pos, end, nullptr);
        case 0x0d:   // a substitution
        case 0x0e: { // an optional one: left out when the value is NULL
            if (!has(pos, 4, end) || !subs)
                return false;
            uint16_t id = word(chunk_ + pos + 1);
            pos += 4;
            if (id >= subs->size())
                return false;
            const Substitution& value = (*subs)[id];
            if (value.type == kNull)
                return true;
            if (value.type == kBinXml) {
                if (!elementsAllowed)
                    return true; // an attribute cannot hold elements
                uint32_t at = value.offset;
                return content(at, value.offset + value.size, nullptr, out, false);
            }
            item.kind = Item::Value;
            item.type = value.type;
            item.data = chunk_ + value.offset;
            item.size = value.size;
            out.push_back(std::move(item));
            return true;
        }
        default:
            return false;
        }
    }

    // A UTF-16 string with its count of characters before it.
    bool lengthPrefixed(uint32_t& pos, uint32_t end, std::vector<Item>* out) {
        if (!has(pos, 2, end))
            return false;
        uint32_t count = word(chunk_ + pos);
        if (!has(pos + 2, count * 2, end))
            return false;
        if (out) {
            Item item;
            item.text.resize(count);
            for (uint32_t i = 0; i < count; ++i)
                item.text[i] = static_cast<char16_t>(word(chunk_ + pos + 2 + 2 * i));
            out->push_back(std::move(item));
        }
        pos += 2 + count * 2;
        return true;
    }

    // A name's offset at `pos`; the name itself follows right there when the
    // offset points just past the field (its first use in the chunk).
    bool nameAt(uint32_t& pos, uint32_t end, std::u16string& name) {
        if (!has(pos, 4, end))
            return false;
        uint32_t offset = dword(chunk_ + pos);
        pos += 4;
        if (!has(offset, 8, size_))
            return false;
        uint32_t count = word(chunk_ + offset + 6);
        uint32_t bytes = 8 + count * 2 + 2;
        if (!has(offset, bytes, size_))
            return false;
        name.resize(count);
        for (uint32_t i = 0; i < count; ++i)
            name[i] = static_cast<char16_t>(word(chunk_ + offset + 8 + 2 * i));
        if (offset == pos) {
            if (!has(pos, bytes, end))
                return false;
            pos += bytes;
        }
        return true;
    }

    bool element(uint32_t& pos, uint32_t end, const std::vector<Substitution>* subs,
                 uint32_t& index) {
        if (++depth_ > kMaxDepth)
            return false;
        bool ok = elementTokens(pos, end, subs, index);
        --depth_;
        return ok;
    }

    bool elementTokens(uint32_t& pos, uint32_t end, const std::vector<Substitution>* subs,
                       uint32_t& index) {
        bool hasAttributes = chunk_[pos] & 0x40;
        // token, dependency identifier, data size, then the name
        if (!has(pos, 7, end))
            return false;
        pos += 7;
        Element made;
        if (!nameAt(pos, end, made.name))
            return false;
        if (hasAttributes) {
            if (!has(pos, 4, end))
                return false;
            uint32_t listSize = dword(chunk_ + pos);
            pos += 4;
            if (!has(pos, listSize, end))
                return false;
            uint32_t listEnd = pos + listSize;
            while (pos < listEnd) {
                uint8_t token = chunk_[pos];
                if ((token & 0xBF) != 0x06)
                    return false;
                ++pos;
                Attribute attribute;
                if (!nameAt(pos, listEnd, attribute.name))
                    return false;
                // The value runs up to the next attribute or the end of the list.
                do {
                    if (pos >= listEnd || !valuePiece(pos, listEnd, subs, attribute.value, false) ||
                        !spend())
                        return false;
                } while (pos < listEnd && (chunk_[pos] & 0xBF) != 0x06);
                made.attributes.push_back(std::move(attribute));
                if (!(token & 0x40))
                    break;
            }
            pos = listEnd;
        }
        index = static_cast<uint32_t>(doc_.elements.size());
        doc_.elements.push_back(std::move(made));
        if (!has(pos, 1, end))
            return false;
        uint8_t close = chunk_[pos++];
        if (close == 0x03)
            return true;
        if (close != 0x02)
            return false;
        std::vector<Item> content;
        if (!this->content(pos, end, subs, content, true))
            return false;
        doc_.elements[index].content = std::move(content);
        return true;
    }

    // A template instance: the definition (inline, or earlier in the chunk),
    // then the values its substitutions take.
    bool templateInstance(uint32_t& pos, uint32_t end, std::vector<Item>& out) {
        if (!has(pos, 10, end))
            return false;
        uint32_t definition = dword(chunk_ + pos + 6);
        pos += 10;
        if (!has(definition, 24, size_))
            return false;
        uint32_t dataSize = dword(chunk_ + definition + 20);
        if (!has(definition + 24, dataSize, size_))
            return false;
        if (definition == pos) {
            if (!has(pos, 24 + dataSize, end))
                return false;
            pos += 24 + dataSize;
        }
        if (!has(pos, 4, end))
            return false;
        uint32_t count = dword(chunk_ + pos);
        pos += 4;
        if (count > (end - pos) / 4)
            return false;
        std::vector<Substitution> values(count);
        uint32_t at = pos + count * 4;
        for (uint32_t i = 0; i < count; ++i) {
            values[i].size = word(chunk_ + pos + 4 * i);
            values[i].type = chunk_[pos + 4 * i + 2];
            values[i].offset = at;
            if (!has(at, values[i].size, end))
                return false;
            at += values[i].size;
        }
        pos = at;
        uint32_t body = definition + 24;
        return content(body, definition + 24 + dataSize, &values, out, false);
    }

    const uint8_t* chunk_;
    uint32_t size_;
    Document& doc_;
    int depth_ = 0;
    size_t pieces_ = 0;
};

void appendAscii(std::u16string& out, const char* text) {
    while (*text)
        out += static_cast<char16_t>(static_cast<unsigned char>(*text++));
}

std::u16string hexBytes(const uint8_t* data, uint32_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::u16string out;
    out.reserve(size * 2);
    for (uint32_t i = 0; i < size; ++i) {
        out += static_cast<char16_t>(digits[data[i] >> 4]);
        out += static_cast<char16_t>(digits[data[i] & 15]);
    }
    return out;
}

void civilFromDays(int64_t days, int& year, unsigned& month, unsigned& day) {
    // Days since 1970-01-01 to a proleptic Gregorian date.
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// One scalar of `type` at `data`, `size` bytes.
void renderScalar(std::u16string& out, uint8_t type, const uint8_t* data, uint32_t size) {
    char text[96];
    text[0] = 0;
    switch (type) {
    case kString:
        for (uint32_t i = 0; i + 1 < size; i += 2) {
            char16_t c = static_cast<char16_t>(word(data + i));
            if (c == 0)
                break; // stored with their NUL at times
            out += c;
        }
        return;
    case kAnsiString:
        for (uint32_t i = 0; i < size && data[i]; ++i)
            out += static_cast<char16_t>(data[i]);
        return;
    case kInt8:
        if (size >= 1)
            std::snprintf(text, sizeof text, "%d", static_cast<int8_t>(data[0]));
        break;
    case kUInt8:
        if (size >= 1)
            std::snprintf(text, sizeof text, "%u", data[0]);
        break;
    case kInt16:
        if (size >= 2)
            std::snprintf(text, sizeof text, "%d", static_cast<int16_t>(word(data)));
        break;
    case kUInt16:
        if (size >= 2)
            std::snprintf(text, sizeof text, "%u", word(data));
        break;
    case kInt32:
        if (size >= 4)
            std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(dword(data)));
        break;
    case kUInt32:
        if (size >= 4)
            std::snprintf(text, sizeof text, "%u", dword(data));
        break;
    case kInt64:
        if (size >= 8)
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(qword(data)));
        break;
    case kUInt64:
        if (size >= 8)
            std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(qword(data)));
        break;
    case kReal32:
        if (size >= 4) {
            uint32_t bits = dword(data);
            float value;
            std::memcpy(&value, &bits, 4);
            std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
        }
        break;
    case kReal64:
        if (size >= 8) {
            uint64_t bits = qword(data);
            double value;
            std::memcpy(&value, &bits, 8);
            std::snprintf(text, sizeof text, "%g", value);
        }
        break;
    case kBool:
        if (size >= 4)
            std::snprintf(text, sizeof text, "%s", dword(data) ? "true" : "false");
        break;
    case kBinary:
        out += hexBytes(data, size);
        return;
    case kGuid:
        if (size >= 16)
            std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                          dword(data), word(data + 4), word(data + 6), data[8], data[9], data[10],
                          data[11], data[12], data[13], data[14], data[15]);
        break;
    case kSizeT:
    case kHexInt32:
    case kHexInt64:
        if (size == 4)
            std::snprintf(text, sizeof text, "0x%x", dword(data));
        else if (size >= 8)
            std::snprintf(text, sizeof text, "0x%llx",
                          static_cast<unsigned long long>(qword(data)));
        break;
    case kFileTime:
        if (size >= 8) {
            uint64_t ticks = qword(data); // 100 ns since 1601
            int64_t seconds = static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
            int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
            int64_t rest = seconds - days * 86400;
            int year;
            unsigned month, day;
            civilFromDays(days, year, month, day);
            std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%07u00Z", year, month,
                          day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                          static_cast<int>(rest % 60), static_cast<unsigned>(ticks % 10000000));
        }
        break;
    case kSystemTime:
        if (size >= 16)
            std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", word(data),
                          word(data + 2), word(data + 6), word(data + 8), word(data + 10),
                          word(data + 12), word(data + 14));
        break;
    case kSid:
        if (size >= 8 && data[0] == 1 && size >= 8u + 4u * data[1]) {
            uint64_t authority = 0;
            for (int i = 2; i < 8; ++i)
                authority = (authority << 8) | data[i];
            int used = std::snprintf(text, sizeof text, "S-1-%llu",
                                     static_cast<unsigned long long>(authority));
            appendAscii(out, text);
            for (unsigned i = 0; i < data[1]; ++i) {
                std::snprintf(text, sizeof text, "-%u", dword(data + 8 + 4 * i));
                appendAscii(out, text);
            }
            (void)used;
            return;
        }
        out += hexBytes(data, size);
        return;
    default: // types a log does not hold as text: their bytes
        out += hexBytes(data, size);
        return;
    }
    appendAscii(out, text);
}

uint32_t scalarSize(uint8_t type, const uint8_t* data, uint32_t size) {
    switch (type) {
    case kInt8:
    case kUInt8:
        return 1;
    case kInt16:
    case kUInt16:
        return 2;
    case kInt32:
    case kUInt32:
    case kReal32:
    case kBool:
    case kHexInt32:
        return 4;
    case kInt64:
    case kUInt64:
    case kReal64:
    case kFileTime:
    case kHexInt64:
        return 8;
    case kGuid:
    case kSystemTime:
        return 16;
    case kSid:
        return size >= 8 ? 8u + 4u * data[1] : size;
    default:
        return 0;
    }
}

// The elements of an array value, each handed to `each(data, size)`.
template <typename Each>
void forEachElement(uint8_t type, const uint8_t* data, uint32_t size, Each each) {
    uint8_t base = type & ~kArray;
    if (base == kString) {
        uint32_t start = 0;
        for (uint32_t i = 0; i + 1 < size; i += 2)
            if (word(data + i) == 0) {
                each(data + start, i - start);
                start = i + 2;
            }
        if (start + 1 < size)
            each(data + start, size - start);
        return;
    }
    if (base == kAnsiString) {
        uint32_t start = 0;
        for (uint32_t i = 0; i < size; ++i)
            if (data[i] == 0) {
                each(data + start, i - start);
                start = i + 1;
            }
        if (start < size)
            each(data + start, size - start);
        return;
    }
    for (uint32_t at = 0; at < size;) {
        uint32_t step = base == kSizeT ? 0 : scalarSize(base, data + at, size - at);
        if (base == kSizeT)
            step = size % 8 == 0 ? 8 : 4;
        if (step == 0 || step > size - at)
            return;
        each(data + at, step);
        at += step;
    }
}

void leafTexts(const Document& document, const Element& element, std::vector<std::u16string>& out,
               int depth) {
    if (depth > kMaxDepth)
        return;
    for (const Attribute& attribute : element.attributes) {
        // Namespace declarations are not values.
        if (attribute.name == u"xmlns" || attribute.name.compare(0, 6, u"xmlns:") == 0)
            continue;
        out.push_back(textOf(document, attribute.value));
    }
    bool hasChild = false;
    for (const Item& item : element.content)
        hasChild |= item.kind == Item::Element;
    if (!hasChild) {
        if (element.content.size() == 1)
            textsOf(document, element.content[0], out); // an array gives one text each
        else if (!element.content.empty())
            out.push_back(textOf(document, element.content));
        return;
    }
    for (const Item& item : element.content)
        if (item.kind == Item::Element && item.element < document.elements.size())
            leafTexts(document, document.elements[item.element], out, depth + 1);
}

} // namespace

bool parseRecordXml(const uint8_t* chunk, uint32_t chunkSize, uint32_t offset, uint32_t size,
                    Document& document) {
    document.elements.clear();
    if (offset > chunkSize || size > chunkSize - offset)
        return false;
    Parser parser(chunk, chunkSize, document);
    std::vector<Item> top;
    uint32_t pos = offset;
    if (!parser.content(pos, offset + size, nullptr, top, false))
        return false;
    // An element is made before its content, so the root is the first one.
    return !top.empty() && top[0].kind == Item::Element && top[0].element == 0;
}

std::u16string renderValue(uint8_t type, const uint8_t* data, uint32_t size) {
    std::u16string out;
    if (type & kArray)
        forEachElement(type, data, size, [&](const uint8_t* element, uint32_t bytes) {
            renderScalar(out, type & ~kArray, element, bytes);
        });
    else
        renderScalar(out, type, data, size);
    return out;
}

void textsOf(const Document& document, const Item& item, std::vector<std::u16string>& out) {
    switch (item.kind) {
    case Item::Text:
        out.push_back(item.text);
        return;
    case Item::Element:
        if (item.element < document.elements.size())
            leafTexts(document, document.elements[item.element], out, 0);
        return;
    case Item::Value:
        if (item.type == kNull)
            return;
        if (item.type & kArray) {
            forEachElement(item.type, item.data, item.size,
                           [&](const uint8_t* element, uint32_t bytes) {
                               std::u16string text;
                               renderScalar(text, item.type & ~kArray, element, bytes);
                               out.push_back(std::move(text));
                           });
            return;
        }
        out.push_back(renderValue(item.type, item.data, item.size));
        return;
    }
}

std::u16string textOf(const Document& document, const std::vector<Item>& items) {
    std::u16string out;
    for (const Item& item : items) {
        if (item.kind == Item::Text)
            out += item.text;
        else if (item.kind == Item::Value)
            out += renderValue(item.type, item.data, item.size);
        else if (item.element < document.elements.size())
            out += textOf(document, document.elements[item.element].content);
    }
    return out;
}

int childNamed(const Document& document, const Element& parent, const char16_t* name) {
    for (const Item& item : parent.content)
        if (item.kind == Item::Element && item.element < document.elements.size() &&
            document.elements[item.element].name == name)
            return static_cast<int>(item.element);
    return -1;
}

const Attribute* attributeNamed(const Element& element, const char16_t* name) {
    for (const Attribute& attribute : element.attributes)
        if (attribute.name == name)
            return &attribute;
    return nullptr;
}

} // namespace logfiles::evtx
