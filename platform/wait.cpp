// The parts of WAITABLE that don't depend on what a handle is; closing and waiting are per platform.
#include "platform/wait.h"

#include <utility>

namespace qv {

WAITABLE::WAITABLE(WAITABLE&& other) noexcept
    : Handle(std::exchange(other.Handle, NO_NATIVE_HANDLE)), AutoReset(std::exchange(other.AutoReset, false)) {}

WAITABLE& WAITABLE::operator=(WAITABLE&& other) noexcept {
    if (this != &other) {
        Close();
        Handle = std::exchange(other.Handle, NO_NATIVE_HANDLE);
        AutoReset = std::exchange(other.AutoReset, false);
    }
    return *this;
}

WAITABLE::~WAITABLE() { Close(); }

}  // namespace qv
