#include "identity/tcp_client_component.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/error_codes.h"
#include "base/string.h"
#include "identity/ip_port.h"
#include "platform/error_text.h"
#include "support/debug_log.h"

namespace qv {

namespace {

// Per pump at most this many receive buffers are taken, so a peer that never stops sending
// cannot hold the owner's thread; the socket stays readable and the next pump goes on.
constexpr size_t RECEIVE_CHUNK = 16384;
constexpr int RECEIVES_PER_PUMP = 64;

std::string ErrorText(uint32_t code) {
    const STRING text = GetErrorText(code);
    if (text.IsEmpty()) return "Error " + std::to_string(code);
    return STRING_A(text).Text();
}

bool SameName(const char* text, size_t length, const char* name) {
    if (std::strlen(name) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        const char a = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        const char b = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        if (a != b) return false;
    }
    return true;
}

// A whole unsigned 32-bit number in decimal or, with 0x, hexadecimal.
bool ParseUnsigned(const char* text, uint32_t& value) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ') return false;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

class PUMP_SCOPE {
public:
    explicit PUMP_SCOPE(bool& flag) : Flag(flag) { Flag = true; }
    PUMP_SCOPE(const PUMP_SCOPE&) = delete;
    PUMP_SCOPE& operator=(const PUMP_SCOPE&) = delete;
    ~PUMP_SCOPE() { Flag = false; }

private:
    bool& Flag;
};

}  // namespace

TCP_CLIENT_COMPONENT::TCP_CLIENT_COMPONENT(IPPort& owner, bool secure) : Owner(owner), Secure(secure) {}

TCP_CLIENT_COMPONENT::~TCP_CLIENT_COMPONENT() { CloseQuietly(); }

// --- operations -----------------------------------------------------------------------------

int TCP_CLIENT_COMPONENT::Config(const char* setting) {
    const char* equals = setting != nullptr ? std::strchr(setting, '=') : nullptr;
    if (equals == nullptr) {
        return Remember(ERR_INVALID_PARAMETER, std::string("Invalid setting \"") + (setting ? setting : "") + "\"");
    }
    const size_t nameLength = static_cast<size_t>(equals - setting);
    if (SameName(setting, nameLength, "SSLEnabledProtocols")) {
        uint32_t protocols = 0;
        if (!ParseUnsigned(equals + 1, protocols)) {
            return Remember(ERR_INVALID_PARAMETER, std::string("Invalid value in \"") + setting + "\"");
        }
        EnabledProtocols = protocols;
        return 0;
    }
    if (SameName(setting, nameLength, "SSLTrustedCAFile")) {
        TrustedCaFile = equals + 1;
        return 0;
    }
    return Remember(ERR_INVALID_PARAMETER, "Unknown setting \"" + std::string(setting, nameLength) + "\"");
}

int TCP_CLIENT_COMPONENT::SetTimeout(int32_t seconds) {
    if (seconds < 0) return Remember(ERR_INVALID_PARAMETER, "The timeout cannot be negative");
    TimeoutSeconds = seconds;
    return 0;
}

int TCP_CLIENT_COMPONENT::Connect(const char* host, uint32_t port) {
    // A new attempt replaces whatever was there, including events of the old connection not
    // yet delivered: they would be taken for the outcome of this attempt.
    CloseQuietly();
    Events.clear();
    Host = host != nullptr ? host : "";
    uint32_t code = ERR_SUCCESS;
    if (Host.empty()) {
        code = ERR_WSAEDESTADDRREQ;
    } else if (port == 0 || port > 0xFFFF) {
        code = ERR_WSAEADDRNOTAVAIL;
    } else {
        code = Socket.StartConnect(Host.c_str(), static_cast<uint16_t>(port));
    }
    if (code != ERR_SUCCESS) {
        FailConnect(code, ErrorText(code));
        return static_cast<int>(code);
    }
    Phase = PHASE::Connecting;
    HasDeadline = TimeoutSeconds > 0;
    if (HasDeadline) {
        Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TimeoutSeconds);
        const uint64_t milliseconds = static_cast<uint64_t>(TimeoutSeconds) * 1000u;
        Socket.SetAlarm(milliseconds > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(milliseconds));
    }
    UpdateWatch();
    return 0;
}

int TCP_CLIENT_COMPONENT::Send(const uint8_t* bytes, uint32_t length) {
    if (Phase != PHASE::Connected) return Remember(ERR_WSAENOTCONN);
    if (bytes == nullptr && length != 0) return Remember(ERR_WSAEFAULT);
    if (Tls) {
        if (!Tls->Encrypt(bytes, length, Outgoing)) {
            const std::string text = Tls->ErrorText();
            Lose(static_cast<uint32_t>(IPPORT_ERROR_TLS), text);
            return Remember(static_cast<uint32_t>(IPPORT_ERROR_TLS), text);
        }
    } else {
        Outgoing.insert(Outgoing.end(), bytes, bytes + length);
    }
    const uint32_t code = Flush();
    if (code != ERR_SUCCESS) {
        Lose(code, ErrorText(code));
        return Remember(code);
    }
    UpdateWatch();
    return 0;
}

int TCP_CLIENT_COMPONENT::PumpEvents() {
    // A pump from inside an event operation leaves the delivery to the pump already running.
    if (Pumping) return 0;
    const PUMP_SCOPE scope(Pumping);
    Socket.RearmReadiness();
    Advance();
    while (!Events.empty()) {
        QUEUED_EVENT event = std::move(Events.front());
        Events.pop_front();
        Deliver(event);
    }
    return 0;
}

int TCP_CLIENT_COMPONENT::Disconnect() {
    const bool wasOpen = Phase == PHASE::Handshaking || Phase == PHASE::Connected;
    if (Phase == PHASE::Connected && Tls) {
        // close_notify, best effort: whatever the socket does not take now is dropped.
        std::vector<uint8_t> closing;
        Tls->Shutdown(closing);
        Outgoing.insert(Outgoing.end(), closing.begin(), closing.end());
        Flush();
    }
    CloseQuietly();
    // Delivered now rather than queued, so it can never be mistaken for the outcome of a
    // later connection attempt.
    Events.clear();
    if (wasOpen) {
        DISCONNECTED_EVENT_ARGS args{0, "Disconnected"};
        Owner.FireEvent(IPPORT_EVENT_DISCONNECTED, &args);
    }
    return 0;
}

// --- events -----------------------------------------------------------------------------------

void TCP_CLIENT_COMPONENT::Queue(int32_t number, int32_t code, std::string text, std::vector<uint8_t> bytes) {
    Events.push_back(QUEUED_EVENT{number, code, std::move(text), std::move(bytes)});
    // Queued outside a pump (by Connect, Send, ...): the activity handle stays signalled until
    // a pump has delivered it. A running pump delivers everything before it returns.
    if (!Pumping) Socket.SignalWork();
}

void TCP_CLIENT_COMPONENT::Deliver(QUEUED_EVENT& event) {
    switch (event.Number) {
        case IPPORT_EVENT_CONNECTED: {
            CONNECTED_EVENT_ARGS args{event.Code, event.Text.c_str()};
            Owner.FireEvent(event.Number, &args);
            break;
        }
        case IPPORT_EVENT_DATA_IN: {
            DATA_IN_EVENT_ARGS args{event.Bytes.data(), 0, static_cast<int32_t>(event.Bytes.size())};
            Owner.FireEvent(event.Number, &args);
            break;
        }
        case IPPORT_EVENT_DISCONNECTED: {
            DISCONNECTED_EVENT_ARGS args{event.Code, event.Text.c_str()};
            Owner.FireEvent(event.Number, &args);
            break;
        }
        case IPPORT_EVENT_ERROR: {
            ERROR_EVENT_ARGS args{event.Code, event.Text.c_str()};
            Owner.FireEvent(event.Number, &args);
            break;
        }
        case IPPORT_EVENT_READY_TO_SEND: {
            READY_TO_SEND_EVENT_ARGS args{0};
            Owner.FireEvent(event.Number, &args);
            break;
        }
        case IPPORT_EVENT_SSL_STATUS: {
            SSL_STATUS_EVENT_ARGS args{event.Text.c_str()};
            Owner.FireEvent(event.Number, &args);
            break;
        }
        case IPPORT_EVENT_SSL_SERVER_AUTHENTICATION: DeliverServerAuthentication(); break;
        default: break;
    }
}

// The owner sees the certificate with the session's verdict and has the last word.
void TCP_CLIENT_COMPONENT::DeliverServerAuthentication() {
    if (Phase != PHASE::Handshaking || !Tls) return;  // the connection has gone meanwhile
    const TLS_CLIENT_SESSION* session = Tls.get();
    // A copy: the texts must outlive the session should the event operation disconnect.
    const TLS_SERVER_CERTIFICATE certificate = Tls->ServerCertificate();
    SSL_SERVER_AUTHENTICATION_EVENT_ARGS args{certificate.Encoded.data(),
                                              static_cast<int32_t>(certificate.Encoded.size()),
                                              certificate.Subject.c_str(),
                                              certificate.Issuer.c_str(),
                                              certificate.Status.c_str(),
                                              certificate.Trusted ? 1 : 0,
                                              certificate.Problems,
                                              certificate.ProblemText.c_str(),
                                              certificate.HaveFingerprints ? certificate.CertificateSha256.data() : nullptr,
                                              certificate.HaveFingerprints ? certificate.PublicKeySha256.data() : nullptr,
                                              nullptr};
    Owner.FireEvent(IPPORT_EVENT_SSL_SERVER_AUTHENTICATION, &args);
    // The event operation may have disconnected or even started another connection.
    if (Phase != PHASE::Handshaking || Tls.get() != session) return;
    if (args.Accept == 0) {
        // Nothing more of this connection reaches the owner (data that came with the handshake
        // included).
        Events.clear();
        FailTls("The server certificate was not accepted: " +
                (args.RefusalReason != nullptr ? std::string(args.RefusalReason) : certificate.Status));
        return;
    }
    Phase = PHASE::Connected;
    // Ahead of any data that arrived with the end of the handshake.
    Events.push_front(QUEUED_EVENT{IPPORT_EVENT_READY_TO_SEND, 0, {}, {}});
    Events.push_front(QUEUED_EVENT{IPPORT_EVENT_CONNECTED, 0, {}, {}});
}

// --- socket work ------------------------------------------------------------------------------

void TCP_CLIENT_COMPONENT::Advance() {
    if (Phase == PHASE::Connecting) AdvanceConnect();
    if (Phase == PHASE::Handshaking || Phase == PHASE::Connected) {
        ReceiveAvailable();
        if (Socket.IsOpen()) {
            const uint32_t code = Flush();
            if (code != ERR_SUCCESS) Broken(code, ErrorText(code));
        }
    }
    CheckDeadline();
    UpdateWatch();
}

void TCP_CLIENT_COMPONENT::AdvanceConnect() {
    const uint32_t code = Socket.CheckConnect();
    if (code == ERR_WSAEWOULDBLOCK) return;
    if (code != ERR_SUCCESS) {
        FailConnect(code, ErrorText(code));
        return;
    }
    if (Secure) {
        StartHandshake();
        return;
    }
    Phase = PHASE::Connected;
    StopDeadline();
    Queue(IPPORT_EVENT_CONNECTED);
    Queue(IPPORT_EVENT_READY_TO_SEND);
}

void TCP_CLIENT_COMPONENT::StartHandshake() {
    Phase = PHASE::Handshaking;
    HandshakeDone = false;
    std::string failure;
    Tls = CreateTlsClientSession(EnabledProtocols, failure, TrustedCaFile);
    if (!Tls) {
        DebugLogExA(DBGOUT_CUSTOM2, "TLS client session: %s", failure.c_str());
        // A CA file that cannot be used is the administrator's to mend: the failure says which.
        FailTls(TrustedCaFile.empty() ? "The TLS engine could not be initialised" : failure);
        return;
    }
    if (Tls->Start(Host.c_str(), Outgoing) == TLS_STATE::Failed) FailTls(Tls->ErrorText());
}

void TCP_CLIENT_COMPONENT::ReceiveAvailable() {
    uint8_t buffer[RECEIVE_CHUNK];
    for (int round = 0; round < RECEIVES_PER_PUMP && Socket.IsOpen(); ++round) {
        size_t received = 0;
        const uint32_t code = Socket.Receive(buffer, sizeof(buffer), received);
        if (code == ERR_WSAEWOULDBLOCK) return;
        if (code != ERR_SUCCESS) {
            Broken(code, ErrorText(code));
            return;
        }
        if (received == 0) {
            Broken(ERR_SUCCESS, "The connection was closed by the peer");
            return;
        }
        TakeReceived(buffer, received);
    }
    // More may be waiting; the socket stays readable, so the next pump goes on.
}

void TCP_CLIENT_COMPONENT::TakeReceived(const uint8_t* bytes, size_t count) {
    if (!Tls) {
        Queue(IPPORT_EVENT_DATA_IN, 0, {}, std::vector<uint8_t>(bytes, bytes + count));
        return;
    }
    std::vector<uint8_t> plain;
    const TLS_STATE state = Tls->Receive(bytes, count, Outgoing, plain);
    if (state == TLS_STATE::Failed) {
        Broken(static_cast<uint32_t>(IPPORT_ERROR_TLS), Tls->ErrorText());
        return;
    }
    if (!HandshakeDone && state != TLS_STATE::Handshaking) {
        HandshakeDone = true;
        StopDeadline();
        Queue(IPPORT_EVENT_SSL_STATUS, 0, std::string("TLS handshake complete: ") + Tls->ProtocolName());
        Queue(IPPORT_EVENT_SSL_SERVER_AUTHENTICATION);
    }
    if (!plain.empty()) Queue(IPPORT_EVENT_DATA_IN, 0, {}, std::move(plain));
    if (state == TLS_STATE::Closed) Broken(ERR_SUCCESS, "The peer closed the TLS session");
}

uint32_t TCP_CLIENT_COMPONENT::Flush() {
    while (OutgoingStart < Outgoing.size()) {
        size_t sent = 0;
        const uint32_t code = Socket.Send(Outgoing.data() + OutgoingStart, Outgoing.size() - OutgoingStart, sent);
        OutgoingStart += sent;
        if (code != ERR_SUCCESS) return code;
        if (sent == 0) break;
    }
    if (OutgoingStart == Outgoing.size()) {
        Outgoing.clear();
        OutgoingStart = 0;
    }
    return ERR_SUCCESS;
}

void TCP_CLIENT_COMPONENT::CheckDeadline() {
    if (!HasDeadline || std::chrono::steady_clock::now() < Deadline) return;
    if (Phase == PHASE::Connecting) {
        FailConnect(ERR_WSAETIMEDOUT, ErrorText(ERR_WSAETIMEDOUT));
    } else if (Phase == PHASE::Handshaking && !HandshakeDone) {
        FailTls("The TLS handshake did not finish within the timeout");
    }
    StopDeadline();
}

void TCP_CLIENT_COMPONENT::StopDeadline() {
    if (!HasDeadline) return;
    HasDeadline = false;
    Socket.SetAlarm(0);
}

void TCP_CLIENT_COMPONENT::UpdateWatch() {
    Socket.WatchWritable(Phase == PHASE::Connecting || OutgoingStart < Outgoing.size());
}

// --- outcomes ---------------------------------------------------------------------------------

void TCP_CLIENT_COMPONENT::FailConnect(uint32_t code, const std::string& description) {
    Remember(code, description);
    CloseQuietly();
    Queue(IPPORT_EVENT_CONNECTED, static_cast<int32_t>(code), description);
}

// A TLS failure is reported as the TLS error and also as the end of the connection attempt,
// so a waiter for the connection learns at once that it is over.
void TCP_CLIENT_COMPONENT::FailTls(const std::string& description) {
    Remember(static_cast<uint32_t>(IPPORT_ERROR_TLS), description);
    CloseQuietly();
    Queue(IPPORT_EVENT_ERROR, IPPORT_ERROR_TLS, description);
    Queue(IPPORT_EVENT_CONNECTED, IPPORT_ERROR_TLS, description);
}

// The connection ended (code 0: closed in order by the peer).
void TCP_CLIENT_COMPONENT::Lose(uint32_t code, const std::string& description) {
    if (code != ERR_SUCCESS) Remember(code, description);
    CloseQuietly();
    Queue(IPPORT_EVENT_DISCONNECTED, static_cast<int32_t>(code), description);
}

void TCP_CLIENT_COMPONENT::Broken(uint32_t code, const std::string& description) {
    if (Phase == PHASE::Handshaking) {
        FailTls(code == ERR_SUCCESS ? "The server closed the connection during the TLS handshake" : description);
    } else {
        Lose(code, description);
    }
}

void TCP_CLIENT_COMPONENT::CloseQuietly() {
    Socket.Close();
    StopDeadline();
    Tls.reset();
    HandshakeDone = false;
    Outgoing.clear();
    OutgoingStart = 0;
    Phase = PHASE::Idle;
    UpdateWatch();
}

int TCP_CLIENT_COMPONENT::Remember(uint32_t code) { return Remember(code, ErrorText(code)); }

int TCP_CLIENT_COMPONENT::Remember(uint32_t code, const std::string& text) {
    LastError = text;
    return static_cast<int>(code);
}

}  // namespace qv
