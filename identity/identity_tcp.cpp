#include "identity/identity_tcp.h"

#include "identity/identity_protocol.h"
#include "support/debug_log.h"
#include "support/health.h"

namespace qv {

namespace {
const char* TextOrEmpty(const char* text) { return text ? text : ""; }
}  // namespace

namespace identity_events {

void Connected(IDENTITY_PROTOCOL& protocol, const CONNECTED_EVENT_ARGS& args, const char* okLine,
               const char* failureLine) {
    if (args.StatusCode == 0) {
        DebugLogExA(DBGOUT_CUSTOM2, okLine);
        protocol.Set(PROTOCOL_EVENT_CONNECTED);
    } else {
        DebugLogA(failureLine, args.StatusCode, TextOrEmpty(args.Description));
        protocol.Set(PROTOCOL_EVENT_ERROR);
    }
}

void ConnectionStatus(IDENTITY_PROTOCOL& protocol, const CONNECTION_STATUS_EVENT_ARGS& args, const char* line) {
    if (args.StatusCode == 0) return;
    DebugLogA(line, args.StatusCode, TextOrEmpty(args.Description));
    protocol.Set(PROTOCOL_EVENT_ERROR);
}

void DataIn(IDENTITY_PROTOCOL& protocol, const DATA_IN_EVENT_ARGS& args, const char16_t* line) {
    DebugLogEx(DBGOUT_CUSTOM2, line, args.Length);
    if (args.Length > 0 && args.Text) protocol.DataIn(args.Text, static_cast<uint32_t>(args.Length));
}

void Disconnected(IDENTITY_PROTOCOL& protocol, const char16_t* line) {
    DebugLogEx(DBGOUT_CUSTOM2, line);
    protocol.Set(PROTOCOL_EVENT_ERROR | PROTOCOL_EVENT_DISCONNECTED);
    protocol.Disconnected = true;
    Health().SetServer(STRING());
}

void ReadyToSend(IDENTITY_PROTOCOL& protocol, const char16_t* line) {
    DebugLogEx(DBGOUT_CUSTOM2, line);
    protocol.Set(PROTOCOL_EVENT_READY_TO_SEND);
}

}  // namespace identity_events

int IDENTITY_TCP::FireError(ERROR_EVENT_ARGS& args) {
    DebugLogA("IDENTITY_TCP::FireError:\n    Error code = %d,\n    Description = %s", args.ErrorCode,
              TextOrEmpty(args.Description));
    if (args.ErrorCode != 0) Protocol.Set(PROTOCOL_EVENT_ERROR);
    return 0;
}

int IDENTITY_TCPS::FireError(ERROR_EVENT_ARGS& args) {
    DebugLogA("IDENTITY_TCPS::FireError:\n    ErrorCode = %d,\n    Description = %s", args.ErrorCode,
              TextOrEmpty(args.Description));
    // A TLS failure is a certificate error, which alone does not end a wait.
    if (args.ErrorCode == IPPORT_ERROR_TLS) {
        Protocol.Set(PROTOCOL_EVENT_CERTIFICATE_ERROR);
    } else if (args.ErrorCode != 0) {
        Protocol.Set(PROTOCOL_EVENT_ERROR);
    }
    return 0;
}

int IDENTITY_TCPS::FireSSLServerAuthentication(SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args) {
    DebugLogExA(DBGOUT_CUSTOM2,
                "IDENTITY_TCPS::FireSSLServerAuthentication:\n    CertSubject = %s,\n    CertIssuer = %s,\n    Status = "
                "%s,\n    Accept = %d",
                TextOrEmpty(args.CertSubject), TextOrEmpty(args.CertIssuer), TextOrEmpty(args.Status), args.Accept);
    const TLS_TRUST& trust = Protocol.Trust();
    if (trust.Verify != TLS_VERIFY_NONE) {
        Judge(trust, args);
        return 0;
    }
    if (args.Accept == 0) {
        DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_TCPS::FireSSLServerAuthentication: Accepting non-recommended connection");
        args.Accept = 1;
    }
    return 0;
}

// The certificate as the trust setting wants it, or refused with a line that says why and
// shows what an administrator needs to pin it.
void IDENTITY_TCPS::Judge(const TLS_TRUST& trust, SSL_SERVER_AUTHENTICATION_EVENT_ARGS& args) {
    const STRING refusal = CertificateRefusal(trust, args, Protocol.ServerName());
    if (refusal.IsEmpty()) {
        DebugLogEx(DBGOUT_CUSTOM2, u"IDENTITY_TCPS::FireSSLServerAuthentication: Certificate %s",
                   trust.Verify == TLS_VERIFY_PIN ? u"pinned" : u"verified");
        args.Accept = 1;
        return;
    }
    DebugLog(u"Certificate of Identity server = \"%s\" refused: %s\n    Subject = %s\n    Issuer = %s\n    "
             u"SHA-256 fingerprint = %s\n    Public key SHA-256 = %s",
             Protocol.ServerName(), refusal, STRING(TextOrEmpty(args.CertSubject)), STRING(TextOrEmpty(args.CertIssuer)),
             FingerprintText(args.CertSha256), FingerprintText(args.PublicKeySha256));
    Refusal = STRING_A(refusal);
    args.RefusalReason = Refusal.Text();
    args.Accept = 0;
}

int IDENTITY_TCPS::FireSSLStatus(SSL_STATUS_EVENT_ARGS& args) {
    DebugLogExA(DBGOUT_CUSTOM2, "IDENTITY_TCPS::FireSSLStatus: %s", TextOrEmpty(args.Message));
    return 0;
}

}  // namespace qv
