#include "service/quorvane_main.h"

#include "base/error_codes.h"
#include "identity/ip_address.h"
#include "platform/directory_access.h"
#include "platform/error_text.h"
#include "platform/process_setup.h"
#include "platform/resource_string.h"
#include "platform/service_control.h"
#include "platform/user_notice.h"
#include "service/application_mode.h"
#include "service/command_line.h"
#include "service/replay_mode.h"
#include "service/report_mode.h"
#include "service/service_host.h"
#include "service/service_main.h"
#include "service/settings.h"
#include "service/status_mode.h"
#include "service/version.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "support/format.h"
#include "support/number_text.h"
#include "support/security.h"

namespace qv {

namespace {

constexpr uint32_t WARNING_CAPTION = 100;
constexpr uint32_t INVALID_ARGUMENT_FORMAT = 101;

int ConfigureAndExit() {
    if (!InitializeService()) return EXIT_INITIALIZATION;
    UninitializeService();
    return 0;
}

// Under the service control manager, or in the foreground when the process was not started by
// it (a command prompt; on POSIX, no systemd notification socket).
int RunServiceMode() {
    const uint32_t code = RunServiceDispatcher(SERVICE_NAME, ServiceMain);
    if (code == ERR_SUCCESS) return 0;
    if (code == ERR_FAILED_SERVICE_CONTROLLER_CONNECT) return RunAsApplication();
    EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_START_DISPATCHER, GetErrorText(code), DecimalText(code));
    return EXIT_DISPATCHER;
}

}  // namespace

int QuorvaneMain(uint32_t count, const char16_t* const* arguments) {
    COM_APARTMENT com;
    IgnoreBrokenConnectionSignals();
    InitializeProgramResources();

    SetDebugOutputPrefix(u"QRVA: ");
    SetDebugOutputCustomName(1, u"AD");
    SetDebugOutputCustomName(2, u"TCP");

    COMMAND_LINE& line = CommandLine();
    ReadDebugOutputSources(line);

    if (const char16_t* bad = ParseCommandLine(line, arguments, count)) {
        STRING caption = LoadResourceString(WARNING_CAPTION);
        STRING text;
        FormatString(text, RESOURCE_ID{INVALID_ARGUMENT_FORMAT}, bad);
        ShowWarning(text.Text(), caption.Text());
        return EXIT_BAD_COMMAND_LINE;
    }
    // Before any logging: a look at the running agent must not touch its log file.
    if (line.Status) return RunStatusMode();

    ApplyDebugOutputMode(line);
    LogVersion();

    uint32_t code = SettingsKey().Open(SETTINGS_KEY_PATH, true);
    if (code != ERR_SUCCESS) {
        EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_CREATE_REGISTRY_KEY, GetErrorText(code), DecimalText(code),
                                    SettingsKeyFullPath());
        return EXIT_SETTINGS_KEY;
    }
    // The directory's bind settings (Linux) live beside the others.
    SetDirectorySettingsKey(SETTINGS_KEY_PATH);

    OpenLsaPolicy();
    DiscoverHostAddresses();

    // A dry run first: whatever else the command line says, it never becomes a service.
    if (line.ReplayFile != nullptr) return RunReplayMode();
    if (line.ReportMode) return RunReportMode();
    if (line.ConfigureOnly) return ConfigureAndExit();
    if (line.Application) return RunAsApplication();
    return RunServiceMode();
}

}  // namespace qv
