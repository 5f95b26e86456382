// TickSchedule: the heartbeat's fixed timetable, tick k due at start + k periods on a monotonic
// counter; pure arithmetic, fed the counter's reading by its caller.
#pragma once

#include <cstdint>

class TickSchedule {
public:
    // Counter units per second (the performance counter's frequency) and ticks per second.
    explicit TickSchedule(std::int64_t countsPerSecond, std::int64_t ticksPerSecond = 10);

    // A new timetable whose first tick is due one period after now.
    void restart(std::int64_t now);
    // Counter units to wait from now until the next tick is due; 0 once it is due.
    std::int64_t untilDue(std::int64_t now) const;
    // After a tick, now read once the tick was made: the next tick is the next one in the
    // timetable, so a late tick does not push later ones. A heartbeat that has fallen more than a
    // whole period behind (sleep, a debugger, a listener that blocked) starts a new timetable
    // from now instead of catching up with a burst.
    void ticked(std::int64_t now);
    std::int64_t due() const;

private:
    std::int64_t countsPerSecond;
    std::int64_t ticksPerSecond;
    std::int64_t start = 0;
    std::int64_t index = 1; // of the next tick
};
