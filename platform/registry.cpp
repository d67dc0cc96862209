// The parts of REGISTRY_KEY that don't depend on what a key is; the rest is per platform.
#include "platform/registry.h"

#include <utility>

namespace qv {

REGISTRY_KEY::REGISTRY_KEY(REGISTRY_KEY&& other) noexcept : Native(std::exchange(other.Native, nullptr)) {}

REGISTRY_KEY& REGISTRY_KEY::operator=(REGISTRY_KEY&& other) noexcept {
    if (this != &other) {
        Close();
        Native = std::exchange(other.Native, nullptr);
    }
    return *this;
}

REGISTRY_KEY::~REGISTRY_KEY() { Close(); }

bool REGISTRY_KEY::IsOpen() const { return Native != nullptr; }

}  // namespace qv
