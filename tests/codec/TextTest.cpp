// Conversions between local text (UTF-8), UCS2, hex and the GSM alphabet.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "codec/Text.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ucs2Of(std::string_view text) {
    std::array<uint8_t, 256> out{};
    return Bytes(out.begin(), out.begin() + static_cast<long>(GSM::LocalToUcs2(text, out)));
}

template <std::size_t N>
std::string ToLocal(const Bytes& data, std::array<char, N>& out,
                    GSM::CrLf crLf = GSM::CrLf::Convert) {
    const std::size_t n = GSM::Ucs2ToLocal(data, out, crLf);
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
}

Bytes Repeat(const Bytes& unit, std::size_t times) {
    Bytes out;
    for (std::size_t i = 0; i < times; ++i) {
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

TEST(LocalToUcs2, WritesBigEndianUnits) {
    EXPECT_EQ(Ucs2Of("AB"), (Bytes{0x00, 0x41, 0x00, 0x42}));
    EXPECT_EQ(Ucs2Of("你"), (Bytes{0x4F, 0x60}));
    EXPECT_EQ(Ucs2Of("\xF0\x9F\x98\x80"), (Bytes{0xD8, 0x3D, 0xDE, 0x00}));  // U+1F600
    // Bytes that are not UTF-8 become U+FFFD, as the platform converter does without flags.
    EXPECT_EQ(Ucs2Of("a\xFF"), (Bytes{0x00, 0x61, 0xFF, 0xFD}));
    // Overlong forms and encoded surrogates are not UTF-8 either: one U+FFFD per byte.
    EXPECT_EQ(Ucs2Of("\xC0\xAF"), (Bytes{0xFF, 0xFD, 0xFF, 0xFD}));
    EXPECT_EQ(Ucs2Of("\xED\xA0\x80"
                     "b"),
              (Bytes{0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0x00, 0x62}));
    // A character cut off at the end is one U+FFFD; cut off in the middle, one per byte.
    EXPECT_EQ(Ucs2Of("b\xE4\xBD"), (Bytes{0x00, 0x62, 0xFF, 0xFD}));
    EXPECT_EQ(Ucs2Of("\xE4\xBD"
                     "b"),
              (Bytes{0xFF, 0xFD, 0xFF, 0xFD, 0x00, 0x62}));
}

TEST(LocalToUcs2, RefusesMoreThan128UnitsAndLeavesOutAlone) {
    std::array<uint8_t, 256> out{};
    out.fill(0xAA);
    EXPECT_EQ(GSM::LocalToUcs2(std::string(129, 'x'), out), 0u);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(GSM::LocalToUcs2(std::string(128, 'x'), out), 256u);
}

TEST(HexCodec, EncodesUpperCaseAndDecodesEitherCase) {
    const Bytes data{0x00, 0x41, 0xE9};
    std::array<char, 7> hex{};
    EXPECT_EQ(GSM::BytesToHex(data, hex), 6u);
    EXPECT_STREQ(hex.data(), "0041E9");
    EXPECT_EQ(GSM::BytesToHexString(data), "0041E9");
    // A short buffer takes whole bytes and stays terminated.
    std::array<char, 4> small{};
    EXPECT_EQ(GSM::BytesToHex(data, small), 2u);
    EXPECT_STREQ(small.data(), "00");

    std::array<uint8_t, 3> bytes{};
    EXPECT_EQ(GSM::HexToBytes("0041E9", bytes), 3u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), data);
    EXPECT_EQ(GSM::HexToBytes("0041e9", bytes), 3u);
    EXPECT_EQ(GSM::HexToBytes("00G1", bytes), 0u);

    for (const char* text : {"4f60", "4F60"}) {
        std::array<uint8_t, 2> two{};
        EXPECT_EQ(GSM::HexStringToBytes(text, two), 2u);
        EXPECT_EQ(two[0], 0x4F);
        EXPECT_EQ(two[1], 0x60);
    }
}

TEST(Ucs2ToLocal, CrLfEndsOnlyARawReadBody) {
    const Bytes body{0x00, 0x41, 0x0D, 0x0A, 0x00, 0x42};
    std::array<char, 512> out{};
    EXPECT_EQ(ToLocal(body, out, GSM::CrLf::Ends), "A");
    // Elsewhere 0x0D0A is the letter U+0D0A.
    EXPECT_EQ(ToLocal(body, out),
              "A\xE0\xB4\x8A"
              "B");
    // At an odd offset it is not a line end.
    const Bytes odd{0x00, 0x41, 0x00, 0x0D, 0x0A, 0x42};
    EXPECT_EQ(ToLocal(odd, out, GSM::CrLf::Ends), "A\r\xE0\xA9\x82");
}

TEST(Ucs2ToLocal, AWholeMessageFitsAndLongTextIsCutAtACharacter) {
    std::array<char, 512> text{};
    const std::string seventy = ToLocal(Repeat({0x4F, 0x60}, 70), text);
    EXPECT_EQ(seventy.size(), 210u);
    // 200 three-byte characters need 600 bytes: cut to 170 of them, never emptied.
    EXPECT_EQ(ToLocal(Repeat({0x4F, 0x60}, 200), text).size(), 510u);
    std::array<char, 30> number{};
    EXPECT_EQ(ToLocal(Repeat({0x4F, 0x60}, 11), number).size(), 27u);
    // A surrogate pair is one four-byte character; a lone surrogate is "?".
    EXPECT_EQ(ToLocal({0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x21}, text), "\xF0\x9F\x98\x80!");
    EXPECT_EQ(ToLocal({0x00, 0x61, 0xD8, 0x3D, 0x00, 0x62}, text), "a?b");
    // An odd last byte is ignored.
    EXPECT_EQ(ToLocal({0x00, 0x61, 0x00}, text), "a");
}

TEST(ToGsmChar, MapsWhatPlainTextMaySend) {
    EXPECT_EQ(GSM::ToGsmChar('['), '.');
    EXPECT_EQ(GSM::ToGsmChar('@'), 0x00);
    EXPECT_EQ(GSM::ToGsmChar('$'), 0x02);
    EXPECT_EQ(GSM::ToGsmChar('_'), 0x11);
    EXPECT_EQ(GSM::ToGsmChar('\n'), 0x0D);
    EXPECT_EQ(GSM::ToGsmChar('A'), 'A');
    EXPECT_EQ(GSM::ToGsmChar('z'), 'z');
    EXPECT_EQ(GSM::ToGsmChar('~'), '.');
    EXPECT_EQ(GSM::ToGsmChar(static_cast<char>(0xC3)), '.');
}

TEST(FromGsmChar, CoversTheWholeDefaultAlphabet) {
    const std::vector<std::pair<uint8_t, std::string>> cases = {
        {0x00, "@"}, {0x01, "£"}, {0x02, "$"}, {0x05, "é"}, {0x0A, "\n"}, {0x0D, "\r"}, {0x10, "Δ"},
        {0x11, "_"}, {0x1B, "."}, {0x1F, "É"}, {0x24, "¤"}, {0x40, "¡"},  {0x41, "A"},  {0x5B, "Ä"},
        {0x5F, "§"}, {0x60, "¿"}, {0x7A, "z"}, {0x7E, "ü"}, {0x7F, "à"},  {0x80, "."},
    };
    for (const auto& [code, local] : cases) {
        EXPECT_EQ(GSM::FromGsmChar(code), local) << int{code};
    }
}

TEST(GsmToLocal, EscapeAndFollowerAreOneCharacter) {
    const Bytes codes{0x1B, 0x65, 0x1B, 0x3C, 0x1B, 0x3E, 0x1B, 0x28, 0x1B,
                      0x29, 0x1B, 0x2F, 0x1B, 0x14, 0x1B, 0x3D, 0x1B, 0x40};
    std::array<char, 64> out{};
    EXPECT_EQ(std::string(out.data(), GSM::GsmToLocal(codes, out)), "€[]{}\\^~|");
    // A follower the extension table lacks shows as its main-table character; a lone
    // trailing escape is ".".
    const Bytes odd{0x1B, 0x41, 0x62, 0x1B};
    EXPECT_EQ(std::string(out.data(), GSM::GsmToLocal(odd, out)), "Ab.");
    // A short field holds whole characters only.
    std::array<char, 4> small{};
    EXPECT_EQ(std::string(small.data(), GSM::GsmToLocal(codes, small)), "€");
}

}  // namespace
