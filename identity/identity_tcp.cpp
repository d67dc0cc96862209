#include "identity/identity_tcp.h"

#include "identity/identity_protocol.h"
#include "support/debug_log.h"

namespace qv {

namespace {

const char* TextOrEmpty(const char* text) { return text ? text : ""; }

// The events both connections treat alike, apart from the class name in their lines.
void OnConnected(IDENTITY_PROTOCOL& protocol, const CONNECTED_EVENT_ARGS& args, const char* okLine,
               const char* failureLine) {
    if (args.StatusCode == 0) {
        DebugLogExA(DBGOUT_CUSTOM2, okLine);
        protocol.Set(PROTOCOL_EVENT_CONNECTED);
    } else {
        DebugLogA(failureLine, args.StatusCode, TextOrEmpty(args.Description));
        protocol.Set(PROTOCOL_EVENT_ERROR);
    }
}

void OnConnectionStatus(IDENTITY_PROTOCOL& protocol, const CONNECTION_STATUS_EVENT_ARGS& args, const char* line) {
    if (args.StatusCode == 0) return;
    DebugLogA(line, args.StatusCode, TextOrEmpty(args.Description));
    protocol.Set(PROTOCOL_EVENT_ERROR);
}

void OnDataIn(IDENTITY_PROTOCOL& protocol, const DATA_IN_EVENT_ARGS& args, const char16_t* line) {
    DebugLogEx(DBGOUT_CUSTOM2, line, args.Length);
    if (args.Length > 0 && args.Text) protocol.DataIn(args.Text, static_cast<uint32_t>(args.Length));
}

void OnDisconnected(IDENTITY_PROTOCOL& protocol, const char16_t* line) {
    DebugLogEx(DBGOUT_CUSTOM2, line);
    protocol.Set(PROTOCOL_EVENT_ERROR | PROTOCOL_EVENT_DISCONNECTED);
    protocol.Disconnected = true;
}

void OnReadyToSend(IDENTITY_PROTOCOL& protocol, const char16_t* line) {
    DebugLogEx(DBGOUT_CUSTOM2, line);
    protocol.Set(PROTOCOL_EVENT_READY_TO_SEND);
}

}  // namespace

int IDENTITY_TCP::FireConnected(CONNECTED_EVENT_ARGS& args) {
    OnConnected(Protocol, args, "IDENTITY_TCP::FireConnected",
              "IDENTITY_TCP::FireConnected:\n    StatusCode = %d,\n    Description = %s");
    return 0;
}

int IDENTITY_TCP::FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS& args) {
    OnConnectionStatus(Protocol, args, "IDENTITY_TCP::FireConnectionStatus:\n    StatusCode = %d,\n    Description = %s");
    return 0;
}

int IDENTITY_TCP::FireDataIn(DATA_IN_EVENT_ARGS& args) {
    OnDataIn(Protocol, args, u"IDENTITY_TCP::FireDataIn: Bytes received = %d");
    return 0;
}

int IDENTITY_TCP::FireDisconnected(DISCONNECTED_EVENT_ARGS&) {
    OnDisconnected(Protocol, u"IDENTITY_TCP::FireDisconnected");
    return 0;
}

int IDENTITY_TCP::FireError(ERROR_EVENT_ARGS& args) {
    DebugLogA("IDENTITY_TCP::FireError:\n    Error code = %d,\n    Description = %s", args.ErrorCode,
              TextOrEmpty(args.Description));
    if (args.ErrorCode != 0) Protocol.Set(PROTOCOL_EVENT_ERROR);
    return 0;
}

int IDENTITY_TCP::FireReadyToSend(READY_TO_SEND_EVENT_ARGS&) {
    OnReadyToSend(Protocol, u"IDENTITY_TCP::FireReadyToSend");
    return 0;
}

int IDENTITY_TCPS::FireConnected(CONNECTED_EVENT_ARGS& args) {
    OnConnected(Protocol, args, "IDENTITY_TCPS::FireConnected",
              "IDENTITY_TCPS::FireConnected:\n    StatusCode = %d,\n    Description = %s");
    return 0;
}

int IDENTITY_TCPS::FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS& args) {
    OnConnectionStatus(Protocol, args, "IDENTITY_TCPS::FireConnectionStatus:\n    StatusCode = %d,\n    Description = %s");
    return 0;
}

int IDENTITY_TCPS::FireDataIn(DATA_IN_EVENT_ARGS& args) {
    OnDataIn(Protocol, args, u"IDENTITY_TCPS::FireDataIn: Bytes received = %d");
    return 0;
}

int IDENTITY_TCPS::FireDisconnected(DISCONNECTED_EVENT_ARGS&) {
    OnDisconnected(Protocol, u"IDENTITY_TCPS::FireDisconnected");
    return 0;
}

int IDENTITY_TCPS::FireError(ERROR_EVENT_ARGS& args) {
    DebugLogA("IDENTITY_TCPS::FireError:\n    ErrorCode = %d,\n    Description = %s", args.ErrorCode,
              TextOrEmpty(args.Description));
    if (args.ErrorCode == IPPORT_ERROR_TLS) {
        Protocol.Set(PROTOCOL_EVENT_CERTIFICATE_ERROR);
    } else if (args.ErrorCode != 0) {
        Protocol.Set(PROTOCOL_EVENT_ERROR);
    }
    return 0;
}

int IDENTITY_TCPS::FireReadyToSend(READY_TO_SEND_EVENT_ARGS&) {
    OnReadyToSend(Protocol, u"IDENTITY_TCPS::FireReadyToSend");
    return 0;
}

int IDENTITY_TCPS::FireSSLServerAuthentication(SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args) {
    DebugLogExA(DBGOUT_CUSTOM2,
                "IDENTITY_TCPS::FireSSLServerAuthentication:\n    CertSubject = %s,\n    CertIssuer = %s,\n    Status = "
                "%s,\n    Accept = %d",
                TextOrEmpty(args.CertSubject), TextOrEmpty(args.CertIssuer), TextOrEmpty(args.Status), args.Accept);
    if (args.Accept == 0) {
        DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_TCPS::FireSSLServerAuthentication: Accepting non-recommended connection");
        args.Accept = 1;
    }
    return 0;
}

int IDENTITY_TCPS::FireSSLStatus(SSL_STATUS_EVENT_ARGS& args) {
    DebugLogExA(DBGOUT_CUSTOM2, "IDENTITY_TCPS::FireSSLStatus: %s", TextOrEmpty(args.Message));
    return 0;
}

}  // namespace qv
