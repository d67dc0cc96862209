// The system event log on POSIX: a reading handle on our own store (event_log_store.h), and
// change notification through inotify on the log's folder.
#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <string>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/posix/event_log_store.h"
#include "platform/posix/folder_watcher.h"
#include "platform/posix/guarded_call.h"

namespace qv {

namespace {

constexpr char DATA_FILE[] = "records";

// Sets the registered event whenever the log's records change (appended, dropped or cleared),
// for as long as the handle is open, as NotifyChangeEventLog does. The event is held as a
// duplicate of the caller's descriptor, so it stays valid however its owner handles its own
// object.
//
// A handle holds one registration: a later one takes the place of the earlier, whose
// duplicate is closed. The reader registers a fresh event for every pass over the log (after
// each settings change) on a handle that stays open for the life of the service, so keeping
// every registration would hold one more descriptor per pass until the handle closed.
class CHANGE_WATCHER {
public:
    bool IsRunning() const { return Watcher.IsRunning(); }

    uint32_t Start(const std::string& folder) {
        // A write of records or header (IN_MODIFY), a rewritten file renamed in (IN_MOVED_TO),
        // and the folder going away, which a reader should hear of at once.
        const uint32_t mask = IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR;
        return Watcher.Start(folder.c_str(), mask, &Queued, this);
    }

    uint32_t Register(const EVENT& event) {
        FILE_DESCRIPTOR copy(fcntl(event.NativeHandle(), F_DUPFD_CLOEXEC, 0));
        if (!copy.IsValid()) return ErrorFromErrno(errno);
        std::lock_guard<std::mutex> guard(Lock);
        Event = std::move(copy);
        return ERR_SUCCESS;
    }

    void Stop() {
        Watcher.Stop();
        std::lock_guard<std::mutex> guard(Lock);
        Event.Reset();
    }

private:
    static void Queued(void* context) {
        auto* self = static_cast<CHANGE_WATCHER*>(context);
        std::lock_guard<std::mutex> guard(self->Lock);
        if (!self->Watcher.TakeChanges(DATA_FILE) || !self->Event.IsValid()) return;
        const uint64_t one = 1;
        // EAGAIN: the counter is at its ceiling, so the event is set already.
        while (write(self->Event.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }

    FOLDER_WATCHER Watcher;
    std::mutex Lock;
    FILE_DESCRIPTOR Event;
};

class POSIX_EVENT_LOG final : public EVENT_LOG_API {
public:
    uint32_t Open(const char16_t* logName) override {
        Close();
        return FinishCall(Cursor.Open(logName));
    }

    uint32_t Close() override {
        Watcher.Stop();
        Cursor.Close();
        return ERR_SUCCESS;
    }

    bool IsOpen() const override { return Cursor.IsOpen(); }

    uint32_t Read(uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size, uint32_t& bytesRead,
                  uint32_t& bytesNeeded) override {
        return FinishCall(Cursor.Read(flags, recordOffset, buffer, size, bytesRead, bytesNeeded));
    }

    uint32_t NotifyChange(const EVENT& event) override {
        if (!Cursor.IsOpen() || !event.IsValid()) return FinishCall(ERR_INVALID_HANDLE);
        try {
            if (!Watcher.IsRunning()) {
                if (const uint32_t code = Watcher.Start(Cursor.Folder())) {
                    Watcher.Stop();
                    return FinishCall(code);
                }
            }
            return FinishCall(Watcher.Register(event));
        } catch (const std::bad_alloc&) {
            return FinishCall(ERR_NOT_ENOUGH_MEMORY);
        }
    }

    uint32_t NumberOfRecords(uint32_t& count) override {
        EVENT_LOG_INFO info;
        const uint32_t code = Cursor.Info(info);
        count = code == ERR_SUCCESS ? info.Count : 0;
        return FinishCall(code);
    }

    uint32_t OldestRecord(uint32_t& recordNumber) override {
        EVENT_LOG_INFO info;
        const uint32_t code = Cursor.Info(info);
        recordNumber = code == ERR_SUCCESS ? info.OldestRecord : 0;
        return FinishCall(code);
    }

private:
    EVENT_LOG_CURSOR Cursor;
    CHANGE_WATCHER Watcher;
};

}  // namespace

std::unique_ptr<EVENT_LOG_API> CreateSystemEventLog() {
    return std::unique_ptr<EVENT_LOG_API>(new (std::nothrow) POSIX_EVENT_LOG());
}

}  // namespace qv
