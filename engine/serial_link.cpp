// Serial links: opening, configuring and closing the two COM ports, the three writes, and the
// incoming reader thread that feeds received bytes into the pipe.
#include <chrono>
#include <cstring>

#include "controller.h"

namespace {

constexpr DWORD PurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD QueueSize = 8096;
constexpr DWORD WriteWaitMs = 1000;
constexpr DWORD CloseWaitMs = 10000;
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

void configurePort(HANDLE device) {
    DCB settings;
    std::memset(&settings, 0, sizeof settings);
    settings.DCBlength = 28;
    GetCommState(device, &settings);
    settings.fParity = 0;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.BaudRate = 9600;
    SetCommState(device, &settings);
    COMMTIMEOUTS timeouts = {1, 0, 0, 0, 0};
    SetCommTimeouts(device, &timeouts);
    SetupComm(device, QueueSize, QueueSize);
    PurgeComm(device, PurgeAll);
}

// Writes bytes and waits for the write at most WriteWaitMs. A write still running then is
// cancelled and waited for, so that no pending I/O outlives this frame's buffer and I/O record.
// The result is false only when the write failed outright: it could not be started, or it ended
// with an error other than our own cancel. That is a device that has gone (an adapter pulled
// out), and the caller hears of it at once; a write that merely did not finish in time (a line
// that takes nothing more) is ended and counts as done.
bool writePort(HANDLE device, HANDLE writeEvent, const void* bytes, DWORD count) {
    ResetEvent(writeEvent);
    OVERLAPPED io;
    std::memset(&io, 0, sizeof io);
    io.hEvent = writeEvent;
    DWORD written = 0;
    if (WriteFile(device, bytes, count, &written, &io)) {
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    const bool cancelled = WaitForSingleObject(writeEvent, WriteWaitMs) != WAIT_OBJECT_0;
    if (cancelled) {
        CancelIo(device);
    }
    if (GetOverlappedResult(device, &io, &written, TRUE)) {
        return true;
    }
    return cancelled && GetLastError() == ERROR_OPERATION_ABORTED;
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
bool writeRecorded(HANDLE device, HANDLE writeEvent, EventLog& events, EventKind kind,
                   const void* bytes, int length) {
    if (!writePort(device, writeEvent, bytes, static_cast<DWORD>(length))) {
        return false;
    }
    events.record(kind, 0, 0, bytes, length);
    return true;
}

} // namespace

bool Controller::openIncoming(std::uint8_t port) {
    incomingPort = openPort(port);
    if (incomingPort == INVALID_HANDLE_VALUE) {
        return false;
    }
    configurePort(incomingPort);
    return true;
}

bool Controller::openOutgoing(std::uint8_t port) {
    outgoingPort = openPort(port);
    if (outgoingPort == INVALID_HANDLE_VALUE) {
        return false;
    }
    configurePort(outgoingPort);
    return true;
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
    PurgeComm(incomingPort, PurgeAll);
    CloseHandle(incomingPort);
    incomingPort = nullptr;
    incomingOpen = 0;
}

void Controller::closeOutgoing() {
    PurgeComm(outgoingPort, PurgeAll);
    CloseHandle(outgoingPort);
    outgoingPort = nullptr;
    outgoingOpen = 0;
}

bool Controller::writeIncomingByte(std::uint8_t value) {
    return writeRecorded(incomingPort, incomingWriteEvent, events, EventReply, &value, 1);
}

bool Controller::writeIncomingString(const char* text) {
    return writeRecorded(incomingPort, incomingWriteEvent, events, EventReply, text,
                         replyLength(text));
}

bool Controller::writeOutgoingString(const char* text) {
    return writeRecorded(outgoingPort, outgoingWriteEvent, events, EventMountWrite, text,
                         replyLength(text));
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
