// The system event log on POSIX: a reading handle on our own store (event_log_store.h), and
// change notification through inotify on the log's folder.
#include "platform/event_log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/posix/event_log_store.h"
#include "platform/thread.h"

namespace qv {

namespace {

constexpr char DATA_FILE[] = "records";

// Watches one log's folder and sets every registered event whenever the records change
// (appended, dropped or cleared), for as long as the handle is open, as NotifyChangeEventLog
// does. The events are held as duplicates of the callers' descriptors, so each stays valid
// however its owner handles its own object.
class CHANGE_WATCHER {
public:
    CHANGE_WATCHER() = default;
    CHANGE_WATCHER(const CHANGE_WATCHER&) = delete;
    CHANGE_WATCHER& operator=(const CHANGE_WATCHER&) = delete;
    ~CHANGE_WATCHER() { Stop(); }

    bool IsRunning() const { return Thread.IsValid(); }

    uint32_t Start(const std::string& folder) {
        Inotify.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!Inotify.IsValid()) return ErrorFromErrno(errno);
        // A write of records or header (IN_MODIFY), a rewritten file renamed in (IN_MOVED_TO),
        // and the folder going away, which a reader should hear of at once.
        const uint32_t mask = IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR;
        if (inotify_add_watch(Inotify.Get(), folder.c_str(), mask) < 0) return ErrorFromErrno(errno);
        if (!StopEvent.Create(true)) return GetLastErrorCode();
        if (!Thread.Start(&Run, this)) return GetLastErrorCode();
        return ERR_SUCCESS;
    }

    uint32_t Add(const EVENT& event) {
        FILE_DESCRIPTOR copy(fcntl(event.NativeHandle(), F_DUPFD_CLOEXEC, 0));
        if (!copy.IsValid()) return ErrorFromErrno(errno);
        std::lock_guard<std::mutex> guard(Lock);
        Events.push_back(std::move(copy));
        return ERR_SUCCESS;
    }

    void Stop() {
        if (Thread.IsValid()) {
            StopEvent.Set();
            WaitForOne(Thread, WAIT_INFINITE);
            Thread.Close();
        }
        StopEvent.Close();
        Inotify.Reset();
        std::lock_guard<std::mutex> guard(Lock);
        Events.clear();
    }

private:
    static uint32_t Run(void* argument) {
        auto* self = static_cast<CHANGE_WATCHER*>(argument);
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
            if (watched[1].revents != 0 && self->TakeChanges()) self->SetEvents();
        }
    }

    // Reads every queued inotify record; true when one concerns the records.
    bool TakeChanges() {
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        bool changed = false;
        for (;;) {
            const ssize_t got = read(Inotify.Get(), buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return changed;  // EAGAIN: nothing more queued
            for (ssize_t offset = 0; offset < got;) {
                const auto* record = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + record->len);
                // A lost record (overflow) may have been a change; the lock and temporary
                // files never are.
                if ((record->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) != 0 ||
                    (record->len > 0 && std::strcmp(record->name, DATA_FILE) == 0)) {
                    changed = true;
                }
            }
        }
    }

    void SetEvents() {
        const uint64_t one = 1;
        std::lock_guard<std::mutex> guard(Lock);
        for (const FILE_DESCRIPTOR& event : Events) {
            // EAGAIN: the counter is at its ceiling, so the event is set already.
            while (write(event.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
            }
        }
    }

    FILE_DESCRIPTOR Inotify;
    EVENT StopEvent;
    THREAD Thread;
    std::mutex Lock;
    std::vector<FILE_DESCRIPTOR> Events;
};

class POSIX_EVENT_LOG final : public EVENT_LOG_API {
public:
    uint32_t Open(const char16_t* logName) override {
        Close();
        return Finish(Cursor.Open(logName));
    }

    uint32_t Close() override {
        Watcher.Stop();
        Cursor.Close();
        return ERR_SUCCESS;
    }

    bool IsOpen() const override { return Cursor.IsOpen(); }

    uint32_t Read(uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size, uint32_t& bytesRead,
                  uint32_t& bytesNeeded) override {
        return Finish(Cursor.Read(flags, recordOffset, buffer, size, bytesRead, bytesNeeded));
    }

    uint32_t NotifyChange(const EVENT& event) override {
        if (!Cursor.IsOpen() || !event.IsValid()) return Finish(ERR_INVALID_HANDLE);
        try {
            if (!Watcher.IsRunning()) {
                if (const uint32_t code = Watcher.Start(Cursor.Folder())) {
                    Watcher.Stop();
                    return Finish(code);
                }
            }
            return Finish(Watcher.Add(event));
        } catch (const std::bad_alloc&) {
            return Finish(ERR_NOT_ENOUGH_MEMORY);
        }
    }

    uint32_t NumberOfRecords(uint32_t& count) override {
        EVENT_LOG_INFO info;
        const uint32_t code = Cursor.Info(info);
        count = code == ERR_SUCCESS ? info.Count : 0;
        return Finish(code);
    }

    uint32_t OldestRecord(uint32_t& recordNumber) override {
        EVENT_LOG_INFO info;
        const uint32_t code = Cursor.Info(info);
        recordNumber = code == ERR_SUCCESS ? info.OldestRecord : 0;
        return Finish(code);
    }

private:
    static uint32_t Finish(uint32_t code) {
        if (code != ERR_SUCCESS) SetLastErrorCode(code);
        return code;
    }

    EVENT_LOG_CURSOR Cursor;
    CHANGE_WATCHER Watcher;
};

}  // namespace

std::unique_ptr<EVENT_LOG_API> CreateSystemEventLog() {
    return std::unique_ptr<EVENT_LOG_API>(new (std::nothrow) POSIX_EVENT_LOG());
}

}  // namespace qv
