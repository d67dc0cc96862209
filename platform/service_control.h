// The service control manager, and stop requests from a console.
//
// Windows: the real service control manager (StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandlerExW, SetServiceStatus) and a console control handler.
//
// POSIX: systemd. The process counts as started by the service manager when NOTIFY_SOCKET is
// in its environment; otherwise the dispatcher fails with 1063, as a Windows program started
// from a command prompt does. The dispatcher runs the service's main function on a thread of
// its own and turns SIGTERM and SIGINT into the stop control, handed to the control handler on
// the dispatcher's thread once the reported status accepts stop; SIGHUP (systemctl reload)
// makes the settings store signal its change notifications, so the service reads its settings
// again. Status reports go to the
// notification socket (sd_notify): start pending as STATUS= with EXTEND_TIMEOUT_USEC= from the
// wait hint, running as READY=1, stop pending and stopped as STOPPING=1, each with a STATUS=
// text that names the state and any exit code.
#pragma once

#include <cstdint>

namespace qv {

// SERVICE_STATUS values, as Windows numbers them.
constexpr uint32_t SERVICE_OWN_PROCESS_INTERACTIVE = 0x110;

constexpr uint32_t SERVICE_STATE_STOPPED = 1;
constexpr uint32_t SERVICE_STATE_START_PENDING = 2;
constexpr uint32_t SERVICE_STATE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_STATE_RUNNING = 4;

constexpr uint32_t SERVICE_CONTROL_CODE_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_CODE_INTERROGATE = 4;
constexpr uint32_t SERVICE_CONTROL_CODE_SHUTDOWN = 5;

constexpr uint32_t SERVICE_ACCEPTS_STOP = 0x1;
constexpr uint32_t SERVICE_ACCEPTS_SHUTDOWN = 0x4;

struct SERVICE_STATUS_REPORT {
    uint32_t ServiceType = SERVICE_OWN_PROCESS_INTERACTIVE;
    uint32_t CurrentState = SERVICE_STATE_STOPPED;
    uint32_t ControlsAccepted = 0;
    uint32_t Win32ExitCode = 0;
    uint32_t ServiceSpecificExitCode = 0;
    uint32_t CheckPoint = 0;
    uint32_t WaitHint = 0;
};

// The service's entry: its start parameters, the service name first.
using SERVICE_MAIN_PROC = void (*)(uint32_t count, const char16_t* const* arguments);
// A control: returns 0 or a Win32 error code (120 for a control it does not implement).
using SERVICE_CONTROL_PROC = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData, void* context);

// Opaque; null when registration failed.
using SERVICE_STATUS_HANDLE_VALUE = void*;

// Runs the dispatcher for one service until it has stopped: 0, or the Win32 error code of the
// failure (1063 when the process was not started by the service manager).
uint32_t RunServiceDispatcher(const char16_t* serviceName, SERVICE_MAIN_PROC serviceMain);

// Null, with the last-error value set, on failure.
SERVICE_STATUS_HANDLE_VALUE RegisterServiceControlHandler(const char16_t* serviceName, SERVICE_CONTROL_PROC handler,
                                                          void* context);

// 0, or the Win32 error code (also left as the last-error value).
uint32_t SendServiceStatus(SERVICE_STATUS_HANDLE_VALUE handle, const SERVICE_STATUS_REPORT& status);

// A one-line summary of how the running service is doing, for the service manager to show:
// systemd's STATUS= (systemctl status). Windows' service control manager keeps no such text,
// so there it goes nowhere; so it does outside a service.
void SetServiceStatusText(const char16_t* text);

// Hands a console stop request to 'onStop' for as long as the object lives: Windows' Ctrl+C,
// Ctrl+Break and the console being closed, POSIX's SIGINT, SIGTERM and SIGHUP (the terminal
// closed). 'onStop' runs on a
// thread of the platform's (never inside a signal handler) with the request's name, such as
// "CTRL_C_EVENT" or "SIGTERM". Install at most one at a time.
class CONSOLE_STOP_HANDLER {
public:
    using STOP_CALLBACK = void (*)(const char16_t* requestName);

    CONSOLE_STOP_HANDLER() = default;
    CONSOLE_STOP_HANDLER(const CONSOLE_STOP_HANDLER&) = delete;
    CONSOLE_STOP_HANDLER& operator=(const CONSOLE_STOP_HANDLER&) = delete;
    ~CONSOLE_STOP_HANDLER() { Uninstall(); }

    // False, with the last-error value set, when the handler could not be installed.
    bool Install(STOP_CALLBACK onStop);
    void Uninstall();

private:
    bool Installed = false;
};

}  // namespace qv
