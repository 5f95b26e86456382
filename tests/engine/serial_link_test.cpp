// Tests of the serial links over real serial lines: opening, the reader thread, the writes,
// closing.
#include <chrono>
#include <ctime>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "engine/engine_harness.h"
#include "engine/status_code.h"
#include "support/peer_line.h"

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool runningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Reads the messages that the producers wrote into the pipe, as (header, payload) pairs.
std::vector<std::string> readMessages(Controller& controller, std::size_t payloadBytes,
                                      int timeoutMs = 5000) {
    std::vector<std::string> messages;
    std::size_t total = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (total < payloadBytes && Clock::now() < deadline) {
        DWORD waiting = 0;
        PeekNamedPipe(controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
        if (waiting == 0) {
            Sleep(2);
            continue;
        }
        std::uint8_t head = 0;
        DWORD got = 0;
        ReadFile(controller.pipeRead, &head, 1, &got, nullptr);
        std::string payload(head & 0x1F, '\0');
        DWORD read = 0;
        while (read < payload.size()) {
            DWORD more = 0;
            ReadFile(controller.pipeRead, &payload[read], static_cast<DWORD>(payload.size() - read),
                     &more, nullptr);
            read += more;
        }
        EXPECT_EQ(head & 0xE0, 0xC0) << "not an IncomingData header";
        messages.push_back(payload);
        total += payload.size();
    }
    return messages;
}

std::vector<std::size_t> sizesOf(const std::vector<std::string>& messages) {
    std::vector<std::size_t> sizes;
    for (const std::string& message : messages) {
        sizes.push_back(message.size());
    }
    return sizes;
}

std::string numbered(std::size_t count) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) {
        bytes += static_cast<char>('A' + i % 26);
    }
    return bytes;
}

void startReader(Controller& controller) {
    ResetEvent(controller.incomingStopEvent);
    controller.incomingReaderThread =
        CreateThread(nullptr, 0, Controller::runIncomingReader, &controller, 0,
                     &controller.incomingReaderThreadId);
    controller.incomingOpen = 1;
}

TEST(SerialLinks, OpenTheDeviceNamedByThePortNumber) {
    for (std::uint8_t port : {3, 12, 0}) {
        SCOPED_TRACE(port);
        PeerLine line(port);
        ASSERT_TRUE(line.ok());
        WorkerHarness h;
        ASSERT_TRUE(h.controller.openOutgoing(port));
        h.controller.outgoingOpen = 1;
        h.writeMount("COM check");
        EXPECT_EQ(line.read(9, 5000), "COM check");
    }
    WorkerHarness h;
    EXPECT_FALSE(h.controller.openIncoming(7));
    EXPECT_EQ(h.controller.incomingPort, INVALID_HANDLE_VALUE);
}

TEST(SerialLinks, AHeldDeviceDoesNotOpenTwice) {
    PeerLine line(3);
    ASSERT_TRUE(line.ok());
    WorkerHarness h;
    ASSERT_TRUE(h.controller.openIncoming(3));
    const bool second = h.controller.openOutgoing(3);
    if (second && runningUnderWine()) {
        CloseHandle(h.controller.outgoingPort);
        CloseHandle(h.controller.incomingPort);
        GTEST_SKIP() << "this Wine does not enforce exclusive opens of serial devices";
    }
    EXPECT_FALSE(second);
    CloseHandle(h.controller.incomingPort);
    EXPECT_TRUE(h.controller.openOutgoing(3)) << "free again once closed";
    CloseHandle(h.controller.outgoingPort);
}

TEST(SerialLinks, APortLeftWithFlowControlAndAbortOnErrorIsSetToOurOwnLineState) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    // A terminal program used the mount's port before: its settings stay with the device.
    HANDLE earlier = CreateFileA("\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(earlier, INVALID_HANDLE_VALUE);
    DCB left{};
    left.DCBlength = sizeof left;
    ASSERT_TRUE(GetCommState(earlier, &left));
    left.fOutxCtsFlow = 1;
    left.fOutxDsrFlow = 1;
    left.fRtsControl = RTS_CONTROL_HANDSHAKE;
    left.fDtrControl = DTR_CONTROL_DISABLE;
    left.fOutX = 1;
    left.fAbortOnError = 1;
    left.fNull = 1;
    ASSERT_TRUE(SetCommState(earlier, &left));
    CloseHandle(earlier);

    WorkerHarness h;
    h.connectIncoming(3);
    h.connectOutgoing(4);
    ASSERT_EQ(h.controller.incomingOpen + h.controller.outgoingOpen, 2);
    DCB ours{};
    ours.DCBlength = sizeof ours;
    ASSERT_TRUE(GetCommState(h.controller.outgoingPort, &ours));
    EXPECT_EQ(ours.fOutxCtsFlow + ours.fOutxDsrFlow + ours.fOutX + ours.fInX + ours.fNull +
                  ours.fAbortOnError + ours.fDsrSensitivity,
              0u);
    EXPECT_EQ(ours.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(ours.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(ours.fBinary, 1u);

    guider.write(":Mgw0100#");
    ASSERT_TRUE(h.pumpUntilCount(1));
    h.tick();
    EXPECT_EQ(mount.read(8, 5000), ":Mw#:Qw#") << "held by flow control the mount never raises";

#ifndef _WIN32
    // A port whose state cannot be read still takes ours: the DCB is whole without it. One that
    // refuses any state is opened all the same, and the Event Log says so with the port.
    auto refusals = [&] {
        std::vector<Event> all(64);
        EventCursor cursor;
        all.resize(static_cast<std::size_t>(h.controller.events.take(cursor, all.data(), 64)));
        std::vector<std::pair<std::uint32_t, std::uint16_t>> found;
        for (const Event& event : all) {
            if (event.kind == EventLineSettings) {
                found.emplace_back(event.value, event.extra);
            }
        }
        return found;
    };
    h.disconnectOutgoing();
    win32_posix::setDeviceFaultsForTesting(4, false, true);
    h.connectOutgoing(4);
    win32_posix::setDeviceFaultsForTesting(4, false, false);
    ASSERT_TRUE(GetCommState(h.controller.outgoingPort, &ours));
    EXPECT_EQ(ours.BaudRate, 9600u);
    EXPECT_NE(ours.XonChar, ours.XoffChar);
    EXPECT_TRUE(refusals().empty());
    h.disconnectOutgoing();
    const std::string notATty = std::string(std::getenv("BRIDGE_COM_DIR")) + "/com7";
    ASSERT_EQ(symlink("/dev/null", notATty.c_str()), 0);
    h.connectOutgoing(7);
    unlink(notATty.c_str());
    EXPECT_EQ(h.listener.reports().back(), outgoing(StatusPortOpened));
    const auto refused = refusals();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].first, 0u);
    EXPECT_EQ(refused[0].second, 7);
#endif
}

TEST(SerialLinks, ForwardSplitsReadsIntoMessagesOfAtMost31Bytes) {
    WorkerHarness h;
    const std::string bytes = numbered(128);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    struct Case {
        int count;
        std::vector<std::size_t> sizes;
    };
    for (const Case& c : {Case{128, {31, 31, 31, 31, 4}}, Case{31, {31}}, Case{32, {31, 1}}}) {
        h.controller.forwardIncoming(data, c.count);
        const auto messages = readMessages(h.controller, static_cast<std::size_t>(c.count));
        EXPECT_EQ(sizesOf(messages), c.sizes);
        std::string joined;
        for (const auto& message : messages) {
            joined += message;
        }
        EXPECT_EQ(joined, bytes.substr(0, static_cast<std::size_t>(c.count)));
    }
    h.controller.forwardIncoming(data, 0);
    DWORD waiting = 1;
    PeekNamedPipe(h.controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
    EXPECT_EQ(waiting, 0u);
}

TEST(SerialLinks, TheReaderForwardsABurstAsOneRead) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    ASSERT_TRUE(h.controller.openIncoming(3));
    startReader(h.controller);
    for (std::size_t burst : {128u, 31u, 32u}) {
        SCOPED_TRACE(burst);
        const std::string bytes = numbered(burst);
        guider.write(bytes);
        const auto messages = readMessages(h.controller, burst);
        const std::vector<std::size_t> expected =
            burst == 128
                ? std::vector<std::size_t>{31, 31, 31, 31, 4}
                : (burst == 31 ? std::vector<std::size_t>{31} : std::vector<std::size_t>{31, 1});
        EXPECT_EQ(sizesOf(messages), expected);
    }
    h.controller.closeIncoming();
}

TEST(SerialLinks, TheReaderForwardsWhatArrivesInOrder) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    ASSERT_TRUE(h.controller.openIncoming(3));
    startReader(h.controller);
    const std::string bytes = numbered(128) + numbered(200);
    guider.write(bytes.substr(0, 128));
    auto messages = readMessages(h.controller, 128);
    guider.write(bytes.substr(128));
    const auto more = readMessages(h.controller, 200);
    messages.insert(messages.end(), more.begin(), more.end());
    std::string joined;
    for (const auto& message : messages) {
        EXPECT_LE(message.size(), 31u);
        EXPECT_GE(message.size(), 1u);
        joined += message;
    }
    EXPECT_EQ(joined, bytes);
    h.controller.closeIncoming();
}

TEST(SerialLinks, TextsAreCutToTheirFirst30Bytes) {
    PeerLine mount(4);
    ASSERT_TRUE(mount.ok());
    WorkerHarness h;
    ASSERT_TRUE(h.controller.openOutgoing(4));
    h.controller.outgoingOpen = 1;
    const std::string text35 = numbered(35);
    h.writeMount(text35.c_str());
    EXPECT_EQ(mount.readQuiet(300, 5000), text35.substr(0, 30));
    const std::string text30 = numbered(30);
    h.writeMount(text30.c_str());
    h.writeMount("");
    EXPECT_EQ(mount.readQuiet(300, 5000), text30);
}

TEST(SerialLinks, CloseEndsTheReaderAtOnceAndThePortOpensAgain) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(h.controller.openIncoming(3));
        startReader(h.controller);
        const HANDLE reader = h.controller.incomingReaderThread;
        const std::string bytes = "round " + std::to_string(round);
        guider.write(bytes);
        const auto messages = readMessages(h.controller, bytes.size());
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], bytes);

        const auto start = Clock::now();
        h.controller.closeIncoming();
        EXPECT_LT(millisecondsSince(start), 3000) << "the close waited out its time limit";
        EXPECT_EQ(h.controller.incomingOpen, 0);
        EXPECT_NE(reader, nullptr);
    }
}

TEST(SerialLinks, CloseCollectsAReaderThatFoundThePipeFull) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h; // nobody reads the pipe while this test fills it
    ASSERT_TRUE(h.controller.openIncoming(3));
    startReader(h.controller);
    guider.write(std::string(6000, 'x'));
    DWORD waiting = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        PeekNamedPipe(h.controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
        if (waiting + MaxPayload + 1 > PipeBufferSize) {
            break;
        }
        Sleep(10);
    }
    ASSERT_GT(waiting + MaxPayload + 1, PipeBufferSize) << "the pipe never filled";

    const auto start = Clock::now();
    h.controller.closeIncoming();
    EXPECT_LT(millisecondsSince(start), 3000);
    EXPECT_LE(waiting, PipeBufferSize);
}

TEST(SerialLinks, AWriteTheLineDoesNotTakeHoldsNothingAndCompletesWhenTheLineMoves) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a line that stops taking bytes; the relay under Wine never does";
#else
    PeerLine mount(4);
    ASSERT_TRUE(mount.ok());
    WorkerHarness h;
    ASSERT_TRUE(h.controller.openOutgoing(4));
    h.controller.outgoingOpen = 1;
    win32_posix::setDeviceFaultsForTesting(4, true, false);
    const auto start = Clock::now();
    EXPECT_TRUE(h.controller.writeOutgoingString(":Mw#"));
    EXPECT_FALSE(h.controller.writeOutgoingString(":Qw#")) << "a second write while one is out";
    EXPECT_LT(millisecondsSince(start), 100) << "a write waited for the line";
    EXPECT_FALSE(h.settle(1500));
    EXPECT_TRUE(h.controller.lines[LinkOutgoing].stalled);
    win32_posix::setDeviceFaultsForTesting(4, false, false);
    EXPECT_TRUE(h.settle(5000));
    EXPECT_EQ(mount.read(4, 5000), ":Mw#");
    h.writeMount(":Qw#");
    EXPECT_EQ(mount.read(4, 5000), ":Qw#");
    EXPECT_EQ(h.controller.unhalted, 0u);
#endif
}

TEST(SerialLinks, AReaderWhoseDeviceVanishesAsksForTheCloseAndEnds) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a device that can be pulled out; native only";
#else
    PeerLine guider(5);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    ASSERT_TRUE(h.controller.openIncoming(5));
    h.controller.incomingOpening = 0x01020304;
    startReader(h.controller);
    guider.write("before");
    ASSERT_EQ(readMessages(h.controller, 6).size(), 1u);
    ASSERT_TRUE(guider.hangUp());

    const std::clock_t cpuStart = std::clock();
    const auto start = Clock::now();
    ASSERT_EQ(WaitForSingleObject(h.controller.incomingReaderThread, 5000), WAIT_OBJECT_0)
        << "the reader did not give the line up";
    const long long took = millisecondsSince(start);
    EXPECT_GE(took, 800) << "a glitch would be taken for a lost line";
    EXPECT_LT(took, 3000);
    const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuSeconds, 0.5) << "the reader spins on a failing device";

    // Nothing of the failed reads, only the notice naming this opening.
    DWORD waiting = 0;
    PeekNamedPipe(h.controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
    std::string notice(waiting, '\0');
    DWORD got = 0;
    ReadFile(h.controller.pipeRead, &notice[0], waiting, &got, nullptr);
    EXPECT_EQ(notice, std::string("\xA5\x07\x04\x03\x02\x01", 6));

    const auto closeStart = Clock::now();
    h.controller.closeIncoming();
    EXPECT_LT(millisecondsSince(closeStart), 3000);
#endif
}

} // namespace
