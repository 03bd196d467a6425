// A long text's parts against another open-source SMS library's encoder (python3-gammu,
// run here only): the same cut, header, fill bits and user data, part by part.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codec/LongText.h"
#include "codec/Text.h"

namespace {

using GSM::BuildLongSubmitPdu;
using GSM::SplitLongText;

struct Part {
    int header = 0;
    std::string coding;
    std::string userData;  // length octet and data, hex
};

std::string Utf16Hex(std::u16string_view units) {
    std::string hex;
    char digits[5];
    for (const char16_t unit : units) {
        std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(unit));
        hex += digits;
    }
    return hex;
}

std::vector<Part> Independent(std::u16string_view text, bool gsm) {
    const std::string command = "/usr/bin/python3 " TARVIK_TESTS_DIR
                                "/codec/independent_concat.py " +
                                Utf16Hex(text) + (gsm ? " gsm" : " ucs2");
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string output;
    char chunk[4096];
    std::size_t n = 0;
    while (pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0) {
        output.append(chunk, n);
    }
    std::istringstream lines(output);
    std::vector<Part> parts;
    for (Part part; lines >> part.header >> part.coding >> part.userData;) {
        parts.push_back(part);
    }
    // No comparison without the other encoder: CI installs it (scripts/deps.sh).
    EXPECT_FALSE(parts.empty()) << "python3-gammu gave nothing for: " << command;
    return parts;
}

// Our parts with the reference the other encoder chose, read back the same way.
std::vector<Part> Ours(std::u16string_view text, bool gsm, int reference) {
    const std::vector<std::u16string> pieces = SplitLongText(text, gsm);
    std::vector<Part> parts;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        GSM::SubmitUnit unit;
        unit.number = "447700900123";
        unit.text = pieces[i];
        unit.gsm = gsm;
        if (pieces.size() > 1) {
            unit.concat = GSM::ConcatHeader{static_cast<uint16_t>(reference),
                                            static_cast<uint8_t>(pieces.size()),
                                            static_cast<uint8_t>(i + 1), false};
        }
        const std::string hex = BuildLongSubmitPdu(unit);
        // 00, first octet, reference, 0C 91 and six digit octets, identifier, coding, validity.
        EXPECT_GT(hex.size(), 28u);
        if (hex.size() <= 28) {
            break;
        }
        const int first = std::stoi(hex.substr(2, 2), nullptr, 16);
        parts.push_back({(first & 0x40) != 0 ? 1 : 0, hex.substr(24, 2), hex.substr(28)});
    }
    return parts;
}

void ExpectSameAsIndependent(std::u16string_view text, bool gsm, std::size_t expectedParts) {
    const std::vector<Part> theirs = Independent(text, gsm);
    ASSERT_EQ(theirs.size(), expectedParts);
    // Their reference, from the header "05 00 03 rr": the only thing left to chance.
    const int reference =
        expectedParts > 1 ? std::stoi(theirs[0].userData.substr(8, 2), nullptr, 16) : 0;
    const std::vector<Part> ours = Ours(text, gsm, reference);
    ASSERT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {
        SCOPED_TRACE("part " + std::to_string(i + 1));
        EXPECT_EQ(ours[i].header, theirs[i].header);
        EXPECT_EQ(ours[i].coding, theirs[i].coding);
        EXPECT_EQ(ours[i].userData, theirs[i].userData);
    }
}

TEST(LongTextTest, GsmPartsAtTheirBoundariesMatchAnIndependentEncoder) {
    ExpectSameAsIndependent(std::u16string(160, u'a'), true, 1);
    ExpectSameAsIndependent(std::u16string(161, u'b'), true, 2);
    ExpectSameAsIndependent(std::u16string(306, u'c'), true, 2);
    ExpectSameAsIndependent(std::u16string(307, u'd'), true, 3);
    // "@" is code 0, "€" an escape pair and "." shares its slot with the escape.
    ExpectSameAsIndependent(u"@€. " + std::u16string(200, u'e'), true, 2);
}

TEST(LongTextTest, AnEscapePairAtTheLastSeptetGoesWholeToTheNextPart) {
    const std::u16string text = std::u16string(152, u'x') + u"{" + std::u16string(10, u'y');
    const auto pieces = SplitLongText(text, true);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], std::u16string(152, u'x'));
    EXPECT_EQ(pieces[1].front(), u'{');
    ExpectSameAsIndependent(text, true, 2);
}

TEST(LongTextTest, Ucs2PartsKeepSurrogatePairsWhole) {
    const std::u16string text = std::u16string(66, u'中') + u"\U0001F600" + u"bbbbbbbbbb";
    ExpectSameAsIndependent(text, false, 2);
    ExpectSameAsIndependent(std::u16string(134, u'中'), false, 2);
    ExpectSameAsIndependent(std::u16string(135, u'中'), false, 3);
}

TEST(LongTextTest, Ucs2PartsKeepFlagsAndJoinedEmojiWhole) {
    // A flag over units 65 to 68, then a family joined by ZWJ over 65 to 72.
    const std::u16string flag = u"\U0001F1EC\U0001F1E7";
    const std::u16string family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467";
    for (const std::u16string& cluster : {flag, family}) {
        const std::u16string text = std::u16string(65, u'中') + cluster + u"tail";
        const auto pieces = SplitLongText(text, false);
        ASSERT_EQ(pieces.size(), 2u);
        EXPECT_EQ(pieces[0], std::u16string(65, u'中'));
        EXPECT_EQ(pieces[1], cluster + u"tail");
    }
    // Two flags: the cut falls between them, never inside either.
    const std::u16string text = std::u16string(63, u'中') + flag + flag + u"tail";
    EXPECT_EQ(SplitLongText(text, false)[0], std::u16string(63, u'中') + flag);
}

TEST(LongTextTest, TextsOutsideTheAlphabetOrOverAPartAreRefused) {
    EXPECT_FALSE(GSM::Utf16ToGsm(u"中").has_value());
    EXPECT_EQ(GSM::Utf16ToGsm(u"[a]")->size(), 5u);
    const std::u16string tooLong(154, u'a');
    GSM::SubmitUnit unit;
    unit.number = "447700900123";
    unit.text = tooLong;
    unit.concat = GSM::ConcatHeader{1, 2, 1, false};
    EXPECT_EQ(BuildLongSubmitPdu(unit), "");
}

}  // namespace
