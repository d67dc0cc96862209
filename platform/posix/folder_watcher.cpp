// The inotify thread shared by the stores' change notifications (see folder_watcher.h).
#include "platform/posix/folder_watcher.h"

#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/last_error.h"

namespace qv {

uint32_t FOLDER_WATCHER::Start(const char* folderPath, uint32_t mask, CALLBACK queued, void* context) {
    Stop();
    Inotify.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!Inotify.IsValid()) return ErrorFromErrno(errno);
    if (inotify_add_watch(Inotify.Get(), folderPath, mask) < 0) {
        const uint32_t code = ErrorFromErrno(errno);
        Inotify.Reset();
        return code;
    }
    Queued = queued;
    Context = context;
    if (!StopEvent.Create(true) || !Thread.Start(&Run, this)) {
        const uint32_t code = GetLastErrorCode();
        StopEvent.Close();
        Inotify.Reset();
        return code;
    }
    return 0;
}

void FOLDER_WATCHER::Stop() {
    if (Thread.IsValid()) {
        StopEvent.Set();
        WaitForOne(Thread, WAIT_INFINITE);
        Thread.Close();
    }
    StopEvent.Close();
    Inotify.Reset();
}

uint32_t FOLDER_WATCHER::Run(void* argument) {
    auto* self = static_cast<FOLDER_WATCHER*>(argument);
    pollfd watched[2] = {{self->StopEvent.NativeHandle(), POLLIN, 0}, {self->Inotify.Get(), POLLIN, 0}};
    for (;;) {
        watched[0].revents = 0;
        watched[1].revents = 0;
        if (poll(watched, 2, -1) < 0) {
            // Only a shortage of memory gets here; wait a little rather than spin.
            if (errno != EINTR) SleepMilliseconds(100);
            continue;
        }
        if (watched[0].revents != 0) return 0;
        if (watched[1].revents != 0) self->Queued(self->Context);
    }
}

bool FOLDER_WATCHER::TakeChanges(const char* fileName) {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool changed = false;
    for (;;) {
        const ssize_t got = read(Inotify.Get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return changed;  // EAGAIN: nothing more queued
        for (ssize_t offset = 0; offset < got;) {
            const auto* record = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + record->len);
            if ((record->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) != 0 ||
                (record->len > 0 && std::strcmp(record->name, fileName) == 0)) {
                changed = true;
            }
        }
    }
}

}  // namespace qv
