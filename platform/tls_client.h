// One client-side TLS session over a byte stream that the caller carries: bytes received from
// the peer go in, bytes to send to the peer and decrypted application data come out. The
// session never touches a socket. On Windows it is Schannel through SSPI; on POSIX OpenSSL
// with memory BIOs.
#pragma once

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

struct TLS_SERVER_CERTIFICATE {
    std::vector<uint8_t> Encoded;  // DER
    std::string Subject;           // UTF-8, as the platform renders distinguished names
    std::string Issuer;
    std::string Status;            // the verification result in words
    bool Trusted = false;          // chain and host name verified
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
// Null, with what went wrong in 'failure', when the engine cannot be initialised.
std::unique_ptr<TLS_CLIENT_SESSION> CreateTlsClientSession(uint32_t enabledProtocols, std::string& failure);

}  // namespace qv
