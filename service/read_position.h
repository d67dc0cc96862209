// Where the service keeps its place in the Security log between runs: the REG_BINARY value
// "SecurityLog" of the "State" subkey of the settings key, eight bytes: the number of the last
// record handed on and the time it was written (seconds since 1970), both little-endian. One
// value, written whole, so a crash never leaves half a place.
#pragma once

#include "eventlog/event_log_context.h"

namespace qv {

bool LoadReadPosition(READ_POSITION& position);
// A failure is logged (once until a save succeeds again): the next start would then read from
// an older place, or from the end.
void SaveReadPosition(const READ_POSITION& position);

}  // namespace qv
