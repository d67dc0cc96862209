// The POSIX half of the service control interface against a stand-in for systemd's end of the
// notification socket: what each status becomes, the 1063 of a process systemd did not start,
// and SIGTERM turned into the stop control only once the service accepts it.
#if !defined(_WIN32)

#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/error_codes.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/platform/notify_socket_stub.h"
#include "tests/platform/temp_data_root.h"

namespace qv {
namespace {

SERVICE_STATUS_REPORT Status(uint32_t state, uint32_t accepted = 0, uint32_t win32Exit = 0, uint32_t ownExit = 0,
                             uint32_t checkPoint = 0, uint32_t waitHint = 0) {
    SERVICE_STATUS_REPORT status;
    status.CurrentState = state;
    status.ControlsAccepted = accepted;
    status.Win32ExitCode = win32Exit;
    status.ServiceSpecificExitCode = ownExit;
    status.CheckPoint = checkPoint;
    status.WaitHint = waitHint;
    return status;
}

uint32_t IgnoreControl(uint32_t, uint32_t, void*, void*) { return ERR_SUCCESS; }

TEST(ServiceControlTest, EachStatusBecomesANotification) {
    test::NOTIFY_SOCKET_STUB manager;
    SERVICE_STATUS_HANDLE_VALUE handle = RegisterServiceControlHandler(u"Quorvane", IgnoreControl, nullptr);
    ASSERT_NE(handle, nullptr);

    EXPECT_EQ(SendServiceStatus(handle, Status(SERVICE_STATE_START_PENDING, 0, 0, 0, 1, 30000)), ERR_SUCCESS);
    EXPECT_EQ(manager.Receive(), "STATUS=Start pending, check point 1\nEXTEND_TIMEOUT_USEC=30000000");
    EXPECT_EQ(SendServiceStatus(handle, Status(SERVICE_STATE_RUNNING, 5)), ERR_SUCCESS);
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=Running");
    EXPECT_EQ(SendServiceStatus(handle, Status(SERVICE_STATE_STOPPED, 5, ERR_SERVICE_SPECIFIC_ERROR, 2)), ERR_SUCCESS);
    EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=Stopped, service-specific exit code 2");
    EXPECT_EQ(SendServiceStatus(handle, Status(SERVICE_STATE_STOPPED, 5)), ERR_SUCCESS);
    EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=Stopped");

    EXPECT_EQ(SendServiceStatus(handle, Status(99)), ERR_INVALID_PARAMETER);
    EXPECT_EQ(SendServiceStatus(nullptr, Status(SERVICE_STATE_RUNNING)), ERR_INVALID_HANDLE);
    EXPECT_EQ(manager.Receive(100), "");
}

TEST(ServiceControlTest, WithoutTheServiceManagerNothingCanBeSent) {
    unsetenv("NOTIFY_SOCKET");
    SERVICE_STATUS_HANDLE_VALUE handle = RegisterServiceControlHandler(u"Quorvane", IgnoreControl, nullptr);
    EXPECT_EQ(RunServiceDispatcher(u"Quorvane", [](uint32_t, const char16_t* const*) {}),
              ERR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_NE(SendServiceStatus(handle, Status(SERVICE_STATE_RUNNING)), ERR_SUCCESS);

    setenv("NOTIFY_SOCKET", "/tmp/qv-nobody-listens-here", 1);
    EXPECT_NE(SendServiceStatus(handle, Status(SERVICE_STATE_RUNNING)), ERR_SUCCESS);
    unsetenv("NOTIFY_SOCKET");
}

// The service of the dispatcher test: it raises SIGTERM while it starts, and only the running
// status may let the stop control through.
EVENT StopControl;
std::atomic<int> Outcome{0};
constexpr int DELIVERED_EARLY = 2;
constexpr int NEVER_DELIVERED = 3;

uint32_t TakeStop(uint32_t control, uint32_t, void*, void*) {
    if (control == SERVICE_CONTROL_CODE_STOP) StopControl.Set();
    return ERR_SUCCESS;
}

void StartThenWaitForStop(uint32_t count, const char16_t* const* arguments) {
    if (count != 1 || std::u16string(arguments[0]) != u"Quorvane") return;
    SERVICE_STATUS_HANDLE_VALUE handle = RegisterServiceControlHandler(u"Quorvane", TakeStop, nullptr);
    SendServiceStatus(handle, Status(SERVICE_STATE_START_PENDING, 0, 0, 0, 1, 30000));
    kill(getpid(), SIGTERM);
    if (WaitForOne(StopControl, 300) != WAIT_TIMED_OUT) Outcome = DELIVERED_EARLY;
    SendServiceStatus(handle, Status(SERVICE_STATE_RUNNING, SERVICE_ACCEPTS_STOP | SERVICE_ACCEPTS_SHUTDOWN));
    if (Outcome == 0 && WaitForOne(StopControl, 5000) != 0) Outcome = NEVER_DELIVERED;
    SendServiceStatus(handle, Status(SERVICE_STATE_STOPPED, 5));
}

TEST(ServiceControlTest, SigtermIsTheStopControlOnceTheServiceAcceptsIt) {
    // In a child: the signal's disposition is the process's.
    const pid_t child = test::StartChild([] {
        test::NOTIFY_SOCKET_STUB manager;
        if (!StopControl.Create(true, false)) return 1;
        if (RunServiceDispatcher(u"Quorvane", StartThenWaitForStop) != ERR_SUCCESS) return 1;
        if (manager.Receive() != "STATUS=Start pending, check point 1\nEXTEND_TIMEOUT_USEC=30000000") return 4;
        return Outcome.load();
    });
    EXPECT_EQ(test::WaitChild(child), 0);
}

}  // namespace
}  // namespace qv

#endif
