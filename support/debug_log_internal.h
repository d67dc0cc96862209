// The logging library's shared state and the internal calls between its parts:
//   debug_log.cpp     messages, channels, held messages, configuration, lifecycle;
//   debug_log_mode.cpp        the mode's keywords and text, environment numbers;
//   log_file.cpp      the log file: opening, renaming aside, the path, directories;
//   log_rename.cpp    the daily rename schedule and its thread;
//   debug_log_environment.cpp   the real outside world.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/format_arg.h"
#include "base/string.h"
#include "platform/files.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "support/time_value.h"

namespace qv {

inline constexpr char16_t DEFAULT_LOG_BASE_NAME[] = u"Debug";
inline constexpr char16_t DEFAULT_LOG_EXTENSION[] = u"log";
inline constexpr char16_t ALTERNATE_LOG_EXTENSION[] = u"txt";
inline constexpr const char16_t* DEFAULT_CUSTOM_NAMES[2] = {u"Custom1", u"Custom2"};

// One message a thread holds back until it writes its next ordinary one.
struct HELD_MESSAGE {
    HELD_MESSAGE* Next = nullptr;
    uint32_t Flags = 0;
    STRING Text;
};

// The held messages of one thread. It outlives the thread: whatever was never released is
// written when the process ends.
struct HELD_QUEUE {
    HELD_QUEUE* NextQueue = nullptr;  // registry order
    HELD_MESSAGE* First = nullptr;
    HELD_MESSAGE* Last = nullptr;
    uint32_t ThreadId = 0;
};

// What the rename thread works with. Kept apart from the schedule so that stopping the thread
// can hand it over without holding any lock while it waits.
struct RENAME_CONTEXT {
    EVENT WakeUp;           // auto-reset
    WAITABLE_TIMER Timer;   // auto-reset
    std::atomic<bool> Stop{false};
    RENAME_CONTEXT* NextAbandoned = nullptr;
};

struct RENAME_SCHEDULE {
    // The rename lock: guards Thread and Context. Only ever taken inside the log lock, or with
    // no lock held at all (StopLogRenameThread), never the other way round.
    std::mutex Lock;
    THREAD Thread;
    RENAME_CONTEXT* Context = nullptr;
    // Contexts of threads that would not stop: an abandoned thread may still read its context,
    // so it is never freed.
    RENAME_CONTEXT* Abandoned = nullptr;
    // Guarded by the log lock (written with both locks held by SetLogRenameSchedule, advanced
    // by the rename thread under the log lock alone), so the rename thread never needs the
    // rename lock.
    TIME_VALUE DueTime;  // local time
    uint32_t PeriodMs = 0;
};

struct DEBUG_LOG_STATE {
    // The log lock. Recursive, because the library reports its own progress from inside the
    // very calls that hold it (opening the file, renaming it).
    std::recursive_mutex Lock;

    // Written under the log lock; atomic so that DebuggerPrintPlain, which takes no lock, can
    // read them.
    std::atomic<uint32_t> Mode{0};
    std::atomic<DEBUG_LOG_ENVIRONMENT*> Environment{nullptr};

    // Everything below is guarded by the log lock.
    bool ShutDown = false;
    STRING Prefix;
    STRING Directory;  // empty, or ending with a separator
    STRING BaseName;
    STRING Extension;  // may be empty: then the path has no dot
    FILE_HANDLE LogFile;
    bool FirstOpen = true;
    STRING CustomNames[2];
    bool NamesFixed = false;  // the mode-to-text table has taken the custom names

    HELD_QUEUE* FirstQueue = nullptr;
    HELD_QUEUE* LastQueue = nullptr;
    // Changes whenever the queues are freed, so that a thread's remembered queue from before
    // is recognised as gone.
    uint64_t QueueGeneration = 1;

    RENAME_SCHEDULE Rename;
};

// The one state of the process. Made on first use and never destroyed, so that it is still
// there for the rename thread and for the shutdown that runs while static objects go away.
DEBUG_LOG_STATE& LogState();
DEBUG_LOG_ENVIRONMENT& LogEnvironment();
DEBUG_LOG_ENVIRONMENT& RealDebugLogEnvironment();

// The current local time from the environment's clock (UTC itself when the zone can't be
// applied).
TIME_VALUE LocalNow();

// A library message: to the debugger channel only, never to the log file or the console.
// Progress messages only when the mode has DBGOUT_INTERNAL; error messages always.
void LibraryMessageArgs(bool progress, const char16_t* format, FORMAT_ARGS args);

template <typename... ARGS>
void LibraryProgress(const char16_t* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    LibraryMessageArgs(true, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void LibraryError(const char16_t* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    LibraryMessageArgs(false, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

// Text helpers shared by the parts.
void AppendText(STRING& target, const char16_t* text, uint32_t length);
inline void AppendText(STRING& target, const char16_t* text) { AppendText(target, text, TextLength(text)); }
inline void AppendText(STRING& target, const STRING& text) { AppendText(target, text.Text(), text.Length()); }

// --- log_file.cpp (log lock held) -------------------------------------------------------------

// Opens the log file when the message (flags) or the mode calls for it; true when it is open.
bool OpenLogFile(uint32_t flags);
// directory + base name + ("." + extension when there is one).
STRING ComposeLogPath();

// --- log_rename.cpp ---------------------------------------------------------------------------

// The timer's work: close the file and move it aside under the due time's name.
void RunLogRenameTimer();

}  // namespace qv
