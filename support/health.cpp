#include "support/health.h"

#include <string>

#include "platform/registry_values.h"
#include "platform/thread.h"
#include "support/format.h"
#include "support/time_value.h"

namespace qv {

namespace {

// One row per counter, in the enumeration's order.
const HEALTH_COUNTER_NAME HEALTH_COUNTER_NAMES[HEALTH_COUNTER_COUNT] = {
    {u"ReportsAcknowledged", u"Reports acknowledged"},
    {u"ReportsFailed", u"Reports failed"},
    {u"HeartbeatsSent", u"Heartbeats sent"},
    {u"Reconnects", u"Reconnects"},
    {u"Failovers", u"Failovers"},
    {u"RecordsRead", u"Records read"},
    {u"RecordsBehind", u"Records behind"},
};

constexpr const char16_t* RUNNING = u"Running";
constexpr const char16_t* PROCESS_ID = u"ProcessId";
constexpr const char16_t* SERVER = u"Server";
constexpr const char16_t* STARTED = u"Started";
constexpr const char16_t* UPDATED = u"Updated";
constexpr const char16_t* LAST_ACKNOWLEDGED = u"LastAcknowledged";
constexpr const char16_t* LAST_FAILURE = u"LastFailure";

uint64_t Now() { return TIME_VALUE::Now().Count; }

void ReadQword(const REGISTRY_KEY& key, const char16_t* name, uint64_t& value) {
    if (!ReadRegistryQword(key, name, value)) value = 0;
}

}  // namespace

const HEALTH_COUNTER_NAME& HealthCounterName(uint32_t counter) { return HEALTH_COUNTER_NAMES[counter]; }

HEALTH& Health() {
    static HEALTH health;
    return health;
}

void HEALTH::Acknowledged() { LastAcknowledged = Now(); }

void HEALTH::Failed() { LastFailure = Now(); }

void HEALTH::SetServer(const STRING& server) {
    std::lock_guard lock(Lock);
    Server = server;
}

void HEALTH::Start() {
    for (auto& counter : Counters) counter = 0;
    LastAcknowledged = 0;
    LastFailure = 0;
    std::lock_guard lock(Lock);
    Running = true;
    Started = Now();
    Server.Clear();
}

void HEALTH::Stop() {
    std::lock_guard lock(Lock);
    Running = false;
    Server.Clear();
}

HEALTH_SNAPSHOT HEALTH::Snapshot() const {
    HEALTH_SNAPSHOT snapshot;
    for (uint32_t i = 0; i < HEALTH_COUNTER_COUNT; ++i) snapshot.Counters[i] = Counters[i].load();
    snapshot.LastAcknowledged = LastAcknowledged.load();
    snapshot.LastFailure = LastFailure.load();
    snapshot.ProcessId = CurrentProcessId();
    snapshot.Updated = Now();
    std::lock_guard lock(Lock);
    snapshot.Running = Running;
    snapshot.Started = Started;
    snapshot.Server = Server;
    return snapshot;
}

bool WriteHealth(const REGISTRY_KEY& key, const HEALTH_SNAPSHOT& health, const HEALTH_SNAPSHOT* previous) {
    // Each value is a write of its own (on POSIX a file written and flushed): the unchanged
    // ones are left as they are.
    bool written = true;
    auto dword = [&](const char16_t* name, uint32_t value, uint32_t before) {
        if (previous == nullptr || value != before) written = WriteRegistryDword(key, name, value) && written;
    };
    auto qword = [&](const char16_t* name, uint64_t value, uint64_t before) {
        if (previous == nullptr || value != before) written = WriteRegistryQword(key, name, value) && written;
    };
    const HEALTH_SNAPSHOT none;
    const HEALTH_SNAPSHOT& last = previous != nullptr ? *previous : none;
    dword(RUNNING, health.Running ? 1 : 0, last.Running ? 1 : 0);
    dword(PROCESS_ID, health.ProcessId, last.ProcessId);
    if (previous == nullptr || !health.Server.Equals(last.Server)) {
        written = WriteRegistryString(key, SERVER, health.Server.Text()) && written;
    }
    qword(STARTED, health.Started, last.Started);
    qword(LAST_ACKNOWLEDGED, health.LastAcknowledged, last.LastAcknowledged);
    qword(LAST_FAILURE, health.LastFailure, last.LastFailure);
    for (uint32_t i = 0; i < HEALTH_COUNTER_COUNT; ++i) qword(HEALTH_COUNTER_NAMES[i].Value, health.Counters[i], last.Counters[i]);
    // Last, and always: a reader that sees this time sees the values written before it.
    return WriteRegistryQword(key, UPDATED, health.Updated) && written;
}

bool ReadHealth(const REGISTRY_KEY& key, HEALTH_SNAPSHOT& health) {
    health = HEALTH_SNAPSHOT();
    uint32_t running = 0;
    if (!ReadRegistryDword(key, RUNNING, running)) return false;
    health.Running = running != 0;
    if (!ReadRegistryDword(key, PROCESS_ID, health.ProcessId)) health.ProcessId = 0;
    if (!ReadRegistryString(key, SERVER, health.Server)) health.Server.Clear();
    ReadQword(key, STARTED, health.Started);
    ReadQword(key, UPDATED, health.Updated);
    ReadQword(key, LAST_ACKNOWLEDGED, health.LastAcknowledged);
    ReadQword(key, LAST_FAILURE, health.LastFailure);
    for (uint32_t i = 0; i < HEALTH_COUNTER_COUNT; ++i) ReadQword(key, HEALTH_COUNTER_NAMES[i].Value, health.Counters[i]);
    return true;
}

STRING GroupedNumber(uint64_t value) {
    std::u16string digits;
    int inGroup = 0;
    do {
        if (inGroup == 3) {
            digits.insert(digits.begin(), u',');
            inGroup = 0;
        }
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
        ++inGroup;
    } while (value != 0);
    return STRING(digits.c_str());
}

STRING AgeText(uint64_t then, uint64_t now) {
    const uint64_t seconds = now > then ? (now - then) / TICKS_PER_SECOND : 0;
    STRING text;
    if (seconds < 120) FormatString(text, u"%I64u s", seconds);
    else if (seconds < 2 * 3600) FormatString(text, u"%I64u min", seconds / 60);
    else if (seconds < 2 * 86400) FormatString(text, u"%I64u h", seconds / 3600);
    else FormatString(text, u"%I64u d", seconds / 86400);
    return text;
}

STRING HealthSummary(const HEALTH_SNAPSHOT& health, uint64_t now) {
    STRING line;
    if (health.Server.IsEmpty()) {
        line = u"not connected";
    } else {
        FormatString(line, u"connected to %s", health.Server);
    }
    STRING reports;
    FormatString(reports, u"%s; %s reports", line, GroupedNumber(health.Counters[HEALTH_REPORTS_ACKNOWLEDGED]));
    line = std::move(reports);
    if (health.LastAcknowledged != 0) {
        STRING last;
        FormatString(last, u"%s; last %s ago", line, AgeText(health.LastAcknowledged, now));
        line = std::move(last);
    }
    if (health.Counters[HEALTH_REPORTS_FAILED] != 0) {
        STRING failed;
        FormatString(failed, u"%s; %s failed", line, GroupedNumber(health.Counters[HEALTH_REPORTS_FAILED]));
        line = std::move(failed);
    }
    return line;
}

}  // namespace qv
