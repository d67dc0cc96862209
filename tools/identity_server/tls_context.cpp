#include "tools/identity_server/tls_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace qv::identity_server {
namespace {

struct PKEY_RELEASE {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509_RELEASE {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct EXTENSION_RELEASE {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

constexpr long ONE_DAY_SECONDS = 24L * 60 * 60;

bool IsIpAddress(const std::string& text)
{
    unsigned char buffer[16];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool AddExtension(X509* certificate, int nid, const std::string& value)
{
    X509V3_CTX extensionContext;
    X509V3_set_ctx_nodb(&extensionContext);
    X509V3_set_ctx(&extensionContext, certificate, certificate, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, EXTENSION_RELEASE> extension(
        X509V3_EXT_conf_nid(nullptr, &extensionContext, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool MakeSelfSigned(const std::string& commonName, std::unique_ptr<EVP_PKEY, PKEY_RELEASE>& key,
                    std::unique_ptr<X509, X509_RELEASE>& certificate)
{
    key.reset(EVP_RSA_gen(2048));
    certificate.reset(X509_new());
    if (!key || !certificate)
        return false;
    uint32_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), static_cast<long>(serial & 0x7FFFFFFF));
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -ONE_DAY_SECONDS);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365 * ONE_DAY_SECONDS);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Reference identity server"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    std::string alternativeNames = IsIpAddress(commonName) ? "IP:" + commonName : "DNS:" + commonName;
    if (commonName != "localhost")
        alternativeNames += ",DNS:localhost";
    return AddExtension(certificate.get(), NID_subject_alt_name, alternativeNames) &&
           AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") &&
           X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
}

}  // namespace

std::string OpenSslErrorText(const char* fallback)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool CreateServerTlsContext(const std::string& certFile, const std::string& keyFile, const std::string& commonName,
                            SSL_CTX_HANDLE& context, std::string& problem)
{
    SSL_CTX_HANDLE created(SSL_CTX_new(TLS_server_method()));
    if (!created) {
        problem = "cannot create the TLS context: " + OpenSslErrorText("unknown error");
        return false;
    }
    SSL_CTX_set_security_level(created.get(), 0);
    SSL_CTX_set_min_proto_version(created.get(), TLS1_1_VERSION);
    SSL_CTX_set_max_proto_version(created.get(), TLS1_2_VERSION);
    // Agents on Windows often close without a close_notify; that is an end, not an error.
    SSL_CTX_set_options(created.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);

    if (!certFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(created.get(), certFile.c_str()) != 1) {
            problem = "cannot load the certificate " + certFile + ": " + OpenSslErrorText("unknown error");
            return false;
        }
        if (SSL_CTX_use_PrivateKey_file(created.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            problem = "cannot load the key " + keyFile + ": " + OpenSslErrorText("unknown error");
            return false;
        }
    } else {
        std::unique_ptr<EVP_PKEY, PKEY_RELEASE> key;
        std::unique_ptr<X509, X509_RELEASE> certificate;
        if (!MakeSelfSigned(commonName, key, certificate) ||
            SSL_CTX_use_certificate(created.get(), certificate.get()) != 1 ||
            SSL_CTX_use_PrivateKey(created.get(), key.get()) != 1) {
            problem = "cannot make a self-signed certificate: " + OpenSslErrorText("unknown error");
            return false;
        }
    }
    if (SSL_CTX_check_private_key(created.get()) != 1) {
        problem = "the key does not match the certificate: " + OpenSslErrorText("unknown error");
        return false;
    }
    context = std::move(created);
    return true;
}

bool WriteCertificate(SSL_CTX* context, const std::string& path, std::string& problem)
{
    X509* certificate = SSL_CTX_get0_certificate(context);
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        problem = "cannot write the certificate to " + path;
        return false;
    }
    const bool written = certificate && PEM_write_X509(file, certificate) == 1;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        problem = "cannot write the certificate to " + path;
        return false;
    }
    return true;
}

}  // namespace qv::identity_server
