#include "identity/identity_protocol.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/system_text.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "support/health.h"

namespace qv {

namespace {

constexpr uint32_t WAIT_SLICE_MS = 2;
constexpr uint32_t SECURE_PROTOCOLS = 3840;  // TLS 1.1 and 1.2, client and server bits

std::atomic<IDENTITY_PROTOCOL*> Current{nullptr};

}  // namespace

STRING EventNames(uint32_t mask) {
    static const struct {
        uint32_t Flag;
        const char16_t* Name;
    } NAMES[] = {
        {PROTOCOL_EVENT_ERROR, u"Error"},
        {PROTOCOL_EVENT_CONNECTED, u"Connected"},
        {PROTOCOL_EVENT_READY_TO_SEND, u"Ready to send"},
        {PROTOCOL_EVENT_DATA_IN, u"Data in"},
        {PROTOCOL_EVENT_DISCONNECTED, u"Disconnected"},
        {PROTOCOL_EVENT_CERTIFICATE_ERROR, u"Certificate error"},
    };
    STRING names;
    for (const auto& entry : NAMES) {
        if (!(mask & entry.Flag)) continue;
        STRING joined;
        FormatString(joined, names.IsEmpty() ? u"%s%s" : u"%s, %s", names, entry.Name);
        names = std::move(joined);
    }
    return names;
}

IDENTITY_PROTOCOL* CurrentConnection() { return Current.load(); }
void SetCurrentConnection(IDENTITY_PROTOCOL* connection) { Current.store(connection); }

IDENTITY_PROTOCOL::IDENTITY_PROTOCOL(IDENTITY_CONTEXT context)
    : Environment(std::move(context)), SecureConnection(*this), PlainConnection(*this) {
    STRING_A setting;
    FormatString(setting, "SSLEnabledProtocols=%u", SECURE_PROTOCOLS);
    SecureConnection.Config(setting.Text());
    // A failure here shows later as a failed wait, which every caller handles.
    EventsHandle.Create(false);
    TimerHandle.Create(false);
    if (Environment.StopEvent == nullptr) NeverSet.Create(true, false);
}

const WAITABLE& IDENTITY_PROTOCOL::StopEvent() const {
    return Environment.StopEvent != nullptr ? *Environment.StopEvent : NeverSet;
}

IDENTITY_PROTOCOL::~IDENTITY_PROTOCOL() {
    if (Current.load() == this) Current.store(nullptr);
}

IPPort& IDENTITY_PROTOCOL::ConnectionInUse() {
    if (ConnectionMode == CONNECTION_MODE_PLAIN) return PlainConnection;
    return SecureConnection;
}

bool IDENTITY_PROTOCOL::ConnectPlain() {
    return ConnectWith(CONNECTION_MODE_PLAIN, IDENTITY_PLAIN_PORT, u"Connecting to Identity server = %s:%u ...");
}

bool IDENTITY_PROTOCOL::ConnectSecure() {
    // The trust is taken once per attempt, so that the handshake judges by what it was told.
    TrustInUse = Environment.Trust();
    STRING_A caFile;
    if (TrustInUse.Verify == TLS_VERIFY_CHAIN) caFile = STRING_A(TrustInUse.CaFile);
    SecureConnection.Config((std::string("SSLTrustedCAFile=") + caFile.Text()).c_str());
    return ConnectWith(CONNECTION_MODE_SECURE, IDENTITY_SECURE_PORT,
                       u"Connecting to Identity server = %s:%u (secure) ...");
}

bool IDENTITY_PROTOCOL::ConnectWith(uint32_t mode, uint32_t port, const char16_t* line) {
    ConnectionMode = mode;
    {
        std::lock_guard lock(Lock);
        PendingEvents = 0;
    }
    // Bytes left from an earlier connection answer nothing on this one.
    DiscardReceived();
    DebugLogEx(DBGOUT_CUSTOM2, line, Server, port);
    ConnectionInUse().Connect(STRING_A(Server).Text(), port);
    return Wait(IDENTITY_TIMEOUT_SECONDS, PROTOCOL_EVENT_CONNECTED | PROTOCOL_EVENT_READY_TO_SEND) ==
           PROTOCOL_WAIT_SIGNALED;
}

bool IDENTITY_PROTOCOL::ConnectByProtocol() {
    ConnectionInUse().SetTimeout(IDENTITY_TIMEOUT_SECONDS);
    bool connected = false;
    uint32_t protocol = Environment.IdentityProtocol();
    // A certificate that must be verified is no reason to fall back to plain TCP, where
    // nothing is verified: automatic means TLS alone then.
    if (protocol != PROTOCOL_TCP && Environment.Trust().Verify != TLS_VERIFY_NONE) protocol = PROTOCOL_SECURE_TCP;
    if (protocol == PROTOCOL_SECURE_TCP) {
        connected = ConnectSecure();
    } else if (protocol == PROTOCOL_TCP) {
        connected = ConnectPlain();
    } else if (ConnectionMode == CONNECTION_MODE_SECURE) {
        connected = ConnectSecure();
    } else if (ConnectionMode == CONNECTION_MODE_PLAIN) {
        connected = ConnectPlain();
    } else {
        connected = ConnectSecure() || ConnectPlain();
        if (!connected) ConnectionMode = CONNECTION_MODE_NONE;
    }
    if (connected) Disconnected = false;
    return connected;
}

std::vector<STRING> IDENTITY_PROTOCOL::ServerList() const {
    std::vector<STRING> servers{Primary};
    for (STRING& fallback : Environment.FallbackServers()) {
        if (fallback.IsEmpty()) continue;
        bool listed = false;
        for (const STRING& server : servers) listed = listed || EqualsIgnoringCase(server, fallback);
        if (!listed) servers.push_back(std::move(fallback));
    }
    return servers;
}

bool IDENTITY_PROTOCOL::ConnectRound(bool logEach) {
    Primary = Environment.IdentityServer();
    const std::vector<STRING> servers = ServerList();
    // The server in use first (the one a lost connection went to), then the list's order.
    size_t current = 0;
    for (size_t i = 0; i < servers.size(); ++i) {
        if (EqualsIgnoringCase(servers[i], Server)) current = i;
    }
    std::vector<size_t> order{current};
    for (size_t i = 0; i < servers.size(); ++i) {
        if (i != current) order.push_back(i);
    }
    for (size_t index : order) {
        Server = servers[index];
        if (logEach) DebugLogEx(DBGOUT_VERBOSE, u"Connecting to Identity server = \"%s\" ...", Server);
        if (ConnectByProtocol()) {
            if (logEach) DebugLog(u"Connected to Identity server = \"%s\" ...", Server);
            ConnectionMade(servers.size() > 1);
            return true;
        }
        if (logEach) DebugLog(u"Connect to Identity server = \"%s\" failed", Server);
    }
    Health().SetServer(STRING());
    Environment.AfterRound();
    return false;
}

void IDENTITY_PROTOCOL::ConnectionMade(bool failoverConfigured) {
    const bool switched = EverConnected && !EqualsIgnoringCase(Server, LastConnected);
    if (EverConnected) Health().Add(HEALTH_RECONNECTS);
    if (switched) Health().Add(HEALTH_FAILOVERS);
    // Without fallbacks a change of server is the settings' doing, and says so itself.
    if (switched && failoverConfigured) {
        DebugLog(u"Identity server in use changed from \"%s\" to \"%s\"", LastConnected, Server);
    }
    const bool resend = EverConnected && ((switched && failoverConfigured) ||
                                          (!ReturningToFallback && Environment.ResendOnReconnect()));
    if (resend) ++Epoch;
    if (switched || !EverConnected) SinceFallbackOrTry.Restart();
    EverConnected = true;
    LastConnected = Server;
    Health().SetServer(Server);
    Environment.AfterRound();
}

bool IDENTITY_PROTOCOL::Connect() { return ConnectRound(ServerList().size() > 1); }

bool IDENTITY_PROTOCOL::PersistentConnect() {
    for (;;) {
        if (ConnectRound(true)) return true;
        if (!Environment.RetryConnections) return false;

        const WAITABLE* objects[] = {&StopEvent(), Environment.SettingsChangedEvent};
        uint32_t result = WaitForAny(std::span(objects, Environment.SettingsChangedEvent != nullptr ? 2 : 1), RetryPauseMs);
        if (result == 0) {
            DebugLogText(u"IDENTITY_PROTOCOL::PersistentConnect Service stop signaled");
            return false;
        }
        if (result == 1) {
            DebugLogText(u"IDENTITY_PROTOCOL::PersistentConnect Settings changed");
            continue;
        }
        if (result == WAIT_TIMED_OUT) continue;
        if (result == WAIT_FAILED_RESULT) {
            uint32_t code = GetLastErrorCode();
            DebugLog(u"IDENTITY_PROTOCOL::PersistentConnect Wait failed. %s. Error code = %lu.", GetErrorText(code),
                     code);
            return false;
        }
        STRING reason;
        FormatString(reason, u"Unexpected Identity connect wait result = %lu", result);
        Environment.RequestStop(reason.Text());
        return false;
    }
}

bool IDENTITY_PROTOCOL::ReturnToPrimaryIfDue() {
    if (Disconnected || Primary.IsEmpty() || EqualsIgnoringCase(Server, Primary) ||
        SinceFallbackOrTry.ElapsedMilliseconds() < PrimaryRetryMs) {
        return false;
    }
    SinceFallbackOrTry.Restart();
    const STRING fallback = Server;
    DebugLog(u"Trying the primary Identity server = \"%s\" again ...", Primary);
    Drop();
    Server = Primary;
    if (ConnectByProtocol()) {
        DebugLog(u"Connected to Identity server = \"%s\" ...", Server);
        ConnectionMade(true);
        return true;
    }
    DebugLog(u"Connect to Identity server = \"%s\" failed; going on with \"%s\"", Primary, fallback);
    Server = fallback;
    ReturningToFallback = true;
    PersistentConnect();
    ReturningToFallback = false;
    return false;
}

uint32_t IDENTITY_PROTOCOL::Wait(uint32_t seconds, uint32_t wanted) { return WaitMs(seconds * 1000, wanted); }

uint32_t IDENTITY_PROTOCOL::WaitMs(uint32_t milliseconds, uint32_t wanted) {
    if (!TimerHandle.Set(-static_cast<int64_t>(milliseconds) * 10000, milliseconds)) return PROTOCOL_WAIT_ERROR;
    // However the wait ends, its timer stops with it.
    struct DISARM {
        WAITABLE_TIMER& Timer;
        ~DISARM() { Timer.Cancel(); }
    } disarm{TimerHandle};
    DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_PROTOCOL::Wait for events = [%s]", EventNames(wanted));

    for (;;) {
        IPPort& connection = ConnectionInUse();
        connection.PumpEvents();
        // Besides the three objects of the wait, the component's own activity: a response
        // is taken the moment it arrives instead of at the next slice.
        const WAITABLE* objects[] = {&StopEvent(), &EventsHandle, &TimerHandle, &connection.ActivityHandle()};
        uint32_t count = connection.ActivityHandle().IsValid() ? 4 : 3;
        uint32_t result = WaitForAny(std::span(objects, count), WAIT_SLICE_MS);
        switch (result) {
            case 0:
                DebugLogText(u"IDENTITY_PROTOCOL::Wait: Service shutting down");
                Disconnected = true;
                connection.Disconnect();
                Health().SetServer(STRING());
                return PROTOCOL_WAIT_STOPPING;
            case 1: {
                std::lock_guard lock(Lock);
                DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_PROTOCOL::Wait events signaled = [%s]", EventNames(PendingEvents));
                if (PendingEvents & PROTOCOL_EVENT_ERROR) {
                    PendingEvents = 0;
                    return PROTOCOL_WAIT_ERROR;
                }
                if ((PendingEvents & wanted) == wanted) {
                    PendingEvents = 0;
                    return PROTOCOL_WAIT_SIGNALED;
                }
                break;
            }
            case 2:
                DebugLogTextEx(DBGOUT_VERBOSE, u"IDENTITY_PROTOCOL::Wait: Time-out");
                return PROTOCOL_WAIT_TIMEOUT;
            case 3:
            case WAIT_TIMED_OUT:
                break;
            case WAIT_FAILED_RESULT: {
                uint32_t code = GetLastErrorCode();
                DebugLog(u"IDENTITY_PROTOCOL::Wait: Wait failed. %s. Error code = %lu.", GetErrorText(code), code);
                return PROTOCOL_WAIT_ERROR;
            }
            default:
                DebugLog(u"IDENTITY_PROTOCOL::Wait: Unexpected wait result = %ld", static_cast<int32_t>(result));
                return PROTOCOL_WAIT_ERROR;
        }
    }
}

void IDENTITY_PROTOCOL::Set(uint32_t flags) {
    DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_PROTOCOL::Set events = [%s]", EventNames(flags));
    {
        std::lock_guard lock(Lock);
        PendingEvents |= flags;
    }
    EventsHandle.Set();
}

void IDENTITY_PROTOCOL::DataIn(const uint8_t* bytes, uint32_t count) {
    DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_PROTOCOL::DataIn: Length = %d", static_cast<int32_t>(count));
    {
        std::lock_guard lock(Lock);
        uint32_t old = ReceiveBuffer.Size();
        // Bytes that cannot be kept are dropped whole; the response check then fails cleanly.
        if (count > UINT32_MAX - old || !ReceiveBuffer.Resize(old + count)) return;
        std::memcpy(ReceiveBuffer.Data() + old, bytes, count);
        PendingEvents |= PROTOCOL_EVENT_DATA_IN;
    }
    EventsHandle.Set();
}

void IDENTITY_PROTOCOL::DiscardReceived() {
    std::lock_guard lock(Lock);
    if (ReceiveBuffer.Size() != 0) {
        DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_PROTOCOL: Dropping %lu bytes nobody waits for", ReceiveBuffer.Size());
    }
    ReceiveBuffer.Free();
    PendingEvents &= ~PROTOCOL_EVENT_DATA_IN;
}

void IDENTITY_PROTOCOL::PrepareToSend() {
    ConnectionInUse().PumpEvents();
    DiscardReceived();
}

bool IDENTITY_PROTOCOL::Stopping() const { return WaitForOne(StopEvent(), 0) == 0; }

void IDENTITY_PROTOCOL::Drop() {
    Disconnected = true;
    ConnectionInUse().Disconnect();
    Health().SetServer(STRING());
}

void IDENTITY_PROTOCOL::DropLateResponses(const std::function<bool(const uint8_t* response)>& isLate) {
    if (!isLate) return;
    uint32_t size = ReceiveBuffer.Size();
    uint8_t* bytes = ReceiveBuffer.Data();
    uint32_t dropped = 0;
    while (size - dropped >= IDENTITY_RESPONSE_LENGTH && isLate(bytes + dropped)) dropped += IDENTITY_RESPONSE_LENGTH;
    if (dropped == 0) return;
    DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_PROTOCOL: Dropping %lu late response(s)", dropped / IDENTITY_RESPONSE_LENGTH);
    std::memmove(bytes, bytes + dropped, size - dropped);
    ReceiveBuffer.Resize(size - dropped);
}

bool IDENTITY_PROTOCOL::Receive(BYTE_BUFFER& received, const std::function<bool(const uint8_t* response)>& isLate) {
    ConnectionInUse().SetTimeout(IDENTITY_TIMEOUT_SECONDS);
    // A response may come in pieces: keep waiting for more until a whole one is here, the
    // time is up or the connection ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ResponseTimeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const uint32_t result = left.count() > 0 ? WaitMs(static_cast<uint32_t>(left.count()), PROTOCOL_EVENT_DATA_IN)
                                                 : PROTOCOL_WAIT_TIMEOUT;
        std::lock_guard lock(Lock);
        DropLateResponses(isLate);
        if (result == PROTOCOL_WAIT_SIGNALED && ReceiveBuffer.Size() < IDENTITY_RESPONSE_LENGTH) continue;
        // Part of a response is still handed over, so that its length shows in the log.
        if (ReceiveBuffer.Size() == 0) return false;
        received = std::move(ReceiveBuffer);
        return true;
    }
}

bool IDENTITY_PROTOCOL::ServerChanged() {
    STRING configured = Environment.IdentityServer();
    if (EqualsIgnoringCase(configured, Primary)) return false;
    Primary = configured;
    Server = std::move(configured);
    return true;
}

}  // namespace qv
