// The service's settings: loaded from the settings key at start (command-line overrides
// win and are written back), reloaded after every change of the key while running.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/string.h"
#include "platform/registry.h"
#include "service/command_line.h"

namespace qv {

constexpr uint32_t DEFAULT_HEARTBEAT_MINUTES = 30;
constexpr uint32_t DEFAULT_LOGON_TTL_MINUTES = 12;

struct SETTINGS {
    // The strings are read through GetIdentityServer / GetAdServer, which copy under the lock.
    STRING IdentityServer;
    STRING AdServer;  // empty: the global catalog
    std::atomic<uint32_t> IdentityProtocol{PROTOCOL_AUTOMATIC};
    std::atomic<uint32_t> HeartbeatInterval{DEFAULT_HEARTBEAT_MINUTES * 60000};  // milliseconds
    std::atomic<uint32_t> LogonTimeToLive{DEFAULT_LOGON_TTL_MINUTES * 60000};    // milliseconds
};

SETTINGS& Settings();

// The settings key, opened with full access at start and kept for the life of the process.
REGISTRY_KEY& SettingsKey();

const char16_t* ProtocolName(uint32_t protocol);

// Fails only when the identity server can neither be taken from the command line nor read.
bool LoadSettings(const COMMAND_LINE& line, const REGISTRY_KEY& key);
void ReloadSettings(COMMAND_LINE& line, const REGISTRY_KEY& key);

STRING GetIdentityServer();
STRING GetAdServer();
// Replace the strings under the settings lock.
void SetIdentityServer(const char16_t* server);
void SetAdServer(const char16_t* server);

// Minutes as milliseconds. Values whose product would not fit in 32 bits (above 71582
// minutes, about 50 days) are held at the largest whole number of minutes that fits.
uint32_t MinutesToMilliseconds(uint32_t minutes);

}  // namespace qv
