// The Windows service control manager and console control handler. The system calls back
// through WINAPI functions with Win32 types; these thunks hand the calls to the program's own
// functions, which are kept here because a process hosts one service and one console handler.
#include "platform/service_control.h"

#include <atomic>

#include "platform/win32/win32.h"

namespace qv {

namespace {

SERVICE_MAIN_PROC ServiceMainFunction = nullptr;
SERVICE_CONTROL_PROC ServiceHandlerFunction = nullptr;
std::atomic<CONSOLE_STOP_HANDLER::STOP_CALLBACK> ConsoleCallback{nullptr};
// Set when the console handler is removed: a close, log-off or shutdown request waits for it,
// since the process ends as soon as the handler returns from one of those.
HANDLE ConsoleHandlerRemoved = nullptr;
constexpr DWORD CONSOLE_CLOSE_WAIT_MS = 5000;

void WINAPI ServiceMainThunk(DWORD count, LPWSTR* arguments) {
    ServiceMainFunction(count, reinterpret_cast<const char16_t* const*>(arguments));
}

DWORD WINAPI ServiceHandlerThunk(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    return ServiceHandlerFunction(control, eventType, eventData, context);
}

const char16_t* ConsoleEventName(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
            return u"CTRL_C_EVENT";
        case CTRL_BREAK_EVENT:
            return u"CTRL_BREAK_EVENT";
        case CTRL_CLOSE_EVENT:
            return u"CTRL_CLOSE_EVENT";
        case CTRL_LOGOFF_EVENT:
            return u"CTRL_LOGOFF_EVENT";
        case CTRL_SHUTDOWN_EVENT:
            return u"CTRL_SHUTDOWN_EVENT";
        default:
            return nullptr;
    }
}

BOOL WINAPI ConsoleHandlerThunk(DWORD type) {
    const char16_t* name = ConsoleEventName(type);
    CONSOLE_STOP_HANDLER::STOP_CALLBACK callback = ConsoleCallback.load();
    if (name == nullptr || callback == nullptr) return FALSE;
    callback(name);
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && ConsoleHandlerRemoved != nullptr) {
        WaitForSingleObject(ConsoleHandlerRemoved, CONSOLE_CLOSE_WAIT_MS);
    }
    return TRUE;
}

}  // namespace

uint32_t RunServiceDispatcher(const char16_t* serviceName, SERVICE_MAIN_PROC serviceMain) {
    ServiceMainFunction = serviceMain;
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(AsWide(serviceName)), ServiceMainThunk},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherW(table)) return ERROR_SUCCESS;
    return GetLastError();
}

SERVICE_STATUS_HANDLE_VALUE RegisterServiceControlHandler(const char16_t* serviceName, SERVICE_CONTROL_PROC handler,
                                                          void* context) {
    ServiceHandlerFunction = handler;
    return RegisterServiceCtrlHandlerExW(AsWide(serviceName), ServiceHandlerThunk, context);
}

uint32_t SendServiceStatus(SERVICE_STATUS_HANDLE_VALUE handle, const SERVICE_STATUS_REPORT& status) {
    SERVICE_STATUS native{};
    native.dwServiceType = status.ServiceType;
    native.dwCurrentState = status.CurrentState;
    native.dwControlsAccepted = status.ControlsAccepted;
    native.dwWin32ExitCode = status.Win32ExitCode;
    native.dwServiceSpecificExitCode = status.ServiceSpecificExitCode;
    native.dwCheckPoint = status.CheckPoint;
    native.dwWaitHint = status.WaitHint;
    if (SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &native)) return ERROR_SUCCESS;
    return GetLastError();
}

bool CONSOLE_STOP_HANDLER::Install(STOP_CALLBACK onStop) {
    if (Installed) return true;
    if (ConsoleHandlerRemoved == nullptr) ConsoleHandlerRemoved = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ConsoleHandlerRemoved == nullptr || !ResetEvent(ConsoleHandlerRemoved)) return false;
    ConsoleCallback = onStop;
    if (!SetConsoleCtrlHandler(ConsoleHandlerThunk, TRUE)) {
        const DWORD code = GetLastError();
        ConsoleCallback = nullptr;
        SetLastError(code);
        return false;
    }
    Installed = true;
    return true;
}

void CONSOLE_STOP_HANDLER::Uninstall() {
    if (!Installed) return;
    SetConsoleCtrlHandler(ConsoleHandlerThunk, FALSE);
    ConsoleCallback = nullptr;
    // A handler still waiting is released. The event is kept for the next Install, since that
    // handler may not have reached its wait yet.
    SetEvent(ConsoleHandlerRemoved);
    Installed = false;
}

void SetServiceStatusText(const char16_t*) {}

}  // namespace qv
