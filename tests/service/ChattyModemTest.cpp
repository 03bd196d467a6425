// Modems that talk on their own, as real modules do: status lines every moment, a network
// slow to confirm, a SIM slow to list, a restart in the middle of a session. Nothing may
// hang, be lost, or be reported other than it went.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Accounting.h"
#include "ServiceFixture.h"

namespace {

using ModemSim::CModem;
using ModemSim::ModemProfile;
using TestSupport::Fetch;
using TestSupport::LastError;
using TestSupport::LocalText;
using TestSupport::Reports;
using TestSupport::WaitFor;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 11;
constexpr char kOther[] = "13912345678";

const std::vector<std::string> kStatusLines = {"^RSSI:17", "+CREG: 1", "+CGREG: 1",
                                               "+CMTI: \"SM\",3"};

struct Model {
    const char* name;
    const char* imsi;
};

void PrintTo(const Model& model, std::ostream* out) {
    *out << model.name << " on " << model.imsi;
}

std::string NameOf(const ::testing::TestParamInfo<Model>& info) {
    return std::string(info.param.name) +
           (std::string(info.param.imsi).rfind("46003", 0) == 0 ? "OnUcs2Network" : "");
}

constexpr Model kIndexModels[] = {{"MC8332", "460001234567890"}, {"MC8618", "460001234567890"}};
constexpr Model kUcs2Models[] = {{"SIM6320C", "460001234567890"}, {"SIM7600CE", "460031234567890"}};
constexpr Model kPromptedModels[] = {{"MU609", "460001234567890"},
                                     {"SIM6320C", "460001234567890"},
                                     {"SIM7600CE", "460031234567890"}};

class ChattyModemTest : public ::testing::TestWithParam<Model> {
protected:
    void SetUp() override {
        TestSupport::FreshServicePort(400);
        modem = std::make_unique<CModem>(dir.Path(), kPort, ModemSim::ProfileFor(GetParam().name));
        modem->UpdateProfile([](ModemProfile& profile) {
            profile.imsi = GetParam().imsi;
            profile.burstPauseMs = 100;
            profile.reportPauseMs = 100;
        });
    }
    void TearDown() override {
        SMSStopSerice();
        modem.reset();
    }

    int Start() { return SMSStartService(kPort, 115200, 2, 8, 0, 1, "card"); }
    void Chatter(int periodMs = 150) { modem->StartChatter(kStatusLines, periodMs, periodMs / 3); }

    void Store(const std::string& text) {
        ModemSim::StoredMessage message;
        message.number = "+8613912345678";
        message.text = text;
        ASSERT_GE(modem->StoreMessage(message), 0);
    }

    std::vector<std::string> Texts(const std::vector<RecvMsg>& messages) {
        std::vector<std::string> texts;
        for (const auto& message : messages) {
            texts.emplace_back(message.text);
        }
        std::sort(texts.begin(), texts.end());
        return texts;
    }

    TestSupport::TempPortDir dir;
    std::unique_ptr<CModem> modem;
};

// A listing whose last entry shares its burst with the final result used to wait for a
// silence that a talking modem never gives: the service hung for good.
class IndexDialectTest : public ChattyModemTest {};

TEST_P(IndexDialectTest, AListingEndsAndTheQueueMovesWhileStatusLinesKeepComing) {
    modem->UpdateProfile([](ModemProfile& profile) { profile.burstPauseMs = 0; });
    Store("first");
    Store("second");
    Chatter();
    ASSERT_EQ(Start(), 1) << LastError();
    ASSERT_GE(SMSSendMessage("queued meanwhile", kOther), 1);
    const auto reports = Reports(1, 30s);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].result, 1) << LastError();
    EXPECT_EQ(Texts(Fetch(2, 30s)), (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(WaitFor([&] { return modem->Storage().empty(); }, 10s));
}

INSTANTIATE_TEST_SUITE_P(Codes10And11, IndexDialectTest, ::testing::ValuesIn(kIndexModels), NameOf);

// A status line between an entry's header and its body used to be taken as the body: the
// message arrived empty and was deleted on the modem.
class Ucs2ListingTest : public ChattyModemTest {};

TEST_P(Ucs2ListingTest, AStatusLineInsideAnEntryIsNeverTakenForItsText) {
    modem->UpdateProfile([](ModemProfile& profile) { profile.lineInsideEntries = "^RSSI:17"; });
    Store("kept whole");
    Store("你好 too");
    ASSERT_EQ(Start(), 1) << LastError();
    EXPECT_EQ(Texts(Fetch(2, 20s)),
              (std::vector<std::string>{"kept whole", LocalText("你好 too")}));
    EXPECT_TRUE(WaitFor([&] { return modem->Storage().empty(); }, 10s));
    // Nothing else arrives: no empty or garbled copy.
    std::this_thread::sleep_for(1500ms);
    RecvMsg extra{};
    EXPECT_EQ(SMSGetNextMessage(&extra), 0) << extra.text;
}

INSTANTIATE_TEST_SUITE_P(Codes15And20, Ucs2ListingTest, ::testing::ValuesIn(kUcs2Models), NameOf);

class PromptedTest : public ChattyModemTest {
protected:
    void ExpectAccepted(std::size_t count, std::chrono::milliseconds limit) {
        const auto reports = Reports(count, limit);
        ASSERT_EQ(reports.size(), count);
        for (const auto& report : reports) {
            EXPECT_EQ(report.result, 1) << report.text << ": " << LastError();
        }
    }
};

// The network confirms after seconds while status lines keep coming: the part went, and
// says so. It used to be reported refused, and a caller retrying it sent it twice.
TEST_P(PromptedTest, ASlowNetworkUnderStatusLinesStillReportsTheSend) {
    modem->UpdateProfile([](ModemProfile& profile) { profile.networkDelayMs = 2500; });
    ASSERT_EQ(Start(), 1) << LastError();
    Chatter();
    ASSERT_GE(SMSSendMessage("plain words", kOther), 1);
    ASSERT_GE(SMSSendMessage(LocalText("wide 再见").c_str(), kOther), 1);
    ExpectAccepted(2, 40s);
    ASSERT_EQ(modem->Submitted().size(), 2u);
    EXPECT_EQ(modem->Submitted()[0].text, "plain words");
    EXPECT_EQ(modem->Submitted()[1].text, "wide 再见");
}

// "\r\n+CREG: 1\r\n\r\n> " is the prompt behind a status line, and so is "\n+CREG: 1\n\r\n> "
// from a module that frames its status lines with bare line feeds: that one used to be
// taken for a refusal, and the part was reported refused though the modem was ready.
TEST_P(PromptedTest, StatusLinesAroundThePromptAreNoRefusal) {
    ASSERT_EQ(Start(), 1) << LastError();
    modem->UnsolicitedAround("AT+CMGS", "+CREG: 1", true, -1);
    modem->UnsolicitedAround("AT+CMGS", "\n+CREG: 1\n", true, -1);
    modem->UnsolicitedInside("AT+CMGS", "\n^RSSI:17\n", -1);
    modem->StartChatter({"\n+CREG: 1\n", "^RSSI:17"}, 150, 50);
    ASSERT_GE(SMSSendMessage("behind a status line", kOther), 1);
    ASSERT_GE(SMSSendMessage(LocalText("宽 behind one too").c_str(), kOther), 1);
    ExpectAccepted(2, 20s);
    EXPECT_EQ(modem->Submitted().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(EveryPromptedMethod, PromptedTest, ::testing::ValuesIn(kPromptedModels),
                         NameOf);

// After a watchdog reset the modem is back in its power-up modes; the worker sets it up
// again, so that later parts and listings work without a stop and start.
class RestartTest : public ChattyModemTest {
protected:
    // A part queued and answered, and a message stored and delivered, after the restart.
    void ExpectWorkingAfterRestart(bool announce) {
        ASSERT_EQ(Start(), 1) << LastError();
        ASSERT_GE(SMSSendMessage("before", kOther), 1);
        const auto before = Reports(1);
        ASSERT_EQ(before.size(), 1u);
        ASSERT_EQ(before[0].result, 1) << LastError();
        modem->Restart(announce);
        Store("stored after");

        std::vector<SendReport> reports;
        std::string lastRefusal;
        // A silent restart is only seen in the first refusal; a caller sends again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            ASSERT_GE(SMSSendMessage("after", kOther), 1);
            const auto got = Reports(1, 30s);
            ASSERT_EQ(got.size(), 1u);
            reports.push_back(got[0]);
            if (got[0].result == 1) {
                break;
            }
            lastRefusal = LastError();
        }
        EXPECT_EQ(reports.back().result, 1) << LastError();
        if (announce) {
            EXPECT_EQ(reports.size(), 1u) << lastRefusal;
        } else {
            EXPECT_LE(reports.size(), 2u);
            if (reports.size() == 2) {
                EXPECT_EQ(lastRefusal, "CMGS FAILED: the modem had restarted and lost its set-up");
            }
        }
        EXPECT_EQ(Texts(Fetch(1, 30s)), (std::vector<std::string>{"stored after"}));
        EXPECT_TRUE(WaitFor([&] { return modem->Storage().empty(); }, 10s));
        EXPECT_FALSE(modem->Echo());
    }
};

TEST_P(RestartTest, AModemThatAnnouncesItsRestartIsSetUpBeforeTheNextPart) {
    ExpectWorkingAfterRestart(true);
}

TEST_P(RestartTest, AModemThatRestartsSilentlyIsSetUpAfterItsFirstRefusal) {
    ExpectWorkingAfterRestart(false);
}

INSTANTIATE_TEST_SUITE_P(Codes15And20, RestartTest, ::testing::ValuesIn(kUcs2Models), NameOf);

using TestSupport::CpuTime;

class SlowListingTest : public ChattyModemTest {};

// Unplugged while a slow SIM hands over its listing, with the port's own time limits: the
// reads on the vanished device fail at once and the worker keeps its pace.
TEST_P(SlowListingTest, AModemVanishingInTheMiddleOfASlowListingCostsNothing) {
    GSM::ServiceHost().port.SetTiming(serial::kDefaultTiming);
    modem->UpdateProfile([](ModemProfile& profile) { profile.listingPauseMs = 400; });
    for (const char* text : {"one", "two", "three", "four", "five"}) {
        Store(text);
    }
    ASSERT_EQ(Start(), 1) << LastError();
    const std::size_t listed = modem->Port().Received().size();
    ASSERT_TRUE(WaitFor(
        [&] { return modem->Port().Received().find("AT+CMGL", listed) != std::string::npos; },
        10s));
    std::this_thread::sleep_for(700ms);  // inside the listing's second entry
    modem.reset();

    const auto cpuBefore = CpuTime();
    std::this_thread::sleep_for(3s);
    EXPECT_LT(CpuTime() - cpuBefore, 300ms) << "the worker spins on a vanished modem";
    const auto before = Clock::now();
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_LT(Clock::now() - before, TestSupport::kImmediateStop);
}

INSTANTIATE_TEST_SUITE_P(PduAndUcs2Listings, SlowListingTest,
                         ::testing::Values(Model{"MU609", "460001234567890"},
                                           Model{"SIM6320C", "460001234567890"}),
                         NameOf);

// A slow SIM's whole listing is taken, status lines and all, and each message once.
TEST_P(SlowListingTest, ASlowListingUnderStatusLinesDeliversEveryMessageOnce) {
    modem->UpdateProfile([](ModemProfile& profile) { profile.listingPauseMs = 300; });
    TestSupport::CAccounting books;
    for (const char* text : {"one", "two", "three", "four"}) {
        Store(text);
        books.Stored(text);
    }
    Chatter(120);
    ASSERT_EQ(Start(), 1) << LastError();
    WaitFor(
        [&] {
            books.Drain();
            return books.AllDelivered(*modem);
        },
        40s);
    for (const auto& problem : books.Problems(*modem)) {
        ADD_FAILURE() << problem;
    }
    // A message is handed on before its deletion on the modem ends.
    EXPECT_TRUE(WaitFor([&] { return modem->Storage().empty(); }, 10s));
}

}  // namespace
