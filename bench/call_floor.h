// The floor of a refresh: the platform calls that the plugin's two queries
// must make for their text, each made once, in the plugin's order, with as
// little work of its own around them as plain code needs. Comparing a query
// with its floor says what the plugin's own code costs; the calls are the
// rest. The floor knows the usual case only: a log the machine registers by
// its name, records that read, a single-byte code page and texts far below
// the plugin's length bounds (call_floor compares the two texts byte for byte,
// so any case it does not know shows).
#pragma once

#include "src/platform/win32api.h"

#include <cstdint>
#include <string>
#include <vector>

class CallFloor {
  public:
    // LastNLogs' text: the newest 25 entries of `log` through `outputTemplate`.
    std::string NewestEntries(const std::string& log, const std::string& outputTemplate);
    // LastLogEntry's text for a log whose newest record reads.
    std::string NewestEntry(const std::string& log, const std::string& outputTemplate);

  private:
    struct Entry { // the empty entry as constructed
        DWORD recordNumber = 0, eventId = 0;
        int64_t timeGenerated = 0;
        std::string typeName, source, user, domain;
    };
    HANDLE open(const std::string& log);
    bool read(HANDLE log, DWORD flags, DWORD number, DWORD& got);
    void decode(const BYTE* record, Entry& entry);
    std::string messageText(HANDLE log, const std::string& logName, DWORD recordNumber);
    std::string format(const EVENTLOGRECORD* record, const std::string& logName);
    void nativePaths();
    static std::string render(const Entry& entry, const std::string& message,
                              const std::string& outputTemplate);

    std::vector<BYTE> buffer_;
    std::vector<ULONG_PTR> slots_; // made once, as the plugin's instance keeps its own
    bool pathsKnown_ = false, wow64_ = false;
    std::string system_, sysnative_;
};
