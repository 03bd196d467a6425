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
    Fail("AT+GMM\r\n");
    Reply("AT+CGMR\r\n", TestSupport::Answer("LQCIT_V2.1"));
    // The second reply is longer than a read takes; a model name in its unread tail must
    // be purged before the third query.
    Reply("AT+CGMM\r\n", "\r\nERROR\r\n" + std::string(1100, ' ') + "MC8618\r\n", 1);
    EXPECT_EQ(engine.Identify(port), 13);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"AT+GMM", "AT+CGMM", "AT+CGMR"}));
}

TEST_F(EngineTest, IdentificationWorksWithEchoOn) {
    // Each reply behind the echo of its command.
    Reply("AT+GMM\r\n", "AT+GMM\r\n\r\nERROR\r\n");
    Reply("AT+CGMM\r\n", "AT+CGMM\r\n" + TestSupport::Answer("MU609"));
    EXPECT_EQ(engine.Identify(port), 9);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"AT+GMM", "AT+CGMM"}));
}

TEST_F(EngineTest, ASilentModemIsAskedFifteenTimesAndFailsWithItsText) {
    line.ClearRules();
    EXPECT_EQ(engine.Identify(port), 0);
    EXPECT_EQ(Commands().size(), 15u);
    EXPECT_EQ(LastError(), "Can not find the device type");
}

}  // namespace
