// The engine on a scripted line that answers as a modem of the common family would, unless
// a test tells it otherwise for a command. The line's clock is its own, so the port keeps
// the short time limits the tests were written for at no cost.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ComBaseCmd.h"
#include "engine/ProcessState.h"
#include "support/ScriptedLine.h"

namespace TestSupport {

inline std::string LastError() {
    char text[1024] = {};
    int length = GSM::CopyLastError(text);
    return std::string(text, static_cast<size_t>(length));
}

// A final result with the information line in front of it, as a modem frames a reply.
inline std::string Answer(const std::string& line) {
    return "\r\n" + line + "\r\n\r\nOK\r\n";
}

// Opens the port with the short time limits the engine's tests were written for, and
// empties the last-error text.
inline int OpenForTest(CSXCom& port, int number) {
    serial::SerialTiming timing;
    timing.firstByteWaitMs = 250;  // a silent modem costs a quarter second per read
    timing.burstGapMs = 60;
    port.SetTiming(timing);
    GSM::SetLastError("");
    return port.Open(number, 115200);
}

class EngineTest : public ::testing::Test {
protected:
    static constexpr int kPort = 5;

    explicit EngineTest(const std::string& model = "MU609") {
        port.AttachLine(line);
        line.On("AT+GMM\r\n", Answer(model));
        line.On("AT+CGMM\r\n", Answer(model));
        line.On("AT+CGMR\r\n", Answer("Revision: " + model + "_V1.00"));
        line.On("AT+CSCA?\r\n", Answer("+CSCA: \"+8613800100500\",145"));
        line.On("AT+CIMI\r\n", Answer("460001234567890"));
        line.On("AT+CPIN?\r\n", Answer("+CPIN: READY"));
        // Every other command line is taken.
        line.On("\r\n", "\r\nOK\r\n");
    }

    void SetUp() override { ASSERT_EQ(OpenForTest(port, kPort), 1); }
    void TearDown() override { GSM::modelCode.store(GSM::kModelCodeAtLoad); }

    // The answer to a whole command line, before the modem's own; used up after `uses`.
    void Reply(const std::string& command, LineScript script, int uses = -1) {
        line.On(command, std::move(script), uses, true);
    }
    void Reply(const std::string& command, const std::string& reply, int uses = -1) {
        Reply(command, LineScript{{reply, 0}}, uses);
    }
    void Fail(const std::string& command, const std::string& reply = "\r\nERROR\r\n",
              int uses = -1) {
        Reply(command, reply, uses);
    }
    void Silence(const std::string& command, int uses = -1) { Reply(command, LineScript{}, uses); }

    // What the modem received, as text.
    std::string Wire() const { return line.Written(); }
    void ClearWire() { line.ClearWritten(); }
    // The command lines received, without their line ends.
    std::vector<std::string> Commands() const {
        std::vector<std::string> commands;
        std::string current;
        for (char c : line.Written()) {
            if (c == '\r' || c == '\n') {
                if (!current.empty()) {
                    commands.push_back(current);
                }
                current.clear();
            } else {
                current.push_back(c);
            }
        }
        return commands;
    }

    CScriptedLine line;
    CSXCom port;
    GSM::IComBaseCmd engine;
};

}  // namespace TestSupport
