// What the logging library asks of the outside world, gathered in one replaceable object, and
// the hooks that let tests drive the library's process-wide state.
//
// The library normally talks to the real clock, file system, debugger channel and standard
// output through the default DEBUG_LOG_ENVIRONMENT. A test derives from it and overrides what
// it needs to control: the clock (to be at midnight or at 12:00 exactly), the sinks (to read
// what was written), or one file operation (to make it fail). Everything not overridden stays
// real, so tests work with real files in a temporary folder.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "platform/files.h"
#include "support/time_value.h"

namespace qv {

class WAITABLE_TIMER;

class DEBUG_LOG_ENVIRONMENT {
public:
    DEBUG_LOG_ENVIRONMENT() = default;
    DEBUG_LOG_ENVIRONMENT(const DEBUG_LOG_ENVIRONMENT&) = delete;
    DEBUG_LOG_ENVIRONMENT& operator=(const DEBUG_LOG_ENVIRONMENT&) = delete;
    virtual ~DEBUG_LOG_ENVIRONMENT() = default;

    // The clock: UTC in file-time form, and the local-zone conversions.
    virtual uint64_t UtcNow();
    virtual bool UtcToLocal(uint64_t utc, uint64_t& local);
    virtual bool LocalToUtc(uint64_t local, uint64_t& utc);

    // The sinks: the debugger channel (wide, or UTF-8 for the kernel debugger) and standard
    // output.
    virtual void DebuggerOutput(const char16_t* line);
    virtual void KernelDebuggerOutput(const char* line);
    virtual void ConsoleOutput(const char16_t* line);

    // The file system, with Win32 error codes.
    virtual uint32_t Open(FILE_HANDLE& file, const char16_t* path, FILE_CREATION creation, bool* existed);
    virtual uint32_t Write(FILE_HANDLE& file, const void* data, uint32_t size);
    virtual uint32_t Move(const char16_t* from, const char16_t* to);
    virtual uint32_t Remove(const char16_t* path);
    virtual PATH_KIND Kind(const char16_t* path);
    virtual uint32_t MakeDirectory(const char16_t* path);

    // The process: the main program's path, the local application-data folder.
    virtual bool ProgramPath(STRING& path);
    virtual bool LocalAppDataFolder(STRING& path);

    // Arms the rename thread's timer (absolute UTC due time, period in ms). A test can keep
    // the real timer from ever firing, or fire it when it chooses.
    virtual bool ArmTimer(WAITABLE_TIMER& timer, int64_t dueTimeUtc, uint32_t periodMs);
};

// Puts the library back into its state at process start (mode 0, no file, default path,
// first open still ahead, default custom names, no held messages, no rename thread) and makes
// 'environment' its outside world; null selects the real one. Held messages are dropped, not
// written. The environment must outlive its use: reset to null before destroying it.
void ResetDebugLogForTest(DEBUG_LOG_ENVIRONMENT* environment);

// Runs, on the calling thread, what the rename thread does when its timer fires.
void RunLogRenameTimerForTest();

// The rename schedule as stored: the next due time (local) and the period.
struct LOG_RENAME_SCHEDULE_STATE {
    bool ThreadRunning = false;
    TIME_VALUE DueTime;
    uint32_t PeriodMs = 0;
};
LOG_RENAME_SCHEDULE_STATE GetLogRenameScheduleForTest();

bool IsLogFileOpenForTest();

// Library internals the tests drive directly.
//
// Moves 'path' aside under a name stamped with 'localTime' (null: now); see log_file.cpp.
bool RenameLogPath(const char16_t* path, const TIME_VALUE* localTime);
// Creates every missing directory of 'path'; 0 or the Win32 error code (also left as the
// thread's last-error value).
uint32_t CreateDirectoryTree(const char16_t* path);

}  // namespace qv
