// The machinery behind IPPort and IPPortS: one TCP connection (optionally carrying TLS), driven
// by its owner's calls. Nothing runs in the background: socket work is done and events are
// delivered only inside the owner's calls, on the owner's thread. Events are queued as the
// work produces them and delivered in order, chiefly by PumpEvents, through the owner's
// FireEvent.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/tcp_socket.h"
#include "platform/tls_client.h"
#include "platform/wait.h"

namespace qv {

class IPPort;

class TCP_CLIENT_COMPONENT {
public:
    TCP_CLIENT_COMPONENT(IPPort& owner, bool secure);
    TCP_CLIENT_COMPONENT(const TCP_CLIENT_COMPONENT&) = delete;
    TCP_CLIENT_COMPONENT& operator=(const TCP_CLIENT_COMPONENT&) = delete;
    ~TCP_CLIENT_COMPONENT();

    int Config(const char* setting);
    // Limits connecting and the TLS handshake; 0 leaves them to the system's own limits.
    int SetTimeout(int32_t seconds);
    int32_t Timeout() const { return TimeoutSeconds; }
    int Connect(const char* host, uint32_t port);
    int Send(const uint8_t* bytes, uint32_t length);
    int PumpEvents();
    int Disconnect();
    bool Connected() const { return Phase == PHASE::Connected; }
    const char* LastErrorText() const { return LastError.c_str(); }
    const WAITABLE& ActivityHandle() const { return Socket.Readiness(); }

private:
    enum class PHASE { Idle, Connecting, Handshaking, Connected };

    // One event waiting for delivery. The server-authentication event is special: delivering
    // it decides whether the connection goes on, so it is queued as a step of its own.
    struct QUEUED_EVENT {
        int32_t Number;
        int32_t Code = 0;
        std::string Text;
        std::vector<uint8_t> Bytes;
    };

    void Queue(int32_t number, int32_t code = 0, std::string text = {}, std::vector<uint8_t> bytes = {});
    void Deliver(QUEUED_EVENT& event);
    void DeliverServerAuthentication();

    void Advance();
    void AdvanceConnect();
    void StartHandshake();
    void ReceiveAvailable();
    void TakeReceived(const uint8_t* bytes, size_t count);
    uint32_t Flush();
    void CheckDeadline();
    void StopDeadline();
    void UpdateWatch();

    void FailConnect(uint32_t code, const std::string& description);
    void FailTls(const std::string& description);
    void Lose(uint32_t code, const std::string& description);
    void Broken(uint32_t code, const std::string& description);
    void CloseQuietly();
    int Remember(uint32_t code);
    int Remember(uint32_t code, const std::string& text);

    IPPort& Owner;
    const bool Secure;
    TCP_SOCKET Socket;
    PHASE Phase = PHASE::Idle;
    int32_t TimeoutSeconds = 60;
    // TLS 1.2 and newer unless configured otherwise (the engine drops what it lacks).
    uint32_t EnabledProtocols = TLS_PROTOCOL_TLS1_2 | TLS_PROTOCOL_TLS1_3;
    std::string TrustedCaFile;  // empty: the system's trust store
    std::string Host;
    std::chrono::steady_clock::time_point Deadline{};
    bool HasDeadline = false;
    std::unique_ptr<TLS_CLIENT_SESSION> Tls;
    bool HandshakeDone = false;  // the session is established; the owner's verdict is pending
    std::vector<uint8_t> Outgoing;  // bytes the socket has not taken yet
    size_t OutgoingStart = 0;
    std::deque<QUEUED_EVENT> Events;
    std::string LastError;
    bool Pumping = false;
};

}  // namespace qv
