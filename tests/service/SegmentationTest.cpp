// How one text becomes queued parts: coding, cut, destination and the refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ModelTable.h"
#include "service/Segmentation.h"
#include "support/TestPlatform.h"

namespace {

using GSM::CutMessage;
using GSM::OutgoingPart;

std::vector<std::string> Texts(const std::vector<OutgoingPart>& parts) {
    std::vector<std::string> texts;
    for (const auto& part : parts) {
        texts.emplace_back(part.record.text);
    }
    return texts;
}

std::vector<OutgoingPart> Cut(const std::string& text, int32_t code = GSM::kModelCommon) {
    return CutMessage(text.c_str(), "13912345678", "86", code, "+8613800100500");
}

// "中" is one UTF-16 unit, and three bytes in UTF-8 (two in GBK).
std::string Chinese(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "中";
    }
    return TestSupport::LocalText(text);
}

TEST(Segmentation, PlainTextIsCutIntoPartsOfTheModelsSize) {
    auto parts = Cut(std::string(140, 'a'));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].record.coding, GSM::kCodingPlain);

    parts = Cut(std::string(140, 'a') + "b");
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(Texts(parts), (std::vector<std::string>{std::string(140, 'a'), "b"}));

    parts = Cut(std::string(159, 'x') + std::string(141, 'y'), GSM::kModelMC8618);
    EXPECT_EQ(Texts(parts),
              (std::vector<std::string>{std::string(159, 'x'), std::string(141, 'y')}));

    parts = Cut(std::string(241, 'z'), GSM::kModelMC8332);
    EXPECT_EQ(Texts(parts),
              (std::vector<std::string>{std::string(120, 'z'), std::string(120, 'z'), "z"}));
}

TEST(Segmentation, CharactersThePlainAlphabetWouldLoseSendTheTextAsUcs2) {
    for (const std::string text : {"a@b", "line\nfeed", "cost $5", "under_score", "caf\xC3\xA9",
                                   "[x]", "a\\b", "x^2", "`q`", "{}", "a|b", "~"}) {
        const auto parts = Cut(text);
        ASSERT_EQ(parts.size(), 1u) << text;
        EXPECT_EQ(parts[0].record.coding, GSM::kCodingUcs2) << text;
        EXPECT_EQ(Texts(parts)[0], text);
    }
    // Models 10 and 11 do not map plain text through the GSM alphabet: brackets survive.
    EXPECT_EQ(Cut("[x]", GSM::kModelMC8332)[0].record.coding, GSM::kCodingPlain);
    EXPECT_EQ(Cut("a@b", GSM::kModelMC8332)[0].record.coding, GSM::kCodingUcs2);
    // Some models take everything as UCS2.
    EXPECT_EQ(Cut("hello", GSM::kModelLQCIT)[0].record.coding, GSM::kCodingUcs2);
    EXPECT_EQ(Cut("hello", GSM::kModelUC20)[0].record.coding, GSM::kCodingUcs2);
    EXPECT_EQ(Cut("Hello, world! 1+1=2 (ok)?", GSM::kModelCommon)[0].record.coding,
              GSM::kCodingPlain);
}

TEST(Segmentation, Ucs2TextIsCutByUtf16UnitsAndKeepsWholeCharacters) {
    auto parts = Cut(Chinese(71));
    EXPECT_EQ(Texts(parts), (std::vector<std::string>{Chinese(70), Chinese(1)}));
    parts = Cut(Chinese(71), GSM::kModelMC8332);
    EXPECT_EQ(Texts(parts), (std::vector<std::string>{Chinese(60), Chinese(11)}));
    parts = Cut(Chinese(140), GSM::kModelMC8618);
    EXPECT_EQ(Texts(parts), (std::vector<std::string>{Chinese(69), Chinese(69), Chinese(2)}));

    // An emoji (a surrogate pair) at units 70 and 71 starts the second part instead of
    // being split across two.
    const std::string emoji = "\xF0\x9F\x98\x80";
    parts = Cut(Chinese(69) + emoji + "ab");
    EXPECT_EQ(Texts(parts), (std::vector<std::string>{Chinese(69), emoji + "ab"}));
    // Ending exactly at unit 70, it stays in the first part.
    parts = Cut(Chinese(68) + emoji);
    EXPECT_EQ(Texts(parts), (std::vector<std::string>{Chinese(68) + emoji}));
    // Seventy four-byte characters fill 280 bytes of a part: nothing is cut.
    std::string emojis;
    for (int i = 0; i < 35; ++i) {
        emojis += emoji;
    }
    EXPECT_EQ(Texts(Cut(emojis)), (std::vector<std::string>{emojis}));
}

TEST(Segmentation, InvalidUtf8IsReplacedNotDropped) {
    const auto parts = Cut("ab\xFF");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].record.coding, GSM::kCodingUcs2);
    EXPECT_EQ(Texts(parts)[0], "ab\xEF\xBF\xBD");
}

TEST(Segmentation, TheDestinationKeepsTheCallersNumberWhole) {
    struct Case {
        const char* number;
        const char* prefix;
        std::string field;
        int prefixLength;
    };
    for (const Case& c :
         {Case{"13912345678", "86", "8613912345678", 2},
          Case{"13912345678", nullptr, "13912345678", 2}, Case{"13912345678", "", "13912345678", 2},
          Case{"2025550100", "1", "12025550100", 1}, Case{"2025550100", "001", "0012025550100", 3},
          Case{"+447700900123", "86", "+447700900123", 0}, Case{"7", nullptr, "7", 1}}) {
        const auto parts = CutMessage("hi", c.number, c.prefix, GSM::kModelCommon, "");
        ASSERT_EQ(parts.size(), 1u) << c.number;
        EXPECT_EQ(std::string(parts[0].record.number), c.field);
        EXPECT_EQ(parts[0].prefixLength, c.prefixLength) << c.field;
    }
}

TEST(Segmentation, EveryPartCarriesTheServiceCentreAndAClearRecord) {
    const auto parts = CutMessage(std::string(300, 'q').c_str(), "123", "86", GSM::kModelCommon,
                                  "+8613800100500123456789012345678901");
    ASSERT_EQ(parts.size(), 3u);
    for (const auto& part : parts) {
        EXPECT_EQ(std::string(part.record.serviceCentre), "+8613800100500123456789012345");
        EXPECT_EQ(part.record.protocolId, 0);
        EXPECT_EQ(part.record.timestamp[0], '\0');
        EXPECT_EQ(part.record.tag, 0);
    }
}

TEST(Segmentation, UnusableInputQueuesNothing) {
    const std::string longNumber(28, '1');
    EXPECT_TRUE(CutMessage(nullptr, "123", "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("", "123", "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", nullptr, "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", "", "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", "+", "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", "139 1234", "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", "12+34", "86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", "123", "+86", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", "123", "8a", 9, "").empty());
    // 29 characters fit; 30 would have to be cut, so they are refused.
    EXPECT_FALSE(CutMessage("hi", longNumber.c_str(), "8", 9, "").empty());
    EXPECT_TRUE(CutMessage("hi", longNumber.c_str(), "86", 9, "").empty());
    // More parts than the queue could ever hold.
    EXPECT_EQ(Cut(std::string(500 * 140, 'a')).size(), 500u);
    EXPECT_TRUE(Cut(std::string(500 * 140 + 1, 'a')).empty());
    EXPECT_TRUE(Cut(Chinese(500 * 70 + 1)).empty());
}

}  // namespace
