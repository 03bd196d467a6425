// Long texts through the ten functions with TARVIK_LONG_MESSAGES=1 and through the library's
// own face: what the simulated modem received, part by part, and what the caller was told.
#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "ServiceFixture.h"
#include "service/ReferenceBook.h"
#include "service/Session.h"

namespace {

using TestSupport::SetEnvironment;
using TestSupport::UnsetEnvironment;

// 400 characters of the GSM alphabet: 153 + 153 + 94 septets.
const std::string kLongText = [] {
    std::string text;
    while (text.size() < 400) {
        text += "long text " + std::to_string(text.size()) + ". ";
    }
    return text.substr(0, 400);
}();

class LongMessageTest : public TestSupport::ServiceTest,
                        public ::testing::WithParamInterface<const char*> {
protected:
    LongMessageTest() : ServiceTest(GetParam()) {}
    void SetUp() override {
        ServiceTest::SetUp();
        SetEnvironment("TARVIK_LONG_MESSAGES", "1");
        SetEnvironment("TARVIK_CONCAT_REFERENCES", dir.Path() + "/references");
    }
    void TearDown() override {
        ServiceTest::TearDown();
        UnsetEnvironment("TARVIK_LONG_MESSAGES");
        UnsetEnvironment("TARVIK_CONCAT_REFERENCES");
    }
    bool CarriesHeader() const { return std::string(GetParam()) == "MU609"; }
};

TEST_P(LongMessageTest, TheTenFunctionsSendALongTextWholeWhereTheDialectAllows) {
    ASSERT_EQ(Start(), 1);
    const int32_t sequence = SMSSendMessage2(kLongText.c_str(), "13912345678", "86");
    ASSERT_GE(sequence, 1);
    const auto reports = TestSupport::Reports(3);
    std::string joined;
    for (const SendReport& report : reports) {
        EXPECT_EQ(report.result, 1);
        EXPECT_EQ(report.sequence, static_cast<int8_t>(sequence & 0xFF));
        joined += report.text;
    }
    EXPECT_EQ(joined, kLongText);
    const auto submitted = modem.Submitted();
    ASSERT_EQ(submitted.size(), reports.size());
    for (std::size_t i = 0; i < submitted.size(); ++i) {
        if (!CarriesHeader()) {
            EXPECT_TRUE(submitted[i].header.empty()) << "a CDMA dialect carries no header";
            continue;
        }
        ASSERT_EQ(submitted[i].header.size(), 5u);
        EXPECT_EQ(submitted[i].header[0], 0x00);
        EXPECT_EQ(submitted[i].header[2], submitted[0].header[2]) << "one reference";
        EXPECT_EQ(submitted[i].header[3], 3);
        EXPECT_EQ(submitted[i].header[4], i + 1);
    }
    // A text that fits one message goes as it always did.
    ASSERT_GE(SMSSendMessage2("short", "13912345678", "86"), 1);
    ASSERT_EQ(TestSupport::Reports(1).size(), 1u);
    EXPECT_TRUE(modem.Submitted().back().header.empty());
}

TEST_P(LongMessageTest, OverTenPartsNothingIsQueuedAndTheReasonIsLeft) {
    ASSERT_EQ(Start(), 1);
    const std::string text(160 * 11, 'x');
    EXPECT_EQ(SMSSendMessage2(text.c_str(), "13912345678", "86"), -1);
    char reason[1024] = {};
    SMSGetLastError(reason);
    EXPECT_NE(std::string(reason).find("(max_parts)"), std::string::npos) << reason;
    EXPECT_EQ(SMSCounts(), 0);
    EXPECT_TRUE(modem.Submitted().empty());
}

INSTANTIATE_TEST_SUITE_P(Dialects, LongMessageTest, ::testing::Values("MU609", "MC8618"));

class SessionLongTest : public TestSupport::ServiceTest {
protected:
    void TearDown() override {
        Tarvik::Session::Stop();
        UnsetEnvironment("TARVIK_CONCAT_REFERENCES");
    }
};

TEST_F(SessionLongTest, AReferenceIsNotUsedAgainForTheNumberAfterARestart) {
    SetEnvironment("TARVIK_CONCAT_REFERENCES", dir.Path() + "/references");
    std::vector<int> seen;
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(Tarvik::Session::Start(kPort, kBaud)) << Tarvik::Session::LastError();
        const auto sent = Tarvik::Session::SendText(kLongText, "13912345678", "86", {});
        ASSERT_GE(sent.sequence, 1) << sent.refusal;
        EXPECT_EQ(sent.parts, 3u);
        EXPECT_TRUE(sent.concatenated);
        ASSERT_TRUE(TestSupport::WaitFor([&] { return modem.Submitted().size() == 3u * (run + 1); },
                                         std::chrono::seconds(30)));
        seen.push_back(modem.Submitted().back().header.at(2));
        Tarvik::Session::Stop();
    }
    EXPECT_NE(seen[0], seen[1]);
}

TEST_F(SessionLongTest, ARetrySendsTheNamedPartsOfTheSameSplitUnderTheGivenReference) {
    ASSERT_TRUE(Tarvik::Session::Start(kPort, kBaud)) << Tarvik::Session::LastError();
    Tarvik::Session::SendOptions retry;
    retry.reference = 200;
    retry.onlyParts = {3, 1};
    const auto sent = Tarvik::Session::SendText(kLongText, "13912345678", "86", retry);
    ASSERT_GE(sent.sequence, 1) << sent.refusal;
    EXPECT_EQ(sent.parts, 2u);
    EXPECT_EQ(sent.splitParts, 3u);
    EXPECT_EQ(sent.reference, 200);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return modem.Submitted().size() == 2u; },
                                     std::chrono::seconds(30)));
    // The same element as the first sending's parts: reference, count, number.
    EXPECT_EQ(modem.Submitted()[0].header, (std::vector<uint8_t>{0, 3, 200, 3, 1}));
    EXPECT_EQ(modem.Submitted()[1].header, (std::vector<uint8_t>{0, 3, 200, 3, 3}));
    std::vector<int> reported;
    ASSERT_TRUE(TestSupport::WaitFor(
        [&] {
            while (const auto outcome = Tarvik::Session::NextOutcome()) {
                reported.push_back(outcome->partNumber);
            }
            return reported.size() == 2u;
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(reported, (std::vector<int>{1, 3}));

    // Refused, nothing queued: a part the split has not, a reference out of range, a
    // reference for a text that goes as one message.
    for (const auto& [parts, reference, text] : {std::tuple{std::vector<int>{4}, 7, kLongText},
                                                 {std::vector<int>{1}, 256, kLongText},
                                                 {std::vector<int>{}, 7, "short"},
                                                 {std::vector<int>{0}, 7, kLongText}}) {
        Tarvik::Session::SendOptions bad;
        bad.reference = reference;
        bad.onlyParts = parts;
        const auto refused = Tarvik::Session::SendText(text, "13912345678", "86", bad);
        EXPECT_EQ(refused.sequence, -1) << reference;
        EXPECT_FALSE(refused.refusal.empty());
    }
    Tarvik::Session::SendOptions noReference;
    noReference.onlyParts = {1};
    EXPECT_EQ(Tarvik::Session::SendText(kLongText, "13912345678", "86", noReference).sequence, -1);
}

TEST(ReferenceBookTest, EveryReferenceOnceADayForANumber) {
    TestSupport::TempPortDir dir;
    const std::string path = dir.Path() + "/references";
    std::vector<int> taken;
    {
        GSM::CReferenceBook book(path);
        for (int i = 0; i < 200; ++i) {
            taken.push_back(*book.Take("8613912345678", 1000));
        }
        // Another number has its own references.
        EXPECT_TRUE(book.Take("447700900123", 1000).has_value());
    }
    GSM::CReferenceBook reopened(path);
    for (int i = 0; i < 56; ++i) {
        taken.push_back(*reopened.Take("8613912345678", 2000));
    }
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(std::unique(taken.begin(), taken.end()), taken.end()) << "a repeat within the day";
    EXPECT_FALSE(reopened.Take("8613912345678", 3000)) << "all 256 used within a day";
    EXPECT_TRUE(reopened.Take("8613912345678", 1000 + GSM::CReferenceBook::kHoldSeconds));
}

}  // namespace
