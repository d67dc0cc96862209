// String-table entries of the program's resources.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "base/types.h"

namespace qv {

// The entry at its exact length; empty when missing (or when the number is 65536 or more).
STRING LoadResourceString(uint32_t number, MODULE_HANDLE module = nullptr);

}  // namespace qv
