// Reports a second while the directory is out of reach, against what this disk allows.
//   limit     a bare loop over loopback: one request to the reference identity server and its
//             answer, and the three lines a report writes (each written through to the disk, as
//             the agent's log is), a round trip
//   refused   the agent (Quorvane -A) with a global catalog where nothing listens
//   hung      the agent with a global catalog that accepts connections and never answers
//   default   the agent with no directory setting at all (this host as its global catalog)
// Each agent run first has one logon reported (the time it took is shown: with a hung directory
// it waits out one time limit, then look-ups pause), then appends LOGONS logons at once and
// measures appended to acknowledged. The goal: every case at least 0.7 of the limit.
//
//   directory_outage_benchmark [LOGONS]     (default 5,000)
//
// QV_BENCH_ROOT puts the agent, its log, its data root and the loop's file in another folder.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "benchmarks/agent_harness.h"
#include "benchmarks/reference_server.h"
#include "identity/identity_context.h"
#include "identity/identity_request.h"
#include "identity/ip_address.h"
#include "platform/event_log_record.h"
#include "platform/posix/event_log_store.h"
#include "platform/registry.h"
#include "platform/registry_values.h"


namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.45";
constexpr const char* REFUSING_CATALOG = "127.0.0.49";
constexpr const char* SILENT_CATALOG = "127.0.0.48";
constexpr const char16_t* SETTINGS = u"SOFTWARE\\Tarnwell Systems\\Quorvane";
using bench::CLOCK;
using bench::Seconds;
using bench::WaitFor;

int Connect(const char* address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address, &target.sin_addr);
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket >= 0 && connect(socket, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return socket;
    if (socket >= 0) close(socket);
    return -1;
}

// The limit: a round trip and three lines written through, as fast as they go.
double BareLoop(const std::filesystem::path& folder, uint32_t rounds) {
    IP_ADDRESS address;
    IpAddressFromText(address, u"10.0.0.5");
    IDENTITY_SECTION user, computer;
    user.Name = u"CORP\\user5";
    user.Present = true;
    computer.Name = u"CORP\\PC5";
    computer.Present = true;
    GROUP_LIST groups;
    IDENTITY_REQUEST request;
    if (!EncodeIdentityRequest(request, address, computer, user, groups)) return 0;
    const int server = Connect(SERVER_ADDRESS, 1306);
    const int log = open((folder / "loop.log").c_str(), O_WRONLY | O_APPEND | O_DSYNC | O_CREAT | O_TRUNC, 0600);
    if (server < 0 || log < 0) return 0;
    const std::string line(160, 'x');
    const auto start = CLOCK::now();
    for (uint32_t round = 0; round < rounds; ++round) {
        if (write(log, (line + "\n").data(), line.size() + 1) < 0) return 0;
        if (send(server, request.Request.Data(), request.Length(), MSG_NOSIGNAL) < 0) return 0;
        uint8_t answer[14];
        for (size_t got = 0; got < sizeof answer;) {
            const ssize_t count = recv(server, answer + got, sizeof answer - got, 0);
            if (count <= 0) return 0;
            got += static_cast<size_t>(count);
        }
        if (write(log, (line + "\n").data(), line.size() + 1) < 0 || write(log, (line + "\n").data(), line.size() + 1) < 0) {
            return 0;
        }
    }
    const double rate = rounds / Seconds(start);
    close(server);
    close(log);
    return rate;
}

// One agent run with the directory setting given (empty: none); the reports a second.
double AgentRun(const std::filesystem::path& root, const char* name, const char* catalog, uint32_t logons) {
    const std::filesystem::path folder = root / name;
    std::filesystem::create_directories(folder);
    setenv("QUORVANE_DATA_ROOT", (folder / "data").c_str(), 1);
    const std::filesystem::path requests = folder / "requests.jsonl";
    bench::REFERENCE_SERVER server({"--address", SERVER_ADDRESS, "--no-tls", "--record", requests.string()});
    CreateRegistryKey(SETTINGS);
    REGISTRY_KEY key;
    key.Open(SETTINGS, true);
    WriteRegistryString(key, u"IdentServer", STRING(SERVER_ADDRESS).Text());
    WriteRegistryDword(key, u"IdentProtocol", PROTOCOL_TCP);
    if (catalog != nullptr) {
        // A simple bind, so that the request goes out and waits for an answer (a Kerberos bind
        // without credentials fails before it sends anything).
        WriteRegistryString(key, u"AdGlobalCatalog", STRING(catalog).Text());
        WriteRegistryString(key, u"AdBindMethod", u"Plain");
        WriteRegistryString(key, u"AdUser", u"CORP\\reader");
        WriteRegistryString(key, u"AdPassword", u"secret");
    }
    EVENT_LOG_WRITER writer;
    if (!server.Started || writer.Open(u"Security") != 0) return 0;

    const pid_t agent = bench::StartAgent(folder);
    if (agent < 0) return 0;

    auto start = CLOCK::now();
    writer.Append(bench::Logon(1000000, 1000000));
    WaitFor(requests, 1, 60);
    const double first = Seconds(start);
    std::vector<NEW_EVENT_RECORD> batch;
    for (uint32_t n = 0; n < logons; ++n) batch.push_back(bench::Logon(n, n));
    start = CLOCK::now();
    writer.Append(batch);
    const bool reported = WaitFor(requests, logons + 1, 600);
    const double rate = logons / Seconds(start);
    std::printf("%-8s %6.0f reports a second%s (the first took %.2f s)\n", name, rate,
                reported ? "" : " (not all arrived)", first);

    WriteRegistryDword(key, u"Shutdown", 1);
    int status = 0;
    waitpid(agent, &status, 0);
    return rate;
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
    using namespace qv;
    const uint32_t logons = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 5000;
    const std::filesystem::path root = bench::BenchRoot("qv_directory_outage_bench");

    // A global catalog that accepts connections (the kernel completes them) and never answers.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in listening{};
    listening.sin_family = AF_INET;
    listening.sin_port = htons(3268);
    inet_pton(AF_INET, SILENT_CATALOG, &listening.sin_addr);
    if (bind(silent, reinterpret_cast<sockaddr*>(&listening), sizeof listening) != 0 || listen(silent, 64) != 0) {
        std::fprintf(stderr, "Cannot listen on %s:3268\n", SILENT_CATALOG);
        return 1;
    }

    double limit = 0;
    {
        bench::REFERENCE_SERVER server({"--address", SERVER_ADDRESS, "--no-tls"});
        limit = server.Started ? BareLoop(root, logons) : 0;
    }
    std::printf("%-8s %6.0f round trips a second, three lines written through each\n", "limit", limit);
    const std::string hung = std::string(SILENT_CATALOG) + ":3268";
    const double rates[] = {AgentRun(root, "refused", REFUSING_CATALOG, logons),
                            AgentRun(root, "hung", hung.c_str(), logons), AgentRun(root, "default", nullptr, logons)};
    std::printf("of the limit: refused %.2f, hung %.2f, default %.2f\n", rates[0] / limit, rates[1] / limit,
                rates[2] / limit);
    close(silent);
    std::filesystem::remove_all(root);
    return 0;
}
