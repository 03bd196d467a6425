// The serial port against the simulator over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "PtyPort.h"
#include "serial/CSXCom.h"
#include "support/TempPortDir.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ModemSim::Burst;
using ModemSim::CPtyPort;
using ModemSim::CReplyScript;

namespace {

constexpr int kPort = 7;

long long MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}
long long MsSince(Clock::time_point start) {
    return MsBetween(start, Clock::now());
}

// What "at once" allows a thread switch on a loaded machine under the sanitizers: far
// below the five seconds a read waits for its first byte.
constexpr long long kAtOnceMs = 1000;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The device a test before closed is free again once its driver has let go of it:
        // at once on Linux, a moment later under Wine after a cancelled write.
        const auto deadline = Clock::now() + 5s;
        while (port.Open(kPort, 115200) != 1 && Clock::now() < deadline) {
            port.Close();
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(port.IsOpen());
    }

    // A shorter first-byte wait for tests whose subject is not that wait.
    void UseShortFirstByteWait() {
        serial::SerialTiming timing;
        timing.firstByteWaitMs = 600;
        port.SetTiming(timing);
    }

    std::string ReadOnce(int capacity = 1024) {
        std::vector<char> buffer(static_cast<size_t>(capacity));
        int n = port.Read(buffer.data(), capacity);
        return std::string(buffer.data(), static_cast<size_t>(n));
    }

    TestSupport::TempPortDir dir;
    CPtyPort modem{dir.Path(), kPort};
    CSXCom port;
};

TEST(SerialPortOpen, RejectsNumbersOutsideTheRangeAndPortsWithoutDevice) {
    TestSupport::TempPortDir dir;
    CPtyPort modem(dir.Path(), 1024);
    CSXCom port;
    EXPECT_EQ(port.Open(0, 115200), 0);
    EXPECT_EQ(port.Open(1025, 115200), 0);
    EXPECT_EQ(port.Open(-3, 115200), 0);
    EXPECT_FALSE(port.IsOpen());
    // COM500 has neither a link nor a default device.
    EXPECT_EQ(port.Open(500, 115200), 0);
    EXPECT_FALSE(port.IsOpen());
    port.Close();
    // The highest number is valid.
    EXPECT_EQ(port.Open(1024, 115200), 1);
}

TEST_F(SerialPortTest, OpenWhileHeldKeepsTheHeldDevice) {
    CPtyPort otherModem(dir.Path(), kPort + 1);
    const std::string held = port.DeviceName();
    EXPECT_EQ(port.Open(kPort, 9600), 0);
    EXPECT_EQ(port.Open(kPort + 1, 9600), 0);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.DeviceName(), held);
    // Still talking to the first modem at the first settings.
    ASSERT_EQ(port.Write("AT\r", 3), 1);
    ASSERT_TRUE(modem.WaitForReceived(3, 2s));
    EXPECT_EQ(modem.Received(), "AT\r");
    EXPECT_EQ(otherModem.Received(), "");
}

TEST_F(SerialPortTest, SecondInstanceCannotTakeAHeldDevice) {
    CSXCom second;
    EXPECT_EQ(second.Open(kPort, 115200), 0);
    EXPECT_FALSE(second.IsOpen());
    second.Close();
    port.Close();
    port.Close();  // closing twice changes nothing
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(second.Open(kPort, 115200), 1);
}

TEST_F(SerialPortTest, RefusedBaudRateLeavesAHalfOpenPortThatCloseReleases) {
    port.Close();
    EXPECT_EQ(port.Open(kPort, 12345), 0);
    EXPECT_TRUE(port.IsOpen());  // half-open: the device is still held
    CSXCom other;
    EXPECT_EQ(other.Open(kPort, 115200), 0);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(other.Open(kPort, 115200), 1);
}

TEST_F(SerialPortTest, APauseLongerThanTheGapSplitsAReplyInTwoReads) {
    CReplyScript script;
    script.On("AT\r", {Burst{"\r\nfirst", 0}, Burst{"second\r\n", 450}});
    script.On("ATI\r", {Burst{"\r\none", 0}, Burst{"piece\r\n", 100}});
    modem.SetHandler(script.Handler());

    ASSERT_EQ(port.Write("AT\r", 3), 1);
    EXPECT_EQ(ReadOnce(), "\r\nfirst");
    EXPECT_EQ(ReadOnce(), "second\r\n");

    // A pause shorter than the gap stays inside one burst.
    ASSERT_EQ(port.Write("ATI\r", 4), 1);
    EXPECT_EQ(ReadOnce(), "\r\nonepiece\r\n");
}

TEST_F(SerialPortTest, AReplyLongerThanTheCapacityFillsItExactlyAndKeepsTheRest) {
    std::string reply(100, '\0');
    for (size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<char>('A' + i % 26);
    }
    modem.Send(reply);
    char buffer[80];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(port.Read(buffer, 64), 64);
    EXPECT_EQ(std::string(buffer, 64), reply.substr(0, 64));
    EXPECT_EQ(std::string(buffer + 64, 16), std::string(16, '#'));  // nothing past the capacity
    EXPECT_EQ(ReadOnce(), reply.substr(64));
}

TEST_F(SerialPortTest, ReadWithoutInputGivesUpAfterFiveSeconds) {
    const auto start = Clock::now();
    EXPECT_EQ(ReadOnce(), "");
    const auto elapsed = MsSince(start);
    EXPECT_GE(elapsed, 4990);
    // Room for a loaded machine under the sanitizers; a wait that began again would not fit.
    EXPECT_LT(elapsed, 7500);
}

TEST_F(SerialPortTest, ABurstThatNeverPausesIsCutAtTheBurstLimitAndNothingIsLost) {
    serial::SerialTiming timing;
    timing.readTotalConstMs = 400;
    timing.readTotalPerByteMs = 0;
    port.SetTiming(timing);
    ModemSim::Script stream;
    std::string sent;
    for (int i = 0; i < 12; ++i) {
        std::string piece = "chunk" + std::to_string(i) + ";";
        stream.push_back(Burst{piece, 80});
        sent += piece;
    }
    modem.Reply(stream);
    std::string first = ReadOnce();
    EXPECT_FALSE(first.empty());
    EXPECT_LT(first.size(), sent.size());
    std::string all = first;
    while (all.size() < sent.size()) {
        std::string more = ReadOnce();
        ASSERT_FALSE(more.empty()) << "got only " << all;
        all += more;
    }
    EXPECT_EQ(all, sent);
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    // Line ends, flow-control characters and the interrupt character once more, in a row.
    all += "\r\n\n\r\x11\x13\x03\x1a\x1b\x7f\xff\x00";
    all.push_back('\0');

    ASSERT_EQ(port.Write(all.data(), static_cast<int>(all.size())), 1);
    ASSERT_TRUE(modem.WaitForReceived(all.size(), 2s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(modem.Received(), all);

    modem.ClearReceived();
    modem.Send(all);
    std::string got;
    while (got.size() < all.size()) {
        std::string more = ReadOnce();
        ASSERT_FALSE(more.empty());
        got += more;
    }
    EXPECT_EQ(got, all);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(modem.Received(), "") << "the port echoed what it received";
}

TEST_F(SerialPortTest, WriteOfNothingSucceedsAndSendsNothing) {
    EXPECT_EQ(port.Write("", 0), 1);
    EXPECT_EQ(port.Write(nullptr, 0), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(modem.Received(), "");
}

TEST_F(SerialPortTest, PurgeDiscardsWaitingInputAndFailsOnAClosedPort) {
    UseShortFirstByteWait();
    modem.Send("stale reply\r\n");
    ASSERT_TRUE(modem.WaitOutputDone(2s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(port.Purge(PURGE_ALL), 1);
    EXPECT_EQ(ReadOnce(), "");
    modem.Send("fresh\r\n");
    EXPECT_EQ(ReadOnce(), "fresh\r\n");
    port.Close();
    EXPECT_EQ(port.Purge(PURGE_ALL), 0);
    char buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.Write("AT", 2), 0);
}

TEST_F(SerialPortTest, InterruptEndsAWaitingReadAtOnceUntilThePortIsClosed) {
    auto reader = std::async(std::launch::async, [&] {
        char buffer[64];
        int n = port.Read(buffer, sizeof buffer);
        return std::make_pair(n, Clock::now());
    });
    std::this_thread::sleep_for(300ms);
    const auto interruptedAt = Clock::now();
    port.Interrupt();
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    auto [n, returnedAt] = reader.get();
    EXPECT_EQ(n, 0);
    EXPECT_LT(MsBetween(interruptedAt, returnedAt), kAtOnceMs);

    // Still interrupted: input is there, yet a read fails at once.
    modem.Send("late\r\n");
    ASSERT_TRUE(modem.WaitOutputDone(2s));
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    EXPECT_EQ(ReadOnce(), "");
    EXPECT_LT(MsSince(start), kAtOnceMs);

    // A closed and reopened port works again.
    port.Close();
    ASSERT_EQ(port.Open(kPort, 115200), 1);
    modem.Send("again\r\n");
    EXPECT_EQ(ReadOnce(), "again\r\n");
}

TEST_F(SerialPortTest, InterruptEndsABlockedWrite) {
    modem.PauseReading(true);
    std::string big(4 * 1024 * 1024, 'x');
    auto writer = std::async(std::launch::async, [&] {
        int ok = port.Write(big.data(), static_cast<int>(big.size()));
        return std::make_pair(ok, Clock::now());
    });
    // The pseudo-terminal's buffers hold far less than the block, so the write waits.
    ASSERT_EQ(writer.wait_for(500ms), std::future_status::timeout);
    const auto interruptedAt = Clock::now();
    port.Interrupt();
    ASSERT_EQ(writer.wait_for(2s), std::future_status::ready);
    auto [ok, returnedAt] = writer.get();
    EXPECT_EQ(ok, 0);
    EXPECT_LT(MsBetween(interruptedAt, returnedAt), kAtOnceMs);
    port.Close();
    modem.PauseReading(false);
}

TEST_F(SerialPortTest, AWriteThatCannotFinishFailsAtItsTimeLimit) {
    serial::SerialTiming timing;
    timing.writeTotalConstMs = 300;
    timing.writeTotalPerByteMs = 0;
    port.SetTiming(timing);
    modem.PauseReading(true);
    std::string big(4 * 1024 * 1024, 'y');
    const auto start = Clock::now();
    EXPECT_EQ(port.Write(big.data(), static_cast<int>(big.size())), 0);
    const auto elapsed = MsSince(start);
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 3000);
    port.Close();
    modem.PauseReading(false);
}

}  // namespace
