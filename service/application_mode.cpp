#include "service/application_mode.h"

#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/service_control.h"
#include "service/quorvane_main.h"
#include "service/run_service.h"
#include "service/service_host.h"
#include "support/debug_log.h"
#include "support/format.h"

namespace qv {

namespace {

// Ctrl+C and its kin (SIGINT, SIGTERM) stop the program in the same order as the Shutdown value.
void OnConsoleStop(const char16_t* requestName) {
    STRING reason;
    FormatString(reason, u"Console control event (%s)", requestName);
    StopService(reason.Text());
}

}  // namespace

int RunAsApplication() {
    DebugLog(u"Running as application");
    if (!InitializeService()) return EXIT_INITIALIZATION;
    // Installed once the stop-service event exists, so that no request can go unheard; it stays
    // until the clean-up is done, so that a second request cannot cut that short.
    CONSOLE_STOP_HANDLER console;
    if (!console.Install(OnConsoleStop)) {
        const uint32_t code = GetLastErrorCode();
        DebugLog(u"Unable to install the console control handler. %s. Error code = %lu.", GetErrorText(code), code);
    }
    RunService();
    UninitializeService();
    return 0;
}

}  // namespace qv
