// What Quorrel does, apart from drawing: the texts it reads and writes, the calls it makes
// into the library, and the state of its buttons and timers. The Qt and the Win32 window
// are views over it. Texts on the view side are UTF-8 with CR LF line ends.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "TarvikLibrary.h"

namespace quorrel {

// The leading decimal number of a text as the C library's atoi reads it: blanks skipped, an
// optional sign, digits up to the first other character; 0 without digits. Saturates
// instead of overflowing.
int LeadingNumber(std::string_view text);
// The port text reads "COM" and a number; its first three characters are not examined.
int ParsePortNumber(std::string_view text);

// Whether a system default language identifier is Chinese (PRC, Taiwan or Hong Kong).
bool IsChineseLanguage(uint16_t languageId);

// The box that `entry` goes to, past 30000 bytes started over with the entry alone.
std::string AppendEntry(std::string box, std::string_view entry);
// The lines the polls add, from the library's fields (already UTF-8).
std::string ReceivedEntry(bool chineseUi, std::string_view timestamp, std::string_view number,
                          std::string_view text);
std::string ReportEntry(int32_t result, std::string_view number, std::string_view text);

// A control whose caption changes on a system that is not Chinese.
struct Caption {
    int controlId;
    const char* english;
};
std::span<const Caption> EnglishCaptions();

inline constexpr const char kWindowTitle[] = "QuorrelV3.3.0";
inline constexpr const char kDefaultPort[] = "COM1";
inline constexpr const char kDefaultBaud[] = "115200";
// The baud-rate box's list, in this order, where the template does not carry it.
inline constexpr const char* kBaudRates[] = {"115200", "57600", "38400", "19200", "9600"};
inline constexpr const char kNoLibrary[] = "动态库未加载";
inline constexpr int kMessagePollMs = 1500;
inline constexpr int kReportPollMs = 900;

enum class Box { Receive, Log };
enum class Timer { Message = 1, Report = 2 };
enum class State { NoLibrary, Stopped, Started };

struct Buttons {
    bool start;
    bool stop;
    bool send;
    bool operator==(const Buttons&) const = default;
};
Buttons ButtonsFor(State state);

// What the core needs of a window.
class IView {
public:
    virtual std::string PortText() const = 0;
    virtual std::string BaudText() const = 0;
    virtual bool RtsChecked() const = 0;
    // "Quick replies": the library reads a reply as soon as its final result has come.
    virtual bool QuickChecked() const = 0;
    virtual bool AreaCodeChecked() const = 0;
    virtual std::string NumberText() const = 0;
    virtual std::string MessageText() const = 0;
    virtual std::string BoxText(Box box) const = 0;
    // Replaces the box's text and brings its end into view.
    virtual void ShowBoxText(Box box, const std::string& text) = 0;
    virtual void EnableButtons(const Buttons& buttons) = 0;
    virtual void StartTimer(Timer timer, int intervalMs) = 0;
    virtual void StopTimer(Timer timer) = 0;
    // A modal warning with an OK button.
    virtual void Warn(const std::string& text) = 0;

protected:
    ~IView() = default;
};

class CQuorrelCore {
public:
    CQuorrelCore(IView& view, const CTarvikLibrary& library, bool chineseUi);

    // After the window's own set-up: the buttons of the first state. The view then applies
    // the captions and texts below.
    void Initialise();
    State CurrentState() const { return state_; }
    bool ChineseUi() const { return chineseUi_; }
    // Empty when the library is missing: the text box then stays empty.
    std::string DefaultTestText() const;
    bool UseEnglishCaptions() const;
    bool AreaCodeByDefault() const;

    void OnStart();
    void OnStop();
    void OnSend();
    void OnClear();
    void OnTimer(Timer timer);

private:
    void OnMessagePoll();
    void OnReportPoll();
    void ShowLastError();
    void Append(Box box, std::string_view entry);
    void Enter(State state);

    IView& view_;
    const CTarvikLibrary& library_;
    bool chineseUi_;
    State state_;
};

}  // namespace quorrel
