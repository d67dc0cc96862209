// A fresh data root for one test (POSIX): a new folder under /tmp named by
// QUORVANE_DATA_ROOT while the test runs, removed with everything in it afterwards, and the
// variable put back as it was. Also small helpers to run part of a test in a child process.
#pragma once

#if !defined(_WIN32)

#include <ftw.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

namespace qv::test {

class TEMP_DATA_ROOT {
public:
    TEMP_DATA_ROOT() {
        const char* previous = getenv("QUORVANE_DATA_ROOT");
        HadPrevious = previous != nullptr;
        if (HadPrevious) Previous = previous;
        char pattern[] = "/tmp/qv-data-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            Root = pattern;
            setenv("QUORVANE_DATA_ROOT", Root.c_str(), 1);
        }
    }
    TEMP_DATA_ROOT(const TEMP_DATA_ROOT&) = delete;
    TEMP_DATA_ROOT& operator=(const TEMP_DATA_ROOT&) = delete;
    ~TEMP_DATA_ROOT() {
        if (!Root.empty()) nftw(Root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        if (HadPrevious) {
            setenv("QUORVANE_DATA_ROOT", Previous.c_str(), 1);
        } else {
            unsetenv("QUORVANE_DATA_ROOT");
        }
    }

    bool IsValid() const { return !Root.empty(); }
    const std::string& Path() const { return Root; }

private:
    static int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

    std::string Root;
    std::string Previous;
    bool HadPrevious = false;
};

// Runs 'body' in a child process, which leaves by _exit so nothing of the parent (the test
// framework, sanitizer checks) runs there; WaitChild gives its exit status.
inline pid_t StartChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

inline int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace qv::test

#endif
