// Logon reports per second with directory enrichment (DN, OU and groups of the user, DN and
// OU of the computer) against a real Active Directory (the Samba domain controller of
// tests/e2e/samba_dc.sh, bound with GSSAPI from its keytab) and the reference identity server
// over plain TCP; and the directory round trips each report costs. Cold: the cache of
// directory answers is emptied before every report (the LDAP connection stays bound, as it
// does in the service). Warm: a repeat logon of a known user.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "directory/directory_cache.h"
#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "platform/directory_access.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "support/debug_log.h"
#include "tests/directory/directory_test_support.h"
#include "tests/identity/test_identity_settings.h"
#include "tests/platform/temp_data_root.h"

extern char** environ;

namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.42";
constexpr char16_t KEY[] = u"SOFTWARE\\Tarnwell Systems\\QuorvaneBenchmark";

int Run(const std::string& command) { return system(command.c_str()); }

// The domain controller and the identity server for as long as the benchmarks run.
class SERVERS {
public:
    SERVERS() {
        std::string state = QV_BENCH_DC_STATE;
        if (Run(std::string(QV_SOURCE_DIR) + "/tests/e2e/samba_dc.sh start " + state + " >/dev/null") != 0) return;
        Dc = test::ReadDcEnvironment((state + "/dc.env").c_str());
        std::string ready = "/tmp/qv_bench_directory_" + std::to_string(getpid()) + ".ready";
        const char* arguments[] = {IDENTITY_SERVER_PROGRAM, "--address", SERVER_ADDRESS, "--ready-file", ready.c_str(),
                                   nullptr};
        if (posix_spawn(&Pid, IDENTITY_SERVER_PROGRAM, nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) {
            Pid = -1;
        }
        for (int i = 0; i < 100 && access(ready.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::remove(ready.c_str());

        CreateRegistryKey(KEY);
        Key.Open(KEY, true);
        auto set = [&](const char16_t* name, const std::string& value) {
            WriteRegistryString(Key, name, STRING(value.c_str()).Text());
        };
        set(u"AdBindMethod", "GSSAPI");
        set(u"AdKeytab", Dc["QV_DC_KEYTAB"]);
        set(u"AdUser", Dc["QV_DC_MACHINE_ACCOUNT"]);
        set(u"AdGlobalCatalog", Dc["QV_DC_ADDRESS"]);
        SetDirectorySettingsKey(KEY);
        setenv("KRB5_CONFIG", Dc["QV_DC_KRB5_CONFIG"].c_str(), 1);
    }
    ~SERVERS() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
        }
        Run(std::string(QV_SOURCE_DIR) + "/tests/e2e/samba_dc.sh stop " + QV_BENCH_DC_STATE);
    }
    bool Ready() const { return Pid > 0 && !Dc.empty(); }

    std::map<std::string, std::string> Dc;

private:
    test::TEMP_DATA_ROOT Root{"bench-directory"};
    REGISTRY_KEY Key;
    pid_t Pid = -1;
};

void EnrichedLogonReports(benchmark::State& state, bool warm) {
    static SERVERS servers;
    if (!servers.Ready()) {
        state.SkipWithError("the domain controller or the identity server did not start");
        return;
    }
    SetDebugOutputMode(0);
    test::IDENTITY_SETTINGS settings;
    settings.SetServer(STRING(SERVER_ADDRESS).Text());
    settings.SetProtocol(PROTOCOL_TCP);
    IDENTITY_PROTOCOL connection(settings.Context());
    SetCurrentConnection(&connection);
    if (!connection.Connect()) {
        state.SkipWithError("the reference identity server cannot be reached");
        return;
    }
    STRING user((servers.Dc["QV_DC_NETBIOS"] + "\\alice").c_str());
    STRING computer((servers.Dc["QV_DC_NETBIOS"] + "\\PC7").c_str());
    IP_ADDRESS address;
    IpAddressFromText(address, u"10.20.30.40");
    IDENTITY_REQUEST request;
    // One report first: the LDAP connection is made and bound, and the cache filled.
    static uint64_t first = 0;
    static bool measured = false;
    uint64_t before = DirectoryRoundTrips();
    IdentityReportLogon(request, address, u"10.20.30.40", user.Text(), computer.Text());
    if (!measured) first = DirectoryRoundTrips() - before;
    measured = true;
    uint64_t failures = 0;
    uint64_t roundTrips = 0;
    for (auto _ : state) {
        if (!warm) DirectoryCache().Clear();
        uint64_t before = DirectoryRoundTrips();
        if (!IdentityReportLogon(request, address, u"10.20.30.40", user.Text(), computer.Text())) ++failures;
        roundTrips += DirectoryRoundTrips() - before;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["directory_round_trips_per_report"] =
        static_cast<double>(roundTrips) / static_cast<double>(state.iterations());
    state.counters["request_bytes"] = request.Length();
    // The very first report of the process also connects, binds and reads the forest's domains.
    state.counters["first_report_round_trips"] = static_cast<double>(first);
    SetCurrentConnection(nullptr);
}

BENCHMARK_CAPTURE(EnrichedLogonReports, cold, false)->UseRealTime()->MinTime(3.0);
BENCHMARK_CAPTURE(EnrichedLogonReports, warm, true)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
