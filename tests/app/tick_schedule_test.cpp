// Tests of the heartbeat's timetable against a simulated coarse timer, the default Windows one
// that ends every wait on the next 15.625 ms interrupt.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "app/tick_schedule.h"

namespace {

constexpr std::int64_t Frequency = 10000000; // counter units per second: 100 ns
constexpr std::int64_t Ms = Frequency / 1000;
constexpr std::int64_t Interrupt = 156250; // 15.625 ms
constexpr std::int64_t CallTime = 2000;    // the listener's 0.2 ms

std::int64_t coarseWait(std::int64_t now, std::int64_t wait) {
    return (now + wait + Interrupt - 1) / Interrupt * Interrupt;
}

// The heartbeat's loop over the timetable, on the coarse timer: the times of the ticks made. The
// wait before tick stallAt (if any) ends 5 s late, as after a system sleep.
std::vector<std::int64_t> fixedTimetable(int ticks, int stallAt = -1) {
    std::int64_t now = 12345; // any phase against the interrupts
    TickSchedule schedule(Frequency);
    schedule.restart(now);
    std::vector<std::int64_t> made;
    while (static_cast<int>(made.size()) < ticks) {
        const std::int64_t left = schedule.untilDue(now);
        if (left > 0) {
            now = coarseWait(now, left);
            if (static_cast<int>(made.size()) == stallAt) {
                now += 5000 * Ms;
            }
            continue;
        }
        made.push_back(now);
        now += CallTime;
        schedule.ticked(now);
    }
    return made;
}

TEST(TickSchedule, KeepsAMeanOf100MsOnACoarseTimerWhereWaiting100MsAfterEachTickDrifts) {
    // The rule it replaces: wait 100 ms after each call.
    std::int64_t now = 12345;
    const std::int64_t first = now = coarseWait(now, 100 * Ms);
    for (int tick = 0; tick < 1000; ++tick) {
        now = coarseWait(now + CallTime, 100 * Ms);
    }
    EXPECT_NEAR((now - first) / 1000.0 / Ms, 109.4, 0.1);

    const std::vector<std::int64_t> made = fixedTimetable(1001);
    EXPECT_NEAR((made[1000] - made[0]) / 1000.0 / Ms, 100.0, 0.1);
    for (std::size_t i = 1; i < made.size(); ++i) {
        ASSERT_GE(made[i] - made[i - 1], 84 * Ms) << "tick " << i;
        ASSERT_LE(made[i] - made[i - 1], 116 * Ms) << "tick " << i;
    }
}

TEST(TickSchedule, AfterA5sStallTicksOnceAndStartsAfresh) {
    const std::vector<std::int64_t> made = fixedTimetable(30, 10);
    ASSERT_GE(made[10] - made[9], 5000 * Ms);
    // One tick for the stall, not fifty to catch up; then a period apart again, on the new start.
    for (std::size_t i = 11; i < made.size(); ++i) {
        EXPECT_GE(made[i] - made[i - 1], 84 * Ms) << "tick " << i;
    }
    EXPECT_NEAR((made[29] - made[10]) / 19.0 / Ms, 100.0, 1.0);
}

TEST(TickSchedule, DueTimesAreExactWholePeriodsFromTheStart) {
    // A frequency that a period does not divide: due times are rounded, never accumulated.
    TickSchedule schedule(1000003);
    schedule.restart(-7);
    for (int tick = 1; tick <= 25; ++tick) {
        EXPECT_EQ(schedule.due(), -7 + tick * 1000003LL / 10) << "tick " << tick;
        schedule.ticked(schedule.due() + 5);
    }
    EXPECT_EQ(schedule.untilDue(schedule.due() - 9), 9);
    EXPECT_EQ(schedule.untilDue(schedule.due() + 9), 0);
}

} // namespace
