// Watching one folder with inotify from a thread of its own: the settings store and the event
// log store both tell their waiters about changes this way. The thread only notices that
// inotify has something queued and calls the owner back (on that thread); the owner drains the
// queue with TakeChanges under whatever lock guards its waiters, and decides whom to wake.
#pragma once

#include <cstdint>

#include "platform/posix/file_descriptor.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace qv {

class FOLDER_WATCHER {
public:
    using CALLBACK = void (*)(void* context);

    FOLDER_WATCHER() = default;
    FOLDER_WATCHER(const FOLDER_WATCHER&) = delete;
    FOLDER_WATCHER& operator=(const FOLDER_WATCHER&) = delete;
    ~FOLDER_WATCHER() { Stop(); }

    // Watches 'folderPath' for the inotify events in 'mask' and starts the thread, which calls
    // 'queued(context)' whenever records are waiting. A Win32 error code.
    uint32_t Start(const char* folderPath, uint32_t mask, CALLBACK queued, void* context);
    // Ends the thread (waiting for a callback in progress) and the watch.
    void Stop();
    bool IsRunning() const { return Thread.IsValid(); }

    // Reads every queued record; true when one names 'fileName', or may have: records were
    // lost (overflow), or the folder itself went away.
    bool TakeChanges(const char* fileName);

private:
    static uint32_t Run(void* argument);

    FILE_DESCRIPTOR Inotify;
    EVENT StopEvent;
    THREAD Thread;
    CALLBACK Queued = nullptr;
    void* Context = nullptr;
};

}  // namespace qv
