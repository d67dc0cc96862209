// The running agent, measured from outside: Quorvane -A on a scratch data root follows the
// Security log that this program writes into, and reports to a reference identity server on
// loopback that records every request.
//   1. Logon reports a second, from the records appended to the last acknowledgement.
//   2. Resident memory and open descriptors of the agent after half the records (warm-up: the
//      log has wrapped, the tables and the reader's index are at their size) and after 1,000,000
//      records (repeat logons, user changes and events no handler takes): flat. The log is
//      held at 32 MiB; the reader indexes the records it holds, 16 bytes each.
//   3. The agent's processor time while idle for 30 seconds: about zero.
//
//   agent_benchmark [RECORDS]     (default 1,000,000)
//
// The agent's log file is always on and written through to the disk line by line, which bounds
// the report rate on a slow disk: QV_BENCH_ROOT puts the agent, its log and its data root in
// another folder (/dev/shm measures the agent without the disk). QV_BENCH_DEBUG_OUTPUT sets its
// DebugOutput value; QV_BENCH_LOGONS the number of logons of step 1 (20,000).
#include <dirent.h>
#include <signal.h>
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
#include "platform/event_log_record.h"
#include "platform/posix/event_log_store.h"
#include "platform/registry.h"
#include "platform/registry_values.h"


namespace qv {
namespace {

constexpr const char* SERVER_ADDRESS = "127.0.0.44";
constexpr const char16_t* SETTINGS = u"SOFTWARE\\Tarnwell Systems\\Quorvane";
using bench::CLOCK;
using bench::Lines;
using bench::Logon;
using bench::Seconds;
using bench::WaitFor;
using bench::Wide;

size_t Descriptors(pid_t pid) {
    size_t count = 0;
    if (DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count - 2;
}

// A field of /proc/PID/status in KiB: VmRSS (all resident memory) or RssAnon (the heap and
// stacks, without pages of mapped files that the kernel may drop at will).
size_t StatusKilobytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1));
    }
    return 0;
}

// User and system time of a process, in clock ticks.
uint64_t CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t afterName = text.rfind(')');
    if (afterName == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = afterName + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    return fields.size() > 12 ? std::stoull(fields[11]) + std::stoull(fields[12]) : 0;
}

NEW_EVENT_RECORD Unhandled() {
    NEW_EVENT_RECORD record;
    record.EventID = 5156;
    record.EventType = 8;
    record.TimeGenerated = record.TimeWritten = static_cast<uint32_t>(time(nullptr));
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = u"DC1";
    record.Strings = {u"4", u"\\device\\harddiskvolume2\\windows\\system32\\svchost.exe", u"%%14592", u"10.0.0.5",
                      u"53", u"10.0.0.9", u"52114", u"17", u"65792", u"%%14610", u"44"};
    return record;
}

// Whether the last 64 KiB of the file hold the text.
bool EndContains(const std::filesystem::path& file, const std::string& text) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    const std::streamoff tail = std::min<std::streamoff>(size, 64 * 1024);
    if (tail <= 0) return false;
    std::string end(static_cast<size_t>(tail), '\0');
    in.seekg(size - tail);
    in.read(end.data(), tail);
    return end.find(text) != std::string::npos;
}

bool CatchUp(EVENT_LOG_WRITER& writer, const std::filesystem::path& record, uint32_t marker) {
    const uint32_t user = 1000000 + marker;
    writer.Append(Logon(user, 30000 + marker));
    const std::string name = "user" + std::to_string(user) + "\"";
    const auto start = CLOCK::now();
    while (!EndContains(record, name)) {
        if (Seconds(start) > 600) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
    using namespace qv;
    const uint32_t total = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1000000;
    const std::filesystem::path root = bench::BenchRoot("qv_agent_bench");
    setenv("QUORVANE_DATA_ROOT", (root / "data").c_str(), 1);
    const std::filesystem::path requests = root / "requests.jsonl";
    bench::REFERENCE_SERVER server({"--address", SERVER_ADDRESS, "--no-tls", "--record", requests.string()});
    if (!server.Started) {
        std::fprintf(stderr, "The reference identity server did not start on %s\n", SERVER_ADDRESS);
        return 1;
    }

    CreateRegistryKey(SETTINGS);
    REGISTRY_KEY key;
    key.Open(SETTINGS, true);
    WriteRegistryString(key, u"IdentServer", STRING(SERVER_ADDRESS).Text());
    WriteRegistryDword(key, u"IdentProtocol", PROTOCOL_TCP);
    WriteRegistryString(key, u"AdGlobalCatalog", u"127.0.0.49");  // no directory: look-ups fail at once
    if (const char* mode = getenv("QV_BENCH_DEBUG_OUTPUT")) {
        WriteRegistryDword(key, u"DebugOutput", static_cast<uint32_t>(std::strtoul(mode, nullptr, 0)));
    }

    EVENT_LOG_WRITER writer;
    if (writer.Open(u"Security") != 0 || writer.SetMaximumSize(32ULL << 20) != 0) return 1;
    writer.Append(Unhandled());  // the log's end, where the agent starts

    const pid_t agent = bench::StartAgent(root);
    if (agent < 0) return 1;

    // 1. 20,000 logons of different users at different addresses, appended in one go.
    const uint32_t LOGONS = getenv("QV_BENCH_LOGONS") ? static_cast<uint32_t>(std::atoi(getenv("QV_BENCH_LOGONS"))) : 20000;
    std::vector<NEW_EVENT_RECORD> batch;
    for (uint32_t n = 0; n < LOGONS; ++n) batch.push_back(Logon(n, n));
    auto start = CLOCK::now();
    writer.Append(batch);
    const bool reported = WaitFor(requests, LOGONS, 300);
    const double seconds = Seconds(start);
    std::printf("logon reports, appended to acknowledged: %u in %.2f s = %.0f a second%s\n", LOGONS, seconds,
                LOGONS / seconds, reported ? "" : " (not all arrived)");

    // 2. A long day: in every 100 records 10 repeat logons (renewals at the first 10,000
    // addresses), 1 user change (at the other 10,000, two users taking turns: a logoff and a
    // logon) and 89 events no handler takes.
    size_t warmMemory = 0, warmHeap = 0, warmDescriptors = 0;
    uint32_t marker = 0;
    start = CLOCK::now();
    for (uint32_t written = 0; written < total;) {
        batch.clear();
        for (uint32_t i = 0; i < 1000; ++i, ++written) {
            const uint32_t slot = written % 100;
            if (slot < 10) {
                const uint32_t address = (written / 100 * 10 + slot) % 10000;
                batch.push_back(Logon(address, address));
            } else if (slot == 10) {
                const uint32_t address = 10000 + (written / 100) % 10000;
                const uint32_t visit = written / 100 / 10000;  // the first visit changes the user of step 1
                batch.push_back(Logon(address + LOGONS * ((visit + 1) % 2), address));
            } else {
                batch.push_back(Unhandled());
            }
        }
        writer.Append(batch);
        // The log keeps 32 MiB (about 80,000 records): the writer waits for the agent now and
        // then, so that no record is dropped unread.
        if (written % 20000 == 0) CatchUp(writer, requests, marker++);
        if (written == total / 2) {
            warmMemory = StatusKilobytes(agent, "VmRSS");
            warmHeap = StatusKilobytes(agent, "RssAnon");
            warmDescriptors = Descriptors(agent);
        }
    }
    const bool caughtUp = CatchUp(writer, requests, marker);
    std::printf("%u records through the agent in %.1f s%s; resident memory %zu -> %zu KiB (anonymous %zu -> %zu KiB), "
                "descriptors %zu -> %zu\n",
                total, Seconds(start), caughtUp ? "" : " (it did not catch up)", warmMemory,
                StatusKilobytes(agent, "VmRSS"), warmHeap, StatusKilobytes(agent, "RssAnon"), warmDescriptors,
                Descriptors(agent));

    // 3. Idle.
    const uint64_t before = CpuTicks(agent);
    std::this_thread::sleep_for(std::chrono::seconds(30));
    const uint64_t ticks = CpuTicks(agent) - before;
    std::printf("idle for 30 s: %.2f s of processor time (%.3f%%)\n", static_cast<double>(ticks) / sysconf(_SC_CLK_TCK),
                100.0 * static_cast<double>(ticks) / sysconf(_SC_CLK_TCK) / 30);

    WriteRegistryDword(key, u"Shutdown", 1);
    int status = 0;
    waitpid(agent, &status, 0);
    std::filesystem::remove_all(root);
    return 0;
}
