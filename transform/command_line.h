// Setupsmith's command line: "/I <package> /SERVER <name>", switches with "-" or "/" and in
// any case, each value taken as given however it looks.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

struct SETUPSMITH_ARGUMENTS {
    STRING Input;
    STRING Server;
};

enum class ARGUMENTS_VERDICT {
    RUN,                // input and server given
    SHOW_USAGE,         // no arguments, "?", "/?" or "/h"
    INVALID_PARAMETER,  // an argument without a switch prefix
    INVALID_SWITCH,     // a switch the program doesn't know
    NO_INPUT,           // no input package given
    NO_SERVER,          // an input package but no server
};

// Walks the arguments (arguments[0] is the program) in switch-value pairs. A later /I or
// /SERVER replaces an earlier one; a value switch that is the last argument ends the walk.
// 'offender' receives the argument named by INVALID_PARAMETER or, without its prefix, by
// INVALID_SWITCH.
ARGUMENTS_VERDICT WalkArguments(uint32_t count, const char16_t* const* arguments, SETUPSMITH_ARGUMENTS& result,
                                STRING& offender);

}  // namespace qv
