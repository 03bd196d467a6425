// Received units read into records, and the submit unit built from one.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "RecordText.h"
#include "Units.h"
#include "codec/Pdu.h"

namespace {

using CodecTest::Cleared;
using CodecTest::Field;
using CodecTest::kConstructed;
using CodecTest::kPublished;
using CodecTest::Unit;

struct Parsed {
    GSM::DeliverResult result;
    GSM::MsgRecord record;
};

Parsed Parse(std::string_view hex) {
    Parsed p{{}, Cleared()};
    p.result = GSM::ParseDeliverPdu(hex, p.record);
    return p;
}

void ExpectUnit(const Unit& unit) {
    SCOPED_TRACE(unit.source);
    const Parsed p = Parse(unit.hex);
    EXPECT_TRUE(p.result.parsed);
    EXPECT_EQ(p.result.type, GSM::PduType::Deliver);
    EXPECT_EQ(Field(p.record.serviceCentre), unit.centre);
    EXPECT_EQ(Field(p.record.number), unit.number);
    EXPECT_EQ(Field(p.record.timestamp), unit.stamp);
    EXPECT_EQ(p.record.coding, unit.coding);
    EXPECT_EQ(Field(p.record.text), unit.text);
    EXPECT_EQ(p.result.textLength, std::strlen(unit.text));
    EXPECT_EQ(p.result.internationalSender, unit.senderType == 0x91);
}

TEST(ParseDeliverPdu, PublishedUnits) {
    for (const Unit& unit : kPublished) {
        ExpectUnit(unit);
    }
}

TEST(ParseDeliverPdu, ConstructedUnits) {
    for (const Unit& unit : kConstructed) {
        ExpectUnit(unit);
    }
}

// The concatenation element a joiner groups parts by, read wherever it stands in the header.
TEST(ParseDeliverPdu, ConcatenationElement) {
    using GSM::ConcatHeader;
    struct Case {
        const char* source;
        const char* hex;
        std::optional<ConcatHeader> concat;
    };
    const Case cases[] = {
        // A WAP push in two 8-bit parts: a 16-bit reference beside a port element.
        {"python-messaging, doc/tutorial/mms.rst, WAP push part 1",
         "0791447758100650400E80885810000000810004016082415464408C0C08049F8E020105040B8423F00106"
         "226170706C69636174696F6E2F766E642E7761702E6D6D732D6D65737361676500AF848C82984E4F4B3543"
         "694B636F544D595347344D4253774141734B7631344655484141414141414141008D908919802B34343737"
         "38353334323734392F545950453D504C4D4E008A808E0274008805810301194083687474703A2F",
         ConcatHeader{0x9F8E, 2, 1, true}},
        {"python-messaging, doc/tutorial/mms.rst, WAP push part 2",
         "0791447758100650440E8088581000000081000401608241547440440C08049F8E020205040B8423F02F70"
         "726F6D6D732F736572766C6574732F4E4F4B3543694B636F544D595347344D4253774141734B7631344655"
         "48414141414141414100",
         ConcatHeader{0x9F8E, 2, 2, true}},
        {"7-bit, 6-octet header", CodecTest::kConstructed[4].hex, ConcatHeader{0x2A, 2, 1, false}},
        {"7-bit, 7-octet header", CodecTest::kConstructed[6].hex, ConcatHeader{0x1234, 2, 1, true}},
        {"UCS2, 6-octet header", CodecTest::kConstructed[7].hex, ConcatHeader{0x2A, 2, 2, false}},
        {"a header without the element", CodecTest::kConstructed[5].hex, std::nullopt},
        {"no header", CodecTest::kPublished[0].hex, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        const Parsed p = Parse(c.hex);
        EXPECT_TRUE(p.result.parsed);
        EXPECT_EQ(p.result.concat, c.concat);
    }
}

TEST(FindConcatElement, OddHeaders) {
    using Bytes = std::vector<uint8_t>;
    const auto find = [](const Bytes& elements) { return GSM::FindConcatElement(elements); };
    // 0 of n and k > n are passed on as written: they are a message of their own.
    EXPECT_EQ(find({0x00, 0x03, 0x07, 0x03, 0x00}), (GSM::ConcatHeader{7, 3, 0, false}));
    EXPECT_EQ(find({0x00, 0x03, 0x07, 0x03, 0x04}), (GSM::ConcatHeader{7, 3, 4, false}));
    // After another element; of two, the last counts.
    EXPECT_EQ(find({0x0A, 0x02, 0x01, 0x02, 0x00, 0x03, 0x07, 0x02, 0x01}),
              (GSM::ConcatHeader{7, 2, 1, false}));
    EXPECT_EQ(find({0x00, 0x03, 0x07, 0x02, 0x01, 0x08, 0x04, 0x01, 0x00, 0x02, 0x02}),
              (GSM::ConcatHeader{256, 2, 2, true}));
    // Malformed: the wrong length, or an element that runs past the header.
    EXPECT_FALSE(find({0x00, 0x04, 0x07, 0x02, 0x01, 0x00}));
    EXPECT_FALSE(find({0x00, 0x03, 0x07, 0x02}));
    EXPECT_FALSE(find({0x00, 0x03, 0x07, 0x02, 0x01, 0x05, 0x04, 0x0B}));
    EXPECT_FALSE(find({}));
}

TEST(ParseDeliverPdu, LowerCaseHexAndTrailingBytesAreAccepted) {
    const Parsed p =
        Parse("07917283010010f5040bc87238880900f10000993092516195800ae8329bfd4697d9ec37\r\nOK\r\n");
    EXPECT_TRUE(p.result.parsed);
    EXPECT_EQ(Field(p.record.number), "27838890001");
    EXPECT_EQ(Field(p.record.text), "hellohello");
}

TEST(ParseDeliverPdu, SevenSeptetsAreSevenCharacters) {
    // "abcdefg" in 7 octets announced as 7 septets: the spare bits are not an eighth "@".
    const Parsed p = Parse("00040D91683119325476F80000423050417090230761F1985C369F01");
    EXPECT_TRUE(p.result.parsed);
    EXPECT_EQ(Field(p.record.text), "abcdefg");
}

TEST(ParseDeliverPdu, AlphabetFromTheDataCodingScheme) {
    // Same unit, coding octet replaced; the user data is 4 octets "0041" "0042".
    const auto withCoding = [](const char* dcs) {
        return std::string("00040D91683119325476F800") + dcs + "42305041709023040041004200";
    };
    for (const char* dcs : {"08", "18", "19", "48", "E0"}) {
        const Parsed p = Parse(withCoding(dcs));
        EXPECT_TRUE(p.result.parsed) << dcs;
        EXPECT_EQ(Field(p.record.text), "AB") << dcs;
    }
    for (const char* dcs : {"04", "F5", "F4", "14"}) {
        const Parsed p = Parse(withCoding(dcs));
        EXPECT_TRUE(p.result.parsed) << dcs;
        EXPECT_EQ(std::string(p.record.text, 4), std::string("\0A\0B", 4)) << dcs;
    }
    for (const char* dcs : {"00", "11", "F1", "C0", "D8"}) {
        EXPECT_TRUE(Parse(withCoding(dcs)).result.parsed) << dcs;
    }
    // Compressed and reserved codings.
    for (const char* dcs : {"20", "28", "0C", "80", "B0"}) {
        const Parsed p = Parse(withCoding(dcs));
        EXPECT_FALSE(p.result.parsed) << dcs;
        EXPECT_EQ(Field(p.record.text), "") << dcs;
    }
}

TEST(ParseDeliverPdu, OnlyDeliverUnitsAreMessages) {
    // A stored SMS-SUBMIT and a status report.
    const Parsed submit = Parse("0011000B916407281553F80000AA0AE8329BFD4697D9EC37");
    EXPECT_FALSE(submit.result.parsed);
    EXPECT_EQ(submit.result.type, GSM::PduType::Submit);
    const Parsed report = Parse("0006D60B911326880736F4111011719551401110117195714000");
    EXPECT_FALSE(report.result.parsed);
    EXPECT_EQ(report.result.type, GSM::PduType::StatusReport);
    EXPECT_EQ(Parse("").result.type, GSM::PduType::Unreadable);
    // A reserved type is read as a deliver unit, as a receiver should, and reported as such
    // so that the listing can leave it alone.
    const Parsed reserved = Parse("00030D91683119325476F800004230504170902300");
    EXPECT_TRUE(reserved.result.parsed);
    EXPECT_EQ(reserved.result.type, GSM::PduType::Reserved);
}

TEST(ParseDeliverPdu, UnitsThatHoldLessThanTheyAnnounceAreRejected) {
    const std::string whole =
        "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";
    for (std::size_t cut = 0; cut < whole.size(); cut += 2) {
        EXPECT_FALSE(Parse(whole.substr(0, cut)).result.parsed) << cut;
    }
    // A character that is not hex ends the unit early.
    std::string broken = whole;
    broken[40] = 'G';
    EXPECT_FALSE(Parse(broken).result.parsed);
    // Header length past the user data.
    EXPECT_FALSE(Parse("00440D91683119325476F80008423050417090230409000000").result.parsed);
    // A centre or originator longer than its field is cut, terminated.
    const Parsed p = Parse("1191" + std::string(32, '1') + "04" + "28" + "91" +
                           std::string(40, '2') + "0000423050417090230100");
    EXPECT_TRUE(p.result.parsed);
    EXPECT_EQ(Field(p.record.serviceCentre), std::string(29, '1'));
    EXPECT_EQ(Field(p.record.number), std::string(29, '2'));
}

TEST(ParseDeliverPdu, KeepsTheTagAndClearsTheRest) {
    GSM::MsgRecord record;
    std::memset(&record, 'x', sizeof record);
    record.tag = 12;
    EXPECT_TRUE(GSM::ParseDeliverPdu("00040D91683119325476F800004230504170902300", record).parsed);
    EXPECT_EQ(record.tag, 12);
    EXPECT_EQ(Field(record.serviceCentre), "");
    EXPECT_EQ(Field(record.text), "");
}

GSM::MsgRecord Outgoing(const char* centre, const char* number, const char* text) {
    auto record = Cleared();
    std::strncpy(record.serviceCentre, centre, sizeof record.serviceCentre - 1);
    std::strncpy(record.number, number, sizeof record.number - 1);
    std::strncpy(record.text, text, sizeof record.text - 1);
    record.coding = GSM::kCodingUcs2;
    return record;
}

std::string Build(const GSM::MsgRecord& record, bool international = true) {
    std::array<char, 1024> out{};
    const std::size_t n = GSM::BuildSubmitPdu(record, out, international);
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
}

TEST(BuildSubmitPdu, LaysOutCentreDestinationValidityAndText) {
    EXPECT_EQ(Build(Outgoing("12345", "678", "AB")), "04912143F51100039176F80008A70400410042");
    // A centre the modem gave in national form, and none at all.
    EXPECT_EQ(Build(Outgoing("12345", "678", "AB"), false).substr(0, 4), "0481");
    EXPECT_EQ(Build(Outgoing("", "678", "AB")).substr(0, 10), "0011000391");
    // A "+" in front of a number says what the type octet says already.
    EXPECT_EQ(Build(Outgoing("+12345", "+678", "AB")), Build(Outgoing("12345", "678", "AB")));
    EXPECT_EQ(Build(Outgoing("12345", "8613912345678", "")),
              "04912143F511000D91683119325476F80008A700");
    // Asking for a delivery report sets TP-SRR, bit 5 of the first octet, and nothing else.
    std::array<char, 1024> out{};
    const std::size_t n = GSM::BuildSubmitPdu(Outgoing("12345", "678", "AB"), out, true, true);
    EXPECT_EQ(std::string(out.data(), n), "04912143F53100039176F80008A70400410042");
}

TEST(BuildSubmitPdu, RefusesWhatItCannotSend) {
    EXPECT_EQ(Build(Outgoing("12345", "13A", "AB")), "");
    auto plain = Outgoing("12345", "678", "AB");
    plain.coding = GSM::kCodingPlain;
    EXPECT_EQ(Build(plain), "");
    EXPECT_EQ(Build(Outgoing("12345", "678", std::string(71, 'x').c_str())), "");
    EXPECT_NE(Build(Outgoing("12345", "678", std::string(70, 'x').c_str())), "");
    const auto record = Outgoing("12345", "678", "AB");
    std::array<char, 38> small{};  // one short of the unit and its NUL
    EXPECT_EQ(GSM::BuildSubmitPdu(record, small, true), 0u);
    EXPECT_EQ(small[0], '\0');
}

TEST(SwapSemiOctets, BothWays) {
    std::array<char, 16> out{};
    EXPECT_EQ(GSM::SwapSemiOctets("12345", out, GSM::SemiOctets::Encode), 6u);
    EXPECT_STREQ(out.data(), "2143F5");
    EXPECT_EQ(GSM::SwapSemiOctets("2143F5", out, GSM::SemiOctets::Decode), 5u);
    EXPECT_STREQ(out.data(), "12345");
    std::array<char, 4> small{};
    EXPECT_EQ(GSM::SwapSemiOctets("214365", small, GSM::SemiOctets::Decode), 3u);
    EXPECT_STREQ(small.data(), "123");
}

}  // namespace
