// PeerLine: the tests' far end of a serial line; a pty natively, a relayed COM port in Wine.
#include "support/peer_line.h"

#include <algorithm>
#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#endif

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

} // namespace

std::string PeerLine::read(std::size_t count, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    while (got.size() < count) {
        const int left = millisecondsUntil(deadline);
        got += readSome(count - got.size(), left);
        if (left == 0) {
            break;
        }
    }
    return got;
}

std::string PeerLine::readQuiet(int quietMs, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    auto quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
    for (;;) {
        const auto until = std::min(deadline, quietUntil);
        const int left = millisecondsUntil(until);
        const std::string more = readSome(4096, left);
        got += more;
        if (!more.empty()) {
            quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
        } else if (Clock::now() >= until) {
            return got;
        }
        if (Clock::now() >= deadline) {
            return got;
        }
    }
}

#ifndef _WIN32

namespace {

// The folder of COM links: $BRIDGE_COM_DIR, or a private one made and exported on first use.
std::string comFolder() {
    static std::mutex lock;
    std::lock_guard<std::mutex> held(lock);
    const char* folder = std::getenv("BRIDGE_COM_DIR");
    if (folder != nullptr && *folder != '\0') {
        return folder;
    }
    char made[] = "/tmp/bridge-com-XXXXXX";
    if (mkdtemp(made) == nullptr) {
        return "";
    }
    setenv("BRIDGE_COM_DIR", made, 1);
    static std::string removeAtExit;
    removeAtExit = made;
    std::atexit([] { rmdir(removeAtExit.c_str()); });
    return made;
}

} // namespace

PeerLine::PeerLine(int port) {
    const std::string folder = comFolder();
    char name[PATH_MAX];
    if (folder.empty() || openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&t, B9600);
    tcsetattr(slave_, TCSANOW, &t);
    link_ = folder + "/com" + std::to_string(port);
    unlink(link_.c_str()); // a stale link of an earlier line
    if (symlink(name, link_.c_str()) != 0) {
        link_.clear();
        hangUp();
    }
}

PeerLine::~PeerLine() {
    hangUp();
}

bool PeerLine::ok() const {
    return master_ >= 0;
}

void PeerLine::write(const std::string& bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, millisecondsUntil(deadline)) == 0) {
            return;
        }
    }
}

std::string PeerLine::readSome(std::size_t max, int waitMs) {
    if (master_ < 0) {
        return "";
    }
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0 || (p.revents & POLLIN) == 0) {
        return "";
    }
    std::string got(max, '\0');
    const ssize_t n = ::read(master_, &got[0], max);
    got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return got;
}

bool PeerLine::hangUp() {
    if (!link_.empty()) {
        unlink(link_.c_str());
        link_.clear();
    }
    if (master_ >= 0) {
        close(master_);
    }
    if (slave_ >= 0) {
        close(slave_);
    }
    const bool wasUp = master_ >= 0;
    master_ = slave_ = -1;
    return wasUp;
}

#else // _WIN32

PeerLine::PeerLine(int port) {
    char name[32];
    wsprintfA(name, "\\\\.\\COM%d", port + 100);
    HANDLE h =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    SetCommState(h, &dcb);
    // Reads return as soon as bytes are there, waiting at most 50 ms when none are; writes give up
    // after 5 s.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 50, 0, 5000};
    SetCommTimeouts(h, &timeouts);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    handle_ = h;
}

PeerLine::~PeerLine() {
    if (handle_ != nullptr) {
        CloseHandle(handle_);
    }
}

bool PeerLine::ok() const {
    return handle_ != nullptr;
}

void PeerLine::write(const std::string& bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (handle_ != nullptr && done < bytes.size() && Clock::now() < deadline) {
        DWORD put = 0;
        if (!WriteFile(handle_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put,
                       nullptr)) {
            return;
        }
        done += put;
    }
}

std::string PeerLine::readSome(std::size_t max, int waitMs) {
    if (handle_ == nullptr) {
        return "";
    }
    // Each ReadFile waits at most ~50 ms for its first byte; repeat until something came or time is
    // up.
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::string got(std::min<std::size_t>(max, 4096), '\0');
    for (;;) {
        const auto start = Clock::now();
        DWORD n = 0;
        if (!ReadFile(handle_, &got[0], static_cast<DWORD>(got.size()), &n, nullptr)) {
            n = 0;
        }
        if (n > 0) {
            got.resize(n);
            return got;
        }
        if (Clock::now() >= deadline) {
            return "";
        }
        if (Clock::now() - start < std::chrono::milliseconds(5)) {
            Sleep(10); // the read came back at once with nothing: do not spin
        }
    }
}

bool PeerLine::hangUp() {
    return false;
} // the relay under Wine cannot pull a device out

#endif
