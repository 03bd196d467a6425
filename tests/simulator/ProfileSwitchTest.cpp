// The reply latency and the generic mode of the profile, and the program's options for them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProgramRun.h"
#include "SimFixture.h"

using TestSupport::RunProgram;
using TestSupport::SimTest;

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

ModemSim::ModemProfile Slow(int latencyMs) {
    ModemSim::ModemProfile profile = ModemSim::ProfileFor("MU609");
    profile.replyLatencyMs = latencyMs;
    return profile;
}

class LatencyTest : public SimTest {
protected:
    LatencyTest() : SimTest(Slow(600)) {}
};

TEST_F(LatencyTest, EveryReplyWaitsItsLatency) {
    line.Write("AT\r\n");
    EXPECT_EQ(line.ReadUntil("", 300).bytes, "");
    EXPECT_EQ(line.ReadUntil(kOk).bytes, kOk);

    // The prompt, and the result that the body asks for, each wait as long.
    line.Write("AT+CMGF=1\r\n");
    EXPECT_EQ(line.ReadUntil(kOk).bytes, kOk);
    line.Write("AT+CMGS=\"13912345678\"\r");
    EXPECT_EQ(line.ReadUntil("", 300).bytes, "");
    EXPECT_EQ(line.ReadUntil("> ").bytes, "\r\n> ");
    line.Write("Hi\x1A");
    EXPECT_EQ(line.ReadUntil("", 300).bytes, "");
    EXPECT_EQ(line.ReadUntil(kOk).bytes, "\r\n+CMGS: 1\r\n" + kOk);
}

TEST_F(LatencyTest, EchoIsNotDelayed) {
    modem.UpdateProfile([](ModemSim::ModemProfile& p) { p.echo = true; });
    line.Write("AT\r\n");
    // The echo at once, the result its latency later: two bursts however late they are read.
    EXPECT_EQ(line.ReadUntil(kOk).bursts, (std::vector<std::string>{"AT\r\n", kOk}));
}

TEST_F(SimTest, UnknownCommandsFailUnlessGeneric) {
    EXPECT_EQ(line.Ask("AT+CMEE=1\r\n", "ERROR\r\n"), kError);
    modem.UpdateProfile([](ModemSim::ModemProfile& p) { p.generic = true; });
    EXPECT_EQ(line.Ask("AT+CMEE=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CFUN?\r\n"), kOk);
    // Mode-switch probes are refused, so that a peer does not take the modem for a vendor's.
    EXPECT_EQ(line.Ask("AT+MODE=2\r\n", "ERROR\r\n"), kError);
    // What the modem knows it still answers as itself.
    EXPECT_EQ(line.Ask("AT+CGMM\r\n"), "\r\nMU609\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGR=9\r\n", "321\r\n"), "\r\n+CMS ERROR: 321\r\n");
}

TEST(ModemSimProgram, LatencyMustBeANumberOfMilliseconds) {
    EXPECT_EQ(RunProgram({"--latency", "-5"}), 2);
    EXPECT_EQ(RunProgram({"--latency", "20ms"}), 2);
    EXPECT_EQ(RunProgram({"--latency"}), 2);
}

TEST(ModemSimProgram, GenericAndLatencyOptions) {
    TestSupport::TempPortDir dir;
    const auto program = TestSupport::LaunchProgram(
        {"--dir", dir.Path(), "--port", "7", "--generic", "--latency", "500"});
    ASSERT_GT(program.pid, 0);
    const std::string& printed = program.firstLine;
    {
        TestSupport::ModemLine line(printed);
        ASSERT_TRUE(line.IsOpen());
        line.Write("AT+CMEE=1\r\n");
        EXPECT_EQ(line.ReadUntil("", 250).bytes, "");
        EXPECT_EQ(line.ReadUntil(kOk).bytes, kOk);
        EXPECT_EQ(line.Ask("AT+MODE=2\r\n", "ERROR\r\n"), kError);
    }
    const int status = TestSupport::Terminate(program);
    ASSERT_NE(status, -1);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

namespace {

TEST_F(SimTest, AnswersTheStandardQueriesOfAPeer) {
    EXPECT_EQ(line.Ask("AT+CSCS?\r\n"), "\r\n+CSCS: \"IRA\"\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CSCS=\"UCS2\"\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CSCS?\r\n"), "\r\n+CSCS: \"UCS2\"\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CSCS=?\r\n"), "\r\n+CSCS: (\"IRA\",\"GSM\",\"UCS2\")\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CMGF=?\r\n"), "\r\n+CMGF: (0,1)\r\n" + kOk);
    modem.StoreMessage(Received("10086", "Hi"));
    EXPECT_EQ(line.Ask("AT+CPMS?\r\n"),
              "\r\n+CPMS: \"SM\",1,1000,\"SM\",1,1000,\"SM\",1,1000\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CPMS=?\r\n"), "\r\n+CPMS: (\"SM\"),(\"SM\"),(\"SM\")\r\n" + kOk);
}

}  // namespace
