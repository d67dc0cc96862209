// The component's event operations as the identity connection wants them: each event becomes
// one log line and protocol event flags on the owning IDENTITY_PROTOCOL.
#pragma once

#include "identity/ip_port.h"

namespace qv {

class IDENTITY_PROTOCOL;

class IDENTITY_TCP : public IPPort {
public:
    explicit IDENTITY_TCP(IDENTITY_PROTOCOL& protocol) : Protocol(protocol) {}

    int FireConnected(CONNECTED_EVENT_ARGS& args) override;
    int FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS& args) override;
    int FireDataIn(DATA_IN_EVENT_ARGS& args) override;
    int FireDisconnected(DISCONNECTED_EVENT_ARGS& args) override;
    int FireError(ERROR_EVENT_ARGS& args) override;
    int FireReadyToSend(READY_TO_SEND_EVENT_ARGS& args) override;

private:
    IDENTITY_PROTOCOL& Protocol;
};

class IDENTITY_TCPS : public IPPortS {
public:
    explicit IDENTITY_TCPS(IDENTITY_PROTOCOL& protocol) : Protocol(protocol) {}

    int FireConnected(CONNECTED_EVENT_ARGS& args) override;
    int FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS& args) override;
    int FireDataIn(DATA_IN_EVENT_ARGS& args) override;
    int FireDisconnected(DISCONNECTED_EVENT_ARGS& args) override;
    int FireError(ERROR_EVENT_ARGS& args) override;
    int FireReadyToSend(READY_TO_SEND_EVENT_ARGS& args) override;
    int FireSSLServerAuthentication(SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args) override;
    int FireSSLStatus(SSL_STATUS_EVENT_ARGS& args) override;

private:
    IDENTITY_PROTOCOL& Protocol;
};

}  // namespace qv
