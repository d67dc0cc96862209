// The worker loop: one connection to the identity server, kept open and fed from the Security
// event log until the service stops. Runs on the service's thread (the main thread in
// application mode), between InitializeService and UninitializeService.
#pragma once

namespace qv {

void RunService();

}  // namespace qv
