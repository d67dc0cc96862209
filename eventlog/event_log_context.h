// What the service hands the Security log reader: the dump switches of its command line, the
// settings the logon tables age by, where the table sizes go, and a way to ask the whole
// service to stop. The reader reads the switches and the settings as they stand at each use,
// since the service parses its start parameters again and reloads its settings.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/registry.h"

namespace qv {

class LOGON_FILTER_SLOT;

struct DUMP_SWITCHES {
    bool DumpPertinent = false;
    bool DumpNonPertinent = false;
    bool MiniDump = false;
};

constexpr uint32_t DEFAULT_LOGON_TTL_MS = 12 * 60000;
constexpr uint32_t DEFAULT_HEARTBEAT_MS = 30 * 60000;

struct EVENT_LOG_CONTEXT {
    const DUMP_SWITCHES& Switches;
    // Stops the service with the reason given; a reader on its own has nothing to stop.
    std::function<void(const char16_t* reason)> RequestStop = [](const char16_t*) {};
    // Read at each expiry run, in milliseconds.
    std::function<uint32_t()> LogonTimeToLive = [] { return DEFAULT_LOGON_TTL_MS; };
    std::function<uint32_t()> HeartbeatInterval = [] { return DEFAULT_HEARTBEAT_MS; };
    // Where the table sizes are written after each expiry run; null or not open: nowhere.
    const REGISTRY_KEY* StatisticsKey = nullptr;
    // The administrator's filters, read at each logon; null: none.
    LOGON_FILTER_SLOT* LogonFilters = nullptr;
};

}  // namespace qv
