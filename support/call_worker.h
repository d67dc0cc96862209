// A thread of its own for calls that may block for long (a directory that accepts but never
// answers, a name server that has gone away), so that the thread that asked can stop waiting:
// at a time limit, or the moment the service is asked to stop.
//
// A call given up on is abandoned, not ended: it runs to its end on the worker thread, and
// the calls queued behind it wait. Whatever it produces must therefore live in state the call
// shares (or owns), never on the asking thread's stack. The worker thread has COM initialised,
// so that objects made there (ADSI) are used and released there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/thread.h"
#include "platform/wait.h"

namespace qv {

enum class CALL_OUTCOME {
    DONE,       // the call ran to its end in time
    TIMED_OUT,  // the time limit passed first; the call goes on, abandoned
    STOPPED,    // the stop event was set before the call started or while it ran
    FAILED,     // the worker thread or the wait could not be had (last-error value set)
};

class CALL_WORKER {
public:
    CALL_WORKER() = default;
    CALL_WORKER(const CALL_WORKER&) = delete;
    CALL_WORKER& operator=(const CALL_WORKER&) = delete;
    // Asks the thread to end once its queue is empty; a thread held by an abandoned call is
    // left to finish on its own.
    ~CALL_WORKER();

    // Runs 'call' on the worker thread and waits at most 'timeoutMs' (WAIT_INFINITE: no
    // limit), and never past 'stop' (null: no stop event).
    CALL_OUTCOME Run(std::function<void()> call, uint32_t timeoutMs, const WAITABLE* stop);
    // Queues 'call' without waiting for it (releasing what was made on the worker thread).
    void Post(std::function<void()> call);
    // True when nothing runs or waits on the worker thread; waits up to 'timeoutMs' for that.
    bool WaitUntilIdle(uint32_t timeoutMs);

private:
    struct JOB;
    struct SHARED;
    static uint32_t ThreadProc(void* argument);
    bool Enqueue(const std::shared_ptr<JOB>& job);

    std::mutex StartLock;
    std::shared_ptr<SHARED> State;  // made with the thread, shared with it
};

}  // namespace qv
