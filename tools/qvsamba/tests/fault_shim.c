// Faults planted in file system calls for qvsamba's tests: linked into the unit tests, and
// preloaded (LD_PRELOAD) into the program itself. The plan is the file that
// QVSAMBA_FAULT_FILE names, read at every call for as long as it exists; one line:
//   CALL FILE ACTION [WHERE [SKIP]]
//   CALL    pwrite, fdatasync, fsync or rename (rename and renameat)
//   FILE    the base name of the file written, synced or renamed to
//   ACTION  ENOSPC, EIO or EDQUOT (the call fails with it), exit (the process ends with status
//           9 before the call) or exit-after (just after it)
//   WHERE   for pwrite: start (at offset 0), beyond (anywhere else) or any (the default)
//   SKIP    how many matching calls pass before the fault (0)
// Every fault planted appends a line to the plan's name with ".count" added.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct plan {
    char call[32];
    char file[256];
    char action[32];
    char where[16];
    int skip;
};

static int read_plan(struct plan* plan, char* text, size_t size) {
    const char* path = getenv("QVSAMBA_FAULT_FILE");
    if (path == NULL) return 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t got = read(fd, text, size - 1);
    close(fd);
    if (got <= 0) return 0;
    text[got] = '\0';
    strcpy(plan->where, "any");
    plan->skip = 0;
    return sscanf(text, "%31s %255s %31s %15s %d", plan->call, plan->file, plan->action, plan->where, &plan->skip) >= 3;
}

static const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

static int descriptor_names(int fd, const char* name) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) return 0;
    target[length] = '\0';
    return strcmp(base_name(target), name) == 0;
}

static void count(void) {
    char path[4096];
    snprintf(path, sizeof path, "%s.count", getenv("QVSAMBA_FAULT_FILE"));
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (write(fd, "fault\n", 6) != 6) {
        // Counting is best effort.
    }
    close(fd);
}

// 0: no fault; -1: fail with errno set; 1: end the process after the call.
static int planted(const char* call, const char* path, int fd, long long offset) {
    static char last[600];
    static int matches;
    char text[600];
    struct plan plan;
    if (!read_plan(&plan, text, sizeof text) || strcmp(plan.call, call) != 0) return 0;
    if (fd >= 0 ? !descriptor_names(fd, plan.file) : strcmp(base_name(path), plan.file) != 0) return 0;
    if (strcmp(plan.where, "start") == 0 && offset != 0) return 0;
    if (strcmp(plan.where, "beyond") == 0 && offset == 0) return 0;
    if (strcmp(text, last) != 0) {  // a new plan counts its matches afresh
        strcpy(last, text);
        matches = 0;
    }
    if (matches++ < plan.skip) return 0;
    count();
    if (strcmp(plan.action, "exit") == 0) _exit(9);
    if (strcmp(plan.action, "exit-after") == 0) return 1;
    errno = strcmp(plan.action, "EIO") == 0 ? EIO : strcmp(plan.action, "EDQUOT") == 0 ? EDQUOT : ENOSPC;
    return -1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    const int fault = planted("pwrite", NULL, fd, offset);
    if (fault < 0) return -1;
    const ssize_t done = REAL(pwrite)(fd, buffer, size, offset);
    if (fault > 0) _exit(9);
    return done;
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off64_t offset) {
    const int fault = planted("pwrite", NULL, fd, offset);
    if (fault < 0) return -1;
    const ssize_t done = REAL(pwrite64)(fd, buffer, size, offset);
    if (fault > 0) _exit(9);
    return done;
}

int fdatasync(int fd) {
    const int fault = planted("fdatasync", NULL, fd, -1);
    if (fault < 0) return -1;
    const int done = REAL(fdatasync)(fd);
    if (fault > 0) _exit(9);
    return done;
}

int fsync(int fd) {
    const int fault = planted("fsync", NULL, fd, -1);
    if (fault < 0) return -1;
    const int done = REAL(fsync)(fd);
    if (fault > 0) _exit(9);
    return done;
}

int rename(const char* from, const char* to) {
    const int fault = planted("rename", to, -1, -1);
    if (fault < 0) return -1;
    const int done = REAL(rename)(from, to);
    if (fault > 0) _exit(9);
    return done;
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    const int fault = planted("rename", to, -1, -1);
    if (fault < 0) return -1;
    const int done = REAL(renameat)(fromFolder, from, toFolder, to);
    if (fault > 0) _exit(9);
    return done;
}
