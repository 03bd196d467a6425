// The modem's device through the library's own face, against the simulated modem: started
// by its path, gone when unplugged and taken up again under the same path; its health,
// with a registration that changes, a storage that fills, and a modem that refuses every
// health query; and the answers of modules that differ from the simulator.
#include <string>

#include "ServiceFixture.h"
#include "engine/Health.h"
#include "service/Session.h"

namespace {

using GSM::ModemHealth;
using namespace std::chrono_literals;

class HealthTest : public TestSupport::ServiceTest {
protected:
    void TearDown() override { Tarvik::Session::Stop(); }

    ModemHealth Health() {
        const auto health = Tarvik::Session::Health();
        EXPECT_TRUE(health.has_value());
        return health.value_or(ModemHealth{});
    }
};

TEST_F(HealthTest, TheModemStartedByItsPathTellsItsHealthAndItsRegistrationAsItChanges) {
    ASSERT_TRUE(Tarvik::Session::StartDevice(modem.Port().LinkPath(), kBaud))
        << Tarvik::Session::LastError();
    ModemHealth health = Health();
    EXPECT_EQ(health.registration, "home");
    EXPECT_EQ(health.operatorName, "46000");
    EXPECT_EQ(health.access, "lte");
    EXPECT_EQ(health.rssi, 23);
    EXPECT_EQ(health.dbm, -67);
    EXPECT_EQ(health.quality, 4);
    EXPECT_EQ(health.imsi, "460001234567890");
    EXPECT_EQ(health.iccid, "89860012345678901234");
    EXPECT_EQ(health.sim, "ready");
    EXPECT_EQ(health.storageTotal, 1000);

    modem.UpdateProfile([](auto& p) { p.registration = "roaming"; });
    EXPECT_EQ(Health().registration, "roaming");
    modem.UpdateProfile([](auto& p) { p.registration = "denied"; });
    health = Health();
    EXPECT_EQ(health.registration, "denied");
    EXPECT_FALSE(health.operatorName.has_value());  // on no network
    EXPECT_FALSE(health.access.has_value());
}

TEST_F(HealthTest, AnUnpluggedDeviceIsGoneAndTheOneThatComesBackUnderItsPathStartsAgain) {
    const std::string path = modem.Port().LinkPath();
    ASSERT_TRUE(Tarvik::Session::StartDevice(path, kBaud)) << Tarvik::Session::LastError();
    EXPECT_FALSE(Tarvik::Session::DeviceGone());
    modem.Port().Unplug();
    // The worker's next exchange meets the hang-up.
    EXPECT_TRUE(TestSupport::WaitFor([] { return Tarvik::Session::DeviceGone(); }, 20s));
    Tarvik::Session::Stop();
    EXPECT_FALSE(Tarvik::Session::StartDevice(path, kBaud));

    modem.Port().Replug();
    ASSERT_TRUE(Tarvik::Session::StartDevice(path, kBaud)) << Tarvik::Session::LastError();
    EXPECT_FALSE(Tarvik::Session::DeviceGone());
    EXPECT_GE(Tarvik::Session::Send("after the replug", "13912345678", "86"), 1);
    EXPECT_TRUE(TestSupport::WaitFor([&] { return modem.Submitted().size() == 1; }, 20s));
}

TEST_F(HealthTest, AStorageThatFillsShowsItsUseWhileNothingTakesItsMessages) {
    modem.UpdateProfile([](auto& p) { p.capacity = 3; });
    modem.FailCommand("AT+CMGL");  // the messages stay where they are
    ASSERT_TRUE(Tarvik::Session::Start(kPort, kBaud)) << Tarvik::Session::LastError();
    for (const char* text : {"one", "two", "three", "four"}) {
        ModemSim::StoredMessage message;
        message.number = "10086";
        message.text = text;
        modem.StoreMessage(message);
    }
    const ModemHealth health = Health();
    EXPECT_EQ(health.storageUsed, 3);
    EXPECT_EQ(health.storageTotal, 3);
}

TEST_F(HealthTest, AModemThatRefusesEveryQueryLeavesEveryFieldUnknown) {
    ASSERT_TRUE(Tarvik::Session::Start(kPort, kBaud)) << Tarvik::Session::LastError();
    for (const char* query : {"AT+CREG", "AT+CEREG", "AT+COPS", "AT+CSQ", "AT+CIMI", "AT+CCID",
                              "AT^ICCID", "AT+QCCID", "AT+CPIN?", "AT+CPMS?"}) {
        modem.FailCommand(query, "\r\n+CME ERROR: 4\r\n");
    }
    const ModemHealth health = Health();
    EXPECT_EQ(health.registration, std::nullopt);
    EXPECT_EQ(health.operatorName, std::nullopt);
    EXPECT_EQ(health.dbm, std::nullopt);
    EXPECT_EQ(health.quality, std::nullopt);
    EXPECT_EQ(health.imsi, std::nullopt);
    EXPECT_EQ(health.iccid, std::nullopt);
    EXPECT_EQ(health.sim, std::nullopt);
    EXPECT_EQ(health.storageTotal, std::nullopt);
    // The service goes on.
    EXPECT_GE(Tarvik::Session::Send("still here", "13912345678", "86"), 1);
}

TEST(HealthAnswersTest, OtherModulesFormsAreRead) {
    // LTE-only registration, the vendors' card-number forms, a signal not known yet.
    EXPECT_EQ(GSM::RegistrationOf("\r\n+CEREG: 2,5,\"1A2B\",\"01C3D4\",7\r\n\r\nOK\r\n"),
              "roaming");
    EXPECT_EQ(GSM::IccidOf("\r\n^ICCID: 89860318640220133897\r\n\r\nOK\r\n"),
              "89860318640220133897");
    EXPECT_EQ(GSM::IccidOf("\r\n+QCCID: 8931440301234567891F\r\n\r\nOK\r\n"),
              "8931440301234567891");
    EXPECT_EQ(GSM::IccidOf("\r\n89014103211118510720\r\n\r\nOK\r\n"), "89014103211118510720");
    ModemHealth health;
    GSM::ReadSignal("\r\n+CSQ: 99,99\r\n\r\nOK\r\n", health);
    EXPECT_EQ(health.dbm, std::nullopt);
    GSM::ReadOperator("\r\n+COPS: 0,0,\"Vodafone.de\",2\r\n\r\nOK\r\n", health);
    EXPECT_EQ(health.operatorName, "Vodafone.de");
    EXPECT_EQ(health.access, "umts");
}

}  // namespace
