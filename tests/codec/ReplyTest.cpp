// Final results and the prompt, as the engine decides on them.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "codec/Reply.h"

namespace {

using GSM::ClassifyReply;
using GSM::Precedence;
using GSM::ReplyKind;

TEST(Reply, TheWordsCountAnywhereAndThePrecedenceDecidesWhenBothAppear) {
    struct Row {
        const char* reply;
        ReplyKind okFirst;
        ReplyKind errorFirst;
    };
    const Row rows[] = {
        {"\r\nOK\r\n", ReplyKind::Ok, ReplyKind::Ok},
        {"\r\nERROR\r\n", ReplyKind::Error, ReplyKind::Error},
        {"\r\n+CMS ERROR: 500\r\n", ReplyKind::Error, ReplyKind::Error},
        {"\r\n+CME ERROR: 10\r\n", ReplyKind::Error, ReplyKind::Error},
        // An echo or an earlier burst in the buffer can put both into one reply.
        {"\r\nERROR\r\n\r\nOK\r\n", ReplyKind::Ok, ReplyKind::Error},
        {"+CSCA: \"+8613800100500\",145\r\nOK\r\nERROR", ReplyKind::Ok, ReplyKind::Error},
        // Information on the result's line still counts.
        {"460001234567890 OK", ReplyKind::Ok, ReplyKind::Ok},
        {"\r\n+CPIN: READY\r\n", ReplyKind::None, ReplyKind::None},
        {"", ReplyKind::None, ReplyKind::None},
        // Case counts, and a word cut by the burst's end is not yet there.
        {"\r\nok\r\n", ReplyKind::None, ReplyKind::None},
        {"\r\nO", ReplyKind::None, ReplyKind::None},
        {"\r\nERRO", ReplyKind::None, ReplyKind::None},
        {"\r\n> ", ReplyKind::Prompt, ReplyKind::Prompt},
        // The prompt is the whole reply or no prompt.
        {"\r\n> x", ReplyKind::None, ReplyKind::None},
        {"> ", ReplyKind::None, ReplyKind::None},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ClassifyReply(row.reply), row.okFirst) << row.reply;
        EXPECT_EQ(ClassifyReply(row.reply, Precedence::OkFirst), row.okFirst) << row.reply;
        EXPECT_EQ(ClassifyReply(row.reply, Precedence::ErrorFirst), row.errorFirst) << row.reply;
    }
}

TEST(Reply, AFinalResultLineIsTheResultAlone) {
    for (const char* line : {"OK", "ERROR", "+CMS ERROR: 321", "+CME ERROR: 3", "+CMS ERROR"}) {
        EXPECT_TRUE(GSM::IsFinalResultLine(line)) << line;
    }
    // A body that mentions a result, a result with its line end or blank, a lower-case word.
    for (const char* line : {"", "OK then", " OK", "OK\r", "ok", "NO ERROR", "+CMGL: 1,0,,25"}) {
        EXPECT_FALSE(GSM::IsFinalResultLine(line)) << line;
    }
}

TEST(Reply, ThePromptCountsAloneOrRightBehindTheEcho) {
    const char* command = "AT+CMGS=25\r";
    struct Row {
        const char* burst;
        bool prompt;
    };
    const Row rows[] = {
        {"\r\n> ", true},
        {"AT+CMGS=25\r\r\n> ", true},
        // Behind the echo, what follows the prompt does not matter.
        {"AT+CMGS=25\r\r\n> \r\n+CREG: 1", true},
        {"\r\n> \r\n", false},
        {"AT+CMGS=25\r\r\nERROR\r\n", false},
        {"AT+CMGS=25\r", false},
        {"AT+CMGS=26\r\r\n> x", false},
        {"", false},
        {"\r\nOK\r\n\r\n> ", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GSM::ShowsPrompt(row.burst, command), row.prompt) << row.burst;
    }
}

TEST(Reply, AUcs2NumberIsDecodedOnlyWhenEveryGroupIsADigitOrPlus) {
    struct Row {
        const char* text;
        const char* number;
    };
    const Row rows[] = {
        {"002B0038003600310033", "+8613"},
        {"0031003200330034", "1234"},
        {"002b00380036", "+86"},  // lower-case hex digits
        // Too short, not whole groups, or a group that is no digit: as the modem gave it.
        {"0031", "0031"},
        {"", ""},
        {"003100320033003", "003100320033003"},
        {"0031004100320033", "0031004100320033"},
        {"0031012300320033", "0031012300320033"},
        {"0031003G", "0031003G"},
        {"002D0031", "002D0031"},
        {"13800100500", "13800100500"},
        {"+8613800100500", "+8613800100500"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GSM::DecodeUcs2Number(row.text), row.number) << row.text;
    }
}

TEST(Reply, TheServiceCentreIsWhatTheQuotesOnTheTagsLineHold) {
    struct Row {
        std::string reply;
        bool parsed;
        std::string number;
        bool international;
    };
    const std::string sixtyThree(63, '1');
    const Row rows[] = {
        {"\r\n+CSCA: \"+8613800100500\",145\r\n\r\nOK\r\n", true, "8613800100500", true},
        {"+CSCA: \"13800100500\", 129", true, "13800100500", false},
        // The type may follow after blanks and commas; a plus sign alone says international.
        {"+CSCA: \"13800100500\" ,, 145", true, "13800100500", true},
        {"+CSCA: \"+13800100500\",129", true, "13800100500", true},
        // A type on the next line, or cut short, is no type.
        {"+CSCA: \"13800100500\",\r\n145", true, "13800100500", false},
        {"+CSCA: \"13800100500\",14", true, "13800100500", false},
        // What comes before the tag does not count.
        {"\"99\"\r\n+CSCA: \"123\",129", true, "123", false},
        // UCS2 groups of digits and a plus are decoded; other groups stay as they are.
        {"+CSCA: \"002B00310032\",145", true, "12", true},
        {"+CSCA: \"00410031\",129", true, "00410031", false},
        {"+CSCA: \"002B0031003\",129", true, "002B0031003", false},
        {"+CSCA: \"" + sixtyThree + "\",129", true, sixtyThree, false},
        {"+CSCA: \"" + sixtyThree + "1\",129", false, "", false},
        {"+CSCA: \"+\",145", false, "", false},
        {"+CSCA: \"\",145", false, "", false},
        // Both quotes must stand on the tag's line.
        {"+CSCA: \"123\r\n\",145", false, "", false},
        {"+CSCA: 123,129\r\n\"456\"", false, "", false},
        {"+CSCA \"123\",129", false, "", false},
        {"\r\nOK\r\n", false, "", false},
    };
    for (const Row& row : rows) {
        std::array<char, 64> number;
        number.fill('x');
        bool international = !row.international;
        ASSERT_EQ(GSM::ParseServiceCentre(row.reply, number, &international), row.parsed)
            << row.reply;
        if (row.parsed) {
            EXPECT_EQ(std::string(number.data()), row.number) << row.reply;
            EXPECT_EQ(number.back(), '\0') << row.reply;
            EXPECT_EQ(international, row.international) << row.reply;
        } else {
            EXPECT_EQ(number.front(), 'x') << row.reply;
        }
    }
    std::array<char, 64> number{};
    EXPECT_TRUE(GSM::ParseServiceCentre("+CSCA: \"+1\",145", number, nullptr));
}

TEST(Reply, TheSubscriberIdentityIsTheFirstRunOfFiveDigitsOrMore) {
    struct Row {
        const char* reply;
        const char* identity;
    };
    const Row rows[] = {
        {"\r\n460001234567890\r\n\r\nOK\r\n", "460001234567890"},
        {"234101234567890", "234101234567890"},
        // Shorter runs before it, an echo's digits among them, are passed over.
        {"AT+CIMI\r\r\n1234 +CIMI: 46000123\r\nOK", "46000123"},
        {"12-34567", "34567"},
        {"x12345", "12345"},
        {"\r\n1234\r\nOK\r\n", ""},
        {"\r\nOK\r\n", ""},
        {"", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GSM::SubscriberIdentity(row.reply), row.identity) << row.reply;
    }
}

}  // namespace
