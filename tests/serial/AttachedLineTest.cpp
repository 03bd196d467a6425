// CSXCom over an attached line: its time limits are kept by the line's clock, so that the
// engine's tests on the scripted line see the port's burst logic as it is.
#include <gtest/gtest.h>

#include <string>

#include "serial/CSXCom.h"
#include "support/ScriptedLine.h"

namespace {

using TestSupport::CScriptedLine;
using TestSupport::LineScript;

class AttachedLineTest : public ::testing::Test {
protected:
    AttachedLineTest() { port.AttachLine(line); }
    void SetUp() override { ASSERT_EQ(port.Open(3, 115200), 1); }

    std::string ReadBurst() {
        char buffer[64] = {};
        const int n = port.Read(buffer, sizeof buffer);
        return std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    }

    CScriptedLine line;
    CSXCom port;
};

TEST_F(AttachedLineTest, ASilentReadWaitsItsFirstByteTimeOnTheLinesClock) {
    EXPECT_EQ(ReadBurst(), "");
    EXPECT_EQ(line.ElapsedMs(), serial::kDefaultTiming.firstByteWaitMs);
    EXPECT_EQ(port.Pause(10), 1);
    EXPECT_EQ(line.ElapsedMs(), serial::kDefaultTiming.firstByteWaitMs + 10);
}

TEST_F(AttachedLineTest, ABurstEndsAtItsGapOfSilence) {
    const int gap = serial::kDefaultTiming.burstGapMs;
    line.Send(LineScript{{"\r\n+CPMS:", 40}, {" 0,50\r\n", gap - 1}});
    EXPECT_EQ(ReadBurst(), "\r\n+CPMS: 0,50\r\n");
    // The first byte came 40 ms in; the burst ended a gap after its last byte.
    EXPECT_EQ(line.ElapsedMs(), 40 + (gap - 1) + gap);

    line.Send(LineScript{{"\r\n+CPMS: 0,50\r\n", 0}, {"\r\nOK\r\n", gap + 1}});
    EXPECT_EQ(ReadBurst(), "\r\n+CPMS: 0,50\r\n");
    EXPECT_EQ(ReadBurst(), "\r\nOK\r\n");
}

TEST_F(AttachedLineTest, AReplyLongerThanTheBufferIsLeftForTheNextRead) {
    line.Send(LineScript{{std::string(70, 'x') + "OK", 0}});
    EXPECT_EQ(ReadBurst(), std::string(64, 'x'));
    EXPECT_EQ(ReadBurst(), "xxxxxxOK");
}

TEST_F(AttachedLineTest, WritesReachTheLineWholeAndPurgeDropsWhatArrived) {
    line.On("AT\r\n", "\r\nOK\r\n");
    EXPECT_EQ(port.Write("AT\r\n", 4), 1);
    EXPECT_EQ(line.Written(), "AT\r\n");
    EXPECT_EQ(port.Purge(PURGE_ALL), 1);
    EXPECT_EQ(ReadBurst(), "");
}

TEST_F(AttachedLineTest, AnInterruptEndsEveryWaitAtOnceUntilTheClose) {
    line.Send(LineScript{{"late", 2000}});
    port.Interrupt();
    EXPECT_EQ(ReadBurst(), "");
    EXPECT_EQ(port.Pause(1000), 0);
    EXPECT_EQ(line.ElapsedMs(), 0);
    port.Close();
    ASSERT_EQ(port.Open(3, 115200), 1);
    EXPECT_EQ(ReadBurst(), "late");
}

TEST_F(AttachedLineTest, AClosedLineTakesNothingAndAMissingOneDoesNotOpen) {
    port.Close();
    EXPECT_EQ(port.Write("AT\r\n", 4), 0);
    EXPECT_EQ(line.Written(), "");
    line.SetMissing(true);
    EXPECT_EQ(port.Open(3, 115200), 0);
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
