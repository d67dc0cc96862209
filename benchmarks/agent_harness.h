// What the benchmarks that run the agent as a program share: a scratch folder, the agent
// started there in the foreground, logons for its Security log, and waiting for the reference
// server's record of requests to grow.
#pragma once

#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_log_record.h"

extern char** environ;

namespace qv::bench {

using CLOCK = std::chrono::steady_clock;

inline double Seconds(CLOCK::time_point since) { return std::chrono::duration<double>(CLOCK::now() - since).count(); }

// A folder of this run below QV_BENCH_ROOT (default: the temporary folder).
inline std::filesystem::path BenchRoot(const std::string& name) {
    const char* base = getenv("QV_BENCH_ROOT");
    const std::filesystem::path root = (base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
                                       (name + "_" + std::to_string(getpid()));
    std::filesystem::create_directories(root);
    return root;
}

inline size_t Lines(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    size_t count = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        count += static_cast<size_t>(std::count(chunk.begin(), chunk.begin() + in.gcount(), '\n'));
    }
    return count;
}

// Waits until the file has 'lines' lines; false after 'seconds'.
inline bool WaitFor(const std::filesystem::path& record, size_t lines, double seconds) {
    const auto start = CLOCK::now();
    while (Lines(record) < lines) {
        if (Seconds(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A network logon of user n at address n, with a workstation (no reverse look-up).
inline NEW_EVENT_RECORD Logon(uint32_t user, uint32_t address) {
    NEW_EVENT_RECORD record;
    record.EventID = 4624;
    record.EventType = 8;
    record.TimeGenerated = record.TimeWritten = static_cast<uint32_t>(time(nullptr));
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = u"DC1";
    const std::string ip = "10." + std::to_string((address >> 16) & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) +
                           "." + std::to_string(address & 0xFF);
    record.Strings = {u"S-1-0-0", u"-", u"-", u"0x0", u"S-1-5-21-1-2-3-1104", Wide("user" + std::to_string(user)),
                      u"CORP", u"0x3e7a", u"3", u"NtLmSsp", u"NTLM", Wide("PC" + std::to_string(address)),
                      u"{00000000-0000-0000-0000-000000000000}", u"-", u"NTLM V2", u"128", u"0x0", u"-", Wide(ip),
                      u"50123"};
    return record;
}

// A copy of the agent in 'folder' (its log goes beside it), started with -A; -1 on failure.
inline pid_t StartAgent(const std::filesystem::path& folder) {
    const std::filesystem::path copy = folder / "Quorvane";
    std::filesystem::copy_file(AGENT_PROGRAM, copy);
    pid_t agent = -1;
    char* arguments[] = {const_cast<char*>(copy.c_str()), const_cast<char*>("-A"), nullptr};
    if (posix_spawn(&agent, copy.c_str(), nullptr, nullptr, arguments, environ) != 0) return -1;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return agent;
}

}  // namespace qv::bench
