#include "service/replay_mode.h"

#include <cstdint>
#include <string>
#include <vector>

#include "eventlog/event_log.h"
#include "eventlog/logon_filter.h"
#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "identity/report_sink.h"
#include "platform/clock.h"
#include "platform/event_log_record.h"
#include "platform/exported_event_log.h"
#include "platform/process.h"
#include "platform/user_notice.h"
#include "service/command_line.h"
#include "service/filter_settings.h"
#include "service/service_host.h"
#include "service/settings.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "support/time_value.h"

namespace qv {

namespace {

template <typename... ARGS>
void Print(const char16_t* format, const ARGS&... args) {
    STRING text;
    FormatString(text, format, args...);
    WriteStandardOutput(Format(u"%s\n", text).Text());
}

bool IsLogonRecord(uint32_t eventId) { return eventId == 528 || eventId == 540 || eventId == 4624; }

STRING TimeText(uint32_t seconds) {
    CALENDAR_TIME time;
    if (seconds == 0 || !TIME_VALUE::FromTicks(UNIX_EPOCH_TICKS + uint64_t{seconds} * TICKS_PER_SECOND).ToCalendar(time)) {
        return STRING(u"time unknown");
    }
    return Format(u"%04u-%02u-%02u %02u:%02u:%02u UTC", time.Year, time.Month, time.Day, time.Hour, time.Minute,
                  time.Second);
}

// A message of several lines on one line: each line break and the blanks after it become one
// blank.
STRING OneLine(const STRING& text) {
    std::u16string line;
    const char16_t* at = text.Text();
    while (*at == u'\n') ++at;
    for (; *at != 0; ++at) {
        if (*at != u'\n') {
            line.push_back(*at);
            continue;
        }
        while (at[1] == u' ') ++at;
        if (!line.empty() && line.back() != u' ') line.push_back(u' ');
    }
    return STRING(line.c_str(), static_cast<uint32_t>(line.size()));
}

const char16_t* KindName(uint8_t kind) {
    switch (kind) {
        case REPORT_KIND_LOGON: return u"logon";
        case REPORT_KIND_LOGOFF: return u"logoff";
        default: return u"heartbeat";
    }
}

// The logon tables' clock: the time of the record being replayed, going on with real time
// between records (so that anything timed still ends), never backwards.
class REPLAY_CLOCK : public TIME_SOURCE {
public:
    REPLAY_CLOCK() { SetTimeSource(this); }
    ~REPLAY_CLOCK() override { SetTimeSource(nullptr); }
    REPLAY_CLOCK(const REPLAY_CLOCK&) = delete;
    REPLAY_CLOCK& operator=(const REPLAY_CLOCK&) = delete;

    void MoveTo(uint32_t seconds) {
        if (seconds == 0) return;
        const uint64_t offset = uint64_t{seconds} * 1000 - qv::MonotonicMilliseconds();
        if (!Started || offset > Offset) Offset = offset;
        Started = true;
    }
    uint64_t WallClock() override { return SystemTimeNow(); }
    uint64_t MonotonicMilliseconds() override { return qv::MonotonicMilliseconds() + Offset; }

private:
    bool Started = false;
    uint64_t Offset = 0;
};

// The reader's tables and handlers, fed from the file; every report is printed where it
// would have been sent.
class REPLAY_LOG final : public EVENT_LOG, public REPORT_SINK {
public:
    explicit REPLAY_LOG(const EVENT_LOG_CONTEXT& context) : EVENT_LOG(context) { SetReportSink(this); }
    ~REPLAY_LOG() override { SetReportSink(nullptr); }

    void Replay(const EVTX_RECORD& record, REPLAY_CLOCK& clock) {
        const uint32_t seconds = record.Record.TimeGenerated;
        clock.MoveTo(seconds);
        // Expiry and heartbeats as a reader that had followed the log would have run them.
        Where = TimeText(seconds);
        Expire();
        Where = Format(u"Record %I64u (%lu, %s)", record.Number, record.Record.EventID & 0xFFFF, TimeText(seconds));
        const std::vector<uint8_t> bytes = BuildEventLogRecord(record.Record, static_cast<uint32_t>(record.Number));
        RECORD_RANGE range;
        DispatchRecords(bytes.data(), static_cast<uint32_t>(bytes.size()), range);
    }

    bool Take(uint8_t kind, const IDENTITY_REQUEST& request) override {
        ++Reports[kind == REPORT_KIND_LOGON ? 0 : kind == REPORT_KIND_LOGOFF ? 1 : 2];
        Print(u"%s: %s, User name = \"%s\", Computer name = \"%s\", IP address = \"%s\"", Where, KindName(kind),
              RequestUserName(request), RequestComputerName(request), RequestAddressText(request));
        return true;
    }

    void PrintSummary(uint32_t records) const {
        Print(u"Replayed %lu records: %lu logon records; reports: %lu logons, %lu logoffs, %lu heartbeats; %lu passed "
              u"over by the filters, %lu not reported",
              records, LogonRecords, Reports[0], Reports[1], Reports[2], PassedOver, NotReported);
    }

protected:
    void RunHandler(const EVENT_KIND& kind, const EVENT_RECORD& record) override {
        if (!IsLogonRecord(kind.EventID)) {
            EVENT_LOG::RunHandler(kind, record);
            return;
        }
        ++LogonRecords;
        const uint32_t reportsBefore = Reports[0] + Reports[1];
        const uint32_t passedOverBefore = LogonFilters() != nullptr ? LogonFilters()->PassedOverCount() : 0;
        HandlerLine.Clear();
        ObserveThreadMessages(Observe, this);
        EVENT_LOG::RunHandler(kind, record);
        ObserveThreadMessages(nullptr, nullptr);
        if (LogonFilters() != nullptr && LogonFilters()->PassedOverCount() != passedOverBefore) {
            ++PassedOver;
            Print(u"%s: passed over: %s", Where, HandlerLine);
        } else if (Reports[0] + Reports[1] == reportsBefore) {
            ++NotReported;
            Print(u"%s: not reported: %s", Where, HandlerLine);
        }
    }

private:
    // Keeps the last line a handler wrote: the one that says why it stopped.
    static void Observe(void* context, const STRING& text) {
        const STRING line = OneLine(text);
        static const STRING HANDLER_PREFIX(u"Do_EVENT_");
        if (line.Length() >= HANDLER_PREFIX.Length() &&
            STRING(line.Text(), HANDLER_PREFIX.Length()).Equals(HANDLER_PREFIX)) {
            static_cast<REPLAY_LOG*>(context)->HandlerLine = line;
        }
    }

    STRING Where;
    STRING HandlerLine;
    uint32_t LogonRecords = 0;
    uint32_t Reports[3] = {0, 0, 0};  // logons, logoffs, heartbeats
    uint32_t PassedOver = 0;
    uint32_t NotReported = 0;
};

// The settings the run uses, read from the key without storing anything; the overrides given
// beside -REPLAY apply to this run only.
void LoadReplaySettings(const COMMAND_LINE& line) {
    COMMAND_LINE stored = line;
    stored.Server = stored.AdServer = nullptr;
    stored.Protocol = PROTOCOL_NOT_GIVEN;
    stored.IgnoreUsers = stored.IncludeNetworks = stored.ExcludeNetworks = nullptr;
    LoadSettings(stored, SettingsKey());  // a missing identity server does not matter here
    if (line.AdServer != nullptr) {
        DebugLog(u"Active Directory server = \"%s\" (/%s, this run only)", line.AdServer, u"AD_SERVER");
        SetAdServer(line.AdServer);
    }
    if (line.Protocol != PROTOCOL_NOT_GIVEN) {
        DebugLog(u"Identity protocol = %s (/%s, this run only)", ProtocolName(line.Protocol), u"PROTOCOL");
        Settings().IdentityProtocol = line.Protocol;
    }
    TryFilterSwitches(line);
}

void PrintSettings() {
    const SETTINGS& settings = Settings();
    const STRING adServer = GetAdServer();
    Print(u"Settings: identity protocol = %s (%s), Active Directory server = %s, logon time-to-live = %lu minutes, "
          u"heartbeat = %lu minutes",
          ProtocolName(settings.IdentityProtocol),
          settings.IdentityProtocol == PROTOCOL_TCP ? u"with groups" : u"without groups, as over TLS",
          adServer.IsEmpty() ? STRING(u"the global catalog") : Format(u"\"%s\"", adServer),
          settings.LogonTimeToLive / 60000, settings.HeartbeatInterval / 60000);
    const std::shared_ptr<const LOGON_FILTER> filter = LogonFilters().Current();
    if (filter == nullptr || filter->IsEmpty()) {
        Print(u"Filters: none");
        return;
    }
    Print(u"Filters: %s = %lu entries, %s = %lu ranges, %s = %lu ranges", IGNORE_USERS,
          filter->IgnoredAccounts().Count(), INCLUDE_NETWORKS, filter->IncludedNetworks().Count(), EXCLUDE_NETWORKS,
          filter->ExcludedNetworks().Count());
}

}  // namespace

int RunReplayMode() {
    const COMMAND_LINE& line = CommandLine();
    DebugLog(u"Replaying \"%s\"", line.ReplayFile);
    LoadReplaySettings(line);

    std::vector<EVTX_RECORD> records;
    std::string problem;
    if (!ReadEvtxFile(STRING_A(line.ReplayFile).Text(), records, problem)) {
        const STRING text = Format(u"Unable to read the exported log \"%s\": %s", line.ReplayFile, STRING(problem.c_str()));
        DebugLog(u"%s", text);
        ShowWarning(text.Text(), u"Quorvane");
        return EXIT_REPLAY_UNREADABLE;
    }
    Print(u"Replaying \"%s\": %lu records", line.ReplayFile, static_cast<uint32_t>(records.size()));
    PrintSettings();

    REPLAY_CLOCK clock;
    if (!records.empty()) clock.MoveTo(records.front().Record.TimeGenerated);
    // Never connected: it gives the reports the connection's settings (groups over TCP only,
    // the Active Directory server) while the printing sink takes what it would send.
    IDENTITY_PROTOCOL connection(ServiceIdentityContext());
    connection.ConnectionMode = Settings().IdentityProtocol == PROTOCOL_TCP ? CONNECTION_MODE_PLAIN : CONNECTION_MODE_SECURE;
    SetCurrentConnection(&connection);
    {
        EVENT_LOG_CONTEXT context{line};
        context.LogonTimeToLive = [] { return Settings().LogonTimeToLive.load(); };
        context.HeartbeatInterval = [] { return Settings().HeartbeatInterval.load(); };
        context.LogonFilters = &LogonFilters();
        REPLAY_LOG log(context);
        for (const EVTX_RECORD& record : records) log.Replay(record, clock);
        log.PrintSummary(static_cast<uint32_t>(records.size()));
    }
    SetCurrentConnection(nullptr);
    return 0;
}

}  // namespace qv
