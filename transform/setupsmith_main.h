// Setupsmith's program: the banner, the command line, and the transform.
#pragma once

#include <cstdint>

namespace qv {

// The whole program; the result is its exit code (transform/exit_codes.h).
int SetupsmithMain(uint32_t count, const char16_t* const* arguments);

}  // namespace qv
