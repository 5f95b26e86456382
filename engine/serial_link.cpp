// Serial links: opening and configuring the two COM ports, and the incoming reader thread that
// feeds received bytes into the pipe. Writes and closes are in line_writes.cpp.
#include <chrono>
#include <cstring>

#include "controller.h"

namespace {

// At open, what waits to be read is stale: the far end's bytes from before. Nothing on the transmit
// side: a handle just opened has written nothing, so all a transmit purge could reach is what the
// last handle wrote and the line has not yet carried, the halts of our own close among them (Wine
// renders both transmit flags as a flush of the tty's output, which on a pty still holds them).
constexpr DWORD PurgeAtOpen = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD QueueSize = 8096;
constexpr DWORD ReadWaitMs = 200;
// How long the reader rests after a read that failed or came back empty before it tries again.
constexpr DWORD FailedReadRestMs = 200;
// That many such reads in a row, over at least that long, and the line counts as lost.
constexpr int LossReads = 5;
constexpr int LossMs = 1000;
constexpr int ReadBufferSize = 128;

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
    PurgeComm(device, PurgeAtOpen);
    // Clears an error state left from before, which would otherwise hold the first read and write.
    DWORD errors = 0;
    ClearCommError(device, &errors, nullptr);
    return refused;
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
