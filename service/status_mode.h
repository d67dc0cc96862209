// Quorvane -STATUS: the running agent's health, as it last wrote it to the Statistics key,
// printed as a short table on standard output, with an exit code for monitoring systems.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "support/health.h"

namespace qv {

constexpr int STATUS_HEALTHY = 0;      // running, connected, the last report or heartbeat answered
constexpr int STATUS_DEGRADED = 1;     // running, but not connected, failing or not updating
constexpr int STATUS_NOT_RUNNING = 2;
constexpr int STATUS_UNKNOWN = 3;      // the settings key cannot be read (as the program's exit code 3)

// Statistics older than this say that the agent no longer gets round to writing them.
constexpr uint64_t STATUS_STALE_AFTER_SECONDS = 5 * 60;

// The verdict on what was read ('found' false: nothing was), with the reason in words.
int JudgeHealth(bool found, const HEALTH_SNAPSHOT& health, bool processRunning, uint64_t now, STRING& reason);

int RunStatusMode();

}  // namespace qv
