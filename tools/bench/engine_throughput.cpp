// engine-throughput: how many guider bytes per second the engine takes in, natively. Two figures:
// the pipe reader and framer fed straight from memory (the engine's own cost per byte), and the
// whole road of received bytes (pseudo-terminal, incoming reader thread, pipe, worker thread).
// The stream is pulse-guide commands, which are framed, counted and reported but answer nothing.
// Prints one "name bytes seconds bytes_per_second" line per figure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "engine/controller.h"
#include "engine/status_code.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t Port = 9;

// Counts the commands the engine reports; everything else it reports is ignored.
class CountingListener : public TelescopeListener {
public:
    void onIncomingStatus(std::int32_t code, std::int32_t) override {
        if (static_cast<std::uint32_t>(code) & CountFlag) {
            commands.fetch_add(1, std::memory_order_relaxed);
        } else {
            lastStatus.store(code);
        }
    }
    void onOutgoingStatus(std::int32_t, std::int32_t) override {}
    void onGuideState(std::uint32_t, std::uint32_t, std::int32_t) override {}

    std::atomic<long> commands{0};
    std::atomic<std::int32_t> lastStatus{0};
};

// A pseudo-terminal whose slave the engine opens as \\.\COM<Port> (through $BRIDGE_COM_DIR).
struct Line {
    int master = -1;
    int slave = -1;
    std::string folder;
    std::string link;

    bool open() {
        char made[] = "/tmp/engine-throughput-XXXXXX";
        if (mkdtemp(made) == nullptr || openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            return false;
        }
        termios settings;
        tcgetattr(slave, &settings);
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
        folder = made;
        link = folder + "/com" + std::to_string(Port);
        if (symlink(ttyname(slave), link.c_str()) != 0) {
            return false;
        }
        setenv("BRIDGE_COM_DIR", folder.c_str(), 1);
        return true;
    }
    ~Line() {
        if (!link.empty()) {
            unlink(link.c_str());
            rmdir(folder.c_str());
        }
        if (master >= 0) {
            close(master);
            close(slave);
        }
    }
};

std::string pulseStream(long commands) {
    static const char* const pulses[] = {":Mgw0500#", ":Mge1200#", ":Mgn0100#", ":Mgs2500#"};
    std::string stream;
    stream.reserve(static_cast<std::size_t>(commands) * 9);
    for (long i = 0; i < commands; ++i) {
        stream += pulses[i % 4];
    }
    return stream;
}

bool waitFor(const std::atomic<long>& value, long wanted, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (value.load() < wanted) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void report(const char* name, std::size_t bytes, double seconds) {
    std::printf("%s %zu %.6f %.0f\n", name, bytes, seconds, static_cast<double>(bytes) / seconds);
}

// The pipe reader and the framer alone: IncomingData messages handed to the pipe reader byte by
// byte, as its loop does with what it reads from the pipe.
bool measureFramer(long commands) {
    CountingListener listener;
    Controller controller(&listener);
    controller.prepare();
    const std::uint8_t connect[] = {0xA2, CommandConnectIncoming, Port};
    for (std::uint8_t byte : connect) {
        controller.takePipeByte(byte);
    }
    if (!controller.incomingOpen) {
        std::fprintf(stderr, "engine-throughput: the incoming link did not open\n");
        return false;
    }
    const std::string stream = pulseStream(commands);
    std::string messages;
    for (std::size_t at = 0; at < stream.size(); at += MaxPayload) {
        const std::size_t length = std::min<std::size_t>(MaxPayload, stream.size() - at);
        messages += static_cast<char>(0xC0 | length);
        messages.append(stream, at, length);
    }

    const auto start = Clock::now();
    for (char byte : messages) {
        controller.takePipeByte(static_cast<std::uint8_t>(byte));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    controller.shutdown();
    if (listener.commands.load() != commands) {
        std::fprintf(stderr, "engine-throughput: %ld of %ld commands counted\n",
                     listener.commands.load(), commands);
        return false;
    }
    report("framer", stream.size(), seconds);
    return true;
}

// The whole road with the engine's own threads: written to the far end of the line as fast as
// the line takes it, timed until the last command has been counted.
bool measureThroughLine(long commands, const Line& line) {
    CountingListener listener;
    Controller controller(&listener);
    controller.start();
    controller.connectIncoming(Port);
    const auto opened = Clock::now() + std::chrono::seconds(10);
    while (listener.lastStatus.load() != StatusWaiting && Clock::now() < opened) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (listener.lastStatus.load() != StatusWaiting) {
        std::fprintf(stderr, "engine-throughput: the incoming link did not open\n");
        controller.stop();
        return false;
    }
    const std::string stream = pulseStream(commands);
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < stream.size()) {
        const ssize_t n = write(line.master, stream.data() + sent, stream.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else {
            pollfd room = {line.master, POLLOUT, 0};
            poll(&room, 1, 100);
        }
    }
    const bool all = waitFor(listener.commands, commands, 120.0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    controller.stop();
    if (!all) {
        std::fprintf(stderr, "engine-throughput: %ld of %ld commands counted\n",
                     listener.commands.load(), commands);
        return false;
    }
    report("line", stream.size(), seconds);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const long framerCommands = argc > 1 ? std::atol(argv[1]) : 2000000;
    const long lineCommands = argc > 2 ? std::atol(argv[2]) : 20000;
    Line line;
    if (!line.open()) {
        std::fprintf(stderr, "engine-throughput: no pseudo-terminal\n");
        return 1;
    }
    int flags = fcntl(line.master, F_GETFL);
    fcntl(line.master, F_SETFL, flags | O_NONBLOCK);
    if (!measureFramer(framerCommands) || !measureThroughLine(lineCommands, line)) {
        return 1;
    }
    return 0;
}
