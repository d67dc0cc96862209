// The agent's health: what it writes to the Statistics key and reads back, the one line for
// the service manager, and the verdict -STATUS gives on it.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/registry_values.h"
#include "service/status_mode.h"
#include "support/health.h"
#include "support/time_value.h"
#include "tests/platform/scratch_key.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

constexpr uint64_t SECOND = TICKS_PER_SECOND;
constexpr uint64_t NOW = 133500000000000000ull;  // some day in 2024

HEALTH_SNAPSHOT Healthy() {
    HEALTH_SNAPSHOT health;
    health.Running = true;
    health.ProcessId = 4242;
    health.Server = u"127.0.0.11";
    health.Started = NOW - 3 * 3600 * SECOND;
    health.Updated = NOW - 12 * SECOND;
    health.LastAcknowledged = NOW - 12 * SECOND;
    health.Counters[HEALTH_REPORTS_ACKNOWLEDGED] = 1234;
    return health;
}

TEST(HealthTest, TheSummaryLineSaysWhereHowManyAndHowLongAgo) {
    HEALTH_SNAPSHOT health = Healthy();
    EXPECT_EQ(Utf8(HealthSummary(health, NOW)), "connected to 127.0.0.11; 1,234 reports; last 12 s ago");
    health.Server.Clear();
    health.Counters[HEALTH_REPORTS_FAILED] = 3;
    health.LastAcknowledged = NOW - 300 * SECOND;
    EXPECT_EQ(Utf8(HealthSummary(health, NOW)), "not connected; 1,234 reports; last 5 min ago; 3 failed");
    health.LastAcknowledged = 0;
    health.Counters[HEALTH_REPORTS_ACKNOWLEDGED] = 0;
    EXPECT_EQ(Utf8(HealthSummary(health, NOW)), "not connected; 0 reports; 3 failed");
    EXPECT_EQ(Utf8(GroupedNumber(1234567890123ull)), "1,234,567,890,123");
    EXPECT_EQ(Utf8(AgeText(NOW - 3 * 3600 * SECOND, NOW)), "3 h");
    EXPECT_EQ(Utf8(AgeText(NOW - 3 * 86400 * SECOND, NOW)), "3 d");
    EXPECT_EQ(Utf8(AgeText(NOW + SECOND, NOW)), "0 s");  // a clock set back
}

TEST(HealthTest, WhatIsWrittenReadsBackAndAKeyWithoutItReadsAsNeverRun) {
    test::SCRATCH_KEY scratch("health", u"SOFTWARE\\Tarnwell Systems\\Quorvane health test");
    ASSERT_TRUE(scratch.Opened);
    REGISTRY_KEY& key = scratch.Key;
    // A Windows registry keeps the key of an earlier run: without "Running" it holds no health.
    ASSERT_TRUE(DeleteRegistryValue(key, u"Running"));
    HEALTH_SNAPSHOT read;
    EXPECT_FALSE(ReadHealth(key, read));

    HEALTH_SNAPSHOT written = Healthy();
    for (uint32_t i = 0; i < HEALTH_COUNTER_COUNT; ++i) written.Counters[i] = 0x100000000ull + i;  // past 32 bits
    ASSERT_TRUE(WriteHealth(key, written));
    ASSERT_TRUE(ReadHealth(key, read));
    EXPECT_TRUE(read.Running);
    EXPECT_EQ(read.ProcessId, 4242u);
    EXPECT_EQ(Utf8(read.Server), "127.0.0.11");
    EXPECT_EQ(read.Started, written.Started);
    EXPECT_EQ(read.Updated, written.Updated);
    EXPECT_EQ(read.LastAcknowledged, written.LastAcknowledged);
    EXPECT_EQ(read.LastFailure, 0u);
    for (uint32_t i = 0; i < HEALTH_COUNTER_COUNT; ++i) EXPECT_EQ(read.Counters[i], written.Counters[i]);

    // After a first whole write, only what changed is written again.
    HEALTH_SNAPSHOT next = written;
    next.Counters[HEALTH_RECORDS_READ] += 5;
    next.Server.Clear();
    next.Updated += SECOND;
    ASSERT_TRUE(WriteHealth(key, next, &written));
    ASSERT_TRUE(ReadHealth(key, read));
    EXPECT_EQ(read.Counters[HEALTH_RECORDS_READ], written.Counters[HEALTH_RECORDS_READ] + 5);
    EXPECT_EQ(read.Counters[HEALTH_REPORTS_ACKNOWLEDGED], written.Counters[HEALTH_REPORTS_ACKNOWLEDGED]);
    EXPECT_TRUE(read.Server.IsEmpty());
    EXPECT_EQ(read.Updated, next.Updated);
}

TEST(HealthTest, TheVerdictIsHealthyDegradedOrNotRunning) {
    STRING reason;
    const HEALTH_SNAPSHOT healthy = Healthy();
    EXPECT_EQ(JudgeHealth(true, healthy, true, NOW, reason), STATUS_HEALTHY);
    EXPECT_EQ(Utf8(reason), "healthy");

    HEALTH_SNAPSHOT nothingYet = healthy;  // connected, nothing to report so far
    nothingYet.LastAcknowledged = 0;
    EXPECT_EQ(JudgeHealth(true, nothingYet, true, NOW, reason), STATUS_HEALTHY);

    HEALTH_SNAPSHOT health = healthy;
    health.Server.Clear();
    EXPECT_EQ(JudgeHealth(true, health, true, NOW, reason), STATUS_DEGRADED);
    EXPECT_EQ(Utf8(reason), "degraded (not connected to an identity server)");
    health = healthy;
    health.LastFailure = NOW - SECOND;
    EXPECT_EQ(JudgeHealth(true, health, true, NOW, reason), STATUS_DEGRADED);
    EXPECT_EQ(Utf8(reason), "degraded (the last report or heartbeat was not answered)");
    health = healthy;
    health.Updated = NOW - 10 * 60 * SECOND;
    EXPECT_EQ(JudgeHealth(true, health, true, NOW, reason), STATUS_DEGRADED);
    EXPECT_EQ(Utf8(reason), "degraded (no statistics written for 10 min)");

    EXPECT_EQ(JudgeHealth(true, healthy, false, NOW, reason), STATUS_NOT_RUNNING);
    EXPECT_EQ(Utf8(reason), "not running (its process 4242 ended without stopping)");
    health = healthy;
    health.Running = false;
    EXPECT_EQ(JudgeHealth(true, health, false, NOW, reason), STATUS_NOT_RUNNING);
    EXPECT_EQ(Utf8(reason), "not running (stopped)");
    EXPECT_EQ(JudgeHealth(false, HEALTH_SNAPSHOT(), false, NOW, reason), STATUS_NOT_RUNNING);
}

}  // namespace
}  // namespace qv
