// The system's own message table: Windows' texts, in English, CR LF included,
// for the system error codes this machine's programs can meet. Where Wine's
// wording differs, these are Windows'.
#include "../win32api.h"

#include <map>

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
    {30, "The system cannot read from the specified device.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1500, "The event log file is corrupted.\r\n"},
    {1501, "No event log file could be opened, so the event logging service did not start.\r\n"},
    {1502, "The event log file is full.\r\n"},
    {1503, "The event log file has changed between read operations.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {15007, "The specified channel could not be found.\r\n"},
};

} // namespace

namespace emu {
// The system's text for `code`, or null.
const char* systemMessage(DWORD code) {
    auto it = kSystemMessages.find(code);
    return it == kSystemMessages.end() ? nullptr : it->second;
}
} // namespace emu
