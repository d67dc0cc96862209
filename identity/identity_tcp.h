// The component's event operations as the identity connection wants them: each event becomes
// one log line and protocol event flags on the owning IDENTITY_PROTOCOL. The plain and the TLS
// connection treat the shared events alike and differ only in the class name their lines
// carry, so both come from one template over the component class and those lines.
#pragma once

#include "base/string.h"
#include "identity/certificate_trust.h"
#include "identity/ip_port.h"

namespace qv {

class IDENTITY_PROTOCOL;

// The work behind each shared event, apart from its lines.
namespace identity_events {
void Connected(IDENTITY_PROTOCOL& protocol, const CONNECTED_EVENT_ARGS& args, const char* okLine,
               const char* failureLine);
void ConnectionStatus(IDENTITY_PROTOCOL& protocol, const CONNECTION_STATUS_EVENT_ARGS& args, const char* line);
void DataIn(IDENTITY_PROTOCOL& protocol, const DATA_IN_EVENT_ARGS& args, const char16_t* line);
void Disconnected(IDENTITY_PROTOCOL& protocol, const char16_t* line);
void ReadyToSend(IDENTITY_PROTOCOL& protocol, const char16_t* line);
}  // namespace identity_events

template <typename PORT, typename LINES>
class IDENTITY_EVENTS : public PORT {
public:
    explicit IDENTITY_EVENTS(IDENTITY_PROTOCOL& protocol) : Protocol(protocol) {}

    int FireConnected(CONNECTED_EVENT_ARGS& args) override {
        identity_events::Connected(Protocol, args, LINES::Connected, LINES::ConnectedFailure);
        return 0;
    }
    int FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS& args) override {
        identity_events::ConnectionStatus(Protocol, args, LINES::ConnectionStatus);
        return 0;
    }
    int FireDataIn(DATA_IN_EVENT_ARGS& args) override {
        identity_events::DataIn(Protocol, args, LINES::DataIn);
        return 0;
    }
    int FireDisconnected(DISCONNECTED_EVENT_ARGS&) override {
        identity_events::Disconnected(Protocol, LINES::Disconnected);
        return 0;
    }
    int FireReadyToSend(READY_TO_SEND_EVENT_ARGS&) override {
        identity_events::ReadyToSend(Protocol, LINES::ReadyToSend);
        return 0;
    }

protected:
    IDENTITY_PROTOCOL& Protocol;
};

struct IDENTITY_TCP_LINES {
    static constexpr const char* Connected = "IDENTITY_TCP::FireConnected";
    static constexpr const char* ConnectedFailure = "IDENTITY_TCP::FireConnected:\n    StatusCode = %d,\n    Description = %s";
    static constexpr const char* ConnectionStatus =
        "IDENTITY_TCP::FireConnectionStatus:\n    StatusCode = %d,\n    Description = %s";
    static constexpr const char16_t* DataIn = u"IDENTITY_TCP::FireDataIn: Bytes received = %d";
    static constexpr const char16_t* Disconnected = u"IDENTITY_TCP::FireDisconnected";
    static constexpr const char16_t* ReadyToSend = u"IDENTITY_TCP::FireReadyToSend";
};

struct IDENTITY_TCPS_LINES {
    static constexpr const char* Connected = "IDENTITY_TCPS::FireConnected";
    static constexpr const char* ConnectedFailure =
        "IDENTITY_TCPS::FireConnected:\n    StatusCode = %d,\n    Description = %s";
    static constexpr const char* ConnectionStatus =
        "IDENTITY_TCPS::FireConnectionStatus:\n    StatusCode = %d,\n    Description = %s";
    static constexpr const char16_t* DataIn = u"IDENTITY_TCPS::FireDataIn: Bytes received = %d";
    static constexpr const char16_t* Disconnected = u"IDENTITY_TCPS::FireDisconnected";
    static constexpr const char16_t* ReadyToSend = u"IDENTITY_TCPS::FireReadyToSend";
};

class IDENTITY_TCP : public IDENTITY_EVENTS<IPPort, IDENTITY_TCP_LINES> {
public:
    using IDENTITY_EVENTS::IDENTITY_EVENTS;
    int FireError(ERROR_EVENT_ARGS& args) override;
};

class IDENTITY_TCPS : public IDENTITY_EVENTS<IPPortS, IDENTITY_TCPS_LINES> {
public:
    using IDENTITY_EVENTS::IDENTITY_EVENTS;
    int FireError(ERROR_EVENT_ARGS& args) override;
    int FireSSLServerAuthentication(SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args) override;
    int FireSSLStatus(SSL_STATUS_EVENT_ARGS& args) override;

private:
    void Judge(const TLS_TRUST& trust, SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args);
    STRING_A Refusal;  // outlives the event, for the component's failure text
};

}  // namespace qv
