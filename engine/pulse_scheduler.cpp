// Guide pulse scheduler: one step per tick turns pulse requests into move and halt commands for
// the mount, and reports the guide state every tenth step.
#include <initializer_list>

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
    countDown(westTicks, AxisWest, raShowClear, raHalt);
    countDown(eastTicks, AxisEast, raShowClear, raHalt);
    countDown(northTicks, AxisNorth, decShowClear, decHalt);
    countDown(southTicks, AxisSouth, decShowClear, decHalt);

    // The commands go to the mount's line, which writes them in this order as fast as it takes
    // them and keeps what it cannot take yet; while the outgoing link is closed nothing is
    // written, and the scheduler moves on just as if the commands had gone out.
    for (const std::uint32_t direction : {AxisWest, AxisEast}) {
        if (raStart & direction) {
            raStart &= ~direction;
            moveMount(direction);
        }
    }
    for (const std::uint32_t direction : {AxisNorth, AxisSouth}) {
        if (decStart & direction) {
            decStart &= ~direction;
            moveMount(direction);
        }
    }
    if ((raHalt & 0xFF) != NoMask) {
        raHalt = NoMask;
        haltMount(RaAxis);
    }
    if ((decHalt & 0xFF) != NoMask) {
        decHalt = NoMask;
        haltMount(DecAxis);
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
