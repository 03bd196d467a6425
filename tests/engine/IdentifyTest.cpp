// Model identification against modems that name themselves in different ways.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineFixture.h"

using TestSupport::EngineTest;
using TestSupport::LastError;

namespace {

TEST_F(EngineTest, AModelNamedInTheFirstReplyIsKnownAfterOneExchange) {
    EXPECT_EQ(engine.Identify(port), 9);
    EXPECT_EQ(Wire(), "AT+GMM\r\n");
}

TEST_F(EngineTest, ErrorsToTheFirstTwoQueriesLeaveTheRevisionQuery) {
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p.identity.clear();
        p.identity["AT+CGMR"] = "LQCIT_V2.1";
    });
    // The second reply is longer than a read takes; a model name in its unread tail must
    // be purged before the third query.
    modem.ReplyTo("AT+CGMM", {{"\r\nERROR\r\n" + std::string(1100, ' ') + "MC8618\r\n", 0}}, 1);
    EXPECT_EQ(engine.Identify(port), 13);
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"AT+GMM", "AT+CGMM", "AT+CGMR"}));
}

TEST_F(EngineTest, IdentificationWorksWithEchoOn) {
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p.echo = true;
        p.identity.erase("AT+GMM");
    });
    EXPECT_EQ(engine.Identify(port), 9);
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"AT+GMM", "AT+CGMM"}));
}

TEST_F(EngineTest, ASilentModemIsAskedFifteenTimesAndFailsWithItsText) {
    modem.SilenceCommand("AT");
    EXPECT_EQ(engine.Identify(port), 0);
    EXPECT_EQ(modem.Commands().size(), 15u);
    EXPECT_EQ(LastError(), "Can not find the device type");
}

TEST(MatchModel, EveryNameGivesItsCodeAndTheFirstNameInTheTableDecides) {
    const std::vector<std::pair<std::string, int>> expected = {
        {"MG3732", 7},        {"MT3732", 8},
        {"MC37i", 9},         {"MG323", 9},
        {"MG2639", 9},        {"MG301", 9},
        {"GL868", 9},         {"GL865", 9},
        {"M35", 9},           {"MU509", 9},
        {"MU609", 9},         {"MU709", 9},
        {"SIM5360E", 9},      {"EC20F", 9},
        {"N720", 9},          {"MC8332", 10},
        {"MC8332D", 10},      {"MC8618", 11},
        {"LQCIT", 13},        {"SIM6320C", 15},
        {"A8500", 16},        {"CEM630", 17},
        {"UC20", 18},         {"SIM800C", 18},
        {"SIM7600CE", 19},    {"\r\nSIM7600CE-M-PCIE\r\n\r\nOK\r\n", 19},
        {"Quectel EC20F", 9},  // "EC20F" comes before "UC20" would
    };
    GSM::IComBaseCmd engine;
    for (const auto& [reply, code] : expected) {
        int32_t got = -5;
        EXPECT_EQ(engine.MatchModel(reply.c_str(), got), 1) << reply;
        EXPECT_EQ(got, code) << reply;
    }
    for (const char* reply : {"SIM800", "\r\nERROR\r\n", "", "mu609", "XYZ1000"}) {
        GSM::SetLastError("");
        int32_t got = -5;
        EXPECT_EQ(engine.MatchModel(reply, got), 0) << reply;
        EXPECT_EQ(got, -5) << reply;
        EXPECT_EQ(TestSupport::LastError(), "Can not find the device type");
    }
}

}  // namespace
