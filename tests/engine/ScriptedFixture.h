// The engine against a scripted line that plays replies to triggers and nothing else, for
// the exact bytes of one dialect; and the helpers to build the parts it submits.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "EngineFixture.h"
#include "engine/ComBaseCmd.h"
#include "engine/ProcessState.h"
#include "service/MsgRecord.h"
#include "support/ScriptedLine.h"
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

    ScriptedTest() { port.AttachLine(line); }

    void SetUp() override { ASSERT_EQ(OpenForTest(port, kPort), 1); }
    void TearDown() override { GSM::modelCode.store(GSM::kModelCodeAtLoad); }

    void On(std::string trigger, std::string reply, int uses = -1) {
        line.On(std::move(trigger), std::move(reply), uses);
    }
    void On(std::string trigger, LineScript script, int uses = -1) {
        line.On(std::move(trigger), std::move(script), uses);
    }

    std::string Wire() const { return line.Written(); }

    static std::string LastError() { return TestSupport::LastError(); }

    CScriptedLine line;
    CSXCom port;
    GSM::IComBaseCmd engine;
};

}  // namespace TestSupport
