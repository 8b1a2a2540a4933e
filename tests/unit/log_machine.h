// A test machine with event logs made from record descriptions.
#pragma once

#include "src/logfiles/evt_file.h"
#include "test_machine.h"

#include <string>
#include <vector>

// A record with the usual fields filled; number `n` makes it distinct.
logfiles::evt::RecordSpec sampleRecord(uint32_t n,
                                  const std::u16string& source = u"Service Control Manager");

class LogMachine : public TestMachine {
  public:
    // Registers the logs System, Application and Security (files under
    // C:\Windows\System32\config) and accounts for the lookups.
    LogMachine();

    // Writes `records` as the log's file, as the service would with `maxSize`.
    void writeLog(const std::string& log, const std::vector<logfiles::evt::RecordSpec>& records,
                  uint32_t maxSize = 1 << 20, bool dirty = false, uint32_t first = 1);
    void writeLogBytes(const std::string& log, const std::vector<uint8_t>& bytes);
};

std::vector<uint8_t> readTestData(const std::string& name);
