// What the service control manager sees of the service: the controls it takes and the one it
// refuses, and (POSIX, under a stand-in notification socket) how a bad start parameter ends it.
#include "service/service_main.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error_codes.h"
#include "platform/wait.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "service/command_line.h"
#include "service/service_host.h"
#include "service/settings.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "tests/platform/notify_socket_stub.h"
#include "tests/platform/temp_data_root.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

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

// The service reports stopped only once its clean-up is done: "Uninitializing service" and the
// Settings thread's end come before STATUS=Stopped. The service is held at the line that says
// the thread has stopped until the test has looked for a stopped report.
TEST(ServiceMainTest, StoppedIsReportedOnlyAfterTheCleanUp) {
    class HELD_AT_THREAD_STOP : public DEBUG_LOG_ENVIRONMENT {
    public:
        void DebuggerOutput(const char16_t* line) override {
            const std::string text = test::Utf8(line);
            std::unique_lock lock(Lock);
            Lines += text;
            if (text.find("1 thread stopped normally") == std::string::npos) return;
            Held = true;
            Changed.notify_all();
            Changed.wait(lock, [this] { return Released; });
        }
        void ConsoleOutput(const char16_t*) override {}
        bool WaitUntilHeld() {
            std::unique_lock lock(Lock);
            return Changed.wait_for(lock, std::chrono::seconds(10), [this] { return Held; });
        }
        void Release() {
            std::lock_guard lock(Lock);
            Released = true;
            Changed.notify_all();
        }
        bool Wrote(const std::string& text) {
            std::lock_guard lock(Lock);
            return Lines.find(text) != std::string::npos;
        }
        std::string Text() {
            std::lock_guard lock(Lock);
            return Lines;
        }

    private:
        std::mutex Lock;
        std::condition_variable Changed;
        std::string Lines;
        bool Held = false;
        bool Released = false;
    };

    test::TEMP_DATA_ROOT root("service-main");
    ASSERT_EQ(CreateRegistryKey(SETTINGS_KEY_PATH), 0u);
    ASSERT_EQ(SettingsKey().Open(SETTINGS_KEY_PATH, true), 0u);
    ASSERT_TRUE(WriteRegistryString(SettingsKey(), u"IdentServer", u"127.0.0.1"));
    // The service's lines go to the debugger channel only, as a saved mode would send them.
    CommandLine().RegistryMode = DBGOUT_DEBUGGER;
    HELD_AT_THREAD_STOP log;
    ResetDebugLogForTest(&log);
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    InitializeProgramResources();
    test::NOTIFY_SOCKET_STUB manager;

    std::thread service([] {
        const char16_t* const parameters[] = {u"Quorvane"};
        ServiceMain(1, parameters);
    });
    std::string message;
    for (int i = 0; i < 10 && message.find("READY=1") == std::string::npos; ++i) message = manager.Receive();
    EXPECT_NE(message.find("READY=1"), std::string::npos) << log.Text();
    StopService(u"test");
    EXPECT_TRUE(log.WaitUntilHeld());
    for (message = manager.Receive(300); !message.empty(); message = manager.Receive(300)) {
        EXPECT_EQ(message.find("STATUS=Stopped"), std::string::npos) << "reported stopped before its clean-up";
    }
    EXPECT_TRUE(log.Wrote("Uninitializing service"));
    EXPECT_TRUE(log.Wrote("Settings thread normal exit"));
    log.Release();
    EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=Stopped");
    service.join();
    ResetDebugLogForTest(nullptr);
    CommandLine().RegistryMode = 0;
    SettingsKey().Close();
}
#endif

}  // namespace
}  // namespace qv
