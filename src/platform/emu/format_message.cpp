// FormatMessageA: a message from a module's message table, the system's, or a
// string, with its inserts filled in, as the platform formats it.
//
// Lookup: FORMAT_MESSAGE_FROM_HMODULE reads the module's RT_MESSAGETABLE (a PE
// file LoadLibraryExA mapped); FORMAT_MESSAGE_FROM_SYSTEM then tries the
// system's table, the machine's System32\kernelbase.dll (an HRESULT of
// FACILITY_WIN32 is folded to its code). Language
// 0 takes neutral, then the user's (English, United States), then the first the
// table has; any other language is taken as it is, with a neutral sublanguage,
// or neutral. Not found: 0 and
// ERROR_RESOURCE_TYPE_NOT_FOUND (no message table), ERROR_RESOURCE_LANG_NOT_FOUND
// (not in that language) or ERROR_MR_MID_NOT_FOUND (not that message).
//
// A `size` of 32,768 or more fails with ERROR_INVALID_PARAMETER before any
// work, and a result longer than 32,767 characters with
// ERROR_INSUFFICIENT_BUFFER, as the A function's fixed buffer refuses it.
//
// Formatting: the text's line breaks come out as CR LF; %n is CR LF, %r CR, %t
// TAB, %0 ends the text (no line break after it); %1 to %99 take the argument
// of that number (an array with FORMAT_MESSAGE_ARGUMENT_ARRAY, else a va_list),
// as a string or by the printf format between two "!" (at most 30 characters,
// "*" widths and precisions taking argument slots as the platform takes them,
// I64 as two slots of a va_list); %% and % before any
// other character give that character. With FORMAT_MESSAGE_IGNORE_INSERTS an
// insert or escape other than %n %r %t %0 is copied with its "%". A "%" at the
// very end is ERROR_INVALID_PARAMETER, and so, before any formatting, is a %n
// conversion, a float, a width or precision past the 64K limit, or a format the
// platform refuses. Wide texts are read a byte pair at a time to their NUL
// pair, and no text past its precision. A width in the low byte turns line
// breaks into blanks (it does not wrap lines).
//
// Output: the characters written, NUL not counted. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER the text is in a LocalAlloc block of at least
// `size` bytes; otherwise ERROR_INSUFFICIENT_BUFFER when `size` bytes do not
// hold it. An empty result returns 0 with ERROR_NO_WORK_DONE and allocates
// nothing.
#include "../win32api.h"
#include "codepage.h"
#include "machine.h"
#include "module_table.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace emu {
bool withSystemMessageFile(const std::function<void(const pe::ResourceReader&, FileImage&)>& use);
}

namespace {

const uint32_t kMessageTable = 11; // RT_MESSAGETABLE
const DWORD kNoWorkDone = 235;     // ERROR_NO_WORK_DONE: the text formatted to nothing
// Widths and precisions past 64K are refused before any work: a message
// file's "%1!999999999s!" never asks for gigabytes.
const int kMaxOutput = 0xFFFF;
// FormatMessageA formats into a buffer of 32K characters and takes no size of
// 32K or more: a result longer than 32,767 characters does not fit.
const size_t kMaxResult = 32767;
const DWORD kMaxBufferSize = 32768;

// 0, or why the message is not there: the module has no resources at all
// (ERROR_RESOURCE_DATA_NOT_FOUND, as Wine answers), no message table
// (ERROR_RESOURCE_TYPE_NOT_FOUND), not in that language
// (ERROR_RESOURCE_LANG_NOT_FOUND), or not that message (ERROR_MR_MID_NOT_FOUND).
DWORD findTableMessage(const emu::pe::ResourceReader& reader, DWORD id, DWORD language,
                       std::u16string& text, emu::FileImage* image = nullptr) {
    if (!reader.hasResources())
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    std::vector<uint16_t> available = reader.languages(kMessageTable, 1);
    if (available.empty())
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    // A language asked for is tried as it is, with a neutral sublanguage, then
    // neutral, as the platform's resource lookup tries it.
    uint16_t asked = static_cast<uint16_t>(language);
    std::vector<uint16_t> order = {asked, static_cast<uint16_t>(asked & 0x3FF), 0x0000};
    if ((asked & 0x3FF) == 0)
        order = {0x0000, 0x0409, 0x0009, 0x0400, 0x0800, available.front()};
    for (uint16_t lang : order) {
        emu::pe::Resource table;
        if (reader.find(kMessageTable, 1, lang, table))
            return emu::pe::findMessage(table, id, text,
                                        image ? &image->messageIndex(table) : nullptr)
                       ? 0
                       : ERROR_MR_MID_NOT_FOUND;
    }
    return ERROR_RESOURCE_LANG_NOT_FOUND;
}

DWORD loadModuleMessage(HMODULE module, DWORD id, DWORD language, std::u16string& text) {
    const emu::MappedModule* mapped = emu::findMappedModule(module);
    if (!mapped)
        return ERROR_MR_MID_NOT_FOUND;
    // A language-neutral file's table is in its satellite; without one,
    // Windows 10 answers that the satellite is missing.
    if (mapped->satellite)
        return findTableMessage(mapped->satelliteReader, id, language, text,
                                mapped->satellite.get());
    DWORD error = findTableMessage(mapped->reader, id, language, text, mapped->image.get());
    if (mapped->languageNeutral && error == ERROR_RESOURCE_TYPE_NOT_FOUND)
        return ERROR_MUI_FILE_NOT_FOUND;
    return error;
}

// The machine's system message file; one the machine lacks finds nothing.
DWORD loadSystemMessage(DWORD id, DWORD language, std::u16string& text) {
    if ((id & 0xFFFF0000u) == 0x80070000u) // HRESULT_FROM_WIN32
        id &= 0xFFFF;
    DWORD error = ERROR_MR_MID_NOT_FOUND;
    emu::withSystemMessageFile([&](const emu::pe::ResourceReader& reader, emu::FileImage& image) {
        error = findTableMessage(reader, id, language, text, &image);
    });
    return error;
}

// The arguments as the platform takes them. An array is indexed by insert
// number; the arguments of "*" widths and precisions follow the highest insert
// used so far. A va_list is read in order, each argument once, keeping what was
// read, a word of the process's size at a time; an I64 insert takes two words
// in a 32-bit process and one in a 64-bit one.
class Arguments {
  public:
    Arguments(DWORD flags, va_list* list)
        : array_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? reinterpret_cast<ULONG_PTR*>(list)
                                                         : nullptr),
          list_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? nullptr : list) {}
    bool present() const { return array_ || list_; }

    // The slots one insert passes to its printf format, as the platform builds
    // them (its quirks included): the value first for an array, the widths
    // first for a va_list.
    std::vector<uint64_t> slots(int insert, int stars, bool is64) {
        std::vector<uint64_t> out;
        if (array_) {
            uint64_t value = array_[insert - 1];
            last_ = std::max(last_, insert);
            // The platform takes the first slot as the 64-bit one: zero-extended
            // in a 32-bit process, whole in a 64-bit one.
            out.push_back(is64 ? value & 0xFFFFFFFFu : value);
            if (is64)
                out.push_back(value >> 32);
            while (stars--)
                out.push_back(array_[last_++]);
            return out;
        }
        if (insert > 1)
            fetch(insert - 1, is64);
        while (stars--) {
            out.push_back(fetch(insert, false));
            insert = -1;
        }
        if (insert == -1)
            --last_; // the platform drops an argument after a va_list's width or precision
        // A va_list slot is as wide as the process's words: a text's
        // address is never cut to 32 bits in a 64-bit process.
        uint64_t value = fetch(insert, is64);
        out.push_back(is64 ? value & 0xFFFFFFFFu : value);
        if (is64)
            out.push_back(value >> 32);
        return out;
    }

  private:
    uint64_t fetch(int number, bool is64) {
        if (number == -1)
            number = last_ + 1;
        while (last_ < number) {
            uint64_t value = va_arg(*list_, ULONG_PTR);
            if (is64 && sizeof(ULONG_PTR) < sizeof(uint64_t)) // two words in a 32-bit process
                value = (value & 0xFFFFFFFFu) | static_cast<uint64_t>(va_arg(*list_, ULONG_PTR))
                                                    << 32;
            if (static_cast<int>(taken_.size()) <= last_)
                taken_.resize(last_ + 1);
            taken_[last_++] = value;
        }
        return taken_[number - 1];
    }

    ULONG_PTR* array_;
    va_list* list_;
    int last_ = 0;
    std::vector<uint64_t> taken_;
};

// What an insert's printf format says, read and checked before any work.
struct InsertFormat {
    std::string flags; // of "-+ #0"
    bool starWidth = false, starPrecision = false, hasPrecision = false;
    unsigned long width = 0, precision = 0;
    std::string size; // "", "h", "l", "w", "ll", "I64", "I32", "I"
    char type = 's';
};

bool parseNumber(const std::u16string& directive, size_t& at, unsigned long& value) {
    value = 0;
    while (at < directive.size() && directive[at] >= u'0' && directive[at] <= u'9') {
        value = value * 10 + (directive[at++] - u'0');
        if (value > static_cast<unsigned long>(kMaxOutput))
            return false; // the result could not be kept
    }
    return true;
}

// False for a format the platform refuses (no closing "!", longer than its
// 30 characters, more than two "*") and, our choice, for %n, floating point
// and whatever else the C library would be trusted with.
bool parseInsertFormat(const std::u16string& directive, InsertFormat& format) {
    if (directive.size() > 30)
        return false;
    size_t at = 0;
    while (at < directive.size() &&
           std::u16string(u"-+ #0").find(directive[at]) != std::u16string::npos)
        format.flags += static_cast<char>(directive[at++]);
    if (at < directive.size() && directive[at] == u'*') {
        format.starWidth = true;
        ++at;
    } else if (!parseNumber(directive, at, format.width)) {
        return false;
    }
    if (at < directive.size() && directive[at] == u'.') {
        format.hasPrecision = true;
        if (++at < directive.size() && directive[at] == u'*') {
            format.starPrecision = true;
            ++at;
        } else if (!parseNumber(directive, at, format.precision)) {
            return false;
        }
    }
    std::string rest;
    for (; at < directive.size(); ++at) {
        if (directive[at] > 0x7F)
            return false;
        rest += static_cast<char>(directive[at]);
    }
    for (const char* size : {"I64", "I32", "ll", "h", "l", "w", "I"})
        if (rest.compare(0, std::strlen(size), size) == 0 && rest.size() > std::strlen(size)) {
            format.size = size;
            break;
        }
    rest.erase(0, format.size.size());
    if (rest.size() != 1 || std::string("diuxXocCsSp").find(rest[0]) == std::string::npos)
        return false;
    format.type = rest[0];
    return true;
}

// A narrow text the caller handed over: to its NUL, or `limit` bytes.
std::u16string narrowArgument(uint64_t pointer, size_t limit) {
    const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(pointer));
    if (!text)
        return u"(null)";
    return emu::ansiToWide(std::string(text, strnlen(text, limit)));
}

// A wide text: up to the first pair of NUL bytes at an even offset from its
// start, read a byte at a time, as the platform reads it, or `limit` characters.
std::u16string wideArgument(uint64_t pointer, size_t limit) {
    const unsigned char* bytes =
        reinterpret_cast<const unsigned char*>(static_cast<uintptr_t>(pointer));
    if (!bytes)
        return u"(null)";
    std::u16string text;
    for (size_t i = 0; text.size() < limit; i += 2) {
        char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (!c)
            break;
        text += c;
    }
    return text;
}

// Formats one insert whose number has been read; `f` points after it. False
// (ERROR_INVALID_PARAMETER) for a format that may not be formatted.
bool formatInsert(const char16_t*& f, int number, Arguments& args, std::u16string& out) {
    if (*f != u'!') {
        std::vector<uint64_t> slots = args.slots(number, 0, false);
        out += narrowArgument(slots[0], SIZE_MAX);
        return true;
    }
    const char16_t* end = f + 1;
    while (*end && *end != u'!')
        ++end;
    if (!*end)
        return false;
    std::u16string directive(f + 1, end);
    f = end + 1;
    InsertFormat format;
    if (!parseInsertFormat(directive, format))
        return false;
    // Only a number takes the 64-bit slots; a text's argument is its address.
    bool is64 = (format.size == "I64" || format.size == "ll") &&
                std::string("diuxXo").find(format.type) != std::string::npos;
    int stars = format.starWidth + format.starPrecision;
    std::vector<uint64_t> slots = args.slots(number, stars, is64);
    size_t next = 0;
    auto slot = [&]() -> uint64_t { return next < slots.size() ? slots[next++] : 0; };
    if (format.starWidth) {
        int32_t width = static_cast<int32_t>(slot());
        if (width < 0) { // a negative width left-aligns, as printf takes it
            format.flags += '-';
            width = -width;
        }
        format.width = static_cast<unsigned long>(width);
    }
    if (format.starPrecision) {
        int32_t precision = static_cast<int32_t>(slot());
        format.hasPrecision = precision >= 0;
        format.precision = static_cast<unsigned long>(std::max(precision, 0));
    }
    const unsigned long limit = static_cast<unsigned long>(kMaxOutput);
    if (format.width > limit || format.precision > limit)
        return false;

    uint64_t value = slot();
    if (is64)
        value = (value & 0xFFFFFFFFu) | slot() << 32;
    std::u16string text;
    char type = format.type;
    bool wideSize = format.size == "l" || format.size == "w";
    bool wideText = (type == 'S' && format.size != "h") || (type == 's' && wideSize);
    size_t textLimit = format.hasPrecision ? format.precision : SIZE_MAX;
    if (type == 's' || type == 'S') {
        text = wideText ? wideArgument(value, textLimit) : narrowArgument(value, textLimit);
    } else if (type == 'c' || type == 'C') {
        bool wideChar = (type == 'C' && format.size != "h") || wideSize;
        text = wideChar ? std::u16string(1, static_cast<char16_t>(value))
                        : emu::ansiToWide(std::string(1, static_cast<char>(value)));
    } else {
        // Numbers only: the format handed to the C library is made here, from
        // checked parts, never from the message.
        std::string printfFormat = "%" + format.flags + std::to_string(format.width);
        if (format.hasPrecision)
            printfFormat += "." + std::to_string(format.precision);
        char buffer[0x10000 + 64];
        int written;
        if (type == 'p')
            written = std::snprintf(buffer, sizeof buffer, "%08X", static_cast<uint32_t>(value));
        else if (is64)
            written = std::snprintf(buffer, sizeof buffer, (printfFormat + "ll" + type).c_str(),
                                    static_cast<long long>(value));
        else if (type == 'd' || type == 'i')
            written = std::snprintf(buffer, sizeof buffer, (printfFormat + type).c_str(),
                                    static_cast<int32_t>(value));
        else
            written = std::snprintf(buffer, sizeof buffer, (printfFormat + type).c_str(),
                                    static_cast<uint32_t>(value));
        if (written < 0)
            return false;
        out += emu::ansiToWide(std::string(buffer, std::min<size_t>(written, sizeof buffer - 1)));
        return true;
    }
    if (text.size() < format.width) {
        bool left = format.flags.find('-') != std::string::npos;
        char16_t pad = !left && format.flags.find('0') != std::string::npos ? u'0' : u' ';
        std::u16string padding(format.width - text.size(), pad);
        text = left ? text + padding : padding + text;
    }
    out += text;
    return true;
}

// False (ERROR_INVALID_PARAMETER) for a "%" at the end or inserts without arguments.
bool formatText(const std::u16string& text, DWORD flags, Arguments& args, std::u16string& out) {
    bool ignoreInserts = flags & FORMAT_MESSAGE_IGNORE_INSERTS;
    bool width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    auto lineBreak = [&] {
        if (width)
            out += u' ';
        else
            out += u"\r\n";
    };
    const char16_t* f = text.c_str();
    while (*f) {
        if (*f != u'%') {
            char16_t c = *f++;
            if (c == u'\r') {
                if (*f == u'\n')
                    ++f;
                lineBreak();
            } else if (c == u'\n') {
                lineBreak();
            } else {
                out += c;
            }
            continue;
        }
        ++f;
        char16_t c = *f;
        if (c >= u'1' && c <= u'9' && !ignoreInserts) {
            if (!args.present())
                return false;
            int number = c - u'0';
            ++f;
            if (*f >= u'0' && *f <= u'9')
                number = number * 10 + (*f++ - u'0');
            if (!formatInsert(f, number, args, out))
                return false;
            if (out.size() > kMaxResult)
                return true; // too long already: the caller refuses it
        } else if (c == u'n') {
            out += u"\r\n";
            ++f;
        } else if (c == u'r') {
            out += u'\r';
            ++f;
        } else if (c == u't') {
            out += u'\t';
            ++f;
        } else if (c == u'0') {
            break;
        } else if (c == 0) {
            return false;
        } else {
            if (ignoreInserts)
                out += u'%';
            out += *f++;
        }
    }
    return true;
}

} // namespace

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPSTR buffer, DWORD size,
                                       va_list* arguments) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        bool allocate = flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
        if (allocate) {
            if (!buffer) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            *reinterpret_cast<char**>(buffer) = nullptr;
        }
        if (size >= kMaxBufferSize) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::u16string text;
        if (flags & FORMAT_MESSAGE_FROM_STRING) {
            if (!source) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            text = emu::ansiToWide(static_cast<const char*>(source));
        } else if (flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)) {
            DWORD error = ERROR_MR_MID_NOT_FOUND;
            if (flags & FORMAT_MESSAGE_FROM_HMODULE)
                error = loadModuleMessage(static_cast<HMODULE>(const_cast<void*>(source)),
                                          messageId, languageId, text);
            if (error && (flags & FORMAT_MESSAGE_FROM_SYSTEM))
                error = loadSystemMessage(messageId, languageId, text);
            if (error) {
                SetLastError(error);
                return 0;
            }
        } else {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }

        Arguments args(flags, arguments);
        std::u16string formatted;
        if (!formatText(text, flags, args, formatted)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (formatted.size() > kMaxResult) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (formatted.empty()) {
            SetLastError(kNoWorkDone);
            return 0;
        }
        std::string ansi = emu::wideToAnsi(formatted);
        DWORD needed = static_cast<DWORD>(ansi.size() + 1);
        if (allocate) {
            auto* block = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, std::max(size, needed)));
            if (!block)
                return 0;
            std::memcpy(block, ansi.c_str(), needed);
            *reinterpret_cast<char**>(buffer) = block;
        } else {
            if (!buffer || size < needed) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(buffer, ansi.c_str(), needed);
        }
        return needed - 1;
    });
}
