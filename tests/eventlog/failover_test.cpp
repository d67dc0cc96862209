// Fallback identity servers with the logon handlers and the tables: a primary that is down at
// start, comes back and goes down again (the reference server's down file), a fallback beside
// it, and what each of them received: every live logon once per stay, none lost, none twice.
// The same runs natively and under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventlog/event_log.h"
#include "identity/identity_protocol.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/identity/fake_host_resolver.h"
#include "tests/identity/reference_servers.h"
#include "tests/identity/test_identity_settings.h"
#include "tests/support/log_capture.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t LOG_MODE = 0x2 | 0x100;  // log file, verbose
// The down file is looked at every 100 ms.
constexpr auto SERVER_NOTICES = 400ms;

std::vector<std::u16string> AccountLogon(const std::u16string& user, const std::u16string& address) {
    return {u"S-1-0-0", u"-", u"-", u"0x0", u"S-1-5-21-1-2-3-1104", user, u"CORP", u"0x3e7f1", u"3", u"NtLmSsp",
            u"NTLM", u"PC7", u"{00000000-0000-0000-0000-000000000000}", u"-", u"NTLM V2", u"128", u"0x0", u"-", address,
            u"49712"};
}

// What a server recorded, counted: the logons it received for one address.
size_t LogonsAt(const std::string& records, const std::string& address) {
    size_t count = 0;
    for (size_t at = records.find("\"kind\":\"logon\""); at != std::string::npos;
         at = records.find("\"kind\":\"logon\"", at + 1)) {
        const size_t lineEnd = records.find('\n', at);
        const size_t lineStart = records.rfind('\n', at);
        const std::string line = records.substr(lineStart == std::string::npos ? 0 : lineStart,
                                                lineEnd == std::string::npos ? std::string::npos : lineEnd - lineStart);
        count += line.find("\"ip\":\"" + address + "\"") != std::string::npos;
    }
    return count;
}

class FailoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_REFERENCE_SERVER_STATE();
        Settings.SetServer(test::SERVER_PRIMARY);
        Settings.SetProtocol(PROTOCOL_TCP);
        Settings.SetFallbacks({STRING(test::SERVER_FALLBACK)});
        Connection.RetryPauseMs = 100;
        SetCurrentConnection(&Connection);
        PrimaryRecordsBefore = test::ReadServerStateFile("127.0.0.105.jsonl").size();
        FallbackRecordsBefore = test::ReadServerStateFile("127.0.0.106.jsonl").size();
    }
    void TearDown() override {
        SetCurrentConnection(nullptr);
        PrimaryUp();
    }

    void PrimaryDown() {
        std::ofstream(test::ServerStateFile("127.0.0.105.down")) << "down\n";
        std::this_thread::sleep_for(SERVER_NOTICES);
    }
    void PrimaryUp() {
        std::remove(test::ServerStateFile("127.0.0.105.down").c_str());
        std::this_thread::sleep_for(SERVER_NOTICES);
    }
    void Logon(const char16_t* user, const char16_t* address) {
        const std::vector<uint8_t> bytes = test::MakeRecord(++Number, 4624, AccountLogon(user, address));
        RECORD_RANGE range;
        Log.DispatchRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), range);
    }
    // Logons at 'address' the server received during this test.
    size_t Primary(const std::string& address) {
        return LogonsAt(test::ReadServerStateFile("127.0.0.105.jsonl").substr(PrimaryRecordsBefore), address);
    }
    size_t Fallback(const std::string& address) {
        return LogonsAt(test::ReadServerStateFile("127.0.0.106.jsonl").substr(FallbackRecordsBefore), address);
    }
    size_t Count(const std::string& text) { return Capture.LinesWith(text).size(); }

    test::LOG_CAPTURE Capture{LOG_MODE};
    test::IDENTITY_SETTINGS Settings;
    IDENTITY_PROTOCOL Connection{Settings.Context()};
    test::FAKE_HOST_RESOLVER Resolver;
    test::FAKE_DIRECTORY_ACCESS Directory;
    DUMP_SWITCHES Switches;
    EVENT_LOG Log{EVENT_LOG_CONTEXT{Switches}, std::make_unique<test::FAKE_EVENT_LOG>(std::make_shared<test::FAKE_LOG_TRACE>())};
    uint32_t Number = 0;
    size_t PrimaryRecordsBefore = 0;
    size_t FallbackRecordsBefore = 0;
};

TEST_F(FailoverTest, TheFallbackTakesOverAndTheLiveLogonsFollowEachSwitchOnce) {
    // Down at start: the fallback takes the reports.
    PrimaryDown();
    ASSERT_TRUE(Connection.PersistentConnect());
    EXPECT_EQ(Count("Connect to Identity server = \"127.0.0.105\" failed"), 1u);
    EXPECT_EQ(Count("Connected to Identity server = \"127.0.0.106\" ..."), 1u);
    Logon(u"alice", u"10.0.0.5");
    Logon(u"bob", u"10.0.0.6");
    Logon(u"carol", u"10.0.0.7");
    Log.FollowServer();  // not yet due: nothing happens
    EXPECT_EQ(Count("Trying the primary"), 0u);

    // Back: the next look goes to the primary and sends it the live logons.
    PrimaryUp();
    Connection.PrimaryRetryMs = 0;
    Log.FollowServer();
    EXPECT_EQ(Count("Trying the primary Identity server = \"127.0.0.105\" again ..."), 1u);
    EXPECT_EQ(Count("Identity server in use changed from \"127.0.0.106\" to \"127.0.0.105\""), 1u);
    EXPECT_EQ(Count("Sending the 3 live logon(s) again to Identity server = \"127.0.0.105\""), 1u);
    Log.FollowServer();  // nothing more to send
    EXPECT_EQ(Count("Sending the"), 1u);
    Connection.PrimaryRetryMs = 600000;

    // Down again while in use: the next logon goes to the fallback, then the others follow it.
    PrimaryDown();
    Logon(u"dave", u"10.0.0.8");
    Log.FollowServer();
    EXPECT_EQ(Count("Identity server in use changed from \"127.0.0.105\" to \"127.0.0.106\""), 1u);
    EXPECT_EQ(Count("Sending the 3 live logon(s) again to Identity server = \"127.0.0.106\""), 1u);
    EXPECT_EQ(Count("IdentityResendLogon request status = 0"), 6u);

    for (const char* address : {"10.0.0.5", "10.0.0.6", "10.0.0.7"}) {
        EXPECT_EQ(Primary(address), 1u) << address;
        EXPECT_EQ(Fallback(address), 2u) << address;  // before the primary came back, and after it went
    }
    EXPECT_EQ(Primary("10.0.0.8"), 0u);
    EXPECT_EQ(Fallback("10.0.0.8"), 1u);
    EXPECT_EQ(Log.Logons().Count(), 4u);

    // A primary that is still down when tried again: the fallback again, nothing resent.
    Connection.PrimaryRetryMs = 0;
    Log.FollowServer();
    EXPECT_EQ(Count("Connect to Identity server = \"127.0.0.105\" failed; going on with \"127.0.0.106\""), 1u);
    EXPECT_EQ(Count("Sending the"), 2u);
    EXPECT_FALSE(Connection.Disconnected);
}

TEST_F(FailoverTest, WithResendOnReconnectAReconnectToTheSameServerSendsTheLiveLogonsAgain) {
    Settings.SetFallbacks({});
    Settings.SetServer(test::SERVER_FALLBACK);
    ASSERT_TRUE(Connection.PersistentConnect());
    Logon(u"erin", u"10.0.0.9");

    // Without the setting a reconnect sends nothing again, as always.
    Connection.Drop();
    ASSERT_TRUE(Connection.PersistentConnect());
    Log.FollowServer();
    EXPECT_EQ(Count("Sending the"), 0u);

    Settings.SetResendOnReconnect(true);
    Connection.Drop();
    ASSERT_TRUE(Connection.PersistentConnect());
    Log.FollowServer();
    EXPECT_EQ(Count("Sending the 1 live logon(s) again to Identity server = \"127.0.0.106\""), 1u);
    EXPECT_EQ(Fallback("10.0.0.9"), 2u);
}

}  // namespace
}  // namespace qv
