// Threads on POSIX. Threads are created detached, so nobody ever has to join them; what a
// THREAD object knows about its thread lives in a shared record that both sides reference:
// the running thread (until its procedure has returned and the end is published) and the
// THREAD object (until it is closed or abandons the thread). The last one out frees it.
//
// The end of a thread is published through a manual-reset eventfd that the record owns. The
// THREAD object waits on its own duplicate of that descriptor, so closing the THREAD closes
// only the duplicate: the descriptor the thread will still write to stays open (and cannot be
// reused for some unrelated file) until the record is freed.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <utility>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

struct THREAD_STATE {
    std::atomic<uint32_t> References{2};  // the running thread and the THREAD object
    std::atomic<uint32_t> Id{0};          // published by the thread as it starts
    std::atomic<bool> Ended{false};
    uint32_t ExitCode = 0;  // written before Ended is released, read after it is acquired
    int EndedEvent = -1;
    THREAD_PROC Procedure = nullptr;
    void* Argument = nullptr;
};

void ReleaseState(THREAD_STATE* state) {
    if (state->References.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ::close(state->EndedEvent);
        delete state;
    }
}

uint32_t OwnThreadId() { return static_cast<uint32_t>(gettid()); }

void* ThreadEntry(void* argument) {
    auto* state = static_cast<THREAD_STATE*>(argument);
    state->Id.store(OwnThreadId(), std::memory_order_release);
    state->Id.notify_all();

    const uint32_t exitCode = state->Procedure(state->Argument);

    state->ExitCode = exitCode;
    state->Ended.store(true, std::memory_order_release);
    const uint64_t one = 1;
    ssize_t written = 0;
    do {
        written = write(state->EndedEvent, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
    ReleaseState(state);
    return nullptr;
}

}  // namespace


void THREAD::Close() {
    WAITABLE::Close();
    if (State != nullptr) {
        ReleaseState(static_cast<THREAD_STATE*>(State));
        State = nullptr;
    }
    ThreadId = 0;
}

bool THREAD::Start(THREAD_PROC procedure, void* argument) {
    Close();
    if (procedure == nullptr) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    auto* state = new (std::nothrow) THREAD_STATE;
    if (state == nullptr) {
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return false;
    }
    state->Procedure = procedure;
    state->Argument = argument;
    state->EndedEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->EndedEvent < 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        delete state;
        return false;
    }
    const int handle = fcntl(state->EndedEvent, F_DUPFD_CLOEXEC, 0);
    if (handle < 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        ::close(state->EndedEvent);
        delete state;
        return false;
    }

    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (error == 0) error = pthread_create(&thread, &attributes, ThreadEntry, state);
        pthread_attr_destroy(&attributes);
    }
    if (error != 0) {
        // EAGAIN from pthread_create means the system is out of threads or memory for one.
        SetLastErrorCode(error == EAGAIN ? ERR_NOT_ENOUGH_MEMORY : ErrorFromErrno(error));
        ::close(handle);
        ::close(state->EndedEvent);
        delete state;
        return false;
    }

    // The id is the kernel's thread id, which only the new thread can read; it publishes it at
    // once, and the caller may need it (logs, comparisons with CurrentThreadId) right away.
    state->Id.wait(0, std::memory_order_acquire);
    ThreadId = state->Id.load(std::memory_order_acquire);
    State = state;
    Adopt(handle, false);
    return true;
}

bool THREAD::HasEnded(uint32_t* exitCode) const {
    const auto* state = static_cast<const THREAD_STATE*>(State);
    if (state == nullptr) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    if (!state->Ended.load(std::memory_order_acquire)) return false;
    if (exitCode != nullptr) *exitCode = state->ExitCode;
    return true;
}

bool THREAD::Terminate(uint32_t /*exitCode*/) {
    if (State == nullptr) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    // There is no safe way to kill one thread of a POSIX process (it may hold locks, including
    // the allocator's). The thread is left to run detached; dropping our reference lets it free
    // the shared record itself when its procedure finally returns.
    Close();
    return true;
}

uint32_t CurrentThreadId() { return OwnThreadId(); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void SleepMilliseconds(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace qv
