// The one connection to the identity server: plain TCP (port 1306) or TLS (port 1308) by the
// protocol setting, connecting once or until it succeeds, the component's events turned into
// protocol event flags, waits for those flags while the component is pumped, and the bytes
// received until a response takes them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "base/byte_buffer.h"
#include "base/string.h"
#include "identity/identity_context.h"
#include "identity/identity_tcp.h"
#include "platform/wait.h"
#include "support/time_value.h"

namespace qv {

constexpr uint32_t PROTOCOL_EVENT_ERROR = 0x01;
constexpr uint32_t PROTOCOL_EVENT_CONNECTED = 0x02;
constexpr uint32_t PROTOCOL_EVENT_READY_TO_SEND = 0x04;
constexpr uint32_t PROTOCOL_EVENT_DATA_IN = 0x08;
constexpr uint32_t PROTOCOL_EVENT_DISCONNECTED = 0x10;
constexpr uint32_t PROTOCOL_EVENT_CERTIFICATE_ERROR = 0x20;

constexpr uint32_t CONNECTION_MODE_NONE = 0;
constexpr uint32_t CONNECTION_MODE_SECURE = 1;
constexpr uint32_t CONNECTION_MODE_PLAIN = 2;

constexpr uint32_t IDENTITY_PLAIN_PORT = 1306;
constexpr uint32_t IDENTITY_SECURE_PORT = 1308;

// IDENTITY_PROTOCOL::Wait results.
constexpr uint32_t PROTOCOL_WAIT_STOPPING = 0;
constexpr uint32_t PROTOCOL_WAIT_ERROR = 1;
constexpr uint32_t PROTOCOL_WAIT_SIGNALED = 2;
constexpr uint32_t PROTOCOL_WAIT_TIMEOUT = 3;

constexpr uint32_t IDENTITY_TIMEOUT_SECONDS = 20;
constexpr uint32_t IDENTITY_RESPONSE_LENGTH = 14;

// The names of the set flags, in flag order, joined by ", ".
STRING EventNames(uint32_t mask);

class IDENTITY_PROTOCOL {
public:
    explicit IDENTITY_PROTOCOL(IDENTITY_CONTEXT context = IDENTITY_CONTEXT());
    IDENTITY_PROTOCOL(const IDENTITY_PROTOCOL&) = delete;
    IDENTITY_PROTOCOL& operator=(const IDENTITY_PROTOCOL&) = delete;
    ~IDENTITY_PROTOCOL();

    // Connects, retrying every minute (at once after a settings change) until it succeeds;
    // false when the service is stopping or waiting failed. Each round tries the server in
    // use, then the others of the list (the identity server, then its fallbacks) in order.
    bool PersistentConnect();
    // One round by the protocol setting, without a pause.
    bool Connect();
    // On a fallback server, once PrimaryRetryMs have passed since the switch or the last
    // try: tries the identity server itself again and keeps it when it answers (true), else
    // connects again as PersistentConnect does, the fallback first.
    bool ReturnToPrimaryIfDue();
    // Counts the changes after which the live logons must be sent again: each change of the
    // server connected to while fallbacks are set, and each reconnect with ResendOnReconnect.
    uint64_t ResendEpoch() const { return Epoch; }
    // Waits up to 'seconds' for every flag of 'wanted', pumping the component.
    uint32_t Wait(uint32_t seconds, uint32_t wanted);
    void Set(uint32_t flags);
    void DataIn(const uint8_t* bytes, uint32_t count);
    // Waits for a whole response (or the time-out, or the connection's end) and hands over
    // what was received. Whole responses at the front that 'isLate' recognises (answers to
    // requests that gave up waiting) are dropped on the way, and the wait goes on.
    bool Receive(BYTE_BUFFER& received, const std::function<bool(const uint8_t* response)>& isLate = {});
    // True, after taking the new name, when the configured identity server differs.
    bool ServerChanged();

    // The connection the mode selects: plain for mode 2, TLS otherwise.
    IPPort& ConnectionInUse();
    // Drops bytes that no request is waiting for (a response that came too late).
    void DiscardReceived();
    // Before a request goes out: delivers what the connection has for us (a close that has
    // already arrived marks the connection lost) and drops bytes that arrived before it.
    void PrepareToSend();
    // After a failed send: the connection is gone, the next attempt makes a new one.
    void Drop();
    // True once the stop event is set.
    bool Stopping() const;

    const STRING& ServerName() const { return Server; }
    // The identity server setting as last taken; ServerName differs while on a fallback.
    const STRING& PrimaryName() const { return Primary; }
    // The trust in force for the TLS connection being made or in use.
    const TLS_TRUST& Trust() const { return TrustInUse; }
    const IDENTITY_CONTEXT& Context() const { return Environment; }
    uint32_t ConnectionMode = CONNECTION_MODE_NONE;
    bool Disconnected = true;

    // How long a failed round waits before the next; a minute in service.
    uint32_t RetryPauseMs = 60000;
    // How long a fallback is used before the identity server itself is tried again.
    uint32_t PrimaryRetryMs = 600000;
    // How long a request waits for its response; tests shorten it.
    uint32_t ResponseTimeoutMs = IDENTITY_TIMEOUT_SECONDS * 1000;

private:
    bool ConnectPlain();
    bool ConnectSecure();
    bool ConnectWith(uint32_t mode, uint32_t port, const char16_t* line);
    bool ConnectByProtocol();
    // The identity server, then its fallbacks (each once, ignoring case).
    std::vector<STRING> ServerList() const;
    // One attempt at each server of the list, the one in use first; 'logEach' writes the
    // connected and failed lines.
    bool ConnectRound(bool logEach);
    // After a connection was made to Server.
    void ConnectionMade(bool failoverConfigured);
    uint32_t WaitMs(uint32_t milliseconds, uint32_t wanted);
    // Under the lock.
    void DropLateResponses(const std::function<bool(const uint8_t* response)>& isLate);

    const WAITABLE& StopEvent() const;

    IDENTITY_CONTEXT Environment;
    EVENT NeverSet;  // stands in for a stop event when the context has none
    STRING Server;
    STRING Primary;
    STRING LastConnected;
    bool EverConnected = false;
    bool ReturningToFallback = false;  // a reconnect we caused ourselves: no resend for it
    uint64_t Epoch = 0;
    STOPWATCH SinceFallbackOrTry;
    TLS_TRUST TrustInUse;
    std::mutex Lock;  // guards PendingEvents and ReceiveBuffer against the event operations
    IDENTITY_TCPS SecureConnection;
    IDENTITY_TCP PlainConnection;
    EVENT EventsHandle;
    WAITABLE_TIMER TimerHandle;
    uint32_t PendingEvents = 0;
    BYTE_BUFFER ReceiveBuffer;
};

// The connection the report operations use; set by whoever owns it for as long as it lives.
IDENTITY_PROTOCOL* CurrentConnection();
void SetCurrentConnection(IDENTITY_PROTOCOL* connection);

}  // namespace qv
