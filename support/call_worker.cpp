#include "support/call_worker.h"

#include <array>
#include <atomic>
#include <chrono>
#include <span>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/process_setup.h"

namespace qv {

struct CALL_WORKER::JOB {
    std::function<void()> Call;
    EVENT Done;  // manual reset; null for a posted job
    // Set after the call, before Done: whoever sees it set also sees what the call wrote.
    std::atomic<bool> Finished{false};
};

// What the worker thread and its owner share; the thread holds its own reference, so an
// owner that goes away while a call hangs leaves the thread something valid to finish with.
struct CALL_WORKER::SHARED {
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<std::shared_ptr<JOB>> Queue;
    bool Busy = false;
    bool Ending = false;
    THREAD Thread;
};

CALL_WORKER::~CALL_WORKER() {
    std::shared_ptr<SHARED> state;
    {
        std::lock_guard lock(StartLock);
        state = std::move(State);
    }
    if (!state) return;
    {
        std::lock_guard lock(state->Lock);
        state->Ending = true;
    }
    state->Changed.notify_all();
}

uint32_t CALL_WORKER::ThreadProc(void* argument) {
    // The thread's reference to the shared state, handed over by Enqueue.
    std::shared_ptr<SHARED> state = std::move(*static_cast<std::shared_ptr<SHARED>*>(argument));
    delete static_cast<std::shared_ptr<SHARED>*>(argument);
    COM_APARTMENT com;
    std::unique_lock lock(state->Lock);
    for (;;) {
        state->Changed.wait(lock, [&] { return state->Ending || !state->Queue.empty(); });
        if (state->Queue.empty()) return 0;
        std::shared_ptr<JOB> job = std::move(state->Queue.front());
        state->Queue.pop_front();
        state->Busy = true;
        lock.unlock();
        job->Call();
        job->Call = nullptr;  // what the call holds is let go of on this thread
        job->Finished.store(true, std::memory_order_release);
        if (job->Done.IsValid()) job->Done.Set();
        lock.lock();
        state->Busy = false;
        state->Changed.notify_all();
    }
}

bool CALL_WORKER::Enqueue(const std::shared_ptr<JOB>& job) {
    std::shared_ptr<SHARED> state;
    {
        std::lock_guard lock(StartLock);
        if (!State) {
            auto made = std::make_shared<SHARED>();
            auto* handedOver = new std::shared_ptr<SHARED>(made);
            if (!made->Thread.Start(&CALL_WORKER::ThreadProc, handedOver)) {
                delete handedOver;
                return false;
            }
            State = std::move(made);
        }
        state = State;
    }
    {
        std::lock_guard lock(state->Lock);
        state->Queue.push_back(job);
    }
    state->Changed.notify_all();
    return true;
}

CALL_OUTCOME CALL_WORKER::Run(std::function<void()> call, uint32_t timeoutMs, const WAITABLE* stop) {
    if (stop != nullptr && WaitForOne(*stop, 0) == 0) return CALL_OUTCOME::STOPPED;
    auto job = std::make_shared<JOB>();
    job->Call = std::move(call);
    if (!job->Done.Create(true, false)) return CALL_OUTCOME::FAILED;
    if (!Enqueue(job)) return CALL_OUTCOME::FAILED;
    // The stop event goes first: when both are set, stopping wins.
    std::array<const WAITABLE*, 2> objects{stop, &job->Done};
    std::span<const WAITABLE* const> waitSet(objects);
    if (stop == nullptr) waitSet = waitSet.subspan(1);
    const uint32_t result = WaitForAny(waitSet, timeoutMs);
    if (result == WAIT_TIMED_OUT) return CALL_OUTCOME::TIMED_OUT;
    if (result == WAIT_FAILED_RESULT) return CALL_OUTCOME::FAILED;
    if (stop != nullptr && result == 0) return CALL_OUTCOME::STOPPED;
    return job->Finished.load(std::memory_order_acquire) ? CALL_OUTCOME::DONE : CALL_OUTCOME::FAILED;
}

void CALL_WORKER::Post(std::function<void()> call) {
    auto job = std::make_shared<JOB>();
    job->Call = std::move(call);
    // Without a thread nothing can run it; letting go of it here is all that is left.
    if (!Enqueue(job)) job->Call = nullptr;
}

bool CALL_WORKER::WaitUntilIdle(uint32_t timeoutMs) {
    std::shared_ptr<SHARED> state;
    {
        std::lock_guard lock(StartLock);
        state = State;
    }
    if (!state) return true;
    std::unique_lock lock(state->Lock);
    return state->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return !state->Busy && state->Queue.empty(); });
}

}  // namespace qv
