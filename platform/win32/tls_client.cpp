// The TLS client session on Windows: Schannel through SSPI, fed and drained by the caller.
// Received bytes collect in one buffer until Schannel can take a whole handshake message or
// record from its front; what Schannel leaves over (SECBUFFER_EXTRA) stays for the next step.
#include "platform/tls_client.h"

#include "platform/win32/win32.h"

#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>
#include <schannel.h>

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

// The chain to a trusted root and the host name, as an HTTPS client would check them.
// Returns the verification result: 0 when trusted, else the first problem found.
DWORD VerifyServerChain(PCCERT_CONTEXT certificate, const wchar_t* hostName, std::string& failedCall) {
    char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuthentication};
    CERT_CHAIN_PARA chainSettings{};
    chainSettings.cbSize = sizeof(chainSettings);
    chainSettings.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainSettings.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainSettings.RequestedUsage.Usage.rgpszUsageIdentifier = usages;

    CERTIFICATE_CHAIN chain;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainSettings, 0, nullptr,
                                 &chain.Chain)) {
        failedCall = "CertGetCertificateChain";
        return GetLastError();
    }

    HTTPSPolicyCallbackData sslSettings{};
    sslSettings.cbStruct = sizeof(sslSettings);
    sslSettings.dwAuthType = AUTHTYPE_SERVER;
    sslSettings.pwszServerName = const_cast<wchar_t*>(hostName);
    CERT_CHAIN_POLICY_PARA policySettings{};
    policySettings.cbSize = sizeof(policySettings);
    policySettings.pvExtraPolicyPara = &sslSettings;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof(policyStatus);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.Chain, &policySettings, &policyStatus)) {
        failedCall = "CertVerifyCertificateChainPolicy";
        return GetLastError();
    }
    return policyStatus.dwError;
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
    explicit SSPI_TLS_SESSION(std::unique_ptr<CREDENTIALS> credentials) : Credentials(std::move(credentials)) {}
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

std::unique_ptr<TLS_CLIENT_SESSION> CreateTlsClientSession(uint32_t enabledProtocols, std::string& failure) {
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
    return std::make_unique<SSPI_TLS_SESSION>(std::move(credentials));
}

}  // namespace qv
