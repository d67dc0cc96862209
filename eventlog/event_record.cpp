#include "eventlog/event_record.h"


#include "platform/event_log_record.h"

namespace qv {

namespace {

// The handlers read the texts through char16_t pointers, so each must be 2-byte aligned.
bool IsAligned(const uint8_t* record, uint32_t offset) {
    return (reinterpret_cast<uintptr_t>(record) + offset) % alignof(char16_t) == 0;
}

const char16_t* TextAt(const uint8_t* record, uint32_t offset) {
    return reinterpret_cast<const char16_t*>(record + offset);
}

}  // namespace

const char16_t* ParseEventRecord(const uint8_t* bytes, uint32_t length, EVENT_RECORD& record) {
    record.Strings.clear();
    record.SourceName = nullptr;
    record.ComputerName = nullptr;
    record.Data = nullptr;
    record.DataLength = 0;
    if (length < EVENTLOG_RECORD_HEADER_SIZE + 4) return u"shorter than the record header";
    const uint32_t declared = GetRecordUInt32(bytes, record_offset::Length);
    if (declared != length) return u"the length does not match the bytes given";
    if (length % 4 != 0) return u"the length is not a multiple of 4";
    if (GetRecordUInt32(bytes, length - 4) != length) return u"the trailing length does not match";
    if (GetRecordUInt32(bytes, record_offset::Reserved) != EVENTLOG_RECORD_SIGNATURE) return u"the signature is missing";

    if (!IsAligned(bytes, 0)) return u"the record is not aligned for UTF-16";

    record.RecordNumber = GetRecordUInt32(bytes, record_offset::RecordNumber);
    record.TimeGenerated = GetRecordUInt32(bytes, record_offset::TimeGenerated);
    record.EventID = GetRecordUInt32(bytes, record_offset::EventID);
    record.EventType = GetRecordUInt16(bytes, record_offset::EventType);

    // Everything variable lies between the header and the trailing length.
    const uint32_t body = length - 4;
    const uint32_t sourceEnd = RecordTextEnd(bytes, EVENTLOG_RECORD_HEADER_SIZE, body);
    if (sourceEnd == 0) return u"the source name is not a terminated text inside the record";
    const uint32_t computerEnd = RecordTextEnd(bytes, sourceEnd, body);
    if (computerEnd == 0) return u"the computer name is not a terminated text inside the record";
    record.SourceName = TextAt(bytes, EVENTLOG_RECORD_HEADER_SIZE);
    record.ComputerName = TextAt(bytes, sourceEnd);

    const uint32_t dataLength = GetRecordUInt32(bytes, record_offset::DataLength);
    const uint32_t dataOffset = GetRecordUInt32(bytes, record_offset::DataOffset);
    if (dataLength != 0) {
        if (dataOffset < EVENTLOG_RECORD_HEADER_SIZE || dataOffset > body || dataLength > body - dataOffset)
            return u"the data lies outside the record";
        record.Data = bytes + dataOffset;
        record.DataLength = dataLength;
    }

    const uint16_t count = GetRecordUInt16(bytes, record_offset::NumStrings);
    if (count != 0) {
        uint32_t at = GetRecordUInt32(bytes, record_offset::StringOffset);
        if (at < EVENTLOG_RECORD_HEADER_SIZE || at >= body) return u"the strings lie outside the record";
        if (!IsAligned(bytes, at)) return u"the strings are not aligned for UTF-16";
        record.Strings.reserve(count);
        for (uint16_t i = 0; i < count; ++i) {
            const uint32_t end = RecordTextEnd(bytes, at, body);
            if (end == 0) {
                record.Strings.clear();
                return u"fewer terminated strings than NumStrings says";
            }
            record.Strings.push_back(TextAt(bytes, at));
            at = end;
        }
    }
    return nullptr;
}

uint32_t TrustedRecordLength(const uint8_t* buffer, uint32_t size, uint32_t offset) {
    if (offset >= size || size - offset < 4) return 0;
    const uint32_t length = GetRecordUInt32(buffer, offset);
    if (length < EVENTLOG_RECORD_HEADER_SIZE || length > size - offset) return 0;
    return length;
}

uint32_t RecordNumberAt(const uint8_t* buffer, uint32_t size, uint32_t offset) {
    if (offset >= size || size - offset < record_offset::RecordNumber + 4) return 0;
    return GetRecordUInt32(buffer, offset + record_offset::RecordNumber);
}

}  // namespace qv
