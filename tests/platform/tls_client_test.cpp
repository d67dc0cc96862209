// The TLS client session against a real TLS server on loopback, through the session interface
// alone, with the bytes carried over a plain socket written here. The server is `openssl
// s_server -rev` with a self-signed certificate for CN=localhost (tests/e2e/tls_test_peer.sh,
// started by a CTest fixture); QV_TLS_TEST_PEER names it as "127.x.y.z:port". Without it the
// cases that need the server are skipped.
#include "platform/tls_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/string.h"
#include "platform/error_text.h"

#if defined(_WIN32)
#include "platform/win32/win32.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace qv {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint32_t TLS_1_1_AND_1_2 = TLS_PROTOCOL_TLS1_1 | TLS_PROTOCOL_TLS1_2;  // 3840
constexpr milliseconds PEER_TIMEOUT{15000};

struct PEER_ADDRESS {
    uint32_t Address = 0;  // host order
    uint16_t Port = 0;
};

// "127.x.y.z:port" from the environment; false when unset or not a loopback address.
bool TestPeer(PEER_ADDRESS& peer) {
    const char* text = std::getenv("QV_TLS_TEST_PEER");
    if (text == nullptr) return false;
    unsigned a = 0, b = 0, c = 0, d = 0, port = 0;
    char tail = 0;
    if (std::sscanf(text, "%u.%u.%u.%u:%u%c", &a, &b, &c, &d, &port, &tail) != 5) return false;
    if (a != 127 || b > 255 || c > 255 || d > 255 || port == 0 || port > 65535) return false;
    peer.Address = (a << 24) | (b << 16) | (c << 8) | d;
    peer.Port = static_cast<uint16_t>(port);
    return true;
}

// A blocking TCP socket to the test server, with a time limit on every wait for bytes.
class LOOPBACK_SOCKET {
public:
#if defined(_WIN32)
    using NATIVE = SOCKET;
    static constexpr NATIVE NONE = INVALID_SOCKET;
#else
    using NATIVE = int;
    static constexpr NATIVE NONE = -1;
#endif

    LOOPBACK_SOCKET() = default;
    LOOPBACK_SOCKET(const LOOPBACK_SOCKET&) = delete;
    LOOPBACK_SOCKET& operator=(const LOOPBACK_SOCKET&) = delete;
    ~LOOPBACK_SOCKET() {
        if (Socket == NONE) return;
#if defined(_WIN32)
        closesocket(Socket);
#else
        close(Socket);
#endif
    }

    bool Connect(const PEER_ADDRESS& peer) {
        Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (Socket == NONE) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(peer.Address);
        address.sin_port = htons(peer.Port);
        return connect(Socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }

    bool SendAll(std::vector<uint8_t>& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 65536));
            const auto result = send(Socket, reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
            if (result <= 0) return false;
            sent += static_cast<size_t>(result);
        }
        bytes.clear();
        return true;
    }

    // Whatever arrives within the time limit; empty on time-out, end of stream or error.
    std::vector<uint8_t> ReceiveSome(milliseconds timeout) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(Socket, &readable);
        timeval limit{};
        limit.tv_sec = static_cast<long>(timeout.count() / 1000);
        limit.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
        if (select(static_cast<int>(Socket + 1), &readable, nullptr, nullptr, &limit) <= 0) return {};
        std::vector<uint8_t> bytes(16384);
        const auto received = recv(Socket, reinterpret_cast<char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
        if (received <= 0) return {};
        bytes.resize(static_cast<size_t>(received));
        return bytes;
    }

private:
    NATIVE Socket = NONE;
};

// A session driven over the socket: everything the session asks to send is sent at once.
class TLS_CONNECTION {
public:
    explicit TLS_CONNECTION(bool oneByteAtATime) : OneByteAtATime(oneByteAtATime) {}

    bool Open(const PEER_ADDRESS& peer, const char* hostName, const std::string& caFile = std::string()) {
        Session = CreateTlsClientSession(TLS_1_1_AND_1_2, Failure, caFile);
        if (Session == nullptr || !Socket.Connect(peer)) return false;
        std::vector<uint8_t> toSend;
        State = Session->Start(hostName, toSend);
        if (toSend.empty() || !Socket.SendAll(toSend)) return false;
        while (State == TLS_STATE::Handshaking) {
            if (!ReceiveOnce()) break;
        }
        return State == TLS_STATE::Established;
    }

    bool Send(const std::string& text) {
        std::vector<uint8_t> toSend;
        if (!Session->Encrypt(reinterpret_cast<const uint8_t*>(text.data()), text.size(), toSend)) return false;
        return Socket.SendAll(toSend);
    }

    // Reads until 'count' bytes of plain text have come, the session closes or fails, or the
    // server falls silent. A renegotiation on the way is carried through.
    std::string ReadPlain(size_t count) {
        while (Plain.size() < count && (State == TLS_STATE::Established || State == TLS_STATE::Handshaking)) {
            if (!ReceiveOnce()) break;
        }
        return std::string(Plain.begin(), Plain.end());
    }

    // Reads until the session leaves Established or the server falls silent.
    TLS_STATE ReadToEnd() {
        while (State == TLS_STATE::Established) {
            if (!ReceiveOnce()) break;
        }
        return State;
    }

    bool ShutDown() {
        std::vector<uint8_t> toSend;
        Session->Shutdown(toSend);
        return !toSend.empty() && Socket.SendAll(toSend);
    }

    TLS_CLIENT_SESSION& Tls() { return *Session; }
    TLS_STATE CurrentState() const { return State; }

private:
    std::string Failure;
    bool ReceiveOnce() {
        std::vector<uint8_t> received = Socket.ReceiveSome(PEER_TIMEOUT);
        if (received.empty()) return false;
        std::vector<uint8_t> toSend;
        if (OneByteAtATime) {
            for (uint8_t byte : received) {
                State = Session->Receive(&byte, 1, toSend, Plain);
                if (!toSend.empty() && !Socket.SendAll(toSend)) return false;
            }
        } else {
            State = Session->Receive(received.data(), received.size(), toSend, Plain);
        }
        return Socket.SendAll(toSend);
    }

    bool OneByteAtATime;
    std::unique_ptr<TLS_CLIENT_SESSION> Session;
    LOOPBACK_SOCKET Socket;
    TLS_STATE State = TLS_STATE::Failed;
    std::vector<uint8_t> Plain;
};

// What the reverse-echo server answers to one line.
std::string Reversed(const std::string& line) { return std::string(line.rbegin(), line.rend()); }

class TlsClientSessionTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
#if defined(_WIN32)
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
#endif
    }
    static void TearDownTestSuite() {
#if defined(_WIN32)
        WSACleanup();
#endif
    }

    void SetUp() override {
        if (!TestPeer(Peer)) {
            GTEST_SKIP() << "QV_TLS_TEST_PEER is not set (tests/e2e/tls_test_peer.sh)";
        }
    }

    PEER_ADDRESS Peer;
};

TEST_F(TlsClientSessionTest, HandshakeDeliversTheSelfSignedCertificateAsUntrusted) {
    TLS_CONNECTION connection(false);
    ASSERT_TRUE(connection.Open(Peer, "localhost")) << connection.Tls().ErrorText();

    EXPECT_STREQ(connection.Tls().ProtocolName(), "TLSv1.2");
    const TLS_SERVER_CERTIFICATE& certificate = connection.Tls().ServerCertificate();
    ASSERT_FALSE(certificate.Encoded.empty());
    EXPECT_EQ(certificate.Encoded[0], 0x30) << "DER starts with a SEQUENCE";
    // Each platform renders names its own way ("CN=localhost", "CN = localhost").
    EXPECT_NE(certificate.Subject.find("localhost"), std::string::npos) << certificate.Subject;
#if defined(_WIN32)
    EXPECT_EQ(certificate.Subject, "CN=localhost");
#endif
    EXPECT_EQ(certificate.Issuer, certificate.Subject) << "self-signed";
    EXPECT_FALSE(certificate.Trusted);
    EXPECT_FALSE(certificate.Status.empty());
#if defined(_WIN32)
    // The name matches, so what is wrong is the unknown root (CERT_E_UNTRUSTEDROOT), in the
    // system's words.
    const STRING_A untrustedRoot(GetErrorText(0x800B0109u));
    if (untrustedRoot.IsEmpty()) {  // Wine has no text for it
        EXPECT_NE(certificate.Status.find("0x800B0109"), std::string::npos) << certificate.Status;
    } else {
        EXPECT_EQ(certificate.Status, untrustedRoot.Text());
    }
#endif
}

// The peer's certificate file (QV_TLS_TEST_PEER_CERT, a POSIX path: under Wine through Z:).
std::string PeerCertificateFile() {
    const char* path = std::getenv("QV_TLS_TEST_PEER_CERT");
    if (path == nullptr) return std::string();
#if defined(_WIN32)
    std::string windowsPath = std::string("Z:") + path;
    std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
    return windowsPath;
#else
    return path;
#endif
}

TEST_F(TlsClientSessionTest, ProblemsAreJudgedAgainstTheCaFileByChainAndName) {
    const std::string caFile = PeerCertificateFile();
    if (caFile.empty()) GTEST_SKIP() << "QV_TLS_TEST_PEER_CERT is not set";
    {
        TLS_CONNECTION connection(false);
        ASSERT_TRUE(connection.Open(Peer, "localhost", caFile)) << connection.Tls().ErrorText();
        const TLS_SERVER_CERTIFICATE& certificate = connection.Tls().ServerCertificate();
        EXPECT_EQ(certificate.Problems, 0u) << certificate.ProblemText << " / " << certificate.Status;
        EXPECT_TRUE(certificate.Trusted) << certificate.Status;
        EXPECT_TRUE(certificate.HaveFingerprints);
        EXPECT_NE(certificate.CertificateSha256, certificate.PublicKeySha256);
    }
    {
        // A host name the certificate does not carry.
        TLS_CONNECTION connection(false);
        ASSERT_TRUE(connection.Open(Peer, "elsewhere.test", caFile)) << connection.Tls().ErrorText();
        EXPECT_EQ(connection.Tls().ServerCertificate().Problems, TLS_PROBLEM_NAME_MISMATCH)
            << connection.Tls().ServerCertificate().ProblemText;
        EXPECT_FALSE(connection.Tls().ServerCertificate().Trusted);
    }
    {
        // Without the CA file it chains to nothing the system trusts.
        TLS_CONNECTION connection(false);
        ASSERT_TRUE(connection.Open(Peer, "localhost")) << connection.Tls().ErrorText();
        EXPECT_EQ(connection.Tls().ServerCertificate().Problems, TLS_PROBLEM_UNTRUSTED)
            << connection.Tls().ServerCertificate().ProblemText;
    }
    std::string failure;
    EXPECT_EQ(CreateTlsClientSession(TLS_1_1_AND_1_2, failure, caFile + ".missing"), nullptr);
    EXPECT_EQ(failure.rfind("The CA file \"" + caFile + ".missing\" cannot be used: ", 0), 0u) << failure;
}

TEST_F(TlsClientSessionTest, EchoRoundTripAcrossManyRecords) {
    TLS_CONNECTION connection(false);
    ASSERT_TRUE(connection.Open(Peer, "localhost")) << connection.Tls().ErrorText();

    // More than one TLS record's worth (16 KiB) in one call, so the text is split on the way
    // out and arrives back in several records.
    std::string lines, expected;
    for (int number = 0; number < 3000; ++number) {
        const std::string line = "line " + std::to_string(number) + " of the echo test";
        lines += line + "\n";
        expected += Reversed(line) + "\n";
    }
    ASSERT_TRUE(connection.Send(lines)) << connection.Tls().ErrorText();
    EXPECT_EQ(connection.ReadPlain(expected.size()), expected);
    EXPECT_EQ(connection.CurrentState(), TLS_STATE::Established) << connection.Tls().ErrorText();
}

TEST_F(TlsClientSessionTest, BytesFedOneAtATime) {
    TLS_CONNECTION connection(true);
    ASSERT_TRUE(connection.Open(Peer, "localhost")) << connection.Tls().ErrorText();
    EXPECT_NE(connection.Tls().ServerCertificate().Subject.find("localhost"), std::string::npos);

    ASSERT_TRUE(connection.Send("one byte at a time\n"));
    EXPECT_EQ(connection.ReadPlain(19), Reversed("one byte at a time") + "\n");
}

TEST_F(TlsClientSessionTest, ServerCloseNotifyClosesTheSession) {
    TLS_CONNECTION connection(false);
    ASSERT_TRUE(connection.Open(Peer, "localhost")) << connection.Tls().ErrorText();

    ASSERT_TRUE(connection.Send("CLOSE\n"));
    EXPECT_EQ(connection.ReadToEnd(), TLS_STATE::Closed) << connection.Tls().ErrorText();
}

TEST_F(TlsClientSessionTest, ClientShutdownSendsCloseNotifyAndStopsEncrypting) {
    TLS_CONNECTION connection(false);
    ASSERT_TRUE(connection.Open(Peer, "localhost")) << connection.Tls().ErrorText();

    ASSERT_TRUE(connection.ShutDown()) << connection.Tls().ErrorText();
    // The server answers our close_notify with its own.
    EXPECT_EQ(connection.ReadToEnd(), TLS_STATE::Closed) << connection.Tls().ErrorText();
    std::vector<uint8_t> toSend;
    const uint8_t byte = 'x';
    EXPECT_FALSE(connection.Tls().Encrypt(&byte, 1, toSend));
    EXPECT_TRUE(toSend.empty());
}

// No server needed: a server that refuses the ClientHello with a fatal alert fails the
// handshake, and the session says which call failed.
TEST(TlsClientSessionRefusalTest, FatalAlertFailsTheHandshakeWithAReason) {
    std::string failure;
    std::unique_ptr<TLS_CLIENT_SESSION> session = CreateTlsClientSession(TLS_1_1_AND_1_2, failure);
    ASSERT_NE(session, nullptr);
    std::vector<uint8_t> toSend, plain;
    ASSERT_EQ(session->Start("localhost", toSend), TLS_STATE::Handshaking) << session->ErrorText();
    EXPECT_FALSE(toSend.empty()) << "the ClientHello";
    EXPECT_EQ(toSend[0], 0x16) << "a handshake record";

    toSend.clear();
    const uint8_t handshakeFailure[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28};  // fatal alert 40
    EXPECT_EQ(session->Receive(handshakeFailure, sizeof(handshakeFailure), toSend, plain), TLS_STATE::Failed);
    EXPECT_TRUE(plain.empty());
    EXPECT_STRNE(session->ErrorText(), "");
#if defined(_WIN32)
    EXPECT_EQ(std::string(session->ErrorText()).rfind("InitializeSecurityContextW failed with 0x", 0), 0u)
        << session->ErrorText();
#endif
    // A failed session stays failed and takes nothing more.
    EXPECT_EQ(session->Receive(handshakeFailure, 1, toSend, plain), TLS_STATE::Failed);
    const uint8_t byte = 'x';
    EXPECT_FALSE(session->Encrypt(&byte, 1, toSend));
}

}  // namespace
}  // namespace qv
