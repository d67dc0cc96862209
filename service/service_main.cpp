#include "service/service_main.h"

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/process_setup.h"
#include "platform/service_control.h"
#include "service/command_line.h"
#include "service/run_service.h"
#include "service/service_host.h"
#include "service/version.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "support/number_text.h"

namespace qv {

namespace {

SERVICE_STATUS_HANDLE_VALUE StatusHandle = nullptr;

bool SendStatus(uint32_t state, uint32_t exitCode, bool serviceSpecific, uint32_t checkPoint, uint32_t waitHint,
                bool stopOnFailure) {
    SERVICE_STATUS_REPORT status;
    status.CurrentState = state;
    status.ControlsAccepted =
        state == SERVICE_STATE_START_PENDING ? 0 : SERVICE_ACCEPTS_STOP | SERVICE_ACCEPTS_SHUTDOWN;
    status.Win32ExitCode = serviceSpecific ? ERR_SERVICE_SPECIFIC_ERROR : exitCode;
    status.ServiceSpecificExitCode = serviceSpecific ? exitCode : 0;
    status.CheckPoint = checkPoint;
    status.WaitHint = waitHint;
    const uint32_t code = SendServiceStatus(StatusHandle, status);
    if (code == ERR_SUCCESS) return true;
    EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_SET_SERVICE_STATUS, GetErrorText(code), DecimalText(code));
    if (stopOnFailure) SendStatus(SERVICE_STATE_STOPPED, SERVICE_EXIT_STATUS_REPORT, true, 0, 0, false);
    return false;
}

}  // namespace

bool ReportServiceStatus(uint32_t state, uint32_t exitCode, bool serviceSpecific, uint32_t checkPoint,
                         uint32_t waitHint) {
    return SendStatus(state, exitCode, serviceSpecific, checkPoint, waitHint, true);
}

uint32_t ServiceControlHandler(uint32_t control, uint32_t, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_CODE_STOP:
            StopService(u"SERVICE_CONTROL_STOP");
            return ERR_SUCCESS;
        case SERVICE_CONTROL_CODE_SHUTDOWN:
            StopService(u"SERVICE_CONTROL_SHUTDOWN");
            return ERR_SUCCESS;
        default:
            DebugLog(u"Service control code = %lu not implemented", control);
            return ERR_CALL_NOT_IMPLEMENTED;
    }
}

void ServiceMain(uint32_t count, const char16_t* const* arguments) {
    COM_APARTMENT com;
    StatusHandle = RegisterServiceControlHandler(SERVICE_NAME, ServiceControlHandler, nullptr);
    if (StatusHandle == nullptr) {
        DebuggerPrint(u"Unable to register service. error = %lu", GetLastErrorCode());
        return;
    }

    COMMAND_LINE& line = CommandLine();
    if (const char16_t* bad = ParseCommandLine(line, arguments, count)) {
        EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_INVALID_START_PARAMETER, bad);
        ReportServiceStatus(SERVICE_STATE_STOPPED, SERVICE_EXIT_BAD_START_PARAMETER, true, 0, 0);
        return;
    }
    ApplyDebugOutputMode(line);
    LogVersion();

    if (!ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, false, SERVICE_START_CHECK_POINT,
                             SERVICE_START_WAIT_HINT_MS)) {
        return;
    }
    if (!InitializeService()) {
        ReportServiceStatus(SERVICE_STATE_STOPPED, SERVICE_EXIT_INITIALIZATION, true, 0, 0);
        return;
    }
    if (!ReportServiceStatus(SERVICE_STATE_RUNNING, 0, false, 0, 0)) {
        // The Settings thread and the events are ours by now: give them back in order.
        UninitializeService();
        return;
    }
    RunService();
    UninitializeService();
    ReportServiceStatus(SERVICE_STATE_STOPPED, 0, false, 0, 0);
}

}  // namespace qv
