// How the agent is doing: counters and times the work keeps as it goes, written to the
// Statistics key (beside the table sizes) on the once-a-minute pass, after connection rounds
// and at stop, and read back by Quorvane -STATUS. Counters count from the agent's start.
//
// A new counter is one enumerator in HEALTH_COUNTER and its row in HEALTH_COUNTER_NAMES
// (health.cpp); its owner calls Health().Add. The writer, the reader and -STATUS take it
// from there.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/string.h"
#include "platform/registry.h"

namespace qv {

enum HEALTH_COUNTER : uint32_t {
    HEALTH_REPORTS_ACKNOWLEDGED,  // logon and logoff reports the server answered
    HEALTH_REPORTS_FAILED,        // logon and logoff reports without a good answer
    HEALTH_HEARTBEATS_SENT,
    HEALTH_RECONNECTS,            // connections made after the first
    HEALTH_FAILOVERS,             // changes of the server connected to
    HEALTH_RECORDS_READ,          // Security log records read
    HEALTH_RECORDS_BEHIND,        // records after the last one read, at the last pass
    HEALTH_COUNTER_COUNT
};

struct HEALTH_COUNTER_NAME {
    const char16_t* Value;  // its REG_QWORD value under Statistics
    const char16_t* Label;  // its line in -STATUS
};
const HEALTH_COUNTER_NAME& HealthCounterName(uint32_t counter);

// What is written and read back. Times are wall-clock file times (100 ns from 1601, UTC);
// 0: never.
struct HEALTH_SNAPSHOT {
    bool Running = false;
    uint32_t ProcessId = 0;
    STRING Server;  // the identity server connected to; empty: none
    uint64_t Started = 0;
    uint64_t Updated = 0;
    uint64_t LastAcknowledged = 0;  // the last report or heartbeat the server answered
    uint64_t LastFailure = 0;       // the last one it did not, or the last failed connection round
    uint64_t Counters[HEALTH_COUNTER_COUNT] = {};
};

class HEALTH {
public:
    void Add(HEALTH_COUNTER counter, uint64_t amount = 1) { Counters[counter] += amount; }
    void Set(HEALTH_COUNTER counter, uint64_t value) { Counters[counter] = value; }
    void Acknowledged();
    void Failed();
    void SetServer(const STRING& server);  // empty: not connected
    // The agent starts (counters from zero) or stops.
    void Start();
    void Stop();
    HEALTH_SNAPSHOT Snapshot() const;

private:
    std::atomic<uint64_t> Counters[HEALTH_COUNTER_COUNT] = {};
    std::atomic<uint64_t> LastAcknowledged{0};
    std::atomic<uint64_t> LastFailure{0};
    mutable std::mutex Lock;  // guards the rest
    bool Running = false;
    uint64_t Started = 0;
    STRING Server;
};

HEALTH& Health();

// Under the Statistics key: every value, or with 'previous' (what was written last) only those
// that changed. Writing goes on past a failed value and says whether all went.
bool WriteHealth(const REGISTRY_KEY& key, const HEALTH_SNAPSHOT& health, const HEALTH_SNAPSHOT* previous = nullptr);
// False when the key holds no health at all (the agent never ran); missing values read as 0.
bool ReadHealth(const REGISTRY_KEY& key, HEALTH_SNAPSHOT& health);

// "1,234"
STRING GroupedNumber(uint64_t value);
// How long ago 'then' was, seen at 'now' (file times): "12 s", "5 min", "3 h", "2 d".
STRING AgeText(uint64_t then, uint64_t now);
// The one line a service manager shows: "connected to X; 1,234 reports; last 12 s ago".
STRING HealthSummary(const HEALTH_SNAPSHOT& health, uint64_t now);

}  // namespace qv
