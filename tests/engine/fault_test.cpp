// Fault tests of the engine over real pseudo-terminals: a guider or mount line that vanishes, a
// device held by another opener, a mount that stops reading, noise on the guider line, and a
// thousand reconnects. Native only: they pull devices out, fill lines and count the process's
// threads.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

#include "app/heartbeat.h"
#include "engine/engine_harness.h"
#include "support/lx200_model.h"
#include "support/peer_line.h"
#include "support/wait_until.h"
#include "engine/status_code.h"

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A controller with its own worker, as the program runs it.
struct RunningBridge {
    RunningBridge() { controller.start(); }
    ~RunningBridge() { controller.stop(); }

    std::size_t occurrences(const Report& wanted) {
        std::size_t found = 0;
        for (const Report& report : listener.reports()) {
            found += report == wanted;
        }
        return found;
    }
    // Waits until the report has arrived n times in all.
    bool waitForNth(const Report& wanted, std::size_t n, int timeoutMs = 10000) {
        return waitUntil([&] { return occurrences(wanted) >= n; }, timeoutMs);
    }
    // The count carried by the newest count report of the incoming link (0 before any).
    std::int32_t lastCount() {
        const auto reports = listener.reports();
        for (auto it = reports.rbegin(); it != reports.rend(); ++it) {
            if (it->kind == 1 && (it->code & CountFlag) != 0) {
                return it->count;
            }
        }
        return 0;
    }

    RecordingListener listener;
    Controller controller{&listener};
};

// The program's clock for a RunningBridge: a HeartBeat that ticks it every 100 ms. Its listener
// can be held, as a computer that sleeps holds every thread.
struct Ticking final : iHeartBeatListener {
    explicit Ticking(Controller& bridge) : controller(bridge) {
        clock.setListener(this);
        clock.start();
    }
    ~Ticking() {
        clock.clearListener();
        clock.stop();
    }
    void onHeartBeat() override {
        while (asleep) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ticks += 1;
        controller.onHeartBeat();
    }
    Controller& controller;
    std::atomic<bool> asleep{false};
    std::atomic<int> ticks{0};
    HeartBeat clock;
};

// A running bridge on its own clock, both links connected to lines the test plays; the lines can
// be replaced, as adapters that come back.
struct GuidingBridge {
    bool connected() {
        if (!guider->ok() || !mount->ok()) {
            return false;
        }
        bridge.controller.connectIncoming(3);
        bridge.controller.connectOutgoing(4);
        return bridge.listener.waitFor(incoming(StatusWaiting)) &&
               bridge.listener.waitFor(outgoing(StatusPortOpened));
    }
    RunningBridge bridge;
    Ticking ticking{bridge.controller};
    std::unique_ptr<PeerLine> guider = std::make_unique<PeerLine>(3);
    std::unique_ptr<PeerLine> mount = std::make_unique<PeerLine>(4);
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::size_t entriesIn(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) {
        return 0;
    }
    std::size_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

// The count once it has stayed the same for 50 ms (or after two seconds).
std::size_t settledEntriesIn(const char* folder) {
    std::size_t count = entriesIn(folder);
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::size_t again = entriesIn(folder);
        if (again == count) {
            break;
        }
        count = again;
    }
    return count;
}

// Fills the output queue of the device linked as COM<port> from a second opener of its own, and
// then the transmit queue of handle, the engine's handle of it, so that the far end looks like a
// mount that has stopped reading. Kept open while it lives.
class StalledLine {
public:
    StalledLine(int port, HANDLE handle) {
        const char* folder = std::getenv("BRIDGE_COM_DIR");
        const std::string link = std::string(folder ? folder : "") + "/com" + std::to_string(port);
        char device[PATH_MAX] = {};
        if (readlink(link.c_str(), device, sizeof device - 1) <= 0) {
            return;
        }
        fd_ = open(device, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        // The kernel moves queued bytes on toward the far end behind our back, so the line is full
        // only once it has taken nothing more for a while.
        const std::string filler(4096, 'x');
        while (fd_ >= 0) {
            const ssize_t put = write(fd_, filler.data(), filler.size());
            if (put > 0) {
                filled_ += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno != EAGAIN) {
                break;
            }
            pollfd room{fd_, POLLOUT, 0};
            if (poll(&room, 1, 300) == 0) {
                full_ = fillTransmitQueue(handle);
                break;
            }
        }
    }
    ~StalledLine() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    StalledLine(const StalledLine&) = delete;
    StalledLine& operator=(const StalledLine&) = delete;
    bool full() const { return full_ && filled_ > 0; }

private:
    // Behind a line that takes nothing, the adapter's queue fills with what was written before: a
    // write bigger than any such queue stays pending once it is full, and is cancelled then.
    static bool fillTransmitQueue(HANDLE device) {
        OVERLAPPED io{};
        io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const std::string filler(4096, 'q');
        DWORD n = 0;
        const bool pending =
            !WriteFile(device, filler.data(), static_cast<DWORD>(filler.size()), &n, &io) &&
            GetLastError() == ERROR_IO_PENDING;
        if (pending) {
            CancelIo(device);
            GetOverlappedResult(device, &io, &n, TRUE);
        }
        CloseHandle(io.hEvent);
        return pending;
    }

    int fd_ = -1;
    bool full_ = false;
    std::size_t filled_ = 0;
};

HANDLE holdPort(int port) {
    char name[32];
    wsprintfA(name, "\\\\.\\COM%d", port);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

TEST(Faults, AGuiderLineThatVanishesIsClosedAndReportedThenReconnects) {
    RunningBridge bridge;
    PeerLine mount(4);
    ASSERT_TRUE(mount.ok());
    bridge.controller.connectOutgoing(4);
    ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusPortOpened)));
    {
        PeerLine guider(3);
        ASSERT_TRUE(guider.ok());
        bridge.controller.connectIncoming(3);
        ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));
        guider.write(":GR#:Mgw5000#");
        EXPECT_EQ(guider.read(9, 5000), "00:00:00#");
        ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 2)));
        bridge.controller.onHeartBeat();
        EXPECT_EQ(mount.read(4, 5000), ":Mw#");

        // Pulled out: the device is gone and its reads fail.
        const std::size_t threadsBefore = entriesIn("/proc/self/task");
        const std::size_t reportsBefore = bridge.listener.size();
        const double cpuStart = processCpuSeconds();
        const auto start = Clock::now();
        ASSERT_TRUE(guider.hangUp());
        ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusClosed), 10000));
        const long long took = millisecondsSince(start);
        EXPECT_LT(took, 3000);
        EXPECT_LT(processCpuSeconds() - cpuStart, 0.5) << "something spins on the vanished device";
        const auto reports = bridge.listener.reports();
        EXPECT_EQ(
            std::vector<Report>(reports.begin() + static_cast<long>(reportsBefore), reports.end()),
            std::vector<Report>{incoming(StatusClosed)})
            << "a failed read was taken for data, or the loss was reported more than once";
        EXPECT_TRUE(waitUntil([&] { return entriesIn("/proc/self/task") < threadsBefore; }, 5000))
            << "the reader thread outlived its line";
        // No more ticks reach the scheduler: the running pulse is halted with the link.
        EXPECT_EQ(mount.read(4, 5000), ":Qw#");

        // The link is closed: a Disconnect now finds nothing to close.
        bridge.controller.disconnectIncoming();
        EXPECT_TRUE(bridge.listener.waitFor(incoming(StatusNotOpened), 5000));
    }

    // Plugged in again: a new device under the same name.
    PeerLine replugged(3);
    ASSERT_TRUE(replugged.ok());
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.waitForNth(incoming(StatusWaiting), 2));
    replugged.write(":GVF#");
    EXPECT_EQ(replugged.read(19, 5000), "Meade Autostar 497#");
    EXPECT_TRUE(bridge.waitForNth(incoming(CountFlag | StatusReady, 1), 2));
    EXPECT_EQ(bridge.occurrences(incoming(StatusCannotOpen)), 0u);
    EXPECT_EQ(bridge.occurrences(incoming(StatusClosed)), 1u);
}

TEST(Faults, ALossNoticeChangesNothingOnceItsOpeningIsClosed) {
    WorkerHarness h;
    auto guider = std::make_unique<PeerLine>(3);
    ASSERT_TRUE(guider->ok());
    h.connectIncoming(3);
    ASSERT_EQ(h.controller.incomingOpen, 1);
    ASSERT_TRUE(guider->hangUp());
    ASSERT_EQ(WaitForSingleObject(h.controller.incomingReaderThread, 10000), WAIT_OBJECT_0);
    // The reader has left its notice in the pipe; take it out to play it in any order.
    std::string notice(IncomingLostLength + 1, '\0');
    DWORD got = 0;
    ReadFile(h.controller.pipeRead, &notice[0], IncomingLostLength + 1, &got, nullptr);
    ASSERT_EQ(got, static_cast<DWORD>(IncomingLostLength + 1));
    h.listener.clear();

    // A Disconnect pressed as the line was lost goes first: one close, one report.
    h.disconnectIncoming();
    h.feed(notice);
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(StatusClosed)}));

    // Nor does it close a link opened since, on a new device under the same name.
    guider = std::make_unique<PeerLine>(3);
    ASSERT_TRUE(guider->ok());
    h.connectIncoming(3);
    h.feed(notice);
    EXPECT_EQ(h.controller.incomingOpen, 1);
    guider->write(":GR#");
    ASSERT_TRUE(h.pumpUntilCount(1));
    EXPECT_EQ(guider->read(9, 5000), "00:00:00#");
    EXPECT_EQ(h.listener.reports(),
              (std::vector<Report>{incoming(StatusClosed), incoming(StatusOpening),
                                   incoming(StatusWaiting), incoming(CountFlag | StatusReady, 1)}));
}

TEST(Faults, AMountLineThatVanishesIsClosedAtTheNextWriteThenReconnects) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    RunningBridge bridge;
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));
    {
        PeerLine mount(4);
        ASSERT_TRUE(mount.ok());
        bridge.controller.connectOutgoing(4);
        ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusPortOpened)));
        guider.write(":Mgw0100#");
        ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag | StatusReady, 1)));
        bridge.controller.onHeartBeat();
        EXPECT_EQ(mount.read(8, 5000), ":Mw#:Qw#");

        // Pulled out, then pulses on both axes: the first write of the tick finds the device
        // gone, and nothing more is written to the closed link.
        ASSERT_TRUE(mount.hangUp());
        guider.write(":Mgw0100#:Mgn0300#");
        ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 3)));
        const auto start = Clock::now();
        bridge.controller.onHeartBeat();
        ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusClosed), 10000));
        const long long took = millisecondsSince(start);
        EXPECT_LT(took, 2000);
        // The worker goes on at once, and the scheduler runs on as with a closed link.
        const auto asked = Clock::now();
        guider.write(":GD#");
        EXPECT_EQ(guider.read(9, 5000), "00*00'00#");
        EXPECT_LT(millisecondsSince(asked), 1000) << "the worker stalled on the lost line";
        for (int i = 0; i < 3; ++i) {
            bridge.controller.onHeartBeat();
        }
        bridge.controller.disconnectOutgoing();
        ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusNotOpened)));
        EXPECT_EQ(bridge.occurrences(outgoing(StatusClosed)), 1u);
    }

    // The user's Connect halts first: the mount may have been left moving when its line was lost.
    PeerLine replugged(4);
    ASSERT_TRUE(replugged.ok());
    bridge.controller.connectOutgoing(4);
    ASSERT_TRUE(bridge.waitForNth(outgoing(StatusPortOpened), 2));
    EXPECT_EQ(replugged.read(8, 5000), ":Qw#:Qn#");
    guider.write(":Mgs0100#");
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 5)));
    bridge.controller.onHeartBeat();
    EXPECT_EQ(replugged.read(8, 5000), ":Ms#:Qn#");
}

TEST(Faults, ADeviceHeldElsewhereIsReportedAndChangesNothingElse) {
    PeerLine guider(3);
    PeerLine mount(4);
    PeerLine heldLine(5);
    ASSERT_TRUE(guider.ok() && mount.ok() && heldLine.ok());
    RunningBridge bridge;
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));
    guider.write(":GR#");
    ASSERT_EQ(guider.read(9, 5000), "00:00:00#");
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag | StatusReady, 1)));

    // The outgoing link on a held device.
    HANDLE holder = holdPort(5);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    bridge.listener.clear();
    bridge.controller.connectOutgoing(5);
    ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusCannotOpen)));
    // The incoming link goes on counting where it was.
    guider.write(":GD#");
    EXPECT_EQ(guider.read(9, 5000), "00*00'00#");
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 2)));
    EXPECT_EQ(bridge.listener.reports(),
              (std::vector<Report>{outgoing(StatusCannotOpen), incoming(CountFlag, 2)}));
    EXPECT_EQ(heldLine.readQuiet(200, 1000), "") << "the held device was written to";

    // A free device still opens, and pulses reach it.
    bridge.controller.connectOutgoing(4);
    ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusPortOpened)));
    guider.write(":Mgw0100#");
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 3)));
    bridge.controller.onHeartBeat();
    EXPECT_EQ(mount.read(8, 5000), ":Mw#:Qw#");

    // The incoming link on a held device: nothing but the two statuses, and nothing on the mount.
    bridge.controller.disconnectIncoming();
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusClosed)));
    HANDLE guiderHolder = holdPort(3);
    ASSERT_NE(guiderHolder, INVALID_HANDLE_VALUE);
    bridge.listener.clear();
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusCannotOpen)));
    guider.write(":GR#:Mgn0100#");
    bridge.controller.onHeartBeat();
    EXPECT_EQ(guider.readQuiet(300, 1000), "");
    EXPECT_EQ(mount.readQuiet(300, 1000), "");
    EXPECT_EQ(bridge.listener.reports(),
              (std::vector<Report>{incoming(StatusOpening), incoming(StatusCannotOpen)}));

    // Once the other opener lets go, the same connect works.
    CloseHandle(guiderHolder);
    CloseHandle(holder);
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));
    guider.write(":GR#");
    EXPECT_EQ(guider.read(9, 5000), "00:00:00#");
}

// The events from the start, oldest first.
std::vector<Event> eventsOf(const Controller& controller) {
    std::vector<Event> all;
    EventCursor cursor;
    std::vector<Event> batch(256);
    while (const int got = controller.events.take(cursor, batch.data(), int(batch.size()))) {
        all.insert(all.end(), batch.begin(), batch.begin() + got);
    }
    return all;
}

// The guide-state reports the listener has had so far: one every ten ticks the worker took.
std::size_t guideReports(RunningBridge& bridge) {
    std::size_t found = 0;
    for (const Report& report : bridge.listener.reports()) {
        found += report.kind == 3;
    }
    return found;
}

TEST(Faults, AStalledMountLineHoldsNeitherRepliesNorTicksAndItsHaltsGoFirstOnceItMoves) {
    GuidingBridge g;
    ASSERT_TRUE(g.connected());
    RunningBridge& bridge = g.bridge;
    // The mount's far end stops reading. How much the line still holds is not told by the port's
    // queue count, which reads 0 here as it does under Wine.
    win32_posix::setDeviceFaultsForTesting(4, true, false);
    g.guider->write(":Mgw2000#:Mgn2000#");
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 2)));
    const std::size_t reportsBefore = guideReports(bridge);
    const auto start = Clock::now();
    long long slowest = 0;
    while (millisecondsSince(start) < 3000) {
        const auto asked = Clock::now();
        g.guider->write(":GR#");
        ASSERT_EQ(g.guider->read(9, 5000), "00:00:00#");
        slowest = std::max(slowest, millisecondsSince(asked));
    }
    EXPECT_LT(slowest, 500) << "a reply waited for the mount's line";
    EXPECT_GE(guideReports(bridge) - reportsBefore, 2u) << "ticks waited for the mount's line";

    // The line moves again: the move it held goes, then the halts, first; the north move that
    // never went out while its pulse ran is not sent at all.
    win32_posix::setDeviceFaultsForTesting(4, false, false);
    EXPECT_EQ(g.mount->read(12, 5000), ":Mw#:Qw#:Qn#");
    EXPECT_EQ(g.mount->readQuiet(300, 1000), "");
}

TEST(Faults, AStalledGuiderLineHoldsNoHaltAndDropsTheRepliesItCannotTake) {
    GuidingBridge g;
    ASSERT_TRUE(g.connected());
    RunningBridge& bridge = g.bridge;
    win32_posix::setDeviceFaultsForTesting(3, true, false);
    g.guider->write(":GR#:GR#:GR#:Mgw0300#:GR#:GR#:GR#:GR#:GR#");
    ASSERT_EQ(g.mount->read(4, 5000), ":Mw#");
    const auto moved = Clock::now();
    ASSERT_EQ(g.mount->read(4, 5000), ":Qw#");
    const long long took = millisecondsSince(moved);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 600) << "the halt of a 3-tick pulse waited behind the replies";

    // 40 more queries: one reply is on its way, 32 wait, the rest are dropped and counted. When
    // the guider reads again, the ones kept come, in order.
    std::string queries;
    for (int i = 0; i < 40; ++i) {
        queries += ":GR#";
    }
    g.guider->write(queries);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 49)));
    // The event log says so once the reply on its way has outlasted its bound, and once more
    // when the line moves, with the count of what it dropped.
    auto said = [&] {
        std::vector<std::uint32_t> found;
        for (const Event& event : eventsOf(bridge.controller)) {
            if (event.kind == EventLineStalled || event.kind == EventLineMoves) {
                found.push_back(event.kind * 100 + event.value * 10 + event.extra);
            } else if (event.kind == EventRepliesDropped) {
                found.push_back(event.kind * 100 + event.value);
            }
        }
        return found;
    };
    EXPECT_TRUE(waitUntil([&] { return said().size() == 1; }, 5000));
    win32_posix::setDeviceFaultsForTesting(3, false, false);
    std::string kept;
    for (int i = 0; i < 1 + MaxQueuedReplies; ++i) {
        kept += "00:00:00#";
    }
    EXPECT_EQ(g.guider->read(kept.size(), 5000), kept);
    EXPECT_EQ(g.guider->readQuiet(300, 1000), "");
    EXPECT_EQ(said(), (std::vector<std::uint32_t>{1103, 1203, 1300 + 48 - 33}));
}

TEST(Faults, DisconnectReachesAWorkerStuckOnAMountThatStopsReading) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    RunningBridge bridge;
    bridge.controller.connectIncoming(3);
    bridge.controller.connectOutgoing(4);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));
    ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusPortOpened)));
    StalledLine stalled(4, bridge.controller.outgoingPort);
    ASSERT_TRUE(stalled.full());

    std::atomic<bool> ticking{true};
    std::thread heartbeat([&] {
        while (ticking) {
            bridge.controller.onHeartBeat();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Moves on all four directions, one stuck write after another.
    guider.write(":Mgw5000#:Mge5000#:Mgn5000#:Mgs5000#");
    ASSERT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 4)));
    guider.write(":Gt#");
    EXPECT_EQ(guider.read(7, 10000), "+47*00#");
    EXPECT_TRUE(bridge.listener.waitFor(incoming(CountFlag, 5)));

    const auto start = Clock::now();
    bridge.controller.disconnectOutgoing();
    EXPECT_TRUE(bridge.listener.waitFor(outgoing(StatusClosed), 10000));
    // At worst the worker finishes the writes of the tick it is in, each bounded by a second.
    EXPECT_LT(millisecondsSince(start), 5000);
    ticking = false;
    heartbeat.join();
}

// A random stream: noise with the framing bytes over-represented, and valid commands between,
// among them the longest command there can be and one byte too long.
std::string noisyStream(std::mt19937& random, std::size_t length) {
    const std::vector<std::string> valid = {":GA#",
                                            ":GD#",
                                            ":GR#",
                                            ":GS#",
                                            ":GVF#",
                                            ":GZ#",
                                            ":Gt#",
                                            ":GV#",
                                            ":Mgw0500#",
                                            ":Mgn150#",
                                            "\x06",
                                            ":Q#",
                                            ":Mge100#",
                                            ":Mgs000123#",
                                            ":GR" + std::string(47, 'a') + "#",
                                            ":GD" + std::string(48, 'a') + "#"};
    std::string stream;
    while (stream.size() < length) {
        const int run = static_cast<int>(random() % 24);
        for (int i = 0; i < run; ++i) {
            const unsigned pick = random() % 16;
            stream += pick == 0   ? ':'
                      : pick == 1 ? '#'
                      : pick == 2 ? '\x06'
                                  : static_cast<char>(random());
        }
        stream += valid[random() % valid.size()];
    }
    return stream;
}

TEST(Faults, NoiseOnTheGuiderLineIsFramedExactlyAsTheRulesPredict) {
    const char* given = std::getenv("BRIDGE_FAULT_SEED");
    const unsigned seed = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                : static_cast<unsigned>(Clock::now().time_since_epoch().count());
    SCOPED_TRACE("BRIDGE_FAULT_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string stream = noisyStream(random, 8192);
    const Lx200Outcome expected = expectLx200(stream);
    ASSERT_GT(expected.commands, 100);

    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    RunningBridge bridge;
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));

    std::string replies;
    std::thread collector([&] { replies = guider.read(expected.replies.size(), 60000); });
    // At the line's own rate: 9600 baud, 960 bytes a second, in pieces of ten.
    const auto start = Clock::now();
    for (std::size_t sent = 0; sent < stream.size(); sent += 10) {
        const auto due = start + std::chrono::microseconds(sent * 1000000 / 960);
        std::this_thread::sleep_until(due);
        guider.write(stream.substr(sent, 10));
    }
    collector.join();
    EXPECT_TRUE(waitUntil([&] { return bridge.lastCount() >= expected.commands; }, 10000));
    EXPECT_EQ(guider.readQuiet(300, 1000), "") << "more replies than the rules allow";
    EXPECT_EQ(replies, expected.replies);

    // Every command reported its count once, in order; the first also turned the status to Ready.
    std::vector<Report> counts;
    for (const Report& report : bridge.listener.reports()) {
        if (report.kind == 1 && (report.code & CountFlag) != 0) {
            counts.push_back(report);
        }
    }
    ASSERT_EQ(counts.size(), static_cast<std::size_t>(expected.commands));
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const std::uint32_t code = i == 0 ? (CountFlag | StatusReady) : CountFlag;
        ASSERT_EQ(counts[i], incoming(code, static_cast<std::int32_t>(i + 1))) << "report " << i;
    }
}

TEST(Faults, AThousandReconnectsWhileTheGuiderSendsLeaveNoThreadOrDescriptorBehind) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    RunningBridge bridge;
    std::atomic<bool> sending{true};
    std::atomic<std::size_t> repliesSeen{0};
    std::thread sender([&] {
        while (sending) {
            guider.write(":GR#\x06:Mgw0100#");
            repliesSeen += guider.read(4096, 2).size();
        }
    });
    // A thread that has just returned (the last test's, say) may still be leaving the task list.
    const std::size_t threadsBefore = settledEntriesIn("/proc/self/task");
    const std::size_t descriptorsBefore = entriesIn("/proc/self/fd");

    constexpr std::size_t Cycles = 1000;
    std::size_t cycles = 0;
    while (cycles < Cycles) {
        bridge.controller.connectIncoming(3);
        if (cycles % 50 == 49) {
            // Now and then the link stays open long enough for the guider to be heard.
            ASSERT_TRUE(bridge.waitForNth(incoming(StatusWaiting), cycles + 1, 60000));
            const std::int32_t heard = bridge.lastCount();
            waitUntil([&] { return bridge.lastCount() != heard; }, 2000);
        }
        bridge.controller.disconnectIncoming();
        cycles += 1;
    }
    ASSERT_TRUE(bridge.waitForNth(incoming(StatusClosed), Cycles, 120000));
    EXPECT_EQ(bridge.occurrences(incoming(StatusWaiting)), Cycles);
    EXPECT_EQ(bridge.occurrences(incoming(StatusCannotOpen)), 0u);
    EXPECT_GT(bridge.occurrences(incoming(CountFlag | StatusReady, 1)), 0u)
        << "the guider was never heard";
    EXPECT_GT(repliesSeen.load(), 0u);

    // A joined thread may take a moment to leave the process's task list.
    waitUntil([&] { return entriesIn("/proc/self/task") <= threadsBefore; }, 5000);
    EXPECT_EQ(entriesIn("/proc/self/task"), threadsBefore);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptorsBefore);
    sending = false;
    sender.join();
}

TEST(Faults, LostAdaptersThatReturnAreReopenedByThemselvesTheMountHaltedFirst) {
    GuidingBridge g;
    ASSERT_TRUE(g.connected());
    RunningBridge& bridge = g.bridge;
    std::unique_ptr<PeerLine>& guider = g.guider;
    std::unique_ptr<PeerLine>& mount = g.mount;
    guider->write(":Mgw9000#");
    EXPECT_EQ(mount->read(4, 5000), ":Mw#");

    // The mount's adapter drops out: the next write finds it gone. It comes back as a new device
    // under the same name, and the bridge reopens it, halts both axes first, and guides again.
    ASSERT_TRUE(mount->hangUp());
    guider->write(":Mgn0100#");
    ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusClosed)));
    mount = std::make_unique<PeerLine>(4);
    ASSERT_TRUE(mount->ok());
    auto back = Clock::now();
    ASSERT_TRUE(bridge.waitForNth(outgoing(StatusPortOpened), 2));
    const long long mountBack = millisecondsSince(back);
    EXPECT_EQ(mount->read(8, 5000), ":Qw#:Qn#") << "the mount's state is unknown after a loss";
    guider->write(":Mge0100#");
    EXPECT_EQ(mount->read(8, 5000), ":Me#:Qw#");

    // The guider's adapter drops out and comes back: the same statuses as after a Connect, and
    // its commands are counted afresh.
    ASSERT_TRUE(guider->hangUp());
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusClosed)));
    guider = std::make_unique<PeerLine>(3);
    ASSERT_TRUE(guider->ok());
    back = Clock::now();
    ASSERT_TRUE(bridge.waitForNth(incoming(StatusWaiting), 2));
    const long long guiderBack = millisecondsSince(back);
    EXPECT_EQ(bridge.occurrences(incoming(StatusOpening)), 2u);
    guider->write(":GR#");
    EXPECT_EQ(guider->read(9, 5000), "00:00:00#");
    EXPECT_TRUE(bridge.waitForNth(incoming(CountFlag | StatusReady, 1), 2));
    EXPECT_EQ(bridge.occurrences(incoming(StatusCannotOpen)) +
                  bridge.occurrences(outgoing(StatusCannotOpen)),
              0u)
        << "a failed try was reported";
    std::printf("back after the device returned: mount %lld ms, guider %lld ms\n", mountBack,
                guiderBack);
    EXPECT_LT(mountBack, 3000);
    EXPECT_LT(guiderBack, 3000);
}

// A worker the test plays, with both links connected; the mount's adapter can drop out and come
// back as a new device under the same name.
struct DroppingMount {
    DroppingMount() {
        ok = guider.ok() && mount->ok();
        h.connectIncoming(3);
        h.connectOutgoing(4);
    }
    // The adapter drops out: the write of the pulse's move finds it gone, and the link is being
    // retried. Then it is back.
    void lose(const char* pulse) {
        ASSERT_TRUE(mount->hangUp());
        guider.write(pulse);
        ASSERT_TRUE(h.pumpUntilCount(h.controller.commandCount + 1));
        h.tick();
        ASSERT_EQ(h.controller.outgoingOpen, 0);
        ASSERT_TRUE(h.controller.links[LinkOutgoing].retrying);
        mount = std::make_unique<PeerLine>(4);
        ASSERT_TRUE(mount->ok());
    }
    WorkerHarness h;
    PeerLine guider{3};
    std::unique_ptr<PeerLine> mount = std::make_unique<PeerLine>(4);
    bool ok = false;
};

TEST(Faults, RetriesStopAtADisconnectAndMoveToThePortOfAConnect) {
    DroppingMount m;
    ASSERT_TRUE(m.ok);
    WorkerHarness& h = m.h;
    auto lose = [&] { m.lose(":Mgw0100#"); };
    auto runTicks = [&](int count) {
        for (int i = 0; i < count; ++i) {
            h.tick();
            h.pumpUntil([&] { return h.controller.links[LinkOutgoing].job == nullptr; });
        }
    };

    // A Disconnect: the link stays closed however long the device has been back.
    lose();
    h.disconnectOutgoing();
    EXPECT_EQ(h.listener.reports().back(), outgoing(StatusNotOpened));
    runTicks(3 * RetryTicks);
    EXPECT_EQ(h.controller.outgoingOpen, 0) << "a link the user disconnected was reopened";

    // A Connect to another port: that port is used, and the lost one is left alone.
    h.connectOutgoing(4);
    lose();
    PeerLine other(5);
    ASSERT_TRUE(other.ok());
    h.connectOutgoing(5);
    EXPECT_EQ(h.listener.reports().back(), outgoing(StatusPortOpened));
    runTicks(3 * RetryTicks);
    EXPECT_EQ(h.controller.outgoingPortNumber, 5);
    EXPECT_FALSE(h.controller.links[LinkOutgoing].retrying);
    HANDLE lost = CreateFileA("\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(lost, INVALID_HANDLE_VALUE) << "the lost port is still held";
    CloseHandle(lost);
}

TEST(Faults, EveryOpenOfALostMountHaltsItBeforeItIsReportedOpenAConnectDuringTheRetriesToo) {
    DroppingMount m;
    ASSERT_TRUE(m.ok);
    WorkerHarness& h = m.h;
    m.guider.write(":Mgw9000#");
    ASSERT_TRUE(h.pumpUntilCount(1));
    h.tick();
    ASSERT_EQ(m.mount->read(4, 5000), ":Mw#");
    auto lose = [&] { m.lose(":Mgn0100#"); };
    auto haltedThenOpened = [&] {
        EXPECT_EQ(m.mount->read(8, 5000), ":Qw#:Qn#");
        const std::vector<Event> events = eventsOf(h.controller);
        ASSERT_GE(events.size(), 2u);
        const Event& last = events.back();
        EXPECT_TRUE(last.kind == EventOutgoingStatus && last.value == StatusPortOpened);
        const Event& before = events[events.size() - 2];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(before.bytes), before.length), ":Qn#")
            << "the port was reported open before the halts";
    };

    // The adapter is plugged in again and the user clicks Connect before the bridge's own retry.
    lose();
    h.connectOutgoing(4);
    haltedThenOpened();
    // The user's Connect takes over a retry whose open is under way.
    lose();
    win32_posix::setOpenDelayForTesting(4, 500);
    h.tick(RetryTicks);
    ASSERT_NE(h.controller.links[LinkOutgoing].job, nullptr) << "no retry under way";
    h.connectOutgoing(4);
    win32_posix::setOpenDelayForTesting(4, 0);
    haltedThenOpened();
}

TEST(Faults, AConnectRightAfterADisconnectDoesNotThrowAwayTheHaltsTheLineStillCarries) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    WorkerHarness h;
    h.connectIncoming(3);
    h.connectOutgoing(4);
    guider.write(":Mgw9000#");
    ASSERT_TRUE(h.pumpUntilCount(1));
    h.tick();
    ASSERT_EQ(mount.read(4, 5000), ":Mw#");
    // The mount reads slowly: the line holds what it was given beyond the far end's own buffer,
    // still on its way, as a virtual port pair or an adapter's queue does.
    char device[PATH_MAX] = {};
    const std::string link = std::string(std::getenv("BRIDGE_COM_DIR")) + "/com4";
    ASSERT_GT(readlink(link.c_str(), device, sizeof device - 1), 0);
    const int filler = open(device, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    const std::string queued(8192, 'x');
    ASSERT_EQ(write(filler, queued.data(), queued.size()), ssize_t(queued.size()));
    close(filler);
    h.disconnectOutgoing();
    h.connectOutgoing(4);
    ASSERT_EQ(h.listener.reports().back(), outgoing(StatusPortOpened));
    const std::string carried = mount.read(queued.size() + 4, 5000);
    EXPECT_EQ(carried.size(), queued.size() + 4) << "the open threw away what the line carried";
    EXPECT_EQ(carried.substr(carried.size() < 4 ? 0 : carried.size() - 4), ":Qw#");
}

TEST(Faults, AHaltAStalledLineDidNotTakeStaysOwedAndGoesOnALaterTickWithNoGuiderThere) {
    DroppingMount m;
    ASSERT_TRUE(m.ok);
    WorkerHarness& h = m.h;
    PeerLine& guider = m.guider;
    std::unique_ptr<PeerLine>& mount = m.mount;
    auto pulseWest = [&] {
        guider.write(":Mgw9000#");
        ASSERT_TRUE(h.pumpUntilCount(h.controller.commandCount + 1));
        h.tick();
        ASSERT_EQ(mount->read(4, 5000), ":Mw#");
    };
    auto drainThenTick = [&](const char* owed) {
        EXPECT_EQ(mount->readQuiet(200, 2000), "") << "a halt reached a stalled line";
        win32_posix::setDeviceFaultsForTesting(4, false, false);
        h.tick();
        EXPECT_EQ(mount->read(std::strlen(owed), 5000), owed);
        EXPECT_EQ(h.controller.unhalted, 0u);
    };

    // Lost mid-pulse; the adapter comes back with its line stalled, and the guider goes. The
    // reopen's halts time out, the port is reported open all the same, and they go out once the
    // line drains, on a tick that no guider asked for.
    pulseWest();
    m.lose(":Mgn0100#");
    win32_posix::setDeviceFaultsForTesting(4, true, false);
    h.disconnectIncoming();
    ASSERT_TRUE(h.pumpUntil([&] {
        h.tick();
        return h.controller.outgoingOpen != 0;
    }));
    EXPECT_EQ(h.listener.reports().back(), outgoing(StatusPortOpened));
    drainThenTick(":Qw#:Qn#");

    // The guider disconnects while the line is stalled mid-pulse: the halt at its close times out,
    // and goes on a later tick.
    h.connectIncoming(3);
    pulseWest();
    win32_posix::setDeviceFaultsForTesting(4, true, false);
    h.disconnectIncoming();
    EXPECT_EQ(h.controller.unhalted, RaAxis);
    drainThenTick(":Qw#");

    // A halt the line took, still queued when it stalls and the user disconnects the mount: the
    // close throws it away, so both axes are owed a halt at the next Connect.
    h.connectIncoming(3);
    guider.write(":Mgw0100#");
    ASSERT_TRUE(h.pumpUntilCount(h.controller.commandCount + 1));
    h.tick();
    win32_posix::setDeviceFaultsForTesting(4, true, false);
    h.disconnectOutgoing();
    win32_posix::setDeviceFaultsForTesting(4, false, false);
    const std::string cut = mount->readQuiet(200, 2000);
    h.connectOutgoing(4);
    EXPECT_EQ(cut + mount->read(8, 5000), cut + ":Qw#:Qn#");
}

TEST(Faults, AnOwedHaltDoesNotWaitForAPulseWhoseMoveNeverWentOut) {
    DroppingMount m;
    ASSERT_TRUE(m.ok);
    WorkerHarness& h = m.h;
    m.guider.write(":Mge0500#");
    ASSERT_TRUE(h.pumpUntilCount(1));
    h.tick();
    ASSERT_EQ(m.mount->read(4, 5000), ":Me#");
    // The adapter drops out on the tick that would send a long west pulse's move; the east pulse
    // runs out while the link is closed; the adapter comes back with its line stalled a while.
    m.lose(":Mgw9000#");
    win32_posix::setDeviceFaultsForTesting(4, true, false);
    ASSERT_TRUE(h.pumpUntil([&] {
        h.tick();
        return h.controller.outgoingOpen != 0 && !h.controller.links[LinkOutgoing].confirming;
    }));
    EXPECT_EQ(h.listener.reports().back(), outgoing(StatusPortOpened));
    win32_posix::setDeviceFaultsForTesting(4, false, false);
    // The mount, last told to move east, is halted on both axes within a few ticks, though the
    // west pulse runs on.
    h.tick(3);
    EXPECT_EQ(m.mount->read(8, 5000), ":Qw#:Qn#");
    EXPECT_GT(h.controller.westTicks, 0);
}

TEST(Faults, NoCommandIsLostBehindAnOpenHoweverManyWait) {
    PeerLine mount(4);
    ASSERT_TRUE(mount.ok());
    WorkerHarness h;
    // Behind a slow open, a program changes its mind far more often than there is room to keep
    // each change apart, then once more. Every command is answered, and the link ends as the last
    // one says, whichever that is.
    for (const bool endConnected : {false, true}) {
        SCOPED_TRACE(endConnected ? "ends with a Connect" : "ends with a Disconnect");
        h.listener.clear();
        win32_posix::setOpenDelayForTesting(4, 500);
        int commands = 0;
        for (int i = 0; i < 1200; ++i, ++commands) {
            i % 2 == 0 ? h.feed({0xA2, 0x04, 4}) : h.disconnectOutgoing();
        }
        win32_posix::setOpenDelayForTesting(4, 0);
        endConnected ? h.feed({0xA2, 0x04, 4}) : h.disconnectOutgoing();
        commands += 1;
        EXPECT_TRUE(h.pumpUntil([&] { return h.listener.size() >= std::size_t(commands); }, 60000));
        h.settleOpens();
        h.settle();
        EXPECT_EQ(h.listener.size(), std::size_t(commands)) << "a command went unanswered";
        EXPECT_EQ(h.controller.outgoingOpen, endConnected ? 1 : 0);
        if (endConnected) {
            h.disconnectOutgoing();
        }
    }
}

TEST(Faults, TheProgramsEndHaltsBeforeItWaitsForOpensAndKeepsWithinItsBound) {
    for (const bool stalled : {false, true}) {
        SCOPED_TRACE(stalled ? "stalled mount line" : "mount line moving");
        GuidingBridge g;
        PeerLine slow(5);
        ASSERT_TRUE(g.connected() && slow.ok());
        RunningBridge& bridge = g.bridge;
        PeerLine& mount = *g.mount;
        g.guider->write(":Mgw9000#");
        ASSERT_EQ(mount.read(4, 5000), ":Mw#");
        // The guider's link goes (its pulse is counted on), and the user connects it to a port
        // that takes seconds to open.
        bridge.controller.disconnectIncoming();
        ASSERT_EQ(mount.read(4, 5000), ":Qw#");
        win32_posix::setOpenDelayForTesting(5, 5000);
        bridge.controller.connectIncoming(5);
        ASSERT_TRUE(bridge.waitForNth(incoming(StatusOpening), 2));
        win32_posix::setDeviceFaultsForTesting(4, stalled, false);

        std::string halted;
        long long haltedAfter = -1;
        const auto start = Clock::now();
        std::thread reader([&] {
            halted = mount.read(stalled ? 0 : 4, 5000);
            haltedAfter = millisecondsSince(start);
        });
        EXPECT_TRUE(bridge.controller.stop(3000)) << "the end overran its bound";
        EXPECT_LT(millisecondsSince(start), 3000);
        reader.join();
        win32_posix::setOpenDelayForTesting(5, 0);
        win32_posix::setDeviceFaultsForTesting(4, false, false);
        if (!stalled) {
            EXPECT_EQ(halted, ":Qw#");
            EXPECT_LT(haltedAfter, 1000) << "the halt waited for the open";
        }
    }

    // The guider's line takes nothing, a long pulse runs, and a flood of queries stands in the
    // pipe: the end does not wait behind them, nor for room to ask for it.
    GuidingBridge g;
    ASSERT_TRUE(g.connected());
    win32_posix::setDeviceFaultsForTesting(3, true, false);
    g.guider->write(":Mgw9000#");
    ASSERT_EQ(g.mount->read(4, 5000), ":Mw#");
    for (int i = 0; i < 200; ++i) {
        g.guider->write(":GR#:GD#:GS#:Gt#:GZ#");
    }
    // Taken in (every query answered or dropped), or stuck in a full pipe.
    EXPECT_TRUE(waitUntil(
        [&] {
            DWORD waiting = 0;
            PeekNamedPipe(g.bridge.controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
            return g.bridge.lastCount() == 1001 || waiting + 2 * MaxPayload > PipeBufferSize;
        },
        10000));
    const auto start = Clock::now();
    EXPECT_TRUE(g.bridge.controller.stop(3000)) << "the end overran its bound";
    EXPECT_LT(millisecondsSince(start), 3000);
    EXPECT_EQ(g.mount->read(4, 1000), ":Qw#");
    win32_posix::setDeviceFaultsForTesting(3, false, false);
}

TEST(Faults, AnOpenThatTakesSecondsHoldsNeitherTicksNorReplies) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    RunningBridge bridge;
    Ticking ticking(bridge.controller);
    bridge.controller.connectIncoming(3);
    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusWaiting)));
    guider.write(":GR#");
    EXPECT_EQ(guider.read(9, 5000), "00:00:00#");

    // A Bluetooth port may take seconds to open: ticks go on meanwhile, and so do replies, however
    // often the user clicks Connect meanwhile. Each click is answered once the port is open.
    win32_posix::setOpenDelayForTesting(4, 3000);
    const std::size_t guideReports = bridge.listener.size();
    const auto start = Clock::now();
    for (int click = 0; click < 10; ++click) {
        bridge.controller.connectOutgoing(4);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    guider.write(":GD#");
    EXPECT_EQ(guider.read(9, 5000), "00*00'00#");
    EXPECT_LT(millisecondsSince(start), 2500) << "the reply waited for the open";
    ASSERT_TRUE(bridge.listener.waitFor(outgoing(StatusPortOpened), 10000));
    EXPECT_GE(millisecondsSince(start), 2900);
    EXPECT_TRUE(bridge.waitForNth(outgoing(StatusAlreadyOpened), 9));
    win32_posix::setOpenDelayForTesting(4, 0);
    const auto reports = bridge.listener.reports();
    std::size_t ticked = 0;
    for (std::size_t i = guideReports; i < reports.size(); ++i) {
        if (reports[i] == outgoing(StatusPortOpened)) {
            break;
        }
        ticked += reports[i].kind == 3;
    }
    EXPECT_GE(ticked, 2u) << "ticks waited for the open: guide-state reports before it ended";

    // The mount is guided on the regular ticks at once.
    guider.write(":Mgs0300#");
    EXPECT_EQ(mount.read(8, 5000), ":Ms#:Qn#");
}

TEST(Faults, AfterASleepNoBurstOfTicksFollowsAndAdaptersEnumeratedAgainComeBack) {
    GuidingBridge g;
    ASSERT_TRUE(g.connected());
    RunningBridge& bridge = g.bridge;
    Ticking& ticking = g.ticking;
    std::unique_ptr<PeerLine>& guider = g.guider;
    std::unique_ptr<PeerLine>& mount = g.mount;
    EXPECT_TRUE(waitUntil([] { return win32_posix::threadsKeepingSystemAwake() == 1; }, 5000));

    // The computer sleeps for three seconds: no tick meanwhile. The USB adapters are enumerated
    // again on the way back: the old devices are gone, new ones stand under the same names.
    ticking.asleep = true;
    ASSERT_TRUE(guider->hangUp() && mount->hangUp());
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    guider = std::make_unique<PeerLine>(3);
    mount = std::make_unique<PeerLine>(4);
    ASSERT_TRUE(guider->ok() && mount->ok());
    const int before = ticking.ticks;
    const auto woke = Clock::now();
    ticking.asleep = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int burst = ticking.ticks - before;
    const long long over = millisecondsSince(woke);
    EXPECT_LE(burst, over / 100 + 3) << "the ticks missed in the sleep came in a burst";

    ASSERT_TRUE(bridge.listener.waitFor(incoming(StatusClosed), 10000));
    EXPECT_TRUE(bridge.waitForNth(incoming(StatusWaiting), 2, 10000));
    guider->write(":Mgw0100#");
    EXPECT_TRUE(bridge.waitForNth(outgoing(StatusPortOpened), 2, 10000));
    EXPECT_EQ(mount->read(8, 5000), ":Qw#:Qn#");
    EXPECT_TRUE(waitUntil([] { return win32_posix::threadsKeepingSystemAwake() == 1; }, 5000));
}

} // namespace
