// POSIX layer serial devices: \\.\COMn on ptys/ttys, termios settings, overlapped I/O, and a
// transmit queue that the device's I/O thread empties at the line rate.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/posix/win32_posix.h"
#include "platform/posix/win32_posix_internal.h"

namespace win32_posix {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Read interval timeouts shorter than this are lengthened to it. Windows' own timer granularity
// (10-16 ms) does the same in practice; it keeps a burst that the kernel hands over in pieces in
// one read.
constexpr DWORD MinimumIntervalMs = 10;

// The transmit queue of a device: the buffer of a USB serial adapter's chip, which takes a write
// at once and puts its bytes on the line at the line rate. Such chips hold a few hundred bytes;
// with 256 the engine's commands, a few bytes each, never wait for room on a line that moves, and
// a line that does not move fills it within a few dozen of them.
constexpr std::size_t TxCapacity = 256;
// The first bytes of the queue are in the UART's transmitter itself (its holding and shift
// registers), where ClearCommError does not count them, as under Wine (whose cbOutQue comes from
// TIOCOUTQ) and as with many adapters: cbOutQue reaches 0 while they are still to go. A transmit
// purge throws them away with the rest, as Wine's flush of the output does; closing the handle
// lets them finish.
constexpr std::size_t TransmitterBytes = 2;

// What a device keeps from one handle to the next, as Windows keeps a port's settings across
// opens: the DCB as last set. termios holds the speed, the frame, parity checking and XON/XOFF;
// the other fields (DTR and RTS control, CTS and DSR flow, fAbortOnError, ...) live only here.
// One record per device, found by st_rdev. node refers to the device node the record was made
// for: when a pty ends, its node is unlinked, and a new pty that gets the same number has a new
// node, so it is a new device with fresh settings.
struct Settings {
    Settings() = default;
    ~Settings() {
        if (node >= 0) {
            close(node);
        }
    }
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;
    int node = -1; // O_PATH
    DCB dcb{};
    // Faults set by tests: a line stalled for good (the far end has stopped reading and the
    // adapter's queue is full: writes wait, and nothing leaves); GetCommState fails.
    bool lineHeld = false;
    bool stateUnreadable = false;
    // The wake-up pipes of the handles open on the device, so that a change reaches them at once.
    std::vector<int> wakes;
};

// The records of the devices seen, and the test hook's open delays; guarded by bigLock(). Never
// destroyed, like the lock.
std::map<dev_t, std::shared_ptr<Settings>>& knownDevices() {
    static auto* known = new std::map<dev_t, std::shared_ptr<Settings>>;
    return *known;
}
std::map<long, DWORD>& openDelays() {
    static auto* delays = new std::map<long, DWORD>;
    return *delays;
}

// A freshly booted Windows port's settings.
DCB freshDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// The settings record of the device open on fd, made fresh for a device not seen before. Records
// of devices that have gone are dropped here. Called with the lock held.
std::shared_ptr<Settings> settingsFor(int fd) {
    auto& known = knownDevices();
    for (auto it = known.begin(); it != known.end();) {
        struct stat node {};
        const int nodeFd = it->second->node;
        if (nodeFd >= 0 && (fstat(nodeFd, &node) != 0 || node.st_nlink == 0)) {
            it = known.erase(it);
        } else {
            ++it;
        }
    }
    struct stat device {};
    if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
        auto settings = std::make_shared<Settings>(); // not a device: nothing to keep
        settings->dcb = freshDcb();
        return settings;
    }
    std::shared_ptr<Settings>& slot = known[device.st_rdev];
    if (slot == nullptr) {
        slot = std::make_shared<Settings>();
        slot->dcb = freshDcb();
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        slot->node = open(self.c_str(), O_PATH | O_CLOEXEC); // -1: known by st_rdev alone
    }
    return slot;
}

// One read or write. The layer works on its own copy of the bytes (like Windows' buffered serial
// I/O): a read's bytes are copied to the caller's buffer only when it completes, a write's are
// copied when it starts. The caller's OVERLAPPED is written when the operation starts and when it
// completes, never afterwards.
struct Op {
    bool isRead = false;
    OVERLAPPED* ov = nullptr;
    BYTE* userBuffer = nullptr; // reads only
    std::vector<BYTE> data;
    DWORD done = 0;
    Event* event = nullptr;   // retained while the operation lives
    bool armed = false;       // its timers run: it is at the head of its queue
    bool returnOnAny = false; // complete as soon as any byte has arrived
    bool hasTotal = false;
    Clock::time_point totalDeadline;
    DWORD intervalMs = 0; // 0: no interval timeout
    Clock::time_point intervalDeadline;
};

enum class Step { Pending, Done, Failed };

struct Device : Object {
    Device() : Object(Kind::Device) {}
    int fd = -1;
    int wake[2] = {-1, -1}; // written to make the I/O thread look at its queues again
    std::thread io;
    bool closing = false;
    COMMTIMEOUTS timeouts{};
    std::shared_ptr<Settings> settings;
    std::deque<std::unique_ptr<Op>> reads, writes; // the head of each is the one in progress
    // The transmit queue: a write is done once its bytes are in here. Each byte keeps the time it
    // came, from which its time on the line is counted.
    struct Queued {
        BYTE byte;
        Clock::time_point at;
    };
    std::deque<Queued> tx;
    Clock::duration byteTime{}; // one byte on the line: start, data, parity and stop bits
    Clock::time_point lineFree; // when the last byte sent had left: the next one may start
    bool fdFull = false;        // the fd took no more: the queue waits for POLLOUT
    bool lineEnded = false;     // the far side has closed or the device has gone
};

// The emulated far end never raises CTS or DSR (a pty has no modem lines; the mount ignores
// them), so with either flow control on, nothing leaves the queue. A real tty's lines are not
// read either.
bool heldByFlow(const Device* device) {
    return device->settings->dcb.fOutxCtsFlow || device->settings->dcb.fOutxDsrFlow;
}

// Off only for fuzzing, where the time on the line would be most of every run.
std::atomic<bool> linePaced{true};

Clock::duration byteTimeOf(const DCB& dcb) {
    if (!linePaced.load(std::memory_order_relaxed)) {
        return Clock::duration::zero();
    }
    const long long bits =
        1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) + (dcb.StopBits == ONESTOPBIT ? 1 : 2);
    const long long baud = dcb.BaudRate != 0 ? dcb.BaudRate : CBR_9600;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(bits * 1000000000LL / baud));
}

void wakeLocked(Device* device) {
    const char byte = 1;
    // The pipe is non-blocking: when it is full, the thread has a wake-up pending anyway.
    [[maybe_unused]] ssize_t ignored = write(device->wake[1], &byte, 1);
}

// Starts the timers of the operation that has reached the head of its queue.
void arm(Device* device, Op& op, Clock::time_point now) {
    op.armed = true;
    const COMMTIMEOUTS& t = device->timeouts;
    const std::uint64_t length = op.data.size();
    std::uint64_t total = 0;
    if (op.isRead) {
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            op.returnOnAny = true; // return at once with whatever is there, possibly nothing
            return;
        }
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            op.returnOnAny = true; // return as soon as a byte is there, or after the constant
            total = t.ReadTotalTimeoutConstant;
        } else {
            if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
                op.intervalMs = std::max(t.ReadIntervalTimeout, MinimumIntervalMs);
            }
            total =
                std::uint64_t(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
        }
    } else {
        total = std::uint64_t(t.WriteTotalTimeoutMultiplier) * length + t.WriteTotalTimeoutConstant;
    }
    if (total != 0) {
        op.hasTotal = true;
        op.totalDeadline = now + Millis(std::min<std::uint64_t>(total, 0xFFFFFFFFu));
    }
}

// Moves bytes for the operation at the head of its queue: a read's from the fd, a write's into the
// transmit queue. hangUp: poll() reported POLLHUP/POLLERR, so "no bytes now" means "no bytes ever"
// (a vanished device must not keep a read pending).
Step step(Device* device, Op& op, Clock::time_point now, bool hangUp) {
    const DWORD length = static_cast<DWORD>(op.data.size());
    if (!op.isRead) {
        if (device->lineEnded) {
            return Step::Failed;
        }
        const std::size_t room = device->settings->lineHeld ? 0 : TxCapacity - device->tx.size();
        const DWORD take = static_cast<DWORD>(std::min<std::size_t>(room, length - op.done));
        for (DWORD i = 0; i < take; ++i) {
            device->tx.push_back({op.data[op.done + i], now});
        }
        op.done += take;
    }
    while (op.isRead && op.done < length) {
        const ssize_t moved = read(device->fd, op.data.data() + op.done, length - op.done);
        if (moved > 0) {
            op.done += static_cast<DWORD>(moved);
            if (op.intervalMs != 0) {
                op.intervalDeadline = now + Millis(op.intervalMs);
            }
            continue;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !hangUp) {
            break;
        }
        // An error, end of file (read 0) or a hang-up: hand over what came, else fail.
        return op.done > 0 ? Step::Done : Step::Failed;
    }
    if (op.done == length) {
        return Step::Done;
    }
    if (op.returnOnAny && (op.done > 0 || !op.hasTotal)) {
        return Step::Done;
    }
    if (op.intervalMs != 0 && op.done > 0 && now >= op.intervalDeadline) {
        return Step::Done;
    }
    if (op.hasTotal && now >= op.totalDeadline) {
        return Step::Done; // a time-out is a success with fewer bytes, as on Windows
    }
    return Step::Pending;
}

// How a read or a write fails that the line has ended (a pty whose far side has closed reads end
// of file and writes EIO; a serial device that has gone fails both): as a vanished device does
// under Windows, a read with ERROR_BROKEN_PIPE, a write with ERROR_NOT_READY.
ULONG_PTR failureStatus(const Op& op) {
    return op.isRead ? STATUS_PIPE_BROKEN : STATUS_DEVICE_NOT_READY;
}

// Ends an operation: hands over its bytes and status, signals its event (unless told not to).
void finishLocked(Op& op, ULONG_PTR status, bool signal) {
    if (op.isRead && op.done > 0) {
        std::memcpy(op.userBuffer, op.data.data(), op.done);
    }
    op.ov->Internal = status;
    op.ov->InternalHigh = op.done;
    if (op.event != nullptr) {
        if (signal) {
            setEventLocked(op.event);
        }
        releaseLocked(op.event);
        op.event = nullptr;
    }
    changed().notify_all();
}

void cancelLocked(Device* device, std::deque<std::unique_ptr<Op>>& queue) {
    for (auto& op : queue) {
        finishLocked(*op, STATUS_CANCELLED, true);
    }
    queue.clear();
    wakeLocked(device);
}

// The line has ended: the queued bytes are lost, and pending writes fail as a vanished device's
// do, however many of their bytes had been queued.
void endLineLocked(Device* device) {
    device->lineEnded = true;
    device->tx.clear();
    for (auto& op : device->writes) {
        finishLocked(*op, STATUS_DEVICE_NOT_READY, true);
    }
    device->writes.clear();
}

// Whether the line has ended, asking the fd when nothing has told yet.
bool lineEndedLocked(Device* device) {
    if (!device->lineEnded) {
        pollfd p{device->fd, 0, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            endLineLocked(device);
        }
    }
    return device->lineEnded;
}

// When the byte at the head of the queue is through on the line; max() while nothing can go. A line
// that a test stalls is looked at again every few milliseconds, since nothing wakes it when let go.
Clock::time_point nextLeave(const Device* device) {
    if (device->settings->lineHeld && (!device->tx.empty() || !device->writes.empty())) {
        return Clock::now() + Millis(5);
    }
    if (device->tx.empty() || device->fdFull || device->lineEnded || heldByFlow(device)) {
        return Clock::time_point::max();
    }
    return std::max(device->lineFree, device->tx.front().at) + device->byteTime;
}

// Puts on the line the queued bytes whose time has come. A byte leaves one byte time after the
// previous one has left or after it came, whichever is later: the schedule is absolute, so a late
// wake-up sends all that is due at once and a burst does not drift. Bytes the fd does not take
// stay queued until it has room.
void transmitLocked(Device* device, Clock::time_point now) {
    if (nextLeave(device) > now || device->settings->lineHeld) {
        return;
    }
    BYTE out[TxCapacity];
    Clock::time_point leaves[TxCapacity];
    std::size_t due = 0;
    Clock::time_point free = device->lineFree;
    for (const Device::Queued& queued : device->tx) {
        const Clock::time_point leave = std::max(free, queued.at) + device->byteTime;
        if (leave > now) {
            break;
        }
        out[due] = queued.byte;
        leaves[due] = free = leave;
        ++due;
    }
    ssize_t put = -1;
    do {
        put = write(device->fd, out, due);
    } while (put < 0 && errno == EINTR);
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        endLineLocked(device);
        return;
    }
    if (put > 0) {
        device->tx.erase(device->tx.begin(), device->tx.begin() + put);
        device->lineFree = leaves[put - 1];
    }
    device->fdFull = put < static_cast<ssize_t>(due);
}

// Completes what can be completed at the head of a queue, in order.
void pump(Device* device, std::deque<std::unique_ptr<Op>>& queue, Clock::time_point now,
          bool hangUp) {
    while (!queue.empty()) {
        Op& op = *queue.front();
        if (!op.armed) {
            arm(device, op, now);
        }
        const Step result = step(device, op, now, hangUp);
        if (result == Step::Pending) {
            return;
        }
        finishLocked(op, result == Step::Done ? STATUS_SUCCESS : failureStatus(op), true);
        queue.pop_front();
    }
}

// Milliseconds until the earliest timer of the operations in progress or the next byte's time on
// the line; -1 when there is none.
int nextTimeout(Device* device, Clock::time_point now) {
    Clock::time_point earliest = nextLeave(device);
    for (auto* queue : {&device->reads, &device->writes}) {
        if (queue->empty()) {
            continue;
        }
        const Op& op = *queue->front();
        if (op.hasTotal) {
            earliest = std::min(earliest, op.totalDeadline);
        }
        if (op.intervalMs != 0 && op.done > 0) {
            earliest = std::min(earliest, op.intervalDeadline);
        }
    }
    if (earliest == Clock::time_point::max()) {
        return -1;
    }
    if (earliest <= now) {
        return 0;
    }
    const auto wait = std::chrono::ceil<Millis>(earliest - now).count();
    return static_cast<int>(std::min<long long>(wait, 1 << 30));
}

// The device's I/O thread: carries pending operations forward and puts queued bytes on the line
// whenever the line or a timer allows.
void runIo(Device* device) {
    std::unique_lock<std::mutex> held(bigLock());
    bool hangUp = false;
    while (!device->closing) {
        const Clock::time_point now = Clock::now();
        if (hangUp) {
            endLineLocked(device);
        }
        transmitLocked(device, now);
        pump(device, device->reads, now, hangUp);
        pump(device, device->writes, now, hangUp); // into the room the line has made
        hangUp = false;
        pollfd fds[2] = {{device->wake[0], POLLIN, 0}, {-1, 0, 0}};
        if (!device->reads.empty() || !device->writes.empty() || !device->tx.empty()) {
            // The fd is watched only while there is work: a hung-up fd would report POLLHUP for
            // ever.
            fds[1].fd = device->fd;
            fds[1].events = static_cast<short>((device->reads.empty() ? 0 : POLLIN) |
                                               (device->fdFull ? POLLOUT : 0));
        }
        const int timeout = nextTimeout(device, now);
        held.unlock();
        poll(fds, 2, timeout);
        held.lock();
        if ((fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (read(device->wake[0], drain, sizeof drain) > 0) {
            }
        }
        hangUp = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if ((fds[1].revents & POLLOUT) != 0 && device->fdFull) {
            device->fdFull = false; // the line goes on from now
            device->lineFree = std::max(device->lineFree, Clock::now());
        }
    }
}

DWORD errorFromStatus(ULONG_PTR status) {
    switch (status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_PIPE_BROKEN:
        return ERROR_BROKEN_PIPE;
    case STATUS_DEVICE_NOT_READY:
        return ERROR_NOT_READY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

Device* findDevice(HANDLE handle) {
    return static_cast<Device*>(findLocked(handle, Kind::Device));
}

// Starts a read or a write; completes it at once when it can, else queues it for the I/O thread.
BOOL startLocked(Device* device, std::unique_ptr<Op> op, LPDWORD count,
                 std::unique_lock<std::mutex>& held) {
    OVERLAPPED local{}; // synchronous use (no OVERLAPPED given): wait below
    const bool synchronous = op->ov == nullptr;
    if (synchronous) {
        op->ov = &local;
    }
    OVERLAPPED* ov = op->ov;
    if (count != nullptr) {
        *count = 0;
    }
    if (!synchronous && ov->hEvent != nullptr) {
        op->event = static_cast<Event*>(findLocked(ov->hEvent, Kind::Event));
        if (op->event == nullptr) {
            return FALSE;
        }
        op->event->signalled = false; // reset when the I/O starts, as Windows does
        retainLocked(op->event);
    }
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (!op->isRead && lineEndedLocked(device)) {
        finishLocked(*op, STATUS_DEVICE_NOT_READY, false); // as a failure below: event left alone
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    auto& queue = op->isRead ? device->reads : device->writes;
    if (queue.empty()) {
        const Clock::time_point now = Clock::now();
        arm(device, *op, now);
        const Step result = step(device, *op, now, false);
        if (!op->isRead) {
            wakeLocked(device); // to put the queued bytes on the line
        }
        if (result == Step::Done) {
            finishLocked(*op, STATUS_SUCCESS, true);
            if (count != nullptr) {
                *count = static_cast<DWORD>(ov->InternalHigh);
            }
            return TRUE;
        }
        if (result == Step::Failed) {
            // Failed at once (e.g. the device has vanished): the event is left alone.
            const ULONG_PTR status = failureStatus(*op);
            finishLocked(*op, status, false);
            SetLastError(errorFromStatus(status));
            return FALSE;
        }
    }
    queue.push_back(std::move(op));
    wakeLocked(device);
    if (!synchronous) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    while (local.Internal == STATUS_PENDING) {
        changed().wait(held);
    }
    if (count != nullptr) {
        *count = static_cast<DWORD>(local.InternalHigh);
    }
    if (local.Internal != STATUS_SUCCESS) {
        SetLastError(errorFromStatus(local.Internal));
        return FALSE;
    }
    return TRUE;
}

struct Speed {
    DWORD baud;
    speed_t code;
};
constexpr Speed Speeds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

// "\\.\COMn" (COM in any case, n decimal without leading zeros) -> n; -1 for anything else.
long portNumber(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) != 0 || strncasecmp(name + 4, "COM", 3) != 0) {
        return -1;
    }
    const char* digits = name + 7;
    const std::size_t length = std::strlen(digits);
    if (length == 0 || length > 5 || (digits[0] == '0' && length > 1) ||
        std::strspn(digits, "0123456789") != length) {
        return -1;
    }
    return std::strtol(digits, nullptr, 10);
}

// The device's settings as GetCommState reports them: what termios holds read from termios, the
// rest as last set. Called with the lock held.
BOOL currentStateLocked(Device* device, DCB* out) {
    termios t{};
    if (tcgetattr(device->fd, &t) != 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    DCB dcb = device->settings->dcb;
    dcb.DCBlength = sizeof(DCB);
    const speed_t speed = cfgetospeed(&t);
    for (const Speed& s : Speeds) {
        if (s.code == speed) {
            dcb.BaudRate = s.baud;
        }
    }
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    dcb.Parity = (t.c_cflag & PARENB) == 0   ? NOPARITY
                 : (t.c_cflag & PARODD) != 0 ? ODDPARITY
                                             : EVENPARITY;
    dcb.StopBits = (t.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fParity = (t.c_iflag & INPCK) != 0;
    dcb.fOutX = (t.c_iflag & IXON) != 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    *out = dcb;
    return TRUE;
}

// The line rate follows the settings in force (on a pty, whose driver forces 8 data bits and no
// parity, the frame as the pty holds it).
void updateByteTimeLocked(Device* device) {
    DCB dcb{};
    if (!currentStateLocked(device, &dcb)) {
        dcb = device->settings->dcb;
    }
    device->byteTime = byteTimeOf(dcb);
}

} // namespace

void setLinePacingForTesting(bool paced) {
    linePaced.store(paced, std::memory_order_relaxed);
}

void setDeviceFaultsForTesting(int port, bool lineHeld, bool stateUnreadable) {
    const char* folder = std::getenv("BRIDGE_COM_DIR");
    const std::string path =
        std::string(folder != nullptr ? folder : "") + "/com" + std::to_string(port);
    const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(bigLock());
        const std::shared_ptr<Settings> settings = settingsFor(fd);
        settings->lineHeld = lineHeld;
        settings->stateUnreadable = stateUnreadable;
        for (const int wake : settings->wakes) {
            const char byte = 1;
            [[maybe_unused]] ssize_t ignored = write(wake, &byte, 1);
        }
    }
    close(fd);
}

void setOpenDelayForTesting(int port, DWORD ms) {
    std::lock_guard<std::mutex> held(bigLock());
    if (ms == 0) {
        openDelays().erase(port);
    } else {
        openDelays()[port] = ms;
    }
}

// What is still queued goes with the handle, as with an adapter whose handle closes, but for the
// bytes already in the transmitter: a program that wants its last bytes out waits for
// ClearCommError's cbOutQue to reach 0 first.
BOOL closeDevice(Object* object, std::unique_lock<std::mutex>& held) {
    auto* device = static_cast<Device*>(object);
    device->closing = true;
    auto& wakes = device->settings->wakes;
    wakes.erase(std::remove(wakes.begin(), wakes.end(), device->wake[1]), wakes.end());
    cancelLocked(device, device->reads);
    cancelLocked(device, device->writes);
    // On an unpaced line every queued byte counts as in the transmitter: none takes time there.
    std::vector<BYTE> sending;
    if (!device->lineEnded && !heldByFlow(device) && !device->settings->lineHeld) {
        const std::size_t going =
            device->byteTime > Clock::duration::zero() ? TransmitterBytes : device->tx.size();
        for (std::size_t i = 0; i < going && i < device->tx.size(); ++i) {
            sending.push_back(device->tx[i].byte);
        }
    }
    held.unlock();
    device->io.join();
    if (!sending.empty()) {
        [[maybe_unused]] ssize_t ignored = write(device->fd, sending.data(), sending.size());
    }
    close(device->fd); // also releases the exclusive lock
    close(device->wake[0]);
    close(device->wake[1]);
    delete device;
    return TRUE;
}

BOOL deviceReadLocked(Object* object, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov,
                      std::unique_lock<std::mutex>& held) {
    auto op = std::make_unique<Op>();
    op->isRead = true;
    op->ov = ov;
    op->userBuffer = static_cast<BYTE*>(buffer);
    op->data.resize(count);
    return startLocked(static_cast<Device*>(object), std::move(op), done, held);
}

BOOL deviceWriteLocked(Object* object, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov,
                       std::unique_lock<std::mutex>& held) {
    auto op = std::make_unique<Op>();
    op->ov = ov;
    const auto* bytes = static_cast<const BYTE*>(buffer);
    op->data.assign(bytes, bytes + count);
    return startLocked(static_cast<Device*>(object), std::move(op), done, held);
}

} // namespace win32_posix

using namespace win32_posix;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
    const char* folder = std::getenv("BRIDGE_COM_DIR");
    const long port = lpFileName != nullptr ? portNumber(lpFileName) : -1;
    if (port < 0 || folder == nullptr || *folder == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD delay = 0;
    {
        std::lock_guard<std::mutex> held(bigLock());
        const auto found = openDelays().find(port);
        delay = found != openDelays().end() ? found->second : 0;
    }
    if (delay != 0) {
        Sleep(delay); // without the lock: a slow open holds up no one else
    }
    const std::string path = std::string(folder) + "/com" + std::to_string(port);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive, like a Windows serial device (flock rather than TIOCEXCL, which root bypasses).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    auto* device = new Device;
    device->fd = fd;
    if (pipe2(device->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        delete device;
        SetLastError(errorFromErrno(error));
        return INVALID_HANDLE_VALUE;
    }
    {
        // The settings that termios cannot hold are the device's, as its last handle left them.
        std::lock_guard<std::mutex> held(bigLock());
        device->settings = settingsFor(fd);
        updateByteTimeLocked(device);
    }
    try {
        device->io = std::thread(runIo, device);
    } catch (const std::system_error&) {
        close(fd);
        close(device->wake[0]);
        close(device->wake[1]);
        delete device;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> held(bigLock());
    registerLocked(device);
    device->settings->wakes.push_back(device->wake[1]);
    return device;
}

// Reads the line settings from termios; the fields termios has no place for are the last ones set.
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device != nullptr && device->settings->stateUnreadable) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return device != nullptr ? currentStateLocked(device, lpDCB) : FALSE;
}

// Puts the line in raw mode and applies speed, frame, parity checking and flow control, and keeps
// the whole DCB with the device. fAbortOnError is kept and reported only: a pty cannot produce the
// framing, parity or overrun errors that would make it abort anything.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device == nullptr) {
        return FALSE;
    }
    const DCB& dcb = *lpDCB;
    const Speed* speed = nullptr;
    for (const Speed& s : Speeds) {
        if (s.baud == dcb.BaudRate) {
            speed = &s;
        }
    }
    // Windows refuses the same character for XON and XOFF even while neither is used.
    if (speed == nullptr || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > EVENPARITY ||
        dcb.StopBits > TWOSTOPBITS || dcb.XonChar == dcb.XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    termios t{};
    if (tcgetattr(device->fd, &t) != 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    cfmakeraw(&t);
    t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY); // set below from the DCB; cfmakeraw keeps some
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed->code);
    cfsetospeed(&t, speed->code);
    static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | Sizes[dcb.ByteSize - 5];
    t.c_cflag &= ~(PARENB | PARODD | CSTOPB | CRTSCTS);
    if (dcb.Parity == ODDPARITY) {
        t.c_cflag |= PARENB | PARODD;
    } else if (dcb.Parity == EVENPARITY) {
        t.c_cflag |= PARENB;
    }
    if (dcb.StopBits != ONESTOPBIT) {
        t.c_cflag |= CSTOPB; // 1.5 stop bits: the hardware sends 1.5 with 5 data bits
    }
    if (dcb.fParity) {
        t.c_iflag |= INPCK;
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        t.c_cflag |= CRTSCTS;
    }
    if (dcb.fOutX) {
        t.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        t.c_iflag |= IXOFF;
    }
    if (dcb.fOutX || dcb.fInX) {
        t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    if (tcsetattr(device->fd, TCSANOW, &t) != 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    const bool wasHeld = heldByFlow(device);
    device->settings->dcb = dcb;
    updateByteTimeLocked(device);
    if (wasHeld && !heldByFlow(device)) {
        device->lineFree = std::max(device->lineFree, Clock::now()); // the line goes on from now
    }
    wakeLocked(device);
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device == nullptr) {
        return FALSE;
    }
    *lpCommTimeouts = device->timeouts;
    return TRUE;
}

// Stored; they apply to the reads and writes started afterwards.
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device == nullptr) {
        return FALSE;
    }
    device->timeouts = *lpCommTimeouts;
    return TRUE;
}

// Queue sizes are only a recommendation, as for a USB adapter: the transmit queue stays the chip's
// TxCapacity, the receive side is the kernel's.
BOOL SetupComm(HANDLE hFile, DWORD, DWORD) {
    std::lock_guard<std::mutex> held(bigLock());
    return findDevice(hFile) != nullptr ? TRUE : FALSE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device == nullptr) {
        return FALSE;
    }
    if ((dwFlags & PURGE_RXABORT) != 0) {
        cancelLocked(device, device->reads);
    }
    if ((dwFlags & PURGE_TXABORT) != 0) {
        cancelLocked(device, device->writes);
    }
    if ((dwFlags & PURGE_RXCLEAR) != 0) {
        tcflush(device->fd, TCIFLUSH);
    }
    // Wine renders an abort of the transmit side as a flush of the output, as it does a clear:
    // bytes written and not yet gone are lost either way.
    if ((dwFlags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0) {
        device->tx.clear(); // the bytes that have not left; pending writes may fill it again
        tcflush(device->fd, TCOFLUSH);
        wakeLocked(device);
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device == nullptr) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        *lpErrors = 0; // a pty has no framing, parity, overrun or break errors to report
    }
    if (lpStat != nullptr) {
        COMSTAT stat{};
        stat.fCtsHold = device->settings->dcb.fOutxCtsFlow;
        stat.fDsrHold = device->settings->dcb.fOutxDsrFlow;
        int waiting = 0;
        if (ioctl(device->fd, FIONREAD, &waiting) == 0 && waiting > 0) {
            stat.cbInQue = static_cast<DWORD>(waiting);
        }
        // Only what the device has taken counts, and not its transmitter's bytes. As with a Wine
        // pty, whose count misses all it holds, a write still in flight (or one cancelled) counts
        // nothing: whether a line has room is told by a write's completion, never by this count.
        // An unpaced line's bytes take no time in the transmitter: all of them count.
        const std::size_t inTransmitter =
            device->byteTime > Clock::duration::zero() ? TransmitterBytes : 0;
        stat.cbOutQue =
            static_cast<DWORD>(device->tx.size() - std::min(inTransmitter, device->tx.size()));
        *lpStat = stat;
    }
    return TRUE;
}

// Ends all pending I/O on the handle, whichever thread started it (Windows: only the caller's).
BOOL CancelIo(HANDLE hFile) {
    std::lock_guard<std::mutex> held(bigLock());
    Device* device = findDevice(hFile);
    if (device == nullptr) {
        return FALSE;
    }
    cancelLocked(device, device->reads);
    cancelLocked(device, device->writes);
    return TRUE;
}

// Looks only at the OVERLAPPED (as Windows does), so it also reports I/O ended by CloseHandle.
BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
    std::unique_lock<std::mutex> held(bigLock());
    while (lpOverlapped->Internal == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        changed().wait(held);
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    if (lpOverlapped->Internal != STATUS_SUCCESS) {
        SetLastError(errorFromStatus(lpOverlapped->Internal));
        return FALSE;
    }
    return TRUE;
}
