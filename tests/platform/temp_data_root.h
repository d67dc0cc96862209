// A fresh data root for one test (POSIX): a new folder under /tmp named by
// QUORVANE_DATA_ROOT while the test runs, removed with everything in it afterwards, and the
// variable put back as it was. Also small helpers to remove a folder tree and to run part of
// a test in a child process.
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

// Removes 'path' and everything below it, links themselves rather than what they point to.
inline void RemoveTree(const std::string& path) {
    struct REMOVER {
        static int Remove(const char* entry, const struct stat*, int, FTW*) { return remove(entry); }
    };
    nftw(path.c_str(), &REMOVER::Remove, 16, FTW_DEPTH | FTW_PHYS);
}

class TEMP_DATA_ROOT {
public:
    // 'purpose' names the folder (/tmp/qv-<purpose>-XXXXXX), so one left behind by a crashed
    // run says which tests made it.
    explicit TEMP_DATA_ROOT(const char* purpose = "data") {
        const char* previous = getenv("QUORVANE_DATA_ROOT");
        HadPrevious = previous != nullptr;
        if (HadPrevious) Previous = previous;
        std::string pattern = std::string("/tmp/qv-") + purpose + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        if (setenv("QUORVANE_DATA_ROOT", pattern.c_str(), 1) != 0) {
            rmdir(pattern.c_str());
            return;
        }
        Root = pattern;
    }
    TEMP_DATA_ROOT(const TEMP_DATA_ROOT&) = delete;
    TEMP_DATA_ROOT& operator=(const TEMP_DATA_ROOT&) = delete;
    ~TEMP_DATA_ROOT() {
        if (!Root.empty()) RemoveTree(Root);
        if (HadPrevious) {
            setenv("QUORVANE_DATA_ROOT", Previous.c_str(), 1);
        } else {
            unsetenv("QUORVANE_DATA_ROOT");
        }
    }

    bool IsValid() const { return !Root.empty(); }
    const std::string& Path() const { return Root; }

private:
    std::string Root;
    std::string Previous;
    bool HadPrevious = false;
};

// Runs 'body' in a child process, which leaves by _exit so nothing of the parent (the test
// framework, its open handles, sanitizer checks) runs there; WaitChild gives its exit status.
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
