// FormatMessageA: a message from a module's message table, the system's, or a
// string, with its inserts filled in, as the platform formats it.
//
// Lookup: FORMAT_MESSAGE_FROM_HMODULE reads the module's RT_MESSAGETABLE (a PE
// file LoadLibraryExA mapped); FORMAT_MESSAGE_FROM_SYSTEM then tries the
// system's table (an HRESULT of FACILITY_WIN32 is folded to its code). Language
// 0 takes neutral, then the user's (English, United States), then the first the
// table has; any other language must be there. Not found: 0 and
// ERROR_MR_MID_NOT_FOUND.
//
// A message longer than 64K characters fails with ERROR_INVALID_PARAMETER.
//
// Formatting: the text's line breaks come out as CR LF; %n is CR LF, %r CR, %t
// TAB, %0 ends the text (no line break after it); %1 to %99 take the argument
// of that number (an array with FORMAT_MESSAGE_ARGUMENT_ARRAY, else a va_list),
// as a string or by the printf format between two "!"; %% and % before any
// other character give that character. With FORMAT_MESSAGE_IGNORE_INSERTS an
// insert or escape other than %n %r %t %0 is copied with its "%". A "%" at the
// very end is ERROR_INVALID_PARAMETER. A width in the low byte turns line
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

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace emu {
const char* systemMessage(DWORD code);
}

namespace {

const uint32_t kMessageTable = 11; // RT_MESSAGETABLE
const DWORD kNoWorkDone = 235;     // ERROR_NO_WORK_DONE: the text formatted to nothing
// The platform's limit on a formatted message: 64K. It also keeps a message
// file's "%1!999999999s!" from asking for gigabytes.
const int kMaxOutput = 0xFFFF;

bool loadModuleMessage(HMODULE module, DWORD id, DWORD language, std::u16string& text) {
    const emu::MappedModule* mapped = emu::findMappedModule(module);
    if (!mapped)
        return false;
    const emu::pe::ResourceReader& reader = mapped->reader;
    std::vector<uint16_t> available = reader.languages(kMessageTable, 1);
    std::vector<uint16_t> order;
    if (language != 0)
        order = {static_cast<uint16_t>(language)};
    else
        order = {0x0000, 0x0409, 0x0009, 0x0400, 0x0800};
    if (language == 0 && !available.empty())
        order.push_back(available.front());
    for (uint16_t lang : order) {
        emu::pe::Resource table;
        if (reader.find(kMessageTable, 1, lang, table))
            return emu::pe::findMessage(table, id, text);
    }
    return false;
}

bool loadSystemMessage(DWORD id, DWORD language, std::u16string& text) {
    WORD primary = language & 0x3FF;
    if (language != 0 && primary != LANG_NEUTRAL && primary != 0x09)
        return false;
    if ((id & 0xFFFF0000u) == 0x80070000u) // HRESULT_FROM_WIN32
        id &= 0xFFFF;
    const char* message = emu::systemMessage(id);
    if (!message)
        return false;
    text = emu::ansiToWide(message);
    return true;
}

class Arguments {
  public:
    Arguments(DWORD flags, va_list* list)
        : array_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? reinterpret_cast<ULONG_PTR*>(list)
                                                         : nullptr),
          list_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? nullptr : list) {}
    bool present() const { return array_ || list_; }
    // Argument `number` (from 1). A va_list is read up to it, in order.
    ULONG_PTR get(int number) {
        if (array_)
            return array_[number - 1];
        while (static_cast<int>(taken_.size()) < number)
            taken_.push_back(va_arg(*list_, ULONG_PTR));
        return taken_[number - 1];
    }

  private:
    ULONG_PTR* array_;
    va_list* list_;
    std::vector<ULONG_PTR> taken_;
};

// Formats one insert whose number has been read; `f` points after it.
std::u16string formatInsert(const char16_t*& f, int number, Arguments& args) {
    if (*f != u'!') {
        const char* text = reinterpret_cast<const char*>(args.get(number));
        return emu::ansiToWide(text ? text : "(null)");
    }
    ++f;
    std::string printfFormat = "%";
    while (*f == u'0' || *f == u'+' || *f == u'-' || *f == u' ' || *f == u'#')
        printfFormat += static_cast<char>(*f++);
    while (*f >= u'0' && *f <= u'9')
        printfFormat += static_cast<char>(*f++);
    if (*f == u'.') {
        printfFormat += static_cast<char>(*f++);
        while (*f >= u'0' && *f <= u'9')
            printfFormat += static_cast<char>(*f++);
    }
    std::string conversion;
    while (*f && *f != u'!')
        conversion += static_cast<char>(*f++);
    if (*f == u'!')
        ++f;
    ULONG_PTR arg = args.get(number);
    char last = conversion.empty() ? 's' : conversion.back();
    bool wide = conversion == "S" || conversion == "ls" || conversion == "ws";
    std::vector<char> out(256);
    for (;;) {
        int needed;
        if (last == 's' || last == 'S') {
            std::string text;
            if (wide) {
                const auto* w = reinterpret_cast<const char16_t*>(arg);
                text = w ? emu::wideToAnsi(w) : "(null)";
            } else {
                text = arg ? reinterpret_cast<const char*>(arg) : "(null)";
            }
            needed =
                std::snprintf(out.data(), out.size(), (printfFormat + "s").c_str(), text.c_str());
        } else if (last == 'c' || last == 'C') {
            needed = std::snprintf(out.data(), out.size(), (printfFormat + "c").c_str(),
                                   static_cast<int>(static_cast<unsigned char>(arg)));
        } else {
            bool wide64 = conversion.find("I64") != std::string::npos ||
                          conversion.find("ll") != std::string::npos;
            std::string c(1, last);
            if (wide64)
                needed = std::snprintf(out.data(), out.size(), (printfFormat + "ll" + c).c_str(),
                                       static_cast<long long>(arg));
            else if (last == 'd' || last == 'i')
                needed = std::snprintf(out.data(), out.size(), (printfFormat + c).c_str(),
                                       static_cast<int>(arg));
            else if (last == 'u' || last == 'x' || last == 'X' || last == 'o')
                needed = std::snprintf(out.data(), out.size(), (printfFormat + c).c_str(),
                                       static_cast<unsigned>(arg));
            else
                return u"";
        }
        if (needed < 0 || needed > kMaxOutput)
            return u"";
        if (static_cast<size_t>(needed) < out.size())
            return emu::ansiToWide(std::string(out.data(), needed));
        out.resize(needed + 1);
    }
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
            out += formatInsert(f, number, args);
            if (out.size() > static_cast<size_t>(kMaxOutput))
                return false;
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
        std::u16string text;
        if (flags & FORMAT_MESSAGE_FROM_STRING) {
            if (!source) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            text = emu::ansiToWide(static_cast<const char*>(source));
        } else if (flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)) {
            bool found = (flags & FORMAT_MESSAGE_FROM_HMODULE) &&
                         loadModuleMessage(static_cast<HMODULE>(const_cast<void*>(source)),
                                           messageId, languageId, text);
            if (!found && (flags & FORMAT_MESSAGE_FROM_SYSTEM))
                found = loadSystemMessage(messageId, languageId, text);
            if (!found) {
                SetLastError(ERROR_MR_MID_NOT_FOUND);
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
