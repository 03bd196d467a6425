// The running service against the simulated modem: what a caller sends comes back, what the
// modem stores reaches the caller once, and nothing is lost or repeated on the way.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ServiceFixture.h"
#include "engine/ModelTable.h"
#include "pdu/Pdu.h"
#include "service/Session.h"

namespace {

using TestSupport::Fetch;
using TestSupport::LastError;
using TestSupport::LocalText;
using TestSupport::Reports;
using TestSupport::ServiceTest;
using TestSupport::WaitFor;
using namespace std::chrono_literals;

constexpr char kOwnNumber[] = "13800138000";  // the simulator's own, behind "+86"

// "20yy-mm-dd hh:mm:ss"
bool IsStamp(const std::string& text) {
    const std::string shape = "20##-##-## ##:##:##";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '#' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

ModemSim::StoredMessage Received(
    const std::string& text, int index = -1,
    ModemSim::MessageStatus status = ModemSim::MessageStatus::ReceivedUnread) {
    ModemSim::StoredMessage message;
    message.index = index;
    message.status = status;
    message.number = "+8613912345678";
    message.text = text;
    return message;
}

constexpr char kHomeImsi[] = "460001234567890";

// One test per model code: the first name of its row, and for a code reached by the
// operator, the refined model on the first of its networks. One more per family, by a
// name of it as a module answers, and one for the generic profile.
struct ModelCase {
    std::string model;
    std::string imsi;
    int32_t code;  // the code the start leaves
};

std::vector<ModelCase> EveryModelCode() {
    std::vector<ModelCase> cases;
    for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
        const auto names = GSM::NamesOf(profile);
        if (names.empty()) {
            continue;
        }
        const std::string name(names.front());
        cases.push_back({name, kHomeImsi, profile.code});
        if (profile.refinement.code != GSM::kModelNone) {
            cases.push_back({name, std::string(profile.refinement.networks.front()) + "1234567890",
                             profile.refinement.code});
        }
        for (const GSM::ModelFamily& family : GSM::FamiliesOf(profile)) {
            cases.push_back(
                {"Module " + std::string(GSM::NamesOf(family).back()), kHomeImsi, profile.code});
        }
    }
    cases.push_back({"XYZ 4G", kHomeImsi, GSM::kModelGeneric});  // no row's name, no family's
    return cases;
}

std::string CaseName(const ModelCase& model) {
    std::string name = model.model + (model.imsi == kHomeImsi ? "" : "OnUcs2Network");
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

void PrintTo(const ModelCase& model, std::ostream* out) {
    *out << model.model << " on " << model.imsi;
}

class LoopbackTest : public ServiceTest, public ::testing::WithParamInterface<ModelCase> {
protected:
    LoopbackTest() : ServiceTest(GetParam().model) {
        modem.UpdateProfile(
            [](ModemSim::ModemProfile& profile) { profile.imsi = GetParam().imsi; });
    }
};

TEST_P(LoopbackTest, AMessageToTheModemsOwnNumberComesBackAndLeavesTheStorageEmpty) {
    ASSERT_EQ(Start(), 1) << LastError();
    EXPECT_EQ(GSM::modelCode.load(), GetParam().code);
    const int plain = SMSSendMessage("Hello", kOwnNumber);
    const int wide = SMSSendMessage(LocalText("Grüße 你好 €").c_str(), kOwnNumber);
    ASSERT_GE(plain, 1);
    ASSERT_EQ(wide, plain + 1);

    const auto reports = Reports(2);
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& report : reports) {
        EXPECT_EQ(report.result, 1) << report.text << ": " << LastError();
        EXPECT_EQ(std::string(report.number), kOwnNumber);
    }

    const auto messages = Fetch(2);
    ASSERT_EQ(messages.size(), 2u);
    std::set<std::string> texts;
    for (const auto& message : messages) {
        texts.insert(message.text);
        EXPECT_NE(std::string(message.number).find(kOwnNumber), std::string::npos)
            << message.number;
        EXPECT_TRUE(IsStamp(message.timestamp)) << message.timestamp;
    }
    EXPECT_EQ(texts, (std::set<std::string>{"Hello", LocalText("Grüße 你好 €")}));
    EXPECT_TRUE(WaitFor([&] { return modem.Storage().empty(); }));
}

INSTANTIATE_TEST_SUITE_P(EveryModelCode, LoopbackTest, ::testing::ValuesIn(EveryModelCode()),
                         [](const auto& model) { return CaseName(model.param); });

class EndToEndTest : public ServiceTest {};

TEST_F(EndToEndTest, QueuedPartsGoFirstAndARefusedOneIsReportedOnce) {
    ASSERT_EQ(Start(), 1);
    modem.FailSubmission("\r\n+CMS ERROR: 500\r\n", 1);
    ASSERT_GE(SMSSendMessage(std::string(10 * 140, 'a').c_str(), "13912345678"), 1);
    const auto reports = Reports(10, 30s);
    ASSERT_EQ(reports.size(), 10u);
    EXPECT_EQ(reports[0].result, 0);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].result, 1) << i;
    }
    EXPECT_EQ(modem.Submitted().size(), 9u);

    // No listing between the first submission and the last.
    const auto commands = modem.Commands();
    std::vector<std::size_t> submits;
    std::vector<std::size_t> listings;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (commands[i].rfind("AT+CMGS", 0) == 0) {
            submits.push_back(i);
        }
        if (commands[i].rfind("AT+CMGL", 0) == 0) {
            listings.push_back(i);
        }
    }
    ASSERT_EQ(submits.size(), 10u);
    for (std::size_t listing : listings) {
        EXPECT_TRUE(listing < submits.front() || listing > submits.back()) << listing;
    }
}

// The switch as a user sets it, for one test.
class QuickRepliesOn {
public:
    QuickRepliesOn() {
        const char* value = std::getenv("TARVIK_QUICK_REPLIES");
        before_ = value == nullptr ? std::nullopt : std::optional<std::string>(value);
        TestSupport::SetEnvironment("TARVIK_QUICK_REPLIES", "1");
    }
    ~QuickRepliesOn() {
        if (before_) {
            TestSupport::SetEnvironment("TARVIK_QUICK_REPLIES", *before_);
        } else {
            TestSupport::UnsetEnvironment("TARVIK_QUICK_REPLIES");
        }
    }
    QuickRepliesOn(const QuickRepliesOn&) = delete;
    QuickRepliesOn& operator=(const QuickRepliesOn&) = delete;

private:
    std::optional<std::string> before_;
};

// The submissions between two listings, in the order the modem received its commands.
std::vector<int> SubmitRuns(const std::vector<std::string>& commands) {
    std::vector<int> runs{0};
    for (const auto& command : commands) {
        if (command.rfind("AT+CMGS", 0) == 0) {
            ++runs.back();
        } else if (command.rfind("AT+CMGL", 0) == 0 && runs.back() != 0) {
            runs.push_back(0);
        }
    }
    return runs;
}

TEST_F(EndToEndTest, WithQuickRepliesALongQueueGivesWayToListingsAndLosesNothing) {
    const QuickRepliesOn quick;
    ASSERT_EQ(Start(), 1);
    constexpr std::size_t kParts = 25;
    ASSERT_GE(SMSSendMessage(std::string(kParts * 140, 'q').c_str(), "13912345678"), 1);
    // A message that arrives while the queue is being sent.
    ASSERT_FALSE(Reports(1, 30s).empty());
    ASSERT_GE(modem.StoreMessage(Received("while sending", 5)), 0);

    const auto messages = Fetch(1, 60s);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_STREQ(messages[0].text, "while sending");
    const auto reports = Reports(kParts - 1, 60s);
    ASSERT_EQ(reports.size(), kParts - 1);
    for (const auto& report : reports) {
        EXPECT_EQ(report.result, 1);
    }
    EXPECT_EQ(modem.Submitted().size(), kParts);
    EXPECT_TRUE(WaitFor([&] { return modem.Storage().empty(); }));

    // The parts were queued at once: listings come between them, never more than ten apart.
    const std::vector<int> runs = SubmitRuns(modem.Commands());
    EXPECT_GE(runs.size(), 3u);
    for (const int run : runs) {
        EXPECT_LE(run, 10);
    }
}

TEST_F(EndToEndTest, AFailedModeCommandStopsThePartBeforeItIsSubmitted) {
    ASSERT_EQ(Start(), 1);
    modem.FailCommand("AT+CMGF=1");
    ASSERT_GE(SMSSendMessage("plain", "13912345678"), 1);
    const auto reports = Reports(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].result, 0);
    EXPECT_EQ(LastError(), "CMGS FAILED");
    const auto commands = modem.Commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) { return c.rfind("AT+CMGS", 0) == 0; }),
              0);
}

TEST_F(EndToEndTest, OnlyReceivedMessagesAreDeliveredAndDeletedByTheirWholeIndex) {
    ASSERT_GE(modem.StoreMessage(Received("kept as sent", 2, ModemSim::MessageStatus::StoredSent)),
              0);
    ASSERT_EQ(modem.StoreMessage(Received("far up", 300)), 300);
    ASSERT_EQ(modem.StoreMessage(Received("first", 1)), 1);
    ASSERT_EQ(Start(), 1);

    const auto messages = Fetch(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(std::string(messages[0].text), "first");
    EXPECT_EQ(std::string(messages[1].text), "far up");
    EXPECT_EQ(std::string(messages[0].number), "8613912345678");
    ASSERT_TRUE(WaitFor([&] { return modem.Storage().size() == 1; }));
    EXPECT_EQ(modem.Storage()[0].text, "kept as sent");
    std::this_thread::sleep_for(1500ms);  // another pass delivers nothing twice
    RecvMsg again{};
    EXPECT_EQ(SMSGetNextMessage(&again), 0);
}

// A delivery report kept among the messages is no message: neither face gives it as one,
// the second face gives it as a report, and it leaves the SIM rather than filling it.
TEST_F(EndToEndTest, AStoredDeliveryReportIsHandedOverAsOneAndLeavesTheSim) {
    ModemSim::Pdu::StatusReport unit;
    unit.messageReference = 42;
    unit.recipient = "447700900123";
    unit.centreTime = {26, 12, 8, 10, 0, 0, 4};
    unit.dischargeTime = {26, 12, 8, 10, 0, 9, 4};
    unit.status = 0x41;
    ModemSim::StoredMessage report;
    report.index = 4;
    report.reportUnit = ModemSim::Pdu::EncodeStatusReport(unit);
    ASSERT_EQ(modem.StoreMessage(report), 4);
    ASSERT_EQ(modem.StoreMessage(Received("first", 1)), 1);
    ASSERT_EQ(Start(), 1);

    const auto messages = Fetch(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(std::string(messages[0].text), "first");
    EXPECT_TRUE(WaitFor([&] { return modem.Storage().empty(); }));
    std::optional<Tarvik::StatusReport> got;
    ASSERT_TRUE(WaitFor([&] { return (got = Tarvik::Session::NextStatusReport()).has_value(); }));
    EXPECT_EQ(got->reference, 42);
    EXPECT_EQ(got->recipient, "447700900123");
    EXPECT_TRUE(got->internationalRecipient);
    EXPECT_EQ(got->status, 0x41);
    EXPECT_EQ(got->dischargeTime, "2026-12-08 10:00:09+01:00");
    EXPECT_EQ(got->storageIndex, 4);
    RecvMsg again{};
    EXPECT_EQ(SMSGetNextMessage(&again), 0);
}

TEST_F(EndToEndTest, AFullStoreLeavesTheNextMessageOnTheModemUntilThereIsRoom) {
    serial::SerialTiming quick;
    quick.firstByteWaitMs = 400;
    quick.burstGapMs = 10;
    GSM::ServiceHost().port.SetTiming(quick);
    for (int i = 1; i <= 501; ++i) {
        ASSERT_EQ(modem.StoreMessage(Received("m" + std::to_string(i), i)), i);
    }
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(WaitFor([&] { return modem.Storage().size() == 1; }, 90s));
    // The store is full: further passes leave the last message where it is.
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(modem.Storage().size(), 1u);

    std::map<std::string, int> seen;
    for (const auto& message : Fetch(501, 30s)) {
        ++seen[message.text];
    }
    EXPECT_TRUE(WaitFor([&] { return modem.Storage().empty(); }));
    for (const auto& message : Fetch(1)) {
        ++seen[message.text];
    }
    EXPECT_EQ(seen.size(), 501u);
    for (const auto& [text, count] : seen) {
        EXPECT_EQ(count, 1) << text;
    }
}

TEST_F(EndToEndTest, StopDuringASubmissionReturnsAtOnce) {
    serial::SerialTiming patient;
    GSM::ServiceHost().port.SetTiming(patient);
    ASSERT_EQ(Start(), 1);
    modem.SilenceCommand("AT+CMGS");
    ASSERT_GE(SMSSendMessage("Hello", "13912345678"), 1);
    ASSERT_TRUE(WireShows("AT+CMGS="));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, TestSupport::kImmediateStop);
    SendReport report{};
    EXPECT_EQ(SMSReport(&report), -1);
}

}  // namespace
