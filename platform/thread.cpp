// The parts of THREAD that don't depend on how threads are made; the rest is per platform.
#include "platform/thread.h"

#include <utility>

namespace qv {

THREAD::THREAD(THREAD&& other) noexcept
    : WAITABLE(std::move(other)),
      State(std::exchange(other.State, nullptr)),
      ThreadId(std::exchange(other.ThreadId, 0)) {}

THREAD& THREAD::operator=(THREAD&& other) noexcept {
    if (this != &other) {
        Close();
        WAITABLE::operator=(std::move(other));
        State = std::exchange(other.State, nullptr);
        ThreadId = std::exchange(other.ThreadId, 0);
    }
    return *this;
}

THREAD::~THREAD() { Close(); }

}  // namespace qv
