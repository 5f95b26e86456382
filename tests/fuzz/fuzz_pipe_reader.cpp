// Fuzz target: arbitrary bytes through the controller's pipe reader, as the worker reads them from
// its message pipe, so that every message class is reached: commands with any code and any port,
// incoming data and ticks. COM3 and COM4 are ptys and really open; every other port is missing.
// Three bytes that the pipe reader drops while it waits for a header stand for faults of the lines
// instead: 0x7E pulls COM4's device out (or plugs a new one in), 0x7D stalls COM4's line (or lets
// it go), 0x7C does the same to COM3's. Each input runs on a fresh controller; the record must
// stay sound after every byte, and no message may hold the worker for half a second but the end,
// which keeps its own bound. Then the input settles as a user would: the devices back and moving,
// the guider's link disconnected, the mount's link connected if it is closed, ticks until nothing
// more is written. No axis the bridge moved may be left moving then, and nothing may be owed a
// halt. Then the shutdown: every link closed, the lines free again, everything written to them
// whole.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "checking_listener.h"
#include "engine/controller.h"
#include "fuzz_line.h"
#include "support/lx200_model.h"

namespace {

// Longer inputs are cut: whatever they write still fits in the ptys without being read.
constexpr std::size_t MaxInput = 2048;
constexpr std::uint8_t PullOrPlugMount = 0x7E;
constexpr std::uint8_t StallOrFreeCom4 = 0x7D;
constexpr std::uint8_t StallOrFreeCom3 = 0x7C;
// The longest a message other than the end may hold the worker.
constexpr auto LongestMessage = std::chrono::milliseconds(500);
// Each run's event store: the night's 22 MiB, poisoned anew by ASan each run, cost more than the
// run. An input makes a few events a byte, so this never wraps (mountPorts checks).
constexpr std::uint64_t EventCapacity = 32768;
// Ticks at most to settle: the halts go on the first; a lost line has reopened within two tries.
constexpr int SettleTicks = 3 * RetryTicks;

struct Lines {
    std::string folder = makeComFolder();
    FuzzLine com3{folder, 3};
    FuzzLine com4{folder, 4};
};

Lines& lines() {
    static Lines made;
    return made;
}

// The replies the engine gives the guider: to an ACK and to each query it answers.
const std::vector<std::string>& replies() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> made{"P"};
        for (const char* query : {":GA#", ":GD#", ":GR#", ":GS#", ":GVF#", ":GZ#", ":Gt#"}) {
            made.emplace_back(lx200model::replyTo(query));
        }
        return made;
    }();
    return all;
}

// What a mount makes of the bytes on its line: whether each axis is left moving, and whether the
// bytes were all whole replies and mount commands.
struct LineOutcome {
    bool whole = true;
    bool raMoving = false;
    bool decMoving = false;
};

LineOutcome readLine(const std::string& bytes) {
    static const struct {
        const char* command;
        bool ra;
        bool moving;
    } mountCommands[] = {{":Mw#", true, true},  {":Me#", true, true},  {":Qw#", true, false},
                         {":Mn#", false, true}, {":Ms#", false, true}, {":Qn#", false, false}};
    LineOutcome outcome;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t length = 0;
        for (const auto& mount : mountCommands) {
            if (bytes.compare(at, 4, mount.command) == 0) {
                (mount.ra ? outcome.raMoving : outcome.decMoving) = mount.moving;
                length = 4;
            }
        }
        for (const std::string& reply : replies()) {
            if (length == 0 && bytes.compare(at, reply.size(), reply) == 0) {
                length = reply.size();
            }
        }
        if (length == 0) {
            outcome.whole = false;
            return outcome;
        }
        at += length;
    }
    return outcome;
}

// The record's invariants, which hold between any two bytes of the pipe.
void checkRecord(const Controller& c, std::size_t fed) {
    FUZZ_REQUIRE(c.pipeState == 0 || c.pipeState == 1);
    if (c.pipeState == 1) {
        // A header of length 0 expects no more, yet takes one more byte (a Tick's 0x00); the
        // next byte always has room in the buffer.
        FUZZ_REQUIRE(1 <= c.pipeReceived && c.pipeReceived <= c.pipeExpected &&
                     c.pipeExpected <= 32 && c.pipeReceived < 32);
    } else {
        FUZZ_REQUIRE(0 <= c.pipeReceived && c.pipeReceived <= 32);
    }
    FUZZ_REQUIRE(c.parserState == 0 || c.parserState == 1);
    FUZZ_REQUIRE(0 <= c.commandLength && c.commandLength <= 51);
    if (c.parserState == 1) {
        FUZZ_REQUIRE(1 <= c.commandLength && c.commandLength <= 50);
    }
    for (const std::int32_t ticks : {c.westTicks, c.eastTicks, c.northTicks, c.southTicks}) {
        FUZZ_REQUIRE(0 <= ticks && ticks <= 10000);
    }
    FUZZ_REQUIRE(0 <= c.tickDivider && c.tickDivider <= 9);
    FUZZ_REQUIRE(c.incomingOpen <= 1 && c.outgoingOpen <= 1 && c.firstCommandSeen <= 1);
    FUZZ_REQUIRE((c.incomingOpen == 1) == (c.incomingReaderThread != nullptr));
    FUZZ_REQUIRE(0 <= c.commandCount && static_cast<std::size_t>(c.commandCount) <= fed);
    FUZZ_REQUIRE(((c.raStart | c.raShowSet) & ~(AxisWest | AxisEast)) == 0);
    FUZZ_REQUIRE(((c.decStart | c.decShowSet) & ~(AxisNorth | AxisSouth)) == 0);
    FUZZ_REQUIRE((c.raShowClear | AxisWest | AxisEast) == NoMask);
    FUZZ_REQUIRE((c.decShowClear | AxisNorth | AxisSouth) == NoMask);
    FUZZ_REQUIRE(c.displayState <= (AxisWest | AxisEast | AxisNorth | AxisSouth));
    // A tick hands its halts to the mount's line at once, which keeps them until they go.
    FUZZ_REQUIRE(c.raHalt == NoMask && c.decHalt == NoMask);
    FUZZ_REQUIRE(((c.haltsFirst | c.haltsAfter) & ~(RaAxis | DecAxis)) == 0);
    FUZZ_REQUIRE((c.movesDue & ~(RaAxis | DecAxis)) == 0);
    // Only an open link has writes due; a closing one only halts.
    const LineWriter& mount = c.lines[LinkOutgoing];
    FUZZ_REQUIRE(!(c.outgoingOpen && mount.closing) && !(c.incomingOpen && c.lines[0].closing));
    FUZZ_REQUIRE(c.outgoingOpen || mount.closing ||
                 (c.haltsFirst | c.movesDue | c.haltsAfter) == 0);
    FUZZ_REQUIRE(!mount.closing || c.movesDue == 0);
    FUZZ_REQUIRE(0 <= c.replyCount && c.replyCount <= MaxQueuedReplies);
    FUZZ_REQUIRE(c.incomingOpen || c.replyCount == 0);
    FUZZ_REQUIRE(0 <= c.links[0].deferredCount &&
                 c.links[0].deferredCount <= LinkState::MaxDeferred);
    FUZZ_REQUIRE(0 <= c.links[1].deferredCount &&
                 c.links[1].deferredCount <= LinkState::MaxDeferred);
}

// Whether COM3's and COM4's lines are stalled now.
bool held[2] = {false, false};

bool heldPort(std::uint8_t port) {
    return (port == 3 || port == 4) && held[port - 3];
}

// Waits for every open under way, every write in flight on a line that moves and every close, as
// the worker's own wait would; a write to a stalled line is left in flight.
void settle(Controller& controller) {
    for (;;) {
        controller.serviceLines();
        controller.collectOpens();
        bool busy = controller.links[LinkIncoming].job != nullptr ||
                    controller.links[LinkOutgoing].job != nullptr;
        const std::uint8_t ports[2] = {controller.incomingPortNumber,
                                       controller.outgoingPortNumber};
        for (int link = LinkIncoming; link <= LinkOutgoing; ++link) {
            const LineWriter& line = controller.lines[link];
            busy = busy || (line.inFlight && !heldPort(ports[link])) || line.closing;
        }
        if (!busy) {
            return;
        }
        Sleep(0);
    }
}

// Feeds bytes as the worker would, taking every open that finishes and every write that completes
// before the next byte, so that each input runs the same way every time. No message but the end
// may hold the worker for long.
void feed(Controller& controller, std::initializer_list<std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        const auto start = std::chrono::steady_clock::now();
        controller.takePipeByte(byte);
        FUZZ_REQUIRE(controller.stopping ||
                     std::chrono::steady_clock::now() - start < LongestMessage);
        settle(controller);
    }
}

// Waits (a second at most) until each open link's device has put on its line what it was given:
// the line moves on the device's own thread. A device pulled out after that has delivered all the
// bytes the bridge counts as written; before it, the race between that thread and the pull would
// decide what the mount got.
void letLinesMove(Controller& controller) {
    struct Open {
        bool open;
        HANDLE port;
        std::uint8_t number;
    };
    for (const Open& link : {Open{controller.incomingOpen != 0, controller.incomingPort,
                                  controller.incomingPortNumber},
                             Open{controller.outgoingOpen != 0, controller.outgoingPort,
                                  controller.outgoingPortNumber}}) {
        for (int wait = 0; link.open && !heldPort(link.number) && wait < 1000; ++wait) {
            DWORD errors = 0;
            COMSTAT state{};
            if (!ClearCommError(link.port, &errors, &state) || state.cbOutQue == 0) {
                break;
            }
            Sleep(1);
        }
    }
}

// The ports the mount's link was opened on. Owed halts go to the port the mount's link opens on
// next, whichever it is (an adapter that drops out may come back under another number); so where
// the link has been on both lines, which of them is the mount cannot be told.
int mountPorts(const Controller& controller) {
    std::vector<Event> events(256);
    EventCursor cursor;
    int ports = 0;
    while (const int count = controller.events.take(cursor, events.data(), int(events.size()))) {
        for (int i = 0; i < count; ++i) {
            if (events[i].kind == EventOutgoingStatus && events[i].value == StatusPortOpened) {
                ports |= 1 << (events[i].extra & 7);
            }
        }
    }
    FUZZ_REQUIRE(cursor.missed == 0); // the store wrapped
    return ports;
}

// Whether a line may be left moving: only where the mount's link has been on both lines.
bool mayBeLeftMoving(int ports) {
    return ports == ((1 << 3) | (1 << 4));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // What is fuzzed here is the logic, not the time a byte takes on the line.
    win32_posix::setLinePacingForTesting(false);
    lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Lines& line = lines();
    CheckingListener listener;
    listener.begin();
    Controller controller(&listener, EventCapacity);
    controller.prepare();
    // A stalled write gives up soon: the rule is fuzzed, not the time it takes. Not at once: a
    // line that is not stalled must still take a burst of replies within the bound while the
    // device's own thread waits for a processor (1 ms was too short on a loaded host).
    controller.writeWaitMs = 10;
    bool* stalled = held; // COM3, COM4
    stalled[0] = stalled[1] = false;
    std::size_t fed = 0;
    for (const std::size_t end = size < MaxInput ? size : MaxInput; fed < end;) {
        const std::uint8_t byte = data[fed++];
        if (controller.pipeState == 0 && byte == PullOrPlugMount) {
            // A stall ends before its device is pulled out; a new one comes without.
            win32_posix::setDeviceFaultsForTesting(4, false, false);
            stalled[1] = false;
            settle(controller);
            letLinesMove(controller);
            line.com4.present() ? line.com4.hangUp() : line.com4.plugIn();
        } else if (controller.pipeState == 0 &&
                   (byte == StallOrFreeCom4 || byte == StallOrFreeCom3)) {
            const int which = byte == StallOrFreeCom4 ? 1 : 0;
            letLinesMove(controller);
            stalled[which] = !stalled[which];
            win32_posix::setDeviceFaultsForTesting(3 + which, stalled[which], false);
            settle(controller);
        } else {
            feed(controller, {byte});
        }
        checkRecord(controller, fed);
        if (controller.stopping) {
            break; // the worker leaves its loop once a shutdown is carried out
        }
    }
    // A shutdown can halt the mount only through a device that is there and takes bytes (the
    // mount's link may have been on either line).
    bool reachable[2] = {!stalled[0], line.com4.present() && !stalled[1]};

    // A message the input left unfinished is completed first, as the next writer's bytes would.
    while (!controller.stopping && controller.pipeState != 0) {
        feed(controller, {0x00});
    }
    if (!controller.stopping) {
        if (!line.com4.present()) {
            line.com4.plugIn();
        }
        win32_posix::setDeviceFaultsForTesting(3, false, false);
        win32_posix::setDeviceFaultsForTesting(4, false, false);
        stalled[0] = stalled[1] = false;
        feed(controller, {0xA1, CommandDisconnectIncoming});
        if (!controller.outgoingOpen && controller.unhalted != 0) {
            feed(controller, {0xA2, CommandConnectOutgoing, controller.outgoingPortNumber});
        }
        // A tick once the lines have taken what they hold, as real ticks come 100 ms apart.
        for (int tick = 0; tick < SettleTicks && controller.unhalted != 0; ++tick) {
            letLinesMove(controller);
            feed(controller, {0xE0, 0x00});
        }
        FUZZ_REQUIRE(controller.unhalted == 0);
        letLinesMove(controller); // what the bridge has written is on the line before it is read
        const bool either = mayBeLeftMoving(mountPorts(controller));
        for (FuzzLine* port : {&line.com3, &line.com4}) {
            const LineOutcome outcome = readLine(port->collect());
            FUZZ_REQUIRE(outcome.whole);
            FUZZ_REQUIRE(either || (!outcome.raMoving && !outcome.decMoving));
        }
        reachable[0] = reachable[1] = true;
    }

    controller.shutdown();
    win32_posix::setDeviceFaultsForTesting(3, false, false);
    win32_posix::setDeviceFaultsForTesting(4, false, false);
    FUZZ_REQUIRE(controller.stopping);
    FUZZ_REQUIRE(controller.incomingOpen == 0 && controller.outgoingOpen == 0);
    FUZZ_REQUIRE(controller.incomingReaderThread == nullptr);
    if (!line.com4.present()) {
        line.com4.plugIn();
    }

    if (!listener.incomingOpened && !listener.outgoingOpened) {
        // Nothing was opened, so nothing may have been written.
        FUZZ_REQUIRE(line.com3.drain() == 0 && line.com4.drain() == 0);
        return 0;
    }
    for (FuzzLine* port : {&line.com3, &line.com4}) {
        const LineOutcome outcome = readLine(port->collect());
        FUZZ_REQUIRE(outcome.whole);
        // The shutdown halts whatever may have been left moving, on a line it can reach.
        FUZZ_REQUIRE(!reachable[port == &line.com4 ? 1 : 0] ||
                     mayBeLeftMoving(mountPorts(controller)) ||
                     (!outcome.raMoving && !outcome.decMoving));
        FUZZ_REQUIRE(port->free());
    }
    return 0;
}
