// Keeps the reporting thread from being held back by a directory that answers slowly, does not
// answer at all, or cannot be reached:
// - Every call into the platform's directory runs on a thread of its own (CALL_WORKER), and the
//   reporting thread waits for it no longer than what is left of its time limit, and not at
//   all once the service is stopping: such a call is abandoned (on POSIX the LDAP request is
//   abandoned too).
// - After a failure to reach the directory (refused, timed out, the bind refused) look-ups
//   pause: for 30 s, then twice as long after each failed try up to 5 minutes, until the
//   directory answers again. While they pause, look-ups that the cache cannot answer fail at
//   once and without a line of their own, so reports go out without directory fields. One
//   line says when a pause starts, one when the directory answers again.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/directory_access.h"
#include "platform/wait.h"

namespace qv {

struct DIRECTORY_LIMITS {
    const WAITABLE* Stop = nullptr;   // once set, no call starts and a call under way is given up
    uint32_t TimeLimitMs = 5000;      // for all the look-ups of one report together
    uint32_t FirstPauseMs = 30000;
    uint32_t LongestPauseMs = 300000;
    std::function<uint64_t()> Clock;  // milliseconds on a steady clock; tests set their own
};

// The limits from now on (the service sets its stop event; report mode keeps the defaults).
void SetDirectoryLimits(DIRECTORY_LIMITS limits);

// The look-ups made on this thread while one lives share one time limit; without one, each
// call gets the whole limit. An inner one inside an outer one changes nothing.
class DIRECTORY_TIME_LIMIT {
public:
    DIRECTORY_TIME_LIMIT();
    ~DIRECTORY_TIME_LIMIT();
    DIRECTORY_TIME_LIMIT(const DIRECTORY_TIME_LIMIT&) = delete;
    DIRECTORY_TIME_LIMIT& operator=(const DIRECTORY_TIME_LIMIT&) = delete;

private:
    bool Owner = false;
};

// True while look-ups pause (or the service stops); 'code' is then the failure they fail with.
bool DirectoryPaused(uint32_t* code = nullptr);

// The directory in use (CurrentDirectoryAccess) behind the guard.
DIRECTORY_ACCESS& GuardedDirectoryAccess();

// Ends a pause now: the next look-up tries the directory (after a change of the settings,
// which may be the directory's). Its outcome is reported as after any pause.
void EndDirectoryPause();
// Ends a pause and forgets its length (tests, and a new directory installed).
void ResetDirectoryGuard();

// Waits up to 'timeoutMs' for an abandoned directory call to finish; true when none runs.
bool WaitForDirectoryCalls(uint32_t timeoutMs);

// Whether a code says the directory could not be reached, rather than what it answered.
bool IsDirectoryUnreachable(uint32_t code);

}  // namespace qv
