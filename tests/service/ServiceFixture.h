// The library's exports against a simulated modem, with the service's port given short time
// limits so that silence costs a fraction of a second.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Modem.h"
#include "Tarvik.h"
#include "engine/ProcessState.h"
#include "service/ServiceHost.h"
#include "support/TempPortDir.h"
#include "support/TestPlatform.h"

namespace TestSupport {

// A stop that waits for nothing: far below the five seconds a reply may take, which is what
// a stop that waits for the modem would cost, with room for a loaded two-core machine that
// holds a thread switch.
inline constexpr std::chrono::milliseconds kImmediateStop{1000};

inline std::string LastError() {
    char text[1024] = {};
    const int length = SMSGetLastError(text);
    return std::string(text, static_cast<size_t>(length));
}

// Polls `condition` every 5 ms for up to `limit`.
template <typename Condition>
bool WaitFor(Condition&& condition,
             std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Everything `fetch` copies out (1 per record) until `count` records came or `limit` passed.
template <typename Record, typename Fetch>
std::vector<Record> Collect(Fetch&& fetch, std::size_t count, std::chrono::milliseconds limit) {
    std::vector<Record> records;
    WaitFor(
        [&] {
            Record record{};
            while (fetch(&record) == 1) {
                records.push_back(record);
            }
            return records.size() >= count;
        },
        limit);
    return records;
}

inline std::chrono::milliseconds CpuTime() {
    return ProcessCpuTime();
}

inline std::vector<SendReport> Reports(std::size_t count,
                                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return Collect<SendReport>(SMSReport, count, limit);
}

inline std::vector<RecvMsg> Fetch(std::size_t count,
                                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return Collect<RecvMsg>(SMSGetNextMessage, count, limit);
}

// Stops a service an earlier test left and gives the service's port short time limits, so
// that silence costs a fraction of a second.
inline void FreshServicePort(int firstByteWaitMs) {
    SMSStopSerice();
    serial::SerialTiming timing;
    timing.firstByteWaitMs = firstByteWaitMs;
    timing.burstGapMs = 25;
    GSM::ServiceHost().port.SetTiming(timing);
}

class ServiceTest : public ::testing::Test {
protected:
    static constexpr int kPort = 7;
    static constexpr int kBaud = 115200;

    explicit ServiceTest(const std::string& model = "MU609")
        : modem(dir.Path(), kPort, ModemSim::ProfileFor(model)) {}

    void SetUp() override { FreshServicePort(400); }
    void TearDown() override { SMSStopSerice(); }

    int Start() { return SMSStartService(kPort, kBaud, 2, 8, 0, 1, "card"); }

    // True once the modem has received `text`.
    bool WireShows(const std::string& text) {
        return WaitFor([&] { return modem.Port().Received().find(text) != std::string::npos; });
    }

    TempPortDir dir;
    ModemSim::CModem modem;
};

}  // namespace TestSupport
