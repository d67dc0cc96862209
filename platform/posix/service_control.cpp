// The service control manager on POSIX is systemd (see platform/service_control.h for the
// mapping). The dispatcher's thread is the process's main thread, as on Windows: it starts the
// service's thread, turns stop signals into the stop control and a reload (SIGHUP) into a
// fresh read of the settings, and returns when that thread ends.
#include "platform/service_control.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"
#include "platform/posix/settings_reload.h"
#include "platform/posix/stop_signals.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace qv {

namespace {

// What the service registered and last reported, shared by the service's thread (which
// registers and reports) and the dispatcher (which delivers controls).
struct SERVICE_STATE {
    std::mutex Lock;
    SERVICE_CONTROL_PROC Handler = nullptr;
    void* Context = nullptr;
    std::atomic<uint32_t> ControlsAccepted{0};
    // Set after each status report, so the dispatcher looks again at a stop it is holding back.
    EVENT StatusReported;
};

SERVICE_STATE& State() {
    static SERVICE_STATE state;
    return state;
}

struct SERVICE_START {
    SERVICE_MAIN_PROC Main;
    std::vector<const char16_t*> Arguments;
};

uint32_t ServiceThreadProc(void* argument) {
    auto* start = static_cast<SERVICE_START*>(argument);
    start->Main(static_cast<uint32_t>(start->Arguments.size()), start->Arguments.data());
    return 0;
}

bool StartedByServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void DeliverControl(uint32_t control) {
    SERVICE_STATE& state = State();
    SERVICE_CONTROL_PROC handler = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        handler = state.Handler;
        context = state.Context;
    }
    if (handler != nullptr) handler(control, 0, nullptr, context);
}

std::string StatusMessage(const SERVICE_STATUS_REPORT& status) {
    std::string message;
    std::string state;
    switch (status.CurrentState) {
        case SERVICE_STATE_START_PENDING:
            state = "Start pending, check point " + std::to_string(status.CheckPoint);
            break;
        case SERVICE_STATE_RUNNING:
            message = "READY=1\n";
            state = "Running";
            break;
        case SERVICE_STATE_STOP_PENDING:
            message = "STOPPING=1\n";
            state = "Stop pending, check point " + std::to_string(status.CheckPoint);
            break;
        case SERVICE_STATE_STOPPED:
            message = "STOPPING=1\n";
            state = "Stopped";
            if (status.Win32ExitCode == ERR_SERVICE_SPECIFIC_ERROR) {
                state += ", service-specific exit code " + std::to_string(status.ServiceSpecificExitCode);
            } else if (status.Win32ExitCode != 0) {
                state += ", exit code " + std::to_string(status.Win32ExitCode);
            }
            break;
        default:
            return std::string();
    }
    message += "STATUS=" + state;
    const bool pending =
        status.CurrentState == SERVICE_STATE_START_PENDING || status.CurrentState == SERVICE_STATE_STOP_PENDING;
    if (pending && status.WaitHint != 0) {
        message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(status.WaitHint) * 1000);
    }
    return message;
}

}  // namespace

uint32_t RunServiceDispatcher(const char16_t* serviceName, SERVICE_MAIN_PROC serviceMain) {
    if (!StartedByServiceManager()) {
        SetLastErrorCode(ERR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return ERR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    SERVICE_STATE& state = State();
    if (!state.StatusReported.IsValid() && !state.StatusReported.Create(false, false)) return GetLastErrorCode();
    STOP_SIGNALS signals;
    if (!signals.Install()) return GetLastErrorCode();

    // The service manager passes no start parameters: the service's vector is its name alone.
    SERVICE_START start{serviceMain, {serviceName}};
    THREAD service;
    if (!service.Start(ServiceThreadProc, &start)) return GetLastErrorCode();

    // A stop that arrives before the service accepts it (while it starts) waits until it does;
    // the Windows service manager would refuse it, but systemd sends its signal only once.
    bool stopPending = false;
    const WAITABLE* objects[] = {&service, &signals, &state.StatusReported};
    for (;;) {
        const uint32_t result = WaitForAny(objects, WAIT_INFINITE);
        if (result == 0) break;
        if (result == 1) {
            // SIGHUP is systemd's reload (ExecReload): the settings are read again, as after a
            // change of the settings key.
            uint32_t seen = 0;
            signals.Take(&seen);
            if ((seen & ((1u << SIGTERM) | (1u << SIGINT))) != 0) stopPending = true;
            if ((seen & (1u << SIGHUP)) != 0) SignalSettingsReload();
        }
        if (result == WAIT_FAILED_RESULT) {
            // Nothing can be delivered any more; the service still ends its own way.
            WaitForOne(service, WAIT_INFINITE);
            break;
        }
        if (stopPending && (state.ControlsAccepted.load() & SERVICE_ACCEPTS_STOP) != 0) {
            stopPending = false;
            DeliverControl(SERVICE_CONTROL_CODE_STOP);
        }
    }
    return ERR_SUCCESS;
}

SERVICE_STATUS_HANDLE_VALUE RegisterServiceControlHandler(const char16_t*, SERVICE_CONTROL_PROC handler,
                                                          void* context) {
    SERVICE_STATE& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Handler = handler;
    state.Context = context;
    return &state;
}

uint32_t SendServiceStatus(SERVICE_STATUS_HANDLE_VALUE handle, const SERVICE_STATUS_REPORT& status) {
    SERVICE_STATE& state = State();
    uint32_t code = ERR_SUCCESS;
    const std::string message = StatusMessage(status);
    if (handle != &state) {
        code = ERR_INVALID_HANDLE;
    } else if (message.empty()) {
        code = ERR_INVALID_PARAMETER;
    } else {
        const int sent = sd_notify(0, message.c_str());
        // 0: no notification socket, so nobody is there to take the status.
        if (sent < 0) code = ErrorFromErrno(-sent);
        if (sent == 0) code = ERR_INVALID_HANDLE;
    }
    if (code != ERR_SUCCESS) {
        SetLastErrorCode(code);
        return code;
    }
    state.ControlsAccepted = status.ControlsAccepted;
    if (state.StatusReported.IsValid()) state.StatusReported.Set();
    return ERR_SUCCESS;
}

void SetServiceStatusText(const char16_t* text) {
    if (!StartedByServiceManager() || text == nullptr) return;
    {
        // Only a registered service speaks for the unit.
        SERVICE_STATE& state = State();
        std::lock_guard<std::mutex> guard(state.Lock);
        if (state.Handler == nullptr) return;
    }
    std::string line(STRING_A(text).Text());
    // One line: the protocol ends an assignment at a line break.
    for (char& character : line) {
        if (character == '\n' || character == '\r') character = ' ';
    }
    sd_notify(0, ("STATUS=" + line).c_str());
}

}  // namespace qv
