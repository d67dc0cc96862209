// Waitable objects and the waits over them. Results follow the Win32 convention: the index
// of the object that ended the wait, WAIT_TIMED_OUT, or WAIT_FAILED_RESULT with the reason
// in the last-error value. When several objects are signalled together the lowest index
// wins, so a caller puts the stop-service event first.
//
// On Windows every object is a kernel handle. On POSIX every object is a file descriptor
// (eventfd, timerfd, and later sockets and inotify), so one poll() covers them all;
// auto-reset objects are consumed by the waiter that wins them.
#pragma once

#include <cstdint>
#include <span>

#include "base/types.h"

namespace qv {

constexpr uint32_t WAIT_INFINITE = 0xFFFFFFFF;
constexpr uint32_t WAIT_TIMED_OUT = 258;
constexpr uint32_t WAIT_FAILED_RESULT = 0xFFFFFFFF;
constexpr uint32_t MAXIMUM_WAIT_OBJECTS_COUNT = 64;

class WAITABLE {
public:
    WAITABLE() = default;
    WAITABLE(const WAITABLE&) = delete;
    WAITABLE& operator=(const WAITABLE&) = delete;
    WAITABLE(WAITABLE&& other) noexcept;
    WAITABLE& operator=(WAITABLE&& other) noexcept;
    ~WAITABLE();

    bool IsValid() const { return Handle != NO_NATIVE_HANDLE; }
    NATIVE_HANDLE NativeHandle() const { return Handle; }
    void Close();

    // POSIX: an auto-reset object is consumed by the wait that reports it.
    bool ConsumedByWait() const { return AutoReset; }

protected:
    void Adopt(NATIVE_HANDLE handle, bool autoReset);

private:
    NATIVE_HANDLE Handle = NO_NATIVE_HANDLE;
    bool AutoReset = false;
};

class EVENT : public WAITABLE {
public:
    // Manual-reset events stay set until reset; auto-reset events wake one waiter and reset.
    bool Create(bool manualReset, bool initiallySet = false);
    bool Set();
    bool Reset();
};

class WAITABLE_TIMER : public WAITABLE {
public:
    bool Create(bool manualReset);
    // dueTime: a positive absolute UTC file time, or a negative span (100-ns units) from now.
    // periodMs: 0 for a single expiry, else the interval of later expiries.
    bool Set(int64_t dueTime, uint32_t periodMs = 0);
    bool Cancel();
};

uint32_t WaitForOne(const WAITABLE& object, uint32_t timeoutMs);
uint32_t WaitForAny(std::span<const WAITABLE* const> objects, uint32_t timeoutMs);
// Succeeds (result 0) only when every object is signalled at once.
uint32_t WaitForAll(std::span<const WAITABLE* const> objects, uint32_t timeoutMs);

}  // namespace qv
