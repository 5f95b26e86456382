// The text of one Event Log line: the local time to the millisecond, then what happened.
#pragma once

#include <cstdint>
#include <string>

#include "engine/event_log.h"

// A local date and time, to the millisecond: an event's wall-clock time in the time zone then in
// force.
struct LocalTime {
    int year = 1601;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    // Local time less UTC, in minutes: 60 for UTC+01:00.
    int offsetMinutes = 0;
};

inline bool sameDay(const LocalTime& a, const LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

// "HH:MM:SS.mmm  " at the given local time, and the event, e.g. "Incoming COM3: Waiting...",
// "Received :GR#" (control bytes as <06>), "Sent 00:00:00#", "Pulse west 500 ms, 5 ticks",
// "Move :Mw#", "Halt :Qw#".
std::string eventLine(const Event& event, const LocalTime& at);
// The line that starts each day's lines, with the offset from UTC then in force:
// "---- 2026-12-09 UTC+01:00 ----".
std::string dateLine(const LocalTime& at);
// The line where the offset from UTC changes within a day: "---- UTC+02:00 from here ----".
std::string offsetLine(const LocalTime& at);
// The line where events were overwritten before the log read them: "---- 37 events missing ----".
std::string gapLine(std::uint64_t missing);
