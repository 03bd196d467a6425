// The library's exports against a simulated modem, with the service's port given short time
// limits so that silence costs a fraction of a second.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Modem.h"
#include "Tarvik.h"
#include "engine/ProcessState.h"
#include "service/ServiceHost.h"
#include "support/TempPortDir.h"

namespace TestSupport {

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

class ServiceTest : public ::testing::Test {
protected:
    static constexpr int kPort = 7;
    static constexpr int kBaud = 115200;

    explicit ServiceTest(const std::string& model = "MU609")
        : modem(dir.Path(), kPort, ModemSim::ProfileFor(model)) {}

    void SetUp() override {
        SMSStopSerice();
        serial::SerialTiming timing;
        timing.firstByteWaitMs = 400;
        timing.burstGapMs = 25;
        GSM::ServiceHost().port.SetTiming(timing);
    }
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
