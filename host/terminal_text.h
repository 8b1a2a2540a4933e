// Text for a terminal (POSIX build): the plugin's texts are in the machine's
// ANSI code page, a terminal shows the locale's character set
// (nl_langinfo(CODESET), after setlocale). A character the locale cannot hold
// shows as "?", so under LANG=C the text is ASCII.
#pragma once

#include <string>

std::string forTerminal(const std::u16string& text);
std::string ansiForTerminal(const std::string& ansi, unsigned codePage);

// The display width of a terminal text: one column a character, whatever its bytes.
size_t terminalColumns(const std::string& text);
