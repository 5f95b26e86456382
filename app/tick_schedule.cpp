// TickSchedule: due times as whole periods from the start, so rounding never accumulates.
#include "app/tick_schedule.h"

TickSchedule::TickSchedule(std::int64_t counts, std::int64_t ticks)
    : countsPerSecond(counts), ticksPerSecond(ticks) {}

void TickSchedule::restart(std::int64_t now) {
    start = now;
    index = 1;
}

std::int64_t TickSchedule::due() const {
    // Split into whole seconds and the rest, so that the product cannot overflow however long
    // the timetable runs.
    return start + index / ticksPerSecond * countsPerSecond +
           index % ticksPerSecond * countsPerSecond / ticksPerSecond;
}

std::int64_t TickSchedule::untilDue(std::int64_t now) const {
    const std::int64_t left = due() - now;
    return left > 0 ? left : 0;
}

void TickSchedule::ticked(std::int64_t now) {
    const std::int64_t late = now - due();
    if (late >= countsPerSecond / ticksPerSecond) {
        restart(now);
        return;
    }
    index += 1;
}
