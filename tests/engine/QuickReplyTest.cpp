// Quick replies on the scripted line, whose clock is its own: a burst that ends with its
// final result or the prompt ends a settle gap later, bytes within the gap extend it, and
// everything else still waits for the full silence.
#include <cstdint>
#include <string>

#include "ScriptedFixture.h"
#include "engine/ModelTable.h"
#include "engine/ReplyReader.h"

namespace {

using TestSupport::LineScript;
using TestSupport::MakePart;
using TestSupport::ScriptedTest;

class QuickReplyTest : public ScriptedTest {
protected:
    void SetUp() override {
        ScriptedTest::SetUp();
        // The line's clock is its own: the real limits cost no time here.
        port.SetTiming(serial::kDefaultTiming);
        GSM::SetQuickReplies(port, true);
    }

    // One read of what the modem sends after `command`; `elapsed` gets the line's time.
    std::string ReadAfter(const std::string& command, int64_t& elapsed,
                          BurstRule rule = BurstRule::Port) {
        port.Write(command.data(), static_cast<int>(command.size()));
        const int64_t start = line.ElapsedMs();
        char buffer[1024] = {};
        const int n = port.Read(buffer, sizeof buffer - 1, rule);
        elapsed = line.ElapsedMs() - start;
        return std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    }

    const int settle = port.Timing().settleGapMs;
    const int silence = port.Timing().burstGapMs;
};

TEST_F(QuickReplyTest, TheAnswersThatEndABurstEarly) {
    for (const char* answer :
         {"\r\nOK\r\n", "\r\nERROR\r\n", "\r\n+CME ERROR: 10\r\n", "\r\n+CMS ERROR: 500\r\n",
          "AT+CSCA?\r\r\n+CSCA: \"+86\",145\r\n\r\nOK\r\n", "\r\n> ", "AT+CMGS=\"139\"\r\r\n> ",
          // ...and with whole lines the modem sent on its own behind them.
          "\r\nOK\r\n\r\n+CDS: "
          "6,9,\"+86139\",145,\"26/12/09,14:21:55+00\",\"26/12/09,14:21:55+00\",0\r\n",
          "\r\n> \r\n^RSSI:17\r\n", "\r\nOK\r\n\r\n+CDS: 6\r\n0006\r\n"}) {
        EXPECT_TRUE(GSM::EndsWithAnswer(answer)) << answer;
    }
    // A result without its line end, a status line, an entry and an echo are not answers.
    for (const char* unfinished :
         {"\r\nOK", "\r\nOK\r", "\r\n^RSSI:17\r\n", "\r\n+CMTI: \"SM\",3\r\n",
          "\r\n+CMGL: 1,0,,24\r\n0791\r\n", "AT\r\n", "\r\n>", "\r\n", "\r\nOKAY\r\n", "",
          // A status line not yet whole, and a report whose unit is still to come.
          "\r\nOK\r\n\r\n+CREG: 1", "\r\nOK\r\n\r\n+CDS: 6\r\n"}) {
        EXPECT_FALSE(GSM::EndsWithAnswer(unfinished)) << unfinished;
    }
}

TEST_F(QuickReplyTest, AFinalResultEndsTheBurstAfterTheSettleGap) {
    On("AT\r\n", "\r\nOK\r\n");
    int64_t elapsed = 0;
    EXPECT_EQ(ReadAfter("AT\r\n", elapsed), "\r\nOK\r\n");
    EXPECT_EQ(elapsed, settle);

    // Paced again: the same answer costs the full silence.
    GSM::SetQuickReplies(port, false);
    EXPECT_EQ(ReadAfter("AT\r\n", elapsed), "\r\nOK\r\n");
    EXPECT_EQ(elapsed, silence);
}

TEST_F(QuickReplyTest, LinesWithinTheSettleGapExtendTheBurst) {
    // "OK", then a status line and a second one, each inside the gap after the one before.
    On("AT+CNMI=2,1,0,2,0\r\n", LineScript{{"\r\nOK\r\n", 0},
                                           {"\r\n+CMTI: \"SM\",3\r\n", settle - 5},
                                           {"\r\nRING\r\n", settle - 5}});
    int64_t elapsed = 0;
    EXPECT_EQ(ReadAfter("AT+CNMI=2,1,0,2,0\r\n", elapsed),
              "\r\nOK\r\n\r\n+CMTI: \"SM\",3\r\n\r\nRING\r\n");
    // The status lines behind the answer leave it complete: only a settle gap after them.
    EXPECT_EQ(elapsed, 2 * (settle - 5) + settle);
    EXPECT_FALSE(line.OutputPending());

    // A line later than the gap comes with the next read, as it would after the silence.
    On("AT\r\n", LineScript{{"\r\nOK\r\n", 0}, {"\r\nRING\r\n", settle + 10}});
    EXPECT_EQ(ReadAfter("AT\r\n", elapsed), "\r\nOK\r\n");
    EXPECT_EQ(ReadAfter("", elapsed), "\r\nRING\r\n");
}

TEST_F(QuickReplyTest, StatusLinesAndEntriesWaitForTheFullSilence) {
    On("AT+CSQ\r\n", LineScript{{"\r\n^RSSI:17\r\n", 0}, {"\r\nOK\r\n", silence - 50}});
    int64_t elapsed = 0;
    EXPECT_EQ(ReadAfter("AT+CSQ\r\n", elapsed), "\r\n^RSSI:17\r\n\r\nOK\r\n");
    EXPECT_EQ(elapsed, silence - 50 + settle);
}

TEST_F(QuickReplyTest, ReadsOfMessageBodiesAndRawCommandsEndBySilenceOnly) {
    // A body that reads "OK", the modem pausing before its final result: one burst, one
    // message, and nothing left for the next command.
    GSM::modelCode.store(GSM::kModelMC8332);
    On("AT+CMGR=1\r\n",
       LineScript{{"\r\n+CMGR: \"REC UNREAD\",\"+8613912345678\",\"2018/09/28 09:39:55\",0,2,0,"
                   "2\r\nOK\r\n",
                   0},
                  {"\r\nOK\r\n", 100}});
    GSM::MsgRecord record{};
    EXPECT_EQ(engine.ReadMessage(port, 1, record), 1);
    EXPECT_STREQ(record.text, "OK");
    EXPECT_FALSE(line.OutputPending());

    On("ATI\r\n", "\r\nOK\r\n");
    int64_t elapsed = 0;
    EXPECT_EQ(ReadAfter("ATI\r\n", elapsed, BurstRule::Quiet), "\r\nOK\r\n");
    EXPECT_EQ(elapsed, silence);
}

TEST_F(QuickReplyTest, OnlyAListingWithNothingButItsResultEndsEarly) {
    for (const char* bare : {"\r\nOK\r\n", "OK\r\n", "\r\n+CMS ERROR: 500\r\n"}) {
        EXPECT_TRUE(GSM::IsBareResult(bare)) << bare;
    }
    for (const char* more : {"\r\n+CMGL: 1,0,,24\r\nOK\r\n", "\r\n^RSSI:17\r\n\r\nOK\r\n",
                             "AT+CMGL=4\r\r\nOK\r\n", "\r\nOK", "\r\n> ", "\r\n"}) {
        EXPECT_FALSE(GSM::IsBareResult(more)) << more;
    }

    const std::string listing = "AT+CMGL=\"ALL\"\r\n";
    int indexes[8] = {};
    On(listing, "\r\nOK\r\n");
    int64_t start = line.ElapsedMs();
    EXPECT_EQ(engine.ListMessageIndexes(port, indexes, "ALL"), 0);
    const int64_t quick = line.ElapsedMs() - start;
    GSM::SetQuickReplies(port, false);
    start = line.ElapsedMs();
    EXPECT_EQ(engine.ListMessageIndexes(port, indexes, "ALL"), 0);
    EXPECT_EQ(line.ElapsedMs() - start - quick, silence - settle);
    GSM::SetQuickReplies(port, true);

    // An entry whose body reads "OK", the modem pausing inside the listing: it still ends
    // by silence, and both entries count.
    line.ClearRules();
    On(listing, LineScript{{"\r\n+CMGL: 1,\"REC UNREAD\",\"+8613912345678\",,\"18/09/28\"\r\n", 0},
                           {"OK\r\n", 100},
                           {"\r\n+CMGL: 2,\"REC UNREAD\",\"+8613912345678\",,\"18/09/28\"\r\nHi\r\n"
                            "\r\nOK\r\n",
                            100}});
    EXPECT_EQ(engine.ListMessageIndexes(port, indexes, "ALL"), 2);
    EXPECT_EQ(indexes[0], 1);
    EXPECT_EQ(indexes[1], 2);
    EXPECT_FALSE(line.OutputPending());
}

TEST_F(QuickReplyTest, ASubmissionTakesTheModemsOwnTime) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGS=\"13912345678\"\r", "\r\n> ");
    On("\x1A", "\r\n+CMGS: 5\r\n\r\nOK\r\n");
    const int64_t start = line.ElapsedMs();
    EXPECT_EQ(engine.SendMessage(port, MakePart("8613912345678", 2, "Hello", 0)), 1);
    EXPECT_EQ(line.ElapsedMs() - start, 2 * settle);
    EXPECT_EQ(Wire(), "AT+CMGS=\"13912345678\"\rHello\x1A");
}

}  // namespace

TEST_F(QuickReplyTest, ALateFinalResultIsNeverTakenForTheNextCommands) {
    // The service centre at once, its "OK" 400 ms later; the next command answered 100 ms
    // behind that.
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CSCA?\r\n",
       LineScript{{"\r\n+CSCA: \"+8613800100500\",145\r\n", 0}, {"\r\nOK\r\n", silence + 100}});
    On("AT+CMGF=1\r\n", LineScript{{"\r\nOK\r\n", 100}});
    char number[GSM::kServiceCentreCapacity] = {};
    bool international = false;
    ASSERT_EQ(engine.GetServiceCentre(port, number, &international), 1);
    EXPECT_STREQ(number, "8613800100500");
    // The late "OK" does not end the next reply: that waits for its own.
    EXPECT_EQ(engine.SetMessageFormat(port, 1), 0);
    EXPECT_FALSE(line.OutputPending());

    // Owed no more: the next answer ends its burst after the settle gap again.
    On("AT\r\n", "\r\nOK\r\n");
    int64_t elapsed = 0;
    EXPECT_EQ(ReadAfter("AT\r\n", elapsed), "\r\nOK\r\n");
    EXPECT_EQ(elapsed, settle);

    // A reply whose late result never comes costs the next reply the full silence, once.
    On("AT+CSQ\r\n", "\r\n+CSQ: 17,99\r\n", 1);
    EXPECT_EQ(ReadAfter("AT+CSQ\r\n", elapsed), "\r\n+CSQ: 17,99\r\n");
    EXPECT_EQ(ReadAfter("AT\r\n", elapsed), "\r\nOK\r\n");
    EXPECT_EQ(elapsed, silence);
    EXPECT_EQ(ReadAfter("AT\r\n", elapsed), "\r\nOK\r\n");
    EXPECT_EQ(elapsed, settle);
}
