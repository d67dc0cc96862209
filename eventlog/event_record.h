// EVENT_RECORD: the view of one event log record that the handlers and the dump read, made
// in place over the EVENTLOGRECORD bytes the reader's buffer holds. Records come from outside
// the program (the log file, the platform), so every length and offset is checked before the
// view points at anything; a record that fails a check is described, not trusted.
#pragma once

#include <cstdint>
#include <vector>

namespace qv {

struct EVENT_RECORD {
    uint32_t RecordNumber = 0;
    uint32_t TimeGenerated = 0;  // seconds since 1970-01-01 UTC
    uint32_t EventID = 0;        // all 32 bits, qualifiers included
    uint16_t EventType = 0;
    const char16_t* SourceName = nullptr;
    const char16_t* ComputerName = nullptr;
    // NumStrings pointers into the record, each at the start of one NUL-terminated string.
    // The vector is kept from record to record so that its block is allocated only once.
    std::vector<const char16_t*> Strings;
    const uint8_t* Data = nullptr;
    uint32_t DataLength = 0;
};

// Fills 'record' from the 'length' bytes at 'bytes' (one whole record, its Length field
// already found to fit). Null on success; otherwise what is wrong with the record, and the
// view must not be used.
const char16_t* ParseEventRecord(const uint8_t* bytes, uint32_t length, EVENT_RECORD& record);

// One step of a walk over a buffer of records: the length of the record at 'offset', or 0 when
// its Length field cannot be trusted to find the next record (0, shorter than the header, or
// past the bytes read), in which case nothing after 'offset' can be trusted either.
uint32_t TrustedRecordLength(const uint8_t* buffer, uint32_t size, uint32_t offset);

// The record number of a record whose header may be cut short (0 when it is not there).
uint32_t RecordNumberAt(const uint8_t* buffer, uint32_t size, uint32_t offset);

}  // namespace qv
