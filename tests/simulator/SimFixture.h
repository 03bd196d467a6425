// A simulated modem and the far end of its line, opened with plain POSIX calls, so that each
// test sees exactly the bytes a library would read.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Modem.h"
#include "support/TempPortDir.h"

namespace TestSupport {

// What one exchange brought back, cut into bursts at pauses of `gapMs`.
struct Heard {
    std::string bytes;
    std::vector<std::string> bursts;
};

class ModemLine {
public:
    explicit ModemLine(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) {
            termios t{};
            ::tcgetattr(fd_, &t);
            ::cfmakeraw(&t);
            ::cfsetspeed(&t, B115200);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~ModemLine() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ModemLine(const ModemLine&) = delete;
    ModemLine& operator=(const ModemLine&) = delete;

    bool IsOpen() const { return fd_ >= 0; }

    void Write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }

    // Reads until the collected bytes end with `tail` (or hold it, when `anywhere`), or until
    // `limitMs` have passed; then reads on for `settleMs` to catch anything that follows.
    Heard ReadUntil(const std::string& tail, int limitMs = 3000, int settleMs = 50,
                    int gapMs = 150) {
        Heard heard;
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto last = start;
        auto deadline = start + std::chrono::milliseconds(limitMs);
        bool settled = false;
        for (;;) {
            const auto now = Clock::now();
            if (now >= deadline) {
                break;
            }
            const int waitMs = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, waitMs) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                continue;
            }
            const auto at = Clock::now();
            if (heard.bursts.empty() || at - last >= std::chrono::milliseconds(gapMs)) {
                heard.bursts.emplace_back();
            }
            last = at;
            heard.bytes.append(chunk, static_cast<std::size_t>(n));
            heard.bursts.back().append(chunk, static_cast<std::size_t>(n));
            if (!settled && !tail.empty() && heard.bytes.size() >= tail.size() &&
                heard.bytes.compare(heard.bytes.size() - tail.size(), tail.size(), tail) == 0) {
                settled = true;
                deadline = at + std::chrono::milliseconds(settleMs);
            }
        }
        return heard;
    }

    // Writes a command and returns its reply, up to a final result line.
    std::string Ask(const std::string& command, const std::string& tail = "OK\r\n") {
        Write(command);
        return ReadUntil(tail).bytes;
    }

private:
    int fd_ = -1;
};

class SimTest : public ::testing::Test {
protected:
    static constexpr int kPort = 4;

    explicit SimTest(const std::string& model = "MU609") : SimTest(ModemSim::ProfileFor(model)) {}
    explicit SimTest(ModemSim::ModemProfile profile)
        : modem(dir.Path(), kPort, std::move(profile)), line(modem.Port().LinkPath()) {}

    void SetUp() override { ASSERT_TRUE(line.IsOpen()); }

    // A received message as the tests store it: 2018/09/28 09:39:55, zone +8 hours.
    static ModemSim::StoredMessage Received(const std::string& number, const std::string& text,
                                            ModemSim::Coding coding = ModemSim::Coding::Gsm7,
                                            int index = -1) {
        ModemSim::StoredMessage message;
        message.index = index;
        message.number = number;
        message.text = text;
        message.coding = coding;
        message.time = {18, 9, 28, 9, 39, 55, 32};
        return message;
    }

    TempPortDir dir;
    ModemSim::CModem modem;
    ModemLine line;
};

// The same for a named model.
template <const char* kModel>
class ModelTest : public SimTest {
protected:
    ModelTest() : SimTest(std::string(kModel)) {}
};

}  // namespace TestSupport
