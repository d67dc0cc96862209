// The connection and the report operations against real reference identity servers on
// loopback, plain and TLS.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "platform/process_setup.h"
#include "directory/directory_cache.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/identity/reference_servers.h"
#include "tests/identity/test_identity_settings.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

constexpr uint32_t TRACE_MODE = 0x2 | 0x100 | 0x400;  // log file, verbose, TCP

IP_ADDRESS Address(const char16_t* text) {
    IP_ADDRESS address;
    EXPECT_TRUE(IpAddressFromText(address, text));
    return address;
}

class IdentityProtocolTest : public ::testing::Test {
protected:
    void TearDown() override { SetCurrentConnection(nullptr); }

    // A connection to 'server' by 'protocol', published as the current one.
    void Use(IDENTITY_PROTOCOL& connection, const char16_t* server, uint32_t protocol) {
        Settings.SetServer(server);
        Settings.SetProtocol(protocol);
        SetCurrentConnection(&connection);
    }

    bool Logon(IDENTITY_REQUEST& request, const char16_t* user = u"CORP\\alice") {
        return IdentityReportLogon(request, Address(u"192.0.2.7"), u"192.0.2.7", user, u"CORP\\pc7");
    }

    size_t Count(const std::string& text) { return Log.LinesWith(text).size(); }

    test::LOG_CAPTURE Log{TRACE_MODE};
    test::IDENTITY_SETTINGS Settings;
};

TEST(EventNamesTest, NamesFollowFlagOrder) {
    EXPECT_EQ(Utf8(EventNames(0x11)), "Error, Disconnected");
    EXPECT_EQ(Utf8(EventNames(0x3F)), "Error, Connected, Ready to send, Data in, Disconnected, Certificate error");
    EXPECT_EQ(Utf8(EventNames(0)), "");
}

TEST_F(IdentityProtocolTest, ReportsGoThroughOverPlainTcp) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_GOOD, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    EXPECT_FALSE(connection.Disconnected);
    EXPECT_EQ(connection.ConnectionMode, CONNECTION_MODE_PLAIN);
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.11:1306 ..."), 1u);

    IDENTITY_REQUEST request;
    EXPECT_TRUE(Logon(request));
    EXPECT_TRUE(IdentityReportHeartbeat(request));
    EXPECT_TRUE(IdentityReportLogoff(request));
    EXPECT_EQ(Count("IdentityReportLogon request status = 0"), 1u);
    EXPECT_EQ(Count("IdentityReportHeartbeat request status = 0"), 1u);
    EXPECT_EQ(Count("IdentityReportLogoff request status = 0"), 1u);
    EXPECT_EQ(Count("IdentityReportLogon request received 14 bytes"), 1u);
}

TEST_F(IdentityProtocolTest, GroupsTravelOnlyOverPlainTcpAndAreCutToFit) {
    REQUIRE_REFERENCE_SERVERS();
    test::FAKE_DIRECTORY_ACCESS directory;
    // 50 groups of about 1.6 KB each: more than a 16-bit length can carry.
    std::vector<std::u16string> groups;
    for (int i = 0; i < 50; ++i) {
        std::u16string dn = u"CN=Group" + test::FAKE_DIRECTORY_ACCESS::Number(i) + u"," + std::u16string(800, u'x');
        directory.AddGroup(u"CORP\\group" + test::FAKE_DIRECTORY_ACCESS::Number(i), dn, 2000 + i, {});
        groups.push_back(dn);
    }
    auto& user = directory.AddUser(u"CORP\\alice", u"CN=Alice,DC=corp", 1104, 0, groups);
    user.Get.erase(u"primaryGroupID");
    auto userOpens = [&] {
        size_t count = 0;
        for (const auto& open : directory.Opened) count += open.Path == u"LDAP://CN=Alice,DC=corp";
        return count;
    };
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_GOOD, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    IDENTITY_REQUEST request;
    EXPECT_TRUE(Logon(request));
    EXPECT_LE(request.Length(), 0xFFFFu);
    EXPECT_EQ(Count("groups fit in the request; the rest are left out"), 1u);
    EXPECT_EQ(userOpens(), 1u);

    // Ten groups fit whole; the marker byte precedes them.
    groups.resize(10);
    test::FAKE_DIRECTORY_ACCESS::SetMemberOf(directory.Objects[u"CN=Alice,DC=corp"], groups);
    DirectoryCache().Clear();
    EXPECT_TRUE(Logon(request));
    const uint8_t* bytes = request.Request.Data();
    uint32_t userEnd = request.UserNameField + 2 + 2 * 10;  // "CORP\alice"
    userEnd += 2 + 2 * 16;                                    // its DN
    userEnd += 2;                                             // an empty OU
    EXPECT_EQ((bytes[userEnd] << 8) | bytes[userEnd + 1], 10);
    EXPECT_EQ(bytes[userEnd + 2], 0);
}

TEST_F(IdentityProtocolTest, ASelfSignedCertificateIsAcceptedAndSaidSo) {
    REQUIRE_REFERENCE_SERVERS();
    test::FAKE_DIRECTORY_ACCESS directory;
    directory.AddUser(u"CORP\\alice", u"CN=Alice,DC=corp", 1104, 513, {u"CN=staff"});
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_GOOD, PROTOCOL_SECURE_TCP);
    ASSERT_TRUE(connection.Connect());
    EXPECT_EQ(connection.ConnectionMode, CONNECTION_MODE_SECURE);
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.11:1308 (secure) ..."), 1u);
    EXPECT_EQ(Count("IDENTITY_TCPS::FireSSLServerAuthentication: Accepting non-recommended connection"), 1u);
    IDENTITY_REQUEST request;
    EXPECT_TRUE(Logon(request));
    // No group look-up over TLS.
    EXPECT_TRUE(directory.Opened.empty());
}

TEST_F(IdentityProtocolTest, AReportGoesOutWithoutDirectoryFieldsWhenTheDirectoryIsUnreachable) {
    REQUIRE_REFERENCE_SERVERS();
    COM_APARTMENT com;  // the real directory: ADSI needs COM on this thread
    Settings.SetAdServer(u"127.0.0.1:1");
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_GOOD, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    IDENTITY_REQUEST request;
    EXPECT_TRUE(Logon(request));
    EXPECT_GE(Count("IADsNameTranslate"), 1u);
    // The user's name, then an empty DN and OU, and no groups.
    const uint8_t* bytes = request.Request.Data();
    uint32_t userEnd = request.UserNameField + 2 + 2 * 10;
    EXPECT_EQ(std::vector<uint8_t>(bytes + userEnd, bytes + userEnd + 6), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes[userEnd + 6], REPORT_KIND_LOGON);
    Settings.SetAdServer(u"");
}

TEST_F(IdentityProtocolTest, ResponsesAreCheckedForLengthCodeAndIdentifier) {
    REQUIRE_REFERENCE_SERVERS();
    struct CASE {
        const char16_t* Server;
        bool Accepted;
        const char* Line;
    } cases[] = {
        {test::SERVER_SHORT, false, "IdentityReportLogon request response length = 13; 14 expected"},
        {test::SERVER_LONG, false, "IdentityReportLogon request response length = 15; 14 expected"},
        {test::SERVER_NO_FLAG, false,
         "Unexpected response for IdentityReportLogon request: Code: request = 0x1000, response = 0x1000; ID: request = "},
        {test::SERVER_WRONG_ID, false, "Unexpected response for IdentityReportLogon request: Code: request = 0x1000, "
                                       "response = 0x1080; ID: request = "},
        {test::SERVER_STATUS_7, true, "IdentityReportLogon request status = 7"},
        {test::SERVER_SPLIT, true, "IdentityReportLogon request status = 0"},
    };
    for (const CASE& item : cases) {
        IDENTITY_PROTOCOL connection(Settings.Context());
        Use(connection, item.Server, PROTOCOL_TCP);
        ASSERT_TRUE(connection.Connect()) << Utf8(item.Server);
        IDENTITY_REQUEST request;
        EXPECT_EQ(Logon(request), item.Accepted) << Utf8(item.Server);
        EXPECT_EQ(Count(item.Line), 1u) << Utf8(item.Server) << ": " << item.Line;
    }
}

TEST_F(IdentityProtocolTest, AFailedSendMakesANewConnectionForTheNextAttempt) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_GOOD, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    // The component is closed behind the connection's back: it still believes it is connected.
    connection.ConnectionInUse().Disconnect();
    connection.Disconnected = false;
    IDENTITY_REQUEST request;
    EXPECT_TRUE(Logon(request));
    EXPECT_EQ(Log.LinesWith("Unable to send IdentityReportLogon request.").size(), 1u);
    EXPECT_EQ(Count(". Retry #1"), 1u);
    EXPECT_EQ(Count("IdentityReportLogon: disconnect recieved"), 1u);
    EXPECT_EQ(Count("IdentityReportLogon request status = 0"), 1u);
}

TEST_F(IdentityProtocolTest, ADroppedConnectionIsMadeAgainBeforeTheNextReport) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_DROPS_SECOND, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    IDENTITY_REQUEST request;
    EXPECT_TRUE(Logon(request));
    // The server hangs up instead of answering: the heartbeat may never have reached it, so it
    // goes out once more on a new connection, which answers.
    EXPECT_TRUE(IdentityReportHeartbeat(request));
    EXPECT_EQ(Count("IdentityReportHeartbeat: the connection ended before the response; sending the request again"), 1u);
    EXPECT_EQ(Count("IdentityReportHeartbeat: disconnect recieved"), 1u);
    EXPECT_EQ(Count("IDENTITY_TCP::FireDisconnected"), 1u);
    EXPECT_TRUE(IdentityReportLogoff(request));
}

TEST_F(IdentityProtocolTest, ARequestNeverAnsweredGoesOutTwiceAtMost) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_DROPS_ALL, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    IDENTITY_REQUEST request;
    EXPECT_FALSE(Logon(request));
    EXPECT_EQ(Count("IdentityReportLogon sending"), 2u);
    EXPECT_EQ(Count("IdentityReportLogon: the connection ended before the response; sending the request again"), 1u);
}

// What a connection meets in a long life: a server that resets idle connections, answers late
// or closes after answering. Every report still goes through, on both protocols.
TEST_F(IdentityProtocolTest, AConnectionResetWhileIdleIsMadeAgainBeforeTheNextReport) {
    REQUIRE_REFERENCE_SERVERS();
    for (uint32_t protocol : {PROTOCOL_TCP, PROTOCOL_SECURE_TCP}) {
        IDENTITY_PROTOCOL connection(Settings.Context());
        Use(connection, test::SERVER_RESETS_IDLE, protocol);
        ASSERT_TRUE(connection.Connect());
        IDENTITY_REQUEST request;
        EXPECT_TRUE(Logon(request));
        std::this_thread::sleep_for(700ms);  // the server resets the idle connection after 300 ms
        EXPECT_TRUE(IdentityReportHeartbeat(request)) << "protocol " << protocol;
        EXPECT_TRUE(IdentityReportLogoff(request)) << "protocol " << protocol;
    }
    EXPECT_EQ(Count("IdentityReportHeartbeat: disconnect recieved"), 2u);
    EXPECT_EQ(Count("Unable to send"), 0u);
}

TEST_F(IdentityProtocolTest, ALateResponseNeverAnswersALaterRequest) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    connection.ResponseTimeoutMs = 1000;  // the server answers a connection's first request after 1.5 s
    Use(connection, test::SERVER_FIRST_LATE, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    IDENTITY_REQUEST request;
    EXPECT_FALSE(Logon(request));
    // Sent before the late answer arrives: that answer is passed over, this one's is taken.
    EXPECT_TRUE(IdentityReportHeartbeat(request));
    EXPECT_EQ(Count("IDENTITY_PROTOCOL: Dropping 1 late response(s)"), 1u);
    EXPECT_TRUE(IdentityReportHeartbeat(request));

    // A late answer already there when the next request goes out is dropped before it.
    ASSERT_TRUE(connection.Connect());
    EXPECT_FALSE(Logon(request));
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(IdentityReportHeartbeat(request));
    EXPECT_EQ(Count("IDENTITY_PROTOCOL: Dropping 14 bytes nobody waits for"), 1u);
    EXPECT_EQ(Count("Unexpected response"), 0u);
}

TEST_F(IdentityProtocolTest, ARequestAfterTheServerClosedGoesOutOnANewConnection) {
    REQUIRE_REFERENCE_SERVERS();
    for (uint32_t protocol : {PROTOCOL_TCP, PROTOCOL_SECURE_TCP}) {
        IDENTITY_PROTOCOL connection(Settings.Context());
        Use(connection, test::SERVER_CLOSES, protocol);
        ASSERT_TRUE(connection.Connect());
        IDENTITY_REQUEST request;
        EXPECT_TRUE(Logon(request));
        // Sent at once, the request goes into a connection that closes without answering it
        // (it is sent again); sent later, the close is seen before it goes out.
        for (int i = 0; i < 4; ++i) {
            if (i % 2 == 1) std::this_thread::sleep_for(600ms);
            EXPECT_TRUE(IdentityReportHeartbeat(request)) << "protocol " << protocol << ", heartbeat " << i;
        }
    }
    EXPECT_EQ(Count("response length = 0"), 0u);
    // Sending at once lands within the server's 300 ms before it closes (timing allowing).
    EXPECT_GE(Count("IdentityReportHeartbeat: the connection ended before the response; sending the request again"), 2u);
}

TEST_F(IdentityProtocolTest, AOneShotReportTriesAGoneServerOnceWithoutWaitingOnMissingEvents) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_CONTEXT context = Settings.Context(false);
    context.RetryConnections = false;
    IDENTITY_PROTOCOL connection(std::move(context));
    Use(connection, test::SERVER_NONE, PROTOCOL_TCP);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(connection.PersistentConnect());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(Count("Connect to Identity server = \"127.0.0.19\" failed"), 1u);
    EXPECT_EQ(Count("Wait failed"), 0u);
}

TEST_F(IdentityProtocolTest, AutomaticModeFallsBackToPlainTcpAndKeepsIt) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_PLAIN_ONLY, PROTOCOL_AUTOMATIC);
    ASSERT_TRUE(connection.PersistentConnect());
    EXPECT_EQ(connection.ConnectionMode, CONNECTION_MODE_PLAIN);
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.18:1308 (secure) ..."), 1u);
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.18:1306 ..."), 1u);
    EXPECT_EQ(Count("Connected to Identity server = \"127.0.0.18\" ..."), 1u);

    connection.ConnectionInUse().Disconnect();
    connection.Disconnected = true;
    ASSERT_TRUE(connection.PersistentConnect());
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.18:1308 (secure) ..."), 1u);
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.18:1306 ..."), 2u);
}

TEST_F(IdentityProtocolTest, BothFailingLeavesNoProtocolChosen) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_NONE, PROTOCOL_AUTOMATIC);
    EXPECT_FALSE(connection.Connect());
    EXPECT_EQ(connection.ConnectionMode, CONNECTION_MODE_NONE);
    EXPECT_TRUE(connection.Disconnected);
}

TEST_F(IdentityProtocolTest, StopEndsTheRetryPauseWithoutAnotherAttempt) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_NONE, PROTOCOL_TCP);
    std::thread stopper([this] {
        std::this_thread::sleep_for(300ms);
        Settings.Stop.Set();
    });
    EXPECT_FALSE(connection.PersistentConnect());  // would otherwise pause for a minute
    stopper.join();
    EXPECT_EQ(Count("Connect to Identity server = \"127.0.0.19\" failed"), 1u);
    EXPECT_EQ(Count("IDENTITY_PROTOCOL::PersistentConnect Service stop signaled"), 1u);
    EXPECT_EQ(Count("Connecting to Identity server = 127.0.0.19:1306 ..."), 1u);
}

TEST_F(IdentityProtocolTest, ASettingsChangeRetriesAtOnceWithTheNewServer) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    // Secure only, against a server without TLS: every round fails.
    Use(connection, test::SERVER_PLAIN_ONLY, PROTOCOL_SECURE_TCP);
    std::thread changer([this] {
        std::this_thread::sleep_for(300ms);
        Settings.SetServer(test::SERVER_GOOD);
        Settings.Changed.Set();
    });
    EXPECT_TRUE(connection.PersistentConnect());
    changer.join();
    EXPECT_EQ(Count("IDENTITY_PROTOCOL::PersistentConnect Settings changed"), 1u);
    EXPECT_EQ(Count("Connected to Identity server = \"127.0.0.11\" ..."), 1u);
}

TEST_F(IdentityProtocolTest, StopDuringAWaitDisconnects) {
    REQUIRE_REFERENCE_SERVERS();
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, test::SERVER_GOOD, PROTOCOL_TCP);
    ASSERT_TRUE(connection.Connect());
    std::thread stopper([this] {
        std::this_thread::sleep_for(200ms);
        Settings.Stop.Set();
    });
    EXPECT_EQ(connection.Wait(20, PROTOCOL_EVENT_DATA_IN), PROTOCOL_WAIT_STOPPING);
    stopper.join();
    EXPECT_TRUE(connection.Disconnected);
    EXPECT_EQ(Count("IDENTITY_PROTOCOL::Wait: Service shutting down"), 1u);
}

TEST_F(IdentityProtocolTest, AServerNameDifferingOnlyInCaseIsNoChange) {
    IDENTITY_PROTOCOL connection(Settings.Context());
    Use(connection, u"IdServer.Example", PROTOCOL_TCP);
    EXPECT_TRUE(connection.ServerChanged());
    EXPECT_EQ(Utf8(connection.ServerName()), "IdServer.Example");
    Settings.SetServer(u"idserver.example");
    EXPECT_FALSE(connection.ServerChanged());
    Settings.SetServer(u"other.example");
    EXPECT_TRUE(connection.ServerChanged());
    EXPECT_EQ(Utf8(connection.ServerName()), "other.example");
}

}  // namespace
}  // namespace qv
