// The event-driven TCP client component: IPPort (plain TCP) and IPPortS (TCP with TLS).
// A derived class overrides the event operations it cares about; the component calls them
// only on the thread that called it, from inside its own operations (chiefly PumpEvents).
// Every operation returns 0 or the component's error code.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/wait.h"

namespace qv {

struct CONNECTED_EVENT_ARGS {
    int32_t StatusCode;  // 0 = connected
    const char* Description;
};
struct CONNECTION_STATUS_EVENT_ARGS {
    const char* ConnectionEvent;
    int32_t StatusCode;
    const char* Description;
};
struct DATA_IN_EVENT_ARGS {
    const uint8_t* Text;
    int32_t EOL;
    int32_t Length;
};
struct DISCONNECTED_EVENT_ARGS {
    int32_t StatusCode;
    const char* Description;
};
struct ERROR_EVENT_ARGS {
    int32_t ErrorCode;
    const char* Description;
};
struct READY_TO_SEND_EVENT_ARGS {
    int32_t Reserved;
};
struct SSL_SERVER_AUTHENTICATION_EVENT_ARGS {
    const uint8_t* CertEncoded;
    int32_t CertEncodedLength;
    const char* CertSubject;
    const char* CertIssuer;
    const char* Status;
    int32_t Accept;  // in: the component's verdict; out: non-zero goes on with the handshake
    // The verification as TLS_PROBLEM_* flags (0: none found) and, for TLS_PROBLEM_OTHER, in
    // words; and the SHA-256 fingerprints of the certificate and of its public key (null when
    // they could not be taken).
    uint32_t Problems;
    const char* ProblemText;
    const uint8_t* CertSha256;
    const uint8_t* PublicKeySha256;
    // out: why the certificate was refused, for the component's failure text (null: Status).
    const char* RefusalReason;
};
struct SSL_STATUS_EVENT_ARGS {
    const char* Message;
};

// Event numbers as the component delivers them; numbers above 10000 go to FireExtension.
constexpr int32_t IPPORT_EVENT_CONNECTED = 1;
constexpr int32_t IPPORT_EVENT_CONNECTION_STATUS = 2;
constexpr int32_t IPPORT_EVENT_DATA_IN = 3;
constexpr int32_t IPPORT_EVENT_DISCONNECTED = 4;
constexpr int32_t IPPORT_EVENT_ERROR = 5;
constexpr int32_t IPPORT_EVENT_READY_TO_SEND = 6;
constexpr int32_t IPPORT_EVENT_SSL_SERVER_AUTHENTICATION = 7;
constexpr int32_t IPPORT_EVENT_SSL_STATUS = 8;
constexpr int32_t IPPORT_EVENT_EXTENSION_BASE = 10000;

// A TLS negotiation or certificate failure.
constexpr int32_t IPPORT_ERROR_TLS = 280;

class TCP_CLIENT_COMPONENT;

class IPPort {
public:
    IPPort();
    IPPort(const IPPort&) = delete;
    IPPort& operator=(const IPPort&) = delete;
    virtual ~IPPort();

    virtual int FireConnected(CONNECTED_EVENT_ARGS&) { return 0; }
    virtual int FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS&) { return 0; }
    virtual int FireDataIn(DATA_IN_EVENT_ARGS&) { return 0; }
    virtual int FireDisconnected(DISCONNECTED_EVENT_ARGS&) { return 0; }
    virtual int FireError(ERROR_EVENT_ARGS&) { return 0; }
    virtual int FireReadyToSend(READY_TO_SEND_EVENT_ARGS&) { return 0; }
    virtual int FireExtension(int32_t /*event*/, void* /*args*/) { return 0; }

    // "Name=value" settings of the component; unknown names give an error.
    int Config(const char* setting);
    int SetTimeout(int32_t seconds);
    int32_t Timeout() const;
    // Starts a connection to host (UTF-8 name or address text) and port; completion is
    // reported by events.
    int Connect(const char* host, uint32_t port);
    // Takes all the bytes (sent or queued) or fails.
    int Send(const uint8_t* bytes, uint32_t length);
    // Delivers every pending event on the calling thread, then returns.
    int PumpEvents();
    int Disconnect();
    bool Connected() const;
    const char* LastErrorText() const;

    // Signalled while the component has work for PumpEvents (socket readable or writable as
    // needed, a deadline reached); level-triggered, never consumed by a wait. A waiter adds
    // it to its wait set to react at once instead of at its next polling slice.
    const WAITABLE& ActivityHandle() const;

    // The component dispatches by event number; out-of-range numbers are ignored.
    virtual int FireEvent(int32_t event, void* args);

protected:
    explicit IPPort(bool secure);
    std::unique_ptr<TCP_CLIENT_COMPONENT> Component;
};

class IPPortS : public IPPort {
public:
    IPPortS();

    virtual int FireSSLServerAuthentication(SSL_SERVER_AUTHENTICATION_EVENT_ARGS&) { return 0; }
    virtual int FireSSLStatus(SSL_STATUS_EVENT_ARGS&) { return 0; }

    int FireEvent(int32_t event, void* args) override;
};

}  // namespace qv
