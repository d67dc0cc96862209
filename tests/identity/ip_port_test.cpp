// The TCP client component against real loopback peers: connecting, refusals, data in both
// directions, closes from either side, and the activity handle a waiter relies on.
#include "identity/ip_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/string.h"
#include "platform/error_text.h"
#include "tests/identity/loopback_socket.h"
#include "tests/identity/recording_port.h"

namespace qv {
namespace {

using test::LOOPBACK_LISTENER;
using test::PumpUntil;
using test::TEST_SOCKET;
using PLAIN_PORT = test::RECORDING_PORT<IPPort>;

constexpr uint32_t PEER_WAIT_MS = 5000;

std::string ErrorTextOf(uint32_t code) { return STRING_A(GetErrorText(code)).Text(); }

// A port number on which nothing listens: one the system just gave out and took back.
uint16_t ClosedPort() {
    LOOPBACK_LISTENER listener;
    return listener.Port();
}

struct CONNECTED_PAIR {
    LOOPBACK_LISTENER Listener;
    TEST_SOCKET Peer;
};

// Connects 'port' to a fresh listener and returns the server's end of the connection.
bool ConnectPair(PLAIN_PORT& port, CONNECTED_PAIR& pair) {
    if (!pair.Listener.IsListening()) return false;
    if (port.Connect("127.0.0.1", pair.Listener.Port()) != 0) return false;
    pair.Peer = pair.Listener.Accept(PEER_WAIT_MS);
    return pair.Peer.IsOpen() && PumpUntil(port, [&] { return port.Saw("ReadyToSend"); });
}

TEST(IpPortConnect, ReportsConnectedThenReadyToSend) {
    PLAIN_PORT port;
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    EXPECT_EQ(port.Events, (std::vector<std::string>{"Connected 0", "ReadyToSend"}));
    EXPECT_TRUE(port.Connected());
}

TEST(IpPortConnect, RefusedConnectionIsReportedWithTheSystemText) {
    PLAIN_PORT port;
    port.SetTimeout(5);
    port.Connect("127.0.0.1", ClosedPort());
    ASSERT_TRUE(PumpUntil(port, [&] { return port.AttemptEnded(); }));
    EXPECT_EQ(port.Events, (std::vector<std::string>{"Connected 10061"}));
    EXPECT_EQ(port.Description, ErrorTextOf(10061));
    EXPECT_STREQ(port.LastErrorText(), ErrorTextOf(10061).c_str());
    EXPECT_FALSE(port.Connected());
}

TEST(IpPortConnect, InvalidTargetsAreReportedAsEventsToo) {
    PLAIN_PORT port;
    EXPECT_NE(port.Connect("", 1306), 0);
    EXPECT_NE(port.Connect("127.0.0.1", 0), 0);
    EXPECT_NE(port.Connect("127.0.0.1", 70000), 0);
    // Each attempt replaces the report of the one before, so one report is left to deliver.
    ASSERT_TRUE(PumpUntil(port, [&] { return port.AttemptEnded(); }));
    ASSERT_EQ(port.Events.size(), 1u);
    EXPECT_NE(port.Events[0], "Connected 0");
}

TEST(IpPortConnect, EventsArriveOnlyInsideTheComponentsCalls) {
    PLAIN_PORT port;
    port.Connect("127.0.0.1", ClosedPort());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(port.Events.empty());
    // The activity handle says a pump has work, and stays so until one has run.
    EXPECT_EQ(WaitForOne(port.ActivityHandle(), PEER_WAIT_MS), 0u);
    EXPECT_EQ(WaitForOne(port.ActivityHandle(), 0), 0u);
    ASSERT_TRUE(PumpUntil(port, [&] { return port.AttemptEnded(); }));
}

TEST(IpPortConnect, NewAttemptAfterAFailureConnects) {
    PLAIN_PORT port;
    port.Connect("127.0.0.1", ClosedPort());
    ASSERT_TRUE(PumpUntil(port, [&] { return port.AttemptEnded(); }));
    port.Events.clear();
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    EXPECT_EQ(port.Events, (std::vector<std::string>{"Connected 0", "ReadyToSend"}));
}

TEST(IpPortData, EchoArrivesInOrderAlsoWhenItComesInPieces) {
    PLAIN_PORT port;
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    const std::string request = "request of fourteen bytes or so";
    ASSERT_EQ(port.Send(reinterpret_cast<const uint8_t*>(request.data()), static_cast<uint32_t>(request.size())), 0);
    const std::string seen = pair.Peer.ReceiveExactly(request.size(), PEER_WAIT_MS);
    ASSERT_EQ(seen, request);

    std::thread answer([&] {
        for (char c : seen) {
            pair.Peer.SendAll(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    const bool complete = PumpUntil(port, [&] { return port.Received.size() >= request.size(); });
    answer.join();
    ASSERT_TRUE(complete);
    EXPECT_EQ(port.Received, request);
    EXPECT_GT(port.DataInCalls, 1);
}

TEST(IpPortData, LargeSendIsQueuedAndFlushedAsThePeerReads) {
    PLAIN_PORT port;
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    // Far more than the socket buffers hold, so most of it waits in the component.
    std::string block(8 * 1024 * 1024, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 23);
    ASSERT_EQ(port.Send(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size())), 0);

    std::string seen;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        seen = pair.Peer.ReceiveExactly(block.size(), PEER_WAIT_MS);
        done = true;
    });
    PumpUntil(port, [&] { return done.load(); }, 60000);
    reader.join();
    EXPECT_EQ(seen.size(), block.size());
    EXPECT_TRUE(seen == block);
}

TEST(IpPortData, SendWithoutConnectionFails) {
    PLAIN_PORT port;
    const uint8_t byte = 1;
    EXPECT_NE(port.Send(&byte, 1), 0);
    EXPECT_STRNE(port.LastErrorText(), "");
}

TEST(IpPortClose, PeerCloseDeliversTheLastDataThenDisconnected) {
    PLAIN_PORT port;
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    pair.Peer.SendAll("bye");
    pair.Peer.Close();
    ASSERT_TRUE(PumpUntil(port, [&] { return port.Saw("Disconnected 0"); }));
    EXPECT_EQ(port.Received, "bye");
    EXPECT_EQ(port.Events, (std::vector<std::string>{"Connected 0", "ReadyToSend", "DataIn", "Disconnected 0"}));
    EXPECT_FALSE(port.Connected());
    const uint8_t byte = 1;
    EXPECT_NE(port.Send(&byte, 1), 0);
}

TEST(IpPortClose, DisconnectClosesAndReportsOnce) {
    PLAIN_PORT port;
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    EXPECT_EQ(port.Disconnect(), 0);
    EXPECT_TRUE(port.Saw("Disconnected 0"));
    EXPECT_FALSE(port.Connected());
    std::string rest;
    EXPECT_EQ(pair.Peer.ReceiveSome(rest, PEER_WAIT_MS), 0);  // the peer sees the close

    const size_t count = port.Events.size();
    EXPECT_EQ(port.Disconnect(), 0);  // nothing was open: nothing to report
    port.PumpEvents();
    EXPECT_EQ(port.Events.size(), count);
}

TEST(IpPortActivity, IdleConnectionLeavesTheHandleQuietUntilDataComes) {
    PLAIN_PORT port;
    CONNECTED_PAIR pair;
    ASSERT_TRUE(ConnectPair(port, pair));
    port.PumpEvents();
    EXPECT_EQ(WaitForOne(port.ActivityHandle(), 50), WAIT_TIMED_OUT);
    pair.Peer.SendAll("x");
    EXPECT_EQ(WaitForOne(port.ActivityHandle(), PEER_WAIT_MS), 0u);
    // Level-triggered: a wait does not consume it, only the pump's work does.
    EXPECT_EQ(WaitForOne(port.ActivityHandle(), 0), 0u);
    port.PumpEvents();
    EXPECT_EQ(port.Received, "x");
    EXPECT_EQ(WaitForOne(port.ActivityHandle(), 50), WAIT_TIMED_OUT);
}

TEST(IpPortTimeout, UnansweredTlsHandshakeEndsWithinTheTimeout) {
    // The peer accepts the connection and then says nothing.
    LOOPBACK_LISTENER listener;
    test::RECORDING_PORT<IPPortS> port;
    port.SetTimeout(1);
    port.Connect("127.0.0.1", listener.Port());
    TEST_SOCKET silent = listener.Accept(PEER_WAIT_MS);
    ASSERT_TRUE(silent.IsOpen());
    // Waits on the activity handle alone, with no polling slice: the handle itself must wake
    // the waiter when the time is up.
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 10 && !port.AttemptEnded(); ++round) {
        WaitForOne(port.ActivityHandle(), 10000);
        port.PumpEvents();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(port.Saw("Connected 280"));
    EXPECT_TRUE(port.Saw("Error 280"));
    EXPECT_FALSE(port.Saw("Connected 0"));
    EXPECT_FALSE(port.Connected());
}

// --- event dispatch -----------------------------------------------------------------------------

class DISPATCH_PORT : public test::RECORDING_PORT<IPPortS> {
public:
    std::vector<int32_t> Extensions;
    int FireExtension(int32_t event, void*) override {
        Extensions.push_back(event);
        return 7;
    }
    int FireSSLStatus(SSL_STATUS_EVENT_ARGS& args) override {
        Events.push_back(std::string("SSLStatus ") + args.Message);
        return 0;
    }
};

TEST(IpPortDispatch, NumbersSelectTheEventAndUnknownOnesAreIgnored) {
    DISPATCH_PORT port;
    CONNECTED_EVENT_ARGS connected{0, ""};
    ERROR_EVENT_ARGS error{280, "certificate"};
    SSL_STATUS_EVENT_ARGS status{"TLSv1.2"};
    EXPECT_EQ(port.FireEvent(IPPORT_EVENT_CONNECTED, &connected), 0);
    EXPECT_EQ(port.FireEvent(IPPORT_EVENT_ERROR, &error), 0);
    EXPECT_EQ(port.FireEvent(IPPORT_EVENT_SSL_STATUS, &status), 0);
    EXPECT_EQ(port.FireEvent(9, &status), 0);
    EXPECT_EQ(port.FireEvent(0, &status), 0);
    EXPECT_EQ(port.FireEvent(-3, &status), 0);
    EXPECT_EQ(port.FireEvent(10000, &status), 0);
    EXPECT_EQ(port.FireEvent(10003, &status), 7);
    EXPECT_EQ(port.Events, (std::vector<std::string>{"Connected 0", "Error 280", "SSLStatus TLSv1.2"}));
    EXPECT_EQ(port.Extensions, (std::vector<int32_t>{3}));

    // The plain class knows no TLS events.
    PLAIN_PORT plain;
    EXPECT_EQ(plain.FireEvent(IPPORT_EVENT_SSL_STATUS, &status), 0);
    EXPECT_EQ(plain.FireEvent(IPPORT_EVENT_SSL_SERVER_AUTHENTICATION, &status), 0);
    EXPECT_TRUE(plain.Events.empty());
}

TEST(IpPortConfig, KnowsTheProtocolSettingAndRefusesOthers) {
    IPPortS port;
    EXPECT_EQ(port.Config("SSLEnabledProtocols=3840"), 0);
    EXPECT_EQ(port.Config("sslenabledprotocols=0x0C00"), 0);
    EXPECT_NE(port.Config("SSLEnabledProtocols=many"), 0);
    EXPECT_NE(port.Config("SSLEnabledProtocols="), 0);
    EXPECT_NE(port.Config("KeepAlive=1"), 0);
    EXPECT_NE(std::string(port.LastErrorText()).find("KeepAlive"), std::string::npos);
    EXPECT_NE(port.Config("SSLEnabledProtocols"), 0);
    EXPECT_NE(port.SetTimeout(-1), 0);
    EXPECT_EQ(port.SetTimeout(20), 0);
    EXPECT_EQ(port.Timeout(), 20);
}

}  // namespace
}  // namespace qv
