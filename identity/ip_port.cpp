// IPPort and IPPortS: the owner's face of the component. Every operation goes to the
// component; the component reports back through FireEvent, which turns an event number into
// the matching event operation.
#include "identity/ip_port.h"

#include "identity/tcp_client_component.h"

namespace qv {

IPPort::IPPort() : IPPort(false) {}

IPPort::IPPort(bool secure) : Component(std::make_unique<TCP_CLIENT_COMPONENT>(*this, secure)) {}

IPPort::~IPPort() = default;

int IPPort::Config(const char* setting) { return Component->Config(setting); }
int IPPort::SetTimeout(int32_t seconds) { return Component->SetTimeout(seconds); }
int32_t IPPort::Timeout() const { return Component->Timeout(); }
int IPPort::Connect(const char* host, uint32_t port) { return Component->Connect(host, port); }
int IPPort::Send(const uint8_t* bytes, uint32_t length) { return Component->Send(bytes, length); }
int IPPort::PumpEvents() { return Component->PumpEvents(); }
int IPPort::Disconnect() { return Component->Disconnect(); }
bool IPPort::Connected() const { return Component->Connected(); }
const char* IPPort::LastErrorText() const { return Component->LastErrorText(); }
const WAITABLE& IPPort::ActivityHandle() const { return Component->ActivityHandle(); }

int IPPort::FireEvent(int32_t event, void* args) {
    if (event > IPPORT_EVENT_EXTENSION_BASE) return FireExtension(event - IPPORT_EVENT_EXTENSION_BASE, args);
    if (args == nullptr) return 0;
    switch (event) {
        case IPPORT_EVENT_CONNECTED: return FireConnected(*static_cast<CONNECTED_EVENT_ARGS*>(args));
        case IPPORT_EVENT_CONNECTION_STATUS:
            return FireConnectionStatus(*static_cast<CONNECTION_STATUS_EVENT_ARGS*>(args));
        case IPPORT_EVENT_DATA_IN: return FireDataIn(*static_cast<DATA_IN_EVENT_ARGS*>(args));
        case IPPORT_EVENT_DISCONNECTED: return FireDisconnected(*static_cast<DISCONNECTED_EVENT_ARGS*>(args));
        case IPPORT_EVENT_ERROR: return FireError(*static_cast<ERROR_EVENT_ARGS*>(args));
        case IPPORT_EVENT_READY_TO_SEND: return FireReadyToSend(*static_cast<READY_TO_SEND_EVENT_ARGS*>(args));
        default: return 0;
    }
}

IPPortS::IPPortS() : IPPort(true) {}

int IPPortS::FireEvent(int32_t event, void* args) {
    if (args != nullptr) {
        if (event == IPPORT_EVENT_SSL_SERVER_AUTHENTICATION) {
            return FireSSLServerAuthentication(*static_cast<SSL_SERVER_AUTHENTICATION_EVENT_ARGS*>(args));
        }
        if (event == IPPORT_EVENT_SSL_STATUS) return FireSSLStatus(*static_cast<SSL_STATUS_EVENT_ARGS*>(args));
    }
    return IPPort::FireEvent(event, args);
}

}  // namespace qv
