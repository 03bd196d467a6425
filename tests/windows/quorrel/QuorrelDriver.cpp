// Drives Quorrel.exe from outside, as a user would, by window messages: finds its dialog,
// types with WM_SETTEXT, clicks with BM_CLICK and reads what the window shows with
// WM_GETTEXT. Every wait polls for what a user would see, up to a deadline.
// Usage: QuorrelDriver SCENARIO [ARGUMENT]...   (exit code 0 when every check held)
//   exchange PORT NUMBER     start, send to the modem's own number, report and message
//   ports COM...             the port list is exactly these, in this order
//   failed-start EMPTY FAULTY REASON   starts without a modem, then with a failing set-up
//   missing                  Quorrel.exe alone in a folder, without Tarvik.dll
//   layout                   every control where template 102 puts it
//   shot FILE.bmp PORT NUMBER   a picture of the window after a loopback send
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kDeadline = std::chrono::seconds(40);
int failures = 0;

std::string Utf8(const std::wstring& text) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                            nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes,
                          nullptr, nullptr);
    return out;
}

void Check(bool condition, const std::string& what) {
    if (!condition) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

bool WaitFor(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::wstring Text(HWND window) {
    DWORD_PTR length = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 20000, &length);
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                          SMTO_ABORTIFHUNG, 20000, &copied);
    text.resize(copied);
    return text;
}

void SetText(HWND window, const std::wstring& text) {
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                          SMTO_ABORTIFHUNG, 20000, &ignored);
}

// A click that returns when its handler did, except for one that opens a modal window.
void Click(HWND button, bool opensModal = false) {
    if (opensModal) {
        ::PostMessageW(button, BM_CLICK, 0, 0);
        return;
    }
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 60000, &ignored);
}

bool Checked(HWND box) {
    return ::SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The top-level window of `process` with the dialog class and `title`.
HWND FindDialog(DWORD process, const std::wstring& title) {
    struct Search {
        DWORD process;
        const std::wstring& title;
        HWND found;
    } search{process, title, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wchar_t cls[64] = {};
            ::GetClassNameW(window, cls, 64);
            if (owner == s->process && std::wstring(cls) == L"#32770" &&
                ::IsWindowVisible(window) && Text(window) == s->title) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// Quorrel.exe started from `folder`, with its window found.
class Quorrel {
public:
    explicit Quorrel(const std::wstring& folder = OwnFolder()) {
        std::wstring command = L"\"" + folder + L"\\Quorrel.exe\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &startup, &process_)) {
            std::fprintf(stderr, "cannot start Quorrel.exe: %lu\n", ::GetLastError());
            std::exit(2);
        }
        ::WaitForInputIdle(process_.hProcess, 20000);
        WaitFor([&] { return (window_ = FindDialog(process_.dwProcessId, L"QuorrelV3.3.0")); });
        if (window_ == nullptr) {
            std::fprintf(stderr, "the Quorrel window does not show\n");
            std::exit(2);
        }
    }
    ~Quorrel() {
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(process_.hProcess, 20000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_.hProcess, 1);
        }
        ::CloseHandle(process_.hThread);
        ::CloseHandle(process_.hProcess);
    }
    HWND Window() const { return window_; }
    DWORD Id() const { return process_.dwProcessId; }
    HWND Item(int id) const { return ::GetDlgItem(window_, id); }
    std::wstring Text(int id) const { return ::Text(Item(id)); }
    bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
    bool Running() const { return ::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

private:
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

enum : int {
    kPort = 1000,
    kBaud = 1001,
    kStart = 1002,
    kStop = 1003,
    kClear = 1004,
    kReceive = 1006,
    kText = 1007,
    kLog = 1009,
    kSend = 1010,
    kNumber = 1011,
    kSettings = 1014,
    kPortLabel = 1015,
    kBaudLabel = 1016,
    kReceiveGroup = 1017,
    kSendGroup = 1018,
    kLogGroup = 1019,
    kNumberLabel = 1020,
    kRts = 1023,
    kAreaCode = 1024,
};

bool Chinese() {
    const LANGID id = ::GetSystemDefaultLangID();
    return id == 0x0804 || id == 0x0404 || id == 0x0C04;
}

// Whether the last character of a box's last entry lies in the box's visible part.
bool EndInView(HWND box) {
    const LRESULT length = ::SendMessageW(box, WM_GETTEXTLENGTH, 0, 0);
    if (length < 3) {
        return true;
    }
    const LRESULT at = ::SendMessageW(box, EM_POSFROMCHAR, static_cast<WPARAM>(length - 3), 0);
    if (at == -1) {
        return false;
    }
    RECT client{};
    ::GetClientRect(box, &client);
    const int y = static_cast<short>(HIWORD(at));
    return y >= 0 && y < client.bottom;
}

void CheckCaptions(const Quorrel& q, bool english) {
    struct Caption {
        int id;
        const wchar_t* chinese;
        const wchar_t* english;
    };
    const Caption captions[] = {
        {kPortLabel, L"串口：", L"COM:"},
        {kSettings, L"参数设置", L"Serial Parameters"},
        {kBaudLabel, L"波特率：", L"Baudrate:"},
        {kStart, L"开始", L"Start"},
        {kStop, L"停止", L"Stop"},
        {kClear, L"清空", L"Clear"},
        {kLogGroup, L"输出栏", L"Log"},
        {kReceiveGroup, L"接收区", L"Receive"},
        {kSendGroup, L"发送区", L"Send"},
        {kSend, L"发送", L"Send"},
        {kNumberLabel, L"   接收端号码：", L"Phone To Receive SMS："},
        {kRts, L"RTS", L"RTS"},
        {kAreaCode, L"默认区号", L"默认区号"},
    };
    for (const Caption& c : captions) {
        const std::wstring expected = english ? c.english : c.chinese;
        Check(q.Text(c.id) == expected,
              "caption of " + std::to_string(c.id) + ": " + Utf8(q.Text(c.id)));
    }
    Check(Text(q.Window()) == L"QuorrelV3.3.0", "window caption");
}

int Exchange(const std::wstring& port, const std::wstring& number) {
    const bool chinese = Chinese();
    Quorrel q;
    CheckCaptions(q, !chinese);
    const std::wstring text =
        chinese ? L"This is 短信测试内容 12345" : L"This is Norvane SMS Test Text";
    Check(q.Text(kText) == text, "test text: " + Utf8(q.Text(kText)));
    Check(Checked(q.Item(kAreaCode)), "area code checked");
    Check(q.Text(kBaud) == L"115200", "baud text");
    Check(q.Enabled(kStart) && !q.Enabled(kStop) && !q.Enabled(kSend), "buttons when stopped");

    // Enter and Escape go nowhere: the window stays and no line break is typed.
    for (int control : {kText, kStart, kNumber}) {
        for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
            ::PostMessageW(q.Item(control), WM_KEYDOWN, key, 0);
            ::PostMessageW(q.Item(control), WM_KEYUP, key, 0);
        }
    }
    ::PostMessageW(q.Window(), WM_KEYDOWN, VK_ESCAPE, 0);
    Text(q.Window());  // behind the posted keys in the window's queue
    Check(q.Running() && ::IsWindowVisible(q.Window()), "Escape leaves the window open");
    Check(q.Text(kText) == text, "Enter types no line break");

    SetText(q.Item(kPort), port);
    SetText(q.Item(kNumber), number);
    Click(q.Item(kStart));
    Check(q.Text(kLog) == L"启动成功\r\n", "log after start: " + Utf8(q.Text(kLog)));
    Check(!q.Enabled(kStart) && q.Enabled(kStop) && q.Enabled(kSend), "buttons when started");
    Click(q.Item(kSend));
    const std::wstring report =
        L"启动成功\r\n\r\n发往" + number + L"的短信发送成功,内容:" + text + L"\r\n";
    Check(WaitFor([&] { return q.Text(kLog) == report; }), "report line: " + Utf8(q.Text(kLog)));
    Check(WaitFor([&] { return !q.Text(kReceive).empty(); }), "a message comes back");
    const std::wstring received = q.Text(kReceive);
    const std::wstring head = chinese ? L"收到短信:<" : L"Receive SMS:<";
    const std::wstring tail = L">:\r\n    " + text + L"\r\n";
    Check(received.rfind(head, 0) == 0 && received.size() > tail.size() &&
              received.compare(received.size() - tail.size(), tail.size(), tail) == 0 &&
              received.find(number.substr(number.size() - 8)) != std::wstring::npos,
          "received line: " + Utf8(received));
    Check(EndInView(q.Item(kLog)) && EndInView(q.Item(kReceive)), "ends in view");

    // A character the code page lacks goes out as "?", never as a look-alike: GBK has ü but
    // not Ü or £ (ü and ￡ would stand in), 1252 lacks Ā, ł and ∞ (A, l and 8 would).
    SetText(q.Item(kText), chinese ? L"Ü ü £" : L"Ā ł ∞");
    Click(q.Item(kSend));
    const std::wstring defaulted =
        L">:\r\n    " + std::wstring(chinese ? L"? ü ?" : L"? ? ?") + L"\r\n";
    Check(WaitFor([&] {
              const std::wstring now = q.Text(kReceive);
              return now.size() > received.size() + defaulted.size() &&
                     now.compare(now.size() - defaulted.size(), defaulted.size(), defaulted) == 0;
          }),
          "received without look-alikes: " + Utf8(q.Text(kReceive)));

    // Past 30000 bytes the log starts over with the next entry alone, and shows its end.
    std::wstring lines;
    for (int i = 0; i < 599; ++i) {
        lines += std::wstring(48, L'x') + L"\r\n";
    }
    // 29998 bytes and a line end: 30000, kept.
    SetText(q.Item(kLog), lines + std::wstring(48, L'z'));
    Click(q.Item(kStop));
    Check(q.Text(kLog) == lines + std::wstring(48, L'z') + L"\r\n停止成功\r\n",
          "log of 30000 bytes kept");
    Check(EndInView(q.Item(kLog)), "end of the long log in view");
    // 29999 bytes and a line end: the log restarts.
    SetText(q.Item(kLog), lines + std::wstring(49, L'z'));
    Click(q.Item(kStart));
    Check(q.Text(kLog) == L"启动成功\r\n", "log restarts: " + Utf8(q.Text(kLog).substr(0, 40)));
    Check(EndInView(q.Item(kLog)), "end of the restarted log in view");

    SetText(q.Item(kText), L"kept");
    Click(q.Item(kClear));
    Check(q.Text(kLog).empty() && q.Text(kReceive).empty(), "Clear empties both boxes");
    Check(q.Text(kText) == L"kept" && q.Text(kNumber) == number, "Clear keeps the rest");
    Click(q.Item(kStop));
    Check(q.Text(kLog) == L"停止成功\r\n", "stop after clear");
    return failures;
}

int Ports(const std::vector<std::wstring>& expected) {
    Quorrel q;
    HWND box = q.Item(kPort);
    std::vector<std::wstring> listed;
    const LRESULT count = ::SendMessageW(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::wstring item(static_cast<std::size_t>(::SendMessageW(box, CB_GETLBTEXTLEN, i, 0)) + 1,
                          L'\0');
        item.resize(static_cast<std::size_t>(
            ::SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
        listed.push_back(item);
    }
    std::string seen;
    for (const auto& item : listed) {
        seen += Utf8(item) + " ";
    }
    Check(listed == expected, "port list: " + seen);
    Check(q.Text(kPort).empty(), "port text empty: " + Utf8(q.Text(kPort)));
    std::vector<std::wstring> rates;
    for (LRESULT i = 0; i < ::SendMessageW(q.Item(kBaud), CB_GETCOUNT, 0, 0); ++i) {
        wchar_t rate[16] = {};
        ::SendMessageW(q.Item(kBaud), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(rate));
        rates.emplace_back(rate);
    }
    Check(rates == std::vector<std::wstring>{L"115200", L"57600", L"38400", L"19200", L"9600"},
          "baud list");
    // Nothing picked yet: Start does nothing.
    Click(q.Item(kStart));
    Check(q.Text(kLog).empty() && q.Enabled(kStart), "Start without a port does nothing");
    return failures;
}

// A start on a port without a modem (the library has no reason to give yet), then on a
// modem whose set-up fails, whose reason only a Chinese system shows.
int FailedStart(const std::wstring& emptyPort, const std::wstring& faultyPort,
                const std::wstring& reason) {
    const bool chinese = Chinese();
    Quorrel q;
    SetText(q.Item(kPort), emptyPort);
    Click(q.Item(kStart));
    Check(q.Text(kLog) == L"启动失败\r\n", "failure without a reason: " + Utf8(q.Text(kLog)));
    SetText(q.Item(kPort), faultyPort);
    Click(q.Item(kStart));
    const std::wstring log = q.Text(kLog);
    const std::wstring twice = L"启动失败\r\n\r\n启动失败\r\n";
    if (chinese) {
        // The reason on the line right behind the failure, and nothing after it.
        Check(log == twice + reason + L"\r\n", "failure with its reason: " + Utf8(log));
    } else {
        Check(log == twice, "failures alone: " + Utf8(log));
    }
    Check(q.Enabled(kStart) && !q.Enabled(kStop) && !q.Enabled(kSend), "buttons after failure");
    return failures;
}

// The static text of the message box `owner` shows, closed with its OK button.
std::wstring TakeMessageBox(DWORD process) {
    HWND box = nullptr;
    WaitFor([&] { return (box = FindDialog(process, L"Quorrel")); });
    if (box == nullptr) {
        return L"(no message box)";
    }
    const std::wstring text = Text(::GetDlgItem(box, 0xFFFF));
    ::PostMessageW(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    WaitFor([&] { return !::IsWindow(box); });
    return text;
}

int Missing() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"quorrel-alone-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring exe = folder + L"\\Quorrel.exe";
    if (!::CopyFileW((OwnFolder() + L"\\Quorrel.exe").c_str(), exe.c_str(), FALSE)) {
        std::fprintf(stderr, "cannot copy Quorrel.exe\n");
        return 2;
    }
    {
        Quorrel q(folder);
        // The template's captions whatever the language, no test text, no area code.
        CheckCaptions(q, false);
        Check(q.Text(kText).empty(), "no test text");
        Check(!Checked(q.Item(kAreaCode)), "area code unchecked");
        Check(q.Enabled(kStart) && !q.Enabled(kStop) && !q.Enabled(kSend), "buttons");
        for (int press = 0; press < 2; ++press) {
            Click(q.Item(kStart), true);
            const std::wstring shown = TakeMessageBox(q.Id());
            Check(shown == L"动态库未加载", "warning: " + Utf8(shown));
        }
        Check(q.Text(kLog).empty(), "nothing logged");

        // The about box from the system menu command 16, whose item reads string 101 (the
        // menu itself is out of another process's reach under Wine).
        HMODULE resources = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        wchar_t item[64] = {};
        ::LoadStringW(resources, 101, item, 64);
        ::FreeLibrary(resources);
        Check(std::wstring(item) == L"关于 Quorrel(&A)...", "menu item: " + Utf8(item));
        ::PostMessageW(q.Window(), WM_SYSCOMMAND, 0x10, 0);
        HWND about = nullptr;
        WaitFor([&] { return (about = FindDialog(q.Id(), L"关于 NorvaneQuorrel.exe")); });
        Check(about != nullptr, "about box");
        if (about != nullptr) {
            Check(Text(::GetDlgItem(about, IDOK)) == L"确定", "about OK button");
            ::PostMessageW(::GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
            Check(WaitFor([&] { return !::IsWindow(about); }), "about box closes");
        }
    }
    ::DeleteFileW(exe.c_str());
    ::RemoveDirectoryW(folder.c_str());
    return failures;
}

// Template 102 as the window must show it: id, class, style bits, x, y, width, height in
// dialog units. A drop-down combo box's height is its list; its field is checked for x, y
// and width.
struct Control {
    int id;
    const wchar_t* kind;
    LONG style;
    int x, y, width, height;
};
const Control kTemplate[] = {
    {kPort, L"ComboBox", CBS_DROPDOWN | WS_VSCROLL, 49, 8, 40, 83},
    {kPortLabel, L"Static", SS_LEFT, 21, 9, 25, 8},
    {kSettings, L"Button", BS_GROUPBOX, 7, 1, 460, 24},
    {kBaudLabel, L"Static", SS_LEFT, 95, 10, 33, 8},
    {kBaud, L"ComboBox", CBS_DROPDOWN | WS_VSCROLL, 131, 8, 43, 64},
    {kStart, L"Button", BS_PUSHBUTTON, 208, 8, 37, 14},
    {kStop, L"Button", BS_PUSHBUTTON, 250, 8, 36, 14},
    {kClear, L"Button", BS_PUSHBUTTON, 290, 8, 36, 14},
    {kLogGroup, L"Button", BS_GROUPBOX, 282, 27, 185, 203},
    {kReceiveGroup, L"Button", BS_GROUPBOX, 7, 28, 267, 102},
    {kReceive, L"Edit", ES_MULTILINE | WS_BORDER | WS_VSCROLL, 7, 37, 261, 87},
    {kText, L"Edit", ES_MULTILINE | WS_BORDER | WS_VSCROLL, 7, 141, 261, 65},
    {kSendGroup, L"Button", BS_GROUPBOX, 7, 131, 267, 80},
    {kSend, L"Button", BS_PUSHBUTTON, 160, 216, 48, 14},
    {kNumberLabel, L"Static", SS_LEFT, 7, 219, 63, 8},
    {kNumber, L"Edit", ES_AUTOHSCROLL | WS_BORDER, 55, 217, 96, 13},
    {kLog, L"Edit", ES_MULTILINE | WS_BORDER | WS_VSCROLL, 286, 38, 178, 188},
    {kRts, L"Button", BS_AUTOCHECKBOX, 175, 9, 30, 10},
    {kAreaCode, L"Button", BS_AUTOCHECKBOX, 221, 218, 43, 10},
};

// A hidden dialog of this process on Quorrel.exe's own template 102: MapDialogRect needs a
// dialog of the calling process, and this one has the same font and so the same units.
HWND UnitsDialog() {
    HMODULE exe = ::LoadLibraryExW((OwnFolder() + L"\\Quorrel.exe").c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found =
        exe != nullptr ? ::FindResourceW(exe, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(5)) : nullptr;
    if (found == nullptr) {
        return nullptr;
    }
    const auto* data = static_cast<const BYTE*>(::LockResource(::LoadResource(exe, found)));
    std::vector<BYTE> copy(data, data + ::SizeofResource(exe, found));
    // DLGTEMPLATEEX: version, signature, help id, extended style, then the style.
    DWORD style = 0;
    std::memcpy(&style, copy.data() + 12, sizeof style);
    style &= ~static_cast<DWORD>(WS_VISIBLE);
    std::memcpy(copy.data() + 12, &style, sizeof style);
    return ::CreateDialogIndirectParamW(
        ::GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(copy.data()), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
}

int Layout() {
    Quorrel q;
    HWND units = UnitsDialog();
    if (units == nullptr) {
        std::fprintf(stderr, "no template 102 in Quorrel.exe\n");
        return 2;
    }
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(units, WM_GETFONT, 0, 0)), sizeof font,
                 &font);
    Check(std::wstring(font.lfFaceName) == L"Arial", "dialog font: " + Utf8(font.lfFaceName));
    RECT size{0, 0, 474, 237};
    ::MapDialogRect(units, &size);
    RECT client{};
    ::GetClientRect(q.Window(), &client);
    Check(client.right == size.right && client.bottom == size.bottom,
          "dialog size " + std::to_string(client.right) + "x" + std::to_string(client.bottom) +
              ", template " + std::to_string(size.right) + "x" + std::to_string(size.bottom));
    const LONG frame = ::GetWindowLongW(q.Window(), GWL_STYLE);
    Check((frame & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME)) ==
                  (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME) &&
              (frame & WS_MAXIMIZEBOX) == 0,
          "dialog frame");
    Check((::GetWindowLongW(q.Window(), GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0, "in the task bar");
    for (const Control& c : kTemplate) {
        const std::string name = std::to_string(c.id);
        HWND item = q.Item(c.id);
        if (item == nullptr) {
            Check(false, "control " + name + " exists");
            continue;
        }
        wchar_t kind[32] = {};
        ::GetClassNameW(item, kind, 32);
        Check(::lstrcmpiW(kind, c.kind) == 0, name + " is a " + Utf8(c.kind));
        const LONG style = ::GetWindowLongW(item, GWL_STYLE);
        // Button and combo box kinds are numbers in the low bits, not flags.
        const LONG kindMask = c.kind == std::wstring(L"Button")     ? 0xF
                              : c.kind == std::wstring(L"ComboBox") ? 0x3
                                                                    : 0;
        if (kindMask != 0) {
            Check((style & kindMask) == (c.style & kindMask), name + " kind of control");
        }
        // An edit control turns its border into a sunken edge, and a combo box hands its
        // scroll bar to its list.
        LONG flags = c.style & ~kindMask;
        if ((flags & WS_BORDER) != 0) {
            Check((style & WS_BORDER) != 0 ||
                      (::GetWindowLongW(item, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0,
                  name + " border");
            flags &= ~WS_BORDER;
        }
        if (kindMask == 0x3) {
            flags &= ~WS_VSCROLL;
        }
        Check((style & flags) == flags, name + " style " + std::to_string(style));
        // Position and size map separately, as the dialog manager maps them.
        RECT mapped{c.x, c.y, c.width, c.height};
        ::MapDialogRect(units, &mapped);
        const RECT expected{mapped.left, mapped.top, mapped.left + mapped.right,
                            mapped.top + mapped.bottom};
        RECT actual{};
        ::GetWindowRect(item, &actual);
        ::MapWindowPoints(nullptr, q.Window(), reinterpret_cast<POINT*>(&actual), 2);
        const bool combo = c.kind == std::wstring(L"ComboBox");
        Check(actual.left == expected.left && actual.top == expected.top &&
                  actual.right == expected.right && (combo || actual.bottom == expected.bottom),
              name + " at " + std::to_string(actual.left) + "," + std::to_string(actual.top) + "-" +
                  std::to_string(actual.right) + "," + std::to_string(actual.bottom) +
                  ", template " + std::to_string(expected.left) + "," +
                  std::to_string(expected.top) + "-" + std::to_string(expected.right) + "," +
                  std::to_string(expected.bottom));
    }
    ::DestroyWindow(units);
    return failures;
}

// The window's picture, from the screen, as a 24-bit BMP.
bool SaveWindow(HWND window, const std::wstring& file) {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    ::GdiFlush();
    const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD image = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER head{
        0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + image), 0,
        0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    bool written = false;
    if (FILE* out = ::_wfopen(file.c_str(), L"wb")) {
        written = std::fwrite(&head, sizeof head, 1, out) == 1 &&
                  std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
                  std::fwrite(bits, image, 1, out) == 1;
        written = std::fclose(out) == 0 && written;
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return written;
}

int Shot(const std::wstring& file, const std::wstring& port, const std::wstring& number) {
    Quorrel q;
    SetText(q.Item(kPort), port);
    SetText(q.Item(kNumber), number);
    Click(q.Item(kStart));
    Click(q.Item(kSend));
    Check(WaitFor([&] {
              return !q.Text(kReceive).empty() && q.Text(kLog).find(L"内容") != std::wstring::npos;
          }),
          "report and message came back");
    ::SetForegroundWindow(q.Window());
    ::RedrawWindow(q.Window(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Check(SaveWindow(q.Window(), file), "picture written");
    return failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring scenario = argc > 1 ? argv[1] : L"";
    std::vector<std::wstring> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    int result = 2;
    if (scenario == L"exchange" && args.size() == 2) {
        result = Exchange(args[0], args[1]);
    } else if (scenario == L"ports") {
        result = Ports(args);
    } else if (scenario == L"failed-start" && args.size() == 3) {
        result = FailedStart(args[0], args[1], args[2]);
    } else if (scenario == L"missing") {
        result = Missing();
    } else if (scenario == L"layout") {
        result = Layout();
    } else if (scenario == L"shot" && args.size() == 3) {
        result = Shot(args[0], args[1], args[2]);
    } else {
        std::fputs("usage: QuorrelDriver exchange|ports|failed-start|missing|layout|shot ...\n",
                   stderr);
        return 2;
    }
    std::fprintf(stderr, "%s: %s\n", Utf8(scenario).c_str(), result == 0 ? "passed" : "FAILED");
    return result == 0 ? 0 : 1;
}
