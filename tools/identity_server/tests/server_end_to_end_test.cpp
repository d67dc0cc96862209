// The server program itself, started on a loopback address of this test's own, against a real
// plain and TLS client.
#include "tools/identity_server/tests/test_client.h"
#include "tools/identity_server/tests/test_requests.h"

#include <gtest/gtest.h>

#include <chrono>

namespace qv::identity_server::test {
namespace {

constexpr size_t RESPONSE_BYTES = 14;

std::vector<uint8_t> ExpectedResponse(uint32_t requestId, uint16_t code = 0x8010, uint32_t status = 0)
{
    std::vector<uint8_t> bytes = {0, 0, 0, 0, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), 0, 0, 0, 0,
                                  0, 0, 0, 0};
    PutBigEndian32(bytes, 6, requestId);
    PutBigEndian32(bytes, 10, status);
    return bytes;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class ServerEndToEnd : public testing::Test {
protected:
    void StartServer(const std::vector<std::string>& options)
    {
        ASSERT_TRUE(Server.Start(options)) << Server.StandardError();
    }

    void Connect(TEST_CLIENT& client, int tlsVersion = 0)
    {
        ASSERT_TRUE(client.Connect(Server.Address, tlsVersion == 0 ? Server.PlainPort : Server.TlsPort, tlsVersion))
            << Server.StandardError();
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "server stderr:\n%s\n", Server.StandardError().c_str());
    }

    SERVER_PROCESS Server;
};

TEST_F(ServerEndToEnd, AnswersRequestsOverPlainTcpAndRecordsThem)
{
    StartServer({"--print", "--status", "7"});
    EXPECT_TRUE(Contains(Server.ReadyFileText(), "plain_port=" + std::to_string(Server.PlainPort)));
    TEST_CLIENT client;
    Connect(client);

    // Two requests in one write, then one sent a byte at a time.
    std::vector<uint8_t> both = ExampleRequest(1);
    const std::vector<uint8_t> second = ExampleRequest(2);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(client.Send(both));
    EXPECT_EQ(client.Receive(2 * RESPONSE_BYTES), [] {
        std::vector<uint8_t> expected = ExpectedResponse(1, 0x8010, 7);
        const std::vector<uint8_t> next = ExpectedResponse(2, 0x8010, 7);
        expected.insert(expected.end(), next.begin(), next.end());
        return expected;
    }());
    for (const uint8_t byte : ExampleRequest(0xFFFFFFFE))
        ASSERT_TRUE(client.Send({byte}));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(0xFFFFFFFE, 0x8010, 7));

    const std::vector<std::string> lines = Server.RecordLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Contains(lines[0], "\"n\":1,\"transport\":\"plain\",\"tls_version\":null,\"client\":\"" +
                                       Server.Address + ":"))
        << lines[0];
    EXPECT_TRUE(Contains(lines[2], "\"request_id\":4294967294,\"kind\":\"logon\"")) << lines[2];
    EXPECT_TRUE(Contains(lines[2], "\"error\":null}")) << lines[2];
    EXPECT_EQ(Server.Stop(), 0);
    EXPECT_TRUE(Contains(Server.StandardOutput(), "#3 logon id=4294967294 length=34 ip=10.1.2.3 computer=- user=- "
                                                  "groups=0 os=12 10.0 agent=1.2.5 client=" + Server.Address))
        << Server.StandardOutput();
}

TEST_F(ServerEndToEnd, AnswersOverTls12And11)
{
    StartServer({"--no-plain"});
    TEST_REQUEST request;
    request.RequestId = 31;
    request.User = ACCOUNT_SECTION{u"CORP\\\u00e9va", u"CN=Eva,DC=corp", u""};
    request.Computer = ACCOUNT_SECTION{u"CORP\\pc7", u"", u""};

    TEST_CLIENT modern;
    Connect(modern, TLS1_2_VERSION);
    EXPECT_EQ(modern.TlsVersion(), "TLSv1.2");
    ASSERT_TRUE(modern.Send(EncodeTestRequest(request)));
    EXPECT_EQ(modern.Receive(RESPONSE_BYTES), ExpectedResponse(31));

    TEST_CLIENT older;
    Connect(older, TLS1_1_VERSION);
    request.RequestId = 32;
    request.Kind = 0x30;
    ASSERT_TRUE(older.Send(EncodeTestRequest(request)));
    EXPECT_EQ(older.Receive(RESPONSE_BYTES), ExpectedResponse(32));

    const std::vector<std::string> lines = Server.RecordLines(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Contains(lines[0], "\"transport\":\"tls\",\"tls_version\":\"TLSv1.2\"")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], "\"computer_name\":\"CORP\\\\pc7\"")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], "\"user_name\":\"CORP\\\\\xC3\xA9va\"")) << lines[0];
    EXPECT_TRUE(Contains(lines[1], "\"tls_version\":\"TLSv1.1\"")) << lines[1];
    EXPECT_TRUE(Contains(lines[1], "\"kind\":\"heartbeat\"")) << lines[1];

    TEST_CLIENT plain;
    EXPECT_FALSE(plain.Connect(Server.Address, Server.PlainPort)) << "the plain listener was switched off";
}

TEST_F(ServerEndToEnd, AnswersAMalformedRequestAndKeepsTheConnection)
{
    StartServer({});
    TEST_CLIENT client;
    Connect(client);
    std::vector<uint8_t> malformed = ExampleRequest(8);
    malformed[28] = 3;  // no such OS code
    ASSERT_TRUE(client.Send(malformed));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(8));
    ASSERT_TRUE(client.Send(ExampleRequest(9)));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(9));

    const std::vector<std::string> lines = Server.RecordLines(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Contains(lines[0], "\"error\":\"OS code at offset 28 is 3, not one of 0, 1, 2, 4 to 12\"")) << lines[0];
    EXPECT_TRUE(Contains(lines[1], "\"error\":null")) << lines[1];
    EXPECT_TRUE(Contains(Server.StandardError(), "is malformed: OS code at offset 28 is 3"));
}

TEST_F(ServerEndToEnd, ClosesAConnectionWhoseLengthIsBelowTheHeader)
{
    StartServer({});
    TEST_CLIENT client;
    Connect(client);
    ASSERT_TRUE(client.Send({0x00, 0x04, 0x00, 0x03}));
    EXPECT_TRUE(client.WaitForClose());
    const std::vector<std::string> lines = Server.RecordLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(Contains(lines[0], "\"error\":\"Length at offset 0 is 4, below the header size of 10")) << lines[0];
}

TEST_F(ServerEndToEnd, SpoilsAnswersAsTold)
{
    struct CASE {
        std::vector<std::string> Options;
        std::vector<uint8_t> Expected;
    };
    std::vector<uint8_t> tooLong = ExpectedResponse(5);
    tooLong.push_back(0);
    std::vector<uint8_t> tooShort = ExpectedResponse(5);
    tooShort.pop_back();
    const CASE cases[] = {
        {{"--wrong-id"}, ExpectedResponse(6)},
        {{"--no-flag"}, ExpectedResponse(5, 0x0010)},
        {{"--response-length", "13"}, tooShort},
        {{"--response-length", "15"}, tooLong},
    };
    for (const CASE& spoiled : cases) {
        SCOPED_TRACE(spoiled.Options[0]);
        SERVER_PROCESS server;
        ASSERT_TRUE(server.Start(spoiled.Options)) << server.StandardError();
        TEST_CLIENT client;
        ASSERT_TRUE(client.Connect(server.Address, server.PlainPort));
        ASSERT_TRUE(client.Send(ExampleRequest(5)));
        EXPECT_EQ(client.Receive(spoiled.Expected.size()), spoiled.Expected);
        EXPECT_TRUE(client.Receive(1, 200).empty()) << "nothing follows the spoiled answer";
    }
}

TEST_F(ServerEndToEnd, SplitsTheAnswerIntoTwoPieces)
{
    StartServer({"--split-response", "1000"});
    TEST_CLIENT client;
    Connect(client, TLS1_2_VERSION);
    ASSERT_TRUE(client.Send(ExampleRequest(12)));
    const std::vector<uint8_t> expected = ExpectedResponse(12);
    EXPECT_EQ(client.Receive(7), std::vector<uint8_t>(expected.begin(), expected.begin() + 7));
    // The second piece is a second away; it is not there right after the first.
    EXPECT_TRUE(client.Receive(1, 200).empty());
    EXPECT_EQ(client.Receive(7), std::vector<uint8_t>(expected.begin() + 7, expected.end()));
}

TEST_F(ServerEndToEnd, DropsTheConnectionAfterTheRequestsAllowed)
{
    StartServer({"--drop-after", "1", "--misbehave-count", "1"});
    TEST_CLIENT first;
    Connect(first);
    ASSERT_TRUE(first.Send(ExampleRequest(1)));
    EXPECT_EQ(first.Receive(RESPONSE_BYTES), ExpectedResponse(1));
    ASSERT_TRUE(first.Send(ExampleRequest(2)));
    EXPECT_TRUE(first.WaitForClose()) << "request 2 is dropped";

    // Only one request misbehaves: a reconnecting client is served again.
    TEST_CLIENT second;
    Connect(second);
    ASSERT_TRUE(second.Send(ExampleRequest(3)));
    EXPECT_EQ(second.Receive(RESPONSE_BYTES), ExpectedResponse(3));
    EXPECT_EQ(Server.RecordLines(3).size(), 3u);
}

TEST_F(ServerEndToEnd, MisbehavesOnlyForTheCountGiven)
{
    StartServer({"--wrong-id", "--misbehave-count", "1", "--delay-ms", "50"});
    TEST_CLIENT client;
    Connect(client);
    ASSERT_TRUE(client.Send(ExampleRequest(40)));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(41));
    ASSERT_TRUE(client.Send(ExampleRequest(42)));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(42));
}

TEST_F(ServerEndToEnd, ClosesAfterAnsweringAndCountsPerConnection)
{
    // The first request of every connection is answered late and its connection closed.
    StartServer({"--close-after-answer", "0", "--per-connection", "--misbehave-count", "1", "--delay-ms", "50"});
    for (uint32_t id = 1; id <= 2; ++id) {
        TEST_CLIENT client;
        Connect(client, id == 2 ? TLS1_2_VERSION : 0);
        ASSERT_TRUE(client.Send(ExampleRequest(id)));
        EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(id));
        EXPECT_TRUE(client.WaitForClose()) << "connection " << id;
    }
}

TEST_F(ServerEndToEnd, ResetsAnIdleConnection)
{
    StartServer({"--reset-idle", "200"});
    TEST_CLIENT client;
    Connect(client);
    ASSERT_TRUE(client.Send(ExampleRequest(1)));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(1));
    EXPECT_TRUE(client.WaitForClose(3000));
}

TEST_F(ServerEndToEnd, ExitsByItselfAfterTheRequestCount)
{
    StartServer({"--count", "2"});
    TEST_CLIENT client;
    Connect(client);
    ASSERT_TRUE(client.Send(ExampleRequest(1)));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(1));
    ASSERT_TRUE(client.Send(ExampleRequest(2)));
    EXPECT_EQ(client.Receive(RESPONSE_BYTES), ExpectedResponse(2));
    EXPECT_EQ(Server.WaitForExit(10000), 0);
    EXPECT_TRUE(client.WaitForClose());
}

TEST_F(ServerEndToEnd, StopsOnSigtermWhileAClientIsConnected)
{
    StartServer({});
    TEST_CLIENT client;
    Connect(client, TLS1_2_VERSION);
    ASSERT_TRUE(client.Send({0x00, 0x22, 0x00}));  // half a request: the connection waits for more
    EXPECT_EQ(Server.Stop(), 0);
}

TEST_F(ServerEndToEnd, RefusesBadArgumentsWithExitCode2)
{
    EXPECT_EQ(Server.RunToEnd({"--plain-port", "x"}), 2);
    EXPECT_TRUE(Contains(Server.StandardError(), "--plain-port needs a whole number from 0 to 65535, not \"x\""));
    EXPECT_EQ(Server.RunToEnd({"--help"}), 0);
    EXPECT_TRUE(Contains(Server.StandardOutput(), "Usage: identity_server [options]"));
}

}  // namespace
}  // namespace qv::identity_server::test
