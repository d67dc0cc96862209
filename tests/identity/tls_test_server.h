// Certificates made in memory for the tests, and a TLS echo server on its own thread that
// serves one connection on the loopback interface. OpenSSL only: POSIX builds.
#pragma once

#if !defined(_WIN32)

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "tests/identity/loopback_socket.h"

namespace qv::test {

struct OPENSSL_FREE_KEY {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct OPENSSL_FREE_CERTIFICATE {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using KEY_PTR = std::unique_ptr<EVP_PKEY, OPENSSL_FREE_KEY>;
using CERTIFICATE_PTR = std::unique_ptr<X509, OPENSSL_FREE_CERTIFICATE>;

struct TEST_IDENTITY {
    KEY_PTR Key;
    CERTIFICATE_PTR Certificate;

    std::string Der() const {
        unsigned char* bytes = nullptr;
        const int length = i2d_X509(Certificate.get(), &bytes);
        std::string der(reinterpret_cast<const char*>(bytes), length > 0 ? static_cast<size_t>(length) : 0u);
        OPENSSL_free(bytes);
        return der;
    }

    bool WritePem(const std::string& path) const {
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) return false;
        const bool written = PEM_write_X509(file, Certificate.get()) == 1;
        return std::fclose(file) == 0 && written;
    }
};

inline void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) return;
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for commonName, signed by 'issuer' or, without one, by itself.
// subjectAltName: e.g. "IP:127.0.0.1" or "DNS:name"; null for none.
inline TEST_IDENTITY MakeIdentity(const char* commonName, const TEST_IDENTITY* issuer, bool authority,
                                  const char* subjectAltName) {
    static std::atomic<long> serial{1};
    TEST_IDENTITY identity;
    identity.Key.reset(EVP_EC_gen("P-256"));
    identity.Certificate.reset(X509_new());
    X509* certificate = identity.Certificate.get();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, identity.Key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Quorvane Tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    X509* signer = issuer != nullptr ? issuer->Certificate.get() : certificate;
    X509_set_issuer_name(certificate, X509_get_subject_name(signer));
    AddExtension(certificate, signer, NID_basic_constraints, authority ? "critical,CA:TRUE" : "CA:FALSE");
    if (authority) AddExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(certificate, signer, NID_subject_key_identifier, "hash");
    if (subjectAltName != nullptr) AddExtension(certificate, signer, NID_subject_alt_name, subjectAltName);
    X509_sign(certificate, issuer != nullptr ? issuer->Key.get() : identity.Key.get(), EVP_sha256());
    return identity;
}

// Serves one TLS connection: completes the handshake, then echoes until the client closes.
class TLS_ECHO_SERVER {
public:
    explicit TLS_ECHO_SERVER(const TEST_IDENTITY& identity) {
        // OpenSSL writes to the socket with write(): a client that has already gone must give
        // the server an error, not end the test program with SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        Context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(Context, identity.Certificate.get());
        SSL_CTX_use_PrivateKey(Context, identity.Key.get());
        Thread = std::thread([this] { Serve(); });
    }
    TLS_ECHO_SERVER(const TLS_ECHO_SERVER&) = delete;
    TLS_ECHO_SERVER& operator=(const TLS_ECHO_SERVER&) = delete;
    ~TLS_ECHO_SERVER() {
        Join();
        SSL_CTX_free(Context);
    }

    uint16_t Port() const { return Listener.Port(); }
    void Join() {
        if (Thread.joinable()) Thread.join();
    }

    std::atomic<bool> HandshakeDone{false};
    std::atomic<bool> SawCloseNotify{false};

private:
    void Serve() {
        TEST_SOCKET peer = Listener.Accept(10000);
        if (!peer.IsOpen()) return;
        // A client that stops talking must not keep the thread (and the test) waiting.
        timeval limit{10, 0};
        setsockopt(peer.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        SSL* ssl = SSL_new(Context);
        SSL_set_fd(ssl, peer.Get());
        if (SSL_accept(ssl) == 1) {
            HandshakeDone = true;
            char buffer[4096];
            for (;;) {
                const int got = SSL_read(ssl, buffer, sizeof(buffer));
                if (got <= 0) {
                    if (SSL_get_error(ssl, got) == SSL_ERROR_ZERO_RETURN) SawCloseNotify = true;
                    break;
                }
                if (SSL_write(ssl, buffer, got) <= 0) break;
            }
        }
        SSL_free(ssl);
    }

    LOOPBACK_LISTENER Listener;
    SSL_CTX* Context = nullptr;
    std::thread Thread;
};

}  // namespace qv::test

#endif  // !_WIN32
