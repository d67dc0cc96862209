// The daily rename: at a chosen local hour the log file is closed and moved aside under the
// name of that moment ("Quorvane_2024-01-03.log" at midnight), and the next message starts a
// new file. A thread waits for a waitable timer armed at the due time, repeating every period.
//
// Locks: SetLogRenameSchedule takes the log lock, then the rename lock. The thread takes the
// log lock alone (for its messages and for the rename). StopLogRenameThread takes the rename
// lock alone, and only to hand the thread over: it waits for the thread with no lock held, so
// a thread busy renaming, or one that wants to report, is never waited for while it waits for
// us.
#include <mutex>
#include <utility>

#include "base/error_codes.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "support/debug_log.h"
#include "support/debug_log_internal.h"

namespace qv {

namespace {

using LOG_LOCK = std::lock_guard<std::recursive_mutex>;
using RENAME_LOCK = std::lock_guard<std::mutex>;

constexpr uint64_t TICKS_PER_DAY = 24ull * 60 * 60 * TICKS_PER_SECOND;
constexpr uint32_t MILLISECONDS_PER_DAY = 86400000;
// The timer takes its period as a signed 32-bit count of milliseconds: 24 days at most.
constexpr uint32_t LONGEST_PERIOD_DAYS = 24;
constexpr uint32_t STOP_WAIT_MS = 10000;

bool IsRunning(const RENAME_SCHEDULE& schedule) {
    return schedule.Context != nullptr && schedule.Thread.IsValid() && !schedule.Thread.HasEnded();
}

int64_t UtcDueTime(const TIME_VALUE& local) {
    uint64_t utc = 0;
    if (!LogEnvironment().LocalToUtc(local.Count, utc)) utc = local.Count;
    return static_cast<int64_t>(utc);
}

// A failed allocation costs the one message or rename, never the thread.
template <typename ACTION>
void Guarded(ACTION action) {
    try {
        action();
    } catch (const STRING_NO_MEMORY&) {
    }
}

uint32_t RenameThread(void* argument) {
    auto* context = static_cast<RENAME_CONTEXT*>(argument);
    Guarded([] { LibraryProgress(u"Rename thread started"); });
    const WAITABLE* const objects[] = {&context->WakeUp, &context->Timer};
    while (!context->Stop.load()) {
        const uint32_t result = WaitForAny(objects, WAIT_INFINITE);
        if (result == 0) {
            Guarded([] { LibraryProgress(u"Rename event signaled"); });
        } else if (result == 1) {
            Guarded(RunLogRenameTimer);
        } else {
            return 1;  // a failed wait: nothing left to wait with
        }
    }
    Guarded([] { LibraryProgress(u"Rename thread stopping"); });
    return 0;
}

void FreeContext(RENAME_CONTEXT* context) { delete context; }

}  // namespace

void RunLogRenameTimer() {
    DEBUG_LOG_STATE& state = LogState();
    const LOG_LOCK lock(state.Lock);
    LibraryProgress(u"Rename timer signaled");
    // No file open: nothing was logged since the last rename, and there is nothing to move.
    if (!state.LogFile.IsOpen()) return;
    state.LogFile.Close();
    const STRING path = ComposeLogPath();
    const TIME_VALUE due = state.Rename.DueTime;
    RenameLogPath(path.Text(), &due);
    state.Rename.DueTime = due.AddTicks(static_cast<int64_t>(state.Rename.PeriodMs) * TICKS_PER_MILLISECOND);
}

void RunLogRenameTimerForTest() { RunLogRenameTimer(); }

void SetLogRenameSchedule(uint32_t hour, uint32_t days) {
    if (hour > 23) return;
    CALENDAR_TIME now;
    if (!LocalNow().ToCalendar(now)) return;
    CALENDAR_TIME at = now;
    at.Hour = static_cast<uint16_t>(hour);
    at.Minute = 0;
    at.Second = 0;
    at.Milliseconds = 0;
    TIME_VALUE due;
    if (!TIME_VALUE::FromCalendar(at, due)) return;
    // The hour has come already today (or is now): tomorrow.
    if (hour <= now.Hour) due = due.AddTicks(static_cast<int64_t>(TICKS_PER_DAY));
    const uint32_t periodMs = (days < LONGEST_PERIOD_DAYS ? days : LONGEST_PERIOD_DAYS) * MILLISECONDS_PER_DAY;

    DEBUG_LOG_STATE& state = LogState();
    const LOG_LOCK logLock(state.Lock);
    RENAME_SCHEDULE& schedule = state.Rename;
    const RENAME_LOCK renameLock(schedule.Lock);
    schedule.DueTime = due;
    schedule.PeriodMs = periodMs;
    DEBUG_LOG_ENVIRONMENT& environment = LogEnvironment();

    if (IsRunning(schedule)) {
        environment.ArmTimer(schedule.Context->Timer, UtcDueTime(due), periodMs);
        schedule.Context->WakeUp.Set();
        return;
    }

    // A thread that ended by itself (its wait failed) is replaced.
    schedule.Thread.Close();
    FreeContext(std::exchange(schedule.Context, nullptr));

    auto* context = new (std::nothrow) RENAME_CONTEXT;
    if (context == nullptr) return;
    if (!context->Timer.Create(false) || !context->WakeUp.Create(false)) {
        FreeContext(context);
        return;
    }
    environment.ArmTimer(context->Timer, UtcDueTime(due), periodMs);
    if (!schedule.Thread.Start(RenameThread, context)) {
        FreeContext(context);
        return;
    }
    schedule.Context = context;
}

void StopLogRenameThread() {
    RENAME_SCHEDULE& schedule = LogState().Rename;
    THREAD thread;
    RENAME_CONTEXT* context = nullptr;
    {
        const RENAME_LOCK lock(schedule.Lock);
        if (!schedule.Thread.IsValid()) {
            FreeContext(std::exchange(schedule.Context, nullptr));
            return;
        }
        thread = std::move(schedule.Thread);
        context = std::exchange(schedule.Context, nullptr);
        if (context != nullptr) {
            context->Stop.store(true);
            context->WakeUp.Set();
        }
    }
    if (WaitForOne(thread, STOP_WAIT_MS) != 0) {
        thread.Terminate(THREAD_TERMINATED_EXIT_CODE);
        // The thread may still be reading its context (POSIX cannot end it; Windows ends it
        // asynchronously): it is kept, never freed.
        if (context != nullptr) {
            const RENAME_LOCK lock(schedule.Lock);
            context->NextAbandoned = schedule.Abandoned;
            schedule.Abandoned = context;
            context = nullptr;
        }
    }
    thread.Close();
    FreeContext(context);
}

LOG_RENAME_SCHEDULE_STATE GetLogRenameScheduleForTest() {
    DEBUG_LOG_STATE& state = LogState();
    const LOG_LOCK logLock(state.Lock);
    const RENAME_LOCK renameLock(state.Rename.Lock);
    LOG_RENAME_SCHEDULE_STATE result;
    result.ThreadRunning = IsRunning(state.Rename);
    result.DueTime = state.Rename.DueTime;
    result.PeriodMs = state.Rename.PeriodMs;
    return result;
}

}  // namespace qv
