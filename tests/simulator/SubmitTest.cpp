// Submissions as the modem takes them: each method's bytes, its prompt and result, and what
// the modem records, stores and refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SimFixture.h"

using ModemSim::Coding;
using ModemSim::MessageStatus;
using ModemSim::SubmitMethod;
using TestSupport::SimTest;

namespace {

using namespace std::string_literals;

const std::string kPrompt = "\r\n> ";
const std::string kOk = "\r\nOK\r\n";

std::string Result(int reference) {
    return "\r\n+CMGS: " + std::to_string(reference) + "\r\n\r\nOK\r\n";
}

// An SMS-SUBMIT unit to +8613912345678 without a service centre: UCS2 "AB" (19 octets
// after the service-centre part).
const std::string kUcs2Unit = "0011000D91683119325476F80008000400410042";
// The same number, 7-bit "Hello", no validity period (19 octets too).
const std::string kGsmUnit = "0001000D91683119325476F8000005C8329BFD06";

TEST_F(SimTest, TextModeSubmissionIsPromptedAndRecorded) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"13912345678\"\r", kPrompt), kPrompt);
    EXPECT_TRUE(modem.InTextEntry());
    EXPECT_EQ(line.Ask("Hello\x1A"), Result(1));
    EXPECT_FALSE(modem.InTextEntry());

    // A command ended with "\r\n": its line feed is not part of the text.
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r\n", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("Hi [x]\x1A"), Result(2));

    const auto sent = modem.Submitted();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, SubmitMethod::Text);
    EXPECT_EQ(sent[0].destination, "13912345678");
    EXPECT_EQ(sent[0].text, "Hello");
    EXPECT_EQ(sent[0].body, "Hello");
    EXPECT_EQ(sent[0].coding, Coding::Gsm7);
    EXPECT_EQ(sent[0].reference, 1);
    EXPECT_EQ(sent[1].destination, "139");
    EXPECT_EQ(sent[1].body, "Hi [x]");
    EXPECT_TRUE(modem.Storage().empty());
}

TEST_F(SimTest, GsmCharacterSetBodyIsReadAsGsmCodes) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CSCS=\"GSM\"\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("a\x00"s
                       "b\x02\x11\x1A"),
              Result(1));
    ASSERT_EQ(modem.Submitted().size(), 1u);
    EXPECT_EQ(modem.Submitted()[0].text, "a@b$_");
}

TEST_F(SimTest, EscapeLeavesTextEntryWithoutSending) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
    // In text entry a command is only more text: no answer.
    line.Write("AT\r\n");
    EXPECT_EQ(line.ReadUntil("", 300).bytes, "");
    EXPECT_TRUE(modem.InTextEntry());
    line.Write("\x1B");
    EXPECT_EQ(line.ReadUntil("", 300).bytes, "");
    EXPECT_FALSE(modem.InTextEntry());
    EXPECT_TRUE(modem.Submitted().empty());
    // The ESC that opened this line is not part of the command.
    EXPECT_EQ(line.Ask("\x1B"
                       "AT\r\n"),
              kOk);

    modem.UpdateProfile([](ModemSim::ModemProfile& p) { p.cancelReply = "\r\nOK\r\n"; });
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("abc\x1B"), kOk);
    EXPECT_TRUE(modem.Submitted().empty());
}

TEST_F(SimTest, EchoedCommandComesBeforeThePrompt) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("ATE1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"13912345678\"\r", kPrompt),
              "AT+CMGS=\"13912345678\"\r" + kPrompt);
    const std::string result = line.Ask("Hello\x1A");
    EXPECT_EQ(result.substr(0, 6), "Hello\x1A");
    EXPECT_EQ(result.substr(6), Result(1));
    EXPECT_EQ(line.Ask("ATE0\r\n"), "ATE0\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
}

TEST_F(SimTest, Ucs2TextModeTakesHexNumberAndBody) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CSCS=\"UCS2\"\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"003100330039\"\r\n", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("00410042"s + '\0' + '\x1A'), Result(1));
    EXPECT_EQ(line.Ask("AT+CMGS=\"003100330039\"\r\n", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("4F60597D\x1A"), Result(2));

    // Hex that is not whole UTF-16 units is refused; so is a number that is not hex.
    EXPECT_EQ(line.Ask("AT+CMGS=\"003100330039\"\r\n", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("004100\x1A", "\r\n"), "\r\n+CMS ERROR: 305\r\n");
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r\n", "\r\n"), "\r\nERROR\r\n");
    EXPECT_FALSE(modem.InTextEntry());

    const auto sent = modem.Submitted();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, SubmitMethod::Ucs2Text);
    EXPECT_EQ(sent[0].destination, "139");
    EXPECT_EQ(sent[0].text, "AB");
    EXPECT_EQ(sent[0].coding, Coding::Ucs2);
    EXPECT_EQ(sent[0].body, "00410042"s + '\0');
    EXPECT_EQ(sent[1].text, "你好");
}

TEST_F(SimTest, PduModeChecksTheAnnouncedLength) {
    EXPECT_EQ(line.Ask("AT+CMGS=19\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask(kUcs2Unit + "\x1A"), Result(1));
    // The service-centre part is not counted.
    EXPECT_EQ(line.Ask("AT+CMGS=19\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("0891683108100005F0" + kGsmUnit.substr(2) + "\x1A"), Result(2));
    EXPECT_EQ(line.Ask("AT+CMGS=18\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask(kUcs2Unit + "\x1A", "\r\n"), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(line.Ask("AT+CMGS=19\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("0011000D91683119\x1A", "\r\n"), "\r\n+CMS ERROR: 304\r\n");
    // A text-mode address is not allowed in PDU mode, as after a restart.
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", "\r\n"), "\r\n+CMS ERROR: 302\r\n");
    EXPECT_EQ(line.Ask("AT+CMGL=\"ALL\"\r", "\r\n"), "\r\n+CMS ERROR: 302\r\n");

    const auto sent = modem.Submitted();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, SubmitMethod::Pdu);
    EXPECT_EQ(sent[0].destination, "+8613912345678");
    EXPECT_EQ(sent[0].text, "AB");
    EXPECT_EQ(sent[0].coding, Coding::Ucs2);
    EXPECT_EQ(sent[0].body, kUcs2Unit);
    EXPECT_EQ(sent[1].text, "Hello");
    EXPECT_EQ(sent[1].coding, Coding::Gsm7);
}

TEST_F(SimTest, RefusalAndSplitResultSwitches) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    modem.FailSubmission("\r\n+CMS ERROR: 500\r\n", 1);
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("Hello\x1A", "\r\n"), "\r\n+CMS ERROR: 500\r\n");
    EXPECT_TRUE(modem.Submitted().empty());

    modem.SplitSubmitResult(3, 200, 1);
    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
    line.Write("Hello\x1A");
    const auto heard = line.ReadUntil("OK\r\n");
    EXPECT_EQ(heard.bytes, Result(1));
    EXPECT_EQ(heard.bursts.size(), 3u);

    EXPECT_EQ(line.Ask("AT+CMGS=\"139\"\r", kPrompt), kPrompt);
    line.Write("Hello\x1A");
    EXPECT_EQ(line.ReadUntil("OK\r\n").bursts, std::vector<std::string>{Result(2)});
}

TEST_F(SimTest, MessageToOwnNumberComesBackAsReceived) {
    const auto before = ModemSim::TimeNow();
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=\"13800138000\"\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("Hello\x1A"), Result(1));
    EXPECT_EQ(line.Ask("AT+CMGS=\"13912345678\"\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("Other\x1A"), Result(2));
    // In PDU mode the number comes with its country code.
    EXPECT_EQ(line.Ask("AT+CMGF=0\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGS=19\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("0011000D91683108108300F00008000400410042\x1A"), Result(3));

    const auto stored = modem.Storage();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].index, 1);
    EXPECT_EQ(stored[0].status, MessageStatus::ReceivedUnread);
    EXPECT_EQ(stored[0].number, "+8613800138000");
    EXPECT_EQ(stored[0].text, "Hello");
    EXPECT_EQ(stored[0].coding, Coding::Gsm7);
    EXPECT_EQ(stored[0].time.year, before.year);
    EXPECT_EQ(stored[0].time.zoneQuarters, before.zoneQuarters);
    EXPECT_EQ(stored[1].index, 2);
    EXPECT_EQ(stored[1].text, "AB");
    EXPECT_EQ(stored[1].coding, Coding::Ucs2);

    // With indications on, the new message is announced after the result.
    modem.UpdateProfile([](ModemSim::ModemProfile& p) { p.indicateNewMessages = true; });
    EXPECT_EQ(line.Ask("AT+CMGS=19\r", kPrompt), kPrompt);
    EXPECT_EQ(line.Ask("0011000D91683108108300F00008000400410042\x1A", "\",3\r\n"),
              Result(4) + "\r\n+CMTI: \"SM\",3\r\n");
}

// Part k of 3 of set 0x2A to the own number, UCS2: the letter "A" + k - 1.
std::string LongPart(int k) {
    return "0051000D91683108108300F00008A708050003"
           "2A03"
           "0" +
           std::to_string(k) + "004" + std::to_string(k) + "\x1A";
}

std::string StoredTexts(const std::vector<ModemSim::StoredMessage>& stored) {
    std::string texts;
    for (const auto& message : stored) {
        EXPECT_EQ(message.header,
                  (std::vector<uint8_t>{0x00, 0x03, 0x2A, 0x03,
                                        static_cast<uint8_t>(message.text[0] - '@')}));
        texts += message.text;
    }
    return texts;
}

TEST_F(SimTest, ALongTextToTheOwnNumberComesBackAsItsPartsAsShaped) {
    EXPECT_EQ(line.Ask("AT+CMGF=0\r\n"), kOk);
    const auto sendAll = [&] {
        for (int k = 1; k <= 3; ++k) {
            ASSERT_EQ(line.Ask("AT+CMGS=23\r", kPrompt), kPrompt);
            ASSERT_NE(line.Ask(LongPart(k), "OK\r\n").find("+CMGS:"), std::string::npos);
        }
    };
    // Unshaped: each part as it comes, header and all.
    sendAll();
    EXPECT_EQ(StoredTexts(modem.Storage()), "ABC");

    // Part 3 lost, part 1 twice, a listing between each: a reader's passes see them one by one.
    modem.ClearStorage();
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p.loopbackLose = 3;
        p.loopbackRepeat = 1;
        p.loopbackGapListings = 1;
    });
    sendAll();
    EXPECT_EQ(StoredTexts(modem.Storage()), "A");
    line.Ask("AT+CMGL=4\r\n", "OK\r\n");
    line.Ask("AT+CMGL=4\r\n", "OK\r\n");
    line.Ask("AT+CMGL=4\r\n", "OK\r\n");
    EXPECT_EQ(StoredTexts(modem.Storage()), "AAB");

    // Shuffled: all of them, in another order.
    modem.ClearStorage();
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p = ModemSim::ProfileFor("MU609");
        p.loopbackShuffle = true;
    });
    sendAll();
    std::string texts = StoredTexts(modem.Storage());
    EXPECT_NE(texts, "ABC");
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, "ABC");
}

class UnpromptedTest : public SimTest {
protected:
    UnpromptedTest() : SimTest("MC8332D") {}
};

TEST_F(UnpromptedTest, OneWriteWithoutPromptAndAReport) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+ZMSGL=1,2\r\n"), kOk);
    line.Write("AT+CMGS=\"13912345678\"\rHello\x1A");
    const auto heard = line.ReadUntil(",0\r\n");
    ASSERT_EQ(heard.bursts.size(), 2u);
    EXPECT_EQ(heard.bursts[0], Result(1));
    const std::string report = "\r\n+CDS: 6,1,\"13912345678\",129,\"";
    EXPECT_EQ(heard.bursts[1].substr(0, report.size()), report);

    // Raw UTF-16: only a whole unit 00 1A ends the body, not the low byte of U+041A.
    EXPECT_EQ(line.Ask("AT+ZMSGL=6,4\r\n"), kOk);
    line.Write("AT+CMGS=\"139\"\r\x04\x1A\x00\x41\x00\x1A"s);
    EXPECT_EQ(line.ReadUntil(",0\r\n").bursts.at(0), Result(2));

    const auto sent = modem.Submitted();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, SubmitMethod::Unprompted);
    EXPECT_EQ(sent[0].text, "Hello");
    EXPECT_EQ(sent[0].coding, Coding::Gsm7);
    EXPECT_EQ(sent[1].destination, "139");
    EXPECT_EQ(sent[1].text,
              "\u041A"
              "A");
    EXPECT_EQ(sent[1].coding, Coding::Ucs2);
    EXPECT_EQ(sent[1].body, "\x04\x1A\x00\x41"s);
}

}  // namespace
