// How the file stores report: every operation returns a Win32 error code, leaves it as the
// thread's last-error value on failure, and never throws, so a failed allocation inside one
// becomes ERR_NOT_ENOUGH_MEMORY.
#pragma once

#include <cstdint>
#include <new>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"

namespace qv {

inline uint32_t FinishCall(uint32_t code) {
    if (code != ERR_SUCCESS) SetLastErrorCode(code);
    return code;
}

template <typename OPERATION>
uint32_t GuardedCall(OPERATION operation) {
    try {
        return FinishCall(operation());
    } catch (const std::bad_alloc&) {
        return FinishCall(ERR_NOT_ENOUGH_MEMORY);
    } catch (const STRING_NO_MEMORY&) {
        return FinishCall(ERR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace qv
