// An engine talking to a simulated modem over a pseudo-terminal, with short time limits.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "Modem.h"
#include "engine/ComBaseCmd.h"
#include "engine/ProcessState.h"
#include "support/TempPortDir.h"

namespace TestSupport {

inline std::string LastError() {
    char text[1024] = {};
    int length = GSM::CopyLastError(text);
    return std::string(text, static_cast<size_t>(length));
}

class EngineTest : public ::testing::Test {
protected:
    static constexpr int kPort = 5;

    explicit EngineTest(const std::string& model = "MU609")
        : modem(dir.Path(), kPort, ModemSim::ProfileFor(model)) {}

    void SetUp() override {
        serial::SerialTiming timing;
        timing.firstByteWaitMs = 250;  // a silent modem costs a quarter second per read
        timing.burstGapMs = 60;
        port.SetTiming(timing);
        ASSERT_EQ(port.Open(kPort, 115200), 1);
        GSM::SetLastError("");
    }

    // What the modem received, as text.
    std::string Wire() { return modem.Port().Received(); }

    TempPortDir dir;
    ModemSim::CModem modem;
    CSXCom port;
    GSM::IComBaseCmd engine;
};

}  // namespace TestSupport
