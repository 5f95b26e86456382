// Guide pulse scheduler: one step per tick turns pulse requests into move and halt commands for
// the mount, and reports the guide state every tenth step.
#include "controller.h"

namespace {

// Counts one direction down; a pulse that runs out clears its bit in the show and halt masks.
void countDown(std::int32_t& ticks, std::uint32_t bit, std::uint32_t& showClear,
               std::uint32_t& halt) {
    if (ticks == 0) {
        return;
    }
    ticks -= 1;
    if (ticks == 0) {
        showClear &= ~bit;
        halt &= ~bit;
    }
}

// Folds one axis's pending requests into the display: a new set first, a clear only when no set
// is waiting.
void fold(std::uint32_t& display, std::uint32_t& showSet, std::uint32_t& showClear) {
    if (showSet != 0) {
        display |= showSet;
        showSet = 0;
    } else if ((showClear & 0xFF) != NoMask) {
        display &= showClear;
        showClear = NoMask;
    }
}

std::uint32_t axisValue(std::uint32_t display, std::uint32_t positive, std::uint32_t negative) {
    int value = 0;
    if (display & positive) {
        value = 5;
    }
    if (display & negative) {
        value = -5;
    }
    value += 4;
    return static_cast<std::uint32_t>(value < 0 ? 0 : (value > 7 ? 7 : value));
}

} // namespace

void Controller::processTick() {
    if (!firstCommandSeen) {
        return;
    }
    // While the outgoing link is closed nothing is written to it, and the scheduler moves on just
    // as if the commands had gone out. A write that fails outright closes the link, so the rest of
    // the tick writes nothing. False only for a write that its time bound cut off, or one that was
    // not tried because an earlier write of this tick was cut off and the line still holds what
    // it had: a tick costs a stalled line one write bound, not one for each of its commands.
    bool stalled = false;
    auto send = [this, &stalled](const char* text) {
        if (!outgoingOpen) {
            return true;
        }
        if (stalled && !outgoingQueueEmpty()) {
            return false;
        }
        const WriteResult result = writeOutgoingString(text);
        if (result == WriteFailed) {
            loseOutgoing();
        }
        stalled = result == WriteTimedOut;
        return !stalled;
    };
    // A halt that a stalled line did not take is still due: it stays marked and goes again first
    // thing in a later tick, before any new move on its axis, until it goes out or the link
    // closes. It goes again only once the line has taken what it held, so that a line that stays
    // stalled does not cost every tick a bounded write (ticks and replies would queue up behind
    // them); one that is cut off again waits for a later tick too.
    auto halt = [&send](std::uint32_t& mask, const char* text) {
        if ((mask & 0xFF) != NoMask && send(text)) {
            mask = NoMask;
        }
    };
    const bool due = (raHalt & 0xFF) != NoMask || (decHalt & 0xFF) != NoMask;
    if (due && (outgoingOpen == 0 || outgoingQueueEmpty())) {
        halt(raHalt, ":Qw#");
        halt(decHalt, ":Qn#");
    }
    const bool raStalled = (raHalt & 0xFF) != NoMask;
    const bool decStalled = (decHalt & 0xFF) != NoMask;

    countDown(westTicks, AxisWest, raShowClear, raHalt);
    countDown(eastTicks, AxisEast, raShowClear, raHalt);
    countDown(northTicks, AxisNorth, decShowClear, decHalt);
    countDown(southTicks, AxisSouth, decShowClear, decHalt);

    if (raStart & AxisWest) {
        raStart &= ~AxisWest;
        send(":Mw#");
    }
    if (raStart & AxisEast) {
        raStart &= ~AxisEast;
        send(":Me#");
    }
    if (decStart & AxisNorth) {
        decStart &= ~AxisNorth;
        send(":Mn#");
    }
    if (decStart & AxisSouth) {
        decStart &= ~AxisSouth;
        send(":Ms#");
    }
    if (!raStalled) {
        halt(raHalt, ":Qw#");
    }
    if (!decStalled) {
        halt(decHalt, ":Qn#");
    }

    if (tickDivider + 1 <= 9) {
        tickDivider += 1;
        return;
    }
    tickDivider = 0;
    fold(displayState, raShowSet, raShowClear);
    fold(displayState, decShowSet, decShowClear);
    listener->onGuideState(axisValue(displayState, AxisWest, AxisEast),
                           axisValue(displayState, AxisNorth, AxisSouth), commandCount);
}
