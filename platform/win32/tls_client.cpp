// The TLS client session on Windows: Schannel through SSPI, fed and drained by the caller.
// Received bytes collect in one buffer until Schannel can take a whole handshake message or
// record from its front; what Schannel leaves over (SECBUFFER_EXTRA) stays for the next step.
#include "platform/tls_client.h"

#include "platform/win32/win32.h"

#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>
#include <schannel.h>
#include <bcrypt.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/string.h"
#include "platform/error_text.h"

namespace qv {
namespace {

constexpr DWORD CLIENT_PROTOCOL_BITS =
    SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

constexpr ULONG HANDSHAKE_REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                    ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

constexpr uint8_t ALERT_RECORD = 21;  // TLS record content type

// "<call> failed with 0x<status>: <system text>", narrow, for ErrorText and the log.
std::string FailureText(const char* call, SECURITY_STATUS status) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(status)));
    std::string text = std::string(call) + " failed with " + code;
    const STRING_A systemText(GetErrorText(static_cast<uint32_t>(status)));
    if (!systemText.IsEmpty()) text.append(": ").append(systemText.Text(), systemText.Length());
    return text;
}

std::string Utf8(const wchar_t* text, size_t length) {
    const STRING_A converted(AsUtf16(text), static_cast<uint32_t>(length));
    return std::string(converted.Text(), converted.Length());
}

class CREDENTIALS {
public:
    CREDENTIALS() = default;
    CREDENTIALS(const CREDENTIALS&) = delete;
    CREDENTIALS& operator=(const CREDENTIALS&) = delete;
    ~CREDENTIALS() { Release(); }

    // Client credentials for exactly these SP_PROT_*_CLIENT bits, never presenting a client
    // certificate and never judging the server's: the caller decides what an untrusted
    // certificate means.
    SECURITY_STATUS Acquire(DWORD clientProtocols) {
        Release();
        SCHANNEL_CRED settings{};
        settings.dwVersion = SCHANNEL_CRED_VERSION;
        settings.grbitEnabledProtocols = clientProtocols;
        settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        wchar_t package[] = UNISP_NAME_W;
        const SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                                 &settings, nullptr, nullptr, &Handle, nullptr);
        Valid = status == SEC_E_OK;
        if (Valid) Protocols = clientProtocols;
        return status;
    }

    CredHandle* Get() { return &Handle; }
    DWORD EnabledProtocols() const { return Protocols; }

private:
    void Release() {
        if (Valid) FreeCredentialsHandle(&Handle);
        Valid = false;
    }

    CredHandle Handle{};
    bool Valid = false;
    DWORD Protocols = 0;
};

// Output buffers that Schannel allocated (ISC_REQ_ALLOCATE_MEMORY) go back to it.
class OUTPUT_TOKENS {
public:
    OUTPUT_TOKENS() {
        Buffers[0] = {0, SECBUFFER_TOKEN, nullptr};
        Buffers[1] = {0, SECBUFFER_ALERT, nullptr};
        Description = {SECBUFFER_VERSION, 2, Buffers};
    }
    OUTPUT_TOKENS(const OUTPUT_TOKENS&) = delete;
    OUTPUT_TOKENS& operator=(const OUTPUT_TOKENS&) = delete;
    ~OUTPUT_TOKENS() {
        for (SecBuffer& buffer : Buffers) {
            if (buffer.pvBuffer != nullptr) FreeContextBuffer(buffer.pvBuffer);
        }
    }

    SecBufferDesc* Get() { return &Description; }

    void AppendToken(std::vector<uint8_t>& toSend) const {
        const SecBuffer& token = Buffers[0];
        if (token.pvBuffer == nullptr || token.cbBuffer == 0) return;
        const uint8_t* bytes = static_cast<const uint8_t*>(token.pvBuffer);
        toSend.insert(toSend.end(), bytes, bytes + token.cbBuffer);
    }

private:
    SecBuffer Buffers[2];
    SecBufferDesc Description;
};

struct CERTIFICATE_CONTEXT {
    PCCERT_CONTEXT Context = nullptr;
    CERTIFICATE_CONTEXT() = default;
    CERTIFICATE_CONTEXT(const CERTIFICATE_CONTEXT&) = delete;
    CERTIFICATE_CONTEXT& operator=(const CERTIFICATE_CONTEXT&) = delete;
    ~CERTIFICATE_CONTEXT() {
        if (Context != nullptr) CertFreeCertificateContext(Context);
    }
};

struct CERTIFICATE_CHAIN {
    PCCERT_CHAIN_CONTEXT Chain = nullptr;
    CERTIFICATE_CHAIN() = default;
    CERTIFICATE_CHAIN(const CERTIFICATE_CHAIN&) = delete;
    CERTIFICATE_CHAIN& operator=(const CERTIFICATE_CHAIN&) = delete;
    ~CERTIFICATE_CHAIN() {
        if (Chain != nullptr) CertFreeCertificateChain(Chain);
    }
};

std::string NameText(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB blob = name;
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0);
    if (size <= 1) return std::string();
    std::vector<wchar_t> text(size);
    const DWORD written = CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text.data(), size);
    if (written <= 1) return std::string();
    return Utf8(text.data(), written - 1);
}

// The certificate's chain for server authentication, from the system's stores and 'extraStore'.
bool BuildServerChain(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, CERTIFICATE_CHAIN& chain) {
    char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuthentication};
    CERT_CHAIN_PARA chainSettings{};
    chainSettings.cbSize = sizeof(chainSettings);
    chainSettings.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainSettings.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainSettings.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    return CertGetCertificateChain(nullptr, certificate, nullptr, extraStore, &chainSettings, 0, nullptr,
                                   &chain.Chain) != FALSE;
}

// The SSL chain policy for a server of that name, leaving out the checks 'ignore' names: its
// verdict (0: none), or, when the call itself failed (false), the call's error code.
bool CheckSslPolicy(PCCERT_CHAIN_CONTEXT chain, const wchar_t* hostName, DWORD ignore, DWORD& verdict) {
    HTTPSPolicyCallbackData sslSettings{};
    sslSettings.cbStruct = sizeof(sslSettings);
    sslSettings.dwAuthType = AUTHTYPE_SERVER;
    sslSettings.fdwChecks = ignore;
    sslSettings.pwszServerName = const_cast<wchar_t*>(hostName);
    CERT_CHAIN_POLICY_PARA policySettings{};
    policySettings.cbSize = sizeof(policySettings);
    policySettings.pvExtraPolicyPara = &sslSettings;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof(policyStatus);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policySettings, &policyStatus)) {
        verdict = GetLastError();
        return false;
    }
    verdict = policyStatus.dwError;
    return true;
}

// The chain to a trusted root and the host name, as an HTTPS client would check them.
// Returns the verification result: 0 when trusted, else the first problem found.
DWORD VerifyServerChain(PCCERT_CONTEXT certificate, const wchar_t* hostName, std::string& failedCall) {
    CERTIFICATE_CHAIN chain;
    if (!BuildServerChain(certificate, certificate->hCertStore, chain)) {
        failedCall = "CertGetCertificateChain";
        return GetLastError();
    }

    DWORD verdict = 0;
    if (!CheckSslPolicy(chain.Chain, hostName, 0, verdict)) failedCall = "CertVerifyCertificateChainPolicy";
    return verdict;
}

// The chain-policy flags (wininet's numbers) that leave one concern out of the SSL policy.
constexpr DWORD IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD IGNORE_WRONG_USAGE = 0x00000200;
constexpr DWORD IGNORE_DATE_INVALID = 0x00002000;

// A CA file is small; anything much bigger is not one.
constexpr DWORD LARGEST_CA_FILE = 1024 * 1024;

class CERTIFICATE_STORE {
public:
    CERTIFICATE_STORE() = default;
    CERTIFICATE_STORE(const CERTIFICATE_STORE&) = delete;
    CERTIFICATE_STORE& operator=(const CERTIFICATE_STORE&) = delete;
    ~CERTIFICATE_STORE() {
        if (Store != nullptr) CertCloseStore(Store, 0);
    }
    HCERTSTORE Store = nullptr;
};

struct LOCAL_BLOCK {
    void* Block = nullptr;
    LOCAL_BLOCK() = default;
    LOCAL_BLOCK(const LOCAL_BLOCK&) = delete;
    LOCAL_BLOCK& operator=(const LOCAL_BLOCK&) = delete;
    ~LOCAL_BLOCK() {
        if (Block != nullptr) LocalFree(Block);
    }
};

std::string SystemText(DWORD code) {
    const STRING_A text(GetErrorText(code));
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
    return text.IsEmpty() ? std::string(number) : std::string(text.Text(), text.Length()) + " (" + number + ")";
}

bool ReadWholeFile(const std::string& path, std::string& content, std::string& failure) {
    const STRING widePath(path.c_str());
    HANDLE file = CreateFileW(AsWide(widePath.Text()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failure = SystemText(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    bool read = GetFileSizeEx(file, &size) != FALSE && size.QuadPart <= LARGEST_CA_FILE;
    if (read) {
        content.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        read = content.empty() || (ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &got, nullptr) !=
                                       FALSE &&
                                   got == content.size());
        failure = read ? std::string() : SystemText(GetLastError());
    } else {
        failure = "it is not a certificate file of at most 1 MiB";
    }
    CloseHandle(file);
    return read;
}

// The certificates of a PEM file, in a store of their own.
bool LoadCaFile(const std::string& path, CERTIFICATE_STORE& certificates, std::string& failure) {
    std::string content;
    std::string problem;
    if (!ReadWholeFile(path, content, problem)) {
        failure = "The CA file \"" + path + "\" cannot be used: " + problem;
        return false;
    }
    certificates.Store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (certificates.Store == nullptr) {
        failure = "The CA file \"" + path + "\" cannot be used: " + SystemText(GetLastError());
        return false;
    }
    static const std::string BEGIN = "-----BEGIN CERTIFICATE-----";
    static const std::string END = "-----END CERTIFICATE-----";
    size_t added = 0;
    for (size_t start = content.find(BEGIN); start != std::string::npos; start = content.find(BEGIN, start)) {
        const size_t end = content.find(END, start);
        if (end == std::string::npos) break;
        const DWORD length = static_cast<DWORD>(end + END.size() - start);
        start = end + END.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(content.data() + (start - length), length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                  nullptr, nullptr)) {
            continue;
        }
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(content.data() + (start - length), length, CRYPT_STRING_BASE64HEADER, der.data(),
                                  &size, nullptr, nullptr) ||
            !CertAddEncodedCertificateToStore(certificates.Store, X509_ASN_ENCODING, der.data(), size,
                                              CERT_STORE_ADD_ALWAYS, nullptr)) {
            continue;
        }
        ++added;
    }
    if (added == 0) {
        failure = "The CA file \"" + path + "\" cannot be used: it holds no PEM certificate";
        return false;
    }
    return true;
}

bool Sha256(const BYTE* data, DWORD size, SHA256_DIGEST& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    if (done) {
        done = BCryptHashData(hash, const_cast<BYTE*>(data), size, 0) == 0 &&
               BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return done;
}

// SHA-256 of the certificate and of its SubjectPublicKeyInfo, both as DER.
void TakeFingerprints(PCCERT_CONTEXT certificate, TLS_SERVER_CERTIFICATE& result) {
    if (!Sha256(certificate->pbCertEncoded, certificate->cbCertEncoded, result.CertificateSha256)) return;
    LOCAL_BLOCK encoded;
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
                             CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded.Block, &size)) {
        return;
    }
    result.HaveFingerprints = Sha256(static_cast<const BYTE*>(encoded.Block), size, result.PublicKeySha256);
}

// The address bytes of IPv4 or IPv6 text; false for a host name.
bool AddressBytes(const wchar_t* host, std::vector<BYTE>& bytes) {
    in_addr v4{};
    in6_addr v6{};
    if (InetPtonW(AF_INET, host, &v4) == 1) {
        bytes.assign(reinterpret_cast<const BYTE*>(&v4), reinterpret_cast<const BYTE*>(&v4) + sizeof v4);
        return true;
    }
    if (InetPtonW(AF_INET6, host, &v6) == 1) {
        bytes.assign(reinterpret_cast<const BYTE*>(&v6), reinterpret_cast<const BYTE*>(&v6) + sizeof v6);
        return true;
    }
    return false;
}

// An address is named only by an IP address entry of the subject alternative names.
bool NamesAddress(PCCERT_CONTEXT certificate, const std::vector<BYTE>& address) {
    const CERT_INFO& info = *certificate->pCertInfo;
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
    if (extension == nullptr) return false;
    LOCAL_BLOCK decoded;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded.Block, &size)) {
        return false;
    }
    const auto* names = static_cast<const CERT_ALT_NAME_INFO*>(decoded.Block);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
            std::equal(address.begin(), address.end(), entry.IPAddress.pbData)) {
            return true;
        }
    }
    return false;
}

// The chain's faults as problem flags. With a CA file, only a chain that ends at one of its
// certificates is trusted, whatever the system's store says of the root.
uint32_t ChainProblems(PCCERT_CONTEXT certificate, PCCERT_CHAIN_CONTEXT chain, HCERTSTORE caStore,
                       std::string& otherText) {
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    uint32_t problems = 0;
    if (caStore != nullptr) {
        const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
        PCCERT_CONTEXT root = simple != nullptr && simple->cElement > 0
                                  ? simple->rgpElement[simple->cElement - 1]->pCertContext
                                  : nullptr;
        PCCERT_CONTEXT found = root != nullptr ? CertFindCertificateInStore(caStore, X509_ASN_ENCODING, 0,
                                                                            CERT_FIND_EXISTING, root, nullptr)
                                               : nullptr;
        if (found == nullptr) problems |= TLS_PROBLEM_UNTRUSTED;
        else CertFreeCertificateContext(found);
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    }
    constexpr DWORD UNTRUSTED = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_CYCLIC |
                                CERT_TRUST_IS_EXPLICIT_DISTRUST;
    constexpr DWORD OTHER = CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_INVALID_EXTENSION |
                            CERT_TRUST_INVALID_POLICY_CONSTRAINTS | CERT_TRUST_INVALID_BASIC_CONSTRAINTS |
                            CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
                            CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
                            CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
    if ((errors & UNTRUSTED) != 0) problems |= TLS_PROBLEM_UNTRUSTED;
    if ((errors & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
        problems |= CertVerifyTimeValidity(nullptr, certificate->pCertInfo) < 0 ? TLS_PROBLEM_NOT_YET_VALID
                                                                                : TLS_PROBLEM_EXPIRED;
    }
    if ((errors & OTHER) != 0) {
        problems |= TLS_PROBLEM_OTHER;
        char text[96];
        std::snprintf(text, sizeof text,
                      (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0
                          ? "not valid for server authentication (chain status 0x%08lX)"
                          : "an invalid extension or constraint in the chain (chain status 0x%08lX)",
                      static_cast<unsigned long>(errors));
        otherText = text;
    }
    return problems;
}

// Whether the certificate names the host: an address by the certificate's IP address
// entries, a host name by the SSL policy with the other checks left out.
uint32_t NameProblems(PCCERT_CONTEXT certificate, PCCERT_CHAIN_CONTEXT chain, const wchar_t* hostName,
                      bool othersFound, std::string& otherText) {
    std::vector<BYTE> address;
    if (AddressBytes(hostName, address)) return NamesAddress(certificate, address) ? 0 : TLS_PROBLEM_NAME_MISMATCH;

    DWORD verdict = 0;
    CheckSslPolicy(chain, hostName, IGNORE_UNKNOWN_CA | IGNORE_WRONG_USAGE | IGNORE_DATE_INVALID, verdict);
    if (verdict == 0) return 0;
    if (verdict == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) return TLS_PROBLEM_NAME_MISMATCH;
    // The policy stopped at another fault before it got to the name: the certificate is
    // refused for that fault already; alone, the name counts as unchecked.
    if (othersFound) return 0;
    otherText = "the host name could not be checked: " + SystemText(verdict);
    return TLS_PROBLEM_OTHER;
}

// The chain and the name judged as on every platform: problem flags, 0 when none.
uint32_t JudgeCertificate(PCCERT_CONTEXT certificate, const wchar_t* hostName, HCERTSTORE caStore,
                          std::string& otherText) {
    CERTIFICATE_STORE collection;
    collection.Store = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (collection.Store == nullptr) {
        otherText = "CertOpenStore failed: " + SystemText(GetLastError());
        return TLS_PROBLEM_OTHER;
    }
    CertAddStoreToCollection(collection.Store, certificate->hCertStore, 0, 0);
    if (caStore != nullptr) CertAddStoreToCollection(collection.Store, caStore, 0, 0);

    CERTIFICATE_CHAIN chain;
    if (!BuildServerChain(certificate, collection.Store, chain)) {
        otherText = "CertGetCertificateChain failed: " + SystemText(GetLastError());
        return TLS_PROBLEM_OTHER;
    }
    std::string chainText;
    const uint32_t problems = ChainProblems(certificate, chain.Chain, caStore, chainText);
    std::string nameText;
    const uint32_t nameProblems = NameProblems(certificate, chain.Chain, hostName, problems != 0, nameText);
    otherText = !chainText.empty() ? chainText : nameText;
    return problems | nameProblems;
}

// Words for problem flags, for the Status of a session judged against a CA file.
std::string ProblemStatus(uint32_t problems, const std::string& otherText) {
    if (problems == 0) return "The certificate is trusted and matches the host name";
    std::string status;
    auto add = [&status](const std::string& text) { status += (status.empty() ? "" : "; ") + text; };
    if (problems & TLS_PROBLEM_UNTRUSTED) add("The certificate does not chain to a certificate of the CA file");
    if (problems & TLS_PROBLEM_EXPIRED) add("The certificate has expired");
    if (problems & TLS_PROBLEM_NOT_YET_VALID) add("The certificate is not yet valid");
    if (problems & TLS_PROBLEM_NAME_MISMATCH) add("The certificate does not match the host name");
    if (problems & TLS_PROBLEM_OTHER) add(otherText);
    return status;
}

const char* ProtocolText(DWORD protocol) {
    if (protocol & SP_PROT_TLS1_3) return "TLSv1.3";
    if (protocol & SP_PROT_TLS1_2) return "TLSv1.2";
    if (protocol & SP_PROT_TLS1_1) return "TLSv1.1";
    if (protocol & SP_PROT_TLS1_0) return "TLSv1";
    if (protocol & SP_PROT_SSL3) return "SSLv3";
    return "unknown";
}

class SSPI_TLS_SESSION final : public TLS_CLIENT_SESSION {
public:
    SSPI_TLS_SESSION(std::unique_ptr<CREDENTIALS> credentials, std::unique_ptr<CERTIFICATE_STORE> caStore)
        : Credentials(std::move(credentials)), CaStore(std::move(caStore)) {}
    SSPI_TLS_SESSION(const SSPI_TLS_SESSION&) = delete;
    SSPI_TLS_SESSION& operator=(const SSPI_TLS_SESSION&) = delete;
    ~SSPI_TLS_SESSION() override {
        if (HaveContext) DeleteSecurityContext(&Context);
    }

    TLS_STATE Start(const char* hostName, std::vector<uint8_t>& toSend) override {
        if (HaveContext || State != TLS_STATE::Handshaking) return Fail("Start called twice");
        const STRING wideHost(hostName != nullptr ? hostName : "");
        HostName.assign(AsWide(wideHost.Text()), AsWide(wideHost.Text()) + wideHost.Length());
        HostName.push_back(L'\0');

        SECURITY_STATUS status = FirstFlight(toSend);
        // An engine that no longer offers the older versions may refuse the whole set; TLS 1.2
        // alone still satisfies the caller when it asked for 1.2.
        const DWORD tls12Only = Credentials->EnabledProtocols() & SP_PROT_TLS1_2_CLIENT;
        if (!HaveContext && tls12Only != 0 && Credentials->EnabledProtocols() != tls12Only &&
            Credentials->Acquire(tls12Only) == SEC_E_OK) {
            status = FirstFlight(toSend);
        }
        if (status != SEC_I_CONTINUE_NEEDED) return Fail(FailureText("InitializeSecurityContextW", status));
        return State;
    }

    TLS_STATE Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& toSend,
                      std::vector<uint8_t>& plain) override {
        if (State == TLS_STATE::Failed || State == TLS_STATE::Closed) return State;
        if (!HaveContext) return Fail("Receive called before Start");
        Incoming.insert(Incoming.end(), bytes, bytes + count);
        bool progress = true;
        while (progress) {
            if (State == TLS_STATE::Handshaking) {
                progress = HandshakeStep(toSend);
            } else if (State == TLS_STATE::Established) {
                progress = DecryptStep(plain);
            } else {
                progress = false;
            }
        }
        return State;
    }

    bool Encrypt(const uint8_t* bytes, size_t count, std::vector<uint8_t>& toSend) override {
        if (State != TLS_STATE::Established || ShutDown) return false;
        while (count > 0) {
            const size_t chunk = std::min<size_t>(count, Sizes.cbMaximumMessage);
            const size_t start = toSend.size();
            toSend.resize(start + Sizes.cbHeader + chunk + Sizes.cbTrailer);
            uint8_t* record = toSend.data() + start;
            std::copy(bytes, bytes + chunk, record + Sizes.cbHeader);

            SecBuffer buffers[4] = {
                {Sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                {static_cast<ULONG>(chunk), SECBUFFER_DATA, record + Sizes.cbHeader},
                {Sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + Sizes.cbHeader + chunk},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = EncryptMessage(&Context, 0, &description, 0);
            if (status != SEC_E_OK) {
                toSend.resize(start);
                Error = FailureText("EncryptMessage", status);
                return false;
            }
            // The trailer may be shorter than its maximum; the three parts stay contiguous.
            toSend.resize(start + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
            bytes += chunk;
            count -= chunk;
        }
        return true;
    }

    void Shutdown(std::vector<uint8_t>& toSend) override {
        if (!HaveContext || ShutDown) return;
        ShutDown = true;
        DWORD shutdownToken = SCHANNEL_SHUTDOWN;
        SecBuffer controlBuffer{sizeof(shutdownToken), SECBUFFER_TOKEN, &shutdownToken};
        SecBufferDesc control{SECBUFFER_VERSION, 1, &controlBuffer};
        SECURITY_STATUS status = ApplyControlToken(&Context, &control);
        if (status != SEC_E_OK) {
            Error = FailureText("ApplyControlToken", status);
            return;
        }
        OUTPUT_TOKENS output;
        ULONG attributes = 0;
        status = InitializeSecurityContextW(Credentials->Get(), &Context, HostName.data(), RequestFlags, 0, 0,
                                            nullptr, 0, nullptr, output.Get(), &attributes, nullptr);
        if (FAILED(status)) {
            Error = FailureText("InitializeSecurityContextW", status);
            return;
        }
        output.AppendToken(toSend);
    }

    const TLS_SERVER_CERTIFICATE& ServerCertificate() const override { return Certificate; }
    const char* ProtocolName() const override { return Protocol; }
    const char* ErrorText() const override { return Error.c_str(); }

private:
    SECURITY_STATUS FirstFlight(std::vector<uint8_t>& toSend) {
        OUTPUT_TOKENS output;
        ULONG attributes = 0;
        const SECURITY_STATUS status =
            InitializeSecurityContextW(Credentials->Get(), nullptr, HostName.data(), RequestFlags, 0, 0, nullptr, 0,
                                       &Context, output.Get(), &attributes, nullptr);
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK) HaveContext = true;
        if (status == SEC_I_CONTINUE_NEEDED) output.AppendToken(toSend);
        return status;
    }

    // One InitializeSecurityContextW over the bytes received so far. True when it is worth
    // going on at once (bytes are left over, or the handshake ended and data may follow).
    bool HandshakeStep(std::vector<uint8_t>& toSend) {
        if (Incoming.empty() && !StepWithoutInput) return false;
        StepWithoutInput = false;

        SecBuffer input[2] = {
            {static_cast<ULONG>(Incoming.size()), SECBUFFER_TOKEN, Incoming.empty() ? nullptr : Incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
        OUTPUT_TOKENS output;
        ULONG attributes = 0;
        const SECURITY_STATUS status =
            InitializeSecurityContextW(Credentials->Get(), &Context, HostName.data(), RequestFlags, 0, 0,
                                       &inputDescription, 0, nullptr, output.Get(), &attributes, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return false;  // the bytes stay for the next piece

        // Alerts explaining a failure are sent too, so the server learns why.
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
            (FAILED(status) && (attributes & ISC_RET_EXTENDED_ERROR) != 0)) {
            output.AppendToken(toSend);
        }

        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate; this client has none, so it goes on
            // without one over the same bytes.
            if ((RequestFlags & ISC_REQ_USE_SUPPLIED_CREDS) != 0) {
                Fail(FailureText("InitializeSecurityContextW", status));
                return false;
            }
            RequestFlags |= ISC_REQ_USE_SUPPLIED_CREDS;
            return true;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            Fail(FailureText("InitializeSecurityContextW", status));
            return false;
        }

        const size_t before = Incoming.size();
        KeepExtra(input[1]);
        const bool consumed = Incoming.size() < before;
        if (status == SEC_I_CONTINUE_NEEDED) return consumed && !Incoming.empty();
        if (!HandshakeComplete()) return false;
        return !Incoming.empty();
    }

    // Bytes Schannel did not consume are the last ones of the input.
    void KeepExtra(const SecBuffer& extra) {
        if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= Incoming.size()) {
            Incoming.erase(Incoming.begin(), Incoming.end() - extra.cbBuffer);
        } else {
            Incoming.clear();
        }
    }

    bool HandshakeComplete() {
        SECURITY_STATUS status = QueryContextAttributesW(&Context, SECPKG_ATTR_STREAM_SIZES, &Sizes);
        if (status != SEC_E_OK) {
            Fail(FailureText("QueryContextAttributesW(SECPKG_ATTR_STREAM_SIZES)", status));
            return false;
        }
        if (Sizes.cbMaximumMessage == 0) {
            Fail("QueryContextAttributesW(SECPKG_ATTR_STREAM_SIZES) gave no maximum message size");
            return false;
        }
        SecPkgContext_ConnectionInfo connection{};
        status = QueryContextAttributesW(&Context, SECPKG_ATTR_CONNECTION_INFO, &connection);
        Protocol = status == SEC_E_OK ? ProtocolText(connection.dwProtocol) : "unknown";
        ReadServerCertificate();
        State = TLS_STATE::Established;
        return true;
    }

    void ReadServerCertificate() {
        Certificate = TLS_SERVER_CERTIFICATE();
        CERTIFICATE_CONTEXT certificate;
        const SECURITY_STATUS status =
            QueryContextAttributesW(&Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate.Context);
        if (status != SEC_E_OK || certificate.Context == nullptr) {
            Certificate.Status = FailureText("QueryContextAttributesW(SECPKG_ATTR_REMOTE_CERT_CONTEXT)", status);
            return;
        }
        const CERT_CONTEXT& context = *certificate.Context;
        Certificate.Encoded.assign(context.pbCertEncoded, context.pbCertEncoded + context.cbCertEncoded);
        Certificate.Subject = NameText(context.pCertInfo->Subject);
        Certificate.Issuer = NameText(context.pCertInfo->Issuer);

        TakeFingerprints(certificate.Context, Certificate);
        HCERTSTORE caStore = CaStore ? CaStore->Store : nullptr;
        Certificate.Problems = JudgeCertificate(certificate.Context, HostName.data(), caStore, Certificate.ProblemText);
        if (caStore != nullptr) {
            Certificate.Trusted = Certificate.Problems == 0;
            Certificate.Status = ProblemStatus(Certificate.Problems, Certificate.ProblemText);
            return;
        }

        std::string failedCall;
        const DWORD verdict = VerifyServerChain(certificate.Context, HostName.data(), failedCall);
        Certificate.Trusted = verdict == 0 && failedCall.empty();
        if (!failedCall.empty()) {
            Certificate.Status = FailureText(failedCall.c_str(), static_cast<SECURITY_STATUS>(verdict));
        } else {
            const STRING_A text(GetErrorText(verdict));
            if (!text.IsEmpty()) {
                Certificate.Status.assign(text.Text(), text.Length());
            } else {
                char code[64];
                std::snprintf(code, sizeof code, "Certificate verification error 0x%08lX",
                              static_cast<unsigned long>(verdict));
                Certificate.Status = code;
            }
        }
    }

    // One DecryptMessage over the front of the received bytes. True when it is worth going
    // on at once.
    bool DecryptStep(std::vector<uint8_t>& plain) {
        if (Incoming.empty()) return false;
        SecBuffer buffers[4] = {
            {static_cast<ULONG>(Incoming.size()), SECBUFFER_DATA, Incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&Context, &description, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            Incoming.clear();
            State = TLS_STATE::Closed;
            return false;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            Fail(FailureText("DecryptMessage", status));
            return false;
        }

        const bool alertRecord = Incoming[0] == ALERT_RECORD;
        const size_t plainBefore = plain.size();
        // Decryption happens in place, so the plain text lies inside Incoming: copy it out
        // before the consumed bytes are dropped.
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
                const uint8_t* data = static_cast<const uint8_t*>(buffer.pvBuffer);
                plain.insert(plain.end(), data, data + buffer.cbBuffer);
            } else if (buffer.BufferType == SECBUFFER_EXTRA) {
                extra = &buffer;
            }
        }
        const size_t before = Incoming.size();
        KeepExtra(extra != nullptr ? *extra : SecBuffer{0, SECBUFFER_EMPTY, nullptr});
        // Windows reports the peer's close_notify as SEC_I_CONTEXT_EXPIRED; Wine decrypts it
        // to nothing with SEC_E_OK. Up to TLS 1.2 the record type is in the clear, and an
        // alert that is not fatal and carries no data can only be the close.
        if (status == SEC_E_OK && alertRecord && plain.size() == plainBefore) {
            Incoming.clear();
            State = TLS_STATE::Closed;
            return false;
        }

        if (status == SEC_I_RENEGOTIATE) {
            // The server starts a new handshake (or, in TLS 1.3, sends a post-handshake
            // message): the left-over bytes go to InitializeSecurityContextW, which must run
            // even when none are left over.
            State = TLS_STATE::Handshaking;
            StepWithoutInput = true;
            return true;
        }
        return Incoming.size() < before;
    }

    TLS_STATE Fail(std::string text) {
        Error = std::move(text);
        State = TLS_STATE::Failed;
        return State;
    }

    std::unique_ptr<CREDENTIALS> Credentials;
    std::unique_ptr<CERTIFICATE_STORE> CaStore;  // null: the system's store
    CtxtHandle Context{};
    bool HaveContext = false;
    ULONG RequestFlags = HANDSHAKE_REQUEST;
    std::vector<wchar_t> HostName;  // terminated, for SNI and the name check
    std::vector<uint8_t> Incoming;  // received, not yet consumed by Schannel
    bool StepWithoutInput = false;
    bool ShutDown = false;
    SecPkgContext_StreamSizes Sizes{};
    TLS_STATE State = TLS_STATE::Handshaking;
    TLS_SERVER_CERTIFICATE Certificate;
    const char* Protocol = "";
    std::string Error;
};

}  // namespace

std::unique_ptr<TLS_CLIENT_SESSION> CreateTlsClientSession(uint32_t enabledProtocols, std::string& failure,
                                                           const std::string& caFile) {
    const DWORD requested = enabledProtocols & CLIENT_PROTOCOL_BITS;
    if (requested == 0) {
        char text[64];
        std::snprintf(text, sizeof text, "no client protocol among 0x%08lX", static_cast<unsigned long>(enabledProtocols));
        failure = text;
        return nullptr;
    }
    auto credentials = std::make_unique<CREDENTIALS>();
    SECURITY_STATUS status = credentials->Acquire(requested);
    // Engines that have dropped TLS 1.1 (or never had 1.3 in this form) may refuse the set.
    const DWORD tls12Only = requested & SP_PROT_TLS1_2_CLIENT;
    if (status != SEC_E_OK && tls12Only != 0 && tls12Only != requested) status = credentials->Acquire(tls12Only);
    if (status != SEC_E_OK) {
        failure = FailureText("AcquireCredentialsHandleW", status);
        return nullptr;
    }
    std::unique_ptr<CERTIFICATE_STORE> caStore;
    if (!caFile.empty()) {
        caStore = std::make_unique<CERTIFICATE_STORE>();
        if (!LoadCaFile(caFile, *caStore, failure)) return nullptr;
    }
    return std::make_unique<SSPI_TLS_SESSION>(std::move(credentials), std::move(caStore));
}

}  // namespace qv
