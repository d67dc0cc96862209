// One client-side TLS session over a byte stream that the caller carries: bytes received from
// the peer go in, bytes to send to the peer and decrypted application data come out. The
// session never touches a socket. On Windows it is Schannel through SSPI; on POSIX OpenSSL
// with memory BIOs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv {

// Protocol bits as Schannel numbers them (SP_PROT_*): client and server bits of each version.
constexpr uint32_t TLS_PROTOCOL_TLS1_0 = 0x00C0;
constexpr uint32_t TLS_PROTOCOL_TLS1_1 = 0x0300;
constexpr uint32_t TLS_PROTOCOL_TLS1_2 = 0x0C00;
constexpr uint32_t TLS_PROTOCOL_TLS1_3 = 0x3000;

enum class TLS_STATE {
    Handshaking,  // more bytes from the peer are needed
    Established,  // handshake done; application data flows
    Closed,       // the peer sent close_notify
    Failed,       // negotiation failed; ErrorText says why
};

// What the verification found wrong with a certificate, the same on every platform.
constexpr uint32_t TLS_PROBLEM_UNTRUSTED = 0x01;      // no chain to a trusted root (or to the CA file)
constexpr uint32_t TLS_PROBLEM_EXPIRED = 0x02;        // past the end of its validity (or its chain's)
constexpr uint32_t TLS_PROBLEM_NOT_YET_VALID = 0x04;  // before the start of its validity
constexpr uint32_t TLS_PROBLEM_NAME_MISMATCH = 0x08;  // it does not name the host connected to
constexpr uint32_t TLS_PROBLEM_OTHER = 0x10;          // anything else; ProblemText says what
constexpr uint32_t TLS_PROBLEM_NO_CERTIFICATE = 0x20;

using SHA256_DIGEST = std::array<uint8_t, 32>;

struct TLS_SERVER_CERTIFICATE {
    std::vector<uint8_t> Encoded;  // DER
    std::string Subject;           // UTF-8, as the platform renders distinguished names
    std::string Issuer;
    std::string Status;            // the verification result in words
    bool Trusted = false;          // chain and host name verified
    // The verification again, as TLS_PROBLEM_* flags (0: none found), against the CA file
    // when the session was given one (which then also decides Status and Trusted).
    uint32_t Problems = TLS_PROBLEM_NO_CERTIFICATE;
    std::string ProblemText;       // the platform's words for TLS_PROBLEM_OTHER
    // SHA-256 of the certificate (DER) and of its SubjectPublicKeyInfo (DER).
    bool HaveFingerprints = false;
    SHA256_DIGEST CertificateSha256{};
    SHA256_DIGEST PublicKeySha256{};
};

class TLS_CLIENT_SESSION {
public:
    virtual ~TLS_CLIENT_SESSION() = default;

    // Begins the handshake for hostName (used for SNI and the name check); appends the first
    // flight to toSend.
    virtual TLS_STATE Start(const char* hostName, std::vector<uint8_t>& toSend) = 0;
    // Feeds bytes received from the peer. Appends handshake, alert or renegotiation bytes to
    // toSend and decrypted application data to plain.
    virtual TLS_STATE Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& toSend,
                              std::vector<uint8_t>& plain) = 0;
    // Encrypts application data (Established only); false on failure.
    virtual bool Encrypt(const uint8_t* bytes, size_t count, std::vector<uint8_t>& toSend) = 0;
    // Appends close_notify to toSend.
    virtual void Shutdown(std::vector<uint8_t>& toSend) = 0;

    // Valid once the handshake has produced the server's certificate (at Established).
    virtual const TLS_SERVER_CERTIFICATE& ServerCertificate() const = 0;
    virtual const char* ProtocolName() const = 0;  // "TLSv1.2", ...
    virtual const char* ErrorText() const = 0;
};

// enabledProtocols: TLS_PROTOCOL_* bits; versions the engine no longer allows are dropped.
// caFile (UTF-8 path): PEM (or one DER) certificates that alone are trusted as roots, instead
// of the system's store. Null, with what went wrong in 'failure', when the engine cannot be
// initialised or the CA file cannot be used.
std::unique_ptr<TLS_CLIENT_SESSION> CreateTlsClientSession(uint32_t enabledProtocols, std::string& failure,
                                                           const std::string& caFile = std::string());

}  // namespace qv
