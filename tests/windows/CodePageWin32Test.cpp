// The codec in the system's ANSI code page, under Wine: the CodePage936 cases run with
// LANG=zh_CN.UTF-8, the CodePage1252 ones with LANG=en_US.UTF-8. A case in the wrong code
// page fails: an ungenerated locale silently gives 1252.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "codec/Fields.h"
#include "codec/LocalCodePage.h"
#include "codec/Text.h"

namespace {

#define REQUIRE_CODE_PAGE(page) ASSERT_EQ(GetACP(), static_cast<UINT>(page))
const std::string kGbkChinese = "\xD6\xD0\xCE\xC4";  // 中文

TEST(CodePage936, GbkTextBecomesItsUnitsAndBack) {
    REQUIRE_CODE_PAGE(936);
    EXPECT_EQ(GSM::LocalToUtf16(kGbkChinese), u"中文");
    EXPECT_EQ(GSM::Utf16ToLocal(u"中文"), kGbkChinese);
    std::array<uint8_t, 16> ucs2{};
    ASSERT_EQ(GSM::LocalToUcs2(kGbkChinese, ucs2), 4u);
    EXPECT_EQ(GSM::BytesToHexString(std::span(ucs2).first(4)), "4E2D6587");
}

TEST(CodePage936, CharactersGbkLacksBecomeItsDefaultAndTheRestArrives) {
    REQUIRE_CODE_PAGE(936);
    EXPECT_EQ(GSM::Utf16ToLocal(u"中한X"), "\xD6\xD0?X");
}

// GBK has ü and é but not their capitals, nor £ ¥ ² Ý µ; the converter would pick ü é ￡ ￥ 2 Y μ.
TEST(CodePage936, CharactersGbkLacksGetNoLookAlikes) {
    REQUIRE_CODE_PAGE(936);
    EXPECT_EQ(GSM::Utf16ToLocal(u"ÜüÉé£¥²Ýµ中"),
              "?\xA8\xB9?\xA8\xA6?????"
              "\xD6\xD0");
    // The GSM alphabet's own Ü and £, received in 7-bit messages.
    EXPECT_EQ(GSM::FromGsmChar(0x5E), "?");
    EXPECT_EQ(GSM::FromGsmChar(0x01), "?");
    EXPECT_EQ(GSM::FromGsmChar(0x7E), "\xA8\xB9");  // ü
}

TEST(CodePage936, BytesThatAreNoCharacterAreSentAsReplacementsAndOnlyThey) {
    REQUIRE_CODE_PAGE(936);
    // A lead byte without its trail byte, at the end and before a space: the space stays.
    EXPECT_EQ(GSM::LocalToUtf16("A\x81"), u"A?");
    EXPECT_EQ(GSM::LocalToUtf16("\x81 B"), u"? B");
    // A byte GBK has no row for is no private-use character either; 0x80 is the euro sign.
    EXPECT_EQ(GSM::LocalToUtf16("\xFF\x80" + kGbkChinese), u"?€中文");
    std::array<uint8_t, 16> ucs2{};
    EXPECT_EQ(GSM::LocalToUcs2("\x81", ucs2), 2u);
}

// A full UCS2 message of 70 Chinese characters takes 140 bytes in GBK: nothing is cut.
TEST(CodePage936, AWholeMessageOfChineseFitsItsRecord) {
    REQUIRE_CODE_PAGE(936);
    std::array<uint8_t, 140> ucs2{};
    for (std::size_t i = 0; i < ucs2.size(); i += 2) {
        ucs2[i] = 0x4E;  // 中
        ucs2[i + 1] = 0x2D;
    }
    std::array<char, 512> text{};
    ASSERT_EQ(GSM::Ucs2ToLocal(ucs2, text), 140u);
    for (std::size_t i = 0; i < 140; i += 2) {
        ASSERT_EQ(std::string(text.data() + i, 2), "\xD6\xD0");
    }
}

// A field cut falls between two characters, never between a lead and its trail byte, even
// where a trail byte looks like a lead byte.
TEST(CodePage936, AFieldIsCutBetweenCharacters) {
    REQUIRE_CODE_PAGE(936);
    std::array<char, 6> field{};
    EXPECT_EQ(GSM::Fields::Copy(field, "A" + kGbkChinese + kGbkChinese), 5u);
    EXPECT_EQ(std::string(field.data()), "A" + kGbkChinese);
    EXPECT_EQ(GSM::CodePage::BoundaryBefore("\xB6\xB6\xB6\xB6", 3), 2u);
    EXPECT_EQ(GSM::CodePage::MaxBytesPerUnit(), 2u);
}

TEST(CodePage1252, WesternTextBecomesItsUnitsAndBack) {
    REQUIRE_CODE_PAGE(1252);
    const std::string text =
        "Gr\xFC\xDF"
        "e \x80";
    EXPECT_EQ(GSM::LocalToUtf16(text), u"Grüße €");
    EXPECT_EQ(GSM::Utf16ToLocal(u"Grüße €"), text);
    EXPECT_EQ(GSM::Utf16ToLocal(u"Grüße 中"),
              "Gr\xFC\xDF"
              "e ?");
    EXPECT_EQ(GSM::CodePage::MaxBytesPerUnit(), 1u);
}

// 1252 lacks Ā ł ő ∞ Ａ; the converter would pick A l o 8 A.
TEST(CodePage1252, CharactersItLacksGetNoLookAlikes) {
    REQUIRE_CODE_PAGE(1252);
    EXPECT_EQ(GSM::Utf16ToLocal(u"ĀłőÉ∞Ａ中☃"), "???\xC9????");
    EXPECT_EQ(GSM::LocalToUtf16("\x81\xC9"), u"\u0081É");  // every byte has its row
}

// The GSM alphabet is shown in the code page: £ and the extension table's euro sign.
TEST(CodePage1252, TheGsmAlphabetIsInTheCodePage) {
    REQUIRE_CODE_PAGE(1252);
    EXPECT_EQ(GSM::FromGsmChar(0x01), "\xA3");
    EXPECT_EQ(GSM::FromGsmChar(0x7F), "\xE0");
    EXPECT_EQ(GSM::FromGsmExtensionChar(0x65), "\x80");
    EXPECT_EQ(GSM::FromGsmChar(0x10), "?");  // Δ has no place in 1252
    const std::array<uint8_t, 3> codes = {0x1B, 0x65, 0x41};
    std::array<char, 8> out{};
    EXPECT_EQ(GSM::GsmToLocal(codes, out), 2u);
    EXPECT_EQ(std::string(out.data()),
              "\x80"
              "A");
}

}  // namespace
