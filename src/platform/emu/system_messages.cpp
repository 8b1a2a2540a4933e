// FormatMessageA for the system's own messages (FORMAT_MESSAGE_FROM_SYSTEM).
//
// The texts are Windows' own, in English, CR LF included, for the system error
// codes this machine's programs can meet. Takes FORMAT_MESSAGE_ALLOCATE_BUFFER
// (the buffer comes from LocalAlloc and is at least `size` bytes) or a caller's
// buffer of `size` bytes, and FORMAT_MESSAGE_IGNORE_INSERTS; none of these texts
// has inserts. Returns the characters written, NUL not counted, or 0 with
// ERROR_MR_MID_NOT_FOUND for a code it has no text for,
// ERROR_RESOURCE_LANG_NOT_FOUND for a language other than English or neutral,
// ERROR_INSUFFICIENT_BUFFER when the caller's buffer is too small.
#include "../win32api.h"
#include "machine.h"

#include <cstring>
#include <map>
#include <string>

namespace {

const std::map<DWORD, const char*> kSystemMessages = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1500, "The event log file is corrupted.\r\n"},
    {1501, "No event log file could be opened, so the event logging service did not start.\r\n"},
    {1502, "The event log file is full.\r\n"},
    {1503, "The event log file has changed between read operations.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
};

const DWORD kResourceLangNotFound = 1815;

bool isEnglishOrNeutral(DWORD language) {
    WORD primary = language & 0x3FF;
    return language == 0 || primary == LANG_NEUTRAL || primary == 0x09;
}

} // namespace

namespace emu {
// The system's text for `code`, or null.
const char* systemMessage(DWORD code) {
    auto it = kSystemMessages.find(code);
    return it == kSystemMessages.end() ? nullptr : it->second;
}
} // namespace emu

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPSTR buffer, DWORD size,
                                       va_list* arguments) {
    return emu::platformCall<DWORD>(0, true, [&]() -> DWORD {
        if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_FROM_STRING) ||
            !buffer) {
            // Module message tables come with LoadLibraryExA's resource reader.
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!isEnglishOrNeutral(languageId)) {
            SetLastError(kResourceLangNotFound);
            return 0;
        }
        const char* text = emu::systemMessage(messageId);
        if (!text) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        DWORD length = static_cast<DWORD>(std::strlen(text));
        if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
            DWORD bytes = length + 1 > size ? length + 1 : size;
            auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
            if (!block)
                return 0;
            std::memcpy(block, text, length + 1);
            *reinterpret_cast<char**>(buffer) = block;
            return length;
        }
        if (length + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, text, length + 1);
        return length;
    });
}
