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

// What the worker knows of one link besides its port: the open under way, and whether it was lost
// and is being reopened by itself.
struct LinkState {
    // The open under way, if any, and whether it is the user's Connect (whose link's later commands
    // wait for it, so that statuses keep their order) or one of the retries after a loss.
    OpenJob* job = nullptr;
    bool jobByUser = false;
    std::uint8_t jobPort = 0;
    // Lost, not disconnected: the port is tried again every RetryTicks until it opens.
    bool retrying = false;
    std::uint8_t retryPort = 0;
    std::int32_t retryTicks = 0;
    // Commands for this link that came while its Connect was opening, in order; a command that
    // repeats the one before it only counts it again, so that a burst of clicks takes one entry.
    // Room for far more changes of mind than a person can click while a port opens.
    struct Deferred {
        std::uint8_t code = 0;
        std::uint8_t port = 0;
        std::int32_t times = 0;
    };
    static constexpr int MaxDeferred = 256;
    Deferred deferred[MaxDeferred] = {};
    std::int32_t deferredCount = 0;
};

// Ticks between two tries to reopen a lost port: about a second.
constexpr std::int32_t RetryTicks = 10;

// The pipe's buffer size. Producers never write a message that would not fit in it.
constexpr DWORD PipeBufferSize = 4096;

class Controller : public iHeartBeatListener {
public:
    explicit Controller(TelescopeListener* listener);
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

    // Queues a shutdown behind everything already in the pipe and waits for the worker to carry it
    // out: halts any axis that may be moving on an open outgoing link, closes both links, ends the
    // worker and joins it. Called from the UI thread, after the heartbeat stopped ticking. With a
    // bound, waits at most that long (Windows ending the session gives the program only so long)
    // and says whether the worker has ended; a later call waits for the rest. The shutdown itself
    // keeps within the bound: it halts first, and waits for opens under way only as long as the
    // bound leaves.
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
    void reportIncoming(std::int32_t code, std::uint8_t port);
    void reportOutgoing(std::int32_t code, std::uint8_t port);
    void reportLink(int link, std::int32_t code, std::uint8_t port);

    // Opening ports without holding the worker (link_opening.cpp). A Connect starts an open on a
    // thread of its own; the worker takes the result when woken (collectOpens) and carries on as a
    // Connect did. A lost link is tried again every RetryTicks until it opens, the user
    // disconnects or connects it, or the program ends.
    void connectLink(int link, std::uint8_t port);
    void disconnectLink(int link);
    // True when the command was put aside to wait for the link's Connect that is opening.
    bool deferWhileOpening(int link, std::uint8_t code, std::uint8_t port);
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
    // At shutdown: waits for opens under way until the deadline (steady_clock ticks), then leaves
    // them to close their own ports. A mount port that opens in time is halted first.
    void endOpens(std::int64_t deadline);

    // Serial links. openConfigured opens COM<port> and sets its line up, on any thread;
    // INVALID_HANDLE_VALUE when it cannot be opened. refusedSettings, when given, gets the error
    // of a line state the port refused (0 when it took it); the port is opened all the same.
    static HANDLE openConfigured(std::uint8_t port, DWORD* refusedSettings = nullptr);
    bool openIncoming(std::uint8_t port);
    bool openOutgoing(std::uint8_t port);
    void closeIncoming();
    void closeOutgoing();
    // Replies to the guiding software and commands to the mount. A reply is false when its write
    // failed outright (the device is gone); one that merely did not finish within its bound is
    // ended and counts as done. Each write that is done goes into the event log once it has
    // returned. A move to the mount marks its axis unhalted, whatever came of the write; only a
    // halt that is done clears it.
    bool writeIncomingByte(std::uint8_t value);
    bool writeIncomingString(const char* text);
    WriteResult writeOutgoingString(const char* text);
    // Halts each axis of the mount that may be moving: one with a pulse running, a move not yet
    // sent or a halt still due. The pulse counters and halt markers stay as they are. A halt that
    // fails outright closes the link as loseOutgoing does, unless report is false (at shutdown,
    // when nobody is listening). Nothing happens while the outgoing link is closed.
    void haltMovingAxes(bool report = true);
    // The axes (RaAxis, DecAxis) whose pulse the scheduler is still running or has yet to halt.
    std::uint32_t pulsingAxes() const;
    // Writes the halt of each of the axes on the open outgoing link, right ascension first. After
    // a halt that timed out, the next is written only once the line has taken what it held. False
    // when a halt failed outright: the device is gone, and the caller closes the link.
    bool writeHalts(std::uint32_t axes);
    // On every Tick: the halts still owed to the mount that no running pulse will send, once its
    // line has room, whether or not the guider's link is open.
    void writeOwedHalts();
    // True when the mount's line holds no written byte that has yet to leave (or cannot say).
    bool outgoingQueueEmpty();
    // How long a close waits for what was written to leave the line.
    DWORD drainWaitMs() const;
    // A write to the mount that failed outright: closes the outgoing link as a disconnect does and
    // reports it closed. Both axes are owed a halt then: a move may have gone out and its halt
    // been lost with the line.
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
    // How long a write to a port may take before it is cut off; shorter only for fuzzing.
    DWORD writeWaitMs = 1000;

    LinkState links[2];
    // Whether the worker asks Windows to keep the system awake.
    bool keepingAwake = false;

    // Set by the shutdown command; the worker leaves its loop once it is carried out.
    bool stopping = false;
    // Set by the UI thread when it has queued the shutdown, so that it is queued once.
    bool shutdownQueued = false;
    // When the shutdown must be over (steady_clock ticks), set by a bounded stop(); the largest
    // value for none.
    std::atomic<std::int64_t> stopDeadline{INT64_MAX};
    bool prepared = false;
};
