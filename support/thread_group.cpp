#include "support/thread_group.h"

#include <vector>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "support/time_value.h"

namespace qv {

namespace {

constexpr uint32_t GROUP_STOP_BUDGET_MS = 5000;

const char16_t* ThreadWord(size_t count) { return count == 1 ? u"thread" : u"threads"; }

}  // namespace

THREAD_GROUP::THREAD_GROUP(THREAD* handles, uint32_t capacity, const char16_t* name, LOG_FUNCTION log,
                           STOP_ROUTINE stopRoutine, void* stopArgument, bool ownsHandles)
    : Handles(handles),
      HandlesEnd(handles),
      Capacity(capacity),
      Log(log),
      StopRoutine(stopRoutine),
      StopArgument(stopArgument),
      Name(name),
      OwnsHandles(ownsHandles) {}

THREAD_GROUP::~THREAD_GROUP() {
    uint32_t count = Count();
    if (count == 1) {
        StopThreads(GROUP_STOP_BUDGET_MS, Log, {STOP_GROUP::Single(Name.Text(), StopRoutine, StopArgument, Handles)});
    } else if (count > 1) {
        StopThreads(GROUP_STOP_BUDGET_MS, Log,
                    {STOP_GROUP::Array(Name.Text(), StopRoutine, StopArgument, Handles, count)});
    }
    if (OwnsHandles) delete[] Handles;
}

bool THREAD_GROUP::Start(THREAD_PROC procedure, void* argument) {
    if (Count() >= Capacity) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    if (!HandlesEnd->Start(procedure, argument)) return false;
    ++HandlesEnd;
    return true;
}

void THREAD_GROUP::Release() {
    HandlesEnd = Handles;
    OwnsHandles = false;
}

void CheckStoppedThreads(const STOP_ENTRY* first, const STOP_ENTRY* end, LOG_FUNCTION log) {
    for (const STOP_ENTRY* entry = first; entry != end; ++entry) {
        bool single = entry->Number == 0;
        if (entry->Handle->HasEnded()) {
            if (single) CallLog(log, u"%s thread stopped", entry->Name);
            else CallLog(log, u"%s thread #%lu stopped", entry->Name, entry->Number);
            continue;
        }
        if (single) CallLog(log, u"Terminating %s thread", entry->Name);
        else CallLog(log, u"Terminating %s thread #%lu", entry->Name, entry->Number);
        entry->Handle->Terminate(THREAD_TERMINATED_EXIT_CODE);
    }
}

void StopThreads(uint32_t budgetMs, LOG_FUNCTION log, std::initializer_list<STOP_GROUP> groups) {
    // Ask every group to stop and collect the threads to wait for. A handle variable that
    // holds no thread (one that never started, or was already closed) has nothing to wait for.
    std::vector<STOP_ENTRY> entries;
    for (const STOP_GROUP& group : groups) {
        if (group.Kind == STOP_GROUP::END) break;
        if (group.Kind != STOP_GROUP::SINGLE && group.Kind != STOP_GROUP::ARRAY) continue;
        if (group.StopRoutine != nullptr) group.StopRoutine(group.StopArgument);
        if (group.Threads == nullptr) continue;
        if (group.Kind == STOP_GROUP::SINGLE) {
            if (!group.Threads->IsValid()) continue;
            CallLog(log, u"Stopping %s thread", group.Name);
            entries.push_back({group.Name, 0, group.Threads});
            continue;
        }
        for (uint32_t number = 1; number <= group.Count; ++number) {
            THREAD* thread = &group.Threads[number - 1];
            if (!thread->IsValid()) continue;
            CallLog(log, u"Stopping %s thread #%lu", group.Name, number);
            entries.push_back({group.Name, number, thread});
        }
    }

    uint32_t budget = budgetMs;
    for (size_t batchStart = 0; batchStart < entries.size();) {
        size_t batchSize = entries.size() - batchStart;
        if (batchSize > MAXIMUM_WAIT_OBJECTS_COUNT) batchSize = MAXIMUM_WAIT_OBJECTS_COUNT;
        const STOP_ENTRY* first = &entries[batchStart];
        const STOP_ENTRY* end = first + batchSize;
        const char16_t* word = ThreadWord(batchSize);
        auto count = static_cast<uint32_t>(batchSize);

        const WAITABLE* handles[MAXIMUM_WAIT_OBJECTS_COUNT];
        for (size_t i = 0; i < batchSize; ++i) handles[i] = first[i].Handle;

        CallLog(log, u"Waiting %.3f seconds for %lu %s to stop ...", budget / 1000.0, count, word);
        const STOPWATCH stopwatch;
        uint32_t result = WaitForAll(std::span<const WAITABLE* const>(handles, batchSize), budget);
        uint64_t elapsed = stopwatch.ElapsedMilliseconds();
        // A wait that timed out used the whole budget, however the clocks rounded it.
        if (result == WAIT_TIMED_OUT && elapsed < budget) elapsed = budget;

        if (result == 0) {
            CallLog(log, u"%lu %s stopped normally in %.3f seconds", count, word, elapsed / 1000.0);
        } else if (result == WAIT_TIMED_OUT) {
            CheckStoppedThreads(first, end, log);
        } else if (result == WAIT_FAILED_RESULT) {
            uint32_t error = GetLastErrorCode();
            CallLog(log, u"Failure waiting for %lu %s to complete. %s. Error code = %lu.", count, word,
                    GetErrorText(error), error);
            CheckStoppedThreads(first, end, log);
            break;
        } else {
            CallLog(log, u"Unexpected result = %ld waiting for %lu %s to stop", result, count, word);
            CheckStoppedThreads(first, end, log);
        }

        batchStart += batchSize;
        if (elapsed >= budget) break;
        budget -= static_cast<uint32_t>(elapsed);
    }

    for (const STOP_ENTRY& entry : entries) entry.Handle->Close();
}

}  // namespace qv
