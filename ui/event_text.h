// The text of one Event Log line: the local time to the millisecond, then what happened.
#pragma once

#include <cstdint>
#include <string>

#include "engine/event_log.h"

// Ties the engine's counter to the local time of day: the counter read at msOfDay milliseconds
// after local midnight, and the counter's frequency.
struct ClockReference {
    std::int64_t counter = 0;
    std::int64_t frequency = 1000;
    std::int64_t msOfDay = 0;
};

// "HH:MM:SS.mmm  " and the event, e.g. "Incoming COM3: Waiting...", "Received :GR#" (control bytes
// as <06>), "Sent 00:00:00#", "Pulse west 500 ms, 5 ticks", "Move :Mw#", "Halt :Qw#".
std::string eventLine(const Event& event, const ClockReference& clock);
