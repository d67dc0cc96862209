// What the service hands the Security log reader: the dump switches of its command line, the
// settings the logon tables age by, where the table sizes go, and a way to ask the whole
// service to stop. The reader reads the switches and the settings as they stand at each use,
// since the service parses its start parameters again and reloads its settings.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/registry.h"
#include "platform/wait.h"

namespace qv {

class LOGON_FILTER_SLOT;

struct DUMP_SWITCHES {
    bool DumpPertinent = false;
    bool DumpNonPertinent = false;
    bool MiniDump = false;
};

// Where reading stopped: the last record handed on (a number of 0: before the first record of
// an empty log) and when that record was written (seconds since 1970), which tells the same
// log from one that was cleared and filled again.
struct READ_POSITION {
    uint32_t RecordNumber = 0;
    uint32_t TimeGenerated = 0;
    bool operator==(const READ_POSITION&) const = default;
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
    // Called after the table sizes are written: the agent's health goes out with them.
    std::function<void()> StatisticsWritten = [] {};
    // The service's stop event: a handler stops waiting for a slow name look-up once it is set.
    const WAITABLE* StopEvent = nullptr;
    // Where the reader keeps its place between runs, so that a restart reads what was written
    // meanwhile; without them every start begins at the end of the log. Load gives false when
    // no place was kept; Save reports its own failure.
    std::function<bool(READ_POSITION& position)> LoadPosition = nullptr;
    std::function<void(const READ_POSITION& position)> SavePosition = nullptr;
};

}  // namespace qv
