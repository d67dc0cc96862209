// TLS client sessions on POSIX: OpenSSL 3 over two memory BIOs, so the session only ever sees
// bytes the caller hands in and hands back bytes to send.
//
// The handshake never fails for want of trust: the caller decides whether an untrusted
// certificate is accepted. The chain is verified against the default certificate locations
// (which honour SSL_CERT_FILE and SSL_CERT_DIR) with verification failures left non-fatal, and
// the host name is checked separately; both results end up in Trusted and in Status.
#include "platform/tls_client.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

namespace qv {

namespace {

struct SSL_CTX_FREE {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SSL_FREE {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct X509_FREE {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BIO_FREE {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

using SSL_CTX_PTR = std::unique_ptr<SSL_CTX, SSL_CTX_FREE>;
using SSL_PTR = std::unique_ptr<SSL, SSL_FREE>;
using X509_PTR = std::unique_ptr<X509, X509_FREE>;
using BIO_PTR = std::unique_ptr<BIO, BIO_FREE>;

bool IsAddressText(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// A distinguished name on one line in RFC 2253 order and escaping, with UTF-8 left readable.
std::string NameText(const X509_NAME* name) {
    BIO_PTR bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) return {};
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

// The oldest and newest enabled version; 0 for either means no limit.
void VersionRange(uint32_t enabled, int& lowest, int& highest) {
    struct VERSION_BITS {
        uint32_t Bits;
        int Version;
    };
    static constexpr VERSION_BITS VERSIONS[] = {{TLS_PROTOCOL_TLS1_0, TLS1_VERSION},
                                                {TLS_PROTOCOL_TLS1_1, TLS1_1_VERSION},
                                                {TLS_PROTOCOL_TLS1_2, TLS1_2_VERSION},
                                                {TLS_PROTOCOL_TLS1_3, TLS1_3_VERSION}};
    lowest = 0;
    highest = 0;
    for (const VERSION_BITS& version : VERSIONS) {
        if ((enabled & version.Bits) == 0) continue;
        if (lowest == 0) lowest = version.Version;
        highest = version.Version;
    }
}

class OPENSSL_TLS_SESSION : public TLS_CLIENT_SESSION {
public:
    OPENSSL_TLS_SESSION(SSL_CTX_PTR context, SSL_PTR ssl, BIO* incoming, BIO* outgoing)
        : Context(std::move(context)), Ssl(std::move(ssl)), Incoming(incoming), Outgoing(outgoing) {}

    TLS_STATE Start(const char* hostName, std::vector<uint8_t>& toSend) override {
        ERR_clear_error();
        HostName = hostName != nullptr ? hostName : "";
        // Server name indication carries names only, never address text.
        if (!HostName.empty() && !IsAddressText(HostName)) SSL_set_tlsext_host_name(Ssl.get(), HostName.c_str());
        SSL_set_connect_state(Ssl.get());
        State = TLS_STATE::Handshaking;
        Handshake();
        TakeOutput(toSend);
        return State;
    }

    TLS_STATE Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& toSend,
                      std::vector<uint8_t>& plain) override {
        ERR_clear_error();
        if (State == TLS_STATE::Failed || State == TLS_STATE::Closed) return State;
        if (count > 0 && BIO_write(Incoming, bytes, static_cast<int>(count)) != static_cast<int>(count)) {
            Fail("The received bytes could not be buffered");
        }
        if (State == TLS_STATE::Handshaking) Handshake();
        if (State == TLS_STATE::Established) ReadApplicationData(plain);
        TakeOutput(toSend);
        return State;
    }

    bool Encrypt(const uint8_t* bytes, size_t count, std::vector<uint8_t>& toSend) override {
        ERR_clear_error();
        // After our close_notify nothing more may be sent, but the session itself is sound:
        // the peer's close_notify may still come in.
        if (State != TLS_STATE::Established || ShutdownSent) return false;
        size_t done = 0;
        while (done < count) {
            size_t written = 0;
            if (SSL_write_ex(Ssl.get(), bytes + done, count - done, &written) != 1) {
                Fail("Encrypting failed");
                TakeOutput(toSend);
                return false;
            }
            done += written;
        }
        TakeOutput(toSend);
        return true;
    }

    void Shutdown(std::vector<uint8_t>& toSend) override {
        ERR_clear_error();
        if (State == TLS_STATE::Established || State == TLS_STATE::Closed) {
            SSL_shutdown(Ssl.get());
            ShutdownSent = true;
        }
        TakeOutput(toSend);
        ERR_clear_error();
    }

    const TLS_SERVER_CERTIFICATE& ServerCertificate() const override { return Certificate; }
    const char* ProtocolName() const override { return SSL_get_version(Ssl.get()); }
    const char* ErrorText() const override { return Error.c_str(); }

private:
    void Handshake() {
        const int result = SSL_do_handshake(Ssl.get());
        if (result == 1) {
            State = TLS_STATE::Established;
            Evaluate();
            return;
        }
        const int error = SSL_get_error(Ssl.get(), result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
        Fail("The TLS handshake failed");
    }

    void ReadApplicationData(std::vector<uint8_t>& plain) {
        uint8_t buffer[16384];
        for (;;) {
            size_t got = 0;
            const int result = SSL_read_ex(Ssl.get(), buffer, sizeof(buffer), &got);
            if (result == 1) {
                plain.insert(plain.end(), buffer, buffer + got);
                continue;
            }
            const int error = SSL_get_error(Ssl.get(), result);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
            if (error == SSL_ERROR_ZERO_RETURN) {
                State = TLS_STATE::Closed;
                return;
            }
            Fail("Decrypting failed");
            return;
        }
    }

    void TakeOutput(std::vector<uint8_t>& toSend) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(Outgoing, &data);
        if (length <= 0) return;
        toSend.insert(toSend.end(), reinterpret_cast<const uint8_t*>(data),
                      reinterpret_cast<const uint8_t*>(data) + length);
        (void)BIO_reset(Outgoing);
    }

    void Fail(const char* what) {
        State = TLS_STATE::Failed;
        Error = what;
        const unsigned long code = ERR_get_error();
        if (code != 0) {
            char text[256];
            ERR_error_string_n(code, text, sizeof(text));
            Error += ": ";
            Error += text;
        }
    }

    // The chain result and the host-name check, in words and as one verdict.
    void Evaluate() {
        const X509_PTR peer(SSL_get1_peer_certificate(Ssl.get()));
        if (!peer) {
            Certificate.Status = "The server sent no certificate";
            return;
        }
        const int length = i2d_X509(peer.get(), nullptr);
        if (length > 0) {
            Certificate.Encoded.resize(static_cast<size_t>(length));
            unsigned char* out = Certificate.Encoded.data();
            i2d_X509(peer.get(), &out);
        }
        Certificate.Subject = NameText(X509_get_subject_name(peer.get()));
        Certificate.Issuer = NameText(X509_get_issuer_name(peer.get()));
        TakeFingerprints(peer.get());

        const long chain = SSL_get_verify_result(Ssl.get());
        const bool nameMatches = IsAddressText(HostName)
                                     ? X509_check_ip_asc(peer.get(), HostName.c_str(), 0) == 1
                                     : X509_check_host(peer.get(), HostName.c_str(), HostName.size(), 0, nullptr) == 1;
        Certificate.Problems = ChainProblems(chain) | (nameMatches ? 0 : TLS_PROBLEM_NAME_MISMATCH);
        if ((Certificate.Problems & TLS_PROBLEM_OTHER) != 0) Certificate.ProblemText = X509_verify_cert_error_string(chain);
        Certificate.Trusted = chain == X509_V_OK && nameMatches;
        if (Certificate.Trusted) {
            Certificate.Status = "The certificate is trusted and matches the host name";
            return;
        }
        std::string status;
        if (chain != X509_V_OK) {
            status = "The certificate is not trusted: ";
            status += X509_verify_cert_error_string(chain);
        }
        if (!nameMatches) {
            if (!status.empty()) status += "; ";
            status += "The certificate does not match the host name " + HostName;
        }
        Certificate.Status = status;
    }

    // The chain's verdict as problem flags. Verification stops at the first fault it finds,
    // so one flag at most.
    static uint32_t ChainProblems(long result) {
        switch (result) {
            case X509_V_OK: return 0;
            case X509_V_ERR_CERT_HAS_EXPIRED:
            case X509_V_ERR_CRL_HAS_EXPIRED: return TLS_PROBLEM_EXPIRED;
            case X509_V_ERR_CERT_NOT_YET_VALID:
            case X509_V_ERR_CRL_NOT_YET_VALID: return TLS_PROBLEM_NOT_YET_VALID;
            case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
            case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
            case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            case X509_V_ERR_CERT_UNTRUSTED:
            case X509_V_ERR_CERT_REJECTED: return TLS_PROBLEM_UNTRUSTED;
            default: return TLS_PROBLEM_OTHER;
        }
    }

    // SHA-256 of the certificate and of its SubjectPublicKeyInfo, both as DER.
    void TakeFingerprints(X509* peer) {
        unsigned int size = 0;
        if (X509_digest(peer, EVP_sha256(), Certificate.CertificateSha256.data(), &size) != 1 ||
            size != Certificate.CertificateSha256.size()) {
            return;
        }
        unsigned char* publicKey = nullptr;
        const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(peer), &publicKey);
        size = 0;
        const bool hashed = length > 0 && EVP_Digest(publicKey, static_cast<size_t>(length),
                                                     Certificate.PublicKeySha256.data(), &size, EVP_sha256(),
                                                     nullptr) == 1;
        OPENSSL_free(publicKey);
        Certificate.HaveFingerprints = hashed && size == Certificate.PublicKeySha256.size();
    }

    SSL_CTX_PTR Context;
    SSL_PTR Ssl;
    BIO* Incoming;  // owned by Ssl
    BIO* Outgoing;  // owned by Ssl
    TLS_STATE State = TLS_STATE::Handshaking;
    bool ShutdownSent = false;
    std::string HostName;
    std::string Error;
    TLS_SERVER_CERTIFICATE Certificate;
};

}  // namespace

std::unique_ptr<TLS_CLIENT_SESSION> CreateTlsClientSession(uint32_t enabledProtocols, std::string& failure,
                                                           const std::string& caFile) {
    // What OpenSSL says went wrong, for the caller's log.
    auto fail = [&failure](const char* call) {
        char reason[256] = "";
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        failure = std::string(call) + " failed: " + reason;
        ERR_clear_error();
        return nullptr;
    };
    SSL_CTX_PTR context(SSL_CTX_new(TLS_client_method()));
    if (!context) return fail("SSL_CTX_new");
    int lowest = 0;
    int highest = 0;
    VersionRange(enabledProtocols, lowest, highest);
    // The security level stays as configured: versions it refuses simply are not offered.
    if (lowest != 0 && SSL_CTX_set_min_proto_version(context.get(), lowest) != 1) {
        return fail("SSL_CTX_set_min_proto_version");
    }
    if (highest != 0 && SSL_CTX_set_max_proto_version(context.get(), highest) != 1) {
        return fail("SSL_CTX_set_max_proto_version");
    }
    // Verification runs, but its verdict is the caller's to act on (see Evaluate).
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (caFile.empty()) {
        SSL_CTX_set_default_verify_paths(context.get());
        ERR_clear_error();  // a missing default location is not an error of this session
    } else if (SSL_CTX_load_verify_file(context.get(), caFile.c_str()) != 1) {
        char reason[256] = "";
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        ERR_clear_error();
        failure = "The CA file \"" + caFile + "\" cannot be used: " + reason;
        return nullptr;
    }

    SSL_PTR ssl(SSL_new(context.get()));
    if (!ssl) return fail("SSL_new");
    BIO* incoming = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    if (incoming == nullptr || outgoing == nullptr) {
        BIO_free(incoming);
        BIO_free(outgoing);
        return fail("BIO_new");
    }
    // An empty incoming BIO means "more data later", not end of stream.
    BIO_set_mem_eof_return(incoming, -1);
    SSL_set_bio(ssl.get(), incoming, outgoing);
    return std::make_unique<OPENSSL_TLS_SESSION>(std::move(context), std::move(ssl), incoming, outgoing);
}

}  // namespace qv
