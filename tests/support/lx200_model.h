// A reference model of what the guider side should see for a whole byte stream: how many commands
// are counted, the exact reply bytes, and the pulse recorded last in each direction. It works on
// the stream as a whole (a command is a ':' and the first '#' within the next 50 bytes), not byte
// by byte like the engine's framer, so that tests and fuzzers can hold the two against each other.
#pragma once

#include <cstdint>
#include <string>

struct Lx200Outcome {
    int commands = 0;
    std::string replies;
    // Ticks of the last pulse recorded for west, east, north and south (0: none recorded).
    std::int32_t ticks[4] = {0, 0, 0, 0};
    // The stream ended inside a command.
    bool partial = false;
};

namespace lx200model {

constexpr char Ack = 0x06;
// A command is ':' plus at most 49 more bytes, then '#'.
constexpr std::size_t MaxBeforeHash = 50;

inline const char* replyTo(const std::string& command) {
    if (command.size() < 4 || command.compare(0, 2, ":G") != 0) {
        return nullptr;
    }
    static const struct {
        char letter;
        const char* reply;
    } table[] = {{'A', "+00*00'00#"}, {'D', "00*00'00#"}, {'R', "00:00:00#"},
                 {'S', "22:00:00#"},  {'Z', "180*00#"},   {'t', "+47*00#"}};
    for (const auto& entry : table) {
        if (command[2] == entry.letter) {
            return entry.reply;
        }
    }
    if (command.compare(0, 4, ":GVF") == 0) {
        return "Meade Autostar 497#";
    }
    return nullptr;
}

inline void recordPulse(const std::string& command, Lx200Outcome& outcome) {
    if (command.size() < 6 || command.compare(0, 3, ":Mg") != 0) {
        return;
    }
    const std::string directions = "wens";
    const std::size_t axis = directions.find(command[3]);
    const std::string rest = command.substr(4);
    const std::size_t digits = rest.find_first_not_of("0123456789");
    const std::string number = rest.substr(0, digits == std::string::npos ? rest.size() : digits);
    const std::string used = number.substr(0, 6);
    const unsigned long milliseconds = used.empty() ? 0 : std::stoul(used);
    if (milliseconds == 0 || axis == std::string::npos) {
        return;
    }
    outcome.ticks[axis] = static_cast<std::int32_t>((milliseconds + 99) / 100);
}

} // namespace lx200model

// What the whole stream should give on a freshly opened incoming link.
inline Lx200Outcome expectLx200(const std::string& stream) {
    using namespace lx200model;
    Lx200Outcome outcome;
    std::size_t at = 0;
    while (at < stream.size()) {
        const char byte = stream[at];
        if (byte == Ack) {
            outcome.commands += 1;
            outcome.replies += 'P';
            at += 1;
            continue;
        }
        if (byte != ':') {
            at += 1;
            continue;
        }
        const std::size_t hash = stream.find('#', at + 1);
        const std::size_t limit = at + MaxBeforeHash; // where the '#' may stand at the latest
        if (hash != std::string::npos && hash <= limit) {
            const std::string command = stream.substr(at, hash - at + 1);
            outcome.commands += 1;
            if (const char* reply = replyTo(command)) {
                outcome.replies += reply;
            }
            recordPulse(command, outcome);
            at = hash + 1;
        } else if (stream.size() > limit) {
            at = limit + 1; // too long: dropped together with the byte that overran it
        } else {
            outcome.partial = true;
            break;
        }
    }
    return outcome;
}
