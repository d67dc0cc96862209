// The agent's health while it runs: started with the worker, written to the Statistics key
// and shown to the service manager after each connection round and on the once-a-minute
// pass, and written once more, as stopped, when the worker ends.
#pragma once

namespace qv {

void StartAgentHealth();
void PublishAgentHealth();
void StopAgentHealth();

}  // namespace qv
