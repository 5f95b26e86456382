// Writes that never hold the worker: each line has at most one write in flight, what is still to
// go is kept as state (the mount's halts and moves, a short queue of the guider's replies), and
// the worker learns of a completion in the same wait that watches its pipe. Closes wait the same
// way. A line that stops taking bytes costs that line alone.
#include <chrono>
#include <cstring>

#include "controller.h"
#include "status_code.h"

namespace {

// At close only what we would still read. Nothing on the transmit side: a write still in flight
// is cancelled first, and Wine renders PURGE_TXABORT as a flush of the output, which throws away
// a halt written a moment ago.
constexpr DWORD PurgeAtClose = PURGE_RXABORT | PURGE_RXCLEAR;
// How long a close waits for written bytes to leave the line. At 9600 baud the longest thing we
// write, a reply, takes 31 ms; a line held by flow control would never drain.
constexpr DWORD DrainWaitMs = 250;
// How often a close looks whether the line has drained, and the worker's longest sleep.
constexpr DWORD DrainPollMs = 2;
constexpr DWORD IdleWaitMs = 100;

std::int64_t steadyNow() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

std::int64_t ticksOf(DWORD ms) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::milliseconds(ms))
        .count();
}

DWORD msUntil(std::int64_t when, std::int64_t now) {
    if (when <= now) {
        return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::duration(when - now))
                          .count();
    return static_cast<DWORD>(left + 1);
}

int textLength(const char* text) {
    int length = 0;
    while (length < MaxReplyLength && text[length] != '\0') {
        ++length;
    }
    return length;
}

// True when no written byte waits to leave the line, or the device cannot say (it has gone).
bool outputDrained(HANDLE device) {
    DWORD errors = 0;
    COMSTAT state;
    std::memset(&state, 0, sizeof state);
    return !ClearCommError(device, &errors, &state) || state.cbOutQue == 0;
}

// The mount's commands, by their axis and direction bits.
struct MountCommand {
    std::uint32_t bits;
    const char* text;
};
constexpr MountCommand Halts[] = {{RaAxis, ":Qw#"}, {DecAxis, ":Qn#"}};
constexpr MountCommand Moves[] = {
    {AxisWest, ":Mw#"}, {AxisEast, ":Me#"}, {AxisNorth, ":Mn#"}, {AxisSouth, ":Ms#"}};

// The axis a 4-byte mount command is for, 0 for anything else.
std::uint32_t axisOf(const std::uint8_t* bytes, int length) {
    if (length != 4 || bytes[0] != ':' || (bytes[1] != 'M' && bytes[1] != 'Q')) {
        return 0;
    }
    return bytes[2] == 'w' || bytes[2] == 'e' ? RaAxis : DecAxis;
}

bool isHalt(const std::uint8_t* bytes, int length) {
    return axisOf(bytes, length) != 0 && bytes[1] == 'Q';
}

} // namespace

// --- What is handed to the lines. ---

bool Controller::writeIncomingByte(std::uint8_t value) {
    return queueReply(&value, 1);
}

bool Controller::writeIncomingString(const char* text) {
    return queueReply(text, textLength(text));
}

bool Controller::queueReply(const void* bytes, int length) {
    if (!incomingOpen) {
        return false;
    }
    if (replyCount == MaxQueuedReplies) {
        repliesDropped += 1;
        return false;
    }
    const int slot = (replyHead + replyCount) % MaxQueuedReplies;
    std::memcpy(replyQueue[slot], bytes, static_cast<std::size_t>(length));
    replyLength[slot] = static_cast<std::uint8_t>(length);
    replyCount += 1;
    serviceLines();
    return true;
}

void Controller::moveMount(std::uint32_t direction) {
    if (!outgoingOpen) {
        return;
    }
    const std::uint32_t axis = (direction & RaAxis) != 0 ? RaAxis : DecAxis;
    if ((haltsAfter & axis) != 0) {
        // A pulse on this axis began and ended while the line was busy, and none of it has gone:
        // its moves are dropped, and its halt goes before this move.
        movesDue &= ~axis;
        haltsAfter &= ~axis;
        haltsFirst |= axis;
    }
    movesDue |= direction;
    serviceLines();
}

void Controller::haltMount(std::uint32_t axis) {
    if (!outgoingOpen) {
        return;
    }
    if (lines[LinkOutgoing].stalled) {
        // A move that a stalled line has kept back until its pulse ran out would be a pulse of no
        // length, seconds late: it is dropped, and the halt goes before anything else.
        movesDue &= ~axis;
        haltsAfter &= ~axis;
        haltsFirst |= axis;
    } else if (movesDue != 0) {
        // Within a tick the moves go first: a halt behind moves still due keeps its place.
        haltsAfter |= axis;
    } else {
        haltsFirst |= axis;
    }
    serviceLines();
}

void Controller::oweHalts(std::uint32_t axes) {
    if (axes == 0 || (!outgoingOpen && !lines[LinkOutgoing].closing)) {
        return;
    }
    haltsAfter &= ~axes;
    haltsFirst |= axes;
    serviceLines();
}

void Controller::haltMovingAxes() {
    if (!outgoingOpen) {
        return;
    }
    // The halt is the last word on these axes: a move still due would set them going again.
    const std::uint32_t axes = pulsingAxes() | unhalted;
    movesDue &= ~axes;
    oweHalts(axes);
}

std::uint32_t Controller::pulsingAxes() const {
    std::uint32_t axes = 0;
    if (westTicks != 0 || eastTicks != 0 || (raStart & RaAxis) != 0 || (raHalt & 0xFF) != NoMask) {
        axes |= RaAxis;
    }
    if (northTicks != 0 || southTicks != 0 || (decStart & DecAxis) != 0 ||
        (decHalt & 0xFF) != NoMask) {
        axes |= DecAxis;
    }
    return axes;
}

void Controller::oweHaltsOnTick() {
    if (!outgoingOpen || unhalted == 0) {
        return;
    }
    std::uint32_t owed = unhalted & ~(haltsFirst | haltsAfter);
    const LineWriter& line = lines[LinkOutgoing];
    if (line.inFlight && isHalt(line.bytes, line.length)) {
        owed &= ~axisOf(line.bytes, line.length);
    }
    // While the scheduler runs, a pulse whose move reached the mount is halted by it when it runs
    // out; one whose move never did is no reason to wait.
    if (incomingOpen && firstCommandSeen) {
        owed &= ~(pulsingAxes() & movedSinceOpen);
    }
    oweHalts(owed);
}

// --- The lines themselves. ---

bool Controller::writeOutgoingString(const char* text) {
    LineWriter& line = lines[LinkOutgoing];
    if (line.inFlight || outgoingPort == nullptr || (!outgoingOpen && !line.closing)) {
        return false;
    }
    line.length = textLength(text);
    std::memcpy(line.bytes, text, static_cast<std::size_t>(line.length));
    issue(LinkOutgoing);
    serviceLines();
    return true;
}

void Controller::issue(int link) {
    LineWriter& line = lines[link];
    const bool outgoing = link == LinkOutgoing;
    const HANDLE event = outgoing ? outgoingWriteEvent : incomingWriteEvent;
    const std::uint32_t axis = axisOf(line.bytes, line.length);
    if (outgoing && axis != 0 && line.bytes[1] == 'M') {
        // A move on its way may go out, in part or whole, whatever comes of the write.
        unhalted |= axis;
        movedSinceOpen |= axis;
    }
    ResetEvent(event);
    std::memset(&line.io, 0, sizeof line.io);
    line.io.hEvent = event;
    line.inFlight = true;
    line.startedAt = steadyNow();
    DWORD written = 0;
    if (WriteFile(outgoing ? outgoingPort : incomingPort, line.bytes,
                  static_cast<DWORD>(line.length), &written, &line.io)) {
        finishWrite(link, written == static_cast<DWORD>(line.length) ? WriteDone : WriteTimedOut);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        finishWrite(link, WriteFailed);
    }
}

void Controller::serviceLines() {
    if (servicing) {
        serviceAgain = true;
        return;
    }
    servicing = true;
    do {
        serviceAgain = false;
        serviceLine(LinkOutgoing);
        serviceLine(LinkIncoming);
    } while (serviceAgain);
    servicing = false;
    // Then what waited for a link that is free now.
    for (int link = LinkIncoming; link <= LinkOutgoing; ++link) {
        runDeferred(link);
    }
}

void Controller::serviceLine(int link) {
    LineWriter& line = lines[link];
    const bool outgoing = link == LinkOutgoing;
    for (;;) {
        const HANDLE port = outgoing ? outgoingPort : incomingPort;
        const bool open = outgoing ? outgoingOpen != 0 : incomingOpen != 0;
        if (port == nullptr || port == INVALID_HANDLE_VALUE || (!open && !line.closing)) {
            return;
        }
        if (!line.inFlight) {
            if (!startNext(link)) {
                break;
            }
            issue(link);
            continue;
        }
        DWORD written = 0;
        if (GetOverlappedResult(port, &line.io, &written, FALSE)) {
            finishWrite(link,
                        written == static_cast<DWORD>(line.length) ? WriteDone : WriteTimedOut);
        } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
            finishWrite(link, WriteFailed);
        } else {
            if (!line.stalled && steadyNow() - line.startedAt >= ticksOf(writeWaitMs)) {
                // Not thrown away: it completes when the line moves, and what is due follows.
                line.stalled = true;
                events.record(EventLineStalled, static_cast<std::uint32_t>(link),
                              outgoing ? outgoingPortNumber : incomingPortNumber);
            }
            break;
        }
    }
    LinkState& state = links[link];
    if (outgoing && state.confirming && outgoingOpen &&
        (line.stalled ||
         (haltsFirst == 0 && !(line.inFlight && isHalt(line.bytes, line.length))))) {
        // The owed halts are out, or the line has stalled and they stay owed: the open is done.
        state.confirming = false;
        outgoingOpened(outgoingPort, outgoingPortNumber);
    }
    if (line.closing) {
        progressClose(link);
    }
}

bool Controller::startNext(int link) {
    LineWriter& line = lines[link];
    if (link == LinkIncoming) {
        if (replyCount == 0) {
            return false;
        }
        line.length = replyLength[replyHead];
        std::memcpy(line.bytes, replyQueue[replyHead], static_cast<std::size_t>(line.length));
        replyHead = (replyHead + 1) % MaxQueuedReplies;
        replyCount -= 1;
        return true;
    }
    // The mount: owed halts, then the moves due, then the halts behind them.
    const MountCommand* next = nullptr;
    for (const MountCommand& halt : Halts) {
        if (next == nullptr && (haltsFirst & halt.bits) != 0) {
            haltsFirst &= ~halt.bits;
            next = &halt;
        }
    }
    for (const MountCommand& move : Moves) {
        if (next == nullptr && (movesDue & move.bits) != 0) {
            movesDue &= ~move.bits;
            next = &move;
        }
    }
    for (const MountCommand& halt : Halts) {
        if (next == nullptr && (haltsAfter & halt.bits) != 0) {
            haltsAfter &= ~halt.bits;
            next = &halt;
        }
    }
    if (next == nullptr) {
        return false;
    }
    line.length = 4;
    std::memcpy(line.bytes, next->text, 4);
    return true;
}

void Controller::finishWrite(int link, WriteResult result) {
    LineWriter& line = lines[link];
    const bool outgoing = link == LinkOutgoing;
    const std::uint8_t port = outgoing ? outgoingPortNumber : incomingPortNumber;
    line.inFlight = false;
    if (line.stalled) {
        line.stalled = false;
        events.record(EventLineMoves, static_cast<std::uint32_t>(link), port);
    }
    if (!outgoing) {
        if (result == WriteDone) {
            events.record(EventReply, 0, 0, line.bytes, line.length);
        } else if (result == WriteFailed) {
            // The device is gone: its reader tells the worker so; nothing more goes out.
            repliesDropped += static_cast<std::uint32_t>(replyCount);
            replyCount = 0;
        }
        if (repliesDropped != 0) {
            events.record(EventRepliesDropped, repliesDropped, port);
            repliesDropped = 0;
        }
        return;
    }
    const std::uint32_t axis = axisOf(line.bytes, line.length);
    if (result == WriteDone) {
        events.record(EventMountWrite, 0, 0, line.bytes, line.length);
        if (isHalt(line.bytes, line.length)) {
            unhalted &= ~axis;
        }
    } else if (result == WriteTimedOut && isHalt(line.bytes, line.length)) {
        haltsFirst |= axis; // cut off: still owed
    }
    if (result == WriteFailed) {
        loseOutgoing();
    }
}

void Controller::loseOutgoing() {
    LineWriter& line = lines[LinkOutgoing];
    unhalted = RaAxis | DecAxis;
    if (!line.closing) {
        const LinkState& state = links[LinkOutgoing];
        outgoingOpen = 0;
        line.closing = true;
        line.closePort = outgoingPortNumber;
        line.closeThen = !state.confirming     ? CloseLost
                         : state.confirmByUser ? CloseCannotOpen
                                               : CloseRetry;
    }
    // The device has gone: nothing more can leave it, and nothing is left to wait for.
    finishClose(LinkOutgoing, true);
}

void Controller::beginClose(int link, CloseThen then, std::uint8_t port) {
    LineWriter& line = lines[link];
    line.closing = true;
    line.closeThen = then;
    line.closePort = port;
    line.closeDeadline = steadyNow() + ticksOf(writeWaitMs);
    line.drainDeadline = 0;
    serviceLines();
}

void Controller::progressClose(int link) {
    LineWriter& line = lines[link];
    const HANDLE port = link == LinkOutgoing ? outgoingPort : incomingPort;
    const std::int64_t now = steadyNow();
    if (now >= line.closeDeadline) {
        // The bound has passed: the write still in flight is ended before its handle goes, so
        // that it can no longer touch its bytes and I/O record. What the line held is lost.
        const bool cut = line.inFlight || (link == LinkOutgoing && (haltsFirst | haltsAfter) != 0);
        if (line.inFlight) {
            DWORD written = 0;
            CancelIo(port);
            GetOverlappedResult(port, &line.io, &written, TRUE);
            line.inFlight = false;
            line.stalled = false;
        }
        finishClose(link, !cut && outputDrained(port));
        return;
    }
    if (line.inFlight) {
        return;
    }
    if (line.drainDeadline == 0) {
        const DWORD drainMs = writeWaitMs < DrainWaitMs ? writeWaitMs : DrainWaitMs;
        line.drainDeadline = now + ticksOf(drainMs);
    }
    const bool drained = outputDrained(port);
    if (drained || now >= line.drainDeadline) {
        finishClose(link, drained);
    }
}

void Controller::finishClose(int link, bool drained) {
    LineWriter& line = lines[link];
    HANDLE& port = link == LinkOutgoing ? outgoingPort : incomingPort;
    PurgeComm(port, PurgeAtClose);
    CloseHandle(port);
    port = nullptr;
    if (link == LinkOutgoing) {
        // What a line that did not drain still held went with the handle: a halt among it, perhaps.
        if (!drained) {
            unhalted = RaAxis | DecAxis;
        }
        haltsFirst = movesDue = haltsAfter = 0;
        links[LinkOutgoing].confirming = false;
    } else {
        repliesDropped += static_cast<std::uint32_t>(replyCount);
        replyCount = 0;
        if (repliesDropped != 0) {
            events.record(EventRepliesDropped, repliesDropped, line.closePort);
            repliesDropped = 0;
        }
    }
    line.closing = false;
    line.stalled = false;
    const std::uint8_t number = line.closePort;
    switch (line.closeThen) {
    case CloseDisconnected:
        reportLink(link, StatusClosed, number);
        break;
    case CloseLost:
        reportLink(link, StatusClosed, number);
        startRetrying(link, number);
        break;
    case CloseCannotOpen:
        reportLink(link, StatusCannotOpen, number);
        break;
    case CloseRetry:
        startRetrying(link, number);
        break;
    default:
        break;
    }
    updateAwake();
}

void Controller::closeIncoming(CloseThen then) {
    SetEvent(incomingStopEvent);
    // The reader never blocks for long (its waits watch the stop event, and it waits for room in
    // the pipe without holding pipeLock), so it always ends; the port is closed only after it has.
    WaitForSingleObject(incomingReaderThread, INFINITE);
    CloseHandle(incomingReaderThread);
    incomingReaderThread = nullptr;
    incomingOpen = 0;
    // Replies still queued answer a guider that has gone; the one in flight goes out.
    repliesDropped += static_cast<std::uint32_t>(replyCount);
    replyCount = 0;
    beginClose(LinkIncoming, then, incomingPortNumber);
}

void Controller::closeOutgoing(CloseThen then) {
    outgoingOpen = 0;
    // Only the halts go out still: a move now would set going what nothing would halt.
    movesDue = 0;
    haltsFirst |= haltsAfter;
    haltsAfter = 0;
    beginClose(LinkOutgoing, then, outgoingPortNumber);
}

DWORD Controller::serviceWaitMs() const {
    const std::int64_t now = steadyNow();
    DWORD wait = IdleWaitMs;
    for (const LineWriter& line : lines) {
        DWORD due = IdleWaitMs;
        if (line.closing && !line.inFlight) {
            due = DrainPollMs;
        } else if (line.closing) {
            due = msUntil(line.closeDeadline, now);
        } else if (line.inFlight && !line.stalled) {
            due = msUntil(line.startedAt + ticksOf(writeWaitMs), now);
        }
        wait = due < wait ? due : wait;
    }
    return wait;
}

bool Controller::linesIdle() const {
    return !lines[0].inFlight && !lines[1].inFlight && !lines[0].closing && !lines[1].closing &&
           replyCount == 0 && (haltsFirst | movesDue | haltsAfter) == 0;
}
