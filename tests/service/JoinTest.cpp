// Long messages joined from their parts as the modem lists them: real concatenated units
// where published ones exist, units laid out by hand where they do not.
#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/Fields.h"
#include "codec/MessageKey.h"
#include "codec/Pdu.h"
#include "service/InboxJournal.h"
#include "service/Joiner.h"
#include "service/MsgService.h"

namespace {

using Tarvik::CJoiner;
using Tarvik::JoinedMessage;
using Tarvik::ReceivedPart;
using namespace std::chrono_literals;

const CJoiner::Clock::time_point kStart{};

// A listed unit as the library hands it over.
ReceivedPart Part(const std::string& hex) {
    GSM::MsgRecord record{};
    const GSM::DeliverResult result = GSM::ParseDeliverPdu(hex, record);
    EXPECT_TRUE(result.parsed) << hex;
    ReceivedPart part;
    GSM::Fields::Copy(part.message.text, GSM::Fields::View(record.text));
    GSM::Fields::Copy(part.message.number, GSM::Fields::View(record.number));
    GSM::FormatReceivedStamp(record.timestamp, part.message.timestamp);
    part.concat = result.concat;
    part.internationalSender = result.internationalSender;
    part.units = result.units;
    part.septets = result.septets;
    return part;
}

std::string SemiOctets(std::string digits) {
    if (digits.size() % 2 != 0) {
        digits += 'F';
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        std::swap(digits[i], digits[i + 1]);
    }
    return digits;
}

std::string Octet(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// A UCS2 SMS-DELIVER from `digits` of type `ton`, with a header when `header` is not empty.
std::string Ucs2Unit(const std::string& digits, unsigned ton, const std::string& header,
                     const std::u16string& units, const char* stamp = "42305041709023") {
    std::string data =
        header.empty() ? "" : Octet(static_cast<unsigned>(header.size() / 2)) + header;
    for (const char16_t unit : units) {
        data += Octet(unit >> 8) + Octet(unit);
    }
    return std::string("00") + (header.empty() ? "04" : "44") +
           Octet(static_cast<unsigned>(digits.size())) + Octet(ton) + SemiOctets(digits) + "0008" +
           stamp + Octet(static_cast<unsigned>(data.size() / 2)) + data;
}

// A 7-bit SMS-DELIVER with a header, its septets packed behind the header's fill bits.
std::string Gsm7Unit(const std::string& digits, const std::string& header,
                     const std::string& septets) {
    std::vector<int> bits;
    const std::string udh = Octet(static_cast<unsigned>(header.size() / 2)) + header;
    for (std::size_t i = 0; i < udh.size(); i += 2) {
        const unsigned octet = static_cast<unsigned>(std::stoul(udh.substr(i, 2), nullptr, 16));
        for (int b = 0; b < 8; ++b) {
            bits.push_back(static_cast<int>((octet >> b) & 1));
        }
    }
    while (bits.size() % 7 != 0) {
        bits.push_back(0);  // fill bits up to a septet boundary
    }
    const std::size_t length = bits.size() / 7 + septets.size();
    for (const char septet : septets) {
        for (int b = 0; b < 7; ++b) {
            bits.push_back((septet >> b) & 1);
        }
    }
    std::string data;
    for (std::size_t i = 0; i < bits.size(); i += 8) {
        unsigned octet = 0;
        for (std::size_t b = 0; b < 8 && i + b < bits.size(); ++b) {
            octet |= static_cast<unsigned>(bits[i + b]) << b;
        }
        data += Octet(octet);
    }
    return "0044" + Octet(static_cast<unsigned>(digits.size())) + "91" + SemiOctets(digits) +
           "0000" + "42305041709023" + Octet(static_cast<unsigned>(length)) + data;
}

// The three parts of a 7-bit text a public Python modem library encodes in its tests
// (python-gsmmodem, test/test_pdu.py, test_encodeSmsSubmit_concatenated), their user data
// as it was submitted, delivered here from the number it was sent to.
const char* const kLoremSubmits[] = {
    "0045000B915121551532F40000A0050003000301986F79B90D4AC3E7F53688FC66BFE5A0799A0E0AB7CB741668"
    "FC76CFCB637A995E9783C2E4343C3D4F8FD3EE33A8CC4ED359A079990C22BF41E5747DDE7E9341F4721BFE9683"
    "D2EE719A9C26D7DD74509D0E6287C56F791954A683C86FF65B5E06B5C36777181466A7E3F5B0AB4A0795DDE936"
    "284C06B5D3EE741B642FBBD3E1360B14AFA7DD",
    "0045000B915121551532F40000A0050003000302DE73BABC4E0695F165F9384D0FD3D36F37A8CE6687DBE33788"
    "1D16BFE5E939C89D9EA741753A28CC4EC7EB6938A88C0795C3A0F1BBDD7E93DFA0F1DB3D2FC7EB61BA8B584FCF"
    "41E13ABD0C4ACBEBF23288FC66BFE5A0B41B242FC3E56574D94D2ECBD37450DA0DB2BFD975383D4C2F83EC6576"
    "9A0E2ACFE765D038CD66D7DB20F29BFD2E83CA",
    "0045000B915121551532F400008C050003000303EA2073FD9C0ED341EE3A9B1D06C1C3F274985E97BB8AF87119"
    "4E2FD7E5A079DA4D07BDC7E370791CA683C675789A1CA687E920F7DB0D82CBDF6972D94D6781E675371D947683"
    "C675363C0C8AD7D3A0B7D99C1EA7C32072795E96D7DD7450FBCD66A7E9A0B03BDD06A5C9A0F29C0E6287C56F79"
    "BD0D",
};
const char* const kLoremText =
    "Lorem ipsum dolor sit amet, consectetur adipisicing elit, sed do eiusmod tempor incididunt "
    "ut labore et dolore magna aliqua.Ut enim ad minim veniam, quinostrud exercitation ullamco "
    "laboris nisi ut aliquip ex ea commodo consequat.Duis aute irure dolor in reprehenderit in "
    "voluptate velit esse cillum doloe eu fugiat nulla pariatur.Excepteur sint occaecat "
    "cupidatat non proident, sunt in culpa qui officia deserunt mollit anim id est laborum";

// The SMS-SUBMIT's destination, identifier, coding and user data as an SMS-DELIVER.
ReceivedPart LoremPart(int k, const char* stamp = "31305081209023") {
    const std::string submit = kLoremSubmits[k - 1];
    return Part("0044" + submit.substr(6, 16) + submit.substr(22, 4) + stamp + submit.substr(26));
}

TEST(Join, PartsJoinInPartOrderWhateverTheirArrivalCopiesOnceSetsApart) {
    CJoiner joiner(24h);
    // The same sender and reference, but two parts: another message.
    const ReceivedPart other1 = Part(Ucs2Unit("15125551234", 0x91,
                                              "00030002"
                                              "01",
                                              u"other "));
    const ReceivedPart other2 = Part(Ucs2Unit("15125551234", 0x91,
                                              "00030002"
                                              "02",
                                              u"set"));
    EXPECT_TRUE(joiner.Add(LoremPart(3), kStart).empty());
    EXPECT_TRUE(joiner.Add(other2, kStart).empty());
    EXPECT_TRUE(joiner.Add(LoremPart(1), kStart).empty());
    EXPECT_TRUE(joiner.Add(LoremPart(3), kStart).empty()) << "listed again: counts once";
    EXPECT_EQ(joiner.Waiting(), 2u);

    const std::vector<JoinedMessage> lorem = joiner.Add(LoremPart(2), kStart);
    ASSERT_EQ(lorem.size(), 1u);
    EXPECT_EQ(lorem[0].text, kLoremText);
    EXPECT_EQ(lorem[0].parts, 3);
    EXPECT_TRUE(lorem[0].Complete());
    EXPECT_EQ(lorem[0].partKeys.size(), 3u);
    EXPECT_STREQ(lorem[0].first.number, "15125551234");
    EXPECT_EQ(lorem[0].sender, "+15125551234") << "as a phone shows it";

    const std::vector<JoinedMessage> other = joiner.Add(other1, kStart);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].text, "other set");
    EXPECT_NE(other[0].key, lorem[0].key);
    EXPECT_TRUE(joiner.Add(LoremPart(2), kStart).empty()) << "a copy after the set was whole";
    // Only a copy that came after its message went out is left for the reader to let go.
    EXPECT_EQ(joiner.TakeSpent(), std::vector<std::string>{Tarvik::PartKey(LoremPart(2))});
    EXPECT_EQ(joiner.Waiting(), 0u);
}

TEST(Join, OneSenderInEveryFormAndItsCentreAndTimeDoNotMatter) {
    EXPECT_TRUE(Tarvik::SameSender("+447700900123", "00447700900123"));
    EXPECT_TRUE(Tarvik::SameSender("07700900123", "+447700900123"));
    EXPECT_TRUE(Tarvik::SameSender("13800138000", "+8613800138000"));
    EXPECT_FALSE(Tarvik::SameSender("+447700900124", "07700900123"));
    EXPECT_FALSE(Tarvik::SameSender("+447700900123", "+457700900123"));
    EXPECT_FALSE(Tarvik::SameSender("Bank", "Bank2"));

    // 16-bit reference 0x1234, three parts by three forms, stamped a minute apart.
    CJoiner joiner(24h);
    const std::string header =
        "08041234"
        "03";
    EXPECT_TRUE(
        joiner
            .Add(Part(Ucs2Unit("00447700900123", 0x81, header + "02", u"b-", "42305041719023")),
                 kStart)
            .empty());
    EXPECT_TRUE(
        joiner
            .Add(Part(Ucs2Unit("07700900123", 0xA1, header + "03", u"c", "42305041729023")), kStart)
            .empty());
    // An 8-bit reference of the same number is another kind of set.
    EXPECT_TRUE(joiner
                    .Add(Part(Ucs2Unit("447700900123", 0x91,
                                       "00033403"
                                       "01",
                                       u"x")),
                         kStart)
                    .empty());
    const auto joined =
        joiner.Add(Part(Ucs2Unit("447700900123", 0x91, header + "01", u"a-")), kStart);
    ASSERT_EQ(joined.size(), 1u);
    EXPECT_EQ(joined[0].text, "a-b-c");
    EXPECT_STREQ(joined[0].first.number, "447700900123") << "the first part's number";
    EXPECT_EQ(joined[0].sender, "+447700900123");
}

TEST(Join, APairSplitBetweenPartsArrivesWhole) {
    CJoiner joiner(24h);
    // U+1F600 as D83D DE00, cut between the units of two UCS2 parts.
    const std::string header = "0003A702";
    EXPECT_TRUE(joiner.Add(Part(Ucs2Unit("8613912345678", 0x91, header + "02", u"\xDE00!")), kStart)
                    .empty());
    const auto smile =
        joiner.Add(Part(Ucs2Unit("8613912345678", 0x91, header + "01", u"OK \xD83D")), kStart);
    ASSERT_EQ(smile.size(), 1u);
    EXPECT_EQ(smile[0].text, "OK \xF0\x9F\x98\x80!");
}

TEST(Join, AnEscapePairSplitBetweenPartsArrivesWhole) {
    // "€" is the escape 0x1B and 0x65: a sender cut it between the septets of two parts,
    // and the parts come in reverse order.
    CJoiner joiner(24h);
    const std::string header = "0003B802";
    EXPECT_TRUE(
        joiner.Add(Part(Gsm7Unit("447700900123", header + "02", "\x65 due")), kStart).empty());
    const auto price = joiner.Add(Part(Gsm7Unit("447700900123", header + "01", "10\x1B")), kStart);
    ASSERT_EQ(price.size(), 1u);
    EXPECT_EQ(price[0].text, "10\xE2\x82\xAC due");
}

TEST(Join, APartNoSetCanHoldIsAMessageOfItsOwn) {
    CJoiner joiner(24h);
    // One part of one (python-gsmmodem, test/test_pdu.py: an operator's airtime notice).
    const auto notice = joiner.Add(
        Part("0591721891F1400781721881F800003160526104848059050003C30101916536FB1DCABEEB2074D85E06"
             "4941B19CAB060319A5C522289C96D3D3ED32286C0FA7D96131BBEC024941B19CAB0603DDD36C36A88C87"
             "A7E565D0DB0D82C55EB0DB4B068BCD5C20"),
        kStart);
    ASSERT_EQ(notice.size(), 1u);
    EXPECT_EQ(notice[0].text,
              "Hello!You have R 19.50 FREE airtime available. R 19.50 will expire on 01/07/2013. ");
    EXPECT_EQ(notice[0].parts, 1);
    for (const char* header : {"00030702"
                               "00",
                               "00030702"
                               "03"}) {
        const auto alone = joiner.Add(Part(Ucs2Unit("10086", 0x81, header, u"odd")), kStart);
        ASSERT_EQ(alone.size(), 1u) << header;
        EXPECT_EQ(alone[0].text, "odd");
        EXPECT_EQ(alone[0].sender, "10086") << "a national sender as it stands";
    }
    // An international sender shows its "+"; the key stays the record's, by its digits.
    const ReceivedPart single = Part(Ucs2Unit("8613800138000", 0x91, "", u"one"));
    const auto international = joiner.Add(single, kStart);
    ASSERT_EQ(international.size(), 1u);
    EXPECT_EQ(international[0].sender, "+8613800138000");
    EXPECT_EQ(international[0].key,
              GSM::MessageKey("8613800138000", GSM::Fields::View(single.message.timestamp), "one"));
    EXPECT_EQ(joiner.Waiting(), 0u);
}

TEST(Join, AMissingPartHoldsTheRestBackOnlyUntilTheTimeOutAndALatePartCompletes) {
    CJoiner joiner(10min);
    EXPECT_TRUE(joiner.Add(LoremPart(1), kStart).empty());
    EXPECT_TRUE(joiner.Add(LoremPart(3), kStart + 1min).empty());
    EXPECT_TRUE(joiner.Expire(kStart + 10min - 1ms).empty());
    const auto partial = joiner.Expire(kStart + 10min);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_FALSE(partial[0].Complete());
    EXPECT_EQ(partial[0].missing, std::vector<int>{2});
    EXPECT_EQ(partial[0].partKeys.size(), 2u);
    EXPECT_TRUE(joiner.Expire(kStart + 11min).empty()) << "delivered once";
    EXPECT_TRUE(joiner.TakeForgotten().empty());

    const auto whole = joiner.Add(LoremPart(2, "31305081309023"), kStart + 15min);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_TRUE(whole[0].Complete());
    EXPECT_EQ(whole[0].key, partial[0].key);
    EXPECT_EQ(whole[0].text, kLoremText);

    // A set given out without a part is given up on a day later.
    EXPECT_TRUE(joiner.Add(LoremPart(1, "31305091209023"), kStart + 1h).empty());
    const auto another = joiner.Expire(kStart + 2h);
    ASSERT_EQ(another.size(), 1u);
    EXPECT_NE(another[0].key, whole[0].key) << "the reference used again another day";
    EXPECT_TRUE(joiner.Expire(kStart + 2h + 24h - 1ms).empty());
    EXPECT_TRUE(joiner.TakeForgotten().empty());
    joiner.Expire(kStart + 2h + 24h);
    EXPECT_EQ(joiner.TakeForgotten(), std::vector<std::string>{another[0].key});

    // What a reader that keeps nothing over its stop gets of a set still waiting.
    CJoiner stopping(24h);
    EXPECT_TRUE(stopping.Add(LoremPart(2), kStart).empty());
    const auto held = stopping.Flush();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].missing, (std::vector<int>{1, 3}));
}

// The journal keeps what joining needs, and still reads the lines it wrote before it did.
TEST(Join, TheJournalKeepsElementSenderTypeUnitsAndReportsAndReadsItsOldLines) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("join-journal-" + std::to_string(getpid()));
    std::filesystem::remove(path);
    const ReceivedPart part = Part(Ucs2Unit("8613912345678", 0x91, "0003A70201", u"OK \xD83D"));
    Tarvik::StatusReport report;
    report.reference = 201;
    report.recipient = "447700900123";
    report.internationalRecipient = true;
    report.status = 0x46;
    report.serviceCentreTime = "2026-12-09 10:00:00+00:00";
    report.dischargeTime = "2026-12-09 10:00:05+00:00";
    Tarvik::StatusReport acknowledged = report;
    acknowledged.reference = 202;
    {
        std::vector<ReceivedPart> replayed;
        std::vector<Tarvik::StatusReport> reports;
        GSM::CInboxJournal journal(path.string(), replayed, reports);
        ASSERT_TRUE(journal.Open());
        ASSERT_TRUE(journal.Record(part));
        ASSERT_TRUE(journal.RecordReport(report));
        ASSERT_TRUE(journal.RecordReport(acknowledged));
    }
    RecvMsg old{};
    GSM::Fields::Copy(old.number, "10086");
    GSM::Fields::Copy(old.timestamp, "2024");
    GSM::Fields::Copy(old.text, "old");
    const std::string oldKey = GSM::InboxKey(old);
    {
        // As a journal written before held its messages: number, time and text alone.
        std::FILE* file = std::fopen(path.c_str(), "ab");
        ASSERT_NE(file, nullptr);
        std::fputs(("\nM " + oldKey + " 3130303836 32303234 6f6c64\n").c_str(), file);
        std::fputs(("\nA " + Tarvik::ReportKey(acknowledged) + "\n").c_str(), file);
        std::fclose(file);
    }
    std::vector<ReceivedPart> replayed;
    std::vector<Tarvik::StatusReport> reports;
    GSM::CInboxJournal journal(path.string(), replayed, reports);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Tarvik::ReportKey(reports[0]), Tarvik::ReportKey(report));
    EXPECT_EQ(reports[0].dischargeTime, report.dischargeTime);
    ASSERT_EQ(replayed.size(), 2u);
    EXPECT_EQ(replayed[0].concat, part.concat);
    EXPECT_TRUE(replayed[0].internationalSender);
    EXPECT_EQ(replayed[0].units, part.units);
    EXPECT_EQ(Tarvik::PartKey(replayed[0]), Tarvik::PartKey(part));
    EXPECT_STREQ(replayed[1].message.text, "old");
    EXPECT_FALSE(replayed[1].concat);
    EXPECT_EQ(Tarvik::PartKey(replayed[1]), oldKey);
    std::filesystem::remove(path);
}

}  // namespace
