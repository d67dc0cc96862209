#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/error_codes.h"
#include "platform/event_source.h"
#include "platform/last_error.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::LOG_CAPTURE;
using test::Utf8;

// --- the message table -----------------------------------------------------------------------

struct TABLE_ENTRY {
    uint32_t Number;
    const char16_t* Text;
};

// The texts exactly as the event log and monitoring rules know them.
const TABLE_ENTRY EXPECTED_TABLE[] = {
    {MSG_SERVICE_STARTED, u"QRVA Service version %1 started.%n\r\n"},
    {MSG_SERVICE_STOPPED, u"QRVA Service version %1 stopped. Reason = %2.%n\r\n"},
    {MSG_GET_MODULE_PATH, u"Unable get the module's path.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_ENUM_NETWORK_EVENTS, u"Unable to enumerate network events for a Windows socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_READ_EVENT_ERROR, u"A read event error occured.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_WRITE_EVENT_ERROR, u"A write event error occured.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_RESOLVE_IDENT_SERVER,
     u"Unable to obtain the IP address for ident server = \"%3\".\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_SET_SOCKET_OPTION, u"Unable to set socket option.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_SOCKET_CONNECT, u"Unable to connect to socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_SOCKET_SELECT, u"Socket select failed.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_INVALID_START_PARAMETER, u"Invalid service start parameter = \"%1\".%n\r\n"},
    {MSG_WINSOCK_STARTUP, u"Unable to startup the Windows Sockets subsystem.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_WINSOCK_VERSION, u"Windows Sockets version %1.%2 required, but version %3.%4 is installed.%n\r\n"},
    {MSG_CREATE_REGISTRY_KEY, u"Unable to create registry key \"%3\"\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_OPEN_REGISTRY_KEY, u"Unable to open registry key \"%3\"\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_QUERY_REGISTRY_VALUE, u"Unable to query registry value \"%3\" in key \"%4\".%n\r\n%1. Error code = %2.%n\r\n"},
    {MSG_SET_SERVICE_STATUS, u"Unable to set the service status.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_START_DISPATCHER, u"Unable to start the service control dispatcher.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_CREATE_EVENT, u"Unable to create the %3 event.%n\r\n%1. Error code = %2.%n\r\n"},
    {MSG_CREATE_SOCKET, u"Unable to create a Windows Socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_SOCKET_BIND, u"Unable to bind to socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_CREATE_SOCKET_EVENT, u"Unable to create Windows Sockets event.\r\n%n%1. Error code = %2%n.\r\n"},
    {MSG_SEND_DATAGRAM, u"Unable to send UDP datagram.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_SOCKET_EVENT_SELECT, u"Unable to associate an event with a Windows socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_RECEIVE_DATAGRAM, u"Unable to receive a UDP datagram.\r\n%n%1. Error code = %2.%n\r\n"},
    {MSG_OPEN_HTTP_SERVICE, u"Unable to open the Windows HTTP service. %1. Error code = %2.%n\r\n"},
};

TEST(EventMessageTableTest, EveryMessageHasItsText) {
    // On Windows from the MESSAGETABLE resource windmc made, elsewhere from the generated table:
    // both from resources/messages.mc.
    for (const TABLE_ENTRY& entry : EXPECTED_TABLE) {
        STRING text;
        ASSERT_TRUE(LoadMessageText(nullptr, entry.Number, text)) << std::hex << entry.Number;
        EXPECT_EQ(Utf8(text), Utf8(entry.Text)) << std::hex << entry.Number;
    }
}

TEST(EventMessageTableTest, NumbersCarryTheirSeverityAndId) {
    EXPECT_EQ(EventIdOf(MSG_CREATE_REGISTRY_KEY), 6u);
    EXPECT_EQ(EventIdOf(MSG_OPEN_HTTP_SERVICE), 1500u);
    EXPECT_EQ(EventIdOf(MSG_SOCKET_SELECT), 512u);
    EXPECT_EQ(MSG_SERVICE_STARTED >> 30, 1u);  // information
    EXPECT_EQ(MSG_GET_MODULE_PATH >> 30, 2u);  // warning
    EXPECT_EQ(MSG_START_DISPATCHER >> 30, 3u);  // error
    STRING text(u"left over");
    EXPECT_FALSE(LoadMessageText(nullptr, 0xC0001234, text));
    EXPECT_TRUE(text.IsEmpty());
}

// --- the reporter --------------------------------------------------------------------------

// An event log that keeps what it is given, or refuses it with a chosen code. Its records live
// in a shared book so the test still reads them after the reporter took the log.
struct EVENT_BOOK {
    struct RECORD {
        uint16_t Type;
        uint16_t Category;
        uint32_t Id;
        std::vector<std::string> Strings;
        std::vector<uint8_t> Data;
    };
    std::mutex Lock;
    std::vector<RECORD> Records;
    uint32_t Refusal = ERR_SUCCESS;

    size_t Count() {
        std::lock_guard<std::mutex> lock(Lock);
        return Records.size();
    }
};

class BOOK_SINK final : public EVENT_SINK {
public:
    explicit BOOK_SINK(std::shared_ptr<EVENT_BOOK> book) : Book(std::move(book)) {}
    bool Write(uint16_t type, uint16_t category, uint32_t eventId, uint16_t stringCount, const char16_t* const* strings,
               uint32_t dataSize, const void* data) override {
        std::lock_guard<std::mutex> lock(Book->Lock);
        if (Book->Refusal != ERR_SUCCESS) {
            SetLastErrorCode(Book->Refusal);
            return false;
        }
        EVENT_BOOK::RECORD record{type, category, eventId, {}, {}};
        for (uint16_t i = 0; i < stringCount; ++i) record.Strings.push_back(Utf8(strings[i]));
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (bytes != nullptr) record.Data.assign(bytes, bytes + dataSize);
        Book->Records.push_back(std::move(record));
        return true;
    }

private:
    std::shared_ptr<EVENT_BOOK> Book;
};

constexpr uint32_t ECHO_MODE = DBGOUT_LOG | DBGOUT_NO_TIME_STAMP;

class EventReporterTest : public testing::Test {
protected:
    std::unique_ptr<EVENT_SINK> Sink() { return std::make_unique<BOOK_SINK>(Book); }
    std::shared_ptr<EVENT_BOOK> Book = std::make_shared<EVENT_BOOK>();
    EVENT_REPORTER Reporter;
};

TEST_F(EventReporterTest, WritesEventsWithTheirStrings) {
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, std::nullopt));
    EXPECT_TRUE(Reporter.IsRegistered());
    const STRING code(u"6");
    Reporter.ReportEvent(EVENT_TYPE_ERROR, MSG_CREATE_REGISTRY_KEY, u"The handle is invalid", code,
                         u"SOFTWARE\\Tarnwell\\Quorvane");
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, STRING(u"1.2.5.26"));

    ASSERT_EQ(Book->Records.size(), 2u);
    const EVENT_BOOK::RECORD& first = Book->Records[0];
    EXPECT_EQ(first.Type, EVENT_TYPE_ERROR);
    EXPECT_EQ(first.Category, 0u);
    EXPECT_EQ(first.Id, 0xC0000006u);
    EXPECT_EQ(first.Strings, (std::vector<std::string>{"The handle is invalid", "6", "SOFTWARE\\Tarnwell\\Quorvane"}));
    EXPECT_TRUE(first.Data.empty());
    EXPECT_EQ(Book->Records[1].Strings, std::vector<std::string>{"1.2.5.26"});
}

TEST_F(EventReporterTest, WritesBinaryData) {
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, std::nullopt));
    const uint8_t data[] = {0xDE, 0xAD, 0x00, 0x01};
    const char16_t* strings[] = {u"The data is invalid", u"13"};
    Reporter.ReportEventEx(EVENT_TYPE_WARNING, MSG_READ_EVENT_ERROR, sizeof data, data, 2, strings);
    ASSERT_EQ(Book->Records.size(), 1u);
    EXPECT_EQ(Book->Records[0].Type, EVENT_TYPE_WARNING);
    EXPECT_EQ(Book->Records[0].Data, (std::vector<uint8_t>{0xDE, 0xAD, 0x00, 0x01}));
    EXPECT_EQ(Book->Records[0].Strings.size(), 2u);
}

TEST_F(EventReporterTest, WithoutASourceEventsAreOnlyEchoed) {
    LOG_CAPTURE capture(ECHO_MODE);
    ASSERT_TRUE(Reporter.Construct(std::unique_ptr<EVENT_SINK>(), 0, MODULE_HANDLE{nullptr}));
    EXPECT_FALSE(Reporter.IsRegistered());
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"9.9");
    EXPECT_EQ(capture.LinesWith("QRVA Service version 9.9 started.").size(), 1u);
}

TEST_F(EventReporterTest, TheEventOverTheLimitIsDroppedButStillEchoed) {
    LOG_CAPTURE capture(ECHO_MODE);
    EVENT periodEnd;
    ASSERT_TRUE(periodEnd.Create(false));
    ASSERT_TRUE(Reporter.Construct(Sink(), EVENT_LIMIT_PER_MINUTE, MODULE_HANDLE{nullptr}, EVENT_LIMIT_PERIOD_MS,
                                   &periodEnd));
    EXPECT_EQ(Reporter.Limit(), 30u);

    for (int i = 1; i <= 31; ++i) {
        const std::string number = std::to_string(i);
        const STRING version(number.c_str());
        Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, version);
    }
    EXPECT_EQ(Book->Count(), 30u);
    EXPECT_EQ(Reporter.EventsThisPeriod(), 31u);
    EXPECT_EQ(capture.LinesWith("QRVA Service version ").size(), 31u);
    EXPECT_EQ(capture.LinesWith("QRVA Service version 31 started.").size(), 1u);

    // A new period: the next event is written again.
    ASSERT_TRUE(periodEnd.Set());
    for (int i = 0; i < 1000 && Reporter.PeriodsBegun() == 0; ++i) SleepMilliseconds(10);
    ASSERT_EQ(Reporter.PeriodsBegun(), 1u);
    EXPECT_EQ(Reporter.EventsThisPeriod(), 0u);
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"32");
    ASSERT_EQ(Book->Count(), 31u);
    EXPECT_EQ(Book->Records.back().Strings, std::vector<std::string>{"32"});
    Reporter.Destroy();  // before the period's event goes
}

TEST_F(EventReporterTest, PeriodsBeginByThemselves) {
    ASSERT_TRUE(Reporter.Construct(Sink(), 1, std::nullopt, 20));
    // Only that they come, never how fast.
    for (int i = 0; i < 1000 && Reporter.PeriodsBegun() < 2; ++i) SleepMilliseconds(10);
    EXPECT_GE(Reporter.PeriodsBegun(), 2u);
    Reporter.Destroy();
    EXPECT_EQ(Reporter.PeriodsBegun(), 0u);
    EXPECT_EQ(Reporter.Limit(), 0u);
}

TEST_F(EventReporterTest, WithoutALimitNothingIsDropped) {
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, std::nullopt));
    for (int i = 0; i < 100; ++i) Reporter.ReportEvent(EVENT_TYPE_WARNING, MSG_SOCKET_SELECT, u"x", u"1");
    EXPECT_EQ(Book->Count(), 100u);
}

TEST_F(EventReporterTest, ARefusedEventIsLoggedEvenWithTheChannelsOff) {
    LOG_CAPTURE capture(0);
    Book->Refusal = ERR_LOG_FILE_FULL;
    ASSERT_TRUE(Reporter.Construct(Sink(), EVENT_LIMIT_PER_MINUTE, MODULE_HANDLE{nullptr}));
    Reporter.ReportEvent(EVENT_TYPE_ERROR, MSG_CREATE_REGISTRY_KEY, u"Access is denied", u"5", u"SOFTWARE\\Tarnwell");

    // One line on the debugger channel and one in the log file, and no echo with every channel
    // off.
    const std::vector<std::string> debugger = capture.DebuggerLines();
    const std::vector<std::string> file = capture.Lines();
    ASSERT_EQ(debugger.size(), 1u);
    ASSERT_EQ(file.size(), 1u);
    EXPECT_TRUE(capture.ConsoleLines().empty());
    const std::string ending = ". Error code = 1502.";
    for (const std::string& line : {debugger[0], file[0]}) {
        EXPECT_NE(line.find("Unable to report event ID = 6. "), std::string::npos) << line;
        ASSERT_GE(line.size(), ending.size());
        EXPECT_EQ(line.substr(line.size() - ending.size()), ending) << line;
    }
}

TEST_F(EventReporterTest, NothingIsEchoedWithoutAChannel) {
    LOG_CAPTURE capture(DBGOUT_VERBOSE | DBGOUT_CUSTOM1 | DBGOUT_NO_TIME_STAMP);
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, MODULE_HANDLE{nullptr}));
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"1.0");
    EXPECT_EQ(Book->Count(), 1u);
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_TRUE(capture.DebuggerLines().empty());
    EXPECT_TRUE(capture.ConsoleLines().empty());
}

TEST_F(EventReporterTest, EveryChannelGetsTheEcho) {
    LOG_CAPTURE capture(DBGOUT_DEBUGGER | DBGOUT_CONSOLE | DBGOUT_NO_TIME_STAMP);
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, MODULE_HANDLE{nullptr}));
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STOPPED, u"1.2.5.26", u"Service stopped");
    EXPECT_EQ(capture.DebuggerLinesWith("QRVA Service version 1.2.5.26 stopped. Reason = Service stopped.").size(), 1u);
    EXPECT_EQ(capture.ConsoleLines().size(), 1u);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(EventReporterTest, TheEchoKeepsTheHardLineBreaks) {
    LOG_CAPTURE capture(ECHO_MODE);
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, MODULE_HANDLE{nullptr}));
    Reporter.ReportEvent(EVENT_TYPE_WARNING, MSG_GET_MODULE_PATH, u"Access is denied", u"5");
    // "Unable get the module's path.%n" and "Access is denied. Error code = 5." on lines of
    // their own, however the log lays out a message of two lines.
    const std::vector<std::string> first = capture.LinesWith("Unable get the module's path.");
    const std::vector<std::string> second = capture.LinesWith("Access is denied. Error code = 5.");
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].find("Error code"), std::string::npos);
    const std::string ending = "Access is denied. Error code = 5.";
    ASSERT_GE(second[0].size(), ending.size());
    EXPECT_EQ(second[0].substr(second[0].size() - ending.size()), ending);  // no trailing blank
}

TEST_F(EventReporterTest, NothingIsEchoedWithoutAMessageModule) {
    LOG_CAPTURE capture(ECHO_MODE);
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, std::nullopt));
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"1.0");
    EXPECT_TRUE(capture.Lines().empty());

    Reporter.SetMessageModule(MODULE_HANDLE{nullptr});
    ASSERT_TRUE(Reporter.MessageModule().has_value());
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"1.1");
    EXPECT_EQ(capture.LinesWith("QRVA Service version 1.1 started.").size(), 1u);
    EXPECT_EQ(Book->Count(), 2u);
}

TEST_F(EventReporterTest, TheEchoIsTheMessageTextWithoutTrailingBlanks) {
    LOG_CAPTURE capture(ECHO_MODE);
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, MODULE_HANDLE{nullptr}));
    Reporter.ReportEvent(EVENT_TYPE_ERROR, MSG_INVALID_START_PARAMETER, u"-bogus");
    const std::vector<std::string> lines = capture.LinesWith("Invalid service start parameter");
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected = "Invalid service start parameter = \"-bogus\".";
    ASSERT_GE(lines[0].size(), expected.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - expected.size()), expected);
}

TEST_F(EventReporterTest, ConstructAndDestroyMayBeRepeated) {
    ASSERT_TRUE(Reporter.Construct(Sink(), 5, std::nullopt));
    ASSERT_TRUE(Reporter.Construct(Sink(), 0, std::nullopt));  // replaces the first
    EXPECT_EQ(Reporter.Limit(), 0u);
    Reporter.Destroy();
    Reporter.Destroy();
    EXPECT_FALSE(Reporter.IsRegistered());
    Reporter.ReportEvent(EVENT_TYPE_ERROR, MSG_SOCKET_BIND, u"x", u"1");  // goes nowhere
    EXPECT_EQ(Book->Count(), 0u);
}

TEST_F(EventReporterTest, ASourceNeedsAName) {
    LOG_CAPTURE capture(ECHO_MODE);
    EXPECT_FALSE(Reporter.Construct(static_cast<const char16_t*>(nullptr), 0, MODULE_HANDLE{nullptr}));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
    EXPECT_FALSE(Reporter.IsRegistered());
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"7");  // still echoed
    EXPECT_EQ(capture.LinesWith("QRVA Service version 7 started.").size(), 1u);
}

TEST_F(EventReporterTest, TheSystemSourceRegisters) {
    EXPECT_TRUE(Reporter.Construct(u"Quorvane Tests", 2, std::nullopt));
    EXPECT_TRUE(Reporter.IsRegistered());
    EXPECT_EQ(Reporter.Limit(), 2u);
    Reporter.ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, u"test");
}

TEST(EventReporterProcessTest, TheProcessReporterIsReadyFromTheStart) {
    EVENT_REPORTER& reporter = EventReporter();
    EXPECT_EQ(&reporter, &EventReporter());
    EXPECT_TRUE(reporter.IsRegistered());
    EXPECT_EQ(reporter.Limit(), EVENT_LIMIT_PER_MINUTE);
    EXPECT_FALSE(reporter.MessageModule().has_value());
}

}  // namespace
}  // namespace qv
