// The server side of TLS: a context with the certificate from files or one made at start.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace qv::identity_server {

struct SSL_CTX_RELEASE {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using SSL_CTX_HANDLE = std::unique_ptr<SSL_CTX, SSL_CTX_RELEASE>;

struct SSL_RELEASE {
    void operator()(SSL* session) const { SSL_free(session); }
};
using SSL_HANDLE = std::unique_ptr<SSL, SSL_RELEASE>;

// TLS 1.1 and 1.2 (1.1 needs security level 0 on OpenSSL 3; older agents still speak it).
// Without certFile/keyFile a self-signed RSA certificate is made with CN = commonName and
// subject alternative names for it (as IP address when it is one) and localhost.
bool CreateServerTlsContext(const std::string& certFile, const std::string& keyFile, const std::string& commonName,
                            SSL_CTX_HANDLE& context, std::string& problem);

// Writes the context's certificate as PEM, so that a client can be told to trust it.
bool WriteCertificate(SSL_CTX* context, const std::string& path, std::string& problem);

// The text of the oldest queued OpenSSL error (and clears the queue), or fallback.
std::string OpenSslErrorText(const char* fallback);

}  // namespace qv::identity_server
