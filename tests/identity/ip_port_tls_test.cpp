// The TLS client component against a real OpenSSL server with certificates made for each test:
// what the server-authentication event shows, what its verdict decides, and data over TLS.
// POSIX only: the Windows build has no OpenSSL to play the server, and its TLS engine is
// exercised against servers of its own.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "identity/ip_port.h"
#include "platform/thread.h"
#include "tests/identity/loopback_socket.h"
#include "tests/identity/recording_port.h"
#include "tests/identity/tls_test_server.h"

namespace qv {
namespace {

using test::MakeIdentity;
using test::PumpUntil;
using test::TEST_IDENTITY;
using test::TLS_ECHO_SERVER;

class TLS_PORT : public test::RECORDING_PORT<IPPortS> {
public:
    int AcceptAnswer = -1;  // what the event sets Accept to; -1 leaves the preset alone
    int AcceptPreset = -1;
    std::string Subject;
    std::string Issuer;
    std::string Status;
    std::string Certificate;
    std::string SslStatus;

    int FireSSLServerAuthentication(SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args) override {
        Events.push_back("SSLServerAuthentication");
        AcceptPreset = args.Accept;
        Subject = args.CertSubject;
        Issuer = args.CertIssuer;
        Status = args.Status;
        Certificate.assign(reinterpret_cast<const char*>(args.CertEncoded), static_cast<size_t>(args.CertEncodedLength));
        if (AcceptAnswer >= 0) args.Accept = AcceptAnswer;
        return 0;
    }
    int FireSSLStatus(SSL_STATUS_EVENT_ARGS& args) override {
        Events.push_back("SSLStatus");
        SslStatus = args.Message;
        return 0;
    }
};

// Points the default certificate locations at one file for as long as it lives.
class TRUSTED_CERTIFICATE_FILE {
public:
    explicit TRUSTED_CERTIFICATE_FILE(const TEST_IDENTITY& authority) {
        Path = (std::filesystem::temp_directory_path() / ("qv_test_ca_" + std::to_string(CurrentProcessId()) + ".pem"))
                   .string();
        Written = authority.WritePem(Path);
        const char* previous = std::getenv("SSL_CERT_FILE");
        HadPrevious = previous != nullptr;
        if (HadPrevious) Previous = previous;
        setenv("SSL_CERT_FILE", Path.c_str(), 1);
    }
    TRUSTED_CERTIFICATE_FILE(const TRUSTED_CERTIFICATE_FILE&) = delete;
    TRUSTED_CERTIFICATE_FILE& operator=(const TRUSTED_CERTIFICATE_FILE&) = delete;
    ~TRUSTED_CERTIFICATE_FILE() {
        if (HadPrevious) {
            setenv("SSL_CERT_FILE", Previous.c_str(), 1);
        } else {
            unsetenv("SSL_CERT_FILE");
        }
        std::remove(Path.c_str());
    }
    bool Written = false;

private:
    std::string Path;
    std::string Previous;
    bool HadPrevious = false;
};

bool Handshake(TLS_PORT& port, uint16_t serverPort) {
    port.SetTimeout(10);
    port.Connect("127.0.0.1", serverPort);
    return PumpUntil(port, [&] { return port.AttemptEnded(); });
}

TEST(IpPortTls, SelfSignedCertificateIsShownUntrustedAndRefusedWhenLeftSo) {
    const TEST_IDENTITY server = MakeIdentity("identity.test", nullptr, false, "IP:127.0.0.1");
    TLS_ECHO_SERVER echo(server);
    TLS_PORT port;
    ASSERT_TRUE(Handshake(port, echo.Port()));
    EXPECT_EQ(port.Events, (std::vector<std::string>{"SSLStatus", "SSLServerAuthentication", "Error 280", "Connected 280"}));
    EXPECT_EQ(port.AcceptPreset, 0);
    EXPECT_EQ(port.Subject, "CN=identity.test,O=Quorvane Tests");
    EXPECT_EQ(port.Issuer, port.Subject);
    EXPECT_EQ(port.Certificate, server.Der());
    EXPECT_NE(port.Status.find("self-signed"), std::string::npos) << port.Status;
    EXPECT_NE(port.SslStatus.find("TLSv1."), std::string::npos) << port.SslStatus;
    EXPECT_FALSE(port.Connected());
    EXPECT_NE(std::string(port.LastErrorText()).find("not accepted"), std::string::npos);
}

TEST(IpPortTls, AcceptedCertificateConnectsEchoesAndClosesInOrder) {
    const TEST_IDENTITY server = MakeIdentity("identity.test", nullptr, false, "IP:127.0.0.1");
    TLS_ECHO_SERVER echo(server);
    TLS_PORT port;
    port.AcceptAnswer = 1;
    ASSERT_TRUE(Handshake(port, echo.Port()));
    ASSERT_TRUE(PumpUntil(port, [&] { return port.Saw("ReadyToSend"); }));
    EXPECT_EQ(port.Events, (std::vector<std::string>{"SSLStatus", "SSLServerAuthentication", "Connected 0", "ReadyToSend"}));
    EXPECT_TRUE(port.Connected());

    const std::string first = "first request";
    const std::string second(100000, 'z');  // several TLS records
    ASSERT_EQ(port.Send(reinterpret_cast<const uint8_t*>(first.data()), static_cast<uint32_t>(first.size())), 0);
    ASSERT_EQ(port.Send(reinterpret_cast<const uint8_t*>(second.data()), static_cast<uint32_t>(second.size())), 0);
    ASSERT_TRUE(PumpUntil(port, [&] { return port.Received.size() >= first.size() + second.size(); }));
    EXPECT_TRUE(port.Received == first + second);

    EXPECT_EQ(port.Disconnect(), 0);
    EXPECT_TRUE(port.Saw("Disconnected 0"));
    echo.Join();
    EXPECT_TRUE(echo.SawCloseNotify);
}

// Handshakes with a server whose certificate for 'subjectAltName' comes from an authority
// that the default certificate locations trust.
void HandshakeUnderTrustedAuthority(TLS_PORT& port, const char* subjectAltName) {
    const TEST_IDENTITY authority = MakeIdentity("Quorvane Test Authority", nullptr, true, nullptr);
    const TEST_IDENTITY server = MakeIdentity("identity.test", &authority, false, subjectAltName);
    TRUSTED_CERTIFICATE_FILE trusted(authority);
    ASSERT_TRUE(trusted.Written);
    TLS_ECHO_SERVER echo(server);
    ASSERT_TRUE(Handshake(port, echo.Port()));
    port.Disconnect();
}

TEST(IpPortTls, CertificateFromATrustedAuthorityMatchingTheAddressIsPresetAccepted) {
    TLS_PORT port;
    HandshakeUnderTrustedAuthority(port, "IP:127.0.0.1");
    EXPECT_EQ(port.AcceptPreset, 1) << port.Status;
    EXPECT_EQ(port.Issuer, "CN=Quorvane Test Authority,O=Quorvane Tests");
    EXPECT_TRUE(port.Saw("Connected 0"));
    EXPECT_FALSE(port.Saw("Error 280"));
}

TEST(IpPortTls, TrustedCertificateForAnotherNameIsPresetRefused) {
    TLS_PORT port;
    HandshakeUnderTrustedAuthority(port, "DNS:identity.test");
    EXPECT_EQ(port.AcceptPreset, 0);
    EXPECT_NE(port.Status.find("host name"), std::string::npos) << port.Status;
    EXPECT_EQ(port.Status.find("not trusted"), std::string::npos) << port.Status;
    EXPECT_TRUE(port.Saw("Error 280"));
    EXPECT_FALSE(port.Saw("Connected 0"));
}

TEST(IpPortTls, ServerThatClosesDuringTheHandshakeFailsAtOnce) {
    test::LOOPBACK_LISTENER listener;
    TLS_PORT port;
    port.SetTimeout(30);
    port.Connect("127.0.0.1", listener.Port());
    test::TEST_SOCKET peer = listener.Accept(5000);
    ASSERT_TRUE(peer.IsOpen());
    // The client's first flight goes out once a pump sees the connection made.
    ASSERT_TRUE(PumpUntil(port, [&] { return peer.WaitReadable(0); }, 5000));
    peer.Close();
    ASSERT_TRUE(PumpUntil(port, [&] { return port.AttemptEnded(); }, 5000));
    EXPECT_EQ(port.Events, (std::vector<std::string>{"Error 280", "Connected 280"}));
}

}  // namespace
}  // namespace qv

#endif  // !_WIN32
