// The part of the event log interface that is the same on every platform.
#include "platform/event_log.h"

namespace qv {

uint32_t EVENT_LOG_API::Wait(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) {
    return WaitForAny(objects, timeoutMs);
}

}  // namespace qv
