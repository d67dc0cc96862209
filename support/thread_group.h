// Named groups of worker threads, and stopping them within one time budget: ask each group
// to stop, wait in batches of at most 64, report how long it took, and end what is left.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "base/format_arg.h"
#include "base/string.h"
#include "platform/thread.h"

namespace qv {

// Where progress lines go: a printf-style format and its arguments.
using LOG_FUNCTION = void (*)(const char16_t* format, FORMAT_ARGS args);
using STOP_ROUTINE = void (*)(void* argument);

template <typename... ARGS>
void CallLog(LOG_FUNCTION log, const char16_t* format, const ARGS&... args) {
    if (log == nullptr) return;
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    log(format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

class THREAD_GROUP {
public:
    // 'handles' has room for 'capacity' threads; with ownsHandles it was made with new[].
    THREAD_GROUP(THREAD* handles, uint32_t capacity, const char16_t* name, LOG_FUNCTION log,
                 STOP_ROUTINE stopRoutine, void* stopArgument, bool ownsHandles);
    THREAD_GROUP(const THREAD_GROUP&) = delete;
    THREAD_GROUP& operator=(const THREAD_GROUP&) = delete;
    // Stops what the group still holds (5000 ms), then frees an owned array.
    ~THREAD_GROUP();

    // False, with the group unchanged, when the thread can't start or the array is full.
    bool Start(THREAD_PROC procedure, void* argument);
    // Forgets the started threads; the caller keeps their handles and stops them itself.
    void Release();

    uint32_t Count() const { return static_cast<uint32_t>(HandlesEnd - Handles); }

    THREAD* Handles;
    THREAD* HandlesEnd;
    uint32_t Capacity;
    LOG_FUNCTION Log;
    STOP_ROUTINE StopRoutine;
    void* StopArgument;
    STRING Name;
    bool OwnsHandles;
};

// One group in a StopThreads list.
struct STOP_GROUP {
    enum KIND : uint32_t { SINGLE = 0, ARRAY = 1, END = 2 };
    uint32_t Kind = END;
    const char16_t* Name = nullptr;
    STOP_ROUTINE StopRoutine = nullptr;
    void* StopArgument = nullptr;
    THREAD* Threads = nullptr;  // one handle variable (SINGLE) or an array (ARRAY)
    uint32_t Count = 0;         // ARRAY only

    static STOP_GROUP Single(const char16_t* name, STOP_ROUTINE routine, void* argument, THREAD* handle) {
        return {SINGLE, name, routine, argument, handle, 1};
    }
    static STOP_GROUP Array(const char16_t* name, STOP_ROUTINE routine, void* argument, THREAD* handles,
                            uint32_t count) {
        return {ARRAY, name, routine, argument, handles, count};
    }
    static STOP_GROUP End() { return {}; }
};

// Groups are read up to the first END; a group of any other unknown kind is skipped.
void StopThreads(uint32_t budgetMs, LOG_FUNCTION log, std::initializer_list<STOP_GROUP> groups);

struct STOP_ENTRY {
    const char16_t* Name;
    uint32_t Number;  // 0 for a single thread, 1..n within an array
    THREAD* Handle;
};

// Reports each thread that has ended and terminates each that hasn't.
void CheckStoppedThreads(const STOP_ENTRY* first, const STOP_ENTRY* end, LOG_FUNCTION log);

}  // namespace qv
