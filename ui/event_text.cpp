// The text of Event Log lines: the events, the dates and the gaps.
#include "ui/event_text.h"

#include <cstdio>

#include "engine/status_code.h"
#include "ui/status_text.h"

namespace {

std::string timeOfDay(const LocalTime& at) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", at.hour, at.minute, at.second,
                  at.millisecond);
    return text;
}

// "UTC+01:00", "UTC-03:30".
std::string utcOffset(const LocalTime& at) {
    const int minutes = at.offsetMinutes < 0 ? -at.offsetMinutes : at.offsetMinutes;
    char text[24];
    std::snprintf(text, sizeof text, "UTC%c%02d:%02d", at.offsetMinutes < 0 ? '-' : '+',
                  minutes / 60 % 100, minutes % 60);
    return text;
}

// The bytes as text, every byte outside printable ASCII in hex: an ACK shows as <06>.
std::string shown(const Event& event) {
    std::string text;
    for (int i = 0; i < event.length; ++i) {
        const std::uint8_t byte = event.bytes[i];
        if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", byte);
            text += hex;
        }
    }
    return text;
}

// "Incoming COM3": the link and its port, when there is one.
std::string linkName(const char* link, const Event& event) {
    std::string text = link;
    if (event.extra != 0) {
        text += " COM" + std::to_string(event.extra);
    }
    return text;
}

std::string status(const char* link, const Event& event) {
    const char* said = statusText(event.value & StatusCodeMask);
    return linkName(link, event) + ": " +
           (said != nullptr ? said : "status " + std::to_string(event.value));
}

std::string reopen(const char* link, const Event& event) {
    return linkName(link, event) + (event.value == ReopenBack
                                        ? ": the port is back"
                                        : ": lost; trying to open it again every second");
}

const char* direction(std::uint8_t letter) {
    switch (letter) {
    case 'w':
        return "west";
    case 'e':
        return "east";
    case 'n':
        return "north";
    case 's':
        return "south";
    default:
        return "?";
    }
}

std::string what(const Event& event) {
    switch (event.kind) {
    case EventIncomingStatus:
        return status("Incoming", event);
    case EventOutgoingStatus:
        return status("Outgoing", event);
    case EventCommand:
        return "Received " + shown(event);
    case EventReply:
        return "Sent " + shown(event);
    case EventPulse:
        return std::string("Pulse ") + direction(event.length > 0 ? event.bytes[0] : 0) + " " +
               std::to_string(event.value) + " ms, " + std::to_string(event.extra) +
               (event.extra == 1 ? " tick" : " ticks");
    case EventMountWrite:
        if (event.length > 1 && event.bytes[1] == 'M') {
            return "Move " + shown(event);
        }
        if (event.length > 1 && event.bytes[1] == 'Q') {
            return "Halt " + shown(event);
        }
        return "To mount " + shown(event);
    case EventIncomingReopen:
        return reopen("Incoming", event);
    case EventOutgoingReopen:
        return reopen("Outgoing", event);
    case EventAwake:
        return event.value != 0 ? "Keeping the computer awake while a link is open"
                                : "The computer may sleep again";
    case EventLineSettings:
        return "COM" + std::to_string(event.extra) +
               ": the port refused the line settings (9600 8N1, no flow control), error " +
               std::to_string(event.value) + "; it is used as it is";
    case EventLineStalled:
        return linkName(event.value == 0 ? "Incoming" : "Outgoing", event) +
               (event.value == 0 ? ": the line has taken nothing for a second; replies wait for it"
                                 : ": the line has taken nothing for a second; the halts go "
                                   "first once it moves");
    case EventLineMoves:
        return linkName(event.value == 0 ? "Incoming" : "Outgoing", event) +
               ": the line moves again";
    case EventRepliesDropped:
        return linkName("Incoming", event) + ": " + std::to_string(event.value) +
               (event.value == 1 ? " reply" : " replies") + " dropped that the line did not take";
    default:
        return "Event " + std::to_string(event.kind);
    }
}

} // namespace

std::string eventLine(const Event& event, const LocalTime& at) {
    return timeOfDay(at) + "  " + what(event);
}

std::string dateLine(const LocalTime& at) {
    char text[40];
    std::snprintf(text, sizeof text, "---- %04d-%02d-%02d ", at.year, at.month, at.day);
    return text + utcOffset(at) + " ----";
}

std::string offsetLine(const LocalTime& at) {
    return "---- " + utcOffset(at) + " from here ----";
}

std::string gapLine(std::uint64_t missing) {
    return "---- " + std::to_string(missing) + (missing == 1 ? " event" : " events") +
           " missing ----";
}
