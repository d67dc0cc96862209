// The parts of FILE_HANDLE that don't depend on what a handle is; the rest is per platform.
#include "platform/files.h"

#include <utility>

namespace qv {

FILE_HANDLE::FILE_HANDLE(FILE_HANDLE&& other) noexcept : Handle(std::exchange(other.Handle, NO_NATIVE_HANDLE)) {}

FILE_HANDLE& FILE_HANDLE::operator=(FILE_HANDLE&& other) noexcept {
    if (this != &other) {
        Close();
        Handle = std::exchange(other.Handle, NO_NATIVE_HANDLE);
    }
    return *this;
}

}  // namespace qv
