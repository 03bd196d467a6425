// The library's own face against the simulated modem: the same service as the ten
// functions, and each accepted part's message reference as the modem gave it.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ServiceFixture.h"
#include "service/Session.h"

namespace {

using TestSupport::FreshServicePort;
using TestSupport::ServiceTest;
using TestSupport::TempPortDir;
using TestSupport::WaitFor;
using namespace std::chrono_literals;

std::vector<Tarvik::PartOutcome> Outcomes(std::size_t count) {
    std::vector<Tarvik::PartOutcome> outcomes;
    WaitFor(
        [&] {
            while (auto outcome = Tarvik::Session::NextOutcome()) {
                outcomes.push_back(*outcome);
            }
            return outcomes.size() >= count;
        },
        30s);
    return outcomes;
}

// Every way of submitting: prompted text and PDU, unprompted, the UCS2 text method.
class PartReferenceTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { FreshServicePort(400); }
    void TearDown() override { Tarvik::Session::Stop(); }

    TempPortDir dir;
    ModemSim::CModem modem{dir.Path(), 7, ModemSim::ProfileFor(GetParam())};
};

TEST_P(PartReferenceTest, EachAcceptedPartCarriesTheReferenceTheModemGaveIt) {
    ASSERT_TRUE(Tarvik::Session::Start(7, 115200)) << Tarvik::Session::LastError();
    const int32_t plain = Tarvik::Session::Send("plain words", "13912345678", "86");
    const int32_t wide = Tarvik::Session::Send("привет", "13912345678", std::nullopt);
    ASSERT_GE(plain, 1);
    ASSERT_EQ(wide, plain + 1);

    const auto outcomes = Outcomes(2);
    const auto submitted = modem.Submitted();
    ASSERT_EQ(outcomes.size(), 2u);
    ASSERT_EQ(submitted.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(outcomes[i].report.result, 1) << i;
        EXPECT_EQ(outcomes[i].messageReference, submitted[i].reference) << i;
    }
    EXPECT_NE(outcomes[0].messageReference, outcomes[1].messageReference);
    // The record's sequence is the low byte, as SMSReport gives it.
    EXPECT_EQ(outcomes[0].report.sequence, static_cast<int8_t>(plain & 0xFF));
    EXPECT_STREQ(outcomes[1].report.text, "привет");
}

INSTANTIATE_TEST_SUITE_P(SubmitMethods, PartReferenceTest,
                         ::testing::Values("MU609", "MC8618", "SIM6320C"));

class SessionTest : public ServiceTest {
protected:
    void TearDown() override { Tarvik::Session::Stop(); }
};

TEST_F(SessionTest, ARefusedOrUnreadableResultCarriesNoReference) {
    ASSERT_TRUE(Tarvik::Session::Start(kPort, kBaud));
    modem.FailSubmission("\r\n+CMS ERROR: 500\r\n", 1);
    ASSERT_GE(Tarvik::Session::Send("refused", "13912345678", "86"), 1);
    auto outcomes = Outcomes(1);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].report.result, 0);
    EXPECT_EQ(outcomes[0].messageReference, -1);

    // Accepted, but with a reference no network gives, or none at all.
    modem.FailSubmission("\r\n+CMGS: 300\r\n\r\nOK\r\n", 1);
    ASSERT_GE(Tarvik::Session::Send("odd result", "13912345678", "86"), 1);
    modem.FailSubmission("\r\nOK\r\n", 1);
    ASSERT_GE(Tarvik::Session::Send("bare result", "13912345678", "86"), 1);
    outcomes = Outcomes(2);
    ASSERT_EQ(outcomes.size(), 2u);
    for (const auto& outcome : outcomes) {
        EXPECT_EQ(outcome.report.result, 1) << outcome.report.text;
        EXPECT_EQ(outcome.messageReference, -1) << outcome.report.text;
    }
}

TEST_F(SessionTest, AListedPartCarriesItsConcatenationElementAndItsSenderAsAPhoneShowsIt) {
    ASSERT_TRUE(Tarvik::Session::Start(kPort, kBaud));
    ModemSim::StoredMessage part;
    part.number = "+447700900123";
    part.text = "second half";
    // A port element ahead of the 16-bit reference element: part 2 of 3 of set 0x1234.
    part.header = {0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0, 0x08, 0x04, 0x12, 0x34, 0x03, 0x02};
    ASSERT_GE(modem.StoreMessage(part), 0);
    ModemSim::StoredMessage plain;
    plain.number = "07700900123";
    plain.text = "no header";
    ASSERT_GE(modem.StoreMessage(plain), 0);

    std::vector<Tarvik::ReceivedPart> received;
    ASSERT_TRUE(WaitFor(
        [&] {
            while (auto next = Tarvik::Session::NextMessage()) {
                received.push_back(*next);
            }
            return received.size() >= 2;
        },
        20s));
    ASSERT_EQ(received.size(), 2u);
    for (const auto& r : received) {
        if (std::string(r.message.text) == "second half") {
            EXPECT_EQ(r.concat, (Tarvik::ConcatHeader{0x1234, 3, 2, true}));
            EXPECT_EQ(Tarvik::SenderOf(r), "+447700900123");
            EXPECT_STREQ(r.message.number, "447700900123") << "the ten functions' digits";
        } else {
            EXPECT_STREQ(r.message.text, "no header");
            EXPECT_FALSE(r.concat);
            EXPECT_EQ(Tarvik::SenderOf(r), "07700900123");
        }
    }
    EXPECT_TRUE(WaitFor([&] { return modem.Storage().empty(); }));
}

TEST_F(SessionTest, BothFacesDriveTheOneService) {
    // Started through the ten functions, fed and read through the other face.
    ASSERT_EQ(Start(), 1);
    EXPECT_TRUE(Tarvik::Session::Running());
    const int32_t sequence = Tarvik::Session::Send("one service", "13912345678", "86");
    ASSERT_GE(sequence, 1);
    const auto reports = TestSupport::Reports(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].sequence, static_cast<int8_t>(sequence & 0xFF));
    EXPECT_STREQ(reports[0].text, "one service");
    EXPECT_FALSE(Tarvik::Session::NextOutcome()) << "a report is taken once, by either face";

    // The modem's message reaches whichever face asks first.
    ModemSim::StoredMessage message;
    message.number = "+8613912345678";
    message.text = "to the other face";
    ASSERT_GE(modem.StoreMessage(message), 0);
    std::optional<Tarvik::ReceivedPart> received;
    ASSERT_TRUE(
        WaitFor([&] { return (received = Tarvik::Session::NextMessage()).has_value(); }, 20s));
    EXPECT_STREQ(received->message.text, "to the other face");
    EXPECT_FALSE(received->concat);

    Tarvik::Session::Stop();
    EXPECT_FALSE(Tarvik::Session::Running());
    EXPECT_EQ(SMSCounts(), -1);
    EXPECT_EQ(Tarvik::Session::Send("after the stop", "13912345678", "86"), -1);
}

}  // namespace
