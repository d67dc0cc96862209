// Operating-system threads. A THREAD owns its handle; the handle is signalled when the
// thread ends, so it can be waited for like any other WAITABLE.
#pragma once

#include <cstdint>

#include "platform/wait.h"

namespace qv {

using THREAD_PROC = uint32_t (*)(void* argument);

constexpr uint32_t THREAD_TERMINATED_EXIT_CODE = 0xFFFFFFFF;

class THREAD : public WAITABLE {
public:
    THREAD() = default;
    THREAD(THREAD&& other) noexcept;
    THREAD& operator=(THREAD&& other) noexcept;
    ~THREAD();

    // Starts 'procedure(argument)' at once with the default stack. False (and the last-error
    // value set) when the thread could not be created.
    bool Start(THREAD_PROC procedure, void* argument);

    // Tests without waiting: true and the exit code once the thread has ended.
    bool HasEnded(uint32_t* exitCode = nullptr) const;

    // Ends a thread that did not stop in time. Windows terminates it with the exit code;
    // POSIX has no safe forced termination, so the thread is abandoned: it keeps running
    // detached, its handle is closed, and its state is freed when it finally returns.
    bool Terminate(uint32_t exitCode);

    uint32_t Id() const { return ThreadId; }
    void Close();

private:
    void* State = nullptr;  // POSIX: shared record of the running thread
    uint32_t ThreadId = 0;
};

uint32_t CurrentThreadId();
uint32_t CurrentProcessId();
void SleepMilliseconds(uint32_t milliseconds);

}  // namespace qv
