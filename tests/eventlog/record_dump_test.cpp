// Dumps of records into the log, and the insertion of replacement strings into message texts.
#include "eventlog/record_dump.h"

#include <gtest/gtest.h>

#include <memory>

#include "eventlog/event_log.h"
#include "eventlog/event_log_context.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/support/log_capture.h"

namespace qv::test {
namespace {

class RecordDumpTest : public testing::Test {
protected:
    RecordDumpTest() : Capture(DBGOUT_LOG) {}
    void SetUp() override { ASSERT_TRUE(Log.Open(u"Security", Stop)); }

    // Dumps a record built from the given parts, as the dispatch does.
    void Dump(uint32_t eventId, std::vector<std::u16string> strings = {}, std::vector<uint8_t> data = {},
              uint32_t content = DUMP_STRINGS | DUMP_DATA) {
        Bytes = MakeRecord(42, eventId, std::move(strings), std::move(data));
        ASSERT_EQ(ParseEventRecord(Bytes.data(), static_cast<uint32_t>(Bytes.size()), Record), nullptr);
        DumpRecord(Record, Log, content);
    }

    LOG_CAPTURE Capture;
    DUMP_SWITCHES Switches;
    EVENT Stop;
    EVENT_LOG Log{EVENT_LOG_CONTEXT{Switches}, std::make_unique<FAKE_EVENT_LOG>(std::make_shared<FAKE_LOG_TRACE>())};
    std::vector<uint8_t> Bytes;
    EVENT_RECORD Record;
};

// The lines of the last dump, from its header line on.
std::vector<std::string> DumpLines(const LOG_CAPTURE& capture, const std::string& header) {
    const std::vector<std::string> lines = capture.Lines();
    for (size_t i = lines.size(); i-- > 0;) {
        const std::string& line = lines[i];
        if (line.size() >= header.size() && line.compare(line.size() - header.size(), header.size(), header) == 0) {
            return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
        }
    }
    return {};
}

TEST_F(RecordDumpTest, MiniDumpIsOneLineWithTheEventName) {
    Switches.MiniDump = true;
    Dump(4624, {u"a"}, {1});
    Dump(4769);
    Dump(4625);
    Dump(0x00011210);
    const auto lines = Capture.LinesWith("Event = ");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].ends_with(") Event = ACCOUNT_LOGON, RecordNumber = 42")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(") Event = KERBEROS_SERVICE_TICKET, RecordNumber = 42")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(") Event = 4625, RecordNumber = 42")) << lines[2];
    EXPECT_TRUE(lines[3].ends_with(") Event = ACCOUNT_LOGON, RecordNumber = 42")) << lines[3];
    EXPECT_TRUE(Capture.LinesWith("RecordNumber:").empty());
}

TEST_F(RecordDumpTest, FullDumpShowsHeaderStringsAndData) {
    Dump(4624, {u"alice", u"CORP", u"10.0.0.5"}, {1, 2, 3, 4, 5, 6});
    const auto lines = DumpLines(Capture, "EVENT_ACCOUNT_LOGON");
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[1], "    RecordNumber: 42");
    EXPECT_EQ(lines[2], "    Severity: 0");
    EXPECT_EQ(lines[3], "    Facility: 0");
    // 1700000000 is 2023-11-14 22:13:20 UTC; the dump shows local time.
    EXPECT_TRUE(lines[4].starts_with("    Time stamp: 11/1")) << lines[4];
    EXPECT_TRUE(lines[4].ends_with("/2023 " + lines[4].substr(lines[4].size() - 8))) << lines[4];
    EXPECT_EQ(lines[4].substr(lines[4].size() - 6), ":13:20") << lines[4];
    EXPECT_EQ(lines[5], "    Type: Audit Success");
    EXPECT_EQ(lines[6], "    Source: Microsoft-Windows-Security-Auditing");
    EXPECT_EQ(lines[7], "    Computer: DC1.corp.example.test");
    EXPECT_EQ(lines[8], "    %1: {alice}");
    EXPECT_EQ(lines[9], "    %2: {CORP}");
    EXPECT_EQ(lines[10], "    %3: {10.0.0.5}");
    EXPECT_EQ(lines[11], "    Data length: 6");
    EXPECT_EQ(lines[12], "    Data: 01020304 0506");
}

TEST_F(RecordDumpTest, SeverityAndFacilityComeFromTheFullEventId) {
    Dump(0xC0000008);
    auto lines = DumpLines(Capture, "EVENT_8");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "    Severity: 3");
    EXPECT_EQ(lines[3], "    Facility: 0");

    Dump(0x00011210);
    lines = DumpLines(Capture, "EVENT_ACCOUNT_LOGON");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "    Severity: 0");
    EXPECT_EQ(lines[3], "    Facility: 1");
}

TEST_F(RecordDumpTest, EventTypesAndEmptyPartsHaveTheirOwnLines) {
    Dump(4634);
    auto lines = DumpLines(Capture, "EVENT_ACCOUNT_LOGOFF");
    ASSERT_EQ(lines.size(), 9u);  // no data, no data lines
    EXPECT_EQ(lines[8], "    No replacement strings");

    const std::pair<uint16_t, const char*> types[] = {{1, "Error"},          {2, "Warning"},        {4, "Informational"},
                                                      {8, "Audit Success"}, {16, "Audit Failure"}, {3, "<Unknown>"}};
    for (const auto& [type, name] : types) {
        Bytes = MakeRecord(7, 538);
        Bytes[24] = static_cast<uint8_t>(type);
        ASSERT_EQ(ParseEventRecord(Bytes.data(), static_cast<uint32_t>(Bytes.size()), Record), nullptr);
        DumpRecord(Record, Log, DUMP_STRINGS);
        lines = DumpLines(Capture, "EVENT_LOGOFF");
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(lines[5], std::string("    Type: ") + name);
    }
}

TEST_F(RecordDumpTest, MessageFromAFileNamedLogIsNotAvailable) {
    STRING files;
    EXPECT_FALSE(GetEventMessageFile(u"\\\\backup\\logs\\Security.evt", u"Microsoft-Windows-Security-Auditing", files));
    EXPECT_FALSE(GetEventMessageFile(u"C:\\logs\\Security.evt", u"Microsoft-Windows-Security-Auditing", files));
}

#ifndef _WIN32
// Elsewhere than Windows the Security log's texts are compiled in; on Windows they come from
// the system's message files, which Wine does not have.
TEST_F(RecordDumpTest, MessageTextsOfSecurityEventsWithAndWithoutInserts) {
    Dump(4634, {u"S-1-5-21-1", u"alice", u"CORP", u"0x3e7", u"3"}, {}, DUMP_MESSAGE | DUMP_FORMATTED_MESSAGE);
    auto lines = DumpLines(Capture, "EVENT_ACCOUNT_LOGOFF");
    ASSERT_GE(lines.size(), 15u);
    EXPECT_TRUE(lines[8].starts_with("    Message: {An account logged off.%n%n%tSID:%t%1%n")) << lines[8];
    EXPECT_EQ(lines[9], "    Formatted Message: {An account logged off.");
    EXPECT_EQ(lines[10], "");
    EXPECT_EQ(lines[11], "\tSID:\tS-1-5-21-1");
    EXPECT_EQ(lines[12], "\tAccount:\talice");
    EXPECT_EQ(lines[15], "\tLogon type:\t3}");

    Dump(5156, {}, {}, DUMP_FORMATTED_MESSAGE);
    lines = DumpLines(Capture, "EVENT_5156");
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(lines[8], "    Message not available");
}

TEST_F(RecordDumpTest, EverySecurityEventTheProgramReadsHasAText) {
    EVENT_RECORD record;
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    for (uint32_t id : {528u, 538u, 540u, 673u, 4624u, 4634u, 4769u}) {
        record.EventID = id;
        STRING text;
        EXPECT_TRUE(FormatEventMessage(record, Log, text)) << id;
        EXPECT_FALSE(text.IsEmpty()) << id;
    }
}
#endif

STRING Inserted(const char16_t* text, const std::vector<const char16_t*>& strings) {
    STRING result(text);
    EXPECT_TRUE(InsertReplacementStrings(result, strings));
    return result;
}

TEST(InsertReplacementStrings, InsertsEscapesAndOutOfRangeNumbers) {
    const std::vector<const char16_t*> two = {u"alice", u"10.0.0.5"};
    EXPECT_EQ(Inserted(u"%1 logged on from %2%n", two), u"alice logged on from 10.0.0.5\n");
    EXPECT_EQ(Inserted(u"[%9]", two), u"[]");
    EXPECT_EQ(Inserted(u"[%0]", two), u"[]");
    EXPECT_EQ(Inserted(u"%2%1", two), u"10.0.0.5alice");
    EXPECT_EQ(Inserted(u"100%% sure%r%t%x", two), u"100% sure\r\tx");
    EXPECT_EQ(Inserted(u"ends with %", two), u"ends with ");
    EXPECT_EQ(Inserted(u"%", two), u"");
    EXPECT_EQ(Inserted(u"", two), u"");
    EXPECT_EQ(Inserted(u"no inserts", {}), u"no inserts");
    EXPECT_EQ(Inserted(u"%1", {}), u"");
    // A number far beyond 32 bits is out of range, not wrapped round to a small one.
    EXPECT_EQ(Inserted(u"[%4294967297][%99999999999999999999999]", two), u"[][]");
}

TEST(InsertReplacementStrings, NumbersOfSeveralDigits) {
    std::vector<std::u16string> texts;
    for (int i = 1; i <= 12; ++i) texts.push_back(u"s" + std::u16string(1, static_cast<char16_t>(u'a' + i - 1)));
    std::vector<const char16_t*> strings;
    for (const std::u16string& text : texts) strings.push_back(text.c_str());
    EXPECT_EQ(Inserted(u"%12|%10|%1|%13", strings), u"sl|sj|sa|");
}

}  // namespace
}  // namespace qv::test
