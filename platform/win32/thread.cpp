// Threads on Windows. _beginthreadex (rather than CreateThread) so the C runtime sets up its
// per-thread data. Its start routine is __stdcall, ours is not, so a small heap record carries
// the procedure and argument to a trampoline that frees it before running the procedure.
#include "platform/thread.h"

#include <process.h>

#include <cerrno>
#include <new>
#include <utility>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/win32/win32.h"

namespace qv {

namespace {

struct START_RECORD {
    THREAD_PROC Procedure;
    void* Argument;
};

unsigned __stdcall Trampoline(void* argument) {
    const START_RECORD record = *static_cast<START_RECORD*>(argument);
    delete static_cast<START_RECORD*>(argument);
    return record.Procedure(record.Argument);
}

}  // namespace


void THREAD::Close() {
    // Closing the handle never stops the thread; it only gives up the right to wait for it.
    WAITABLE::Close();
    State = nullptr;
    ThreadId = 0;
}

bool THREAD::Start(THREAD_PROC procedure, void* argument) {
    Close();
    if (procedure == nullptr) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    auto* record = new (std::nothrow) START_RECORD{procedure, argument};
    if (record == nullptr) {
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return false;
    }
    unsigned id = 0;
    SetLastErrorCode(ERR_SUCCESS);
    const uintptr_t handle = _beginthreadex(nullptr, 0, Trampoline, record, 0, &id);
    if (handle == 0) {
        // The runtime usually leaves the system's reason; when it does not, its errno says
        // EAGAIN (no resources) or EINVAL.
        if (GetLastErrorCode() == ERR_SUCCESS) {
            SetLastErrorCode(errno == EINVAL ? ERR_INVALID_PARAMETER : ERR_NOT_ENOUGH_MEMORY);
        }
        delete record;
        return false;
    }
    Adopt(reinterpret_cast<NATIVE_HANDLE>(handle), false);
    ThreadId = static_cast<uint32_t>(id);
    return true;
}

bool THREAD::HasEnded(uint32_t* exitCode) const {
    if (!IsValid()) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    // The handle's state, not the exit code, says whether the thread has ended: a thread may
    // well return STILL_ACTIVE (259) as its code.
    if (WaitForSingleObject(AsHandle(NativeHandle()), 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (GetExitCodeThread(AsHandle(NativeHandle()), &code) == FALSE) return false;
    if (exitCode != nullptr) *exitCode = code;
    return true;
}

bool THREAD::Terminate(uint32_t exitCode) {
    if (!IsValid()) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    return TerminateThread(AsHandle(NativeHandle()), exitCode) != FALSE;
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace qv
