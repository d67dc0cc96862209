// The program's entry, after the platform's own entry point has collected the arguments as
// UTF-16 text. Returns the process exit code.
#pragma once

#include <cstdint>

namespace qv {

constexpr int EXIT_BAD_COMMAND_LINE = 2;
constexpr int EXIT_SETTINGS_KEY = 3;
constexpr int EXIT_DISPATCHER = 1006;
constexpr int EXIT_INITIALIZATION = 1010;

int QuorvaneMain(uint32_t count, const char16_t* const* arguments);

}  // namespace qv
