// libFuzzer target: arbitrary text formatted by FormatMessageA with enough
// arguments for every insert and every "*", with and without its flags.
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // Arguments that stay valid however an insert's printf format reads them:
    // texts with room for a wide NUL. Each "*" takes the argument after the
    // highest one used so far, so a text of 64K characters can ask for as
    // many: the caller gives that many, as a caller must.
    static std::vector<std::string> texts;
    static std::vector<ULONG_PTR> arguments;
    if (texts.empty()) {
        for (int i = 0; i < 99; ++i)
            texts.push_back("arg" + std::to_string(i) + std::string(4, '\0'));
        for (int i = 0; i < 99 + 65536; ++i)
            arguments.push_back(reinterpret_cast<ULONG_PTR>(texts[i % 99].c_str()));
    }
    DWORD flags =
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    if (data[0] & 1)
        flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    if (data[0] & 2)
        flags |= FORMAT_MESSAGE_MAX_WIDTH_MASK & data[0];
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    text = text.c_str(); // up to the first NUL, as the platform reads it
    // Integer formats would print an address: ask for strings and characters only.
    for (size_t bang = text.find('!'); bang != std::string::npos; bang = text.find('!', bang + 1))
        if (bang + 1 < text.size() &&
            std::string("diuxXopn*").find(text[bang + 1]) != std::string::npos)
            text[bang + 1] = 's';
    char* out = nullptr;
    FormatMessageA(flags, text.c_str(), 0, 0, reinterpret_cast<LPSTR>(&out), 0,
                   reinterpret_cast<va_list*>(arguments.data()));
    LocalFree(out);
    if (emu::ledger().localBlocks != 0)
        std::abort();
    return 0;
}
