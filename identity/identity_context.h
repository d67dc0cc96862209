// What the identity connection is handed by whoever runs it: the settings it reads (each
// accessor copies under the settings lock), the events its waits include, and a way to ask
// for a stop when waiting itself goes wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/string.h"
#include "identity/certificate_trust.h"
#include "platform/wait.h"

namespace qv {

// The identity protocol setting.
constexpr uint32_t PROTOCOL_AUTOMATIC = 0;
constexpr uint32_t PROTOCOL_SECURE_TCP = 1;
constexpr uint32_t PROTOCOL_TCP = 2;
constexpr uint32_t PROTOCOL_NOT_GIVEN = 0xFFFFFFFF;

struct IDENTITY_CONTEXT {
    std::function<STRING()> IdentityServer = [] { return STRING(); };
    std::function<uint32_t()> IdentityProtocol = [] { return PROTOCOL_AUTOMATIC; };
    // Empty: the global catalog.
    std::function<STRING()> AdServer = [] { return STRING(); };
    // Every wait includes it; null when nothing can stop the waits.
    const WAITABLE* StopEvent = nullptr;
    // Set when the identity server or the protocol changed; null where nothing reports
    // changes (a one-shot report).
    const WAITABLE* SettingsChangedEvent = nullptr;
    std::function<void(const char16_t* reason)> RequestStop = [](const char16_t*) {};
    // False for a one-shot report: a lost connection gets one new attempt, not a retry every
    // minute until the server is back.
    bool RetryConnections = true;

    // What the server's TLS certificate must be; by default anything.
    std::function<TLS_TRUST()> Trust = [] { return TLS_TRUST(); };
    // Further servers, tried in order when a connection round to the one in use fails.
    std::function<std::vector<STRING>()> FallbackServers = [] { return std::vector<STRING>(); };
    // The live logons are sent again after every reconnect, not only after a change of server.
    std::function<bool()> ResendOnReconnect = [] { return false; };
    // Called after each connection round, made or failed (before the pause): the health is
    // written then too, since nothing else runs while the server cannot be reached.
    std::function<void()> AfterRound = [] {};
};

}  // namespace qv
