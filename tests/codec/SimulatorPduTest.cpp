// The library's units against the simulator's own encoder and decoder: neither shares code
// with the other, so a fault must be made twice to pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "RecordText.h"
#include "Units.h"
#include "codec/Pdu.h"
#include "pdu/Pdu.h"

namespace {

namespace Sim = ModemSim::Pdu;
using CodecTest::Cleared;
using CodecTest::Field;

int TwoDigits(const char* at) {
    return (at[0] - '0') * 10 + (at[1] - '0');
}

std::vector<uint8_t> BytesOf(std::string_view hex) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Sim::Deliver DeliverOf(const CodecTest::Unit& unit) {
    Sim::Deliver d;
    d.serviceCentre = unit.centre;
    d.sender = unit.number;
    d.senderType = unit.senderType;
    d.dataCoding = unit.coding;
    d.stamp = {TwoDigits(unit.stamp),     TwoDigits(unit.stamp + 2), TwoDigits(unit.stamp + 4),
               TwoDigits(unit.stamp + 6), TwoDigits(unit.stamp + 8), TwoDigits(unit.stamp + 10),
               TwoDigits(unit.stamp + 12)};
    d.header = BytesOf(unit.header);
    d.text = unit.text;
    return d;
}

TEST(SimulatorEncoder, WritesThePublishedAndConstructedUnits) {
    const auto check = [](const CodecTest::Unit& unit) {
        if (unit.simulatorWrites) {
            EXPECT_EQ(Sim::EncodeDeliver(DeliverOf(unit)), unit.hex) << unit.source;
        }
    };
    std::for_each(std::begin(CodecTest::kPublished), std::end(CodecTest::kPublished), check);
    std::for_each(std::begin(CodecTest::kConstructed), std::end(CodecTest::kConstructed), check);
}

TEST(SimulatorEncoder, NegativeZoneAndAlphanumericSender) {
    Sim::Deliver d;
    d.sender = "Tarvik";
    d.senderType = Sim::kAlphanumeric;
    d.stamp = {24, 12, 31, 23, 59, 58, -20};
    d.text = "x";
    const std::string hex = Sim::EncodeDeliver(d);
    auto record = Cleared();
    ASSERT_TRUE(GSM::ParseDeliverPdu(hex, record).parsed) << hex;
    EXPECT_EQ(Field(record.number), "Tarvik");
    // The zone keeps its sign bit: 20 quarters west of UTC.
    EXPECT_EQ(Field(record.timestamp), "241231235958A0");
}

// Published SMS-SUBMIT units, read by the simulator's decoder.
TEST(SimulatorDecoder, PublishedSubmitUnits) {
    // GSM 03.40 tutorial 'SMS and the PDU format' (dreamfabric.com).
    auto s = Sim::DecodeSubmit("0011000B916407281553F80000AA0AE8329BFD4697D9EC37");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->serviceCentre, "");
    EXPECT_EQ(s->number, "46708251358");
    EXPECT_EQ(s->numberType, 0x91);
    EXPECT_EQ(s->relativeValidity, 0xAA);
    EXPECT_EQ(s->text, "hellohello");
    EXPECT_EQ(s->tpduOctets, 23u);
    // 9cbs.com article on PDU lengths: 8-bit, message class 2.
    s = Sim::DecodeSubmit("07919471016700001100078121436 5F700F6AA0568656C6C6F");
    EXPECT_FALSE(s);  // a blank is not hex
    s = Sim::DecodeSubmit("079194710167000011000781214365F700F6AA0568656C6C6F");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->serviceCentre, "491710760000");
    EXPECT_EQ(s->number, "1234567");
    EXPECT_EQ(s->numberType, 0x81);
    EXPECT_EQ(s->alphabet, Sim::Alphabet::Eight);
    EXPECT_EQ(s->text, "hello");
    EXPECT_EQ(s->tpduOctets, 17u);
    // Test of the public warthog618/sms project: lower case, no validity period.
    s = Sim::DecodeSubmit("07911614220991f1010005912143f500000bc8329bfd06dddf723619");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->serviceCentre, "61412290191");
    EXPECT_EQ(s->number, "12345");
    EXPECT_FALSE(s->relativeValidity);
    EXPECT_EQ(s->text, "Hello world");
    // A unit one octet short, and a deliver unit.
    EXPECT_FALSE(Sim::DecodeSubmit("0011000B916407281553F80000AA0AE8329BFD4697D9EC"));
    EXPECT_FALSE(Sim::DecodeSubmit(CodecTest::kPublished[0].hex));
}

struct Outgoing {
    const char* centre;
    bool international;
    const char* number;
    const char* text;
};

// Every kind of unit the library builds goes back through the simulator's decoder.
TEST(SubmitRoundTrip, SimulatorReadsWhatTheLibraryBuilds) {
    std::string seventy;
    for (int i = 0; i < 70; ++i) {
        seventy += "汉";
    }
    const Outgoing cases[] = {
        {"8613800250500", true, "8613912345678", "Hello"},
        {"8613800250500", true, "861391234567", "你好，世界"},
        {"13800100500", false, "+8613912345678", "a\r\nb"},
        {"", true, "10086", "OK \xF0\x9F\x98\x80"},
        {"8613800250500", true, "8613912345678", "\xE0\xB4\x8A@$_[]"},
        {"8613800250500", true, "8613912345678", ""},
        {"8613800250500", true, "8613912345678", seventy.c_str()},
        {"8613800250500", true, "12345678901234567890123456789", "long number"},
    };
    for (const Outgoing& c : cases) {
        SCOPED_TRACE(c.text);
        auto record = Cleared();
        std::strncpy(record.serviceCentre, c.centre, sizeof record.serviceCentre - 1);
        std::strncpy(record.number, c.number, sizeof record.number - 1);
        std::strncpy(record.text, c.text, sizeof record.text - 1);
        record.coding = GSM::kCodingUcs2;
        std::array<char, 1024> out{};
        const std::size_t n = GSM::BuildSubmitPdu(record, out, c.international);
        ASSERT_GT(n, 0u);
        const std::string hex(out.data(), n);
        const auto s = Sim::DecodeSubmit(hex);
        ASSERT_TRUE(s) << hex;
        const std::string number = c.number[0] == '+' ? c.number + 1 : c.number;
        EXPECT_EQ(s->serviceCentre, c.centre);
        if (*c.centre != '\0') {
            EXPECT_EQ(s->serviceCentreType, c.international ? 0x91 : 0x81);
        }
        EXPECT_EQ(s->number, number);
        EXPECT_EQ(s->numberType, 0x91);
        EXPECT_EQ(s->dataCoding, 0x08);
        EXPECT_EQ(s->alphabet, Sim::Alphabet::Ucs2);
        EXPECT_EQ(s->relativeValidity, 0xA7);
        EXPECT_TRUE(s->header.empty());
        EXPECT_EQ(s->text, c.text);
        // The length the submit command announces: all octets less the centre part.
        const std::size_t centreOctets = std::stoul(hex.substr(0, 2), nullptr, 16) + 1;
        EXPECT_EQ(s->tpduOctets, n / 2 - centreOctets);
    }
}

// Units the simulator stores come back through the library's reader whatever the coding and
// header.
TEST(DeliverRoundTrip, LibraryReadsWhatTheSimulatorStores) {
    const char* texts[] = {"",
                           "x",
                           "Hello, world!",
                           "1234567",
                           "12345678",
                           "{€} ~ |\\^[]",
                           "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./:;<=>?¡ÄÖÑÜ§¿äöñüà"};
    const std::vector<std::vector<uint8_t>> headers = {
        {},
        {0x01, 0x02, 0x00, 0x00},
        {0x00, 0x03, 0x2A, 0x02, 0x01},
        {0x08, 0x04, 0x12, 0x34, 0x02, 0x01},
        {0x00, 0x03, 0x01, 0x02, 0x01, 0x24, 0x01, 0x00}};
    for (int coding : {0x00, 0x08, 0x11, 0x19, 0xF1, 0xC8, 0xE0}) {
        for (const auto& header : headers) {
            for (const char* text : texts) {
                Sim::Deliver d;
                d.serviceCentre = "8613800250500";
                d.sender = "1234";
                d.dataCoding = static_cast<uint8_t>(coding);
                d.header = header;
                d.text = text;
                const std::string hex = Sim::EncodeDeliver(d);
                auto record = Cleared();
                const auto result = GSM::ParseDeliverPdu(hex, record);
                EXPECT_TRUE(result.parsed) << hex;
                EXPECT_EQ(Field(record.text), text) << hex;
                EXPECT_EQ(Field(record.number), "1234");
            }
        }
    }
}

}  // namespace
