// The output template: what the host shows for one entry.
#pragma once

#include "../eventlog/CEventEntry.h"

#include <string>

// Expands `outputTemplate` for `entry` and its message text: %1 source, %2
// message, %3 event id (0x%08X), %4 date (local "%d/%m/%y, %H:%M:%S"), %5 type,
// %6 user, %7 domain, "\n" line feed, "\t" tab; each replaced everywhere, in
// that order, over the text the previous step left.
// The text is cut at a whole character at kEntryTextLimit bytes.
std::string FormatEntry(const CEventEntry& entry, std::string messageText,
                        std::string outputTemplate);

// Bounds no desktop text reaches, which keep a template such as 500 "%2"s
// over long messages from taking the host's memory: one entry's text, and one
// refresh's (the newest 25 entries together).
const size_t kEntryTextLimit = 64 * 1024;
const size_t kRefreshTextLimit = 512 * 1024;

// `text` cut to at most `limit` bytes, never inside a two-byte character.
std::string CutAtCharacter(std::string text, size_t limit);

// Replaces every `pattern` in `text` by `value`, left to right, resuming after
// each inserted value; a match never starts on the trail byte of a two-byte
// character of the ANSI code page.
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& value);
