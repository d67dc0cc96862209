#include "identity/certificate_trust.h"

#include <algorithm>

#include "support/format.h"
#include "support/number_text.h"

namespace qv {

namespace {

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

void Add(STRING& reasons, const char16_t* reason) {
    STRING joined;
    FormatString(joined, reasons.IsEmpty() ? u"%s%s" : u"%s, %s", reasons, reason);
    reasons = std::move(joined);
}

bool Pinned(const std::vector<SHA256_DIGEST>& pins, const uint8_t* digest) {
    if (digest == nullptr) return false;
    return std::any_of(pins.begin(), pins.end(),
                       [digest](const SHA256_DIGEST& pin) { return std::equal(pin.begin(), pin.end(), digest); });
}

STRING ChainRefusal(const TLS_TRUST& trust, const SSL_SERVER_AUTHENTICATION_EVENT_ARGS& seen, const STRING& server) {
    STRING reasons;
    const uint32_t problems = seen.Problems;
    if (problems & TLS_PROBLEM_NO_CERTIFICATE) Add(reasons, u"no certificate");
    if (problems & TLS_PROBLEM_UNTRUSTED) {
        Add(reasons, trust.CaFile.IsEmpty() ? u"untrusted (it does not chain to a trusted root)"
                                            : u"untrusted (it does not chain to a certificate of TlsCaFile)");
    }
    if (problems & TLS_PROBLEM_EXPIRED) Add(reasons, u"expired");
    if (problems & TLS_PROBLEM_NOT_YET_VALID) Add(reasons, u"not yet valid");
    if (problems & TLS_PROBLEM_NAME_MISMATCH) {
        STRING reason;
        FormatString(reason, u"name mismatch (it does not name %s)", server);
        Add(reasons, reason.Text());
    }
    if (problems & TLS_PROBLEM_OTHER) {
        const STRING text(seen.ProblemText != nullptr && *seen.ProblemText ? seen.ProblemText : "rejected");
        Add(reasons, text.Text());
    }
    return reasons;
}

}  // namespace

bool ParsePin(const char16_t* text, SHA256_DIGEST& pin) {
    size_t digits = 0;
    for (const char16_t* at = text; at != nullptr && *at != 0; ++at) {
        if (*at == u':' || *at == u' ' || *at == u'\t') continue;
        const int value = HexDigit(*at);
        if (value < 0 || digits >= 2 * pin.size()) return false;
        if (digits % 2 == 0) pin[digits / 2] = static_cast<uint8_t>(value << 4);
        else pin[digits / 2] = static_cast<uint8_t>(pin[digits / 2] | value);
        ++digits;
    }
    return digits == 2 * pin.size();
}

STRING FingerprintText(const uint8_t* digest) {
    STRING text;
    if (digest == nullptr) return STRING(u"(none)");
    BytesToHexText(text, digest, static_cast<uint32_t>(SHA256_DIGEST().size()), false, 1, u':');
    return text;
}

STRING CertificateRefusal(const TLS_TRUST& trust, const SSL_SERVER_AUTHENTICATION_EVENT_ARGS& seen,
                          const STRING& server) {
    if (trust.Verify == TLS_VERIFY_NONE) return STRING();
    if (trust.Verify != TLS_VERIFY_PIN) return ChainRefusal(trust, seen, server);
    if (Pinned(trust.Pins, seen.CertSha256) || Pinned(trust.Pins, seen.PublicKeySha256)) return STRING();
    if (seen.CertSha256 == nullptr) return STRING(u"pin mismatch (no fingerprint could be taken)");
    if (trust.Pins.empty()) return STRING(u"pin mismatch (TlsPins holds no pin)");
    return STRING(u"pin mismatch (neither the certificate's nor its public key's fingerprint is in TlsPins)");
}

}  // namespace qv
