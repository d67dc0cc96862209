// Waitable objects on Windows: kernel handles and the system's own waits. The only work here
// is the translation at the edge: results keep the Win32 numbering, and an abandoned-mutex
// result (no mutexes are used) is reported as the plain index.
#include "platform/wait.h"

#include <utility>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/win32/win32.h"

namespace qv {

namespace {

bool CheckValid(const WAITABLE& object) {
    if (object.IsValid()) return true;
    SetLastErrorCode(ERR_INVALID_HANDLE);
    return false;
}

uint32_t Translate(DWORD result, size_t count) {
    if (result < WAIT_OBJECT_0 + count) return result - WAIT_OBJECT_0;
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) return result - WAIT_ABANDONED_0;
    if (result == WAIT_TIMEOUT) return WAIT_TIMED_OUT;
    // WAIT_FAILED: the system has set the last-error value.
    return WAIT_FAILED_RESULT;
}

uint32_t WaitForMany(std::span<const WAITABLE* const> objects, uint32_t timeoutMs, BOOL all) {
    if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS_COUNT) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return WAIT_FAILED_RESULT;
    }
    HANDLE handles[MAXIMUM_WAIT_OBJECTS_COUNT];
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i] == nullptr || !objects[i]->IsValid()) {
            SetLastErrorCode(ERR_INVALID_HANDLE);
            return WAIT_FAILED_RESULT;
        }
        handles[i] = AsHandle(objects[i]->NativeHandle());
    }
    // Windows refuses the same handle twice in a wait-all, but Wine accepts it; checking here
    // gives one answer everywhere (and matches the POSIX half).
    if (all != FALSE) {
        for (size_t i = 0; i < objects.size(); ++i) {
            for (size_t j = i + 1; j < objects.size(); ++j) {
                if (handles[i] == handles[j]) {
                    SetLastErrorCode(ERR_INVALID_PARAMETER);
                    return WAIT_FAILED_RESULT;
                }
            }
        }
    }
    const DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(objects.size()), handles, all, static_cast<DWORD>(timeoutMs));
    return Translate(result, objects.size());
}

}  // namespace

// --- WAITABLE ---------------------------------------------------------------------------------


void WAITABLE::Close() {
    if (Handle != NO_NATIVE_HANDLE) {
        CloseHandle(AsHandle(Handle));
        Handle = NO_NATIVE_HANDLE;
    }
    AutoReset = false;
}

void WAITABLE::Adopt(NATIVE_HANDLE handle, bool autoReset) {
    Close();
    // Some Win32 calls report failure as INVALID_HANDLE_VALUE rather than null; both mean none.
    if (handle == INVALID_HANDLE_VALUE) handle = NO_NATIVE_HANDLE;
    Handle = handle;
    AutoReset = handle != NO_NATIVE_HANDLE && autoReset;
}

// --- EVENT ------------------------------------------------------------------------------------

bool EVENT::Create(bool manualReset, bool initiallySet) {
    HANDLE handle = CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
    if (handle == nullptr) return false;
    Adopt(handle, !manualReset);
    return true;
}

bool EVENT::Set() { return CheckValid(*this) && SetEvent(AsHandle(NativeHandle())) != FALSE; }

bool EVENT::Reset() { return CheckValid(*this) && ResetEvent(AsHandle(NativeHandle())) != FALSE; }

// --- WAITABLE_TIMER -----------------------------------------------------------------------------

bool WAITABLE_TIMER::Create(bool manualReset) {
    HANDLE handle = CreateWaitableTimerW(nullptr, manualReset ? TRUE : FALSE, nullptr);
    if (handle == nullptr) return false;
    Adopt(handle, !manualReset);
    return true;
}

bool WAITABLE_TIMER::Set(int64_t dueTime, uint32_t periodMs) {
    if (!CheckValid(*this)) return false;
    if (periodMs > 0x7FFFFFFFu) {  // the system takes the period as a signed LONG
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    return SetWaitableTimer(AsHandle(NativeHandle()), &due, static_cast<LONG>(periodMs), nullptr, nullptr,
                            FALSE) != FALSE;
}

bool WAITABLE_TIMER::Cancel() { return CheckValid(*this) && CancelWaitableTimer(AsHandle(NativeHandle())) != FALSE; }

// --- waits --------------------------------------------------------------------------------------

uint32_t WaitForOne(const WAITABLE& object, uint32_t timeoutMs) {
    if (!CheckValid(object)) return WAIT_FAILED_RESULT;
    return Translate(WaitForSingleObject(AsHandle(object.NativeHandle()), static_cast<DWORD>(timeoutMs)), 1);
}

uint32_t WaitForAny(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) {
    return WaitForMany(objects, timeoutMs, FALSE);
}

uint32_t WaitForAll(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) {
    return WaitForMany(objects, timeoutMs, TRUE);
}

}  // namespace qv
