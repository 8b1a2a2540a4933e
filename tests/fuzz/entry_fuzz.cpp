// libFuzzer target: an output template and an entry's texts through
// FormatEntry on a machine whose code page has two-byte characters. The text
// stays within its bound and is never cut inside a character.
#include "src/format/FormatEntry.h"
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void useCodePage(unsigned page) {
    static unsigned current = 0;
    if (page == current)
        return;
    static TempFolder folder("/tmp/kestrin-entry-fuzz-XXXXXX");
    const std::string& root = folder.path;
    std::filesystem::create_directories(root + "/registry");
    std::ofstream(root + "/registry/HKEY_LOCAL_MACHINE.reg")
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\"
           "CodePage]\r\n\"ACP\"=\""
        << page << "\"\r\n";
    emu::setMachineRoot(root);
    current = page;
}

// Whether `text` ends inside a two-byte character that `whole` holds whole.
bool cutInsideCharacter(const std::string& text, const std::string& whole) {
    size_t i = 0;
    while (i < text.size())
        i += IsDBCSLeadByte(static_cast<BYTE>(text[i])) && i + 1 < whole.size() ? 2 : 1;
    return i > text.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    static const unsigned pages[] = {932, 936, 949, 950};
    useCodePage(pages[data[0] & 3]);
    // Template, message and one insertion string, split at the first two NULs.
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t a = rest.find('\0'), b = a == std::string::npos ? a : rest.find('\0', a + 1);
    std::string outputTemplate = rest.substr(0, a);
    std::string message = a == std::string::npos ? "" : rest.substr(a + 1, b - a - 1);
    CEventEntry entry;
    entry.m_SourceName = b == std::string::npos ? "Source" : rest.substr(b + 1);
    entry.m_TypeName = "Information";
    entry.m_UserName = entry.m_DomainName = "N/A";
    std::string text = FormatEntry(entry, message, outputTemplate);
    if (text.size() > kEntryTextLimit)
        std::abort();
    std::string cut = CutAtCharacter(message + message, message.size());
    if (cut.size() > message.size() || (message + message).compare(0, cut.size(), cut) != 0 ||
        cutInsideCharacter(cut, message + message))
        std::abort();
    return 0;
}
