// The service as the service control manager sees it: its entry, its control handler and its
// status reports.
#pragma once

#include <cstdint>

namespace qv {

// Service-specific exit codes of an early stop.
constexpr uint32_t SERVICE_EXIT_BAD_START_PARAMETER = 1;
constexpr uint32_t SERVICE_EXIT_INITIALIZATION = 2;
constexpr uint32_t SERVICE_EXIT_STATUS_REPORT = 3;

constexpr uint32_t SERVICE_START_CHECK_POINT = 1;
constexpr uint32_t SERVICE_START_WAIT_HINT_MS = 30000;

// Runs on the service's thread from start to stop; the service name comes first among the
// start parameters.
void ServiceMain(uint32_t count, const char16_t* const* arguments);

// Stop and shutdown stop the service; every other control is not implemented (120).
uint32_t ServiceControlHandler(uint32_t control, uint32_t eventType, void* eventData, void* context);

// With 'serviceSpecific' the exit code is the service's own (under 1066). When the status
// cannot be sent, the failure is reported as an event and stopped (code 3) is tried once.
bool ReportServiceStatus(uint32_t state, uint32_t exitCode, bool serviceSpecific, uint32_t checkPoint,
                         uint32_t waitHint);

}  // namespace qv
