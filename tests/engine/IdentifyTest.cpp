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

}  // namespace
