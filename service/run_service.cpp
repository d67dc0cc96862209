#include "service/run_service.h"

#include <cstdint>

#include "base/error_codes.h"
#include "directory/directory_guard.h"
#include "eventlog/event_log.h"
#include "identity/identity_protocol.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/security.h"
#include "platform/wait.h"
#include "service/agent_health.h"
#include "service/command_line.h"
#include "service/service_host.h"
#include "service/version.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "support/format.h"
#include "support/security.h"

namespace qv {

namespace {

constexpr const char16_t* SECURITY_LOG = u"Security";
constexpr const char16_t* SECURITY_PRIVILEGE = u"SeSecurityPrivilege";
// After a failed read: how long to wait before the log is opened again.
constexpr uint32_t REOPEN_WAIT_MS = 60000;

// The connection is the process's current one for exactly as long as the worker runs.
class PUBLISHED_CONNECTION {
public:
    explicit PUBLISHED_CONNECTION(IDENTITY_PROTOCOL& connection) { SetCurrentConnection(&connection); }
    ~PUBLISHED_CONNECTION() { SetCurrentConnection(nullptr); }
    PUBLISHED_CONNECTION(const PUBLISHED_CONNECTION&) = delete;
    PUBLISHED_CONNECTION& operator=(const PUBLISHED_CONNECTION&) = delete;
};

// While the worker runs, a stop ends any wait for the directory at once. At its end a call
// still under way is abandoned and given a moment to finish, so that nothing is left talking
// to the directory while the process ends.
class DIRECTORY_STOP {
public:
    DIRECTORY_STOP() {
        DIRECTORY_LIMITS limits;
        limits.Stop = &StopServiceEvent();
        SetDirectoryLimits(limits);
    }
    ~DIRECTORY_STOP() {
        AbandonDirectoryRequests();
        WaitForDirectoryCalls(DIRECTORY_FINISH_MS);
        SetDirectoryLimits(DIRECTORY_LIMITS());
    }
    DIRECTORY_STOP(const DIRECTORY_STOP&) = delete;
    DIRECTORY_STOP& operator=(const DIRECTORY_STOP&) = delete;

private:
    static constexpr uint32_t DIRECTORY_FINISH_MS = 1000;
};

const char16_t* DumpSuffix(const COMMAND_LINE& line) {
    if (line.DumpPertinent && line.DumpNonPertinent) return u"; dumping all events";
    if (line.DumpPertinent) return u"; dumping pertinent events";
    if (line.DumpNonPertinent) return u"; dumping non-pertinent events";
    return u"";
}

// Reading the Security log needs the privilege; the service goes on without it all the same.
void EnableSecurityPrivilege() {
    PRIVILEGE_LIST* privileges = CreateTokenPrivilegesHelper(PRIVILEGE_ENABLED, SECURITY_PRIVILEGE);
    const uint32_t result = privileges != nullptr ? SetTokenPrivileges(privileges) : GetLastErrorCode();
    FreeTokenPrivileges(privileges);
    if (result == ERR_SUCCESS) {
        DebugLog(u"%s privilege enabled", SECURITY_PRIVILEGE);
    } else {
        DebugLog(u"Unable to enable %s privilege. %s. Error code = %lu.", SECURITY_PRIVILEGE, GetErrorText(result),
                 result);
    }
}

template <typename VALUE>
void StopServiceWith(const char16_t* format, const VALUE& value) {
    STRING reason;
    FormatString(reason, format, value);
    StopService(reason.Text());
}

enum class EVENT_LOOP_END { STOP, SERVER_CHANGED };

// Processes the log until the service stops or the settings name another identity server.
EVENT_LOOP_END ProcessEventLog(IDENTITY_PROTOCOL& connection, EVENT_LOG& eventLog) {
    const WAITABLE* const stopOrChange[] = {&StopServiceEvent(), &SettingsChangedEvent()};
    for (;;) {
        DebugLog(u"Processing %s event log ...", SECURITY_LOG);
        const uint32_t processed = eventLog.Process(StopServiceEvent(), SettingsChangedEvent());
        if (processed == PROCESS_STOP) return EVENT_LOOP_END::STOP;
        if (processed == PROCESS_SETTINGS_CHANGED) {
            if (connection.ServerChanged()) return EVENT_LOOP_END::SERVER_CHANGED;
            continue;
        }

        // Reading failed: wait, then open the log again.
        const uint32_t result = WaitForAny(stopOrChange, REOPEN_WAIT_MS);
        if (result == 0) {
            DebugLog(u"Service stop signaled");
            return EVENT_LOOP_END::STOP;
        }
        if (result == 1) {
            if (connection.ServerChanged()) return EVENT_LOOP_END::SERVER_CHANGED;
            DebugLog(u"Settings changed");
            continue;
        }
        if (result == WAIT_TIMED_OUT) {
            eventLog.Close();
            if (eventLog.Open(SECURITY_LOG, StopServiceEvent())) continue;
            StopServiceWith(u"Unable to re-open %s event log", SECURITY_LOG);
            return EVENT_LOOP_END::STOP;
        }
        StopServiceWith(u"Unexpected event log wait result = %lu", result);
        return EVENT_LOOP_END::STOP;
    }
}

void ConnectAndProcess(IDENTITY_PROTOCOL& connection, EVENT_LOG& eventLog) {
    if (!eventLog.Open(SECURITY_LOG, StopServiceEvent())) return;
    while (connection.PersistentConnect()) {
        if (ProcessEventLog(connection, eventLog) == EVENT_LOOP_END::STOP) return;
        DebugLog(u"Identity Server changed to \"%s\"", connection.ServerName());
        connection.Disconnected = true;
        connection.ConnectionInUse().Disconnect();
    }
}

}  // namespace

void RunService() {
    const COMMAND_LINE& line = CommandLine();
    // Declared in this order so that the event log goes first, then the connection stops being
    // the current one, then the connection itself, and last the directory's calls.
    DIRECTORY_STOP directoryStop;
    IDENTITY_PROTOCOL connection(ServiceIdentityContext());
    PUBLISHED_CONNECTION published(connection);
    EVENT_LOG eventLog(ServiceEventLogContext());

    DebugLog(u"Service version %lu.%lu.%lu build %lu %s started%s", VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH,
             VERSION_BUILD, VERSION_BUILD_TEXT, DumpSuffix(line));
    EventReporter().ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STARTED, ShortVersionText());
    StartAgentHealth();
    EnableSecurityPrivilege();
    ConnectAndProcess(connection, eventLog);
    StopAgentHealth();
}

}  // namespace qv
