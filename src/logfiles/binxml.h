// Binary XML, the form in which an .evtx record holds its event: tokens for
// elements, attributes and text, names stored once in the chunk and referred
// to by their offset in it, and template instances whose substitutions take
// the record's typed values. The reader resolves a record into a small tree;
// every offset, count and size is checked against the chunk, nesting is
// bounded, and anything malformed makes the whole record unreadable rather
// than partly read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace logfiles::evtx {

// Value types of substitutions and text (0x80 marks an array of the type).
enum ValueType : uint8_t {
    kNull = 0x00,
    kString = 0x01,
    kAnsiString = 0x02,
    kInt8 = 0x03,
    kUInt8 = 0x04,
    kInt16 = 0x05,
    kUInt16 = 0x06,
    kInt32 = 0x07,
    kUInt32 = 0x08,
    kInt64 = 0x09,
    kUInt64 = 0x0a,
    kReal32 = 0x0b,
    kReal64 = 0x0c,
    kBool = 0x0d,
    kBinary = 0x0e,
    kGuid = 0x0f,
    kSizeT = 0x10,
    kFileTime = 0x11,
    kSystemTime = 0x12,
    kSid = 0x13,
    kHexInt32 = 0x14,
    kHexInt64 = 0x15,
    kBinXml = 0x21,
    kArray = 0x80,
};

// A piece of content: a typed value whose bytes lie in the chunk, literal text,
// or a child element (an index into the document's elements).
struct Item {
    enum Kind : uint8_t { Value, Text, Element } kind = Text;
    uint8_t type = kNull;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    std::u16string text;
    uint32_t element = 0;
};

struct Attribute {
    std::u16string name;
    std::vector<Item> value;
};

struct Element {
    std::u16string name;
    std::vector<Attribute> attributes;
    std::vector<Item> content;
};

// A resolved record: elements[0] is the root when there is one.
struct Document {
    std::vector<Element> elements;
};

// Parses the binary XML at `offset` (at most `size` bytes) of a chunk of
// `chunkSize` bytes into `document`. False for anything malformed.
bool parseRecordXml(const uint8_t* chunk, uint32_t chunkSize, uint32_t offset, uint32_t size,
                    Document& document);

// How the platform's XML rendering shows a value (arrays as their elements,
// one after another with no separator; see textsOf for one text each).
std::u16string renderValue(uint8_t type, const uint8_t* data, uint32_t size);

// A value's texts: one for a scalar, one per element for an array, none for
// NULL. Element values (binary XML) give their leaf texts.
void textsOf(const Document& document, const Item& item, std::vector<std::u16string>& out);

// The concatenated text of an element's own content or of an attribute value.
std::u16string textOf(const Document& document, const std::vector<Item>& items);

// The child of `parent` named `name` (the first), or -1.
int childNamed(const Document& document, const Element& parent, const char16_t* name);
const Attribute* attributeNamed(const Element& element, const char16_t* name);

} // namespace logfiles::evtx
