// Report mode: one identity (and optionally its heartbeat and logoff) sent to the identity
// server from the command line, for checking a deployment.
#pragma once

#include "identity/ip_address.h"

namespace qv {

// The whole mode; its exit code is always 0.
int RunReportMode();
void ReportOnce();
void SendConsoleReports(const IP_ADDRESS& address, const char16_t* addressText, const char16_t* userName,
                        const char16_t* computerName);

}  // namespace qv
