// The command line's own logic: its options, its JSON lines, its reading of replies and
// the matching of reports to messages.
#include <gtest/gtest.h>

#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include "Format.h"
#include "LocalText.h"
#include "Options.h"
#include "PortHolder.h"
#include "Tracker.h"

namespace {

using namespace TarvikCli;

ParsedOptions Parse(std::initializer_list<const char*> words) {
    return ParseOptions(std::vector<std::string>(words.begin(), words.end()));
}

TEST(OptionsTest, ASendTakesItsOptionsAnywhereAndTheWordsInOrder) {
    const ParsedOptions parsed =
        Parse({"send", "13800138000", "--port", "7", "hello", "--prefix", "1", "-5", "--", "--x"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const Options& o = *parsed.options;
    EXPECT_EQ(o.verb, Verb::Send);
    EXPECT_EQ(o.port, 7);
    EXPECT_EQ(o.baud, kDefaultBaud);
    EXPECT_EQ(o.prefix, "1");
    EXPECT_EQ(o.words, (std::vector<std::string>{"13800138000", "hello", "-5", "--x"}));

    const ParsedOptions bare = Parse({"send", "--port", "1", "--no-prefix", "123"});
    ASSERT_TRUE(bare.options);
    EXPECT_FALSE(bare.options->prefix.has_value());
    EXPECT_EQ(Parse({"send", "--port", "1", "123"}).options->prefix, kDefaultPrefix);
}

TEST(OptionsTest, BadCommandLinesSayWhatIsWrong) {
    const struct {
        std::initializer_list<const char*> words;
        const char* says;
    } cases[] = {
        {{}, "command is missing"},
        {{"fly", "--port", "1"}, "unknown command 'fly'"},
        {{"receive"}, "--port is missing"},
        {{"receive", "--port", "0"}, "1 to 1024"},
        {{"receive", "--port", "1025"}, "1 to 1024"},
        {{"receive", "--port", "7x"}, "1 to 1024"},
        {{"receive", "--port"}, "--port needs a value"},
        {{"receive", "--port", "1", "--format", "xml"}, "text or json"},
        {{"receive", "--port", "1", "--idle", "0"}, "--idle"},
        {{"receive", "--port", "1", "--prefix", "1"}, "'receive' has no option --prefix"},
        {{"receive", "--port", "1", "stray"}, "takes no argument 'stray'"},
        {{"send", "--port", "1"}, "NUMBER to send to is missing"},
        {{"send", "--port", "1", "--prefix", "+1", "2"}, "--prefix takes digits"},
        {{"send", "--port", "1", "--prefix", "1", "--no-prefix", "2"}, "exclude each other"},
        {{"send", "--port", "1", "--timeout", "0", "2"}, "--timeout"},
        {{"at", "--port", "1"}, "COMMAND is missing"},
        {{"at", "--port", "1", "--wait", "-1", "AT"}, "--wait"},
        {{"serve", "--port", "1", "--follow"}, "'serve' has no option --follow"},
        {{"serve", "--port", "1", "--device", "/dev/ttyUSB2"}, "exclude each other"},
        {{"serve", "--device", ""}, "--device needs the device's path"},
        {{"ports", "--port", "1"}, "'ports' has no option --port"},
    };
    for (const auto& c : cases) {
        const ParsedOptions parsed = Parse(c.words);
        EXPECT_FALSE(parsed.options) << c.says;
        EXPECT_NE(parsed.error.find(c.says), std::string::npos) << parsed.error;
    }
}

TEST(OptionsTest, ADeviceStandsForThePortAndPortsNeedsNeither) {
    const ParsedOptions device = Parse({"serve", "--device", "/dev/serial/by-id/usb-X-port0"});
    ASSERT_TRUE(device.options) << device.error;
    EXPECT_EQ(device.options->device, "/dev/serial/by-id/usb-X-port0");
    EXPECT_EQ(LineName(*device.options), "device /dev/serial/by-id/usb-X-port0");
    const ParsedOptions ports = Parse({"ports", "--format", "json", "/tmp/a", "/tmp/b"});
    ASSERT_TRUE(ports.options) << ports.error;
    EXPECT_TRUE(ports.options->json);
    EXPECT_EQ(ports.options->words, (std::vector<std::string>{"/tmp/a", "/tmp/b"}));
}

TEST(OptionsTest, QuickRepliesUnlessPaced) {
    EXPECT_FALSE(Parse({"send", "--port", "3", "139", "hi"}).options->paced);
    for (const std::vector<const char*>& words :
         std::vector<std::vector<const char*>>{{"send", "--paced", "--port", "3", "139", "hi"},
                                               {"receive", "--port", "3", "--paced"},
                                               {"serve", "--paced", "--port", "3"},
                                               {"at", "--paced", "--port", "3", "AT"},
                                               {"identify", "--port", "3", "--paced"}}) {
        const char* verb = words[0];
        const ParsedOptions parsed =
            ParseOptions(std::vector<std::string>(words.begin(), words.end()));
        ASSERT_TRUE(parsed.options) << verb << ": " << parsed.error;
        EXPECT_TRUE(parsed.options->paced) << verb;
    }
    EXPECT_NE(UsageText("").find("--paced"), std::string::npos);
}

TEST(OptionsTest, APinIsFourToEightDigitsAndNeverEchoed) {
    EXPECT_FALSE(Parse({"send", "--port", "3", "139", "hi"}).options->pin);
    EXPECT_EQ(Parse({"identify", "--port", "3", "--pin", "0042"}).options->pin, "0042");
    EXPECT_EQ(Parse({"serve", "--pin", "12345678", "--port", "3"}).options->pin, "12345678");
    for (const char* bad : {"123", "123456789", "12a4", "", "1234\r\nAT"}) {
        const ParsedOptions parsed = Parse({"identify", "--port", "3", "--pin", bad});
        EXPECT_FALSE(parsed.options) << bad;
        // The refusal does not repeat what was given: it may be a real PIN, mistyped.
        EXPECT_EQ(parsed.error.find(bad[0] == '\0' ? "''" : bad), std::string::npos) << bad;
    }
    EXPECT_NE(UsageText("").find("--pin"), std::string::npos);
}

TEST(OptionsTest, HelpNamesEveryOptionTheParserTakes) {
    EXPECT_EQ(Parse({"--help"}).options->verb, Verb::Help);
    EXPECT_EQ(Parse({"send", "--help"}).options->verb, Verb::Help);
    const struct {
        const char* verb;
        std::vector<const char*> options;
    } verbs[] = {
        {"send", {"--port", "--baud", "--prefix", "--no-prefix", "--timeout", "--received"}},
        {"receive", {"--port", "--baud", "--follow", "--format", "--idle"}},
        {"serve", {"--port", "--baud"}},
        {"at", {"--port", "--baud", "--wait", "--received"}},
        {"identify", {"--port", "--baud", "--received"}},
    };
    for (const auto& v : verbs) {
        const std::string help = UsageText(v.verb);
        EXPECT_NE(help.find(std::string("tarvik ") + v.verb), std::string::npos);
        for (const char* option : v.options) {
            EXPECT_NE(help.find(option), std::string::npos) << v.verb << " " << option;
        }
    }
}

TEST(LocalTextTest, OnlyWellFormedUtf8IsLocalText) {
    EXPECT_TRUE(IsLocalText(""));
    EXPECT_TRUE(IsLocalText("plain, 你好, 😀, ü"));
    for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                            "\xf4\x90\x80\x80", "a\x80", "\xe4\xbd"}) {
        EXPECT_FALSE(IsLocalText(bad)) << bad;
    }
}

TEST(FormatTest, AMessageStaysOnOneLineInBothFormats) {
    const Received message{
        "+8613800138000", "2026-12-08 10:00:00", "a\tb\\c\r\nd \"q\"", {}, 1, {}, {}};
    EXPECT_EQ(TextLine(message), "2026-12-08 10:00:00\t+8613800138000\ta\\tb\\\\c\\r\\nd \"q\"\n");
    EXPECT_EQ(JsonLine(message),
              "{\"number\":\"+8613800138000\",\"time\":\"2026-12-08 10:00:00\","
              "\"text\":\"a\\tb\\\\c\\r\\nd \\\"q\\\"\"}\n");
    EXPECT_EQ(OneLine("\r\n+CMS ERROR: 500\r\n\r\nmore\r\n"), "+CMS ERROR: 500 more");
}

TEST(FormatTest, OnlyAStartThatFailedAtTheSimWaitsForAPerson) {
    for (const char* locked :
         {"SIM PIN required: the SIM waits for its PIN", "SIM PIN refused: the SIM did not",
          "SIM PIN not entered: the SIM allows only one more try", "SIM PUK required: ...",
          "No SIM card: the modem reports no SIM inserted"}) {
        EXPECT_TRUE(StartFailedAtSim(locked)) << locked;
    }
    // Still starting, or no SIM matter at all: a later start may do.
    for (const char* later : {"SIM not ready: the SIM is still starting", "", "No answer to AT",
                              "the modem said SIM PIN refused"}) {
        EXPECT_FALSE(StartFailedAtSim(later)) << later;
    }
}

TEST(FormatTest, NumbersTheLibraryCannotAddressAreCaughtFirst) {
    const std::optional<std::string> prefix = "86";
    EXPECT_EQ(NumberProblem("13800138000", prefix), "");
    EXPECT_EQ(NumberProblem("+8613800138000", prefix), "");
    EXPECT_EQ(NumberProblem(std::string(27, '1'), prefix), "");
    EXPECT_NE(NumberProblem(std::string(28, '1'), prefix).find("too long"), std::string::npos);
    EXPECT_EQ(NumberProblem(std::string(29, '1'), std::nullopt), "");
    EXPECT_EQ(NumberProblem("+" + std::string(28, '1'), prefix), "");
    for (const char* bad : {"", "+", "12-34", "1 2", "++1", "1+2"}) {
        EXPECT_NE(NumberProblem(bad, prefix).find("is not a number"), std::string::npos) << bad;
    }
}

TEST(FormatTest, QueryAnswersAreFoundAmongEchoesAndStatusLines) {
    std::string status;
    EXPECT_EQ(AnswerOf("AT+CGMM", "AT+CGMM\r\r\n^RSSI:17\r\nMU609\r\n\r\nOK\r\n", status), "MU609");
    EXPECT_EQ(status, "OK");
    EXPECT_EQ(AnswerOf("AT+CGMM", "\r\n+CGMM: EC20F\r\nOK\r\n", status), "EC20F");
    EXPECT_EQ(AnswerOf("AT+COPS?", "\r\n+CREG: 1\r\n+COPS: 0,2,\"46000\",7\r\nOK\r\n", status),
              "0,2,\"46000\",7");
    EXPECT_EQ(AnswerOf("AT+CSQ", "\r\nERROR\r\n", status), "");
    EXPECT_EQ(status, "ERROR");
    EXPECT_EQ(AnswerOf("AT+CSQ", "\r\n+CSQ: 23,99\r\n", status), "");  // no final result yet
    EXPECT_EQ(status, "");
    EXPECT_EQ(AnswerOf("AT+CSQ", "\r\n+CME ERROR: 10\r\n", status), "");
    EXPECT_EQ(status, "+CME ERROR: 10");

    EXPECT_EQ(OperatorOf("0,2,\"46000\",7"), "46000");
    EXPECT_EQ(OperatorOf("0"), "0");
    EXPECT_EQ(SignalOf("23,99"), "23 (-67 dBm)");
    EXPECT_EQ(SignalOf("0,0"), "0 (-113 dBm)");
    EXPECT_EQ(SignalOf("99,99"), "99 (not known)");
    EXPECT_EQ(SignalOf("40,0"), "40,0");
    EXPECT_EQ(SignalOf("x"), "x");
}

SendReport ReportOf(int32_t sequence, const std::string& text, int32_t result = 1) {
    SendReport report{};
    report.sequence = TagOf(sequence);
    std::memcpy(report.text, text.data(), text.size());
    report.result = result;
    return report;
}

TEST(TrackerTest, AMessageIsDoneWhenItsPartsAddUpToItsText) {
    CTracker tracker;
    tracker.Queued(7, "abcdef", "\"first\"");
    tracker.Queued(8, "xyz");
    PartOutcome one = tracker.Report(ReportOf(7, "abc"));
    EXPECT_TRUE(one.known);
    EXPECT_EQ(one.part, 1);
    EXPECT_FALSE(one.complete);
    EXPECT_EQ(one.message.id, "\"first\"");
    PartOutcome two = tracker.Report(ReportOf(7, "def", 0));
    EXPECT_EQ(two.part, 2);
    EXPECT_TRUE(two.complete);
    EXPECT_FALSE(two.accepted);
    EXPECT_EQ(two.message.partsAccepted, 1);
    EXPECT_EQ(tracker.Count(), 1u);
    EXPECT_FALSE(tracker.Report(ReportOf(9, "xyz")).known);
    EXPECT_TRUE(tracker.Report(ReportOf(8, "xyz")).complete);
    EXPECT_TRUE(tracker.Empty());
}

TEST(TrackerTest, TagsPastOneHundredAndTwentySevenAndPastTwoHundredAndFiftyFiveStillMatch) {
    EXPECT_EQ(TagOf(130), -126);
    EXPECT_EQ(TagOf(256), 0);
    EXPECT_EQ(TagOf(257), 1);
    CTracker tracker;
    for (int32_t sequence = 200; tracker.Count() < kMostInFlight; ++sequence) {
        tracker.Queued(sequence, "t" + std::to_string(sequence));
    }
    EXPECT_TRUE(tracker.Full());
    const PartOutcome outcome = tracker.Report(ReportOf(300, "t300"));
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.message.sequence, 300);
}

}  // namespace

#ifndef _WIN32
TEST(PortHolderTest, AnotherProcessHoldingADeviceIsNamedAndNoneOtherwise) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    // Open here, but neither locked nor exclusive: nobody keeps it to themselves.
    const int mine = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(mine, 0);
    EXPECT_EQ(PortHolders(device), "");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int held = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        ::flock(held, LOCK_EX);
        ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
        ::_exit(held >= 0 ? 126 : 127);
    }
    const std::string expected = "sleep (pid " + std::to_string(child) + ")";
    std::string seen;
    for (int i = 0; i < 2000 && seen != expected; ++i) {
        seen = PortHolders(device);
        ::usleep(5000);
    }
    EXPECT_EQ(seen, expected);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(mine);
    ::close(master);
    EXPECT_EQ(PortHolders("/nonexistent/tty"), "");
}
#endif
