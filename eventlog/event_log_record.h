// The EVENTLOGRECORD layout, byte for byte as the Windows event log delivers it (all fields
// little-endian): a 56-byte fixed header, then SourceName and ComputerName as NUL-terminated
// UTF-16, the user SID, NumStrings NUL-terminated UTF-16 strings at StringOffset, the data at
// DataOffset, padding to a multiple of 4, and the record length repeated in the last 4 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

constexpr uint32_t EVENTLOG_RECORD_SIGNATURE = 0x654C664C;  // "LfLe"
constexpr uint32_t EVENTLOG_RECORD_HEADER_SIZE = 56;

// Field offsets of the fixed header.
namespace record_offset {
constexpr uint32_t Length = 0;
constexpr uint32_t Reserved = 4;  // the signature
constexpr uint32_t RecordNumber = 8;
constexpr uint32_t TimeGenerated = 12;
constexpr uint32_t TimeWritten = 16;
constexpr uint32_t EventID = 20;
constexpr uint32_t EventType = 24;  // 16-bit
constexpr uint32_t NumStrings = 26;  // 16-bit
constexpr uint32_t EventCategory = 28;  // 16-bit
constexpr uint32_t ReservedFlags = 30;  // 16-bit
constexpr uint32_t ClosingRecordNumber = 32;
constexpr uint32_t StringOffset = 36;
constexpr uint32_t UserSidLength = 40;
constexpr uint32_t UserSidOffset = 44;
constexpr uint32_t DataLength = 48;
constexpr uint32_t DataOffset = 52;
}  // namespace record_offset

// What a writer supplies for one new record; the store assigns RecordNumber.
struct NEW_EVENT_RECORD {
    uint32_t EventID = 0;
    uint16_t EventType = 0;
    uint16_t EventCategory = 0;
    uint32_t TimeGenerated = 0;  // seconds since 1970-01-01 UTC
    uint32_t TimeWritten = 0;
    std::u16string SourceName;
    std::u16string ComputerName;
    std::vector<uint8_t> UserSid;  // binary SID, may be empty
    std::vector<std::u16string> Strings;
    std::vector<uint8_t> Data;
};

// Lays the record out in the EVENTLOGRECORD format with the given record number.
std::vector<uint8_t> BuildEventLogRecord(const NEW_EVENT_RECORD& record, uint32_t recordNumber);

}  // namespace qv
