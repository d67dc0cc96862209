// Where the POSIX build keeps its state (the settings store, the event logs): the folder
// named by the environment variable QUORVANE_DATA_ROOT, else /var/lib/quorvane.
#pragma once

#include "base/string.h"

namespace qv {

STRING_A DataRoot();

}  // namespace qv
