// Controller: start-up, the message writers, the pipe reader and the command dispatcher.
#include "controller.h"

#include <chrono>

#include "status_code.h"

namespace {

// The most bytes the worker takes from the pipe in one read.
constexpr DWORD PipeReadChunk = 256;
// How long the program's end waits for opens under way and for the halts to go out, at most,
// before it closes the links; and what a bounded end keeps back from its bound for the closes, and
// then for the worker to leave.
constexpr auto EndOpensWait = std::chrono::milliseconds(2000);
constexpr auto CloseReserve = std::chrono::milliseconds(1000);
constexpr auto LeaveReserve = std::chrono::milliseconds(500);

// How long a Tick waits for room in the pipe.
constexpr DWORD TickWriteWaitMs = 100;

std::int64_t steadyNow() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

std::int64_t ticksOf(std::chrono::milliseconds span) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(span).count();
}

constexpr std::uint8_t header(std::uint8_t messageClass, int length) {
    return static_cast<std::uint8_t>(HeaderMarker | (messageClass << 5) | (length & 0x1F));
}

} // namespace

Controller::Controller(TelescopeListener* reportTo, std::uint64_t eventCapacity)
    : listener(reportTo), events(eventCapacity) {}

Controller::~Controller() {
    if (!prepared) {
        return;
    }
    // Once the worker is gone (stop() has run, or it never started), its handles are ours to close.
    const bool workerGone =
        pipeReaderThread == nullptr || WaitForSingleObject(pipeReaderThread, 0) == WAIT_OBJECT_0;
    if (workerGone) {
        if (pipeReaderThread != nullptr) {
            CloseHandle(pipeReaderThread);
        }
        CloseHandle(pipeRead);
        CloseHandle(pipeWrite);
        CloseHandle(messageEvent);
        CloseHandle(stopEvent);
        CloseHandle(incomingStopEvent);
        CloseHandle(incomingWriteEvent);
        CloseHandle(outgoingWriteEvent);
    }
    DeleteCriticalSection(&pipeLock);
}

void Controller::start() {
    prepare();
    pipeReaderThread = CreateThread(nullptr, 0, runPipeReader, this, 0, &pipeReaderThreadId);
    SetThreadPriority(pipeReaderThread, THREAD_PRIORITY_ABOVE_NORMAL); // asleep until a message
}

void Controller::prepare() {
    InitializeCriticalSection(&pipeLock);
    CreatePipe(&pipeRead, &pipeWrite, nullptr, PipeBufferSize);
    messageEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    incomingStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    incomingWriteEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    outgoingWriteEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    prepared = true;
}

void Controller::connectIncoming(std::uint8_t port) {
    writeCommand(CommandConnectIncoming, port);
}
void Controller::disconnectIncoming() {
    writeCommand(CommandDisconnectIncoming);
}
void Controller::connectOutgoing(std::uint8_t port) {
    writeCommand(CommandConnectOutgoing, port);
}
void Controller::disconnectOutgoing() {
    writeCommand(CommandDisconnectOutgoing);
}

void Controller::onHeartBeat() {
    // Payload length 0, but two bytes: the 0x00 is the byte that completes a Tick in the reader.
    // A pipe still full after a tick's time means a worker that has not read for many seconds: the
    // tick is dropped rather than holding the heartbeat (and its lock, which the end must take).
    const std::uint8_t tick[2] = {header(ClassTick, 0), 0x00};
    writeMessage(tick, sizeof tick, nullptr, TickWriteWaitMs);
}

void Controller::requestStop(DWORD boundMs) {
    if (boundMs != INFINITE) {
        const std::int64_t deadline = steadyNow() + ticksOf(std::chrono::milliseconds(boundMs));
        std::int64_t earlier = stopDeadline.load();
        while (deadline < earlier && !stopDeadline.compare_exchange_weak(earlier, deadline)) {
        }
    }
    // Not through the pipe: the end must not wait behind what is queued there, nor for room in it.
    stopRequested.store(true);
    SetEvent(stopEvent);
}

void Controller::stop() {
    stop(INFINITE);
}

bool Controller::stop(DWORD boundMs) {
    if (pipeReaderThread == nullptr) {
        return true;
    }
    requestStop(boundMs);
    return WaitForSingleObject(pipeReaderThread, boundMs) == WAIT_OBJECT_0;
}

void Controller::writeCommand(std::uint8_t code) {
    const std::uint8_t message[2] = {header(ClassCommand, 1), code};
    writeMessage(message, sizeof message);
}

void Controller::writeCommand(std::uint8_t code, std::uint8_t port) {
    const std::uint8_t message[3] = {header(ClassCommand, 2), code, port};
    writeMessage(message, sizeof message);
}

bool Controller::writeIncomingLost(std::uint32_t opening) {
    std::uint8_t message[IncomingLostLength + 1] = {header(ClassCommand, IncomingLostLength),
                                                    CommandIncomingLost};
    for (int i = 0; i < 4; ++i) {
        message[2 + i] = static_cast<std::uint8_t>(opening >> (8 * i));
    }
    // A stop means the link is being closed anyway: the notice would change nothing.
    return writeMessage(message, sizeof message, incomingStopEvent);
}

bool Controller::writeMessage(const std::uint8_t* bytes, DWORD length, HANDLE abortEvent,
                              DWORD waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    // A producer that found the pipe full used to block inside WriteFile while holding pipeLock,
    // which kept every other producer out, the incoming reader included, so that a close of the
    // incoming link could never collect its reader. Waiting for room outside the lock keeps the
    // lock free for the span of one write that cannot block: only the worker reads the pipe, and
    // every writer checks for room under the lock it writes under.
    for (;;) {
        EnterCriticalSection(&pipeLock);
        DWORD waiting = 0;
        PeekNamedPipe(pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
        if (waiting + length <= PipeBufferSize) {
            DWORD written = 0;
            WriteFile(pipeWrite, bytes, length, &written, nullptr);
            LeaveCriticalSection(&pipeLock);
            SetEvent(messageEvent);
            return true;
        }
        LeaveCriticalSection(&pipeLock);
        if (waitMs != INFINITE && std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (abortEvent != nullptr) {
            if (WaitForSingleObject(abortEvent, 5) == WAIT_OBJECT_0) {
                return false;
            }
        } else {
            Sleep(5);
        }
    }
}

DWORD WINAPI Controller::runPipeReader(LPVOID self) {
    Controller* controller = static_cast<Controller*>(self);
    // Every wait the worker makes is this one: for the end, a message, or the completion of a
    // write on either line, bounded by what serviceLines has to do by the clock (a write that
    // outlasts its bound, a close). Nothing else it does waits on a line.
    const HANDLE wakes[4] = {controller->stopEvent, controller->messageEvent,
                             controller->outgoingWriteEvent, controller->incomingWriteEvent};
    while (!controller->stopping) {
        // Every producer signals after its write, and the worker takes every byte it counts below
        // before it waits again, so a byte still in the pipe at the wait was written after the
        // count and its signal ends the wait at once; a wake-up for bytes already taken just counts
        // none. (The worker does not block in ReadFile instead: producers look at the pipe through
        // this read handle for their room check, and Windows serialises I/O on a synchronous
        // handle, so their look would wait behind a blocked read that only their own write could
        // end.)
        WaitForMultipleObjects(4, wakes, FALSE, controller->serviceWaitMs());
        if (controller->stopRequested.load()) {
            break;
        }
        controller->serviceLines();
        // An open that finished on its own thread signals the message event.
        controller->collectOpens();
        DWORD waiting = 0;
        PeekNamedPipe(controller->pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
        // The bytes counted are in the pipe and only this thread reads it: take them all without
        // looking again in between, in one read where they fit (each read is a trip through the
        // system, and under load every trip may wait for a processor). The end overtakes them.
        while (waiting > 0 && !controller->stopping && !controller->stopRequested.load()) {
            std::uint8_t bytes[PipeReadChunk];
            DWORD got = 0;
            ReadFile(controller->pipeRead, bytes, waiting < PipeReadChunk ? waiting : PipeReadChunk,
                     &got, nullptr);
            if (got == 0) {
                break;
            }
            waiting -= got;
            for (DWORD i = 0; i < got && !controller->stopping; ++i) {
                if (controller->pipeState == 0 && controller->stopRequested.load()) {
                    break;
                }
                controller->takePipeByte(bytes[i]);
            }
        }
    }
    controller->shutdown();
    return 0;
}

void Controller::takePipeByte(std::uint8_t byte) {
    if (pipeState == 0) {
        if ((byte & HeaderMarker) == 0) {
            return;
        }
        messageBuffer[0] = byte;
        pipeExpected = (byte & 0x1F) + 1;
        pipeReceived = 1;
        pipeState = 1;
        return;
    }
    messageBuffer[pipeReceived] = byte;
    pipeReceived += 1;
    if (pipeReceived >= pipeExpected) {
        dispatchMessage();
        pipeState = 0;
    }
}

void Controller::dispatchMessage() {
    const std::uint8_t head = messageBuffer[0];
    const int length = head & 0x1F;
    const std::uint8_t* payload = messageBuffer + 1;
    switch ((head >> 5) & 3) {
    case ClassIncomingData:
        if (incomingOpen) {
            parseIncoming(payload, length);
        }
        break;
    case ClassTick:
        if (incomingOpen) {
            processTick();
        }
        oweHaltsOnTick();
        retryLostLinks();
        break;
    case ClassCommand:
        if (length != 0) {
            carryOutCommand(payload, length);
            updateAwake();
        }
        break;
    default:
        break;
    }
}

void Controller::carryOutCommand(const std::uint8_t* payload, int length) {
    switch (payload[0]) {
    case CommandConnectIncoming:
    case CommandConnectOutgoing:
        if (length == 2) {
            connectLink(payload[0] == CommandConnectIncoming ? LinkIncoming : LinkOutgoing,
                        payload[1]);
        }
        return;
    case CommandDisconnectIncoming:
    case CommandDisconnectOutgoing:
        disconnectLink(payload[0] == CommandDisconnectIncoming ? LinkIncoming : LinkOutgoing);
        return;
    case CommandShutdown:
        shutdown();
        return;
    case CommandIncomingLost: {
        // Only for the opening that is still open: a notice that comes after a disconnect, or
        // after a disconnect and a new connect, changes and reports nothing.
        if (length != IncomingLostLength || !incomingOpen) {
            return;
        }
        std::uint32_t opening = 0;
        for (int i = 0; i < 4; ++i) {
            opening |= static_cast<std::uint32_t>(payload[1 + i]) << (8 * i);
        }
        if (opening == incomingOpening) {
            haltMovingAxes();
            closeIncoming(CloseLost);
        }
        return;
    }
    default:
        return;
    }
}

void Controller::reportIncoming(std::int32_t code, std::uint8_t port) {
    events.record(EventIncomingStatus, static_cast<std::uint32_t>(code), port);
    if (!ending) {
        listener->onIncomingStatus(code, 0);
    }
}

void Controller::reportOutgoing(std::int32_t code, std::uint8_t port) {
    events.record(EventOutgoingStatus, static_cast<std::uint32_t>(code), port);
    if (!ending) {
        listener->onOutgoingStatus(code, 0);
    }
}

void Controller::reportLink(int link, std::int32_t code, std::uint8_t port) {
    if (link == LinkIncoming) {
        reportIncoming(code, port);
    } else {
        reportOutgoing(code, port);
    }
}

void Controller::shutdown() {
    if (stopping) {
        return;
    }
    // Leave no axis of the mount moving, first of all; then wait, for as long as the bound leaves,
    // for the halts to go out and the opens under way. Nothing is reported; the dialog is gone,
    // or going.
    ending = true;
    const std::int64_t start = steadyNow();
    haltMovingAxes();
    // A mount left moving when its link closed or was lost gets a last try: its port is opened
    // once more, within the bound, for the halts it is owed.
    if (!outgoingOpen && !lines[LinkOutgoing].closing && unhalted != 0 &&
        links[LinkOutgoing].job == nullptr) {
        startOpen(LinkOutgoing, outgoingPortNumber, false);
    }
    const std::int64_t bound = stopDeadline.load();
    std::int64_t deadline = start + ticksOf(EndOpensWait);
    std::int64_t closeBy = INT64_MAX;
    if (bound != INT64_MAX) {
        const std::int64_t latest = bound - ticksOf(CloseReserve);
        deadline = latest < deadline ? latest : deadline;
        closeBy = bound - ticksOf(LeaveReserve);
    }
    endOpens(deadline);
    // The guider's link closes at once: nobody waits for a reply now. The mount's waits for its
    // halts and its line's drain, within its own bound and the end's; a write still in flight
    // then is ended, and the handle goes.
    if (incomingOpen) {
        closeIncoming(CloseQuietly);
    }
    lines[LinkIncoming].closeDeadline = steadyNow();
    if (outgoingOpen) {
        closeOutgoing(CloseQuietly);
    }
    LineWriter& mount = lines[LinkOutgoing];
    mount.closeDeadline = closeBy < mount.closeDeadline ? closeBy : mount.closeDeadline;
    const HANDLE writes[2] = {outgoingWriteEvent, incomingWriteEvent};
    while (lines[LinkIncoming].closing || lines[LinkOutgoing].closing) {
        WaitForMultipleObjects(2, writes, FALSE, serviceWaitMs());
        serviceLines();
    }
    updateAwake();
    stopping = true;
}
