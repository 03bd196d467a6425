// The daemon's rules on a clock of the test's own: what becomes of a message after each
// attempt, when a modem leaves and rejoins the rotation, and outcomes kept while the store
// is away.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "Rules.h"
#include "codec/StatusReport.h"

namespace Tarvikd {
namespace {

TEST(RulesTest, AMessageIsRetriedWithBackoffAndNeverResentOncePartOfItWent) {
    const CSendRules rules(3, 5000, 12000);
    const Decision sent = rules.AfterParts(2, 2, 1, "", "north", 1000);
    EXPECT_EQ(sent.outcome, Outcome::Sent);
    EXPECT_EQ(sent.detail, "2 part(s) on modem north");

    // Refused whole: tried again later, each wait twice the last up to the cap, then failed.
    const Decision first = rules.AfterParts(1, 0, 1, "+CMS ERROR: 38", "north", 1000);
    EXPECT_EQ(first.outcome, Outcome::Retry);
    EXPECT_EQ(first.nextAt, 6000);
    EXPECT_EQ(first.detail, "the modem refused it: +CMS ERROR: 38");
    EXPECT_EQ(rules.AfterParts(1, 0, 2, "x", "north", 1000).nextAt, 11000);
    const Decision last = rules.AfterParts(1, 0, 3, "", "north", 1000);
    EXPECT_EQ(last.outcome, Outcome::Failed);
    EXPECT_EQ(last.detail, "the modem refused it: no reason given");
    EXPECT_EQ(Backoff(5000, 12000, 40), 12000) << "the cap holds at any step";

    // Refused in part: a retry would repeat the parts the phone has.
    const Decision partly = rules.AfterParts(3, 2, 1, "CMGS FAILED", "north", 1000);
    EXPECT_EQ(partly.outcome, Outcome::Failed);
    EXPECT_EQ(partly.detail, "1 of 3 parts refused: CMGS FAILED");

    // Given up by the child: once queued it may have gone; before, nothing went.
    EXPECT_EQ(rules.AfterError(true, true, "stopped").outcome, Outcome::Unknown);
    EXPECT_EQ(rules.AfterError(false, true, "not queued").outcome, Outcome::Released);
    EXPECT_EQ(rules.AfterError(false, false, "bad number").outcome, Outcome::Failed);
}

TEST(RulesTest, AConcatenatedMessageRefusedInPartIsCompletedByItsRetry) {
    const CSendRules rules(3, 5000, 12000);
    const Decision partly = rules.AfterParts(3, 2, 1, "+CMS ERROR: 500", "north", 1000, true);
    EXPECT_EQ(partly.outcome, Outcome::Retry);
    EXPECT_EQ(partly.nextAt, 6000);
    EXPECT_EQ(partly.detail, "1 of 3 parts refused: +CMS ERROR: 500");
    EXPECT_EQ(rules.AfterParts(3, 2, 3, "x", "north", 1000, true).outcome, Outcome::Failed)
        << "the attempts run out for a retried part too";
    // The retry's part makes it whole, the earlier accepted parts counted.
    EXPECT_EQ(rules.AfterParts(3, 3, 2, "", "north", 1000, true).outcome, Outcome::Sent);
}

TEST(RulesTest, AnInterruptedSendIsUnknownOnlyWhenABodyMayHaveGone) {
    // A body let go without its outcome: it may have gone.
    EXPECT_EQ(AfterInterruption({true, 0, false, 0}), Outcome::Unknown);
    EXPECT_EQ(AfterInterruption({true, 2, true, 3}), Outcome::Unknown);
    // Nothing written: back to the queue, single part or concatenated alike.
    EXPECT_EQ(AfterInterruption({false, 0, false, 0}), Outcome::Released);
    EXPECT_EQ(AfterInterruption({false, 0, true, 3}), Outcome::Released);
    // Parts accepted: a concatenated message's retry sends the rest alone; independent
    // parts would all go again, and whether the rest went is not known.
    EXPECT_EQ(AfterInterruption({false, 2, true, 3}), Outcome::Released);
    EXPECT_EQ(AfterInterruption({false, 1, false, 0}), Outcome::Unknown);
    // Every part of a concatenated message accepted: it went whole.
    EXPECT_EQ(AfterInterruption({false, 3, true, 3}), Outcome::Sent);
    // A child's error once queued is decided the same way.
    const CSendRules rules(3, 5000, 12000);
    EXPECT_EQ(rules.AfterError(true, false, "stopped", {false, 0, false, 0}).outcome,
              Outcome::Released);
    EXPECT_EQ(rules.AfterError(true, false, "stopped", {true, 0, false, 0}).outcome,
              Outcome::Unknown);
}

TEST(RulesTest, AModemOutForFailedStartsRejoinsWhenReadyOneRefusingStaysOut) {
    CRotation starts(3, 60000);
    EXPECT_FALSE(starts.Failure(0, true));
    EXPECT_FALSE(starts.Failure(10, true));
    EXPECT_TRUE(starts.Failure(20, true));
    EXPECT_FALSE(starts.In(30));
    EXPECT_TRUE(starts.In(60020)) << "its time out ends by itself";
    starts.Failure(60030, true);
    starts.Failure(60040, true);
    EXPECT_TRUE(starts.Failure(60050, true));
    EXPECT_FALSE(starts.In(60060));
    starts.Ready();
    EXPECT_TRUE(starts.In(60060)) << "a modem that started is usable at once";

    CRotation refusing(2, 60000);
    refusing.Failure(0, false);
    refusing.Success();
    EXPECT_FALSE(refusing.Failure(1, false)) << "a message that went starts the count again";
    EXPECT_TRUE(refusing.Failure(2, false));
    refusing.Ready();
    EXPECT_FALSE(refusing.In(3)) << "ready is no cure for refused messages";
    EXPECT_TRUE(refusing.In(60002));
}

TEST(RulesTest, OutcomesWaitInOrderWhileTheStoreIsAwayAndAreRecordedOnce) {
    bool away = true;
    bool partsAway = true;
    std::vector<int64_t> recorded;
    std::vector<int> references;  // of the part records that came with an outcome
    std::vector<std::string> told;
    COutcomeLedger ledger(
        1000,
        [&](Owed& owed) {
            while (!owed.unrecorded.empty()) {
                if (partsAway) {
                    throw std::runtime_error("no connection");
                }
                references.push_back(owed.unrecorded.front().reference);
                owed.unrecorded.erase(owed.unrecorded.begin());
            }
            if (away) {
                throw std::runtime_error("no connection");
            }
            recorded.push_back(owed.id);
        },
        [&](const Owed& owed, const std::string& why) {
            told.push_back(std::to_string(owed.id) + ": " + why);
        });
    ledger.Owe({1, Outcome::Sent, "", 1, 1, 0, 5, {{1, PartState::Accepted, 7, {}}}}, 100);
    ledger.Owe({2, Outcome::Unknown, "", 1, 0, 0, 6}, 200);
    EXPECT_FALSE(ledger.Empty());
    EXPECT_FALSE(ledger.Due(1199)) << "not offered again at once";
    EXPECT_TRUE(ledger.Due(1200));
    partsAway = false;
    EXPECT_FALSE(ledger.Settle(1200));
    EXPECT_EQ(told, std::vector<std::string>{"1: no connection"}) << "told once, not per retry";
    away = false;
    EXPECT_TRUE(ledger.Settle(2200));
    EXPECT_EQ(recorded, (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(references, std::vector<int>{7}) << "a part stored before its outcome, once";
    EXPECT_TRUE(ledger.Settle(3200));
    EXPECT_EQ(recorded.size(), 2u);
}

TEST(RulesTest, ReportStatusAndRecipientAreReadAsTheNetworkMeansThem) {
    EXPECT_EQ(GSM::DeliveryStateOf(0x00), GSM::DeliveryState::Delivered);
    EXPECT_EQ(GSM::DeliveryStateOf(0x1F), GSM::DeliveryState::Delivered);
    EXPECT_EQ(GSM::DeliveryStateOf(0x20), GSM::DeliveryState::Pending);
    EXPECT_EQ(GSM::DeliveryStateOf(0x3F), GSM::DeliveryState::Pending);
    EXPECT_EQ(GSM::DeliveryStateOf(0x40), GSM::DeliveryState::Failed);
    EXPECT_EQ(GSM::DeliveryStateOf(0x7F), GSM::DeliveryState::Failed);
    EXPECT_EQ(GSM::DeliveryStateOf(0x80), GSM::DeliveryState::Failed)
        << "reserved codes end the part";
    EXPECT_EQ(GSM::DeliveryStateOf(0xFF), GSM::DeliveryState::Failed);

    EXPECT_TRUE(SameRecipient("+358123456789", "358123456789"));
    EXPECT_TRUE(SameRecipient("123456789", "+358123456789")) << "the country code dropped";
    EXPECT_TRUE(SameRecipient("+358123456789", "3456789"));
    EXPECT_FALSE(SameRecipient("+358123456789", "123456")) << "too short to tell";
    EXPECT_TRUE(SameRecipient("12345", "12345")) << "short numbers only when equal";
    EXPECT_FALSE(SameRecipient("+358123456789", "+358123456780"));
    EXPECT_FALSE(SameRecipient("+358123456789", "0123456789")) << "a trunk 0 is no suffix";
    EXPECT_FALSE(SameRecipient("", "")) << "no digits match nothing";
}

}  // namespace
}  // namespace Tarvikd
