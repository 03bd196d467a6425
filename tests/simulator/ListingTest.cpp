// The storage and its listings in each dialect, byte for byte, with reads and deletions.
#include <gtest/gtest.h>

#include <string>

#include "SimFixture.h"

using ModemSim::CModem;
using ModemSim::Coding;
using ModemSim::MessageStatus;
using ModemSim::ProfileFor;
using TestSupport::ModemLine;
using TestSupport::SimTest;

namespace {

using namespace std::string_literals;

const std::string kOk = "\r\nOK\r\n";

// "Hello" from +8613912345678 at 18/09/28 09:39:55+32 through +8613800100500.
const std::string kHelloUnit =
    "0891683108100005F0040D91683119325476F8000081908290935523"
    "05C8329BFD06";
// UCS2 "AB" from 10086, same time and centre.
const std::string kAbUnit = "0891683108100005F00405810180F60008819082909355230400410042";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// A second modem of another model on its own port in the same folder.
struct OtherModem {
    OtherModem(const std::string& folder, const std::string& model, int port = 9)
        : modem(folder, port, ProfileFor(model)), line(modem.Port().LinkPath()) {}
    CModem modem;
    ModemLine line;
};

TEST_F(SimTest, PduListingByteForByte) {
    EXPECT_EQ(line.Ask("AT+CMGL=4\r\n"), kOk);
    EXPECT_EQ(modem.StoreMessage(Received("+8613912345678", "Hello")), 1);
    EXPECT_EQ(modem.StoreMessage(Received("10086", "AB", Coding::Ucs2)), 2);
    EXPECT_EQ(line.Ask("AT+CMGL=4\r\n"), "\r\n+CMGL: 1,0,,25\r\n" + kHelloUnit +
                                             "\r\n+CMGL: 2,0,,20\r\n" + kAbUnit + "\r\n" + kOk);
    // Listed messages are read now; "AT+CMGL=0" lists only unread ones.
    EXPECT_EQ(line.Ask("AT+CMGL=0\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGL=1\r\n"), "\r\n+CMGL: 1,1,,25\r\n" + kHelloUnit +
                                             "\r\n+CMGL: 2,1,,20\r\n" + kAbUnit + "\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CMGR=2\r\n"), "\r\n+CMGR: 1,,20\r\n" + kAbUnit + "\r\n" + kOk);
    EXPECT_EQ(line.Ask("AT+CMGL=5\r\n", "\r\n"), "\r\nERROR\r\n");
}

TEST_F(SimTest, ModelDialectsOfThePduListing) {
    OtherModem blank(dir.Path(), "A8500");
    blank.modem.StoreMessage(Received("+8613912345678", "Hello"));
    EXPECT_EQ(blank.line.Ask("AT+CMGL=4\r\n"),
              "\r\n+CMGL: 1,0,,25\r\n\r\n" + kHelloUnit + "\r\n" + kOk);

    OtherModem tagged(dir.Path(), "CEM630", 10);
    tagged.modem.StoreMessage(Received("+8613912345678", "Hello"));
    EXPECT_EQ(tagged.line.Ask("AT+CMGL=4\r\n"),
              "\r\n^HCMGL: 1,0,,25\r\n" + kHelloUnit + "\r\n" + kOk);
}

TEST_F(SimTest, StoredOutgoingMessagesAreListedAsSubmitUnits) {
    auto sent = Received("+8613912345678", "Hello");
    sent.status = MessageStatus::StoredSent;
    EXPECT_EQ(modem.StoreMessage(sent), 1);
    EXPECT_EQ(line.Ask("AT+CMGL=4\r\n"),
              "\r\n+CMGL: 1,3,,19\r\n0891683108100005F001000D91683119325476F8000005C8329BFD06"
              "\r\n" +
                  kOk);
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGL=\"ALL\"\r\n"),
              "\r\n+CMGL: 1,\"STO SENT\",\"+8613912345678\",\"18/09/28,09:39:55+32\"\r\n"
              "Hello\r\n" +
                  kOk);
    EXPECT_EQ(modem.Storage().at(0).status, MessageStatus::StoredSent);
}

class Ucs2ListingTest : public SimTest {
protected:
    Ucs2ListingTest() : SimTest("SIM6320C") {}
};

TEST_F(Ucs2ListingTest, TextModeListingInUcs2) {
    modem.StoreMessage(Received("+8613912345678", "AB", Coding::Ucs2));
    auto early = Received("10086", "Hi");
    early.time = {17, 1, 2, 3, 4, 5, -20};
    modem.StoreMessage(early);
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CSCS=\"UCS2\"\r\n"), kOk);
    EXPECT_EQ(
        line.Ask("AT+CMGL=\"ALL\"\r\n"),
        "\r\n+CMGL: 1,\"REC UNREAD\",\"002B0038003600310033003900310032003300340035003600370038"
        "\",\"18/09/28,09:39:55+32\"\r\n00410042\r\n"
        "+CMGL: 2,\"REC UNREAD\",\"00310030003000380036\",\"17/01/02,03:04:05-20\"\r\n"
        "00480069\r\n" +
            kOk);
    EXPECT_EQ(line.Ask("AT+CMGL=\"REC UNREAD\"\r\n"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGR=2\r\n"),
              "\r\n+CMGR: \"REC READ\",\"00310030003000380036\",\"17/01/02,03:04:05-20\"\r\n"
              "00480069\r\n" +
                  kOk);
}

TEST_F(SimTest, SameModelListsInPduOrUcs2ByItsMode) {
    OtherModem sim(dir.Path(), "SIM7600CE");
    sim.modem.StoreMessage(Received("10086", "AB", Coding::Ucs2));
    EXPECT_EQ(sim.line.Ask("AT+CMGL=4\r\n"), "\r\n+CMGL: 1,0,,20\r\n" + kAbUnit + "\r\n" + kOk);
    EXPECT_EQ(sim.line.Ask("AT+CMGF=1\r\n"), kOk);
    EXPECT_EQ(sim.line.Ask("AT+CSCS=\"UCS2\"\r\n"), kOk);
    EXPECT_EQ(sim.line.Ask("AT+CMGL=\"ALL\"\r\n"),
              "\r\n+CMGL: 1,\"REC READ\",\"00310030003000380036\",\"18/09/28,09:39:55+32\"\r\n"
              "00410042\r\n" +
                  kOk);
}

class IndexListingTest : public SimTest {
protected:
    IndexListingTest() : SimTest("MC8618") {}
};

TEST_F(IndexListingTest, OneEntryPerBurstThenReadByIndex) {
    modem.StoreMessage(Received("13912345678", "Hello"));
    modem.StoreMessage(Received("10086", "AB", Coding::Ucs2));
    auto read = Received("10010", "Old");
    read.status = MessageStatus::ReceivedRead;
    modem.StoreMessage(read);
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);

    line.Write("AT+CMGL=\"UREAD\"\r\n");
    const auto heard = line.ReadUntil("OK\r\n");
    const std::vector<std::string> bursts = {
        "\r\n+CMGL: 1,\"REC UNREAD\",\"13912345678\",\"2018/09/28 09:39:55\",0,2,0,5\r\nHello\r\n",
        "+CMGL: 2,\"REC UNREAD\",\"10086\",\"2018/09/28 09:39:55\",0,4,0,4\r\n\0A\0B\r\n"s, kOk};
    EXPECT_EQ(heard.bursts, bursts);
    EXPECT_EQ(line.Ask("AT+CMGL=\"UREAD\"\r\n"), kOk);
    EXPECT_EQ(Count(line.Ask("AT+CMGL=\"READ\"\r\n"), "+CMGL: "), 3u);

    // Both codings of the read reply; reading marks a message read.
    modem.StoreMessage(Received("13912345678", "New", Coding::Gsm7, 7));
    EXPECT_EQ(line.Ask("AT+CMGR=7\r\n"),
              "\r\n+CMGR: \"REC UNREAD\",\"13912345678\",\"2018/09/28 09:39:55\",0,2,0,3\r\n"
              "New\r\n" +
                  kOk);
    EXPECT_EQ(
        line.Ask("AT+CMGR=2\r\n"),
        "\r\n+CMGR: \"REC READ\",\"10086\",\"2018/09/28 09:39:55\",0,4,0,4\r\n\0A\0B\r\n"s + kOk);
    EXPECT_EQ(modem.Storage().back().status, MessageStatus::ReceivedRead);
    EXPECT_EQ(line.Ask("AT+CMGR=5\r\n", "\r\n"), "\r\n+CMS ERROR: 321\r\n");
}

TEST_F(SimTest, IndexesFromAnyStartWithGapsAndAboveByte) {
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p.firstIndex = 0;
        p.capacity = 4;
    });
    EXPECT_EQ(modem.StoreMessage(Received("10086", "a", Coding::Gsm7, 300)), 300);
    EXPECT_EQ(modem.StoreMessage(Received("10086", "b", Coding::Gsm7, 7)), 7);
    EXPECT_EQ(modem.StoreMessage(Received("10086", "c")), 0);
    EXPECT_EQ(modem.StoreMessage(Received("10086", "d", Coding::Gsm7, 7)), -1);
    EXPECT_EQ(modem.StoreMessage(Received("10086", std::string(161, 'x'))), -1);
    EXPECT_EQ(modem.StoreMessage(Received("10086", std::string(160, 'x'))), 1);
    EXPECT_EQ(modem.StoreMessage(Received("10086", "full")), -1);

    const std::string listing = line.Ask("AT+CMGL=4\r\n");
    const auto first = listing.find("+CMGL: 0,");
    const auto second = listing.find("+CMGL: 1,");
    const auto third = listing.find("+CMGL: 7,");
    const auto fourth = listing.find("+CMGL: 300,");
    EXPECT_TRUE(first < second && second < third && third < fourth && fourth != listing.npos);
    EXPECT_EQ(line.Ask("AT+CPMS=\"SM\"\r\n"), "\r\n+CPMS: 4,4,4,4,4,4\r\n" + kOk);

    EXPECT_EQ(line.Ask("AT+CMGD=300\r"), kOk);
    EXPECT_EQ(line.Ask("AT+CMGD=300\r", "\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(line.Ask("AT+CMGD=44\r", "\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(line.Ask("AT+CMGD=-56\r", "\r\n"), "\r\nERROR\r\n");
    modem.FailCommand("AT+CMGD=7", "\r\nERROR\r\n", 1);
    EXPECT_EQ(line.Ask("AT+CMGD=7\r", "\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(modem.Storage().size(), 3u);
    EXPECT_EQ(line.Ask("AT+CMGD=7\r"), kOk);
    // Flag 4 deletes everything.
    EXPECT_EQ(line.Ask("AT+CMGD=0,4\r"), kOk);
    EXPECT_TRUE(modem.Storage().empty());
}

TEST_F(SimTest, ManyMessagesInOneListing) {
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(modem.StoreMessage(Received("+8613912345678", "Message " + std::to_string(i))),
                  i + 1);
    }
    const std::string listing = line.Ask("AT+CMGL=4\r\n");
    EXPECT_EQ(Count(listing, "+CMGL: "), 250u);
    EXPECT_NE(listing.find("\r\n+CMGL: 250,0,,"), std::string::npos);
    EXPECT_EQ(listing.substr(listing.size() - 8), "\r\n" + kOk);
    for (const auto& message : modem.Storage()) {
        EXPECT_EQ(message.status, MessageStatus::ReceivedRead);
    }
}

TEST_F(SimTest, ListingInBurstsOrLate) {
    for (int i = 0; i < 4; ++i) {
        modem.StoreMessage(Received("10086", "Hi"));
    }
    // Pauses well above the 150 ms that part two bursts, so that a late reader cannot merge them.
    modem.SplitListing("AT+CMGL", 2, 600, 1);
    line.Write("AT+CMGL=4\r\n");
    const auto heard = line.ReadUntil("OK\r\n");
    ASSERT_EQ(heard.bursts.size(), 3u);
    EXPECT_EQ(Count(heard.bursts[0], "+CMGL:"), 2u);
    EXPECT_EQ(Count(heard.bursts[1], "+CMGL:"), 2u);
    EXPECT_EQ(heard.bursts[2], kOk);

    modem.DelayReply("AT+CMGL", 800, 1);
    line.Write("AT+CMGL=4\r\n");
    EXPECT_EQ(line.ReadUntil("", 400).bytes, "");
    EXPECT_EQ(Count(line.ReadUntil("OK\r\n").bytes, "+CMGL:"), 4u);
}

TEST_F(SimTest, UnsolicitedLines) {
    modem.SendUnsolicited("RING");
    EXPECT_EQ(line.ReadUntil("RING\r\n").bytes, "\r\nRING\r\n");
    modem.UnsolicitedAround("AT+CMGL", "+CMTI: \"SM\",3", true);
    modem.UnsolicitedAround("AT+CMGL", "RING", false);
    EXPECT_EQ(line.Ask("AT+CMGL=4\r\n", "RING\r\n"),
              "\r\n+CMTI: \"SM\",3\r\n" + kOk + "\r\nRING\r\n");
    EXPECT_EQ(line.Ask("AT+CMGL=4\r\n"), kOk);
    modem.UnsolicitedInside("AT+CGMM", "^BOOT:1,0");
    EXPECT_EQ(line.Ask("AT+CGMM\r\n"), "\r\nMU609\r\n\r\n^BOOT:1,0\r\n" + kOk);

    EXPECT_EQ(modem.StoreMessage(Received("10086", "Hi")), 1);
    EXPECT_EQ(line.ReadUntil("", 200).bytes, "");
    modem.UpdateProfile([](ModemSim::ModemProfile& p) { p.indicateNewMessages = true; });
    EXPECT_EQ(modem.StoreMessage(Received("10086", "Hi")), 2);
    EXPECT_EQ(line.ReadUntil(",2\r\n").bytes, "\r\n+CMTI: \"SM\",2\r\n");
}

// Awkward cuts: inside "OK" and between the prompt's bytes.
TEST_F(SimTest, RepliesCutInHalf) {
    EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), kOk);
    modem.CutReply("AT", 600, 2);
    line.Write("AT\r\n");
    auto heard = line.ReadUntil("OK\r\n");
    EXPECT_EQ(heard.bursts, (std::vector<std::string>{"\r\nO", "K\r\n"}));
    line.Write("AT+CMGS=\"139\"\r");
    heard = line.ReadUntil("> ");
    EXPECT_EQ(heard.bursts, (std::vector<std::string>{"\r\n", "> "}));
    line.Write("\x1B");
    EXPECT_EQ(line.Ask("AT\r\n"), kOk);
}

}  // namespace
