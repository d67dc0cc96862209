// The settings and events an identity connection is handed, kept by a test: the server, the
// protocol and the directory server as the test sets them, and the stop and settings-changed
// events the test signals.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "base/string.h"
#include "identity/identity_context.h"
#include "platform/wait.h"

namespace qv::test {

class IDENTITY_SETTINGS {
public:
    IDENTITY_SETTINGS() {
        Stop.Create(true, false);
        Changed.Create(false, false);
    }

    void SetServer(const char16_t* server) {
        std::lock_guard lock(Lock);
        Server = server;
    }
    void SetAdServer(const char16_t* server) {
        std::lock_guard lock(Lock);
        AdServer = server;
    }
    void SetProtocol(uint32_t protocol) { Protocol = protocol; }
    void SetTrust(const TLS_TRUST& trust) {
        std::lock_guard lock(Lock);
        Trust = trust;
    }
    void SetFallbacks(std::vector<STRING> servers) {
        std::lock_guard lock(Lock);
        Fallbacks = std::move(servers);
    }
    void SetResendOnReconnect(bool resend) { Resend = resend; }

    // A context that reads these settings; 'withSettingsChanges' false hands no
    // settings-changed event, as a one-shot report does.
    IDENTITY_CONTEXT Context(bool withSettingsChanges = true) {
        IDENTITY_CONTEXT context;
        context.IdentityServer = [this] {
            std::lock_guard lock(Lock);
            return Server;
        };
        context.IdentityProtocol = [this] { return Protocol.load(); };
        context.AdServer = [this] {
            std::lock_guard lock(Lock);
            return AdServer;
        };
        context.StopEvent = &Stop;
        context.SettingsChangedEvent = withSettingsChanges ? &Changed : nullptr;
        context.RequestStop = [this](const char16_t*) {
            ++StopRequests;
            Stop.Set();
        };
        context.Trust = [this] {
            std::lock_guard lock(Lock);
            return Trust;
        };
        context.FallbackServers = [this] {
            std::lock_guard lock(Lock);
            return Fallbacks;
        };
        context.ResendOnReconnect = [this] { return Resend.load(); };
        return context;
    }

    EVENT Stop;
    EVENT Changed;
    std::atomic<uint32_t> StopRequests{0};

private:
    std::mutex Lock;
    STRING Server;
    STRING AdServer;
    std::atomic<uint32_t> Protocol{PROTOCOL_AUTOMATIC};
    TLS_TRUST Trust;
    std::vector<STRING> Fallbacks;
    std::atomic<bool> Resend{false};
};

}  // namespace qv::test
