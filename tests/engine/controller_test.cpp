// Tests of the controller's pipe reader, dispatcher and commands, over real serial lines.
#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "engine/engine_harness.h"
#include "support/peer_line.h"

namespace {

// A port number with no device behind it.
constexpr std::uint8_t MissingPort = 200;

TEST(PipeReader, DropsTicksAndDataWhileTheIncomingLinkIsClosed) {
    WorkerHarness h;
    h.controller.firstCommandSeen = 1;
    h.tick(25);
    h.feed({0xC4, ':', 'G', 'R', '#'});
    EXPECT_EQ(h.controller.tickDivider, 0);
    EXPECT_EQ(h.controller.commandCount, 0);
    EXPECT_EQ(h.listener.size(), 0u);
}

TEST(PipeReader, ATickFindingThePipeFullIsDroppedWithinATicksTime) {
    WorkerHarness h; // nobody reads the pipe
    for (DWORD i = 0; i < PipeBufferSize / 2; ++i) {
        h.controller.onHeartBeat();
    }
    const auto start = std::chrono::steady_clock::now();
    h.controller.onHeartBeat();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    DWORD waiting = 0;
    PeekNamedPipe(h.controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
    EXPECT_EQ(waiting, PipeBufferSize);
}

TEST(PipeReader, FramesBackToBackMessagesAndSkipsStrayBytes) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    h.connectIncoming(3);
    ASSERT_EQ(h.listener.reports(), (std::vector<Report>{incoming(1), incoming(3)}));
    h.controller.firstCommandSeen = 1;

    h.feed({0xE0, 0x00, 0xE0, 0x00});
    EXPECT_EQ(h.controller.tickDivider, 2);

    // Bytes without the marker bit are dropped until the next header; the message after them
    // is read whole.
    h.feed({0x01, 0x7F, 0xA1, 0x05});
    EXPECT_EQ(h.listener.reports().back(), outgoing(8));

    // A Tick's second byte completes it, so the header after it starts a message of its own.
    h.feed({0xE0, 0x00, 0xA1, 0x03});
    EXPECT_EQ(h.controller.tickDivider, 3);
    EXPECT_EQ(h.listener.reports().back(), incoming(7));
    EXPECT_EQ(h.controller.incomingOpen, 0);
}

TEST(PipeReader, HandsAll31PayloadBytesToTheFramer) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    h.connectIncoming(3);
    std::string payload;
    while (payload.size() < 31) {
        payload += ":GR#";
    }
    payload.resize(31); // seven whole queries and the start of an eighth
    h.feed(std::string(1, '\xDF') + payload);
    EXPECT_EQ(h.controller.commandCount, 7);
    EXPECT_EQ(h.controller.parserState, 1);
    EXPECT_EQ(h.controller.commandLength, 3);
    std::string replies;
    for (int i = 0; i < 7; ++i) {
        replies += "00:00:00#";
    }
    EXPECT_EQ(guider.read(replies.size(), 5000), replies);
}

TEST(Commands, ReportTheStatusesOfBothLinks) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    WorkerHarness h;

    h.connectIncoming(MissingPort);
    h.connectOutgoing(MissingPort);
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(1), incoming(5), outgoing(5)}));
    EXPECT_EQ(h.controller.incomingOpen, 0);
    EXPECT_EQ(h.controller.outgoingOpen, 0);
    EXPECT_EQ(h.controller.incomingReaderThread, nullptr);

    h.listener.clear();
    h.disconnectIncoming();
    h.disconnectOutgoing();
    h.connectIncoming(3);
    h.connectOutgoing(4);
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(8), outgoing(8), incoming(1),
                                                         incoming(3), outgoing(2)}));
    EXPECT_EQ(h.controller.incomingOpen, 1);
    EXPECT_EQ(h.controller.outgoingOpen, 1);

    // A connect of an open link reports 6 and changes nothing.
    h.controller.commandCount = 5;
    h.controller.firstCommandSeen = 1;
    h.listener.clear();
    h.connectIncoming(3);
    h.connectOutgoing(4);
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(6), outgoing(6)}));
    EXPECT_EQ(h.controller.commandCount, 5);
    EXPECT_EQ(h.controller.firstCommandSeen, 1);

    h.listener.clear();
    h.disconnectIncoming();
    h.disconnectOutgoing();
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(7), outgoing(7)}));
    EXPECT_EQ(h.controller.incomingOpen, 0);
    EXPECT_EQ(h.controller.outgoingOpen, 0);
}

TEST(Commands, TakeTheirLengthFromTheHeader) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    h.connectIncoming(3);
    h.listener.clear();

    // ConnectIncoming without its port byte, a command of length 0 and an unknown code: dropped.
    h.feed({0xA1, 0x02});
    h.feed({0xA0, 0x00});
    h.feed({0xA1, 0x09});
    h.feed({0xA3, 0x04, 0x04, 0x00});
    EXPECT_EQ(h.listener.size(), 0u);

    // A disconnect of any length is carried out.
    h.feed({0xA2, 0x03, 0x07});
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(7)}));
    EXPECT_EQ(h.controller.incomingOpen, 0);
}

TEST(Commands, PassPortZeroUnchanged) {
    PeerLine line(0);
    ASSERT_TRUE(line.ok());
    WorkerHarness h;
    h.connectOutgoing(0);
    ASSERT_EQ(h.listener.reports(), (std::vector<Report>{outgoing(2)}));
    h.writeMount(":Qn#");
    EXPECT_EQ(line.read(4, 5000), ":Qn#");
}

TEST(Commands, ReconnectingStartsTheCountAfreshButKeepsPendingPulses) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    WorkerHarness h;
    h.connectIncoming(3);
    guider.write(":Mgw0700#:GR#");
    ASSERT_TRUE(h.pumpUntilCount(2));
    EXPECT_EQ(guider.read(9, 5000), "00:00:00#");
    h.tick(3);
    EXPECT_EQ(h.controller.westTicks, 4);
    EXPECT_EQ(h.controller.tickDivider, 3);
    h.controller.raShowClear = 0xFE;
    h.controller.decShowSet = AxisNorth;

    h.disconnectIncoming();
    h.connectIncoming(3);
    EXPECT_EQ(h.controller.commandCount, 0);
    EXPECT_EQ(h.controller.firstCommandSeen, 0);
    EXPECT_EQ(h.controller.displayState, 0u);
    EXPECT_EQ(h.controller.raShowClear, NoMask);
    EXPECT_EQ(h.controller.decShowSet, 0u);
    EXPECT_EQ(h.controller.westTicks, 4);
    EXPECT_EQ(h.controller.tickDivider, 3);

    // The new reader reads the reopened line.
    guider.write(":GD#");
    ASSERT_TRUE(h.pumpUntilCount(1));
    EXPECT_EQ(guider.read(9, 5000), "00*00'00#");
}

#ifndef _WIN32
TEST(Commands, KeepTheSystemAwakeExactlyWhileALinkIsOpenOrLostAndBeingReopened) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    auto held = [] { return win32_posix::threadsKeepingSystemAwake(); };
    {
        WorkerHarness h;
        EXPECT_EQ(held(), 0);
        h.connectOutgoing(4);
        EXPECT_EQ(held(), 1);
        h.connectIncoming(3);
        h.disconnectOutgoing();
        EXPECT_EQ(held(), 1);
        h.disconnectIncoming();
        EXPECT_EQ(held(), 0);
        h.connectIncoming(3);
        ASSERT_TRUE(guider.hangUp());
        ASSERT_TRUE(h.pumpUntil([&] { return h.controller.incomingOpen == 0; }));
        EXPECT_EQ(held(), 1) << "a lost link is still the user's session";
        h.disconnectIncoming();
        EXPECT_EQ(held(), 0);
        h.connectOutgoing(4);
        EXPECT_EQ(held(), 1);
    }
    EXPECT_EQ(held(), 0) << "the program's end releases it";
}
#endif

TEST(Controller, WorkerCarriesOutCommandsFromAnyThreadAndStops) {
    PeerLine guider(3);
    ASSERT_TRUE(guider.ok());
    RecordingListener listener;
    Controller controller(&listener);
    controller.start();
    controller.connectIncoming(3);
    ASSERT_TRUE(listener.waitFor(incoming(3)));
    guider.write(":GVF#");
    EXPECT_EQ(guider.read(19, 5000), "Meade Autostar 497#");
    ASSERT_TRUE(listener.waitFor(incoming(0x84, 1)));

    // The worker wakes for every message rather than looking at the pipe now and then: queries
    // sent at random moments are answered at once, whatever the phase.
    std::mt19937 random(std::random_device{}());
    std::vector<double> latencies;
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
        const auto sent = std::chrono::steady_clock::now();
        guider.write(":GR#");
        ASSERT_EQ(guider.read(9, 5000), "00:00:00#");
        latencies.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
                .count());
    }
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LT(latencies[26], 60.0) << "90th percentile of the reply latency, ms";

    controller.stop();
    EXPECT_EQ(WaitForSingleObject(controller.pipeReaderThread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(controller.incomingOpen, 0);
    // The line is free again: another opener gets it.
    WorkerHarness other;
    other.connectIncoming(3);
    EXPECT_EQ(other.listener.reports().back(), incoming(3));
}

} // namespace
