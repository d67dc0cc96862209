// The EVENTLOGRECORD layout, checked byte for byte against the offsets the Windows event log
// delivers, and the well-formedness check that guards every walk through a record.
#include "platform/event_log_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qv {
namespace {

std::u16string TextAt(const std::vector<uint8_t>& bytes, uint32_t offset) {
    std::u16string text;
    for (uint32_t at = offset; at + 1 < bytes.size(); at += 2) {
        const char16_t unit = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

NEW_EVENT_RECORD Sample() {
    NEW_EVENT_RECORD record;
    record.EventID = 0x40000000u | 540;
    record.EventType = 8;
    record.EventCategory = 2;
    record.TimeGenerated = 0x11223344;
    record.TimeWritten = 0x55667788;
    record.SourceName = u"Security";  // 18 bytes with its terminator
    record.ComputerName = u"DC1";     // 8 bytes: the SID offset needs padding
    record.UserSid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    record.Strings = {u"alice", u"", u"\u00e9t\u00e9"};
    record.Data = {0xDE, 0xAD, 0xBE};
    return record;
}

TEST(EventLogRecordTest, TheHeaderCarriesEveryField) {
    const std::vector<uint8_t> bytes = BuildEventLogRecord(Sample(), 77);
    const uint8_t* r = bytes.data();
    EXPECT_EQ(GetRecordUInt32(r, record_offset::Length), bytes.size());
    EXPECT_EQ(GetRecordUInt32(r, record_offset::Reserved), EVENTLOG_RECORD_SIGNATURE);
    EXPECT_EQ(std::memcmp(r + 4, "LfLe", 4), 0);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::RecordNumber), 77u);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::TimeGenerated), 0x11223344u);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::TimeWritten), 0x55667788u);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::EventID), 0x4000021Cu);
    EXPECT_EQ(GetRecordUInt16(r, record_offset::EventType), 8u);
    EXPECT_EQ(GetRecordUInt16(r, record_offset::NumStrings), 3u);
    EXPECT_EQ(GetRecordUInt16(r, record_offset::EventCategory), 2u);
    EXPECT_EQ(GetRecordUInt16(r, record_offset::ReservedFlags), 0u);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::ClosingRecordNumber), 0u);
    // Little-endian whatever the host: the low byte first.
    EXPECT_EQ(r[record_offset::TimeGenerated], 0x44);
}

TEST(EventLogRecordTest, NamesSidStringsAndDataLieWhereTheOffsetsSay) {
    const std::vector<uint8_t> bytes = BuildEventLogRecord(Sample(), 1);
    const uint8_t* r = bytes.data();
    EXPECT_EQ(TextAt(bytes, 56), u"Security");
    EXPECT_EQ(TextAt(bytes, 56 + 18), u"DC1");
    // 56 + 18 + 8 = 82, aligned up to 84 for the SID.
    const uint32_t sidOffset = GetRecordUInt32(r, record_offset::UserSidOffset);
    EXPECT_EQ(sidOffset, 84u);
    EXPECT_EQ(r[82], 0);
    EXPECT_EQ(r[83], 0);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::UserSidLength), 12u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + sidOffset, bytes.begin() + sidOffset + 12), Sample().UserSid);

    const uint32_t stringOffset = GetRecordUInt32(r, record_offset::StringOffset);
    EXPECT_EQ(stringOffset, sidOffset + 12);
    EXPECT_EQ(TextAt(bytes, stringOffset), u"alice");
    EXPECT_EQ(TextAt(bytes, stringOffset + 12), u"");
    EXPECT_EQ(TextAt(bytes, stringOffset + 14), u"\u00e9t\u00e9");

    const uint32_t dataOffset = GetRecordUInt32(r, record_offset::DataOffset);
    EXPECT_EQ(dataOffset, stringOffset + 12 + 2 + 8);
    EXPECT_EQ(GetRecordUInt32(r, record_offset::DataLength), 3u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + dataOffset, bytes.begin() + dataOffset + 3), Sample().Data);

    // Padding to a multiple of 4, then the length once more.
    EXPECT_EQ(bytes.size() % 4, 0u);
    EXPECT_EQ(bytes.size(), (dataOffset + 3 + 3) / 4 * 4 + 4);
    EXPECT_EQ(GetRecordUInt32(r, static_cast<uint32_t>(bytes.size() - 4)), bytes.size());
    EXPECT_TRUE(IsWellFormedEventLogRecord(r, static_cast<uint32_t>(bytes.size())));
}

TEST(EventLogRecordTest, AnEmptyRecordIsStillWhole) {
    const std::vector<uint8_t> bytes = BuildEventLogRecord(NEW_EVENT_RECORD(), 5);
    // Header, two empty names (4 bytes), the trailing length.
    EXPECT_EQ(bytes.size(), 64u);
    EXPECT_EQ(GetRecordUInt32(bytes.data(), record_offset::UserSidOffset), 60u);
    EXPECT_EQ(GetRecordUInt32(bytes.data(), record_offset::StringOffset), 60u);
    EXPECT_EQ(GetRecordUInt32(bytes.data(), record_offset::DataOffset), 60u);
    EXPECT_EQ(GetRecordUInt16(bytes.data(), record_offset::NumStrings), 0u);
    EXPECT_TRUE(IsWellFormedEventLogRecord(bytes.data(), 64));
}

TEST(EventLogRecordTest, DamagedRecordsAreRecognised) {
    const std::vector<uint8_t> good = BuildEventLogRecord(Sample(), 1);
    const uint32_t size = static_cast<uint32_t>(good.size());
    EXPECT_FALSE(IsWellFormedEventLogRecord(good.data(), size - 4)) << "cut short";
    EXPECT_TRUE(IsWellFormedEventLogRecord(good.data(), size + 0)) << "exact";

    auto damaged = [&](uint32_t offset, uint32_t value) {
        std::vector<uint8_t> bytes = good;
        if (bytes.size() < offset + 4) return true;  // cannot happen; keeps the optimiser's bounds check quiet
        for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        return IsWellFormedEventLogRecord(bytes.data(), size);
    };
    EXPECT_FALSE(damaged(record_offset::Reserved, 0x12345678)) << "signature";
    EXPECT_FALSE(damaged(size - 4, size + 4)) << "trailing length";
    EXPECT_FALSE(damaged(record_offset::DataLength, 4000)) << "data beyond the record";
    EXPECT_FALSE(damaged(record_offset::UserSidOffset, 0xFFFFFFF0)) << "SID offset wraps";
    EXPECT_FALSE(damaged(record_offset::StringOffset, size)) << "strings beyond the record";
    // More strings than there are terminators.
    std::vector<uint8_t> bytes = good;
    bytes[record_offset::NumStrings] = 200;
    EXPECT_FALSE(IsWellFormedEventLogRecord(bytes.data(), size));
}

}  // namespace
}  // namespace qv
