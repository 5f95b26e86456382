// Mount emulation toward the guiding software: the LX200 framer and the command handler.
#include "controller.h"
#include "status_code.h"

namespace {

constexpr std::uint8_t Ack = 0x06;
constexpr int MaxHeldBeforeHash = 50;
constexpr int MaxDurationDigits = 6;

// The canned replies to the queries this hand controller answers, by the query's letter.
const char* replyFor(const std::uint8_t* command) {
    switch (command[2]) {
    case 'A':
        return "+00*00'00#";
    case 'D':
        return "00*00'00#";
    case 'R':
        return "00:00:00#";
    case 'S':
        return "22:00:00#";
    case 'V':
        return command[3] == 'F' ? "Meade Autostar 497#" : nullptr;
    case 'Z':
        return "180*00#";
    case 't':
        return "+47*00#";
    default:
        return nullptr;
    }
}

} // namespace

void Controller::parseIncoming(const std::uint8_t* bytes, int length) {
    for (int i = 0; i < length; ++i) {
        const std::uint8_t byte = bytes[i];
        if (parserState == 0) {
            commandBuffer[0] = byte;
            commandLength = 1;
            if (byte == ':') {
                parserState = 1;
            } else if (byte == Ack) {
                handleCommand(commandBuffer, 1);
            }
            continue;
        }
        if (byte == '#') {
            commandBuffer[commandLength] = byte;
            commandLength += 1;
            parserState = 0;
            handleCommand(commandBuffer, commandLength);
        } else if (commandLength < MaxHeldBeforeHash) {
            commandBuffer[commandLength] = byte;
            commandLength += 1;
        } else {
            // Too long to be anything we know: abandon it, and this byte with it.
            parserState = 0;
        }
    }
}

void Controller::handleCommand(const std::uint8_t* command, int length) {
    if (length < 1) {
        return;
    }
    events.record(EventCommand, 0, 0, command, length);
    commandCount += 1;
    if (!firstCommandSeen) {
        firstCommandSeen = 1;
        events.record(EventIncomingStatus, StatusReady, incomingPortNumber);
        listener->onIncomingStatus(CountFlag | StatusReady, commandCount);
    } else {
        listener->onIncomingStatus(CountFlag, commandCount);
    }

    if (length == 1) {
        if (command[0] == Ack) {
            writeIncomingByte('P');
        }
        return;
    }
    if (command[0] != ':') {
        return;
    }
    if (command[1] == 'G' && length >= 4) {
        if (const char* reply = replyFor(command)) {
            writeIncomingString(reply);
        }
        return;
    }
    if (command[1] != 'M' || length < 6 || command[2] != 'g') {
        return;
    }

    std::uint32_t milliseconds = 0;
    for (int i = 4; i < length && i < 4 + MaxDurationDigits; ++i) {
        if (command[i] < '0' || command[i] > '9') {
            break;
        }
        milliseconds = milliseconds * 10 + static_cast<std::uint32_t>(command[i] - '0');
    }
    if (milliseconds == 0) {
        return;
    }
    const std::int32_t ticks = static_cast<std::int32_t>((milliseconds + 99) / 100);
    switch (command[3]) {
    case 'w':
        raShowSet |= AxisWest;
        raStart |= AxisWest;
        westTicks = ticks;
        break;
    case 'e':
        raShowSet |= AxisEast;
        raStart |= AxisEast;
        eastTicks = ticks;
        break;
    case 'n':
        decShowSet |= AxisNorth;
        decStart |= AxisNorth;
        northTicks = ticks;
        break;
    case 's':
        decShowSet |= AxisSouth;
        decStart |= AxisSouth;
        southTicks = ticks;
        break;
    default:
        return; // no direction we know: no pulse
    }
    events.record(EventPulse, milliseconds, static_cast<std::uint16_t>(ticks), command + 3, 1);
}
