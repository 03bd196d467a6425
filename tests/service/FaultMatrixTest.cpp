// Each fault a modem or a cable can show, against each modem operation: the service never
// crashes or hangs, stops at once, and loses or repeats no message.
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "Accounting.h"
#include "ServiceFixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ModemSim::CModem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kStopLimit = 300ms;  // the sanitizers slow every thread switch
#else
constexpr auto kStopLimit = 100ms;
#endif

constexpr int kPort = 9;
constexpr int kFaultUses = 2;  // the modem recovers after this many faulty answers

struct Operation {
    const char* name;
    const char* model;
    const char* prefix;  // the command the fault hits
    bool atStart;        // identification and set-up: the fault is there before the start
    bool wideText;       // the loopback text goes as UCS2
};

struct Fault {
    const char* name;
    std::function<void(CModem&, const std::string&)> apply;
    // Faults that only quick replies can trip over; paced, the silence covers them.
    bool quickOnly = false;
};

// The matrix runs paced test by test and with quick replies as a whole program (the
// variable set there, see CMakeLists.txt).
bool QuickReplies() {
    const char* value = std::getenv("TARVIK_QUICK_REPLIES");
    return value != nullptr && std::string(value) == "1";
}

const Operation kOperations[] = {
    {"Identification", "MU609", "AT+GMM", true, false},
    {"SetUp", "MU609", "AT+CNMI", true, false},
    {"TextSubmission", "MU609", "AT+CMGS", false, false},
    {"PduSubmission", "MU609", "AT+CMGS", false, true},
    {"Ucs2Submission", "SIM6320C", "AT+CMGS", false, true},
    {"UnpromptedSubmission", "MC8332", "AT+CMGS", false, true},
    {"PduListing", "MU609", "AT+CMGL", false, false},
    {"BlankLineListing", "A8500", "AT+CMGL", false, false},
    {"AltTagListing", "CEM630", "AT+CMGL", false, false},
    {"Ucs2Listing", "SIM6320C", "AT+CMGL", false, false},
    {"IndexListing", "MC8332", "AT+CMGL", false, false},
    {"Reading", "MC8332", "AT+CMGR", false, false},
    {"Deletion", "MU609", "AT+CMGD", false, false},
};

const Fault kFaults[] = {
    {"Silence", [](CModem& m, const std::string& p) { m.SilenceCommand(p, kFaultUses); }},
    {"Error",
     [](CModem& m, const std::string& p) { m.FailCommand(p, "\r\nERROR\r\n", kFaultUses); }},
    {"ExtendedError",
     [](CModem& m, const std::string& p) {
         m.FailCommand(p, "\r\n+CMS ERROR: 500\r\n", kFaultUses);
     }},
    {"SplitReply", [](CModem& m, const std::string& p) { m.SplitReply(p, 350, kFaultUses); }},
    {"CutInHalf", [](CModem& m, const std::string& p) { m.CutReply(p, 100, kFaultUses); }},
    {"UnsolicitedBefore",
     [](CModem& m, const std::string& p) {
         m.UnsolicitedAround(p, "+CMTI: \"SM\",3", true, kFaultUses);
     }},
    {"UnsolicitedInside",
     [](CModem& m, const std::string& p) {
         m.UnsolicitedInside(p,
                             "+CDS: 6,202,\"13912345678\",129,\"24/03/05,14:07:09+32\","
                             "\"24/03/05,14:07:10+32\",0",
                             kFaultUses);
     }},
    {"UnsolicitedAfter",
     [](CModem& m, const std::string& p) { m.UnsolicitedAround(p, "RING", false, kFaultUses); }},
    {"Garbage",
     [](CModem& m, const std::string& p) {
         m.ReplyTo(p, ModemSim::Script{{std::string("\0\xFF\x1B^BOOT:1,0\r\n\0", 15), 0}},
                   kFaultUses);
     }},
    {"EchoOn",
     [](CModem& m, const std::string&) {
         m.UpdateProfile([](ModemSim::ModemProfile& profile) { profile.echo = true; });
     }},
    // A module that reports signal and registration on its own all the time, confirms
    // submissions slowly and lists slowly.
    {"ChattyModem",
     [](CModem& m, const std::string&) {
         m.UpdateProfile([](ModemSim::ModemProfile& profile) {
             profile.networkDelayMs = 700;
             profile.listingPauseMs = 60;
         });
         m.StartChatter({"^RSSI:17", "+CREG: 1", "+CGREG: 1", "+CMTI: \"SM\",3"}, 90, 30);
     }},
    // "OK", and a line behind it within the settle gap: one burst, nothing for the next
    // command.
    {"LinesBehindResult",
     [](CModem& m, const std::string& p) {
         m.UnsolicitedAround(p, "+CMTI: \"SM\",3", false, kFaultUses, 8);
     },
     true},
    // The prompt comes before the module takes text: a body written at once is lost.
    {"EarlyPrompt",
     [](CModem& m, const std::string&) {
         m.UpdateProfile([](ModemSim::ModemProfile& profile) { profile.promptReadyMs = 10; });
     },
     true}};

struct Case {
    const Operation* operation;
    const Fault* fault;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.operation->name << " with " << c.fault->name;
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const auto& operation : kOperations) {
        for (const auto& fault : kFaults) {
            cases.push_back({&operation, &fault});
        }
    }
    return cases;
}

class FaultMatrixTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        TestSupport::FreshServicePort(300);
        modem = std::make_unique<CModem>(dir.Path(), kPort,
                                         ModemSim::ProfileFor(GetParam().operation->model));
        // The index dialect's pauses between bursts, shortened: the faults are the point.
        modem->UpdateProfile([](ModemSim::ModemProfile& profile) {
            profile.burstPauseMs = 100;
            profile.reportPauseMs = 100;
        });
    }
    void TearDown() override { SMSStopSerice(); }

    // A caller retries a failed start a few times, as it would with a flaky modem.
    int StartWithRetries() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (SMSStartService(kPort, 115200, 2, 8, 0, 1, "card") == 1) {
                return 1;
            }
        }
        return 0;
    }

    void Drain(TestSupport::CAccounting& books, std::chrono::milliseconds limit) {
        TestSupport::WaitFor(
            [&] {
                books.Drain();
                return books.ReportCount() >= books.QueuedCount() && books.AllDelivered(*modem);
            },
            limit);
    }

    TestSupport::TempPortDir dir;
    std::unique_ptr<CModem> modem;
};

TEST_P(FaultMatrixTest, NothingIsLostRepeatedOrHung) {
    const Operation& operation = *GetParam().operation;
    const Fault& fault = *GetParam().fault;
    if (fault.quickOnly && !QuickReplies()) {
        GTEST_SKIP() << "a fault of quick replies";
    }
    TestSupport::CAccounting books;
    for (const char* text : {"stored one", "stored two"}) {
        ModemSim::StoredMessage message;
        message.number = "+8613912345678";
        message.text = text;
        ASSERT_GE(modem->StoreMessage(message), 0);
        books.Stored(text);
    }
    if (operation.atStart) {
        fault.apply(*modem, operation.prefix);
    }
    ASSERT_EQ(StartWithRetries(), 1) << TestSupport::LastError();
    if (!operation.atStart) {
        fault.apply(*modem, operation.prefix);
    }

    const std::string back = operation.wideText ? "back 你好" : "back home";
    const std::string away = operation.wideText ? "away 再见" : "away now";
    ASSERT_GE(SMSSendMessage(back.c_str(), "13800138000"), 1);
    books.Queued(back, "13800138000", true);
    ASSERT_GE(SMSSendMessage(away.c_str(), "13912345678"), 1);
    books.Queued(away, "13912345678", false);

    Drain(books, 30s);
    const auto before = Clock::now();
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_LT(Clock::now() - before, kStopLimit);
    // A deletion answered without "OK" leaves the message for the next pass, which delivers
    // it again when the drain outlasts the pause between passes, as on a loaded machine.
    std::set<std::string> refused;
    if (std::string(operation.prefix) == "AT+CMGD" &&
        std::set<std::string>{"Error", "ExtendedError", "Garbage"}.count(fault.name) > 0) {
        refused = {"stored one", "stored two"};
    }
    for (const auto& problem : books.Problems(*modem, refused)) {
        ADD_FAILURE() << problem;
    }
    EXPECT_EQ(books.ReportCount(), books.QueuedCount());
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FaultMatrixTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& test) {
                             return std::string(test.param.operation->name) +
                                    test.param.fault->name;
                         });

using TestSupport::CpuTime;

class VanishingModemTest : public FaultMatrixTest {};

// The modem is unplugged in the middle of the operation: the service keeps its results,
// does not spin, and stops at once.
TEST_P(VanishingModemTest, AnUnpluggedModemCostsNothingAndStopsAtOnce) {
    const Operation& operation = *GetParam().operation;
    ASSERT_EQ(StartWithRetries(), 1);
    ModemSim::StoredMessage message;
    message.text = "waiting";
    modem->StoreMessage(message);
    ASSERT_GE(SMSSendMessage(operation.wideText ? "你好" : "hello", "13912345678"), 1);
    ASSERT_TRUE(TestSupport::WaitFor([&] {
        for (const auto& command : modem->Commands()) {
            if (command.rfind(operation.prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }));
    modem.reset();

    const auto cpuBefore = CpuTime();
    std::this_thread::sleep_for(2s);
    EXPECT_LT(CpuTime() - cpuBefore, 300ms) << "the worker spins on a vanished modem";
    SendReport report{};
    EXPECT_GE(SMSReport(&report), 0);
    EXPECT_GE(SMSCounts(), 0);
    const auto before = Clock::now();
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_LT(Clock::now() - before, kStopLimit);
}

std::vector<Case> RunningOperations() {
    static const Fault kNone{"", {}};
    std::vector<Case> cases;
    for (const auto& operation : kOperations) {
        if (!operation.atStart) {
            cases.push_back({&operation, &kNone});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, VanishingModemTest,
                         ::testing::ValuesIn(RunningOperations()),
                         [](const auto& test) { return std::string(test.param.operation->name); });

}  // namespace
