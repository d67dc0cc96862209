// The records of an exported Windows event log (.evtx), turned into what the event log store
// writes: the event ID with its qualifiers, time, computer, source, replacement strings, user
// SID and data, and the record number the file gave each. POSIX reads the file with libevtx;
// the Windows build does not read exported logs yet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_log_record.h"

namespace qv {

struct EVTX_RECORD {
    uint64_t Number = 0;  // the record identifier in the file
    NEW_EVENT_RECORD Record;
};

// All records of the file (a UTF-8 path), in record number order. False with a message when
// the file cannot be read.
bool ReadEvtxFile(const std::string& path, std::vector<EVTX_RECORD>& records, std::string& problem);

}  // namespace qv
