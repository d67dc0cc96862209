// Logon reports per second over loopback, each a full round trip to the reference identity
// server: encode, send, wait for the 14-byte response, check it. Plain TCP and TLS.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "support/debug_log.h"
#include "tests/identity/test_identity_settings.h"

extern char** environ;

namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.41";

// The reference server, for as long as the benchmarks run.
class REFERENCE_SERVER {
public:
    REFERENCE_SERVER() {
        std::string ready = "/tmp/qv_bench_server_" + std::to_string(getpid()) + ".ready";
        std::remove(ready.c_str());
        const char* arguments[] = {IDENTITY_SERVER_PROGRAM, "--address", SERVER_ADDRESS, "--ready-file", ready.c_str(),
                                   nullptr};
        if (posix_spawn(&Pid, IDENTITY_SERVER_PROGRAM, nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) {
            Pid = -1;
            return;
        }
        for (int i = 0; i < 100 && access(ready.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::remove(ready.c_str());
    }
    ~REFERENCE_SERVER() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
        }
    }

private:
    pid_t Pid = -1;
};

void LogonReports(benchmark::State& state, uint32_t protocol) {
    static REFERENCE_SERVER server;
    SetDebugOutputMode(0);
    test::IDENTITY_SETTINGS settings;
    settings.SetServer(STRING(SERVER_ADDRESS).Text());
    settings.SetProtocol(protocol);

    IDENTITY_PROTOCOL connection(settings.Context());
    SetCurrentConnection(&connection);
    if (!connection.Connect()) {
        state.SkipWithError("the reference identity server cannot be reached");
        return;
    }
    IP_ADDRESS address;
    IpAddressFromText(address, u"10.20.30.40");
    IDENTITY_REQUEST request;
    uint64_t failures = 0;
    for (auto _ : state) {
        if (!IdentityReportLogon(request, address, u"10.20.30.40", u"CORP\\alice", u"CORP\\pc7")) ++failures;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
    SetCurrentConnection(nullptr);
}

BENCHMARK_CAPTURE(LogonReports, plain_tcp, PROTOCOL_TCP)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(LogonReports, tls, PROTOCOL_SECURE_TCP)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
