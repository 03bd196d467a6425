// Listing, reading and deleting received messages in each dialect.
#include <string>
#include <vector>

#include "ScriptedFixture.h"
#include "engine/ModelTable.h"
#include "pdu/Pdu.h"

namespace {

using Script = TestSupport::LineScript;
using TestSupport::LocalText;
using TestSupport::ScriptedTest;

std::string Unit(const std::string& sender, const std::string& text, uint8_t coding = 0,
                 const std::string& serviceCentre = "8613800100500") {
    ModemSim::Pdu::Deliver deliver;
    deliver.serviceCentre = serviceCentre;
    deliver.sender = sender;
    deliver.dataCoding = coding;
    deliver.stamp = {24, 3, 5, 14, 7, 9, 32};
    deliver.text = text;
    return ModemSim::Pdu::EncodeDeliver(deliver);
}

// One entry of a PDU listing; the length counts the octets behind the service centre.
std::string Entry(int index, int status, const std::string& unit,
                  const std::string& tag = "+CMGL:", bool blankLine = false) {
    const int centre = std::stoi(unit.substr(0, 2), nullptr, 16);
    const auto length = unit.size() / 2 - static_cast<std::size_t>(centre) - 1;
    return tag + " " + std::to_string(index) + "," + std::to_string(status) + ",," +
           std::to_string(length) + "\r\n" + (blankLine ? "\r\n" : "") + unit + "\r\n";
}

std::string Listing(const std::string& entries) {
    return "\r\n" + entries + "\r\nOK\r\n";
}

class RetrievalTest : public ScriptedTest {
protected:
    int List() { return engine.ReadMessages(port, records.data(), indexes.data()); }

    std::vector<GSM::MsgRecord> records = std::vector<GSM::MsgRecord>(GSM::kMaxListed);
    std::vector<int> indexes = std::vector<int>(GSM::kMaxListed);
};

TEST_F(RetrievalTest, AnEmptyStorageListsNothingAndSendsNothingMore) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGL=4\r\n", "\r\nOK\r\n");
    EXPECT_EQ(List(), 0);
    EXPECT_EQ(Wire(), "AT+CMGL=4\r\n");
}

TEST_F(RetrievalTest, APduListingFillsOneRecordPerReceivedMessage) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGL=4\r\n", Listing(Entry(1, 0, Unit("8613912345678", "Hello")) +
                                Entry(2, 1, Unit("10086", "你好", 8))));
    ASSERT_EQ(List(), 2);
    EXPECT_EQ(std::string(records[0].number), "8613912345678");
    EXPECT_EQ(std::string(records[0].text), "Hello");
    EXPECT_EQ(std::string(records[0].timestamp).substr(0, 12), "240305140709");
    EXPECT_EQ(records[0].tag, 1);
    EXPECT_EQ(std::string(records[1].text), LocalText("你好"));
    EXPECT_EQ(std::string(records[1].number), "10086");
    EXPECT_EQ(indexes[0], 1);
    EXPECT_EQ(indexes[1], 2);
    // Deleting is the worker's, once the caller's store has taken the message.
    EXPECT_EQ(Wire(), "AT+CMGL=4\r\n");
}

TEST_F(RetrievalTest, EachModelFindsEntriesByItsOwnTagAndLayout) {
    const std::string mixed =
        Listing(Entry(1, 0, Unit("111", "caret"), "^HCMGL:") + Entry(2, 0, Unit("222", "plus")));
    On("AT+CMGL=4\r\n", mixed);
    GSM::modelCode.store(GSM::kModelCEM630);
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "caret");
    GSM::modelCode.store(GSM::kModelCommon);
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "plus");

    line.ClearRules();
    On("AT+CMGL=4\r\n", Listing(Entry(4, 0, Unit("333", "after the blank line"), "+CMGL:", true)));
    GSM::modelCode.store(GSM::kModelA8500);
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "after the blank line");
}

TEST_F(RetrievalTest, OnlyReceivedDeliveriesAreTakenAndUnreadableOnesAreDeleted) {
    GSM::modelCode.store(GSM::kModelCommon);
    // A compressed coding (0x24) the parser refuses.
    const std::string compressed =
        "00040B913119325476F80024423050417070230"
        "5C8329BFD06";
    // An SMS-SUBMIT kept in the received storage by mistake.
    const std::string submit = "0001000B913119325476F80000A705C8329BFD06";
    On("AT+CMGL=4\r\n", Listing(Entry(3, 0, compressed) + Entry(4, 3, Unit("444", "sent")) +
                                Entry(5, 2, Unit("555", "unsent")) + Entry(6, 1, submit) +
                                Entry(7, 0, Unit("777", "kept"))));
    On("AT+CMGD=3\r", "\r\nOK\r\n");
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "kept");
    EXPECT_EQ(indexes[0], 7);
    EXPECT_EQ(Wire(), "AT+CMGL=4\r\nAT+CMGD=3\r");
}

TEST_F(RetrievalTest, TheWholeStorageIndexIsKeptBesideTheTag) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGL=4\r\n", Listing(Entry(300, 0, Unit("1", "far up"))));
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(indexes[0], 300);
    EXPECT_EQ(records[0].tag, 44);
}

// A line error inside the index would otherwise name another message to the deletion.
TEST_F(RetrievalTest, AnEntryWithAGarbledIndexIsNeitherTakenNorDeleted) {
    GSM::modelCode.store(GSM::kModelCommon);
    std::string garbled = Entry(3, 0, Unit("1", "garbled"));
    garbled.replace(7, 1, "3\x7f");
    std::string unreadable = Entry(4, 0, "00040B913119325476F800244230504170702305C8329BFD06");
    unreadable.replace(7, 1, "?4");
    On("AT+CMGL=4\r\n", Listing(garbled + unreadable + Entry(123456, 0, Unit("2", "too long")) +
                                Entry(9, 0, Unit("3", "clean"))));
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "clean");
    EXPECT_EQ(indexes[0], 9);
    EXPECT_EQ(Wire(), "AT+CMGL=4\r\n");

    line.ClearRules();
    line.ClearWritten();
    GSM::modelCode.store(GSM::kModelMC8332);
    On("AT+CMGL=\"UREAD\"\r\n",
       "\r\n+CMGL: 3x,\"REC UNREAD\",\"139\",\"24/03/05,14:07:09+32\"\r\n\r\nOK\r\n");
    On("AT+CMGL=\"READ\"\r\n", "\r\nOK\r\n");
    EXPECT_EQ(List(), 0);
    EXPECT_EQ(Wire().find("AT+CMGR"), std::string::npos);

    line.ClearRules();
    GSM::modelCode.store(GSM::kModelSIM6320C);
    On("AT+CSCS=\"UCS2\"\r\n", "\r\nOK\r\n");
    On("AT+CMGL=\"ALL\"\r\n",
       "\r\n+CMGL: -1,\"REC UNREAD\",\"0031\",\"24/03/05,14:07:09+32\"\r\n0041\r\n\r\nOK\r\n");
    EXPECT_EQ(List(), 0);
}

TEST_F(RetrievalTest, AFullListingStopsAtTwoHundredAndTheRestIsReadAway) {
    GSM::modelCode.store(GSM::kModelCommon);
    std::string entries;
    for (int i = 1; i <= 250; ++i) {
        entries += Entry(i, 0, Unit("1", "", 0, ""));
    }
    ASSERT_GT(entries.size(), 10240u);
    On("AT+CMGL=4\r\n", Listing(entries));
    On("AT+CSQ\r\n", "\r\nERROR\r\n");
    ASSERT_EQ(List(), 200);
    EXPECT_EQ(indexes[199], 200);
    // What did not fit the buffer is not taken for the next command's reply.
    EXPECT_EQ(engine.SendSimpleCommand(port, "AT+CSQ\r\n"), GSM::Outcome::Failed);
}

TEST_F(RetrievalTest, AnEntryShorterThanItsHeaderAnnouncesIsLeftForLater) {
    GSM::modelCode.store(GSM::kModelCommon);
    const std::string whole = Entry(1, 0, Unit("1", "whole"));
    std::string cut = Entry(2, 0, Unit("2", "cut short"));
    cut.erase(cut.size() - 6, 4);
    On("AT+CMGL=4\r\n", Listing(whole + cut + Entry(3, 0, Unit("3", "after"))));
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "whole");
    EXPECT_EQ(Wire(), "AT+CMGL=4\r\n");
}

TEST_F(RetrievalTest, AListingThatEndsInErrorOrSilenceGivesNothing) {
    GSM::modelCode.store(GSM::kModelCommon);
    On("AT+CMGL=4\r\n", "\r\n+CMS ERROR: 321\r\n", 1);
    EXPECT_EQ(List(), 0);
    // Entries, then nothing more within the window: the silent last read counts.
    On("AT+CMGL=4\r\n", "\r\n" + Entry(1, 0, Unit("1", "no final result")), 1);
    EXPECT_EQ(List(), 0);
}

TEST_F(RetrievalTest, ACollectionEndsWithItsWindowAndKeepsWhatArrived) {
    GSM::modelCode.store(GSM::kModelCommon);
    Script slow{{"\r\n" + Entry(1, 0, Unit("1", "early")), 0}};
    // Something every 200 ms, so that no read of the window is silent; "OK" after it.
    for (int i = 0; i < 13; ++i) {
        slow.push_back({"\r\nRING\r\n", 200});
    }
    slow.push_back({"\r\nOK\r\n", 200});
    On("AT+CMGL=4\r\n", slow);
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "early");
}

TEST_F(RetrievalTest, TheIndexDialectListsByStatusThenReadsEachMessage) {
    GSM::modelCode.store(GSM::kModelMC8332);
    On("AT+CMGL=\"UREAD\"\r\n",
       Script{{"\r\n+CMGL: 3,\"REC UNREAD\",\"13912345678\",\"24/03/05,14:07:09+32\"\r\n", 0},
              {"\r\n+CMGL: 8,\"REC UNREAD\",\"10086\",\"24/03/05,14:07:10+32\"\r\n", 100},
              {"\r\nOK\r\n", 100}});
    On("AT+CMGR=3\r\n",
       "\r\n+CMGR: \"REC UNREAD\",\"13912345678\",\"2024/03/05 "
       "14:07:09\",0,2\r\nHello\r\n\r\nOK\r\n");
    On("AT+CMGR=8\r\n", "\r\n+CMGR: \"REC UNREAD\",\"10086\",\"2024/03/05 14:07:10\",0,4\r\n" +
                            std::string("\x4F\x60\x59\x7D", 4) + "\r\n\r\nOK\r\n");
    ASSERT_EQ(List(), 2);
    EXPECT_EQ(std::string(records[0].text), "Hello");
    EXPECT_EQ(std::string(records[0].number), "13912345678");
    EXPECT_EQ(std::string(records[0].timestamp), "240305140709");
    EXPECT_EQ(std::string(records[1].text), LocalText("你好"));
    EXPECT_EQ(indexes[1], 8);
    EXPECT_EQ(records[1].tag, 8);
}

TEST_F(RetrievalTest, TheIndexDialectTakesReadMessagesWhenNoneIsUnread) {
    GSM::modelCode.store(GSM::kModelMC8618);
    On("AT+CMGL=\"UREAD\"\r\n", "\r\nOK\r\n");
    On("AT+CMGL=\"READ\"\r\n", "\r\n+CMGL: 5,\"REC READ\",\"139\",\"24/03/05,14:07:09+32\"\r\n");
    On("AT+CMGR=5\r\n",
       "\r\n+CMGR: \"REC READ\",\"139\",\"2024/03/05 14:07:09\",0,2\r\nold\r\n\r\nOK\r\n");
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), "old");
    EXPECT_EQ(Wire(), "AT+CMGL=\"UREAD\"\r\nAT+CMGL=\"READ\"\r\nAT+CMGR=5\r\n");
}

TEST_F(RetrievalTest, TheUcs2DialectReadsHexEntriesAndLeavesStoredOnes) {
    GSM::modelCode.store(GSM::kModelSIM6320C);
    On("AT+CSCS=\"UCS2\"\r\n", "\r\nOK\r\n");
    On("AT+CMGL=\"ALL\"\r\n",
       "\r\n+CMGL: 1,\"REC UNREAD\",\"00310033\",\"24/03/05,14:07:09+32\"\r\n4F60597D\r\n"
       "+CMGL: 2,\"STO SENT\",\"0031\",\"24/03/05,14:07:09+32\"\r\n0041\r\n\r\nOK\r\n");
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(std::string(records[0].text), LocalText("你好"));
    EXPECT_EQ(std::string(records[0].number), "13");
    EXPECT_EQ(std::string(records[0].timestamp), "240305140709");
    EXPECT_EQ(indexes[0], 1);

    // In the wrong character set the entries would be misread: no listing at all.
    line.ClearRules();
    On("AT+CSCS", "\r\nERROR\r\n");
    line.ClearWritten();
    EXPECT_EQ(List(), 0);
    EXPECT_EQ(Wire().find("AT+CMGL"), std::string::npos);
}

TEST_F(RetrievalTest, DeletionTakesTheWholeIndexAndGivesUpOnError) {
    On("AT+CMGD=300\r", "\r\nOK\r\n");
    EXPECT_EQ(engine.DeleteMessage(port, 300), 1);
    On("AT+CMGD=4\r", "\r\n+CMS ERROR: 321\r\n");
    line.ClearWritten();
    EXPECT_EQ(engine.DeleteMessage(port, 4), 0);
    EXPECT_EQ(Wire(), "AT+CMGD=4\r");
}

// Asking twice could delete a new message that took the freed index in between.
TEST_F(RetrievalTest, ADeletionWhoseResultComesLateIsNotSentTwice) {
    On("AT+CMGD=3\r", Script{{"\r\n+CMTI: \"SM\",3\r\n", 0}, {"\r\nOK\r\n", 600}});
    EXPECT_EQ(engine.DeleteMessage(port, 3), 1);
    EXPECT_EQ(Wire(), "AT+CMGD=3\r");
    // Silence is a command the modem did not take: that one is sent again.
    line.ClearRules();
    line.ClearWritten();
    On("AT+CMGD=5\r", "", 1);
    On("AT+CMGD=5\r", "\r\nOK\r\n");
    EXPECT_EQ(engine.DeleteMessage(port, 5), 1);
    EXPECT_EQ(Wire(), "AT+CMGD=5\rAT+CMGD=5\r");
}

}  // namespace
