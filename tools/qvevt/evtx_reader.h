// The records of an exported Windows event log (.evtx), read with libevtx and turned into what
// the event log store writes: the event ID with its qualifiers, time, computer, source,
// replacement strings, user SID and data, and the record number the file gave each.
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

// All records of the file, in record number order. False with a message when the file
// cannot be read.
bool ReadEvtxFile(const std::string& path, std::vector<EVTX_RECORD>& records, std::string& problem);

// "S-1-5-21-..." as a binary SID; false for text that is not one.
bool ParseSidText(const std::string& text, std::vector<uint8_t>& sid);

}  // namespace qv
