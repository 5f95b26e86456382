// Tests of the guide pulse scheduler: the moves and halts that reach the mount tick by tick, and
// the guide-state reports. Ticks are counted, not timed: the test hands each one to the pipe
// reader.
#include "engine/engine_harness.h"
#include "engine/status_code.h"
#include "support/peer_line.h"

namespace {

using Ticks = std::vector<std::string>;

class PulseScheduler : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(guider.ok() && mount.ok());
        h.connectIncoming(3);
        h.connectOutgoing(4);
        ASSERT_EQ(h.controller.incomingOpen + h.controller.outgoingOpen, 2);
        h.listener.clear();
    }

    void send(const std::string& bytes) {
        const int before = h.controller.commandCount;
        int commands = 0;
        for (char c : bytes) {
            commands += c == '#';
        }
        guider.write(bytes);
        ASSERT_TRUE(h.pumpUntilCount(before + commands));
    }

    // Runs ticks and returns what the mount received in each. After each tick a marker byte
    // follows on the same line, so everything before it belongs to that tick.
    Ticks run(int count) {
        Ticks seen;
        for (int i = 0; i < count; ++i) {
            h.tick();
            if (!h.controller.outgoingOpen) {
                seen.push_back(mount.readQuiet(100, 5000));
                continue;
            }
            h.writeMount("|");
            std::string bytes;
            for (;;) {
                const std::string next = mount.read(1, 5000);
                if (next.empty() || next == "|") {
                    break;
                }
                bytes += next;
            }
            seen.push_back(bytes);
        }
        return seen;
    }

    std::vector<Report> guideReports() {
        std::vector<Report> found;
        for (const Report& report : h.listener.reports()) {
            if (report.kind == 3) {
                found.push_back(report);
            }
        }
        return found;
    }

    PeerLine guider{3};
    PeerLine mount{4};
    WorkerHarness h;
};

TEST_F(PulseScheduler, MovesOnTheFirstTickAndHaltsOnTheLast) {
    send(":Mgw0500#");
    EXPECT_EQ(run(6), (Ticks{":Mw#", "", "", "", ":Qw#", ""}));
    send(":Mgs100#");
    EXPECT_EQ(run(2), (Ticks{":Ms#:Qn#", ""}));
}

TEST_F(PulseScheduler, SendsMovesBeforeHaltsInAFixedOrder) {
    send(":Mgs300#:Mgn300#:Mge300#:Mgw300#");
    EXPECT_EQ(run(3), (Ticks{":Mw#:Me#:Mn#:Ms#", "", ":Qw#:Qn#"}));
    // An east pulse runs out in the tick in which a west pulse starts.
    send(":Mge200#");
    EXPECT_EQ(run(1), (Ticks{":Me#"}));
    send(":Mgw300#");
    EXPECT_EQ(run(3), (Ticks{":Mw#:Qw#", "", ":Qw#"}));
}

TEST_F(PulseScheduler, ANewPulseReplacesTheRestAndMovesAgain) {
    send(":Mgn500#");
    EXPECT_EQ(run(2), (Ticks{":Mn#", ""}));
    send(":Mgn200#");
    EXPECT_EQ(run(3), (Ticks{":Mn#", ":Qn#", ""}));
}

TEST_F(PulseScheduler, DoesNothingBeforeTheFirstCommand) {
    h.controller.westTicks = 3;
    h.controller.raStart = AxisWest;
    EXPECT_EQ(run(25), Ticks(25, ""));
    EXPECT_EQ(h.controller.tickDivider, 0);
    EXPECT_EQ(h.controller.westTicks, 3);
    EXPECT_TRUE(guideReports().empty());
    send(":GR#");
    EXPECT_EQ(run(3), (Ticks{":Mw#", "", ":Qw#"}));
}

TEST_F(PulseScheduler, ReportsEveryTenthProcessedTickAcrossConnections) {
    send(":GR#");
    run(9);
    EXPECT_TRUE(guideReports().empty());
    run(1);
    EXPECT_EQ(guideReports(), (std::vector<Report>{guide(4, 4, 1)}));
    run(20);
    EXPECT_EQ(guideReports().size(), 3u);
    run(3);
    EXPECT_EQ(h.controller.tickDivider, 3);

    h.disconnectIncoming();
    h.connectIncoming(3);
    run(12); // not processed: no command yet on this connection
    send(":GR#");
    h.listener.clear();
    run(6);
    EXPECT_TRUE(guideReports().empty());
    run(1);
    EXPECT_EQ(guideReports(), (std::vector<Report>{guide(4, 4, 1)}));
}

TEST_F(PulseScheduler, ShowsEveryPulseForAtLeastOneReport) {
    send(":GR#");
    run(10);
    // Recorded and run out between two reports: active at the next, idle at the one after.
    send(":Mgw100#:Mgs100#");
    run(10);
    run(10);
    // Recorded while an earlier pulse's clear is pending: active at the next report, and the
    // pending clear is applied at the report after it although the new pulse still runs.
    send(":Mge100#");
    run(5);
    send(":Mge9000#");
    run(5);
    run(10);
    EXPECT_EQ(guideReports(), (std::vector<Report>{guide(4, 4, 1), guide(7, 0, 3), guide(4, 4, 3),
                                                   guide(0, 4, 5), guide(4, 4, 5)}));
    EXPECT_GT(h.controller.eastTicks, 0);
}

TEST_F(PulseScheduler, ReportsAxisValuesWithEastAndSouthWinning) {
    send(":Mgw3000#:Mge3000#:Mgn3000#");
    run(10);
    EXPECT_EQ(guideReports().back(), guide(0, 7, 3));
    send(":Mgs3000#");
    run(10);
    EXPECT_EQ(guideReports().back(), guide(0, 0, 4));
}

TEST_F(PulseScheduler, APulseRunningAtACloseResumesAfterTheFirstCommandOfTheNextConnection) {
    send(":Mgw0500#");
    EXPECT_EQ(run(2), (Ticks{":Mw#", ""}));
    h.disconnectIncoming();
    // Ticks stop with the guider's link, so the mount is halted at once; the pulse's count carries
    // over, and its own halt comes again when it runs out.
    EXPECT_EQ(mount.read(4, 5000), ":Qw#");
    h.connectIncoming(3);
    EXPECT_EQ(run(5), Ticks(5, ""));
    send(":GR#");
    EXPECT_EQ(run(4), (Ticks{"", "", ":Qw#", ""}));
}

TEST_F(PulseScheduler, WritesNothingWhileTheOutgoingLinkIsClosedButMovesOn) {
    h.disconnectOutgoing();
    send(":Mgw200#:Mgn100#");
    EXPECT_EQ(run(3), Ticks(3, ""));
    EXPECT_EQ(h.controller.raStart, 0u);
    EXPECT_EQ(h.controller.decStart, 0u);
    EXPECT_EQ(h.controller.westTicks, 0);
    EXPECT_EQ(h.controller.raHalt, NoMask);
    EXPECT_EQ(h.controller.decHalt, NoMask);
    h.connectOutgoing(4);
    EXPECT_EQ(run(2), Ticks(2, "")) << "nothing left over for the mount";
    send(":Mgw100#");
    EXPECT_EQ(run(1), (Ticks{":Mw#:Qw#"}));
}

TEST_F(PulseScheduler, ADisconnectOfTheMountMidPulseHaltsBeforeTheLineCloses) {
    send(":Mgw0500#:Mgn0500#:Mge0100#");
    EXPECT_EQ(run(1), (Ticks{":Mw#:Me#:Mn#:Qw#"}));
    // Closed right after the halts were written: they must still leave the line, whole.
    h.disconnectOutgoing();
    EXPECT_EQ(mount.readQuiet(200, 5000), ":Qw#:Qn#");
    EXPECT_EQ(h.listener.reports().back(), outgoing(StatusClosed));
    EXPECT_EQ(h.controller.westTicks, 4) << "the pulse's count is the scheduler's, not the link's";
    // Nothing moves: nothing to halt.
    h.connectOutgoing(4);
    run(4);
    mount.readQuiet(100, 2000);
    h.disconnectOutgoing();
    EXPECT_EQ(mount.readQuiet(200, 2000), "");
}

TEST(Shutdown, HaltsTheAxesThatMayBeMovingAndClosesBothLinks) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    RecordingListener listener;
    Controller controller(&listener);
    controller.start();
    controller.connectIncoming(3);
    controller.connectOutgoing(4);
    ASSERT_TRUE(listener.waitFor(outgoing(2)) && listener.waitFor(incoming(3)));
    guider.write(":Mgw0500#:Mgs2000#");
    ASSERT_TRUE(listener.waitFor(incoming(0x80, 2)));
    controller.onHeartBeat();
    EXPECT_EQ(mount.read(8, 5000), ":Mw#:Ms#");
    controller.stop();
    EXPECT_EQ(mount.readQuiet(200, 5000), ":Qw#:Qn#");
    EXPECT_EQ(controller.incomingOpen + controller.outgoingOpen, 0);
}

TEST(Shutdown, LeavesAMountAloneThatIsNotMoving) {
    PeerLine mount(4);
    ASSERT_TRUE(mount.ok());
    RecordingListener listener;
    Controller controller(&listener);
    controller.start();
    controller.connectOutgoing(4);
    ASSERT_TRUE(listener.waitFor(outgoing(2)));
    controller.stop();
    EXPECT_EQ(mount.readQuiet(200, 2000), "");
}

} // namespace
