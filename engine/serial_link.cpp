// Serial links: opening, configuring and closing the two COM ports, the three writes, and the
// incoming reader thread that feeds received bytes into the pipe.
#include <chrono>
#include <cstring>

#include "controller.h"

namespace {

// At open everything on the line is stale: what the last program left in either direction.
constexpr DWORD PurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// At close only what we would still read. Nothing on the transmit side: no write of ours is
// pending by then (each one is finished or cancelled before writePort returns), and Wine renders
// PURGE_TXABORT as a flush of the output, which throws away a halt written a moment ago.
constexpr DWORD PurgeAtClose = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD QueueSize = 8096;
constexpr DWORD CloseWaitMs = 10000;
// How long a close waits for written bytes to leave the line. At 9600 baud the longest thing we
// write, both halts, takes under 9 ms; a line held by flow control would never drain.
constexpr DWORD DrainWaitMs = 250;
constexpr DWORD ReadWaitMs = 200;
// How long the reader rests after a read that failed or came back empty before it tries again.
constexpr DWORD FailedReadRestMs = 200;
// That many such reads in a row, over at least that long, and the line counts as lost.
constexpr int LossReads = 5;
constexpr int LossMs = 1000;
constexpr int ReadBufferSize = 128;
constexpr int MaxReplyLength = 30;

HANDLE openPort(std::uint8_t port) {
    char name[32];
    wsprintfA(name, "\\\\.\\COM%d", static_cast<int>(port));
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// Sets the whole line state, not just its speed and frame: Windows keeps a port's settings across
// opens, so whatever a terminal program left there (flow control that holds every write because
// the mount never raises CTS, abort-on-error that fails every read after one framing error) would
// otherwise be ours too. Returns 0, or the error of a line state the port refused.
DWORD configurePort(HANDLE device) {
    DCB settings;
    std::memset(&settings, 0, sizeof settings);
    settings.DCBlength = 28;
    GetCommState(device, &settings);
    settings.BaudRate = 9600;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = 1;
    settings.fParity = 0;
    settings.fOutxCtsFlow = 0;
    settings.fOutxDsrFlow = 0;
    settings.fDtrControl = DTR_CONTROL_ENABLE; // some adapters and mounts want DTR and RTS up
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fDsrSensitivity = 0;
    settings.fTXContinueOnXoff = 1;
    settings.fOutX = 0;
    settings.fInX = 0;
    settings.fErrorChar = 0;
    settings.fNull = 0;
    settings.fAbortOnError = 0;
    // Unused without XON/XOFF, yet checked: Windows refuses a state whose two characters are the
    // same, as they are in the zeroed one left by a GetCommState that failed.
    settings.XonChar = 0x11;
    settings.XoffChar = 0x13;
    settings.XonLim = 512;
    settings.XoffLim = 512;
    DWORD refused = 0;
    if (!SetCommState(device, &settings)) {
        refused = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    }
    COMMTIMEOUTS timeouts = {1, 0, 0, 0, 0};
    SetCommTimeouts(device, &timeouts);
    SetupComm(device, QueueSize, QueueSize);
    PurgeComm(device, PurgeAll);
    // Clears an error state left from before, which would otherwise hold the first read and write.
    DWORD errors = 0;
    ClearCommError(device, &errors, nullptr);
    return refused;
}

// True when no written byte waits to leave the line, or the device cannot say (it has gone).
bool outputDrained(HANDLE device) {
    DWORD errors = 0;
    COMSTAT state;
    std::memset(&state, 0, sizeof state);
    return !ClearCommError(device, &errors, &state) || state.cbOutQue == 0;
}

// Waits, at most waitMs, for the bytes written to leave the line, so that closing the port does not
// cut off the last command; a line that does not drain in that time is closed anyway. False then.
bool drainPort(HANDLE device, DWORD waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!outputDrained(device)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

// Closes a port without throwing away what was written: the line drains, pending I/O is ended and
// unread input dropped, and the handle goes. False when the line did not drain in time: what it
// still held went with the handle.
bool closePort(HANDLE device, DWORD drainWaitMs) {
    const bool drained = drainPort(device, drainWaitMs);
    PurgeComm(device, PurgeAtClose);
    CloseHandle(device);
    return drained;
}

// Writes bytes and waits for the write at most waitMs. A write still running then is
// cancelled and waited for, so that no pending I/O outlives this frame's buffer and I/O record.
// WriteFailed means the write could not be started or ended with an error other than our own
// cancel: a device that has gone (an adapter pulled out), and the caller hears of it at once.
// WriteTimedOut is a line that took nothing more in time (a mount that stops reading, flow
// control): the caller decides whether the bytes are still due.
WriteResult writePort(HANDLE device, HANDLE writeEvent, const void* bytes, DWORD count,
                      DWORD waitMs) {
    ResetEvent(writeEvent);
    OVERLAPPED io;
    std::memset(&io, 0, sizeof io);
    io.hEvent = writeEvent;
    DWORD written = 0;
    if (WriteFile(device, bytes, count, &written, &io)) {
        return WriteDone;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return WriteFailed;
    }
    const bool cancelled = WaitForSingleObject(writeEvent, waitMs) != WAIT_OBJECT_0;
    if (cancelled) {
        CancelIo(device);
    }
    if (GetOverlappedResult(device, &io, &written, TRUE)) {
        // A cancel that came too late: the write finished after all, but perhaps only in part.
        return written == count ? WriteDone : WriteTimedOut;
    }
    return cancelled && GetLastError() == ERROR_OPERATION_ABORTED ? WriteTimedOut : WriteFailed;
}

// Tells a lost line from a glitch. A healthy line either brings bytes or keeps its read waiting
// for the first one; a device that has gone fails its reads or completes them at once with
// nothing. The line counts as lost after LossReads such reads in a row, with no byte and no
// waiting read between them, spread over at least LossMs.
class LossWatch {
public:
    // A read completed with this many bytes (0 for one that failed); false when it brought none.
    bool took(DWORD count) {
        if (count > 0) {
            idle();
            return true;
        }
        if (bad_ == 0) {
            first_ = std::chrono::steady_clock::now();
        }
        bad_ += 1;
        return false;
    }
    void idle() { bad_ = 0; }
    bool lost() const {
        return bad_ >= LossReads &&
               std::chrono::steady_clock::now() - first_ >= std::chrono::milliseconds(LossMs);
    }

private:
    int bad_ = 0;
    std::chrono::steady_clock::time_point first_;
};

int replyLength(const char* text) {
    int length = 0;
    while (length < MaxReplyLength && text[length] != '\0') {
        ++length;
    }
    return length;
}

// Writes as writePort does and records a write that is done, stamped when it has returned: for a
// command to the mount, as near as this side can tell to when the mount got it.
WriteResult writeRecorded(HANDLE device, HANDLE writeEvent, DWORD waitMs, EventLog& events,
                          EventKind kind, const void* bytes, int length) {
    const WriteResult result =
        writePort(device, writeEvent, bytes, static_cast<DWORD>(length), waitMs);
    if (result == WriteDone) {
        events.record(kind, 0, 0, bytes, length);
    }
    return result;
}

} // namespace

HANDLE Controller::openConfigured(std::uint8_t port, DWORD* refusedSettings) {
    const HANDLE device = openPort(port);
    if (device != INVALID_HANDLE_VALUE) {
        const DWORD refused = configurePort(device);
        if (refusedSettings != nullptr) {
            *refusedSettings = refused;
        }
    }
    return device;
}

bool Controller::openIncoming(std::uint8_t port) {
    incomingPort = openConfigured(port);
    return incomingPort != INVALID_HANDLE_VALUE;
}

bool Controller::openOutgoing(std::uint8_t port) {
    outgoingPort = openConfigured(port);
    return outgoingPort != INVALID_HANDLE_VALUE;
}

void Controller::closeIncoming() {
    SetEvent(incomingStopEvent);
    // The reader never blocks for long (its waits watch the stop event, and it waits for room in
    // the pipe without holding pipeLock), so it always ends; the port is closed only after it has.
    if (WaitForSingleObject(incomingReaderThread, CloseWaitMs) != WAIT_OBJECT_0) {
        WaitForSingleObject(incomingReaderThread, INFINITE);
    }
    CloseHandle(incomingReaderThread);
    incomingReaderThread = nullptr;
    closePort(incomingPort, drainWaitMs()); // a reply just written still goes out
    incomingPort = nullptr;
    incomingOpen = 0;
}

void Controller::closeOutgoing() {
    // A halt just written still goes out. One that a stalled line still held when the wait ran out
    // is lost with the close: both axes are owed a halt again.
    if (!closePort(outgoingPort, drainWaitMs())) {
        unhalted = RaAxis | DecAxis;
    }
    outgoingPort = nullptr;
    outgoingOpen = 0;
}

bool Controller::writeIncomingByte(std::uint8_t value) {
    return writeRecorded(incomingPort, incomingWriteEvent, writeWaitMs, events, EventReply, &value,
                         1) != WriteFailed;
}

bool Controller::writeIncomingString(const char* text) {
    return writeRecorded(incomingPort, incomingWriteEvent, writeWaitMs, events, EventReply, text,
                         replyLength(text)) != WriteFailed;
}

WriteResult Controller::writeOutgoingString(const char* text) {
    const int length = replyLength(text);
    const WriteResult result = writeRecorded(outgoingPort, outgoingWriteEvent, writeWaitMs, events,
                                             EventMountWrite, text, length);
    // ":Mw#" and the like: the letter after the colon says move or halt, the next one the axis.
    if (length == 4 && text[0] == ':') {
        const std::uint32_t axis = text[2] == 'w' || text[2] == 'e' ? RaAxis : DecAxis;
        if (text[1] == 'M') {
            unhalted |= axis; // a move cut off may have gone out in part, or go out still
        } else if (text[1] == 'Q' && result == WriteDone) {
            unhalted &= ~axis;
        }
    }
    return result;
}

DWORD Controller::drainWaitMs() const {
    return writeWaitMs < DrainWaitMs ? writeWaitMs : DrainWaitMs;
}

bool Controller::outgoingQueueEmpty() {
    return outputDrained(outgoingPort);
}

DWORD WINAPI Controller::runIncomingReader(LPVOID self) {
    Controller* controller = static_cast<Controller*>(self);
    // Set before this thread was started and not changed until it has ended.
    const std::uint32_t opening = controller->incomingOpening;
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED io;
    std::memset(&io, 0, sizeof io);
    io.hEvent = readEvent;
    std::uint8_t buffer[ReadBufferSize];
    const HANDLE waitOn[2] = {readEvent, controller->incomingStopEvent};
    bool pending = false;
    bool rest = false;
    LossWatch watch;

    for (;;) {
        if (rest) {
            // A read that failed or came back empty: tried again after a rest instead of at full
            // speed, unless the line counts as lost by now. The rest still ends at once on a stop.
            rest = false;
            if (watch.lost()) {
                controller->writeIncomingLost(opening);
                break;
            }
            if (WaitForSingleObject(controller->incomingStopEvent, FailedReadRestMs) ==
                WAIT_OBJECT_0) {
                break;
            }
        }
        if (!pending) {
            DWORD got = 0;
            if (ReadFile(controller->incomingPort, buffer, ReadBufferSize, &got, &io)) {
                rest = !watch.took(got);
                controller->forwardIncoming(buffer, static_cast<int>(got));
                // A line that keeps every read completing at once must not keep a stop waiting.
                if (WaitForSingleObject(controller->incomingStopEvent, 0) == WAIT_OBJECT_0) {
                    break;
                }
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING) {
                rest = !watch.took(0);
                continue;
            }
            pending = true;
        }
        const DWORD woke = WaitForMultipleObjects(2, waitOn, FALSE, ReadWaitMs);
        if (woke == WAIT_OBJECT_0) {
            DWORD got = 0;
            if (GetOverlappedResult(controller->incomingPort, &io, &got, FALSE)) {
                pending = false;
                rest = !watch.took(got);
                controller->forwardIncoming(buffer, static_cast<int>(got));
            } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
                // Completed with an error: forward nothing.
                pending = false;
                rest = !watch.took(0);
            }
        } else if (woke == WAIT_OBJECT_0 + 1) {
            break;
        } else if (woke == WAIT_TIMEOUT) {
            // A read that waits for its first byte is what a healthy idle line looks like.
            watch.idle();
        }
    }
    if (pending) {
        // The buffer and the I/O record live in this frame: end the read before they go.
        DWORD got = 0;
        CancelIo(controller->incomingPort);
        GetOverlappedResult(controller->incomingPort, &io, &got, TRUE);
    }
    CloseHandle(readEvent);
    return 0;
}

void Controller::forwardIncoming(const std::uint8_t* bytes, int count) {
    while (count > 0) {
        const int chunk = count < MaxPayload ? count : MaxPayload;
        std::uint8_t message[MaxPayload + 1];
        message[0] = static_cast<std::uint8_t>(HeaderMarker | (ClassIncomingData << 5) | chunk);
        std::memcpy(message + 1, bytes, static_cast<std::size_t>(chunk));
        // While the pipe is full the reader waits for room, but gives up at once on a stop: the
        // link is closing and the worker would drop these bytes anyway.
        if (!writeMessage(message, static_cast<DWORD>(chunk + 1), incomingStopEvent)) {
            return;
        }
        bytes += chunk;
        count -= chunk;
    }
}
