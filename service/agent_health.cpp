#include "service/agent_health.h"

#include <atomic>

#include "platform/service_control.h"
#include "service/service_host.h"
#include "support/health.h"

namespace qv {

namespace {

// Only the agent's worker publishes: a one-shot report shares the connection code, not the
// agent's statistics.
std::atomic<bool> Publishing{false};
// What was last written whole; none: everything is written next time.
HEALTH_SNAPSHOT Written;
bool HaveWritten = false;

void Publish() {
    const HEALTH_SNAPSHOT snapshot = Health().Snapshot();
    if (StatisticsKey().IsOpen()) {
        HaveWritten = WriteHealth(StatisticsKey(), snapshot, HaveWritten ? &Written : nullptr);
        if (HaveWritten) Written = snapshot;
    }
    if (snapshot.Running) SetServiceStatusText(HealthSummary(snapshot, snapshot.Updated).Text());
}

}  // namespace

void StartAgentHealth() {
    Health().Start();
    HaveWritten = false;
    Publishing = true;
    Publish();
}

void PublishAgentHealth() {
    if (Publishing) Publish();
}

void StopAgentHealth() {
    if (!Publishing.exchange(false)) return;
    Health().Stop();
    Publish();
}

}  // namespace qv
