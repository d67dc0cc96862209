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

// "S-1-5-21-..." as a binary SID; false for text that is not one.
bool ParseSidText(const std::string& text, std::vector<uint8_t>& sid);

// Lays the record out in the EVENTLOGRECORD format with the given record number.
std::vector<uint8_t> BuildEventLogRecord(const NEW_EVENT_RECORD& record, uint32_t recordNumber);

// Little-endian fields of a record in memory (any alignment).
inline uint16_t GetRecordUInt16(const uint8_t* record, uint32_t offset) {
    return static_cast<uint16_t>(record[offset] | record[offset + 1] << 8);
}
inline uint32_t GetRecordUInt32(const uint8_t* record, uint32_t offset) {
    return static_cast<uint32_t>(record[offset]) | static_cast<uint32_t>(record[offset + 1]) << 8 |
           static_cast<uint32_t>(record[offset + 2]) << 16 | static_cast<uint32_t>(record[offset + 3]) << 24;
}

// The end of a NUL-terminated UTF-16 text that starts at 'offset' and must end before 'limit':
// the offset just past its terminator, or 0 when it has none there.
inline uint32_t RecordTextEnd(const uint8_t* record, uint32_t offset, uint32_t limit) {
    for (uint32_t at = offset; at + 2 <= limit; at += 2) {
        if (record[at] == 0 && record[at + 1] == 0) return at + 2;
    }
    return 0;
}

// True when 'bytes' starts with one whole record of the layout above: the signature, a length
// that is a multiple of 4 within 'available', the length repeated at the end, and every
// offset and length of its parts inside the record. A record that passes can be walked
// without reading outside it. (Inline, so that the platform layer can check records without
// linking the event log code.)
inline bool IsWellFormedEventLogRecord(const uint8_t* bytes, uint32_t available) {
    if (available < EVENTLOG_RECORD_HEADER_SIZE + 4) return false;
    const uint32_t length = GetRecordUInt32(bytes, record_offset::Length);
    if (length < EVENTLOG_RECORD_HEADER_SIZE + 4 || length > available || length % 4 != 0) return false;
    if (GetRecordUInt32(bytes, record_offset::Reserved) != EVENTLOG_RECORD_SIGNATURE) return false;
    if (GetRecordUInt32(bytes, length - 4) != length) return false;
    const uint32_t body = length - 4;  // everything before the trailing length

    // Two names after the header, each terminated inside the record.
    const uint32_t sourceEnd = RecordTextEnd(bytes, EVENTLOG_RECORD_HEADER_SIZE, body);
    if (sourceEnd == 0 || RecordTextEnd(bytes, sourceEnd, body) == 0) return false;

    const auto inside = [body](uint32_t offset, uint32_t size) { return offset <= body && size <= body - offset; };
    if (!inside(GetRecordUInt32(bytes, record_offset::UserSidOffset), GetRecordUInt32(bytes, record_offset::UserSidLength)) ||
        !inside(GetRecordUInt32(bytes, record_offset::DataOffset), GetRecordUInt32(bytes, record_offset::DataLength))) {
        return false;
    }
    uint32_t at = GetRecordUInt32(bytes, record_offset::StringOffset);
    if (at > body) return false;
    for (uint16_t i = GetRecordUInt16(bytes, record_offset::NumStrings); i > 0; --i) {
        at = RecordTextEnd(bytes, at, body);
        if (at == 0) return false;
    }
    return true;
}

}  // namespace qv
