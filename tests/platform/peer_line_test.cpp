// Tests of PeerLine against a device end opened as \\.\COMn the way the engine opens it.
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "serial_helpers.h"
#include "support/peer_line.h"

namespace {

constexpr int Port = 6; // one of the pairs that the Wine wrapper relays

TEST(PeerLine, CarriesBytesBothWays) {
    PeerLine line(Port);
    ASSERT_TRUE(line.ok());
    HANDLE device = openConfiguredPort(Port);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    line.write("ping");
    EXPECT_EQ(readFromPort(device, 4), "ping");
    EXPECT_TRUE(writeAll(device, "pong"));
    EXPECT_EQ(line.read(4, 5000), "pong");
    const std::string binary("\x00\x06\x7f\x80\xff\r\n#", 8); // raw: nothing translated
    line.write(binary);
    EXPECT_EQ(readFromPort(device, binary.size()), binary);
    EXPECT_TRUE(writeAll(device, binary));
    EXPECT_EQ(line.read(binary.size(), 5000), binary);
    CloseHandle(device);
}

TEST(PeerLine, ReadQuietCollectsUntilTheLineIsQuiet) {
    PeerLine line(Port);
    ASSERT_TRUE(line.ok());
    HANDLE device = openConfiguredPort(Port);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(line.readQuiet(200, 5000), "") << "an idle line gives nothing";
    EXPECT_TRUE(writeAll(device, ":Mw#"));
    EXPECT_TRUE(writeAll(device, ":Qw#"));
    EXPECT_EQ(line.readQuiet(300, 5000), ":Mw#:Qw#");
    EXPECT_EQ(line.read(1, 200), "") << "read gives up at its deadline";
    CloseHandle(device);
}

TEST(PeerLine, TheLineSurvivesTheNearEndClosingAndOpeningAgain) {
    PeerLine line(Port);
    ASSERT_TRUE(line.ok());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        HANDLE device = openConfiguredPort(Port);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        const std::string text = "round " + std::to_string(round);
        line.write(text);
        EXPECT_EQ(readFromPort(device, text.size()), text);
        EXPECT_TRUE(writeAll(device, text));
        EXPECT_EQ(line.read(text.size(), 5000), text);
        CloseHandle(device);
    }
}

TEST(PeerLine, HangUpMakesTheNearDeviceFailNatively) {
    PeerLine line(Port);
    ASSERT_TRUE(line.ok());
    HANDLE device = openConfiguredPort(Port);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
#ifdef _WIN32
    EXPECT_FALSE(line.hangUp()) << "not supported under Wine";
#else
    ASSERT_TRUE(line.hangUp());
    EXPECT_EQ(readFromPort(device, 1), "");
    EXPECT_FALSE(writeAll(device, "x"));
#endif
    CloseHandle(device);
}

} // namespace
