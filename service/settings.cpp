#include "service/settings.h"

#include <mutex>

#include "base/error_codes.h"
#include "directory/directory_guard.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/registry_values.h"
#include "service/filter_settings.h"
#include "service/connection_settings.h"
#include "service/service_host.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "support/number_text.h"

namespace qv {

namespace {

constexpr const char16_t* IDENT_SERVER = u"IdentServer";
constexpr const char16_t* IDENT_PROTOCOL = u"IdentProtocol";
constexpr const char16_t* AD_SERVER = u"AdServer";
constexpr const char16_t* HEARTBEAT = u"Heartbeat";
constexpr const char16_t* LOGON_TTL = u"LogonTTL";
constexpr const char16_t* SHUTDOWN = u"Shutdown";
constexpr uint32_t SHUTDOWN_REQUESTED = 1;
constexpr uint32_t SHUTDOWN_DONE = 2;
constexpr uint32_t MAXIMUM_MINUTES = 0xFFFFFFFFu / 60000;

std::mutex SettingsLock;

void LogLoadFailure(const char16_t* name, uint32_t code) {
    DebugLog(u"Unable to load registry value = %s. %s. Error code = %lu.", name, GetErrorText(code), code);
}

void ReportQueryFailure(const char16_t* name, uint32_t code) {
    EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_QUERY_REGISTRY_VALUE, GetErrorText(code), DecimalText(code), name,
                                SettingsKeyFullPath());
}

// IdentProtocol as stored; a failure or a value above 2 means automatic.
uint32_t ReadProtocol(const REGISTRY_KEY& key) {
    uint32_t protocol = PROTOCOL_AUTOMATIC;
    if (!ReadRegistryDword(key, IDENT_PROTOCOL, protocol)) {
        uint32_t code = GetLastErrorCode();
        if (code != ERR_FILE_NOT_FOUND) LogLoadFailure(IDENT_PROTOCOL, code);
        return PROTOCOL_AUTOMATIC;
    }
    return protocol > PROTOCOL_TCP ? PROTOCOL_AUTOMATIC : protocol;
}

void LoadMinutes(const REGISTRY_KEY& key, const char16_t* name, uint32_t defaultMinutes, const char16_t* message,
                 std::atomic<uint32_t>& target) {
    uint32_t minutes = defaultMinutes;
    if (!ReadRegistryDword(key, name, minutes)) {
        uint32_t code = GetLastErrorCode();
        if (code != ERR_FILE_NOT_FOUND) LogLoadFailure(name, code);
        minutes = defaultMinutes;
    }
    DebugLog(message, minutes);
    target = MinutesToMilliseconds(minutes);
}

void ReloadMinutes(const REGISTRY_KEY& key, const char16_t* name, const char16_t* message,
                   std::atomic<uint32_t>& target) {
    uint32_t minutes = 0;
    if (!ReadRegistryDword(key, name, minutes)) return;
    uint32_t milliseconds = MinutesToMilliseconds(minutes);
    if (milliseconds == target) return;
    DebugLog(message, minutes);
    target = milliseconds;
}

// The stored identity server; an empty one names no server, so it fails like a missing one
// (with "the data is invalid") instead of being connected to for ever.
bool ReadIdentityServer(const REGISTRY_KEY& key, STRING& server) {
    if (!ReadRegistryString(key, IDENT_SERVER, server)) return false;
    if (!server.IsEmpty()) return true;
    SetLastErrorCode(ERR_INVALID_DATA);
    return false;
}

void LogSetFailure(const char16_t* name, const char16_t* value) {
    uint32_t code = GetLastErrorCode();
    DebugLog(u"Unable to set registry value \"%s\" in key \"%s\" to \"%s\". %s. Error code = %lu.", name,
             SettingsKeyFullPath(), value, GetErrorText(code), code);
}

}  // namespace

SETTINGS& Settings() {
    static SETTINGS settings;
    return settings;
}

REGISTRY_KEY& SettingsKey() {
    static REGISTRY_KEY key;
    return key;
}

const char16_t* ProtocolName(uint32_t protocol) {
    switch (protocol) {
        case PROTOCOL_SECURE_TCP: return u"secure TCP";
        case PROTOCOL_TCP: return u"TCP";
        default: return u"automatic";
    }
}

uint32_t MinutesToMilliseconds(uint32_t minutes) {
    if (minutes > MAXIMUM_MINUTES) {
        DebugLog(u"%lu minutes is more than the largest interval this program can time; using %lu minutes", minutes,
                 MAXIMUM_MINUTES);
        minutes = MAXIMUM_MINUTES;
    }
    return minutes * 60000;
}

bool LoadSettings(const COMMAND_LINE& line, const REGISTRY_KEY& key) {
    SETTINGS& settings = Settings();
    DebugLog(u"Loading settings ...");

    if (line.AdServer == nullptr) {
        STRING server;
        if (ReadRegistryString(key, AD_SERVER, server)) {
            DebugLog(u"Active Directory server = \"%s\"", server);
            SetAdServer(server.Text());
        } else if (GetLastErrorCode() != ERR_FILE_NOT_FOUND) {
            ReportQueryFailure(AD_SERVER, GetLastErrorCode());
        }
    } else if (line.AdServer[0] != 0) {
        if (WriteRegistryString(key, AD_SERVER, line.AdServer)) {
            DebugLog(u"Active Directory server = \"%s\" (/%s)", line.AdServer, u"AD_SERVER");
        } else {
            LogSetFailure(AD_SERVER, line.AdServer);
        }
        SetAdServer(line.AdServer);
    } else {
        DebugLog(u"Using the Active Directory Global Cache");
        DeleteRegistryValue(key, AD_SERVER);
        SetAdServer(nullptr);
    }

    bool loaded = true;
    if (line.Server != nullptr) {
        if (WriteRegistryString(key, IDENT_SERVER, line.Server)) {
            DebugLog(u"Identity server = \"%s\" (/%s)", line.Server, u"SERVER");
        } else {
            LogSetFailure(IDENT_SERVER, line.Server);
        }
        SetIdentityServer(line.Server);
    } else {
        STRING server;
        if (ReadIdentityServer(key, server)) {
            DebugLog(u"Identity server = \"%s\"", server);
            SetIdentityServer(server.Text());
        } else {
            ReportQueryFailure(IDENT_SERVER, GetLastErrorCode());
            loaded = false;
        }
    }

    if (line.Protocol == PROTOCOL_NOT_GIVEN) {
        settings.IdentityProtocol = ReadProtocol(key);
        DebugLog(u"Identity protocol = %s", ProtocolName(settings.IdentityProtocol));
    } else {
        settings.IdentityProtocol = line.Protocol;
        if (WriteRegistryDword(key, IDENT_PROTOCOL, line.Protocol)) {
            DebugLog(u"Identity protocol = %s (/%s)", ProtocolName(line.Protocol), u"PROTOCOL");
        } else {
            uint32_t code = GetLastErrorCode();
            DebugLog(u"Unable to set registry value \"%s\" in key \"%s\" to %lu. %s. Error code = %lu.", IDENT_PROTOCOL,
                     SettingsKeyFullPath(), line.Protocol, GetErrorText(code), code);
        }
    }

    LoadMinutes(key, HEARTBEAT, DEFAULT_HEARTBEAT_MINUTES, u"Heartbeat interval = %lu (minutes)",
                settings.HeartbeatInterval);
    LoadMinutes(key, LOGON_TTL, DEFAULT_LOGON_TTL_MINUTES, u"Logon time-to-live = %lu (minutes)",
                settings.LogonTimeToLive);
    LoadFilterSettings(line, key);
    LoadConnectionSettings(key, settings.IdentityProtocol);
    return loaded;
}

void ReloadSettings(COMMAND_LINE& line, const REGISTRY_KEY& key) {
    SETTINGS& settings = Settings();
    DebugLog(u"Reloading settings ...");

    uint32_t shutdown = 0;
    if (ReadRegistryDword(key, SHUTDOWN, shutdown) && shutdown == SHUTDOWN_REQUESTED) {
        WriteRegistryDword(key, SHUTDOWN, SHUTDOWN_DONE);
        STRING reason;
        FormatString(reason, u"Registry value \"%s\" set", SHUTDOWN);
        StopService(reason.Text());
        return;
    }

    RefreshDebugOutputMode(line, key);

    bool connectionChanged = false;
    {
        std::lock_guard<std::mutex> lock(SettingsLock);

        uint32_t protocol = ReadProtocol(key);
        if (protocol != settings.IdentityProtocol) {
            DebugLog(u"Identity protocol changed to %s", ProtocolName(protocol));
            settings.IdentityProtocol = protocol;
            connectionChanged = true;
        }

        STRING server;
        if (ReadIdentityServer(key, server)) {
            if (!server.Equals(settings.IdentityServer)) {
                DebugLog(u"Ident server changed from \"%s\" to \"%s\"", settings.IdentityServer, server);
                settings.IdentityServer = std::move(server);
                connectionChanged = true;
            }
        } else {
            LogLoadFailure(IDENT_SERVER, GetLastErrorCode());
        }

        STRING adServer;
        bool read = ReadRegistryString(key, AD_SERVER, adServer);
        uint32_t code = read ? ERR_SUCCESS : GetLastErrorCode();
        if (read && adServer.Equals(settings.AdServer)) {
            // unchanged
        } else if (read && !adServer.IsEmpty()) {
            DebugLog(u"Active Directory server changed from \"%s\" to \"%s\"", settings.AdServer, adServer);
            settings.AdServer = std::move(adServer);
        } else if (read || (code == ERR_FILE_NOT_FOUND && !settings.AdServer.IsEmpty())) {
            DebugLog(u"Active Directory server changed from \"%s\" to the Global Cache", settings.AdServer);
            settings.AdServer.Clear();
        } else if (code == ERR_FILE_NOT_FOUND) {
            DebugLog(u"Using the Active Directory Global Cache");
        } else {
            LogLoadFailure(AD_SERVER, code);
        }

        ReloadMinutes(key, HEARTBEAT, u"Heartbeat interval = %lu (minutes)", settings.HeartbeatInterval);
        ReloadMinutes(key, LOGON_TTL, u"Logon time-to-live = %lu (minutes)", settings.LogonTimeToLive);
    }
    ReloadFilterSettings(key);
    ReloadConnectionSettings(key, settings.IdentityProtocol);
    if (connectionChanged) SettingsChangedEvent().Set();
    // A changed setting may be the directory's (its server, how to bind): the next look-up
    // tries it at once instead of after a pause.
    EndDirectoryPause();
}

STRING GetIdentityServer() {
    std::lock_guard<std::mutex> lock(SettingsLock);
    return Settings().IdentityServer;
}

STRING GetAdServer() {
    std::lock_guard<std::mutex> lock(SettingsLock);
    return Settings().AdServer;
}

void SetIdentityServer(const char16_t* server) {
    std::lock_guard<std::mutex> lock(SettingsLock);
    Settings().IdentityServer = server ? server : u"";
}

void SetAdServer(const char16_t* server) {
    std::lock_guard<std::mutex> lock(SettingsLock);
    Settings().AdServer = server ? server : u"";
}

}  // namespace qv
