// How far the identity server's TLS certificate is trusted: accepted whatever it is (the
// default, as designed), or required to chain to a trusted root and name the server, or
// required to be one of a few known certificates or public keys (pinned). The verdict and
// its words are the same on every platform: the platform's TLS session says what it found
// (problem flags and fingerprints), this decides.
#pragma once

#include <cstdint>
#include <vector>

#include "base/string.h"
#include "identity/ip_port.h"
#include "platform/tls_client.h"

namespace qv {

constexpr uint32_t TLS_VERIFY_NONE = 0;   // every certificate is accepted
constexpr uint32_t TLS_VERIFY_CHAIN = 1;  // a trusted chain (the CA file's, when set) and the server's name
constexpr uint32_t TLS_VERIFY_PIN = 2;    // the certificate's or its public key's SHA-256 is pinned

struct TLS_TRUST {
    uint32_t Verify = TLS_VERIFY_NONE;
    STRING CaFile;  // empty: the system's trust store
    std::vector<SHA256_DIGEST> Pins;
};

// A pin as an administrator writes it: 64 hexadecimal digits, with colons, blanks and the
// letters' case not mattering. False when the text is not that.
bool ParsePin(const char16_t* text, SHA256_DIGEST& pin);
// "AB:CD:...", as the log shows a fingerprint.
STRING FingerprintText(const uint8_t* digest);

// Empty when the certificate is accepted under 'trust'; else the reasons it is refused, in
// words ("expired", "name mismatch (...)", "pin mismatch (...)"), joined by ", ".
STRING CertificateRefusal(const TLS_TRUST& trust, const SSL_SERVER_AUTHENTICATION_EVENT_ARGS& seen,
                          const STRING& server);

}  // namespace qv
