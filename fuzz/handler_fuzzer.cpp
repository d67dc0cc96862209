// libFuzzer target over the logon handlers and their tables. Each input is one record of a
// handled kind with fuzzed replacement strings, dispatched into one long-lived EVENT_LOG, so
// the tables grow, renew, change users and expire across inputs. Reports go to a reference
// identity server on loopback; host names and the directory come from fakes.
//
// Input: the first byte picks the event kind; the rest are replacement strings separated by
// 0x1F. A string of one byte below 0x20 stands for one of the tokens below (SIDs, markers,
// logon types, a handful of addresses and names), so the handlers' branches are reached
// without the fuzzer having to spell them.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventlog/event_log.h"
#include "identity/identity_protocol.h"
#include "platform/event_log_record.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/identity/fake_host_resolver.h"
#include "tests/identity/test_identity_settings.h"
#include "tests/support/settable_clock.h"

extern char** environ;

namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.43";
constexpr uint32_t KINDS[] = {528, 538, 540, 673, 4624, 4634};
const char16_t* const TOKENS[] = {u"S-1-0-0", u"S-1-5-7", u"S-1-5-21-1-2-3-1104", u"-", u"", u"3", u"0xA", u"2",
                                  u"5", u"3x", u"10.0.0.5", u"10.0.0.6", u"::1", u"127.0.0.1", u"fe80::1",
                                  u"alice", u"bob", u"PC7$", u"CORP", u"CORP.EXAMPLE.COM", u"alice@CORP.EXAMPLE.TEST",
                                  u"DC1$", u"0x6", u"PC7", u"NT AUTHORITY", u"ANONYMOUS LOGON", u"x\\y", u"%1", u"$",
                                  u"10.0.0.5:1", u"0X1F", u"\U0001F600"};

class QUIET_LOG : public DEBUG_LOG_ENVIRONMENT {
public:
    void DebuggerOutput(const char16_t*) override {}
    void KernelDebuggerOutput(const char*) override {}
    void ConsoleOutput(const char16_t*) override {}
};

// Everything the handlers reach, set up once for the whole run.
struct WORLD {
    WORLD() {
        ResetDebugLogForTest(&Quiet);
        SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_VERBOSE | DBGOUT_NO_TIME_STAMP);
        StartServer();
        Resolver.Names[u"10.0.0.5"] = u"pc7.corp.example.test";
        Directory.AddName(ADS_NAME_TYPE_DOMAIN_SIMPLE, u"alice@CORP.EXAMPLE.TEST", ADS_NAME_TYPE_NT4, u"CORP\\alice");
        Directory.AddName(ADS_NAME_TYPE_DOMAIN_SIMPLE, u"PC7$@CORP.EXAMPLE.TEST", ADS_NAME_TYPE_NT4, u"CORP\\PC7$");
        Settings.SetServer(STRING(SERVER_ADDRESS).Text());
        Settings.SetProtocol(PROTOCOL_TCP);
        Connection.RetryPauseMs = 100;
        SetCurrentConnection(&Connection);
        Timing.ExpiryIntervalMs = 0;
        Log = std::make_unique<EVENT_LOG>(EVENT_LOG_CONTEXT{Switches}, CreateSystemEventLog(), Timing);
    }
    ~WORLD() {
        if (Server > 0) kill(Server, SIGTERM);
    }
    void StartServer() {
        const std::string ready = "/tmp/qv_fuzz_server_" + std::to_string(getpid()) + ".ready";
        const char* arguments[] = {IDENTITY_SERVER_PROGRAM, "--address", SERVER_ADDRESS, "--no-tls", "--ready-file",
                                   ready.c_str(), nullptr};
        if (posix_spawn(&Server, IDENTITY_SERVER_PROGRAM, nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) {
            return;
        }
        for (int i = 0; i < 100 && access(ready.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    QUIET_LOG Quiet;
    pid_t Server = -1;
    test::SETTABLE_CLOCK Clock;
    test::FAKE_HOST_RESOLVER Resolver;
    test::FAKE_DIRECTORY_ACCESS Directory;
    test::IDENTITY_SETTINGS Settings;
    IDENTITY_PROTOCOL Connection{Settings.Context()};
    DUMP_SWITCHES Switches;
    EVENT_LOG_TIMING Timing;
    std::unique_ptr<EVENT_LOG> Log;
    uint32_t Records = 0;
};

WORLD& World() {
    static WORLD world;
    return world;
}

std::vector<std::u16string> Strings(const uint8_t* data, size_t size) {
    std::vector<std::u16string> strings;
    std::string current;
    auto finish = [&] {
        if (current.size() == 1 && static_cast<uint8_t>(current[0]) < 0x20) {
            strings.emplace_back(TOKENS[static_cast<uint8_t>(current[0]) % std::size(TOKENS)]);
        } else {
            const STRING text(current.c_str());
            strings.emplace_back(text.Text(), text.Length());
        }
        current.clear();
    };
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1F) {
            finish();
        } else if (data[i] != 0) {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    finish();
    return strings;
}

}  // namespace
}  // namespace qv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qv;
    if (size == 0 || size > 4096) return 0;
    WORLD& world = World();
    NEW_EVENT_RECORD record;
    record.EventID = KINDS[data[0] % std::size(KINDS)];
    record.EventType = 8;
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = u"DC1";
    record.Strings = Strings(data + 1, size - 1);
    const std::vector<uint8_t> bytes = BuildEventLogRecord(record, ++world.Records);
    RECORD_RANGE range;
    world.Log->DispatchRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), range);

    // Time passes now and then: tickets and logons expire, heartbeats go out.
    if (world.Records % 64 == 0) {
        world.Clock.Advance(7 * 60000);
        world.Log->Expire();
    }
    return 0;
}
