// Each component event as the identity connection turns it into a log line and flags.
#include <gtest/gtest.h>

#include "identity/identity_protocol.h"
#include "identity/identity_tcp.h"
#include "tests/support/log_capture.h"

namespace qv {
namespace {

constexpr uint32_t TRACE_MODE = 0x2 | 0x400;  // log file and the TCP category

class IdentityTcpTest : public ::testing::Test {
protected:
    size_t Raised(const std::string& names) { return Log.LinesWith("IDENTITY_PROTOCOL::Set events = [" + names + "]").size(); }
    size_t AnyRaised() { return Log.LinesWith("IDENTITY_PROTOCOL::Set events").size(); }

    test::LOG_CAPTURE Log{TRACE_MODE};
    IDENTITY_PROTOCOL Protocol;
    IDENTITY_TCP Plain{Protocol};
    IDENTITY_TCPS Secure{Protocol};
};

TEST_F(IdentityTcpTest, ARefusedConnectionRaisesOnlyError) {
    CONNECTED_EVENT_ARGS refused{10061, "Connection refused"};
    Plain.FireEvent(IPPORT_EVENT_CONNECTED, &refused);
    EXPECT_EQ(Log.LinesWith("IDENTITY_TCP::FireConnected:").size(), 1u);
    EXPECT_EQ(Log.LinesWith("    StatusCode = 10061,").size(), 1u);
    EXPECT_EQ(Raised("Error"), 1u);
    EXPECT_EQ(AnyRaised(), 1u);

    CONNECTED_EVENT_ARGS connected{0, ""};
    Secure.FireEvent(IPPORT_EVENT_CONNECTED, &connected);
    EXPECT_EQ(Log.LinesWith("IDENTITY_TCPS::FireConnected").size(), 1u);
    EXPECT_EQ(Raised("Connected"), 1u);
}

TEST_F(IdentityTcpTest, AConnectionStatusWithoutAProblemSaysNothing) {
    CONNECTION_STATUS_EVENT_ARGS fine{"connected", 0, "fine"};
    Plain.FireEvent(IPPORT_EVENT_CONNECTION_STATUS, &fine);
    EXPECT_TRUE(Log.LinesWith("FireConnectionStatus").empty());
    EXPECT_EQ(AnyRaised(), 0u);
    CONNECTION_STATUS_EVENT_ARGS bad{"failed", 10060, "timed out"};
    Secure.FireEvent(IPPORT_EVENT_CONNECTION_STATUS, &bad);
    EXPECT_EQ(Log.LinesWith("IDENTITY_TCPS::FireConnectionStatus:").size(), 1u);
    EXPECT_EQ(Raised("Error"), 1u);
}

TEST_F(IdentityTcpTest, ErrorsRaiseByKind) {
    ERROR_EVENT_ARGS none{0, "nothing"};
    Plain.FireEvent(IPPORT_EVENT_ERROR, &none);
    EXPECT_EQ(Log.LinesWith("IDENTITY_TCP::FireError:").size(), 1u);
    EXPECT_EQ(Log.LinesWith("    Error code = 0,").size(), 1u);
    EXPECT_EQ(AnyRaised(), 0u);

    ERROR_EVENT_ARGS tls{IPPORT_ERROR_TLS, "handshake failed"};
    Secure.FireEvent(IPPORT_EVENT_ERROR, &tls);
    EXPECT_EQ(Log.LinesWith("    ErrorCode = 280,").size(), 1u);
    EXPECT_EQ(Raised("Certificate error"), 1u);

    ERROR_EVENT_ARGS other{10054, "reset"};
    Secure.FireEvent(IPPORT_EVENT_ERROR, &other);
    EXPECT_EQ(Raised("Error"), 1u);
}

TEST_F(IdentityTcpTest, ADisconnectRaisesErrorAndDisconnectedTogether) {
    Protocol.Disconnected = false;
    DISCONNECTED_EVENT_ARGS gone{0, ""};
    Plain.FireEvent(IPPORT_EVENT_DISCONNECTED, &gone);
    EXPECT_EQ(Raised("Error, Disconnected"), 1u);
    EXPECT_TRUE(Protocol.Disconnected);
}

TEST_F(IdentityTcpTest, AnUntrustedCertificateIsAcceptedWithALine) {
    SSL_SERVER_AUTHENTICATION_EVENT_ARGS untrusted{nullptr, 0, "CN=server", "CN=server", "self-signed", 0, 0, "", nullptr, nullptr, nullptr};
    Secure.FireEvent(IPPORT_EVENT_SSL_SERVER_AUTHENTICATION, &untrusted);
    EXPECT_EQ(untrusted.Accept, 1);
    EXPECT_EQ(Log.LinesWith("Accepting non-recommended connection").size(), 1u);

    SSL_SERVER_AUTHENTICATION_EVENT_ARGS trusted{nullptr, 0, "CN=server", "CN=ca", "OK", 1, 0, "", nullptr, nullptr, nullptr};
    Secure.FireEvent(IPPORT_EVENT_SSL_SERVER_AUTHENTICATION, &trusted);
    EXPECT_EQ(trusted.Accept, 1);
    EXPECT_EQ(Log.LinesWith("Accepting non-recommended connection").size(), 1u);
    EXPECT_EQ(Log.LinesWith("    Accept = 1").size(), 1u);

    // The plain component has no TLS events: the number is ignored.
    EXPECT_EQ(Plain.FireEvent(IPPORT_EVENT_SSL_SERVER_AUTHENTICATION, &untrusted), 0);
}

}  // namespace
}  // namespace qv
