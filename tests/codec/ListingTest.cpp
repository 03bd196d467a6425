// The two text-mode listing dialects and the splitter they share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordText.h"
#include "codec/Listing.h"

namespace {

using CodecTest::Cleared;
using CodecTest::Field;
using Pieces = std::vector<std::string>;

TEST(Split, KeepsEmptyPieces) {
    EXPECT_EQ(GSM::Split("a,,b", ","), (Pieces{"a", "", "b"}));
    EXPECT_EQ(GSM::Split("a,", ","), (Pieces{"a", ""}));
    EXPECT_EQ(GSM::Split("", ","), (Pieces{""}));
    EXPECT_EQ(GSM::Split("h\r\nb\r\n", "\r\n"), (Pieces{"h", "b", ""}));
    EXPECT_EQ(GSM::Split("a\rb", "\r\n"), (Pieces{"a\rb"}));
}

// What follows "+CMGR:" in a read reply.
std::string ReadReply(std::string_view coding, std::string_view body) {
    return std::string(" \"REC UNREAD\",\"13912345678\",\"2018/09/28 09:39:55\",0,") +
           std::string(coding) + ",0,0,\"+8613800100500\",145,5\r\n" + std::string(body);
}

TEST(ParseReadReply, PlainBodyWithNumberAndStamp) {
    auto record = Cleared();
    record.tag = 7;
    ASSERT_TRUE(GSM::ParseReadReply(ReadReply("2", "Hello\r\n\r\nOK\r\n"), record));
    EXPECT_EQ(Field(record.number), "13912345678");
    EXPECT_EQ(Field(record.timestamp), "180928093955");
    EXPECT_EQ(Field(record.text), "Hello");
    EXPECT_EQ(record.tag, 7);
    EXPECT_EQ(Field(record.serviceCentre), "");
    EXPECT_EQ(record.coding, 0);
}

TEST(ParseReadReply, RawUcs2BodyEndsAtItsLineEnd) {
    auto record = Cleared();
    const std::string body("\x4F\x60\x00\x41\x59\x7D\r\n\r\nOK\r\n", 12);
    ASSERT_TRUE(GSM::ParseReadReply(ReadReply("4", body), record));
    EXPECT_EQ(Field(record.text), "你A好");
    // A body running to the end of what was read is converted whole.
    ASSERT_TRUE(GSM::ParseReadReply(ReadReply("4", std::string("\x00\x41\x00\x42", 4)), record));
    EXPECT_EQ(Field(record.text), "AB");
}

// The 3GPP time stamp's own comma neither loses the time nor shifts the coding field.
TEST(ParseReadReply, ThreeGppStampKeepsTimeAndCoding) {
    auto record = Cleared();
    const std::string body("\x00\x48\x00\x69\r\n\r\nOK\r\n", 10);
    ASSERT_TRUE(GSM::ParseReadReply(
        " \"REC UNREAD\",\"8585551212\",\"98/10/01,18:22:11+00\",1,4,0,\"8585550000\",4\r\n" + body,
        record));
    EXPECT_EQ(Field(record.number), "8585551212");
    EXPECT_EQ(Field(record.timestamp), "981001182211");
    EXPECT_EQ(Field(record.text), "Hi");
}

TEST(ParseReadReply, OtherCodingsArePlainText) {
    auto record = Cleared();
    ASSERT_TRUE(GSM::ParseReadReply(ReadReply("6", "Hi there\r\nOK\r\n"), record));
    EXPECT_EQ(Field(record.text), "Hi there");
}

TEST(ParseReadReply, FourFieldHeaderGivesOnlyThePlainBody) {
    auto record = Cleared();
    ASSERT_TRUE(GSM::ParseReadReply(" 1,\"139\",\"2018/09/28 09:39:55\",0\r\nBody\r\n", record));
    EXPECT_EQ(Field(record.number), "");
    EXPECT_EQ(Field(record.timestamp), "");
    EXPECT_EQ(Field(record.text), "Body");
}

TEST(ParseReadReply, RefusesWhatHasNoLineEnds) {
    auto record = Cleared();
    record.text[0] = 'x';
    EXPECT_FALSE(GSM::ParseReadReply(" \"REC READ\",\"139\"", record));
    EXPECT_EQ(record.text[0], 'x');  // untouched
    EXPECT_FALSE(GSM::ParseReadReply(ReadReply("2", "no end"), record));
}

TEST(ParseReadReply, ShortAndOversizedFieldsStayInside) {
    auto record = Cleared();
    // Fields too short for their quotes.
    ASSERT_TRUE(GSM::ParseReadReply(" x,\",\",1,2\r\nB\r\n", record));
    EXPECT_EQ(Field(record.number), "");
    EXPECT_EQ(Field(record.timestamp), "");
    EXPECT_EQ(Field(record.text), "B");

    const std::string longNumber(40, '9');
    const std::string header = " 1,\"" + longNumber + "\",\"20180/09/28 109:39:55\",0,2\r\n";
    ASSERT_TRUE(GSM::ParseReadReply(header + std::string(600, 'b') + "\r\n", record));
    EXPECT_EQ(Field(record.number), longNumber.substr(0, 29));
    EXPECT_EQ(Field(record.timestamp), "990928993955");  // pieces clamped to two digits
    EXPECT_EQ(Field(record.text), std::string(511, 'b'));
}

TEST(ParseUcs2ListEntry, FillsNumberStampTextAndIndex) {
    auto record = Cleared();
    ASSERT_TRUE(GSM::ParseUcs2ListEntry(
        "+CMGL: 3,\"REC UNREAD\",\"002B0031003300390031\",\"18/09/28,09:39:55+32\"\r\n"
        "00410042\r\n",
        record));
    EXPECT_EQ(record.tag, 3);
    EXPECT_EQ(Field(record.number), "+1391");
    EXPECT_EQ(Field(record.timestamp), "180928093955");
    EXPECT_EQ(Field(record.text), "AB");
}

// Modules that send the standard name field keep their time stamp too: it used to be lost.
TEST(ParseUcs2ListEntry, TheNameFieldMovesTheStampOn) {
    for (const char* name : {"", "\"\"", "\"004D0061\""}) {
        auto record = Cleared();
        ASSERT_TRUE(GSM::ParseUcs2ListEntry(std::string("+CMGL: 3,\"REC UNREAD\",\"0031\",") +
                                                name + ",\"18/09/28,09:39:55+32\"\r\n00410042\r\n",
                                            record));
        EXPECT_EQ(Field(record.number), "1") << name;
        EXPECT_EQ(Field(record.timestamp), "180928093955") << name;
        EXPECT_EQ(Field(record.text), "AB") << name;
    }
}

TEST(ParseUcs2ListEntry, ThreeFieldHeaderStillGivesTheText) {
    auto record = Cleared();
    ASSERT_TRUE(GSM::ParseUcs2ListEntry("+CMGL: 3,\"REC READ\",\"0031\"\r\n4F60597D\r\n", record));
    EXPECT_EQ(record.tag, 0);
    EXPECT_EQ(Field(record.number), "");
    EXPECT_EQ(Field(record.timestamp), "");
    EXPECT_EQ(Field(record.text), "你好");
}

TEST(ParseUcs2ListEntry, IndexLowByteAndExactBody) {
    auto record = Cleared();
    ASSERT_TRUE(
        GSM::ParseUcs2ListEntry("+CMGL: 300,\"\",\"\",\"\",\"\"\r\n00410D0A0042\r\n", record));
    EXPECT_EQ(record.tag, 44);
    EXPECT_EQ(Field(record.text),
              "A\xE0\xB4\x8A"
              "B");  // U+0D0A is a letter here
    ASSERT_TRUE(GSM::ParseUcs2ListEntry("+CMGL: 200,\"\",\"\",\"\",\"\"\r\n\r\n", record));
    EXPECT_EQ(record.tag, -56);
    EXPECT_EQ(Field(record.text), "");
}

TEST(ParseUcs2ListEntry, LongNumberAndBodyAreCutInsideTheirFields) {
    auto record = Cleared();
    std::string number;
    std::string body;
    for (int i = 0; i < 64; ++i) {
        number += "0039";
    }
    for (int i = 0; i < 300; ++i) {
        body += "4F60";
    }
    ASSERT_TRUE(GSM::ParseUcs2ListEntry(
        "+CMGL: 1,\"\",\"" + number + "\",\"18/09/28,09:39:55+32\"\r\n" + body + "\r\n", record));
    EXPECT_EQ(Field(record.number), std::string(29, '9'));
    EXPECT_EQ(Field(record.text).size(), 510u);  // whole characters only
    EXPECT_FALSE(GSM::ParseUcs2ListEntry("+CMGL: 1,\"\",\"0031\"", record));
}

TEST(ListingFrame, AnEntryIsItsHeaderAndTheLineBehindIt) {
    struct Row {
        const char* text;
        const char* headerEnd;
        bool framed;
        const char* header;
        const char* body;
        const char* rest;  // what stands behind the entry
    };
    const Row rows[] = {
        {"+CMGL: 1,0,,25\r\n0891AB\r\n+CMGL: 2", "\r\n", true, "+CMGL: 1,0,,25", "0891AB",
         "+CMGL: 2"},
        {"+CMGL: 1,0,,25\r\n\r\n0891AB\r\nOK\r\n", "\r\n\r\n", true, "+CMGL: 1,0,,25", "0891AB",
         "OK\r\n"},
        // Without the empty line its dialect puts behind the header, the empty line is the body.
        {"+CMGL: 1,0,,25\r\n\r\n0891AB\r\n", "\r\n", true, "+CMGL: 1,0,,25", "", "0891AB\r\n"},
        {"+CMGL: 1,0,,25\r\n0891AB\r\n", "\r\n\r\n", false, "", "", ""},
        // Cut by the window: no body line end, or no header line end.
        {"+CMGL: 1,0,,25\r\n0891AB", "\r\n", false, "", "", ""},
        {"+CMGL: 1,0,,25", "\r\n", false, "", "", ""},
    };
    for (const Row& row : rows) {
        const std::string_view text = row.text;
        const auto entry = GSM::FrameEntry(text, 0, 6, row.headerEnd);
        ASSERT_EQ(entry.has_value(), row.framed) << row.text;
        if (entry) {
            EXPECT_EQ(entry->header, row.header) << row.text;
            EXPECT_EQ(entry->body, row.body) << row.text;
            EXPECT_EQ(text.substr(entry->end), row.rest) << row.text;
        }
    }
    // The entry starts where it is asked to, and the default line end is CR LF.
    const std::string_view two = "\r\nOK\r\n^HCMGL: 2,1\r\n00410042\r\n";
    const auto entry = GSM::FrameEntry(two, two.find('^'), 7);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->header, "^HCMGL: 2,1");
    EXPECT_EQ(entry->body, "00410042");
    EXPECT_EQ(entry->end, two.size());
}

TEST(ListingFrame, OnlyReceivedMessagesAreTheCallers) {
    struct Row {
        const char* header;
        const char* status;
        bool received;
    };
    const Row rows[] = {
        {"+CMGL: 1,\"REC UNREAD\",\"0031\"", "\"REC UNREAD\"", true},
        {"+CMGL: 1,\"REC READ\"", "\"REC READ\"", true},
        {"+CMGL: 1,0,,25", "0", true},
        {"+CMGL: 1, 1,,25", " 1", true},
        {"+CMGL: 1,2,,25", "2", false},
        {"+CMGL: 1,\"STO UNSENT\",\"0031\"", "\"STO UNSENT\"", false},
        {"+CMGL: 1,\"STO SENT\"", "\"STO SENT\"", false},
        // No status at all reads as 0.
        {"+CMGL: 1", "", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GSM::StatusField(row.header), row.status) << row.header;
        EXPECT_EQ(GSM::IsReceivedStatus(GSM::StatusField(row.header)), row.received) << row.header;
    }
}

TEST(ListingFrame, AUnitMustHoldTheOctetsItsHeaderAnnounces) {
    struct Row {
        const char* header;
        const char* unit;
        bool whole;
    };
    // A service-centre part of 1 + 7 octets, then 3 octets.
    const Row rows[] = {
        {"+CMGL: 1,0,,3", "07913166111111F1AABBCC", true},
        {"+CMGL: 1,0,,3", "07913166111111F1AABB", false},
        {"+CMGL: 1,0,,3", "00AABBCC", true},
        {"+CMGL: 1,0,,0", "07", true},
        {"+CMGL: 1", "07", true},
        {"+CMGL: 1", "0", false},
        {"+CMGL: 1,0,,3", "", false},
        {"+CMGL: 1,0,,3", "G7AABBCC", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GSM::HoldsAnnouncedOctets(row.header, row.unit), row.whole)
            << row.header << " " << row.unit;
    }
}

TEST(ListingFrame, AFinalResultCountsOnlyAsALineBehindTheEntry) {
    struct Row {
        const char* burst;
        bool result;
    };
    const Row rows[] = {
        {"\r\n+CMGL: 1,\"REC UNREAD\"\r\nhi\r\n\r\nOK\r\n", true},
        {"\r\n+CMGL: 1,\"REC UNREAD\"\r\nhi\r\n\r\n+CMS ERROR: 321\r\n", true},
        {"\r\n+CMGL: 1,\"REC UNREAD\"\r\nhi\r\nOK", true},
        // A body reading "OK" is the body, and an entry not yet whole has no result.
        {"\r\n+CMGL: 1,\"REC UNREAD\"\r\nOK\r\n", false},
        {"\r\n+CMGL: 1,\"REC UNREAD\"\r\nOK\r\n\r\nfine OK\r\n", false},
        {"\r\n+CMGL: 1,\"REC UNREAD\"\r\n", false},
    };
    for (const Row& row : rows) {
        const std::string_view burst = row.burst;
        EXPECT_EQ(GSM::FinalAfterEntry(burst, burst.find('+')), row.result) << row.burst;
    }
}

}  // namespace
