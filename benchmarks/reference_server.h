// The reference identity server as a child process of a benchmark, started with the options
// given and stopped (or killed, to play a crash) on request.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qv::bench {

class REFERENCE_SERVER {
public:
    // 'output': where the server's notes go (appended); empty: they are discarded.
    explicit REFERENCE_SERVER(std::vector<std::string> options, std::string output = "")
        : Options(std::move(options)), Output(std::move(output)) {
        Started = Start();
    }
    REFERENCE_SERVER(const REFERENCE_SERVER&) = delete;
    REFERENCE_SERVER& operator=(const REFERENCE_SERVER&) = delete;
    ~REFERENCE_SERVER() { Stop(SIGTERM); }

    // Starts the server and waits until its listeners are up; false when it did not come up.
    bool Start() {
        const std::string ready = "/tmp/qv_bench_server_" + std::to_string(getpid()) + ".ready";
        std::remove(ready.c_str());
        std::vector<std::string> arguments = {IDENTITY_SERVER_PROGRAM, "--ready-file", ready};
        arguments.insert(arguments.end(), Options.begin(), Options.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        const char* notes = Output.empty() ? "/dev/null" : Output.c_str();
        posix_spawn_file_actions_addopen(&files, 1, notes, O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        const int spawned = posix_spawn(&Pid, IDENTITY_SERVER_PROGRAM, &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        if (spawned != 0) {
            Pid = -1;
            return false;
        }
        for (int i = 0; i < 100; ++i) {
            if (access(ready.c_str(), F_OK) == 0) {
                std::remove(ready.c_str());
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Whether the server the constructor started came up (not when its address was taken).
    bool Started = false;

    // SIGTERM for an orderly end, SIGKILL for a crash.
    void Stop(int signal) {
        if (Pid <= 0) return;
        kill(Pid, signal);
        waitpid(Pid, nullptr, 0);
        Pid = -1;
    }

private:
    std::vector<std::string> Options;
    std::string Output;
    pid_t Pid = -1;
};

}  // namespace qv::bench
