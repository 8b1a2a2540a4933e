// libFuzzer target: arbitrary bytes as an .evtx log, located, every record
// turned into what ReadEventLogA hands over, and read through the read
// contract forwards, backwards and by seeking. Bytes that do not start with
// the file signature are taken as chunks after a valid file header, so that
// most of the work goes into chunks and binary XML.
#include "src/logfiles/evt_read.h"
#include "src/logfiles/evtx_file.h"

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> asLog(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file;
    if (size < 8 || std::memcmp(data, "ElfFile", 8) != 0) {
        file.assign(logfiles::evtx::kFileHeaderSize, 0);
        std::memcpy(file.data(), "ElfFile", 8);
        file[32] = 128;
        file[36] = 1;
        file[38] = 3;
        file[41] = 0x10; // 4096
    }
    file.insert(file.end(), data, data + size);
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file = asLog(data, size);
    logfiles::evt::MemorySource source(file.data(), file.size());
    logfiles::evtx::Log log;
    std::string error;
    if (!log.locate(source, error))
        return 0;
    logfiles::evtx::Event event;
    std::vector<uint8_t> record;
    uint64_t visited = 0;
    for (uint64_t id = log.oldest(); !log.empty() && id <= log.newest() && visited < 5000;
         ++id, ++visited) {
        logfiles::evtx::RecordPlace place;
        if (!log.find(id, true, place))
            break;
        id = place.id;
        if (log.event(place, event))
            logfiles::evtx::legacyRecord(event, 1252, record);
    }
    log.checksumReport();
    logfiles::evt::LogView view{&source, {}, &log, false, 1252};
    std::vector<uint8_t> buffer(0x10000);
    for (DWORD flags : {EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ,
                        EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ}) {
        logfiles::evt::ReadPosition position;
        DWORD read = 0, needed = 0;
        for (int i = 0;
             i < 1 && logfiles::evt::readEventLog(view, position, flags, 0, buffer.data(), 4096,
                                                  &read, &needed) == 0;
             ++i) {
        }
    }
    logfiles::evt::ReadPosition position;
    DWORD read = 0, needed = 0;
    logfiles::evt::readEventLog(view, position, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ,
                                static_cast<DWORD>(log.newest()), buffer.data(), 200, &read,
                                &needed);
    return 0;
}
