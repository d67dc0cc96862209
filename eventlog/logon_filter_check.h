// The logon handlers' use of the administrator's filters: the last test before a logon
// touches the tables.
#pragma once

#include <cstdint>

#include "identity/ip_address.h"

namespace qv {

class EVENT_LOG;

// True when a filter passes the logon over: it is counted, one line names the list and the
// entry that matched, and verbose lines give the detail. Without a filter nothing is logged
// and nothing is looked up.
bool PassedOverByFilters(EVENT_LOG& log, const char16_t* handler, uint32_t recordNumber, const char16_t* domain,
                         const char16_t* name, const IP_ADDRESS& address, const char16_t* addressText);

}  // namespace qv
