// Controller: the bridge engine. One record holds both serial links, the pipe reader, the LX200
// framer and the guide pulse scheduler; one worker thread, fed by a message pipe, does all the
// work.
#pragma once

#include <atomic>
#include <cstdint>

#include "event_log.h"
#include "heartbeat_listener.h"
#include "telescope_listener.h"
#include "win32.h"

// Pipe message header: bit 7 marker, bits 6-5 class, bits 4-0 payload length.
constexpr std::uint8_t HeaderMarker = 0x80;
constexpr std::uint8_t ClassCommand = 1;
constexpr std::uint8_t ClassIncomingData = 2;
constexpr std::uint8_t ClassTick = 3;
constexpr int MaxPayload = 31;

// Command codes, the first payload byte of a Command message.
enum CommandCode : std::uint8_t {
    CommandConnectIncoming = 2,
    CommandDisconnectIncoming = 3,
    CommandConnectOutgoing = 4,
    CommandDisconnectOutgoing = 5,
    // Sent by stop(): halt the mount, close both links and end the worker.
    CommandShutdown = 6,
    // Sent by an incoming reader whose line is lost, with the opening it read (4 bytes, least
    // significant first): close that opening as a disconnect does. Any other length is dropped.
    CommandIncomingLost = 7,
};
constexpr int IncomingLostLength = 5;

// Axis bits of the pulse requests and the display state.
constexpr std::uint32_t AxisWest = 1;
constexpr std::uint32_t AxisEast = 2;
constexpr std::uint32_t AxisNorth = 4;
constexpr std::uint32_t AxisSouth = 8;
constexpr std::uint32_t NoMask = 0xFF;
// The two axes of the mount, as sets of their direction bits.
constexpr std::uint32_t RaAxis = AxisWest | AxisEast;
constexpr std::uint32_t DecAxis = AxisNorth | AxisSouth;

// How a write to a port ended: done; cut off by its time bound (the line took nothing more in
// time); or failed outright (the device is gone).
enum WriteResult { WriteDone, WriteTimedOut, WriteFailed };

// The two links, as indexes of Controller::links.
enum LinkIndex : int { LinkIncoming = 0, LinkOutgoing = 1 };

// A port being opened on a short-lived thread of its own (an open may take seconds: Bluetooth
// serial ports do), shared by that thread and the worker; defined in link_opening.cpp.
struct OpenJob;

// What the worker knows of one link besides its port: the open under way, whether it was lost
// and is being reopened by itself, and the commands that wait until the link is free.
struct LinkState {
    // The open under way, if any, and whether it is the user's Connect (whose link's later commands
    // wait for it, so that statuses keep their order) or one of the retries after a loss.
    OpenJob* job = nullptr;
    bool jobByUser = false;
    std::uint8_t jobPort = 0;
    // The mount's port is open and its owed halts are on their way: "Port opened" follows once
    // they have gone (or the line has stalled), "Cannot open port" if the device turns out gone.
    bool confirming = false;
    bool confirmByUser = false;
    // Lost, not disconnected: the port is tried again every RetryTicks until it opens.
    bool retrying = false;
    std::uint8_t retryPort = 0;
    std::int32_t retryTicks = 0;
    // Commands for this link that came while it was busy (opening for a Connect, confirming, or
    // closing), in order. An entry is a run of one command, then perhaps a run of another, so that
    // a burst of clicks takes one entry and a change of mind shares it. Should a program fill them
    // all, the two oldest are folded into what they come to: every command is still answered, and
    // the link ends as the newest says.
    struct Run {
        std::uint8_t code = 0;
        std::uint8_t port = 0;
        std::int32_t times = 0;
    };
    struct Deferred {
        Run runs[2];
    };
    static constexpr int MaxDeferred = 256;
    Deferred deferred[MaxDeferred] = {};
    std::int32_t deferredCount = 0;
};

// One line's writes, so that a line that stops taking bytes holds nothing but itself: at most one
// write in flight, its bytes and I/O record kept here until it completes, however long it takes;
// the worker learns of its completion in the same wait that watches the pipe. A close waits the
// same way, for its last write and for the line to drain, within a bound.
struct LineWriter {
    OVERLAPPED io = {};
    std::uint8_t bytes[32] = {};
    int length = 0;
    bool inFlight = false;
    std::int64_t startedAt = 0; // steady_clock ticks
    // The write in flight has outlasted its bound; the event log has said so.
    bool stalled = false;
    // The link is closed for everything else; its handle goes once its last write is done and
    // the line has drained, or the bound has passed. Then the status of how it closed is reported.
    bool closing = false;
    int closeThen = 0; // a CloseThen
    std::uint8_t closePort = 0;
    std::int64_t closeDeadline = 0;
    std::int64_t drainDeadline = 0; // 0 until the last write is done
};

// What follows the close of a link.
enum CloseThen : int {
    CloseQuietly,      // the program's end: nothing to report
    CloseDisconnected, // "Connection closed."
    CloseLost,         // "Connection closed.", and the port is tried again
    CloseCannotOpen,   // a Connect whose port turned out gone: "Cannot open port."
    CloseRetry,        // a reopen whose port turned out gone: quietly tried again
};

// The most replies that wait for the guider's line while a write to it is under way, and the
// longest reply.
constexpr int MaxQueuedReplies = 32;
constexpr int MaxReplyLength = 30;

// Ticks between two tries to reopen a lost port: about a second.
constexpr std::int32_t RetryTicks = 10;

// The pipe's buffer size. Producers never write a message that would not fit in it.
constexpr DWORD PipeBufferSize = 4096;

class Controller : public iHeartBeatListener {
public:
    // eventCapacity: the records the event store holds. A harness that makes a controller for
    // each of many short runs takes a smaller store than the night's.
    explicit Controller(TelescopeListener* listener,
                        std::uint64_t eventCapacity = EventLog::DefaultCapacity);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Sets up the lock, the pipe and the events, and starts the worker thread.
    void start();
    // The first part of start(): everything but the worker thread. Tests that play the worker
    // themselves call this alone.
    void prepare();

    void connectIncoming(std::uint8_t port);
    void disconnectIncoming();
    void connectOutgoing(std::uint8_t port);
    void disconnectOutgoing();
    void onHeartBeat() override;

    // Asks the worker to end, ahead of anything waiting in the pipe, and returns at once: it halts
    // any axis that may be moving, waits for opens under way and the halts' writes only as long as
    // the bound leaves, closes both links and ends. A later request may only shorten the bound.
    void requestStop(DWORD boundMs = INFINITE);
    // requestStop, then waits for the worker to end: with a bound, at most that long in all
    // (Windows ending the session gives the program only so long), and says whether it has ended; a
    // later call waits for the rest.
    void stop();
    bool stop(DWORD boundMs);

    // --- The worker thread's own operations; public so that tests can drive them. ---
    static DWORD WINAPI runPipeReader(LPVOID self);
    // Feeds one byte read from the pipe to the pipe reader's state machine.
    void takePipeByte(std::uint8_t byte);
    void dispatchMessage();
    void carryOutCommand(const std::uint8_t* payload, int length);
    void shutdown();
    // A link status for the listener and the event log; port is the port concerned, 0 for none.
    // Nothing reaches the listener once the end has begun.
    void reportIncoming(std::int32_t code, std::uint8_t port);
    void reportOutgoing(std::int32_t code, std::uint8_t port);
    void reportLink(int link, std::int32_t code, std::uint8_t port);

    // Opening ports without holding the worker (link_opening.cpp). A Connect starts an open on a
    // thread of its own; the worker takes the result when woken (collectOpens) and carries on as a
    // Connect did. A lost link is tried again every RetryTicks until it opens, the user
    // disconnects or connects it, or the program ends.
    void connectLink(int link, std::uint8_t port);
    void disconnectLink(int link);
    // True while the link's later commands must wait: its Connect is opening, its owed halts are
    // being confirmed, or it is closing.
    bool linkBusy(int link) const;
    // True when the command was put aside to wait until the link is no longer busy.
    bool deferWhileBusy(int link, std::uint8_t code, std::uint8_t port);
    // Carries out the commands that waited, in order, for as long as the link stays free.
    void runDeferred(int link);
    void startOpen(int link, std::uint8_t port, bool byUser);
    // Takes the result of every open that has finished; called whenever the worker wakes.
    void collectOpens();
    void finishOpen(int link, HANDLE port);
    void startRetrying(int link, std::uint8_t port);
    void stopRetrying(int link);
    // One tick's worth of retrying for the links that were lost.
    void retryLostLinks();
    // The link is open on this handle: the rest of what a Connect does.
    void incomingOpened(HANDLE port, std::uint8_t number);
    void outgoingOpened(HANDLE port, std::uint8_t number);
    // Asks Windows to keep the system awake exactly while a link is open or being reopened.
    void updateAwake();
    // At shutdown: takes the opens that finish before the deadline (steady_clock ticks); a mount
    // port that opens in time is owed its halts. Then leaves the rest to close their own ports.
    void endOpens(std::int64_t deadline);

    // Serial links. openConfigured opens COM<port> and sets its line up, on any thread;
    // INVALID_HANDLE_VALUE when it cannot be opened. refusedSettings, when given, gets the error
    // of a line state the port refused (0 when it took it); the port is opened all the same.
    static HANDLE openConfigured(std::uint8_t port, DWORD* refusedSettings = nullptr);
    bool openIncoming(std::uint8_t port);
    bool openOutgoing(std::uint8_t port);
    // Both close a link without waiting on its line: what it still has to write goes first (the
    // mount's halts, the guider's reply in flight), and the handle goes once that is done and the
    // line has drained, or the write bound has passed; then the close is reported as then says.
    // closeIncoming ends the guider's reader first and waits for it, as it always did.
    void closeIncoming(CloseThen then = CloseQuietly);
    void closeOutgoing(CloseThen then = CloseQuietly);

    // Writes (line_writes.cpp). Replies to the guiding software wait in a short queue while a
    // write to its line is in flight; once the queue is full, the newest are dropped and counted.
    // False when the reply was dropped.
    bool writeIncomingByte(std::uint8_t value);
    bool writeIncomingString(const char* text);
    // Starts the write of a text (at most its first 30 bytes) on the mount's line, which must have
    // no write in flight: false when it has, or the link is closed. The scheduler goes through
    // moveMount and haltMount instead, which keep what cannot go yet.
    bool writeOutgoingString(const char* text);
    // What the mount is to be sent, kept as state while its line is busy (a move of one direction,
    // a halt of an axis). A move marks its axis unhalted as its write starts; only a halt that is
    // done clears it. Nothing happens while the outgoing link is closed.
    void moveMount(std::uint32_t direction);
    // A pulse that ran out: its halt goes after the moves already due, as within one tick.
    void haltMount(std::uint32_t axis);
    // Axes that are owed a halt: it goes before any move, as soon as the line is free.
    void oweHalts(std::uint32_t axes);
    // Halts each axis of the mount that may be moving: one with a pulse running, a move not yet
    // sent, a halt still due or owed. The pulse counters and halt markers stay as they are.
    void haltMovingAxes();
    // The axes (RaAxis, DecAxis) whose pulse the scheduler is still running or has yet to halt.
    std::uint32_t pulsingAxes() const;
    // On every Tick: the halts still owed to the mount that no running pulse will send, whether
    // or not the guider's link is open.
    void oweHaltsOnTick();
    // Takes the writes that have completed, starts what is due next, marks a line whose write
    // outlasts its bound as stalled, and finishes the closes whose time has come. Called whenever
    // the worker wakes; also after every write handed to a line.
    void serviceLines();
    void serviceLine(int link);
    // How long the worker may sleep before serviceLines has something to do by the clock.
    DWORD serviceWaitMs() const;
    // True when no write is in flight or due on either line and no close is under way.
    bool linesIdle() const;
    // The steps of serviceLine: the next write due on the line into its writer (false for none),
    // the start of that write, and what its completion means.
    bool startNext(int link);
    void issue(int link);
    void finishWrite(int link, WriteResult result);
    bool queueReply(const void* bytes, int length);
    // A close: begun, looked at again whenever the worker wakes, and done.
    void beginClose(int link, CloseThen then, std::uint8_t port);
    void progressClose(int link);
    void finishClose(int link, bool drained);
    // A write to the mount that failed outright: closes the outgoing link at once (its device is
    // gone) and reports it closed, then tries it again. Both axes are owed a halt then: a move may
    // have gone out and its halt been lost with the line.
    void loseOutgoing();
    static DWORD WINAPI runIncomingReader(LPVOID self);
    void forwardIncoming(const std::uint8_t* bytes, int count);

    // Mount emulation.
    void parseIncoming(const std::uint8_t* bytes, int length);
    void handleCommand(const std::uint8_t* command, int length);

    // Guide pulse scheduler.
    void processTick();

    // Message writers. writeMessage waits for room in the pipe without holding pipeLock; when
    // abortEvent is given and becomes signalled while it waits, or waitMs has passed, the message
    // is dropped and the result is false.
    void writeCommand(std::uint8_t code);
    void writeCommand(std::uint8_t code, std::uint8_t port);
    // The incoming reader's notice that its line is lost; false when a stop came first.
    bool writeIncomingLost(std::uint32_t opening);
    bool writeMessage(const std::uint8_t* bytes, DWORD length, HANDLE abortEvent = nullptr,
                      DWORD waitMs = INFINITE);

    // --- The record. ---
    TelescopeListener* listener;
    // What passed through: written by the worker only, read by the UI while its log is open. A
    // member, so it outlives the worker.
    EventLog events;
    CRITICAL_SECTION pipeLock;
    HANDLE pipeRead = nullptr;
    HANDLE pipeWrite = nullptr;
    // Auto reset: every producer signals it after writing a message; the worker waits on it
    // whenever it finds the pipe empty, so a message is handled as soon as it is written.
    HANDLE messageEvent = nullptr;
    // Manual reset: set by requestStop; the worker waits on it too, so the end overtakes the pipe.
    HANDLE stopEvent = nullptr;
    HANDLE incomingStopEvent = nullptr;
    HANDLE incomingWriteEvent = nullptr;
    HANDLE outgoingWriteEvent = nullptr;
    DWORD incomingReaderThreadId = 0;
    HANDLE incomingReaderThread = nullptr;
    DWORD pipeReaderThreadId = 0;
    HANDLE pipeReaderThread = nullptr;
    HANDLE incomingPort = nullptr;
    HANDLE outgoingPort = nullptr;
    std::uint8_t incomingOpen = 0;
    // The ports of the links' last openings, for the event log.
    std::uint8_t incomingPortNumber = 0;
    std::uint8_t outgoingPortNumber = 0;
    // Counts the successful incoming opens; a reader keeps the value of its own opening, so that
    // a loss notice of an opening already closed is told apart from one of the link open now.
    std::uint32_t incomingOpening = 0;
    std::uint8_t firstCommandSeen = 0;
    std::int32_t commandCount = 0;
    std::uint8_t outgoingOpen = 0;
    std::int32_t tickDivider = 0;
    std::int32_t northTicks = 0;
    std::int32_t southTicks = 0;
    std::int32_t westTicks = 0;
    std::int32_t eastTicks = 0;
    std::int32_t pipeState = 0;
    std::int32_t pipeReceived = 0;
    std::int32_t pipeExpected = 0;
    std::uint8_t messageBuffer[32];
    std::int32_t parserState = 0;
    std::int32_t commandLength = 0;
    std::uint8_t commandBuffer[52];
    std::uint32_t raStart = 0;
    std::uint32_t raHalt = NoMask;
    std::uint32_t decStart = 0;
    std::uint32_t decHalt = NoMask;
    std::uint32_t displayState = 0;
    std::uint32_t raShowSet = 0;
    std::uint32_t raShowClear = NoMask;
    std::uint32_t decShowSet = 0;
    std::uint32_t decShowClear = NoMask;

    // The axes (RaAxis, DecAxis) that a move set going and that no halt has reached since: each is
    // owed a halt until one is written whole, however the link closes, is lost or opens again.
    std::uint32_t unhalted = 0;
    // The axes whose move has gone to the mount's line since its link last opened. A pulse whose
    // move never reached the mount there is no reason to hold an owed halt back.
    std::uint32_t movedSinceOpen = 0;
    // What is still to go to the mount, in this order: halts owed before any move, the moves due
    // (direction bits), and the halts of pulses that ran out after those moves.
    std::uint32_t haltsFirst = 0;
    std::uint32_t movesDue = 0;
    std::uint32_t haltsAfter = 0;
    // Replies waiting for the guider's line, oldest first, and how many were dropped since the
    // event log last counted them.
    char replyQueue[MaxQueuedReplies][MaxReplyLength] = {};
    std::uint8_t replyLength[MaxQueuedReplies] = {};
    std::int32_t replyHead = 0;
    std::int32_t replyCount = 0;
    std::uint32_t repliesDropped = 0;
    LineWriter lines[2];
    // serviceLines is running; a call from within it (through a report or a command it completes)
    // only asks it to look again.
    bool servicing = false;
    bool serviceAgain = false;
    // How long a write may take before its line counts as stalled; shorter only for fuzzing.
    DWORD writeWaitMs = 1000;

    LinkState links[2];
    // runDeferred is carrying out a link's waiting commands: the one it carries out is not put
    // aside again.
    bool runningDeferred[2] = {false, false};
    // Whether the worker asks Windows to keep the system awake.
    bool keepingAwake = false;

    // Set once the end has begun (shutdown): nothing more is reported, no lost port is retried.
    bool ending = false;
    // Set by the shutdown; the worker leaves its loop once it is carried out.
    bool stopping = false;
    // Set by requestStop, read by the worker between messages.
    std::atomic<bool> stopRequested{false};
    // When the shutdown must be over (steady_clock ticks), set by a bounded requestStop; the
    // largest value for none.
    std::atomic<std::int64_t> stopDeadline{INT64_MAX};
    bool prepared = false;
};
