// The SIM's PIN at the start, against a simulated SIM that asks for one: entered once when
// given, never again once refused, never on the last try, and each other state of the SIM
// failing the start with a reason of its own.
#include <algorithm>
#include <string>

#include "ServiceFixture.h"

namespace {

using TestSupport::LastError;

class SimPinTest : public TestSupport::ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        modem.UpdateProfile([](auto& p) { p.simPin = "1234"; });
        // The engine is the process's: forget a PIN and its refusal from a test before.
        GSM::ServiceHost().engine.simPin.Give("");
        TestSupport::UnsetEnvironment("TARVIK_PIN");
    }
    void TearDown() override {
        ServiceTest::TearDown();
        TestSupport::UnsetEnvironment("TARVIK_PIN");
    }

    int StartWithPin(const std::string& pin) {
        SMSStopSerice();
        TestSupport::SetEnvironment("TARVIK_PIN", pin);
        return Start();
    }

    long PinEntries() const {
        const auto commands = modem.Commands();
        return std::count_if(commands.begin(), commands.end(),
                             [](const std::string& c) { return c.starts_with("AT+CPIN="); });
    }
};

TEST_F(SimPinTest, ASimWaitingForItsPinFailsTheStartWithThatReason) {
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(LastError(), "SIM PIN required: the SIM waits for its PIN");
    EXPECT_EQ(PinEntries(), 0);
}

TEST_F(SimPinTest, TheRightPinIsEnteredOnceAndTheServiceStarts) {
    ASSERT_EQ(StartWithPin("1234"), 1);
    EXPECT_EQ(PinEntries(), 1);
    // The SIM serves now: a second start asks, and enters nothing.
    ASSERT_EQ(StartWithPin("1234"), 1);
    EXPECT_EQ(PinEntries(), 1);
}

TEST_F(SimPinTest, ARefusedPinIsNeverEnteredAgainButANewOneIs) {
    EXPECT_EQ(StartWithPin("9999"), 0);
    EXPECT_EQ(LastError(),
              "SIM PIN refused: the SIM did not take the PIN; it is not entered again");
    EXPECT_EQ(StartWithPin("9999"), 0);
    EXPECT_EQ(LastError(),
              "SIM PIN refused: the SIM refused this PIN before; it is not entered again");
    EXPECT_EQ(PinEntries(), 1);

    ASSERT_EQ(StartWithPin("1234"), 1);
    EXPECT_EQ(PinEntries(), 2);
}

TEST_F(SimPinTest, NoPinIsEnteredOnTheLastTryNorMalformed) {
    modem.SetPinTriesLeft(1);
    EXPECT_EQ(StartWithPin("1234"), 0);
    EXPECT_EQ(LastError(), "SIM PIN not entered: the SIM allows only one more try");
    modem.SetPinTriesLeft(3);
    // A PIN that could carry a second command never reaches the modem.
    EXPECT_EQ(StartWithPin("12\"\r\nAT+CPIN=\"1"), 0);
    EXPECT_EQ(LastError(), "SIM PIN not entered: a PIN is 4 to 8 digits");
    EXPECT_EQ(PinEntries(), 0);
}

TEST_F(SimPinTest, ABlockedMissingOrStartingSimFailsWithItsOwnReason) {
    modem.SetPinTriesLeft(0);
    EXPECT_EQ(StartWithPin("1234"), 0);
    EXPECT_EQ(LastError(),
              "SIM PUK required: the SIM is blocked after wrong PINs; unblock it with its PUK");
    EXPECT_EQ(PinEntries(), 0);

    modem.FailCommand("AT+CPIN?", "\r\n+CME ERROR: 10\r\n", 1);
    EXPECT_EQ(StartWithPin("1234"), 0);
    EXPECT_EQ(LastError(), "No SIM card: the modem reports no SIM inserted");
    modem.FailCommand("AT+CPIN?", "\r\n+CME ERROR: 14\r\n", 1);
    EXPECT_EQ(StartWithPin("1234"), 0);
    EXPECT_EQ(LastError(), "SIM not ready: the SIM is still starting");

    // Callers of the library who give no PIN see what they always saw.
    SMSStopSerice();
    TestSupport::UnsetEnvironment("TARVIK_PIN");
    modem.FailCommand("AT+CPIN?", "\r\n+CME ERROR: 10\r\n", 1);
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(LastError(), "Device Not Connected,or No SIM card");
}

}  // namespace
