// Quorrel's core against the stand-in libraries, through a view that records what a window
// would show: the texts read from the window, the calls into the library, the lines of the
// boxes, the buttons and the timers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include "QuorrelCore.h"
#include "StubRecords.h"
#include "StubState.h"

using namespace quorrel;

namespace {

class FakeView final : public IView {
public:
    std::string port = kDefaultPort;
    std::string baud = kDefaultBaud;
    bool rts = false;
    bool quick = false;
    bool areaCode = true;
    std::string number;
    std::string text;
    std::map<Box, std::string> boxes;
    Buttons buttons{};
    // Interval of each running timer; the order of starts and stops.
    std::map<Timer, int> timers;
    std::vector<std::string> timerEvents;
    std::vector<std::string> warnings;

    std::string PortText() const override { return port; }
    std::string BaudText() const override { return baud; }
    bool RtsChecked() const override { return rts; }
    bool QuickChecked() const override { return quick; }
    bool AreaCodeChecked() const override { return areaCode; }
    std::string NumberText() const override { return number; }
    std::string MessageText() const override { return text; }
    std::string BoxText(Box box) const override {
        const auto found = boxes.find(box);
        return found == boxes.end() ? std::string() : found->second;
    }
    void ShowBoxText(Box box, const std::string& value) override { boxes[box] = value; }
    void EnableButtons(const Buttons& value) override { buttons = value; }
    void StartTimer(Timer timer, int intervalMs) override {
        timers[timer] = intervalMs;
        timerEvents.push_back("start " + std::to_string(static_cast<int>(timer)));
    }
    void StopTimer(Timer timer) override {
        timers.erase(timer);
        timerEvents.push_back("stop " + std::to_string(static_cast<int>(timer)));
    }
    void Warn(const std::string& value) override { warnings.push_back(value); }

    std::string Log() const { return BoxText(Box::Log); }
    std::string Received() const { return BoxText(Box::Receive); }
};

// The stand-in in a folder of its own, loaded as the window loads the library, reset.
StubState& FreshStub(const CTarvikLibrary& library) {
    auto* state = library.Find<decltype(QuorrelStubState)>("QuorrelStubState");
    if (state == nullptr) {
        ADD_FAILURE() << "no stand-in library";
        std::abort();
    }
    *state() = StubState{};
    return *state();
}

const CTarvikLibrary& Library(const char* stub) {
    static std::map<std::string, CTarvikLibrary> loaded;
    return loaded.try_emplace(stub, std::string(STUB_ROOT "/") + stub).first->second;
}

// A window on the full stand-in, as a user meets it after it opened.
struct Window {
    explicit Window(bool chineseUi = false, const char* stubName = "quorrel_stub_full")
        : library(Library(stubName)), stub(FreshStub(library)), core(view, library, chineseUi) {
        core.Initialise();
    }
    const CTarvikLibrary& library;
    StubState& stub;
    FakeView view;
    CQuorrelCore core;
};

}  // namespace

TEST(QuorrelTexts, PortAndBaudTextsAsAtoiReadsThem) {
    EXPECT_EQ(ParsePortNumber("COM10"), 10);
    EXPECT_EQ(ParsePortNumber("XYZ7"), 7);
    EXPECT_EQ(ParsePortNumber("COM 12x"), 12);
    EXPECT_EQ(ParsePortNumber("COM-3"), -3);
    EXPECT_EQ(ParsePortNumber("COM99999999999"), INT_MAX);
    EXPECT_EQ(ParsePortNumber("COM-99999999999"), INT_MIN);
    // The first three characters, not bytes, are passed over.
    EXPECT_EQ(ParsePortNumber("串口5"), 0);
    EXPECT_EQ(ParsePortNumber("串口 5"), 5);
    EXPECT_EQ(ParsePortNumber("COM5 (ttyS4)"), 5);
    EXPECT_EQ(ParsePortNumber("1234"), 4);
    for (const char* nothing : {"", "C", "COM", "COMx", "COM0", "COM+"}) {
        EXPECT_EQ(ParsePortNumber(nothing), 0) << nothing;
    }
    EXPECT_EQ(LeadingNumber(" \t57600 bps"), 57600);
    EXPECT_EQ(LeadingNumber("abc"), 0);
    EXPECT_EQ(LeadingNumber("+9600"), 9600);
    EXPECT_EQ(LeadingNumber("- 5"), 0);
}

TEST(QuorrelTexts, ChineseLanguagesAreThreeOnly) {
    for (uint16_t id : std::initializer_list<uint16_t>{0x0804, 0x0404, 0x0C04}) {
        EXPECT_TRUE(IsChineseLanguage(id)) << id;
    }
    for (uint16_t id : std::initializer_list<uint16_t>{0x0409, 0x1004, 0x1404, 0x0004, 0x0411, 0}) {
        EXPECT_FALSE(IsChineseLanguage(id)) << id;
    }
}

// The restart counts the bytes the box holds, CR LF included, with the separating line end.
TEST(QuorrelTexts, BoxRestartsPast30000Bytes) {
    EXPECT_EQ(AppendEntry("", "one\r\n"), "one\r\n");
    EXPECT_EQ(AppendEntry("one\r\n", "two\r\n"), "one\r\n\r\ntwo\r\n");
    const std::string kept(29998, 'a');
    EXPECT_EQ(AppendEntry(kept, "x\r\n"), kept + "\r\nx\r\n");
    EXPECT_EQ(AppendEntry(std::string(29999, 'a'), "x\r\n"), "x\r\n");
    std::string cjk;
    for (int i = 0; i < 10000; ++i) {
        cjk += "短";
    }
    EXPECT_EQ(AppendEntry(cjk, "x\r\n"), "x\r\n");
}

TEST(QuorrelTexts, EntryLines) {
    EXPECT_EQ(ReceivedEntry(false, "2024-03-05 14:07:09", "+8613912345678", "hi"),
              "Receive SMS:<2024-03-05 14:07:09> <+8613912345678>:\r\n    hi\r\n");
    EXPECT_EQ(ReceivedEntry(true, "2024-03-05 14:07:09", "10086", "你好"),
              "收到短信:<2024-03-05 14:07:09> <10086>:\r\n    你好\r\n");
    EXPECT_EQ(ReportEntry(1, "13912345678", "sent"), "发往13912345678的短信发送成功,内容:sent\r\n");
    for (int32_t failed : {0, 2, 7, -1}) {
        EXPECT_EQ(ReportEntry(failed, "10086", "x"), "发往10086的短信发送失败,内容:x\r\n");
    }
}

TEST(QuorrelTexts, EnglishCaptionsLeaveRtsAndAreaCode) {
    std::map<int, std::string> english;
    for (const Caption& caption : EnglishCaptions()) {
        english[caption.controlId] = caption.english;
    }
    const std::map<int, std::string> expected = {{1002, "Start"},
                                                 {1003, "Stop"},
                                                 {1004, "Clear"},
                                                 {1010, "Send"},
                                                 {1014, "Serial Parameters"},
                                                 {1015, "COM:"},
                                                 {1016, "Baudrate:"},
                                                 {1017, "Receive"},
                                                 {1018, "Send"},
                                                 {1019, "Log"},
                                                 {1020, "Phone To Receive SMS："},
                                                 {1025, "Quick replies"}};
    EXPECT_EQ(english, expected);
}

TEST(QuorrelStart, ArgumentsFromTheWindow) {
    struct Case {
        const char* port;
        const char* baud;
        bool rts;
        int32_t expectedPort;  // 0: no start
        int32_t expectedBaud;
    };
    const Case cases[] = {
        {"COM10", "115200", false, 10, 115200},
        {"XYZ7", "9600", true, 7, 9600},
        {"COM 12x", " 57600 bps", false, 12, 57600},
        {"COM99999999999", "115200", false, INT_MAX, 115200},
        {"COM", "115200", false, 0, 0},
        {"COMx", "115200", false, 0, 0},
        {"COM0", "115200", false, 0, 0},
        {"", "115200", false, 0, 0},
        {"COM1", "abc", false, 0, 0},
        {"COM1", "0", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port) + " / " + c.baud);
        Window window;
        window.view.port = c.port;
        window.view.baud = c.baud;
        window.view.rts = c.rts;
        window.core.OnStart();
        if (c.expectedPort == 0) {
            EXPECT_EQ(window.stub.startCalls, 0);
            EXPECT_EQ(window.view.Log(), "");
            EXPECT_EQ(window.core.CurrentState(), State::Stopped);
            continue;
        }
        ASSERT_EQ(window.stub.startCalls, 1);
        const std::vector<int32_t> args(std::begin(window.stub.startArgs),
                                        std::end(window.stub.startArgs));
        EXPECT_EQ(args, (std::vector<int32_t>{c.expectedPort, c.expectedBaud, 2, 8, 0, c.rts}));
        EXPECT_EQ(window.stub.startText, "card");
    }
}

// The check box decides the library's pacing at each start, whatever the one before chose.
TEST(QuorrelStart, QuickRepliesAsTheBoxSays) {
    Window window;
    window.view.quick = true;
    window.core.OnStart();
    EXPECT_EQ(window.stub.startQuick, "1");
    window.core.OnStop();
    window.view.quick = false;
    window.core.OnStart();
    EXPECT_EQ(window.stub.startQuick, "0");
    EXPECT_EQ(window.stub.startCalls, 2);
}

TEST(QuorrelStart, StartStopAndTheirTimers) {
    Window window;
    EXPECT_EQ(window.view.buttons, (Buttons{.start = true, .stop = false, .send = false}));
    window.core.OnStart();
    EXPECT_EQ(window.view.Log(), "启动成功\r\n");
    EXPECT_EQ(window.view.buttons, (Buttons{.start = false, .stop = true, .send = true}));
    EXPECT_EQ(window.view.timers,
              (std::map<Timer, int>{{Timer::Message, 1500}, {Timer::Report, 900}}));

    // A stop the library refuses changes nothing.
    window.stub.stopResult = 0;
    window.core.OnStop();
    EXPECT_EQ(window.view.Log(), "启动成功\r\n");
    EXPECT_EQ(window.core.CurrentState(), State::Started);
    EXPECT_EQ(window.view.timers.size(), 2u);

    window.stub.stopResult = 1;
    window.core.OnStop();
    EXPECT_EQ(window.view.Log(), "启动成功\r\n\r\n停止成功\r\n");
    EXPECT_EQ(window.view.buttons, (Buttons{.start = true, .stop = false, .send = false}));
    EXPECT_TRUE(window.view.timers.empty());
    EXPECT_EQ(window.view.timerEvents,
              (std::vector<std::string>{"start 1", "start 2", "stop 2", "stop 1"}));
}

// The library's reason follows the failure line directly, and only on a Chinese system.
TEST(QuorrelStart, FailedStartShowsTheReasonOnlyInChinese) {
    for (bool chinese : {false, true}) {
        SCOPED_TRACE(chinese ? "Chinese" : "English");
        Window window(chinese);
        window.stub.startResult = 0;
        window.stub.lastError = "The port cannot be opened";
        window.view.boxes[Box::Log] = "earlier";
        window.core.OnStart();
        EXPECT_EQ(window.view.Log(), chinese
                                         ? "earlier\r\n启动失败\r\nThe port cannot be opened\r\n"
                                         : "earlier\r\n启动失败\r\n");
        EXPECT_EQ(window.core.CurrentState(), State::Stopped);
        EXPECT_TRUE(window.view.timers.empty());
    }
    Window silent(true);
    silent.stub.startResult = 0;
    silent.core.OnStart();
    EXPECT_EQ(silent.view.Log(), "启动失败\r\n");
}

// A reason that fills the whole buffer, with no terminator, is shown and not overrun.
TEST(QuorrelStart, ReasonFillingTheBuffer) {
    Window window(true);
    window.stub.startResult = 0;
    window.stub.lastError = std::string(1500, 'e');
    window.core.OnStart();
    EXPECT_EQ(window.view.Log(), "启动失败\r\n" + std::string(1024, 'e') + "\r\n");
}

TEST(QuorrelPolls, OneMessageAndOneReportPerTick) {
    Window window;
    window.core.OnStart();
    window.view.boxes.clear();
    window.stub.messages = {Message("2024-03-05 14:07:09", "+8613912345678", "first"),
                            Message("2024-03-05 14:07:10", "10086", "第二条")};
    window.stub.reports = {{1, Report(1, "13912345678", "sent")},
                           // Not started: nothing was copied, so nothing is shown.
                           {-1, Report(1, "never", "never")},
                           {1, Report(0, "13912345678", "refused")}};
    window.core.OnTimer(Timer::Message);
    EXPECT_EQ(window.view.Received(),
              "Receive SMS:<2024-03-05 14:07:09> <+8613912345678>:\r\n    first\r\n");
    window.core.OnTimer(Timer::Message);
    window.core.OnTimer(Timer::Message);
    EXPECT_EQ(window.view.Received(),
              "Receive SMS:<2024-03-05 14:07:09> <+8613912345678>:\r\n    first\r\n\r\n"
              "Receive SMS:<2024-03-05 14:07:10> <10086>:\r\n    第二条\r\n");
    window.core.OnTimer(Timer::Report);
    EXPECT_EQ(window.view.Log(), "发往13912345678的短信发送成功,内容:sent\r\n");
    window.core.OnTimer(Timer::Report);
    EXPECT_EQ(window.view.Log(), "发往13912345678的短信发送成功,内容:sent\r\n");
    window.core.OnTimer(Timer::Report);
    EXPECT_EQ(window.view.Log(),
              "发往13912345678的短信发送成功,内容:sent\r\n\r\n"
              "发往13912345678的短信发送失败,内容:refused\r\n");
    EXPECT_TRUE(window.stub.reports.empty());
}

TEST(QuorrelPolls, ChineseWording) {
    Window window(true);
    window.core.OnStart();
    window.stub.messages = {Message("2024-03-05 14:07:09", "10086", "你好")};
    window.core.OnTimer(Timer::Message);
    EXPECT_EQ(window.view.Received(), "收到短信:<2024-03-05 14:07:09> <10086>:\r\n    你好\r\n");
}

TEST(QuorrelSend, TextNumberAndPrefix) {
    struct Case {
        bool areaCode;
        std::string text;
        std::string number;
        const char* prefix;
    };
    const Case cases[] = {{true, "hello", "13912345678", "86"},
                          {false, "hello", "13912345678", ""},
                          {true, "", "", "86"},
                          {false, std::string(1500, 'x'), std::string(25, '9'), ""},
                          {false, "短信 ok", "+8613912345678", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        Window window;
        window.core.OnStart();
        window.view.areaCode = c.areaCode;
        window.view.text = c.text;
        window.view.number = c.number;
        window.core.OnSend();
        ASSERT_EQ(window.stub.sendCalls, 1);
        EXPECT_EQ(window.stub.sentText, c.text);
        EXPECT_EQ(window.stub.sentNumber, c.number);
        EXPECT_EQ(window.stub.sentPrefix, c.prefix);
        EXPECT_FALSE(window.stub.sentNullPrefix);
        // Nothing is logged for a send; its outcome comes through the report poll.
        EXPECT_EQ(window.view.Log(), "启动成功\r\n");
    }
}

TEST(QuorrelClear, EmptiesBothBoxesInEveryState) {
    Window window;
    window.view.boxes = {{Box::Log, "log"}, {Box::Receive, "received"}};
    window.view.text = "kept";
    window.core.OnClear();
    EXPECT_EQ(window.view.Log(), "");
    EXPECT_EQ(window.view.Received(), "");
    EXPECT_EQ(window.view.text, "kept");
    window.core.OnStart();
    window.core.OnClear();
    EXPECT_EQ(window.view.Log(), "");
}

TEST(QuorrelDefaults, ByLanguageAndLibrary) {
    Window english;
    EXPECT_EQ(english.core.DefaultTestText(), "This is Norvane SMS Test Text");
    EXPECT_TRUE(english.core.UseEnglishCaptions());
    EXPECT_TRUE(english.core.AreaCodeByDefault());
    Window chinese(true);
    EXPECT_EQ(chinese.core.DefaultTestText(), "This is 短信测试内容 12345");
    EXPECT_FALSE(chinese.core.UseEnglishCaptions());
    EXPECT_TRUE(chinese.core.AreaCodeByDefault());
}

TEST(QuorrelMissing, NoLibrary) {
    const CTarvikLibrary nowhere(STUB_ROOT "/missing");
    ASSERT_FALSE(nowhere.IsLoaded());
    FakeView view;
    CQuorrelCore core(view, nowhere, false);
    core.Initialise();
    EXPECT_EQ(core.CurrentState(), State::NoLibrary);
    EXPECT_EQ(view.buttons, (Buttons{.start = true, .stop = false, .send = false}));
    // The template's captions and an empty text box even on an English system.
    EXPECT_FALSE(core.UseEnglishCaptions());
    EXPECT_EQ(core.DefaultTestText(), "");
    EXPECT_FALSE(core.AreaCodeByDefault());
    core.OnStart();
    core.OnStart();
    EXPECT_EQ(view.warnings, (std::vector<std::string>{"动态库未加载", "动态库未加载"}));
    core.OnSend();
    core.OnStop();
    core.OnTimer(Timer::Message);
    core.OnTimer(Timer::Report);
    EXPECT_EQ(view.Log(), "");
    EXPECT_EQ(core.CurrentState(), State::NoLibrary);
}

TEST(QuorrelMissing, MissingStartDoesNothing) {
    Window window(false, "quorrel_stub_nostart");
    window.core.OnStart();
    EXPECT_EQ(window.view.Log(), "");
    EXPECT_EQ(window.core.CurrentState(), State::Stopped);
    EXPECT_TRUE(window.view.warnings.empty());
}

// Without the send export a Send stops the report poll, and without a message export the
// message poll shows nothing.
TEST(QuorrelMissing, MissingSendStopsTheReportPoll) {
    Window window(false, "quorrel_stub_nosend");
    window.core.OnStart();
    window.stub.messages.push_back(Message("2024-03-05 14:07:09", "10086", "hi"));
    window.core.OnTimer(Timer::Message);
    EXPECT_EQ(window.view.Received(), "");
    window.core.OnSend();
    EXPECT_EQ(window.view.timers, (std::map<Timer, int>{{Timer::Message, 1500}}));
    // Without a stop export, Stop changes nothing.
    window.core.OnStop();
    EXPECT_EQ(window.core.CurrentState(), State::Started);
    EXPECT_EQ(window.view.Log(), "启动成功\r\n");
}
