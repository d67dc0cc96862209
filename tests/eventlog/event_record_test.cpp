// Records that come in malformed: each is logged once and skipped, and the records around it
// still reach their handlers.
#include "eventlog/event_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "eventlog/event_log_context.h"
#include "platform/event_log_record.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/support/log_capture.h"

namespace qv::test {
namespace {

void Put32(std::vector<uint8_t>& bytes, uint32_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put16(std::vector<uint8_t>& bytes, uint32_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint32_t Length(const std::vector<uint8_t>& record) { return static_cast<uint32_t>(record.size()); }

// A record of number 'number' broken by 'breakIt'.
template <typename BREAK>
std::vector<uint8_t> Broken(uint32_t number, BREAK breakIt) {
    std::vector<uint8_t> record = MakeRecord(number, 4624, {u"one", u"two"}, {0x41, 0x42, 0x43});
    breakIt(record);
    return record;
}

class MalformedRecordTest : public testing::Test {
protected:
    MalformedRecordTest() : Capture(DBGOUT_LOG) {}

    // Dispatches one buffer and returns the numbers of the records that reached a handler.
    std::vector<uint32_t> Dispatch(const std::vector<uint8_t>& buffer) {
        // A heap copy of exactly the buffer's size, so that the sanitizers see any read past it.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[buffer.size()]);
        std::memcpy(copy.get(), buffer.data(), buffer.size());
        Range = {};
        Log.DispatchRecords(copy.get(), static_cast<uint32_t>(buffer.size()), Range);
        std::vector<uint32_t> numbers;
        for (const DISPATCHED& seen : Log.Dispatched) numbers.push_back(seen.RecordNumber);
        Log.Dispatched.clear();
        return numbers;
    }

    LOG_CAPTURE Capture;
    DUMP_SWITCHES Switches;
    OBSERVED_EVENT_LOG Log{EVENT_LOG_CONTEXT{Switches}, std::make_unique<FAKE_EVENT_LOG>(std::make_shared<FAKE_LOG_TRACE>())};
    RECORD_RANGE Range;
};

TEST_F(MalformedRecordTest, EachBadRecordIsOneLineAndTheBatchGoesOn) {
    struct CASE {
        const char* Reason;
        std::vector<uint8_t> Record;
    };
    const CASE cases[] = {
        {"the length is not a multiple of 4",
         Broken(11, [](auto& r) {
             r.resize(r.size() + 2, 0);
             Put32(r, 0, Length(r));
         })},
        {"the trailing length does not match", Broken(12, [](auto& r) { Put32(r, Length(r) - 4, 8); })},
        {"the signature is missing", Broken(13, [](auto& r) { Put32(r, 4, 0x12345678); })},
        {"the source name is not a terminated text inside the record",
         Broken(14, [](auto& r) { std::fill(r.begin() + 56, r.end() - 4, 0x41); })},
        {"the computer name is not a terminated text inside the record",
         Broken(15, [](auto& r) {
             const uint32_t sourceEnd = RecordTextEnd(r.data(), 56, Length(r) - 4);
             std::fill(r.begin() + sourceEnd, r.end() - 4, 0x41);
         })},
        {"the strings lie outside the record", Broken(16, [](auto& r) { Put32(r, 36, Length(r)); })},
        {"the strings lie outside the record", Broken(17, [](auto& r) { Put32(r, 36, 8); })},
        {"the strings are not aligned for UTF-16",
         Broken(18, [](auto& r) { Put32(r, 36, GetRecordUInt32(r.data(), 36) + 1); })},
        {"fewer terminated strings than NumStrings says", Broken(19, [](auto& r) { Put16(r, 26, 0xFFFF); })},
        {"the data lies outside the record", Broken(20, [](auto& r) { Put32(r, 52, Length(r) - 2); })},
        {"the data lies outside the record", Broken(21, [](auto& r) { Put32(r, 48, 0xFFFFFFFF); })},
        {"the data lies outside the record", Broken(22, [](auto& r) { Put32(r, 52, 4); })},
    };
    for (const CASE& bad : cases) {
        SCOPED_TRACE(bad.Reason);
        const std::vector<uint8_t> buffer = Concatenate({MakeRecord(1, 4624), bad.Record, MakeRecord(2, 4634)});
        EXPECT_EQ(Dispatch(buffer), (std::vector<uint32_t>{1, 2}));
        const uint32_t number = GetRecordUInt32(bad.Record.data(), 8);
        const auto lines = Capture.LinesWith("EVENT_LOG::DispatchRecord: Record " + std::to_string(number) + " skipped: ");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].ends_with(bad.Reason)) << lines[0];
        // The bad record was still seen by the batch.
        EXPECT_EQ(Range.Count, 3u);
    }
}

TEST_F(MalformedRecordTest, AnUnusableLengthSkipsTheRestOfTheBuffer) {
    struct CASE {
        const char* Name;
        std::vector<uint8_t> Tail;
        const char* Line;
    };
    std::vector<uint8_t> zero = MakeRecord(30, 4624);
    Put32(zero, 0, 0);
    std::vector<uint8_t> shortLength = MakeRecord(31, 4624);
    Put32(shortLength, 0, 40);
    std::vector<uint8_t> beyond = MakeRecord(32, 4624);
    Put32(beyond, 0, Length(beyond) + 4096);
    std::vector<uint8_t> cutShort = MakeRecord(33, 4624);
    cutShort.resize(12);
    const CASE cases[] = {
        {"zero", Concatenate({zero, MakeRecord(3, 4624)}), "Record 30 at offset "},
        {"shorter than the header", Concatenate({shortLength, MakeRecord(3, 4624)}), "Record 31 at offset "},
        {"beyond the bytes read", Concatenate({beyond, MakeRecord(3, 4624)}), "Record 32 at offset "},
        {"a header cut short", cutShort, "Record 33 at offset "},
    };
    for (const CASE& bad : cases) {
        SCOPED_TRACE(bad.Name);
        const std::vector<uint8_t> first = MakeRecord(1, 4624);
        const std::vector<uint8_t> buffer = Concatenate({first, bad.Tail});
        EXPECT_EQ(Dispatch(buffer), (std::vector<uint32_t>{1}));
        const auto lines = Capture.LinesWith(bad.Line);
        ASSERT_EQ(lines.size(), 1u);
        const std::string expected = bad.Line + std::to_string(first.size()) + " has an unusable length";
        EXPECT_NE(lines[0].find("EVENT_LOG::DispatchRecord: " + expected), std::string::npos) << lines[0];
        EXPECT_TRUE(lines[0].ends_with("the last " + std::to_string(bad.Tail.size()) + " bytes of the buffer are skipped"))
            << lines[0];
    }
}

TEST(EventRecordView, PointsIntoTheRecordAndReusesItsStrings) {
    const std::vector<uint8_t> bytes = MakeRecord(9, 0xC0000008, {u"alpha", u"", u"gamma"}, {1, 2, 3});
    EVENT_RECORD record;
    ASSERT_EQ(ParseEventRecord(bytes.data(), Length(bytes), record), nullptr);
    EXPECT_EQ(record.RecordNumber, 9u);
    EXPECT_EQ(record.EventID, 0xC0000008u);
    EXPECT_EQ(record.EventType, 8u);
    EXPECT_EQ(record.TimeGenerated, 1700000000u);
    EXPECT_EQ(std::u16string(record.SourceName), u"Microsoft-Windows-Security-Auditing");
    EXPECT_EQ(std::u16string(record.ComputerName), u"DC1.corp.example.test");
    ASSERT_EQ(record.Strings.size(), 3u);
    EXPECT_EQ(std::u16string(record.Strings[1]), u"");
    EXPECT_EQ(std::u16string(record.Strings[2]), u"gamma");
    EXPECT_GE(reinterpret_cast<const uint8_t*>(record.Strings[0]), bytes.data());
    EXPECT_LT(reinterpret_cast<const uint8_t*>(record.Strings[2]), bytes.data() + bytes.size());
    ASSERT_EQ(record.DataLength, 3u);
    EXPECT_EQ(record.Data[2], 3);

    const char16_t* const* block = record.Strings.data();
    const std::vector<uint8_t> next = MakeRecord(10, 4624, {u"x", u"y"});
    ASSERT_EQ(ParseEventRecord(next.data(), Length(next), record), nullptr);
    EXPECT_EQ(record.Strings.data(), block);
    EXPECT_EQ(record.Data, nullptr);

    // A record that does not start on a 2-byte boundary cannot be read through char16_t.
    std::vector<uint8_t> shifted(bytes.size() + 1);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    EXPECT_EQ(std::u16string(ParseEventRecord(shifted.data() + 1, Length(bytes), record)),
              u"the record is not aligned for UTF-16");
    EXPECT_TRUE(record.Strings.empty());
}

}  // namespace
}  // namespace qv::test
