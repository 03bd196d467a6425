// Start, stop, the queue and the stores as a caller sees them through the exports, against
// a simulated modem.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ServiceFixture.h"
#include "service/Stores.h"

namespace {

using Clock = std::chrono::steady_clock;
using TestSupport::LastError;
using TestSupport::LocalText;
using TestSupport::Reports;
using TestSupport::ServiceTest;
using TestSupport::WaitFor;
using namespace std::chrono_literals;

// When the first byte of `text` reached the modem.
Clock::time_point ArrivalOf(ModemSim::CModem& modem, const std::string& text) {
    const auto log = modem.Port().ReceivedLog();
    std::string bytes;
    for (const auto& byte : log) {
        bytes += static_cast<char>(byte.value);
    }
    const auto at = bytes.find(text);
    return at == std::string::npos ? Clock::time_point::max() : log[at].at;
}

TEST_F(ServiceTest, AStartOnAMissingPortFailsQuietlyAndAGoodPortThenStarts) {
    GSM::SetLastError("earlier failure");
    EXPECT_EQ(SMSStartService(kPort + 1, kBaud, 2, 8, 0, 1, "card"), 0);
    EXPECT_EQ(LastError(), "earlier failure");
    EXPECT_EQ(SMSCounts(), -1);

    ASSERT_EQ(Start(), 1);
    SendReport report{};
    RecvMsg message{};
    EXPECT_EQ(SMSCounts(), 0);
    EXPECT_EQ(SMSReport(&report), 0);
    EXPECT_EQ(SMSGetNextMessage(&message), 0);
    EXPECT_EQ(SMSReport(nullptr), 0);
    EXPECT_EQ(SMSGetNextMessage(nullptr), 0);
    EXPECT_EQ(SMSSetCountryCode(44), 1);
    EXPECT_EQ(GSM::ServiceHost().engine.countryCode.load(), 44);
}

TEST_F(ServiceTest, AWrongBaudRateKeepsThePortOpenUntilAStop) {
    serial::SerialTiming quick;
    quick.firstByteWaitMs = 100;
    quick.burstGapMs = 25;
    GSM::ServiceHost().port.SetTiming(quick);
    modem.UpdateProfile([](ModemSim::ModemProfile& profile) { profile.baudRate = kBaud; });
    EXPECT_EQ(SMSStartService(kPort, 9600, 2, 8, 0, 1, "card"), 0);
    EXPECT_EQ(LastError(), "Can not find the device type");
    EXPECT_EQ(SMSCounts(), -1);
    // The open port is reused as it is: the new rate is not applied.
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_EQ(Start(), 1);
}

TEST_F(ServiceTest, StopWithoutAStartIsHarmless) {
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_EQ(Start(), 1);
}

TEST_F(ServiceTest, StopAbandonsTheModemAtOnceAndDiscardsWhatWaits) {
    serial::SerialTiming patient;  // the full five seconds for a reply
    GSM::ServiceHost().port.SetTiming(patient);
    ASSERT_EQ(Start(), 1);
    modem.SilenceCommand("AT+CMGF=1");
    const int first = SMSSendMessage(std::string(300, 'a').c_str(), "13912345678");
    ASSERT_GE(first, 1);
    ASSERT_TRUE(WireShows("AT+CMGF=1\r\n"));
    EXPECT_EQ(SMSCounts(), 2);

    const auto before = Clock::now();
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_LT(Clock::now() - before, TestSupport::kImmediateStop);

    SendReport report{};
    RecvMsg message{};
    EXPECT_EQ(SMSCounts(), -1);
    EXPECT_EQ(SMSReport(&report), -1);
    EXPECT_EQ(SMSGetNextMessage(&message), -1);
    EXPECT_EQ(SMSSendMessage("again", "13912345678"), -1);

    // A new start has empty stores and goes on counting.
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(SMSCounts(), 0);
    EXPECT_EQ(SMSReport(&report), 0);
    EXPECT_EQ(SMSSendMessage("again", "13912345678"), first + 1);
}

TEST_F(ServiceTest, TwoStartsLeaveOneWorker) {
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(Start(), 1);
    modem.SilenceCommand("AT+CMGF=1");
    ASSERT_GE(SMSSendMessage(std::string(420, 'b').c_str(), "13912345678"), 1);
    ASSERT_TRUE(WireShows("AT+CMGF=1\r\n"));
    // A second worker would have taken the second part by now.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(SMSCounts(), 2);
}

TEST_F(ServiceTest, AFullQueueTakesWholeMessagesOrNothing) {
    ASSERT_EQ(Start(), 1);
    modem.SilenceCommand("AT+CMGF=1");
    const int first = SMSSendMessage("x", "13912345678");
    ASSERT_TRUE(WireShows("AT+CMGF=1\r\n"));
    ASSERT_EQ(SMSCounts(), 0);

    EXPECT_EQ(SMSSendMessage(std::string(499 * 140, 'c').c_str(), "13912345678"), first + 1);
    EXPECT_EQ(SMSSendMessage(std::string(141, 'd').c_str(), "13912345678"), -1);
    EXPECT_EQ(SMSCounts(), 499);
    EXPECT_EQ(SMSSendMessage("e", "13912345678"), first + 2);
    EXPECT_EQ(SMSSendMessage("f", "13912345678"), -1);
    EXPECT_EQ(SMSCounts(), 500);
}

// The stores are rings: order and the all-or-nothing rule must hold where they wrap.
TEST(BoundedStore, KeepsOrderAndItsLimitWhereItWraps) {
    GSM::CBoundedStore<int> store;
    int next = 0;
    int expected = 0;
    int taken = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(store.Push(next++));
        }
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(store.Pop(taken));
            ASSERT_EQ(taken, expected++);
        }
    }
    while (store.Push(next)) {
        ++next;
    }
    EXPECT_EQ(store.Size(), GSM::kStoreCapacity);
    ASSERT_TRUE(store.Pop(taken));
    EXPECT_EQ(taken, expected++);
    std::vector<int> two = {-1, -2};
    bool prepared = false;
    EXPECT_FALSE(store.PushAll(std::span(two), [&](auto) { prepared = true; }));
    EXPECT_FALSE(prepared);
    EXPECT_TRUE(store.PushAll(std::span(two).first(1), [&](auto) { prepared = true; }));
    EXPECT_TRUE(prepared);
    while (store.Pop(taken) && taken >= 0) {
        EXPECT_EQ(taken, expected++);
    }
    EXPECT_EQ(taken, -1);
    EXPECT_EQ(expected, next);
    EXPECT_FALSE(store.Pop(taken));
    store.Push(7);
    store.Clear();
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_FALSE(store.Pop(taken));
}

TEST_F(ServiceTest, BadInputIsRefusedWithoutSpendingASequenceNumber) {
    ASSERT_EQ(Start(), 1);
    modem.SilenceCommand("AT+CMGF");
    const int first = SMSSendMessage("x", "13912345678");
    ASSERT_GE(first, 1);
    EXPECT_EQ(SMSSendMessage("", "13912345678"), -1);
    EXPECT_EQ(SMSSendMessage(nullptr, "13912345678"), -1);
    EXPECT_EQ(SMSSendMessage("x", nullptr), -1);
    EXPECT_EQ(SMSSendMessage2("x", "139-1234", nullptr), -1);
    EXPECT_EQ(SMSSendMessage2("x", "1234", "x1"), -1);
    EXPECT_EQ(SMSSendMessage2("x", std::string(28, '1').c_str(), "86"), -1);
    EXPECT_EQ(SMSSendMessage2("x", "+447700900123", nullptr), first + 1);
}

TEST_F(ServiceTest, ReportsComeInOrderWithTheirTagsAndTheNumberAsGiven) {
    ASSERT_EQ(Start(), 1);
    const std::string plain = std::string(140, 'p') + std::string(140, 'q') + "r";
    std::string chinese;
    for (int i = 0; i < 141; ++i) {
        chinese += "中";
    }
    chinese = LocalText(chinese);
    const int s = SMSSendMessage2(plain.c_str(), "2025550100", "1");
    ASSERT_GE(s, 1);
    EXPECT_EQ(SMSSendMessage(chinese.c_str(), "13912345678"), s + 1);

    const auto reports = Reports(6);
    ASSERT_EQ(reports.size(), 6u);
    const std::vector<int> sequences = {s, s, s, s + 1, s + 1, s + 1};
    const std::vector<std::string> numbers = {"2025550100",  "2025550100",  "2025550100",
                                              "13912345678", "13912345678", "13912345678"};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(reports[i].sequence, static_cast<int8_t>(sequences[i])) << i;
        EXPECT_EQ(std::string(reports[i].number), numbers[i]) << i;
    }
    EXPECT_EQ(std::string(reports[2].text), "r");
    EXPECT_EQ(std::string(reports[5].text), LocalText("中"));
    SendReport none{};
    EXPECT_EQ(SMSReport(&none), 0);

    // The worker put the modem into each part's coding and back.
    std::vector<std::string> formats;
    WaitFor([&] {
        formats.clear();
        for (const auto& command : modem.Commands()) {
            if (command.rfind("AT+CMGF=", 0) == 0) {
                formats.push_back(command);
            }
        }
        return formats.size() >= 13;
    });
    ASSERT_GE(formats.size(), 13u);  // one from set-up, two a part
    EXPECT_EQ(std::vector<std::string>(formats.end() - 12, formats.end()),
              (std::vector<std::string>{"AT+CMGF=1", "AT+CMGF=0", "AT+CMGF=1", "AT+CMGF=0",
                                        "AT+CMGF=1", "AT+CMGF=0", "AT+CMGF=0", "AT+CMGF=0",
                                        "AT+CMGF=0", "AT+CMGF=0", "AT+CMGF=0", "AT+CMGF=0"}));
}

// The counter is the process's and earlier tests have drawn on it: counted on to a number
// whose low byte is 129, the next, after a stop, is one whose low byte 130 reads as -126.
TEST_F(ServiceTest, SequenceNumbersCountOnAcrossAStopAndReportTheirLowByteSignExtended) {
    ASSERT_EQ(Start(), 1);
    modem.SilenceCommand("AT+CMGF=1");
    int sequence = SMSSendMessage("plain", "13912345678");
    ASSERT_GE(sequence, 1);
    while (sequence % 256 != 129) {
        ASSERT_EQ(SMSSendMessage("plain", "13912345678"), sequence + 1);
        ++sequence;
    }
    SMSStopSerice();
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(SMSSendMessage(LocalText("über").c_str(), "13912345678"), sequence + 1);
    const auto reports = Reports(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].sequence, -126);
    EXPECT_EQ(std::string(reports[0].text), LocalText("über"));
}

TEST_F(ServiceTest, ARawCommandGetsItsReplyTerminatedBehindTheBytesRead) {
    ASSERT_EQ(Start(), 1);
    modem.ReplyTo("AT+BIG", ModemSim::Script{ModemSim::Burst{std::string(1500, 'y'), 0}});
    char reply[1100];
    std::memset(reply, 0x5A, sizeof reply);
    EXPECT_EQ(SMSCommand("AT+BIG\r\n", reply, -20), 1024);
    EXPECT_EQ(std::string(reply, 1024), std::string(1024, 'y'));
    EXPECT_EQ(reply[1024], '\0');
    EXPECT_EQ(reply[1025], 0x5A);
    EXPECT_TRUE(WireShows("AT+BIG\r\n"));

    EXPECT_EQ(SMSCommand(nullptr, reply, 0), 0);
    EXPECT_EQ(SMSCommand("AT\r\n", nullptr, 0), 0);
}

// A raw command and a repeated start wait for the worker's exchange to end instead of
// mixing their bytes into it.
TEST_F(ServiceTest, OthersWaitTheirTurnOnTheLine) {
    ASSERT_EQ(Start(), 1);
    modem.ReplyTo("AT+CMGF=1", ModemSim::Script{ModemSim::Burst{"\r\nOK\r\n", 300}});
    modem.ReplyTo("AT+CSQ", ModemSim::Script{ModemSim::Burst{"\r\n+CSQ: 20,99\r\n\r\nOK\r\n", 0}});
    ASSERT_GE(SMSSendMessage("plain", "13912345678"), 1);
    ASSERT_TRUE(WireShows("AT+CMGF=1\r\n"));
    const auto asked = ArrivalOf(modem, "AT+CMGF=1\r\n");

    char reply[1025] = {};
    ASSERT_GT(SMSCommand("AT+CSQ\r\n", reply, 0), 0);
    EXPECT_NE(std::string(reply).find("+CSQ: 20,99"), std::string::npos) << reply;
    EXPECT_GE(ArrivalOf(modem, "AT+CSQ\r\n") - asked, 250ms);

    // The same for a start while running: its first command comes after the worker's.
    const auto formatCount = [&] {
        const auto commands = modem.Commands();
        return std::count(commands.begin(), commands.end(), "AT+CMGF=0");
    };
    const auto before = formatCount();
    modem.ReplyTo("AT+CMGF=0", ModemSim::Script{ModemSim::Burst{"\r\nOK\r\n", 300}}, 1);
    ASSERT_GE(SMSSendMessage(LocalText("über").c_str(), "13912345678"), 1);
    ASSERT_TRUE(WaitFor([&] { return formatCount() > before; }));
    modem.Port().ClearReceived();
    const auto formatAsked = Clock::now();
    ASSERT_EQ(Start(), 1);
    EXPECT_GE(modem.Port().ReceivedLog().front().at - formatAsked, 200ms);
}

}  // namespace
