#include "QuorrelCore.h"

#include <array>
#include <climits>
#include <cstring>

namespace quorrel {

namespace {

// A box that would grow past this many bytes starts over with the new entry.
constexpr std::size_t kBoxRestartBytes = 30000;
constexpr std::size_t kErrorBufferSize = 1024;

bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The bytes of the first `count` characters of a UTF-8 text.
std::size_t CharactersToBytes(std::string_view text, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t seen = 0; at < text.size() && seen < count; ++seen) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
            ++at;
        }
    }
    return at;
}

// A text field of a record; the library terminates it, but nothing is read past its end.
template <std::size_t N>
std::string Field(const char (&field)[N]) {
    return CTarvikLibrary::FromLocal(std::string_view(field, ::strnlen(field, N)));
}

const Caption kEnglishCaptions[] = {
    {1015, "COM:"},
    {1014, "Serial Parameters"},
    {1016, "Baudrate:"},
    {1002, "Start"},
    {1003, "Stop"},
    {1004, "Clear"},
    {1019, "Log"},
    {1017, "Receive"},
    {1018, "Send"},
    {1010, "Send"},
    {1020, "Phone To Receive SMS："},
    {1025, "Quick replies"},
};

}  // namespace

int LeadingNumber(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > INT_MAX) {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

int ParsePortNumber(std::string_view text) {
    const std::size_t skip = CharactersToBytes(text, 3);
    return skip >= text.size() ? 0 : LeadingNumber(text.substr(skip));
}

bool IsChineseLanguage(uint16_t languageId) {
    return languageId == 0x0804 || languageId == 0x0404 || languageId == 0x0C04;
}

std::string AppendEntry(std::string box, std::string_view entry) {
    if (!box.empty()) {
        box += "\r\n";
    }
    if (box.size() > kBoxRestartBytes) {
        return std::string(entry);
    }
    box += entry;
    return box;
}

std::string ReceivedEntry(bool chineseUi, std::string_view timestamp, std::string_view number,
                          std::string_view text) {
    std::string entry = chineseUi ? "收到短信:<" : "Receive SMS:<";
    entry.append(timestamp).append("> <").append(number).append(">:\r\n    ");
    entry.append(text).append("\r\n");
    return entry;
}

std::string ReportEntry(int32_t result, std::string_view number, std::string_view text) {
    std::string entry = "发往";
    entry.append(number).append(result == 1 ? "的短信发送成功,内容:" : "的短信发送失败,内容:");
    entry.append(text).append("\r\n");
    return entry;
}

std::span<const Caption> EnglishCaptions() {
    return kEnglishCaptions;
}

Buttons ButtonsFor(State state) {
    const bool started = state == State::Started;
    return {.start = !started, .stop = started, .send = started};
}

CQuorrelCore::CQuorrelCore(IView& view, const CTarvikLibrary& library, bool chineseUi)
    : view_(view),
      library_(library),
      chineseUi_(chineseUi),
      state_(library.IsLoaded() ? State::Stopped : State::NoLibrary) {}

void CQuorrelCore::Initialise() {
    view_.EnableButtons(ButtonsFor(state_));
}

std::string CQuorrelCore::DefaultTestText() const {
    if (!library_.IsLoaded()) {
        return {};
    }
    return chineseUi_ ? "This is 短信测试内容 12345" : "This is Norvane SMS Test Text";
}

bool CQuorrelCore::UseEnglishCaptions() const {
    return library_.IsLoaded() && !chineseUi_;
}

bool CQuorrelCore::AreaCodeByDefault() const {
    return library_.IsLoaded();
}

void CQuorrelCore::Enter(State state) {
    state_ = state;
    view_.EnableButtons(ButtonsFor(state));
}

void CQuorrelCore::OnStart() {
    if (!library_.IsLoaded()) {
        view_.Warn(kNoLibrary);
        return;
    }
    auto* start = library_.Find<decltype(SMSStartService)>("SMSStartService");
    if (start == nullptr) {
        return;
    }
    const int port = ParsePortNumber(view_.PortText());
    if (port == 0) {
        return;
    }
    const int baudRate = LeadingNumber(view_.BaudText());
    if (baudRate == 0) {
        return;
    }
    const int rts = view_.RtsChecked() ? 1 : 0;
    // The library reads its pacing once, at the start.
    CTarvikLibrary::SetEnvironment("TARVIK_QUICK_REPLIES", view_.QuickChecked() ? "1" : "0");
    // Blocks the window until the modem dialogue of the start is over.
    if (start(port, baudRate, 2, 8, 0, rts, "card") != 0) {
        Append(Box::Log, "启动成功\r\n");
        view_.StartTimer(Timer::Message, kMessagePollMs);
        view_.StartTimer(Timer::Report, kReportPollMs);
        Enter(State::Started);
    } else {
        Append(Box::Log, "启动失败\r\n");
        ShowLastError();
    }
}

void CQuorrelCore::OnStop() {
    auto* stop = library_.Find<decltype(SMSStopSerice)>("SMSStopSerice");
    if (stop == nullptr || stop() == 0) {
        return;
    }
    Append(Box::Log, "停止成功\r\n");
    view_.StopTimer(Timer::Report);
    view_.StopTimer(Timer::Message);
    Enter(State::Stopped);
}

void CQuorrelCore::OnSend() {
    if (!library_.IsLoaded()) {
        return;
    }
    auto* send = library_.Find<decltype(SMSSendMessage2)>("SMSSendMessage2");
    if (send == nullptr) {
        view_.StopTimer(Timer::Report);
        return;
    }
    // Writable copies with room for at least 1024 and 20 characters; longer texts are
    // passed whole, not cut.
    std::string number = CTarvikLibrary::ToLocal(view_.NumberText());
    std::string text = CTarvikLibrary::ToLocal(view_.MessageText());
    number.reserve(21);
    text.reserve(1025);
    const char* prefix = view_.AreaCodeChecked() ? "86" : "";
    // The outcome arrives later through the report poll.
    send(text.data(), number.data(), prefix);
}

void CQuorrelCore::OnClear() {
    view_.ShowBoxText(Box::Log, {});
    view_.ShowBoxText(Box::Receive, {});
}

void CQuorrelCore::OnTimer(Timer timer) {
    if (timer == Timer::Message) {
        OnMessagePoll();
    } else {
        OnReportPoll();
    }
}

void CQuorrelCore::OnMessagePoll() {
    auto* report = library_.Find<decltype(SMSReport)>("SMSReport");
    auto* next = library_.Find<decltype(SMSGetNextMessage)>("SMSGetNextMessage");
    if (report == nullptr || next == nullptr) {
        return;
    }
    RecvMsg message{};
    if (next(&message) != 1) {
        return;
    }
    Append(Box::Receive, ReceivedEntry(chineseUi_, Field(message.timestamp), Field(message.number),
                                       Field(message.text)));
}

void CQuorrelCore::OnReportPoll() {
    auto* report = library_.Find<decltype(SMSReport)>("SMSReport");
    if (report == nullptr) {
        return;
    }
    SendReport record{};
    // Only a positive result copied a record; -1 (not started) leaves it empty.
    if (report(&record) <= 0) {
        return;
    }
    Append(Box::Log, ReportEntry(record.result, Field(record.number), Field(record.text)));
}

void CQuorrelCore::ShowLastError() {
    auto* lastError = library_.Find<decltype(SMSGetLastError)>("SMSGetLastError");
    std::array<char, kErrorBufferSize> buffer{};
    if (lastError == nullptr || lastError(buffer.data()) <= 0 || !chineseUi_) {
        return;
    }
    // Right behind the failure line, with no separating line and no restart.
    const std::string text =
        CTarvikLibrary::FromLocal({buffer.data(), ::strnlen(buffer.data(), buffer.size())});
    view_.ShowBoxText(Box::Log, view_.BoxText(Box::Log) + text + "\r\n");
}

void CQuorrelCore::Append(Box box, std::string_view entry) {
    view_.ShowBoxText(box, AppendEntry(view_.BoxText(box), entry));
}

}  // namespace quorrel
