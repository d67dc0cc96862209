// Stand-ins for the event log store's side of the contract until it is built: the record
// layout writer, the default wait and a system log that has nothing in it.
#include <cstring>

#include "eventlog/event_log_record.h"
#include "platform/error_codes.h"
#include "platform/event_log.h"

namespace qv {

namespace {

void Put32(std::vector<uint8_t>& bytes, uint32_t offset, uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, 4);
}

void PutText(std::vector<uint8_t>& bytes, const std::u16string& text) {
    const size_t at = bytes.size();
    bytes.resize(at + (text.size() + 1) * 2, 0);
    std::memcpy(bytes.data() + at, text.data(), text.size() * 2);
}

}  // namespace

std::vector<uint8_t> BuildEventLogRecord(const NEW_EVENT_RECORD& record, uint32_t recordNumber) {
    std::vector<uint8_t> bytes(EVENTLOG_RECORD_HEADER_SIZE, 0);
    PutText(bytes, record.SourceName);
    PutText(bytes, record.ComputerName);
    while (bytes.size() % 4 != 0) bytes.push_back(0);
    const uint32_t sidOffset = static_cast<uint32_t>(bytes.size());
    bytes.insert(bytes.end(), record.UserSid.begin(), record.UserSid.end());
    while (bytes.size() % 2 != 0) bytes.push_back(0);
    const uint32_t stringOffset = static_cast<uint32_t>(bytes.size());
    for (const std::u16string& text : record.Strings) PutText(bytes, text);
    const uint32_t dataOffset = static_cast<uint32_t>(bytes.size());
    bytes.insert(bytes.end(), record.Data.begin(), record.Data.end());
    while (bytes.size() % 4 != 0) bytes.push_back(0);
    const uint32_t length = static_cast<uint32_t>(bytes.size() + 4);
    bytes.resize(length, 0);
    Put32(bytes, record_offset::Length, length);
    Put32(bytes, record_offset::Reserved, EVENTLOG_RECORD_SIGNATURE);
    Put32(bytes, record_offset::RecordNumber, recordNumber);
    Put32(bytes, record_offset::TimeGenerated, record.TimeGenerated);
    Put32(bytes, record_offset::TimeWritten, record.TimeWritten);
    Put32(bytes, record_offset::EventID, record.EventID);
    const uint32_t typeAndCount = record.EventType | static_cast<uint32_t>(record.Strings.size()) << 16;
    Put32(bytes, record_offset::EventType, typeAndCount);
    Put32(bytes, record_offset::EventCategory, record.EventCategory);
    Put32(bytes, record_offset::StringOffset, stringOffset);
    Put32(bytes, record_offset::UserSidLength, static_cast<uint32_t>(record.UserSid.size()));
    Put32(bytes, record_offset::UserSidOffset, sidOffset);
    Put32(bytes, record_offset::DataLength, static_cast<uint32_t>(record.Data.size()));
    Put32(bytes, record_offset::DataOffset, dataOffset);
    Put32(bytes, length - 4, length);
    return bytes;
}

uint32_t EVENT_LOG_API::Wait(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) {
    return WaitForAny(objects, timeoutMs);
}

std::unique_ptr<EVENT_LOG_API> CreateSystemEventLog() { return nullptr; }

}  // namespace qv
