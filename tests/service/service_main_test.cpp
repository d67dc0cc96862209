// What the service control manager sees of the service: the controls it takes and the one it
// refuses, and (POSIX, under a stand-in notification socket) how a bad start parameter ends it.
#include "service/service_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error_codes.h"
#include "platform/wait.h"
#include "service/service_host.h"
#include "support/debug_log.h"
#include "tests/platform/notify_socket_stub.h"
#include "tests/support/log_capture.h"

namespace qv {
namespace {

constexpr uint32_t CAPTURE_MODE = DBGOUT_DEBUGGER | DBGOUT_NO_TIME_STAMP;

TEST(ServiceMainTest, StopAndShutdownStopTheServiceOnceAndOtherControlsAreNotImplemented) {
    test::LOG_CAPTURE capture(CAPTURE_MODE);
    InitializeProgramResources();
    ASSERT_TRUE(StopServiceEvent().Create(true));

    EXPECT_EQ(ServiceControlHandler(4, 0, nullptr, nullptr), ERR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(capture.DebuggerLinesWith("Service control code = 4 not implemented").size(), 1u);
    EXPECT_EQ(WaitForOne(StopServiceEvent(), 0), WAIT_TIMED_OUT);

    EXPECT_EQ(ServiceControlHandler(1, 0, nullptr, nullptr), ERR_SUCCESS);
    EXPECT_EQ(ServiceControlHandler(1, 0, nullptr, nullptr), ERR_SUCCESS);
    EXPECT_EQ(ServiceControlHandler(5, 0, nullptr, nullptr), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(StopServiceEvent(), 0), 0u);
    EXPECT_EQ(capture.DebuggerLinesWith("Stopping Service: Reason = SERVICE_CONTROL_STOP").size(), 2u);
    EXPECT_EQ(capture.DebuggerLinesWith("Stopping Service: Reason = SERVICE_CONTROL_SHUTDOWN").size(), 1u);
    // The stopped event, once, with the first reason (its echo is wrapped at 80 characters).
    const std::vector<std::string> stopped = capture.DebuggerLinesWith("Release x64 stopped. Reason =");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_NE(stopped[0].find("SERVICE_CONTROL_STOP."), std::string::npos);
    StopServiceEvent().Close();
}

#if !defined(_WIN32)
TEST(ServiceMainTest, ABadStartParameterStopsWithServiceSpecificCodeOne) {
    test::LOG_CAPTURE capture(CAPTURE_MODE);
    InitializeProgramResources();
    test::NOTIFY_SOCKET_STUB manager;
    const char16_t* const parameters[] = {u"Quorvane", u"BOGUS"};
    ServiceMain(2, parameters);
    EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=Stopped, service-specific exit code 1");
    EXPECT_EQ(capture.DebuggerLinesWith("Invalid service start parameter = \"BOGUS\".").size(), 1u);
    EXPECT_EQ(manager.Receive(100), "");
}
#endif

}  // namespace
}  // namespace qv
