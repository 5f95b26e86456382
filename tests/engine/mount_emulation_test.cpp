// Tests of the hand controller that the guiding software sees: framing, counting, replies and the
// pulse-guide commands, over a real serial line.
#include "engine/engine_harness.h"
#include "support/peer_line.h"

namespace {

class MountEmulation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(guider.ok());
        h.connectIncoming(3);
        ASSERT_EQ(h.controller.incomingOpen, 1);
        h.listener.clear();
    }

    // Sends bytes from the guiding software and waits until the controller has counted the
    // given number of commands in all.
    void send(const std::string& bytes, int countAfter) {
        guider.write(bytes);
        ASSERT_TRUE(h.pumpUntilCount(countAfter))
            << "count stayed at " << h.controller.commandCount;
    }

    // What the guiding software received, once the line has gone quiet.
    std::string replies() { return guider.readQuiet(150, 5000); }

    // Hands bytes to the framer as one IncomingData message.
    void feedData(const std::string& bytes) {
        h.feed(std::string(1, static_cast<char>(0xC0 | bytes.size())) + bytes);
    }

    PeerLine guider{3};
    WorkerHarness h;
};

TEST_F(MountEmulation, AnswersTheQueriesByteForByte) {
    send(":GA#:GD#:GR#:GS#:GVF#:GZ#:Gt#", 7);
    EXPECT_EQ(replies(), "+00*00'00#00*00'00#00:00:00#22:00:00#Meade Autostar 497#180*00#+47*00#");
}

TEST_F(MountEmulation, AnswersALoneAckWithP) {
    send(std::string(1, '\x06'), 1);
    EXPECT_EQ(replies(), "P");
    // Inside a command an ACK is just one of its bytes.
    send(std::string(":\x06GR#"), 2);
    EXPECT_EQ(replies(), "");
}

TEST_F(MountEmulation, CountsWholeCommandsOnly) {
    send("\r\n #:GR# \n#", 1);
    EXPECT_EQ(replies(), "00:00:00#");
    EXPECT_EQ(h.listener.reports(), (std::vector<Report>{incoming(0x84, 1)}));
    send("::GR#", 2);
    EXPECT_EQ(replies(), "") << "a second ':' does not restart a command";
    EXPECT_EQ(h.listener.reports().back(), incoming(0x80, 2));
}

TEST_F(MountEmulation, LooksOnlyAtTheQueryLetterAndTheIdentificationByte) {
    send(":GR#:GRx#", 2);
    EXPECT_EQ(replies(), "00:00:00#00:00:00#");
    send(":G#:GV#:GVP#:Gq#:gR#:X#", 8);
    EXPECT_EQ(replies(), "");
    send(":GVF#", 9);
    EXPECT_EQ(replies(), "Meade Autostar 497#");
}

TEST_F(MountEmulation, HoldsAtMost50BytesBeforeTheHash) {
    send(":" + std::string(49, 'x') + "#", 1); // 51 bytes with its '#': handled
    // One byte more is dropped with the command, and is not taken as the start of another.
    guider.write(":" + std::string(49, 'x') + ":GR#");
    send(":GD#", 2);
    EXPECT_EQ(replies(), "00*00'00#");
}

TEST_F(MountEmulation, ACommandMayArriveInPieces) {
    feedData(":G");
    feedData("R");
    EXPECT_EQ(h.controller.commandCount, 0);
    feedData("#:Mgw");
    feedData("150");
    feedData("0#");
    EXPECT_EQ(h.controller.commandCount, 2);
    EXPECT_EQ(h.controller.westTicks, 15);
    EXPECT_EQ(replies(), "00:00:00#");
}

TEST_F(MountEmulation, ReadsPulseDurations) {
    struct Case {
        const char* command;
        std::int32_t ticks;
    };
    const Case cases[] = {
        {":Mgw5#", 1},    {":Mgw#", 0},     {":Mgw0#", 0},       {":Mgw00#", 0},
        {":MgW500#", 0},  {":Mgw500x#", 5}, {":Mgw0001009#", 1}, {":Mgw1#", 1},
        {":Mgw100#", 1},  {":Mgw101#", 2},  {":Mgw200#", 2},     {":Mgw999999#", 10000},
        {":Mgw12x4#", 1}, {":Mgx500#", 0},  {":Mg#", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        h.controller.westTicks = 0;
        h.controller.raStart = 0;
        h.controller.raShowSet = 0;
        const std::int32_t before = h.controller.commandCount;
        feedData(c.command);
        EXPECT_EQ(h.controller.commandCount, before + 1) << "every command counts";
        EXPECT_EQ(h.controller.westTicks, c.ticks);
        EXPECT_EQ(h.controller.raStart, c.ticks ? AxisWest : 0u);
        EXPECT_EQ(h.controller.raShowSet, c.ticks ? AxisWest : 0u);
    }
    EXPECT_EQ(replies(), "") << "pulse-guide commands get no reply";
}

TEST_F(MountEmulation, RecordsEachDirectionOnItsOwnCounter) {
    feedData(":Mgn150#");
    feedData(":Mgs300#:Mge400#");
    feedData(":Mgw500#");
    EXPECT_EQ(h.controller.northTicks, 2);
    EXPECT_EQ(h.controller.southTicks, 3);
    EXPECT_EQ(h.controller.eastTicks, 4);
    EXPECT_EQ(h.controller.westTicks, 5);
    EXPECT_EQ(h.controller.raStart, AxisWest | AxisEast);
    EXPECT_EQ(h.controller.decStart, AxisNorth | AxisSouth);
    EXPECT_EQ(h.controller.raShowSet, AxisWest | AxisEast);
    EXPECT_EQ(h.controller.decShowSet, AxisNorth | AxisSouth);
    // A new pulse replaces what is left of the previous one in its direction only.
    feedData(":Mgn900#");
    EXPECT_EQ(h.controller.northTicks, 9);
    EXPECT_EQ(h.controller.southTicks, 3);
}

} // namespace
