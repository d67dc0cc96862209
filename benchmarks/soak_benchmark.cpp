// A long life in a few minutes: logon reports (each with a user name of its own) and
// heartbeats go out continuously, over plain TCP and then over TLS, to a reference identity
// server that misbehaves at random (answers late, drops the connection instead of answering,
// closes it after answering, resets it when idle) and is killed and restarted now and then.
//
//   soak_benchmark [SECONDS_PER_PROTOCOL]     (default 90, or QV_SOAK_SECONDS)
//
// Counted: reports acknowledged; reports given up (each has its failure line in the log);
// logons the server saw more than once (only after a drop before their answer); open
// descriptors and resident memory after warm-up and at the end, which must stay flat.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "benchmarks/reference_server.h"
#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "support/debug_log.h"
#include "tests/identity/test_identity_settings.h"

namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.42";
constexpr uint32_t LATE_ANSWER_MS = 2500;  // stands for "later than 20 s"
constexpr uint32_t RESPONSE_TIMEOUT_MS = 2000;
constexpr uint32_t IDLE_RESET_MS = 400;
constexpr int RESTART_EVERY_S = 20;

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count - 3;  // ".", ".." and the listing's own descriptor
}

size_t ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    }
    return 0;
}

size_t CountLines(const std::filesystem::path& file, const std::string& text) {
    std::ifstream in(file);
    size_t count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos;
    return count;
}

// Logon user names in the server's record, and how many of them it saw more than once.
size_t LogonsSeenTwice(const std::filesystem::path& record) {
    std::map<std::string, int> seen;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"kind\":\"logon\"") == std::string::npos) continue;
        const size_t at = line.find("\"user_name\":\"");
        if (at == std::string::npos) continue;
        const size_t start = at + 13;
        ++seen[line.substr(start, line.find('"', start) - start)];
    }
    size_t twice = 0;
    for (const auto& [name, count] : seen) twice += count > 1;
    return twice;
}

struct FIGURES {
    uint64_t Acknowledged = 0;
    uint64_t GivenUp = 0;
    uint64_t Restarts = 0;
    size_t DescriptorsAtStart = 0, DescriptorsAtEnd = 0;
    size_t MemoryAtStart = 0, MemoryAtEnd = 0;
};

FIGURES Soak(uint32_t protocol, int seconds, const std::filesystem::path& folder) {
    const std::filesystem::path record = folder / "requests.jsonl";
    bench::REFERENCE_SERVER server({"--address", SERVER_ADDRESS, "--record", record.string(), "--chaos",
                                    std::to_string(protocol * 7919), "--chaos-late-ms", std::to_string(LATE_ANSWER_MS),
                                    "--reset-idle", std::to_string(IDLE_RESET_MS)},
                                   (folder / "server.txt").string());
    test::IDENTITY_SETTINGS settings;
    settings.SetServer(STRING(SERVER_ADDRESS).Text());
    settings.SetProtocol(protocol);
    IDENTITY_PROTOCOL connection(settings.Context());
    connection.ResponseTimeoutMs = RESPONSE_TIMEOUT_MS;
    connection.RetryPauseMs = 500;
    SetCurrentConnection(&connection);

    // The server crashes (or is stopped) every RESTART_EVERY_S seconds and is back a second later.
    FIGURES figures;
    std::atomic<bool> running{true};
    std::thread restarter([&] {
        for (int tick = 1; running; ++tick) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (tick % RESTART_EVERY_S != 0 || !running) continue;
            server.Stop(tick % (2 * RESTART_EVERY_S) == 0 ? SIGKILL : SIGTERM);
            std::this_thread::sleep_for(std::chrono::seconds(1));
            server.Start();
            ++figures.Restarts;
        }
    });

    IP_ADDRESS address;
    IpAddressFromText(address, u"10.20.30.40");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::minstd_rand random(protocol);
    for (uint64_t i = 1; std::chrono::steady_clock::now() < end; ++i) {
        const STRING user(("CORP\\soak" + std::to_string(protocol) + "_" + std::to_string(i)).c_str());
        IDENTITY_REQUEST request;
        const bool logon = IdentityReportLogon(request, address, u"10.20.30.40", user.Text(), u"CORP\\pc7");
        (logon ? figures.Acknowledged : figures.GivenUp) += 1;
        if (logon && i % 10 == 0) (IdentityReportHeartbeat(request) ? figures.Acknowledged : figures.GivenUp) += 1;
        if (random() % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_RESET_MS + 100));
        if (i == 200) {
            figures.DescriptorsAtStart = OpenDescriptors();
            figures.MemoryAtStart = ResidentKilobytes();
        }
    }
    figures.DescriptorsAtEnd = OpenDescriptors();
    figures.MemoryAtEnd = ResidentKilobytes();
    running = false;
    restarter.join();
    SetCurrentConnection(nullptr);
    return figures;
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
    using namespace qv;
    const char* configured = argc > 1 ? argv[1] : std::getenv("QV_SOAK_SECONDS");
    const int seconds = configured != nullptr ? std::atoi(configured) : 90;
    const std::filesystem::path root = std::filesystem::temp_directory_path() / ("qv_soak_" + std::to_string(getpid()));

    std::printf("soak: %d s per protocol; late answers %u ms (time-out %u ms), idle resets after %u ms, a restart "
                "every %d s\n",
                seconds, LATE_ANSWER_MS, RESPONSE_TIMEOUT_MS, IDLE_RESET_MS, RESTART_EVERY_S);
    std::printf("%-6s %12s %9s %8s %12s %6s %9s %15s %15s\n", "", "acknowledged", "given up", "restarts",
                "failure lines", "drops", "seen 2x", "descriptors", "memory (KiB)");
    for (uint32_t protocol : {PROTOCOL_TCP, PROTOCOL_SECURE_TCP}) {
        const std::filesystem::path folder = root / (protocol == PROTOCOL_TCP ? "tcp" : "tls");
        std::filesystem::create_directories(folder);
        const std::u16string directory = folder.u16string();
        SetLogPath(LOG_PATH_PART(directory.c_str()), LOG_PATH_PART(u"soak"), LOG_PATH_PART(u"log"));
        SetDebugOutputMode(DBGOUT_LOG | DBGOUT_OVERWRITE);

        const FIGURES figures = Soak(protocol, seconds, folder);
        SetDebugOutputMode(0);
        const std::filesystem::path log = folder / "soak.log";
        // Every report given up says so: its last send, the length or the identifier check.
        const size_t failureLines = CountLines(log, "Retry #3") + CountLines(log, "response length = ") +
                                    CountLines(log, "Unexpected response");
        // Requests the server took and never answered: dropped connections and crashes.
        const size_t drops = CountLines(folder / "server.txt", "instead of answering");
        std::printf("%-6s %12llu %9llu %8llu %12zu %6zu %9zu %7zu -> %-5zu %7zu -> %-5zu\n",
                    protocol == PROTOCOL_TCP ? "TCP" : "TLS", static_cast<unsigned long long>(figures.Acknowledged),
                    static_cast<unsigned long long>(figures.GivenUp), static_cast<unsigned long long>(figures.Restarts),
                    failureLines, drops, LogonsSeenTwice(folder / "requests.jsonl"), figures.DescriptorsAtStart,
                    figures.DescriptorsAtEnd, figures.MemoryAtStart, figures.MemoryAtEnd);
    }
    std::filesystem::remove_all(root);
    return 0;
}
