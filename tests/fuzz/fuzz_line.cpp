// FuzzLine: ptys linked into a private COM folder, read back exactly through a marker.
#include "fuzz_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// Never written by the engine, whose output is plain ASCII.
constexpr char Marker = '\xFF';

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        fail("tcgetattr");
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fail("tcsetattr");
    }
}

std::string folderToRemove;

} // namespace

std::string makeComFolder() {
    char made[] = "/tmp/bridge-fuzz-XXXXXX";
    if (mkdtemp(made) == nullptr) {
        fail("mkdtemp");
    }
    setenv("BRIDGE_COM_DIR", made, 1);
    folderToRemove = made;
    std::atexit([] { rmdir(folderToRemove.c_str()); });
    return made;
}

FuzzLine::FuzzLine(const std::string& folder, int port)
    : link_(folder + "/com" + std::to_string(port)) {
    plugIn();
}

FuzzLine::~FuzzLine() {
    unlink(link_.c_str());
    close(master_);
    close(slave_);
}

void FuzzLine::plugIn() {
    char name[PATH_MAX];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        fail("openpty");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    makeRaw(master_);
    makeRaw(slave_);
    unlink(link_.c_str());
    if (symlink(name, link_.c_str()) != 0) {
        fail("symlink");
    }
}

void FuzzLine::hangUp() {
    pending_ += collect();
    unlink(link_.c_str());
    close(master_);
    close(slave_);
    master_ = slave_ = -1;
}

std::size_t FuzzLine::drain() {
    char buffer[4096];
    std::size_t came = 0;
    for (;;) {
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got > 0) {
            pending_.append(buffer, static_cast<std::size_t>(got));
            came += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return came;
        }
    }
}

std::string FuzzLine::collect() {
    if (!present()) {
        std::string written;
        written.swap(pending_);
        return written;
    }
    // The write can be interrupted by libFuzzer's timer signal while it waits for the tty.
    ssize_t put = 0;
    do {
        put = write(slave_, &Marker, 1);
    } while (put < 0 && errno == EINTR);
    if (put != 1) {
        fail("marker write");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        drain();
        const std::size_t at = pending_.find(Marker);
        if (at != std::string::npos) {
            std::string written = pending_.substr(0, at);
            pending_.erase(0, at + 1);
            return written;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            std::fprintf(stderr, "fuzz line: the marker did not come back\n");
            __builtin_trap();
        }
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

bool FuzzLine::free() const {
    if (!present()) {
        return true;
    }
    const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool unlocked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return unlocked;
}
