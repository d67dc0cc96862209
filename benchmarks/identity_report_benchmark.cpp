// Logon reports per second over loopback, each a full round trip to the reference identity
// server: encode, send, wait for the 14-byte response, check it. Plain TCP and TLS.
#include <benchmark/benchmark.h>

#include "benchmarks/reference_server.h"
#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "support/debug_log.h"
#include "tests/identity/test_identity_settings.h"

namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.41";

void LogonReports(benchmark::State& state, uint32_t protocol) {
    static bench::REFERENCE_SERVER server({"--address", SERVER_ADDRESS});
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
