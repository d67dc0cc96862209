// Waitable objects on POSIX. Every object is a file descriptor that poll() reports readable
// while the object is signalled:
//   - events are eventfd counters (non-zero = set);
//   - timers are timerfds (readable once an expiry is pending);
//   - other descriptors (sockets, inotify, thread-end events) are adopted as they are.
// Auto-reset objects are consumed by a non-blocking read of their counter. Several waiters may
// see the same readable descriptor in poll(), but only one read succeeds; the others get EAGAIN
// and go on waiting for what is left of their time, which gives the Win32 rule that one
// auto-reset signal releases exactly one wait.
//
// These waits run in tight loops (every few milliseconds), so they allocate nothing: the poll
// sets live on the stack, sized by the 64-object limit.
#include "platform/wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

// File time (100 ns since 1601-01-01) of the Unix epoch.
constexpr int64_t UNIX_EPOCH_FILE_TIME = 116444736000000000LL;
constexpr int64_t TICKS_PER_SECOND_VALUE = 10000000;

uint32_t Fail(uint32_t code) {
    SetLastErrorCode(code);
    return WAIT_FAILED_RESULT;
}

uint64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// The time left of a wait, recomputed from the monotonic clock after every wake-up that did
// not end the wait (a signal, or a signalled object another waiter won).
class DEADLINE {
public:
    explicit DEADLINE(uint32_t timeoutMs) : TimeoutMs(timeoutMs) {
        if (timeoutMs != WAIT_INFINITE && timeoutMs != 0) Start = MonotonicMilliseconds();
    }

    // The poll() timeout for the next round: -1 for no limit, 0 once the time is up.
    int PollTimeout() const {
        if (TimeoutMs == WAIT_INFINITE) return -1;
        if (TimeoutMs == 0) return 0;
        const uint64_t elapsed = MonotonicMilliseconds() - Start;
        if (elapsed >= TimeoutMs) return 0;
        const uint64_t left = TimeoutMs - elapsed;
        return left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    }

    bool Expired() const { return PollTimeout() == 0; }

private:
    uint32_t TimeoutMs;
    uint64_t Start = 0;
};

// Takes the pending signal of an auto-reset object (eventfd or timerfd). True when this caller
// won it and 'value' holds the count read; false with EAGAIN in errno when another waiter did.
bool Consume(int fd, uint64_t& value) {
    for (;;) {
        const ssize_t got = read(fd, &value, sizeof(value));
        if (got == static_cast<ssize_t>(sizeof(value))) return true;
        if (got < 0 && errno == EINTR) continue;
        if (got >= 0) errno = EIO;
        return false;
    }
}

// Checks the objects and fills the poll set; the shared start of every wait.
bool Prepare(std::span<const WAITABLE* const> objects, pollfd* fds) {
    if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS_COUNT) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i] == nullptr || !objects[i]->IsValid()) {
            SetLastErrorCode(ERR_INVALID_HANDLE);
            return false;
        }
        fds[i].fd = objects[i]->NativeHandle();
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    return true;
}

// poll() once; 1 when something is ready, 0 when nothing is (or a signal interrupted it, which
// the caller treats as "look at the clock and go round again"), -1 on failure.
int PollOnce(pollfd* fds, size_t count, int timeoutMs) {
    const int ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
    if (ready > 0) return 1;
    if (ready == 0 || errno == EINTR) return 0;
    SetLastErrorCode(ErrorFromErrno(errno));
    return -1;
}

}  // namespace

// --- WAITABLE ---------------------------------------------------------------------------------


void WAITABLE::Close() {
    if (Handle != NO_NATIVE_HANDLE) {
        // close() always releases the descriptor on Linux, even when it reports EINTR, so it is
        // never retried (a retry could close a descriptor another thread has just opened).
        ::close(Handle);
        Handle = NO_NATIVE_HANDLE;
    }
    AutoReset = false;
}

void WAITABLE::Adopt(NATIVE_HANDLE handle, bool autoReset) {
    Close();
    Handle = handle;
    AutoReset = handle != NO_NATIVE_HANDLE && autoReset;
}

// --- EVENT ------------------------------------------------------------------------------------

bool EVENT::Create(bool manualReset, bool initiallySet) {
    const int fd = eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    Adopt(fd, !manualReset);
    return true;
}

bool EVENT::Set() {
    if (!IsValid()) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    // Adding 1 to a set event leaves it set: a wait or a Reset reads the whole counter, so any
    // number of Sets amounts to one signal.
    const uint64_t one = 1;
    for (;;) {
        if (write(NativeHandle(), &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) return true;
        if (errno == EINTR) continue;
        // EAGAIN: the counter is at its ceiling, so the event is certainly set already.
        if (errno == EAGAIN) return true;
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
}

bool EVENT::Reset() {
    if (!IsValid()) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    uint64_t value = 0;
    if (Consume(NativeHandle(), value) || errno == EAGAIN) return true;  // EAGAIN: already clear
    SetLastErrorCode(ErrorFromErrno(errno));
    return false;
}

// --- WAITABLE_TIMER -----------------------------------------------------------------------------

bool WAITABLE_TIMER::Create(bool manualReset) {
    // CLOCK_REALTIME so that an absolute due time follows the wall clock, as on Windows.
    const int fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    // A manual-reset timer is never read by a wait: its expiry count stays pending, so it stays
    // signalled until the next Set (timerfd_settime clears the count).
    Adopt(fd, !manualReset);
    return true;
}

bool WAITABLE_TIMER::Set(int64_t dueTime, uint32_t periodMs) {
    if (!IsValid()) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    itimerspec timing{};
    timing.it_interval.tv_sec = static_cast<time_t>(periodMs / 1000u);
    timing.it_interval.tv_nsec = static_cast<long>(periodMs % 1000u) * 1000000L;
    int flags = 0;
    if (dueTime > UNIX_EPOCH_FILE_TIME) {
        // An absolute UTC file time. A due time already past fires at once, as on Windows.
        const int64_t sinceEpoch = dueTime - UNIX_EPOCH_FILE_TIME;
        timing.it_value.tv_sec = static_cast<time_t>(sinceEpoch / TICKS_PER_SECOND_VALUE);
        timing.it_value.tv_nsec = static_cast<long>(sinceEpoch % TICKS_PER_SECOND_VALUE) * 100L;
        flags = TFD_TIMER_ABSTIME;
    } else if (dueTime < 0) {
        // A span from now. The negation is done unsigned so the most negative value is safe.
        const uint64_t span = 0u - static_cast<uint64_t>(dueTime);
        timing.it_value.tv_sec = static_cast<time_t>(span / TICKS_PER_SECOND_VALUE);
        timing.it_value.tv_nsec = static_cast<long>(span % TICKS_PER_SECOND_VALUE) * 100L;
    }
    // An absolute time at or before 1970 (including 0) has long passed, and a zero value would
    // disarm a timerfd instead of firing it: both become "expire at once".
    if (timing.it_value.tv_sec == 0 && timing.it_value.tv_nsec == 0) {
        timing.it_value.tv_nsec = 1;
        flags = 0;
    }
    if (timerfd_settime(NativeHandle(), flags, &timing, nullptr) != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

bool WAITABLE_TIMER::Cancel() {
    if (!IsValid()) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    // Cancelling stops later expiries but, as on Windows, leaves a timer that has already
    // expired signalled. Disarming a timerfd clears its pending count, so a pending expiry is
    // put back as a one-shot that fires at once. (A zero-timeout wait in the few microseconds
    // between the two calls can miss it; any longer wait sees it.)
    pollfd check{NativeHandle(), POLLIN, 0};
    const bool signalled = poll(&check, 1, 0) > 0 && (check.revents & POLLIN) != 0;
    itimerspec timing{};
    if (timerfd_settime(NativeHandle(), 0, &timing, nullptr) != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    if (signalled) {
        timing.it_value.tv_nsec = 1;
        if (timerfd_settime(NativeHandle(), 0, &timing, nullptr) != 0) {
            SetLastErrorCode(ErrorFromErrno(errno));
            return false;
        }
    }
    return true;
}

// --- waits --------------------------------------------------------------------------------------

uint32_t WaitForOne(const WAITABLE& object, uint32_t timeoutMs) {
    const WAITABLE* const list[] = {&object};
    return WaitForAny(list, timeoutMs);
}

uint32_t WaitForAny(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) {
    pollfd fds[MAXIMUM_WAIT_OBJECTS_COUNT];
    if (!Prepare(objects, fds)) return WAIT_FAILED_RESULT;
    const size_t count = objects.size();
    const DEADLINE deadline(timeoutMs);

    for (int timeout = deadline.PollTimeout();; timeout = deadline.PollTimeout()) {
        const int polled = PollOnce(fds, count, timeout);
        if (polled < 0) return WAIT_FAILED_RESULT;
        if (polled > 0) {
            // The lowest signalled index wins; an auto-reset object lost to another waiter
            // passes the turn to the next signalled one.
            for (size_t i = 0; i < count; ++i) {
                const short revents = fds[i].revents;
                if (revents == 0) continue;
                if ((revents & POLLNVAL) != 0) return Fail(ERR_INVALID_HANDLE);
                if (!objects[i]->ConsumedByWait()) return static_cast<uint32_t>(i);
                uint64_t value = 0;
                if (Consume(fds[i].fd, value)) return static_cast<uint32_t>(i);
                if (errno != EAGAIN) return Fail(ErrorFromErrno(errno));
            }
        }
        if (timeout == 0 || deadline.Expired()) return WAIT_TIMED_OUT;
    }
}

// All objects must be signalled at one moment. The wait polls only the objects not yet
// signalled (so it sleeps rather than spins while some are already set), then checks the whole
// set again in one zero-timeout poll, and takes the auto-reset objects only when every object
// was ready in that check.
//
// Limit: the take is not atomic across objects. If another waiter wins one auto-reset object
// between the check and the take, the objects already taken are given back; an event is
// restored exactly (its counter is written back), but a timer's expiry cannot be written back
// and is lost. Callers that share auto-reset timers between a WaitForAll and other waiters
// should not rely on that race.
uint32_t WaitForAll(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) {
    pollfd fds[MAXIMUM_WAIT_OBJECTS_COUNT];
    if (!Prepare(objects, fds)) return WAIT_FAILED_RESULT;
    const size_t count = objects.size();
    // Windows refuses the same object twice in a wait-all; here it would also never succeed
    // for an auto-reset object, which can be taken only once.
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = i + 1; j < count; ++j) {
            if (fds[i].fd == fds[j].fd) return Fail(ERR_INVALID_PARAMETER);
        }
    }
    const DEADLINE deadline(timeoutMs);
    pollfd pending[MAXIMUM_WAIT_OBJECTS_COUNT];
    uint64_t taken[MAXIMUM_WAIT_OBJECTS_COUNT];

    for (;;) {
        const int checked = PollOnce(fds, count, 0);
        if (checked < 0) return WAIT_FAILED_RESULT;
        size_t pendingCount = 0;
        for (size_t i = 0; i < count; ++i) {
            const short revents = checked > 0 ? fds[i].revents : 0;
            if ((revents & POLLNVAL) != 0) return Fail(ERR_INVALID_HANDLE);
            if (revents == 0) pending[pendingCount++] = {fds[i].fd, POLLIN, 0};
        }

        if (pendingCount == 0) {
            size_t i = 0;
            for (; i < count; ++i) {
                if (!objects[i]->ConsumedByWait()) continue;
                if (!Consume(fds[i].fd, taken[i])) break;
            }
            if (i == count) return 0;
            const int lostError = errno;
            for (size_t j = 0; j < i; ++j) {
                if (!objects[j]->ConsumedByWait()) continue;
                // Gives an event's signal back; a timerfd refuses the write (see above).
                ssize_t written = 0;
                do {
                    written = write(fds[j].fd, &taken[j], sizeof(taken[j]));
                } while (written < 0 && errno == EINTR);
            }
            if (lostError != EAGAIN) return Fail(ErrorFromErrno(lostError));
            if (deadline.Expired()) return WAIT_TIMED_OUT;
            continue;
        }

        const int timeout = deadline.PollTimeout();
        if (timeout == 0) return WAIT_TIMED_OUT;
        if (PollOnce(pending, pendingCount, timeout) < 0) return WAIT_FAILED_RESULT;
    }
}

}  // namespace qv
