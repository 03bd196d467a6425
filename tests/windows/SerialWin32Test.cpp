// The Win32 serial device through CSXCom, under Wine, against the simulator behind the COM
// port named in TARVIK_TEST_PORT (run_with_modem.sh starts it and links the port).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "serial/CSXCom.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int TestPort() {
    const char* port = std::getenv("TARVIK_TEST_PORT");
    return port != nullptr ? std::atoi(port) : 0;
}

class SerialWin32Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(TestPort(), 0) << "TARVIK_TEST_PORT names the simulator's port";
        ASSERT_EQ(port_.Open(TestPort(), 115200), 1);
    }

    // The reply to `command`, read burst by burst until it holds `until` or a read is empty.
    std::string Exchange(const std::string& command, const std::string& until = "OK") {
        EXPECT_EQ(port_.Write(command.data(), static_cast<int>(command.size())), 1);
        std::string reply;
        char buffer[512];
        while (reply.find(until) == std::string::npos) {
            const int n = port_.Read(buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(n));
        }
        return reply;
    }

    CSXCom port_;
};

TEST(SerialWin32Open, RejectsNumbersOutsideTheRangeAndPortsWithoutDevice) {
    CSXCom port;
    EXPECT_EQ(port.Open(0, 115200), 0);
    EXPECT_EQ(port.Open(1025, 115200), 0);
    EXPECT_FALSE(port.IsOpen());
    // COM1000 is linked to nothing in the test's prefix.
    EXPECT_EQ(port.Open(1000, 115200), 0);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialWin32Test, ACommandGetsItsReplyAndTheDeviceNameIsTheWin32One) {
    EXPECT_EQ(port_.DeviceName(), "\\\\.\\COM" + std::to_string(TestPort()));
    EXPECT_NE(Exchange("AT\r").find("OK"), std::string::npos);
    // A zero-byte write succeeds without touching the line.
    EXPECT_EQ(port_.Write("", 0), 1);
}

// Wine lets a port be opened twice; the named lock keeps it to one holder, and gives it up
// with the port.
TEST_F(SerialWin32Test, ASecondHolderIsRefusedUntilTheFirstCloses) {
    CSXCom second;
    EXPECT_EQ(second.Open(TestPort(), 115200), 0);
    second.Close();
    EXPECT_TRUE(port_.IsOpen());
    EXPECT_NE(Exchange("AT\r").find("OK"), std::string::npos);  // the holder is unharmed
    port_.Close();
    EXPECT_EQ(second.Open(TestPort(), 115200), 1);
    second.Close();
}

TEST_F(SerialWin32Test, AReadWithNoInputGivesUpAfterTheFirstByteWait) {
    serial::SerialTiming timing;
    timing.firstByteWaitMs = 600;
    port_.SetTiming(timing);
    char buffer[64];
    const auto before = Clock::now();
    EXPECT_EQ(port_.Read(buffer, sizeof buffer), 0);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 550ms);
    EXPECT_LT(took, 5000ms);
}

TEST_F(SerialWin32Test, AReplyLongerThanTheBufferFillsItAndLeavesTheRestForTheNextRead) {
    ASSERT_EQ(port_.Write("AT\r", 3), 1);
    char small[2];
    std::memset(small, 0x55, sizeof small);
    ASSERT_EQ(port_.Read(small, sizeof small), 2);
    std::string rest;
    char buffer[256];
    for (int n = 0;
         rest.find("OK") == std::string::npos && (n = port_.Read(buffer, sizeof buffer)) > 0;) {
        rest.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_NE((std::string(small, 2) + rest).find("OK"), std::string::npos);
}

// An interrupt ends a waiting read at once, and nothing is written into the caller's buffer
// after the read returned, even when the modem's reply arrives later.
TEST_F(SerialWin32Test, AnInterruptEndsAWaitingReadAndTheBufferStaysUntouched) {
    char buffer[256];
    std::memset(buffer, 0x55, sizeof buffer);
    std::atomic<int> result{-1};
    std::atomic<bool> returned{false};
    Clock::time_point end;
    std::thread reader([&] {
        result = port_.Read(buffer, sizeof buffer);
        end = Clock::now();
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());  // nothing to read: it still waits
    const auto interrupted = Clock::now();
    port_.Interrupt();
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(end - interrupted, 100ms);

    // Every wait of an interrupted port fails at once, until it is closed.
    EXPECT_EQ(port_.Pause(1000), 0);
    port_.Close();
    ASSERT_EQ(port_.Open(TestPort(), 115200), 1);
    EXPECT_NE(Exchange("AT\r").find("OK"), std::string::npos);
    for (unsigned char c : buffer) {
        ASSERT_EQ(c, 0x55);
    }
}

}  // namespace
