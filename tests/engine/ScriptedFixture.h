// The engine against a far end that plays scripted replies to triggers, for the exact
// bytes of one dialect; and the helpers to build the parts it submits.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PtyPort.h"
#include "engine/ComBaseCmd.h"
#include "engine/ProcessState.h"
#include "service/MsgRecord.h"
#include "support/TempPortDir.h"
#include "support/TestPlatform.h"

namespace TestSupport {

inline GSM::OutgoingPart MakePart(const std::string& number, int prefixLength,
                                  const std::string& text, uint8_t coding,
                                  const std::string& serviceCentre = "8613800100500") {
    GSM::OutgoingPart part;
    std::memset(&part, 0, sizeof part);
    std::strncpy(part.record.number, number.c_str(), sizeof part.record.number - 1);
    std::strncpy(part.record.serviceCentre, serviceCentre.c_str(),
                 sizeof part.record.serviceCentre - 1);
    std::strncpy(part.record.text, text.c_str(), sizeof part.record.text - 1);
    part.record.coding = coding;
    part.prefixLength = static_cast<uint8_t>(prefixLength);
    part.serviceCentreInternational = true;
    return part;
}

class ScriptedTest : public ::testing::Test {
protected:
    static constexpr int kPort = 6;

    ScriptedTest() : far(dir.Path(), kPort) { far.SetHandler(script.Handler()); }
    ~ScriptedTest() override { far.SetHandler(nullptr); }

    void SetUp() override {
        serial::SerialTiming timing;
        timing.firstByteWaitMs = 250;
        timing.burstGapMs = 60;
        port.SetTiming(timing);
        ASSERT_EQ(port.Open(kPort, 115200), 1);
        GSM::SetLastError("");
    }
    void TearDown() override { GSM::modelCode.store(GSM::kModelCodeAtLoad); }

    void On(std::string trigger, std::string reply, int uses = -1) {
        script.On(std::move(trigger), ModemSim::Script{ModemSim::Burst{std::move(reply), 0}}, uses);
    }

    std::string Wire() { return far.Received(); }

    static std::string LastError() {
        char text[1024] = {};
        const int length = GSM::CopyLastError(text);
        return std::string(text, static_cast<std::size_t>(length));
    }

    TempPortDir dir;
    ModemSim::CPtyPort far;
    ModemSim::CReplyScript script;
    CSXCom port;
    GSM::IComBaseCmd engine;
};

}  // namespace TestSupport
