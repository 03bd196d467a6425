// The lines a modem sends on its own, told apart from the replies they interrupt.
#include <gtest/gtest.h>

#include <string>

#include "codec/Unsolicited.h"

namespace {

using GSM::StripUnsolicited;

std::string Strip(std::string_view text, GSM::ReplyTags expected = {}, bool bodies = false) {
    return StripUnsolicited(text, expected, bodies).text;
}

TEST(Unsolicited, StatusLinesAndForeignTagsAreTheModemsOwn) {
    for (const char* line : {"^RSSI:17", "+CREG: 1", "+CGREG: 1,1", "+CMTI: \"SM\",3", "RING",
                             "^BOOT:12345678,0,0,0,72", "^MODE:5,4", "RDY", "SMS Ready",
                             "+CDS: 6,202,\"139\",129", "^SYSSTART", "NO CARRIER"}) {
        EXPECT_TRUE(GSM::IsUnsolicitedLine(line, {"+CMGL:"})) << line;
    }
    // The reply's own lines, final results, numbers, echoes and prompts are not.
    for (const char* line :
         {"+CMGL: 1,0,,25", "OK", "ERROR", "+CMS ERROR: 500", "+CME ERROR: 10", "+8613800100500",
          "AT+CMGL=4", "> ", "0891683108200105F0", "", "RINGING OFF"}) {
        EXPECT_FALSE(GSM::IsUnsolicitedLine(line, {"+CMGL:"})) << line;
    }
    EXPECT_FALSE(GSM::IsUnsolicitedLine("+CDS: 6,202", {"+CMGS:", "+CDS:"}));
}

TEST(Unsolicited, ACommandNamesTheTagOfItsReply) {
    EXPECT_EQ(GSM::TagOfCommand("AT+CSCA?\r\n"), "+CSCA:");
    EXPECT_EQ(GSM::TagOfCommand("AT+CPMS=\"SM\"\r\n"), "+CPMS:");
    EXPECT_EQ(GSM::TagOfCommand("at^hcmgl=4\r"), "^HCMGL:");
    EXPECT_EQ(GSM::TagOfCommand("ATE0\r\n"), "");
    EXPECT_EQ(GSM::TagOfCommand("AT\r\n"), "");
}

TEST(Unsolicited, StrippingLeavesTheReplyAsAQuietModemSendsIt) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"\r\n+CREG: 1\r\n\r\n> ", "\r\n> "},
        {"\r\n> \r\n+CREG: 1\r\n", "\r\n> "},
        {"\r\n> \r\n+CGREG: 1\r\n\r\n+CMTI: \"SM\",3\r\n\r\n^RSSI:17\r\n", "\r\n> "},
        {"AT+CMGS=\"139\"\r\r\n^RSSI:17\r\n\r\n> ", "AT+CMGS=\"139\"\r\r\n> "},
        {"\r\n+CMGS: 7\r\n\r\nRING\r\n\r\nOK\r\n", "\r\n+CMGS: 7\r\n\r\nOK\r\n"},
        {"\r\n^RSSI:17\r\n\r\n+CGREG: 1\r\n", ""},
        // An unframed line goes alone; the reply's line before it keeps its line end.
        {"x\r\n+CREG: 1\r\ny\r\n", "x\r\ny\r\n"},
        // A line not yet ended stays for the next read.
        {"\r\nOK\r\n\r\n+CRE", "\r\nOK\r\n\r\n+CRE"},
        // A PDU-mode report goes with its unit.
        {"\r\n+CDS: 25\r\n0691683108200105F0\r\n\r\nOK\r\n", "\r\nOK\r\n"},
        {"\r\nOK\r\n", "\r\nOK\r\n"},
        // Status lines framed by bare line feeds, before, behind and around the prompt.
        {"\n+CREG: 1\n\r\n> ", "\r\n> "},
        {"\r\n> \n+CREG: 1\n", "\r\n> "},
        {"\r\n+CREG: 1\n\r\n> ", "\r\n> "},
        {"\n+CREG: 1\n\n^RSSI:17\n\r\n> \n+CGREG: 1\n+CREG: 1\r\n", "\r\n> "},
        {"AT+CMGS=\"139\"\r\n+CREG: 1\n\r\n> ", "AT+CMGS=\"139\"\r\r\n> "},
        {"\r\nOK\r\n+CREG: 1\n", "\r\nOK\r\n"},
        {"\r\n+CMGS: 7\r\n\n+CREG: 1\n\r\nOK\r\n", "\r\n+CMGS: 7\r\n\r\nOK\r\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Strip(row.in, {"+CMGS:"}), row.out) << row.in;
    }
}

TEST(Unsolicited, AnEntrysBodyIsKeptOnlyWhereBodiesAreFreeText) {
    const std::string header = "+CMGL: 1,\"REC UNREAD\",\"00310033\",,\"24/03/05,14:07:09+32\"";
    // Between a hex entry's header and body, a status line is not the body.
    EXPECT_EQ(Strip("\r\n" + header + "\r\n\r\n+CREG: 1\r\n00410042\r\n", {"+CMGL:"}),
              "\r\n" + header + "\r\n00410042\r\n");
    // A free-text body that happens to read like one stays the body.
    const std::string read = "\r\n+CMGR: \"REC READ\",\"139\",,\"18/09/28,09:39:55\"\r\n";
    EXPECT_EQ(Strip(read + "+CREG: it is me\r\n\r\nOK\r\n", {"+CMGR:"}, true),
              read + "+CREG: it is me\r\n\r\nOK\r\n");
    // So does one whose lines are parted by bare line feeds.
    EXPECT_EQ(Strip(read + "Alarm\nRING the bell\n+CREG: 1\r\n\r\nOK\r\n", {"+CMGR:"}, true),
              read + "Alarm\nRING the bell\n+CREG: 1\r\n\r\nOK\r\n");
}

TEST(Unsolicited, RestartsAndLostModesAreRecognised) {
    EXPECT_TRUE(StripUnsolicited("\r\nRDY\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n", {}).restarted);
    EXPECT_TRUE(StripUnsolicited("\r\n^SYSSTART\r\n", {}).restarted);
    // A periodic heartbeat is no restart.
    EXPECT_FALSE(StripUnsolicited("\r\n^BOOT:1,0,0,0,72\r\n\r\nOK\r\n", {}).restarted);
    EXPECT_TRUE(GSM::ShowsLostSetup("\r\n+CMS ERROR: 302\r\n"));
    EXPECT_FALSE(GSM::ShowsLostSetup("\r\n+CMS ERROR: 500\r\n"));
}

TEST(Unsolicited, DeliveryReportLinesAreKeptAsTheyLeaveTheReply) {
    const GSM::CleanedReply cleaned = StripUnsolicited(
        "\r\n+CDS: 20\r\n00060004802143113022415204631130224152046300\r\n\r\nOK\r\n"
        "\r\n+CDSI: \"SR\",2\r\n\r\n+CREG: 1\r\n",
        {});
    EXPECT_EQ(cleaned.text, "\r\nOK\r\n");
    ASSERT_EQ(cleaned.reports.size(), 2u);
    EXPECT_EQ(cleaned.reports[0], "+CDS: 20\r\n00060004802143113022415204631130224152046300");
    EXPECT_EQ(cleaned.reports[1], "+CDSI: \"SR\",2");
    // Expected by the command it answers, a "+CDS:" stays in the reply.
    EXPECT_TRUE(StripUnsolicited("\r\n+CDS: 6,202\r\nOK\r\n", {"+CDS:"}).reports.empty());
}

}  // namespace
