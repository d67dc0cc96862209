#include "service/service_host.h"

#include <mutex>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/os_version.h"
#include "platform/process_setup.h"
#include "platform/registry_values.h"
#include "platform/thread.h"
#include "service/agent_health.h"
#include "service/command_line.h"
#include "service/filter_settings.h"
#include "service/connection_settings.h"
#include "service/read_position.h"
#include "service/settings.h"
#include "service/version.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "support/number_text.h"
#include "support/security.h"
#include "support/thread_group.h"
#include "support/version.h"

namespace qv {

namespace {

constexpr uint32_t SETTINGS_THREAD_BUDGET_MS = 5000;
constexpr const char16_t* SETTINGS_THREAD_NAME = u"Settings";
constexpr const char16_t* SHUTDOWN = u"Shutdown";
constexpr const char16_t* STATISTICS = u"Statistics";

THREAD SettingsThread;
STRING AnonymousName;
// Held while the stop-service event is looked at and set, and while it is closed: a stop asked
// for from another thread during the clean-up finds the event either open or gone, never half
// closed (on POSIX its descriptor could otherwise already belong to another file).
std::mutex StopEventLock;

void SignalSettingsThreadStop(void* event) {
    StopService(u"stopping worker thread");
    static_cast<EVENT*>(event)->Set();
}

uint32_t SettingsThreadProc(void*) {
    DebugLog(u"%s thread started", SETTINGS_THREAD_NAME);
    const WAITABLE* objects[] = {&StopServiceEvent(), &SettingsEvent()};
    // Only value changes of the key itself: the counters in Statistics never wake us. The
    // notification is armed again before the settings are read, not after, so that a change
    // made while a reload is under way wakes the thread once more instead of going unseen.
    SettingsKey().NotifyValueChange(SettingsEvent());
    for (;;) {
        uint32_t result = WaitForAny(objects, WAIT_INFINITE);
        if (result == 0) {
            DebugLog(u"%s thread normal exit", SETTINGS_THREAD_NAME);
            return 0;
        }
        if (result != 1) {
            DebugLog(u"%s thread abnormal exit", SETTINGS_THREAD_NAME);
            return 1;
        }
        SettingsKey().NotifyValueChange(SettingsEvent());
        ReloadSettings(CommandLine(), SettingsKey());
    }
}

bool CreateServiceEvent(EVENT& event, bool manualReset, const char16_t* name) {
    if (event.Create(manualReset, false)) return true;
    uint32_t code = GetLastErrorCode();
    EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_CREATE_EVENT, GetErrorText(code), DecimalText(code), name);
    return false;
}

void CloseServiceEvents() {
    SettingsEvent().Close();
    {
        std::lock_guard<std::mutex> guard(StopEventLock);
        StopServiceEvent().Close();
    }
    SettingsChangedEvent().Close();
}

void LookUpAnonymousLogonName() {
    SID_PTR sid = AllocateSid(5, 0xFFFFFFFF, 7, 0);
    if (!sid) return;
    STRING name;
    if (GetAccountName(sid.Get(), &name, nullptr, nullptr)) {
        AnonymousName = std::move(name);
        DebugLog(u"Anonymous Login account name = \"%s\"", AnonymousName);
    }
}

}  // namespace

IDENTITY_CONTEXT ServiceIdentityContext() {
    IDENTITY_CONTEXT context;
    context.IdentityServer = GetIdentityServer;
    context.IdentityProtocol = [] { return Settings().IdentityProtocol.load(); };
    context.AdServer = GetAdServer;
    context.StopEvent = StopServiceEvent().IsValid() ? &StopServiceEvent() : nullptr;
    context.SettingsChangedEvent = SettingsChangedEvent().IsValid() ? &SettingsChangedEvent() : nullptr;
    context.RequestStop = StopService;
    context.Trust = [] { return GetConnectionSettings().Trust; };
    context.FallbackServers = [] { return GetConnectionSettings().Fallbacks; };
    context.ResendOnReconnect = [] { return GetConnectionSettings().ResendOnReconnect; };
    context.AfterRound = PublishAgentHealth;
    return context;
}

EVENT_LOG_CONTEXT ServiceEventLogContext() {
    EVENT_LOG_CONTEXT context{CommandLine()};
    context.RequestStop = StopService;
    context.LogonTimeToLive = [] { return Settings().LogonTimeToLive.load(); };
    context.HeartbeatInterval = [] { return Settings().HeartbeatInterval.load(); };
    context.StatisticsKey = &StatisticsKey();
    context.LogonFilters = &LogonFilters();
    context.StatisticsWritten = PublishAgentHealth;
    context.StopEvent = &StopServiceEvent();
    context.LoadPosition = LoadReadPosition;
    context.SavePosition = SaveReadPosition;
    return context;
}

EVENT& StopServiceEvent() {
    static EVENT event;
    return event;
}

EVENT& SettingsEvent() {
    static EVENT event;
    return event;
}

EVENT& SettingsChangedEvent() {
    static EVENT event;
    return event;
}

REGISTRY_KEY& StatisticsKey() {
    static REGISTRY_KEY key;
    return key;
}

const STRING& AnonymousLogonName() { return AnonymousName; }

const STRING& ProgramFileVersion() {
    static const STRING version = [] {
        STRING text;
        GetVersionStrings(nullptr, {{u"FileVersion", &text}});
        return text;
    }();
    return version;
}

void InitializeProgramResources() {
    ProgramFileVersion();
    EventReporter().SetMessageModule(nullptr);  // the program's own message table
}

STRING ShortVersionText() {
    STRING text;
    FormatString(text, u"%lu.%lu.%lu build %lu %s", VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH, VERSION_BUILD,
                 VERSION_BUILD_TEXT);
    return text;
}

void LogVersion() {
    OS_VERSION os = GetOsVersion();
    DebugLog(u"%s version %u.%u.%u build %u (%s), %s, Windows version %lu.%lu build %lu", PROGRAM_FILE_NAME,
             VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH, VERSION_BUILD, ProgramFileVersion(), VERSION_BUILD_TEXT,
             os.Major, os.Minor, os.Build);
}

void StopService(const char16_t* reason) {
    DebugLog(u"Stopping Service: Reason = %s", reason);
    std::lock_guard<std::mutex> guard(StopEventLock);
    EVENT& stop = StopServiceEvent();
    if (!stop.IsValid() || WaitForOne(stop, 0) != WAIT_TIMED_OUT) return;
    EventReporter().ReportEvent(EVENT_TYPE_INFORMATION, MSG_SERVICE_STOPPED, ShortVersionText(), reason);
    stop.Set();
}

bool InitializeService() {
    COMMAND_LINE& line = CommandLine();
    REGISTRY_KEY& key = SettingsKey();
    SaveDebugOutputMode(line, key);
    if (!LoadSettings(line, key)) return false;

    if (RegistryValueExists(key, SHUTDOWN) && WriteRegistryDword(key, SHUTDOWN, 0)) {
        DebugLog(u"Registry value \"%s\" reset", SHUTDOWN);
    }

    uint32_t code = key.CreateSubkey(STATISTICS, StatisticsKey());
    if (code != ERR_SUCCESS) {
        EventReporter().ReportEvent(EVENT_TYPE_WARNING, MSG_CREATE_REGISTRY_KEY, GetErrorText(code), DecimalText(code),
                                    SettingsKeyFullPath(STATISTICS));
    }

    LookUpAnonymousLogonName();

    if (!CreateServiceEvent(StopServiceEvent(), true, u"stop service") ||
        !CreateServiceEvent(SettingsEvent(), false, u"Settings") ||
        !CreateServiceEvent(SettingsChangedEvent(), false, u"settings changed")) {
        CloseServiceEvents();
        return false;
    }

    THREAD_GROUP group(&SettingsThread, 1, SETTINGS_THREAD_NAME, DebugLogFunction, SignalSettingsThreadStop,
                       &SettingsEvent(), false);
    if (!group.Start(SettingsThreadProc, nullptr)) {
        CloseServiceEvents();
        return false;
    }
    group.Release();
    return true;
}

void UninitializeService() {
    DebugLog(u"Uninitializing service");
    StopThreads(SETTINGS_THREAD_BUDGET_MS, DebugLogFunction,
                {STOP_GROUP::Single(SETTINGS_THREAD_NAME, SignalSettingsThreadStop, &SettingsEvent(), &SettingsThread)});
    CleanUpSockets();
    CloseServiceEvents();
}

}  // namespace qv
