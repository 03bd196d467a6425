// Submission of one part by each method, as the bytes on the line show it.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ScriptedFixture.h"
#include "engine/ModelTable.h"
#include "pdu/Pdu.h"
#include "service/WriteGate.h"

namespace {

using TestSupport::LocalText;
using TestSupport::MakePart;
using TestSupport::ScriptedTest;

constexpr char kAccepted[] = "\r\n+CMGS: 5\r\n\r\nOK\r\n";

class SubmitTest : public ScriptedTest {};

TEST_F(SubmitTest, TextModeWritesTheMappedBodyAfterThePrompt) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"13912345678\"\r", "\r\n> ");
    On("\x1A", kAccepted);
    EXPECT_EQ(engine.SendMessage(port, MakePart("8613912345678", 2, "Hello [x]", 0)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"13912345678\"\rHello .x.\x1A");

    // Without a prefix the first two characters still go; a "+" number goes whole.
    On("AT+CMGS=\"912345678\"\r", "\r\n> ");
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("13912345678", 2, "Hi", 0)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"912345678\"\rHi\x1A");
    On("AT+CMGS=\"+447700900123\"\r", "\r\n> ");
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("+447700900123", 0, "Hi", 0)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"+447700900123\"\rHi\x1A");
}

// A part that asks for a delivery report: text mode asks by the submit parameters, set once
// for a run of such parts whatever their outcome, and the default ones set again only before a
// part that asks none; PDU mode by TP-SRR in the unit itself.
TEST_F(SubmitTest, APartAskingForAReportSaysSoInEitherMode) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CSMP=", "\r\nOK\r\n");
    On("AT+CMGS=\"139\"\r", "\r\n> ");
    On("\x1A", "\r\n+CMS ERROR: 500\r\n", 1);
    auto plain = MakePart("86139", 2, "Hi", 0);
    plain.statusReport = true;
    EXPECT_EQ(engine.SendMessage(port, plain), 0);
    EXPECT_EQ(Wire(), "AT+CSMP=49,167,0,0\r\nAT+CMGS=\"139\"\rHi\x1A");
    On("\x1A", kAccepted);
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, plain), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\rHi\x1A");
    plain.statusReport = false;
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, plain), 1);
    EXPECT_EQ(Wire(), "AT+CSMP=17,167,0,0\r\nAT+CMGS=\"139\"\rHi\x1A");
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, plain), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\rHi\x1A") << "the ten functions' bytes, unchanged";

    On("\r", "\r\n> ", 1);
    On("\x1A", kAccepted);
    line.ClearWritten();
    auto ucs2 = MakePart("8613912345678", 2, LocalText("你好"), 8);
    ucs2.statusReport = true;
    EXPECT_EQ(engine.SendMessage(port, ucs2), 1);
    const std::string wire = Wire();
    const std::size_t commandEnd = wire.find('\r');
    ASSERT_NE(commandEnd, std::string::npos);
    const auto unit =
        ModemSim::Pdu::DecodeSubmit(wire.substr(commandEnd + 1, wire.size() - commandEnd - 2));
    ASSERT_TRUE(unit.has_value()) << wire;
    EXPECT_EQ(unit->firstOctet & 0x20, 0x20);
}

TEST_F(SubmitTest, AnEchoInFrontOfThePromptIsAccepted) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"139\"\r", "AT+CMGS=\"139\"\r\r\n> ");
    On("\x1A", kAccepted);
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hello", 0)), 1);
}

TEST_F(SubmitTest, NoPromptMeansNoBodyAndTheModemLeavesTextEntry) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"139\"\r", "\r\n> x");
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hello", 0)), 0);
    EXPECT_EQ(LastError(), "CMGS FAILED");
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\r\x1B");
}

TEST_F(SubmitTest, AnErrorReplyBecomesTheLastErrorByteForByte) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"139\"\r", "\r\n> ");
    On("\x1A", "\r\n+CMS ERROR: 500\r\n");
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hello", 0)), 0);
    EXPECT_EQ(LastError(), "\r\n+CMS ERROR: 500\r\n");
}

TEST_F(SubmitTest, AResultInSeveralBurstsIsCollected) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"139\"\r", "\r\n> ");
    On("\x1A",
       TestSupport::LineScript{{"\r\n+CMG", 0}, {"S: 7\r\n", 100}, {"\r\nO", 100}, {"K\r\n", 100}});
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hello", 0)), 1);
}

TEST_F(SubmitTest, PduModeAnnouncesTheOctetsBehindTheServiceCentre) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("\r", "\r\n> ", 1);
    On("\x1A", kAccepted);
    EXPECT_EQ(engine.SendMessage(port, MakePart("8613912345678", 2, LocalText("你好"), 8)), 1);

    const std::string wire = Wire();
    const std::size_t commandEnd = wire.find('\r');
    ASSERT_NE(commandEnd, std::string::npos);
    const std::string hex = wire.substr(commandEnd + 1, wire.size() - commandEnd - 2);
    ASSERT_EQ(wire.back(), '\x1A');
    const auto unit = ModemSim::Pdu::DecodeSubmit(hex);
    ASSERT_TRUE(unit.has_value()) << hex;
    EXPECT_EQ(wire.substr(0, commandEnd), "AT+CMGS=" + std::to_string(unit->tpduOctets));
    EXPECT_EQ(unit->number, "8613912345678");
    EXPECT_EQ(unit->text, "你好");
    EXPECT_EQ(unit->serviceCentre, "8613800100500");
}

TEST_F(SubmitTest, UnpromptedModelsWriteEverythingAtOnceAndWaitForTheReport) {
    GSM::modelCode.store(GSM::kModelMC8332);
    On("\x1A", "\r\nOK\r\n\r\n+CDS: 0\r\n");
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hi [x]", 0)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\rHi [x]\x1A");

    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "AB", 8)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\r" + std::string("\0A\0B\0\x1A", 6));

    // "OK" alone is not the report.
    line.ClearRules();
    On("\x1A", "\r\nOK\r\n");
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hi", 0)), 0);
    EXPECT_EQ(LastError(), "CMGS FAILED");

    // A character that would end or cancel the raw body is never written.
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "a\x1A", 8)), 0);
    EXPECT_EQ(LastError(), "CMGS FAILED");
    EXPECT_EQ(Wire(), "");
}

TEST_F(SubmitTest, Ucs2TextModeSendsNumberAndTextAsHex) {
    GSM::modelCode.store(GSM::kModelSIM7600CEUcs2);
    On("AT+CMGS=\"003100330039\"\r\n", "\r\n> ");
    On("\x1A", "\r\nOK\r\n");
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "AB", 8)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"003100330039\"\r\n00410042" + std::string("\0\x1A", 2));

    On("AT+CMGS=\"139\"\r\n", "\r\n> ");
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hi", 0)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\r\nHi\x1A");
}

TEST_F(SubmitTest, AClosedPortFailsAtOnce) {
    GSM::modelCode.store(GSM::kModelCommon);
    port.Close();
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hi", 0)), 0);
    EXPECT_EQ(LastError(), "CMGS FAILED");
}

TEST_F(SubmitTest, AGatedBodyGoesOnlyWhenLetAndOtherwiseTheEntryIsCancelled) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"139\"\r", "\r\n> ");
    On("\x1A", kAccepted);
    std::string seenBeforeBody;
    bool go = false;
    engine.bodyGate = [&] {
        seenBeforeBody = Wire();
        return go;
    };
    // Asked after the prompt, before any byte of the body.
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hello", 0)), 0);
    EXPECT_EQ(seenBeforeBody, "AT+CMGS=\"139\"\r");
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\r\x1B");
    EXPECT_EQ(LastError().rfind("NOT WRITTEN", 0), 0u) << LastError();

    go = true;
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hello", 0)), 1);
    EXPECT_EQ(Wire(), "AT+CMGS=\"139\"\rHello\x1A");

    // An unprompted model writes command and body at once: held back, nothing goes.
    GSM::modelCode.store(GSM::kModelMC8332);
    go = false;
    line.ClearWritten();
    EXPECT_EQ(engine.SendMessage(port, MakePart("86139", 2, "Hi", 0)), 0);
    EXPECT_EQ(Wire(), "");
    EXPECT_EQ(LastError().rfind("NOT WRITTEN", 0), 0u) << LastError();
}

TEST(WriteGateTest, AnAnswerOrAStopEndsTheWaitAndOnlyTheWaitingPartIsAnswered) {
    GSM::CWriteGate gate;
    // Without anyone to ask, nothing is written.
    EXPECT_FALSE(gate.Ask(1, 1, std::chrono::hours(1)));

    std::mutex lock;
    std::vector<std::pair<int32_t, int>> noticed;
    gate.SetNotice([&](int32_t tag, int part) {
        std::lock_guard hold(lock);
        noticed.emplace_back(tag, part);
    });
    const auto answerWhenAsked = [&](int32_t tag, int part, bool go) {
        return std::thread([&gate, &lock, &noticed, tag, part, go] {
            for (;;) {
                {
                    std::lock_guard hold(lock);
                    if (!noticed.empty() && noticed.back() == std::make_pair(tag, part)) {
                        break;
                    }
                }
                std::this_thread::yield();
            }
            EXPECT_FALSE(gate.Answer(tag, part + 1, true));  // another part waits not
            EXPECT_TRUE(gate.Answer(tag, part, go));
            EXPECT_FALSE(gate.Answer(tag, part, go));  // answered once
        });
    };
    std::thread answer = answerWhenAsked(5, 2, true);
    EXPECT_TRUE(gate.Ask(5, 2, std::chrono::hours(1)));
    answer.join();
    answer = answerWhenAsked(5, 3, false);
    EXPECT_FALSE(gate.Ask(5, 3, std::chrono::hours(1)));
    answer.join();

    // A stop releases the part under way at once, and every later one.
    std::thread stop([&] {
        for (;;) {
            {
                std::lock_guard hold(lock);
                if (noticed.size() == 3) {
                    break;
                }
            }
            std::this_thread::yield();
        }
        EXPECT_TRUE(gate.Close()) << "a part was waiting";
    });
    EXPECT_FALSE(gate.Ask(6, 1, std::chrono::hours(1)));
    stop.join();
    EXPECT_FALSE(gate.Ask(6, 2, std::chrono::hours(1)));
    EXPECT_EQ(noticed.size(), 3u);
}

}  // namespace
