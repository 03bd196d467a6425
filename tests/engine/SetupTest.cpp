// Set-up sequences by model code, checked by the exact bytes the modem received.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "EngineFixture.h"
#include "Tarvik.h"

using TestSupport::EngineTest;
using TestSupport::LastError;

namespace {

const std::string kCommonSetup =
    "ATE0\r\n"
    "AT+CPIN?\r\n"
    "AT+CNMI=1,0,0,0,1\r\n"
    "AT+CMGF=0\r\n";

const std::string kUcs2Setup =
    "ATE0\r\n"
    "AT+CPIN?\r\n"
    "AT+CPMS=\"SM\"\r\n"
    "AT+CNMI=1,0,0,0,1\r\n"
    "AT+CMGF=1\r\n"
    "AT+CSCS=\"UCS2\"\r\n";

TEST_F(EngineTest, EachCodeWritesItsSequence) {
    const std::pair<int, std::string> cases[] = {
        {7,
         "ATE0\r\nAT+CPIN?\r\nAT+CPMS=\"SM\",\"SM\",\"SM\"\r\nAT+CNMI=1,3,0,0,0\r\n"
         "AT+CMGF=0\r\n"},
        {8, "ATE0\r\nAT+CPIN?\r\nAT+CPMS=\"SM\"\r\nAT+CNMI=3,0,1,1,0\r\nAT+CMGF=0\r\n"},
        {9, kCommonSetup},
        {10, "ATE0\r\nAT+CPIN?\r\nAT+CPMS=\"MT\"\r\nAT+CNMI=2,1,1,1,0\r\nAT+CMGF=1\r\n"},
        {11, "ATE0\r\nAT+CPIN?\r\nAT+CPMS=\"MT\"\r\nAT+CNMI=2,1,1,1,0\r\nAT+CMGF=1\r\n"},
        {13, "ATE0\r\nAT+CPIN?\r\nAT+CPMS=\"SM\"\r\nAT+CNMI=1,0,0,0,1\r\nAT+CMGF=0\r\n"},
        {15, kUcs2Setup},
        {16, kCommonSetup},
        {17, kCommonSetup},
        {18, kCommonSetup},
        {21, kCommonSetup + "AT+CSCS=\"GSM\"\r\n"},
        {20, kUcs2Setup},
    };
    for (const auto& [code, wire] : cases) {
        ClearWire();
        EXPECT_EQ(GSM::SetupModem(engine, port, code), GSM::Outcome::Done) << code;
        EXPECT_EQ(Wire(), wire) << code;
    }
    // The last sequence leaves the modem in text mode with the UCS2 character set.
    EXPECT_TRUE(Wire().ends_with("AT+CMGF=1\r\nAT+CSCS=\"UCS2\"\r\n"));
}

TEST_F(EngineTest, CodesWithoutASequenceFailWithoutWriting) {
    GSM::SetLastError("Can not find the device type");
    for (int code : {-1, 0, 1, 6, 12, 14, 22}) {
        EXPECT_EQ(GSM::SetupModem(engine, port, code), GSM::Outcome::Failed) << code;
    }
    EXPECT_EQ(Wire(), "");
    EXPECT_EQ(LastError(), "Can not find the device type");
}

TEST_F(EngineTest, TheFirstFailingStepEndsTheSetUpWithItsText) {
    Fail("AT+CPIN?\r\n", "\r\n+CME ERROR: 10\r\n", 1);
    EXPECT_EQ(GSM::SetupModem(engine, port, 9), GSM::Outcome::Failed);
    EXPECT_EQ(Wire(), "ATE0\r\nAT+CPIN?\r\n");
    EXPECT_EQ(LastError(), "Device Not Connected,or No SIM card");

    ClearWire();
    Fail("AT+CNMI=1,0,0,0,1\r\n", "\r\nERROR\r\n", 1);
    EXPECT_EQ(GSM::SetupModem(engine, port, 9), GSM::Outcome::Failed);
    EXPECT_EQ(Wire(), "ATE0\r\nAT+CPIN?\r\nAT+CNMI=1,0,0,0,1\r\n");
    EXPECT_EQ(LastError(), "CNMI ERROR");
}

TEST_F(EngineTest, AFailingEchoOffLeavesItsTextWithTheTrailingBlank) {
    Fail("ATE0\r\n", "\r\nERROR\r\n", 1);
    EXPECT_EQ(GSM::SetupModem(engine, port, 9), GSM::Outcome::Failed);
    char text[1024];
    std::memset(text, '#', sizeof text);
    const std::string expected = "Device Not Connected,or wrong Baud rate ";
    ASSERT_EQ(SMSGetLastError(text), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(std::string(text, expected.size()), expected);
    EXPECT_EQ(text[expected.size()], '#');  // no terminator written
    EXPECT_EQ(SMSGetLastError(nullptr), static_cast<int32_t>(expected.size()));
}

TEST_F(EngineTest, CodeNineteenIsRefinedByTheNetworkOfItsSim) {
    struct Case {
        const char* imsi;
        int code;
    };
    for (const Case& c :
         {Case{"460111234567890", 20}, Case{"460031234567890", 20}, Case{"460051234567890", 20},
          Case{"460011234567890", 19}, Case{"234101234567890", 19}}) {
        Reply("AT+CIMI\r\n", TestSupport::Answer(c.imsi));
        ClearWire();
        GSM::modelCode = 19;
        EXPECT_EQ(GSM::SetupModem(engine, port, 19), GSM::Outcome::Done) << c.imsi;
        EXPECT_EQ(GSM::modelCode.load(), c.code) << c.imsi;
        EXPECT_EQ(Wire(), "AT+CIMI\r\n" + (c.code == 20 ? kUcs2Setup : kCommonSetup)) << c.imsi;
    }

    // No identity at all fails the set-up before any set-up command.
    ClearWire();
    Fail("AT+CIMI\r\n", "\r\n+CME ERROR: 10\r\n", 1);
    GSM::modelCode = 19;
    EXPECT_EQ(GSM::SetupModem(engine, port, 19), GSM::Outcome::Failed);
    EXPECT_EQ(Wire(), "AT+CIMI\r\n");
    EXPECT_EQ(LastError(), "Device Not Connected,or No SIM card");
    EXPECT_EQ(GSM::modelCode.load(), 19);
}

}  // namespace

// A restart or a refusal for lost modes is only noted by the engine, once, for the worker
// to act on; a plain refusal is not such a note.
TEST_F(EngineTest, ALostSetUpIsNotedForTheWorkerOnce) {
    engine.notes.TakeLostSetup();
    Fail("AT+CMGF=0\r\n", "\r\n+CMS ERROR: 500\r\n", 1);
    EXPECT_EQ(engine.SetMessageFormat(port, 0), GSM::kStatusFailed);
    EXPECT_FALSE(engine.notes.TakeLostSetup());
    Fail("AT+CMGF=0\r\n", "\r\n+CMS ERROR: 302\r\n", 1);
    EXPECT_EQ(engine.SetMessageFormat(port, 0), GSM::kStatusFailed);
    EXPECT_TRUE(engine.notes.TakeLostSetup());
    EXPECT_FALSE(engine.notes.TakeLostSetup());
    Fail("AT+CPIN?\r\n", "\r\nRDY\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n", 1);
    EXPECT_EQ(engine.CheckSim(port), GSM::kStatusOk);
    EXPECT_TRUE(engine.notes.TakeLostSetup());
}
