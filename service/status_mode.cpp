#include "service/status_mode.h"

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "service/command_line.h"
#include "support/format.h"
#include "support/time_value.h"

namespace qv {

namespace {

constexpr const char16_t* STATISTICS = u"Statistics";

void Print(const STRING& line) {
    STRING text;
    FormatString(text, u"%s\n", line);
    WriteStandardOutput(text.Text());
}

void Row(const char16_t* label, const STRING& value) {
    STRING line;
    FormatString(line, u"  %-22s%s", label, value);
    Print(line);
}

// "2024-05-01 13:00:05 (12 s ago)" in local time, or "never".
STRING TimeText(uint64_t time, uint64_t now) {
    if (time == 0) return STRING(u"never");
    TIME_VALUE local;
    CALENDAR_TIME calendar;
    STRING text;
    if (!TIME_VALUE::FromTicks(time).UtcToLocal(local) || !local.ToCalendar(calendar)) {
        FormatString(text, u"%s ago", AgeText(time, now));
        return text;
    }
    FormatString(text, u"%04u-%02u-%02u %02u:%02u:%02u (%s ago)", calendar.Year, calendar.Month, calendar.Day,
                 calendar.Hour, calendar.Minute, calendar.Second, AgeText(time, now));
    return text;
}

uint32_t TableSize(const REGISTRY_KEY& key, const char16_t* name) {
    uint32_t value = 0;
    return ReadRegistryDword(key, name, value) ? value : 0;
}

void PrintTable(const REGISTRY_KEY& key, const HEALTH_SNAPSHOT& health, bool processRunning, uint64_t now) {
    STRING agent;
    if (health.Running) {
        FormatString(agent, u"%s, process %lu, started %s", processRunning ? u"running" : u"gone", health.ProcessId,
                     TimeText(health.Started, now));
    } else {
        FormatString(agent, u"stopped, had started %s", TimeText(health.Started, now));
    }
    Row(u"Agent", agent);
    Row(u"Statistics written", TimeText(health.Updated, now));
    Row(u"Identity server", health.Server.IsEmpty() ? STRING(u"not connected") : health.Server);
    Row(u"Last acknowledged", TimeText(health.LastAcknowledged, now));
    Row(u"Last failure", TimeText(health.LastFailure, now));
    for (uint32_t i = 0; i < HEALTH_COUNTER_COUNT; ++i) {
        Row(HealthCounterName(i).Label, GroupedNumber(health.Counters[i]));
    }
    Row(u"Logons", GroupedNumber(TableSize(key, u"Logons")));
    Row(u"Service tickets", GroupedNumber(TableSize(key, u"ServiceTickets")));
    // Written once a filter list has been set (see the filters).
    if (RegistryValueExists(key, u"Ignored")) Row(u"Ignored logons", GroupedNumber(TableSize(key, u"Ignored")));
}

}  // namespace

int JudgeHealth(bool found, const HEALTH_SNAPSHOT& health, bool processRunning, uint64_t now, STRING& reason) {
    if (!found) {
        reason = u"not running (it has not run here)";
        return STATUS_NOT_RUNNING;
    }
    if (!health.Running) {
        reason = u"not running (stopped)";
        return STATUS_NOT_RUNNING;
    }
    if (!processRunning) {
        FormatString(reason, u"not running (its process %lu ended without stopping)", health.ProcessId);
        return STATUS_NOT_RUNNING;
    }
    if (now > health.Updated && (now - health.Updated) / TICKS_PER_SECOND > STATUS_STALE_AFTER_SECONDS) {
        FormatString(reason, u"degraded (no statistics written for %s)", AgeText(health.Updated, now));
        return STATUS_DEGRADED;
    }
    if (health.Server.IsEmpty()) {
        reason = u"degraded (not connected to an identity server)";
        return STATUS_DEGRADED;
    }
    if (health.LastFailure > health.LastAcknowledged) {
        reason = u"degraded (the last report or heartbeat was not answered)";
        return STATUS_DEGRADED;
    }
    reason = u"healthy";
    return STATUS_HEALTHY;
}

int RunStatusMode() {
    UseParentConsole();
    const STRING path = [] {
        STRING text;
        FormatString(text, u"%s\\%s", SETTINGS_KEY_PATH, STATISTICS);
        return text;
    }();
    REGISTRY_KEY settings;
    uint32_t code = settings.Open(SETTINGS_KEY_PATH, false);
    if (code != ERR_SUCCESS) {
        STRING line;
        FormatString(line, u"Quorvane: unknown: the settings key \"%s\" cannot be opened. %s. Error code = %lu.",
                     SettingsKeyFullPath(), GetErrorText(code), code);
        Print(line);
        return STATUS_UNKNOWN;
    }
    REGISTRY_KEY key;
    HEALTH_SNAPSHOT health;
    const bool found = key.Open(path.Text(), false) == ERR_SUCCESS && ReadHealth(key, health);
    const bool processRunning = found && health.Running && ProcessIsRunning(health.ProcessId);
    const uint64_t now = TIME_VALUE::Now().Count;
    STRING reason;
    const int verdict = JudgeHealth(found, health, processRunning, now, reason);
    STRING line;
    FormatString(line, u"Quorvane: %s", reason);
    Print(line);
    if (found) PrintTable(key, health, processRunning, now);
    return verdict;
}

}  // namespace qv
