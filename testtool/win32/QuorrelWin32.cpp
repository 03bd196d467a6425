// Quorrel.exe: the native dialog over Quorrel's core. The window's texts are UTF-16, so the
// captions show on a system of any code page; the core hands the library its own.
#include <windows.h>

#include <memory>
#include <string>

#include "QuorrelCore.h"
#include "SerialPortsWin32.h"
#include "TextWin32.h"
#include "resource.h"

namespace {

std::wstring Wide(std::string_view utf8) {
    return WidenText(utf8, CP_UTF8);
}

std::string Utf8(HWND window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    const int length = ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    return NarrowText(text, CP_UTF8);
}

bool Checked(HWND box) {
    return ::SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

class CQuorrelDlg final : private quorrel::IView {
public:
    explicit CQuorrelDlg(HINSTANCE instance)
        : instance_(instance),
          icon_(::LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))),
          smallIcon_(static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                     IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                     ::GetSystemMetrics(SM_CYSMICON), 0))) {}

    // Runs the window until it closes.
    int Run() {
        window_ = ::CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_QUORREL_DIALOG), nullptr,
                                       &CQuorrelDlg::Proc, reinterpret_cast<LPARAM>(this));
        if (window_ == nullptr) {
            return 1;
        }
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (PreTranslateMessage(message)) {
                continue;
            }
            if (!::IsDialogMessageW(window_, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
        return 0;
    }

private:
    static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            ::SetWindowLongPtrW(window, DWLP_USER, lParam);
            auto* self = reinterpret_cast<CQuorrelDlg*>(lParam);
            self->window_ = window;
            return self->OnInitDialog();
        }
        auto* self = reinterpret_cast<CQuorrelDlg*>(::GetWindowLongPtrW(window, DWLP_USER));
        return self != nullptr ? self->Handle(message, wParam, lParam) : FALSE;
    }

    // Enter and Escape go nowhere, wherever the focus is in the window.
    bool PreTranslateMessage(const MSG& message) const {
        if (message.message != WM_KEYDOWN ||
            (message.wParam != VK_RETURN && message.wParam != VK_ESCAPE)) {
            return false;
        }
        return message.hwnd == window_ || ::IsChild(window_, message.hwnd);
    }

    HWND Item(int id) const { return ::GetDlgItem(window_, id); }

    BOOL OnInitDialog() {
        std::wstring about(256, L'\0');
        const int length =
            ::LoadStringW(instance_, IDS_ABOUTBOX, about.data(), static_cast<int>(about.size()));
        if (length > 0) {
            about.resize(static_cast<std::size_t>(length));
            HMENU menu = ::GetSystemMenu(window_, FALSE);
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
        ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
        ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
        ::SetWindowTextW(window_, Wide(quorrel::kWindowTitle).c_str());
        const bool chineseUi = quorrel::IsChineseLanguage(::GetSystemDefaultLangID());
        for (const char* rate : quorrel::kBaudRates) {
            ::SendMessageW(Item(IDC_BAUD), CB_ADDSTRING, 0,
                           reinterpret_cast<LPARAM>(Wide(rate).c_str()));
        }
        ::SetWindowTextW(Item(IDC_PORT), Wide(quorrel::kDefaultPort).c_str());
        ::SetWindowTextW(Item(IDC_BAUD), Wide(quorrel::kDefaultBaud).c_str());
        // The user may type far more than an edit control's default 30000 characters.
        for (int box : {IDC_RECEIVE, IDC_TEXT, IDC_LOG}) {
            ::SendMessageW(Item(box), EM_SETLIMITTEXT, 0, 0);
        }
        EnumerateSerialPorts();

        library_ = std::make_unique<CTarvikLibrary>(std::string());
        quorrel::IView& view = *this;
        core_ = std::make_unique<quorrel::CQuorrelCore>(view, *library_, chineseUi);
        core_->Initialise();
        if (library_->IsLoaded()) {
            ::SetWindowTextW(Item(IDC_TEXT), Wide(core_->DefaultTestText()).c_str());
            if (core_->UseEnglishCaptions()) {
                for (const quorrel::Caption& caption : quorrel::EnglishCaptions()) {
                    ::SetWindowTextW(Item(caption.controlId), Wide(caption.english).c_str());
                }
            }
            ::SendMessageW(Item(IDC_AREA_CODE), BM_SETCHECK,
                           core_->AreaCodeByDefault() ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        return TRUE;
    }

    // The registry's ports in its order; without any the box keeps "COM1" and no list.
    bool EnumerateSerialPorts() {
        const std::vector<std::string> ports = RegisteredSerialPorts();
        if (ports.empty()) {
            return false;
        }
        HWND box = Item(IDC_PORT);
        ::SendMessageW(box, CB_RESETCONTENT, 0, 0);
        ::SetWindowTextW(box, L"");
        for (const std::string& port : ports) {
            ::SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(port).c_str()));
        }
        return true;
    }

    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM) {
        switch (message) {
            case WM_COMMAND:
                if (HIWORD(wParam) != BN_CLICKED) {
                    return FALSE;
                }
                switch (LOWORD(wParam)) {
                    case IDC_START:
                        core_->OnStart();
                        return TRUE;
                    case IDC_STOP:
                        core_->OnStop();
                        return TRUE;
                    case IDC_SEND:
                        core_->OnSend();
                        return TRUE;
                    case IDC_CLEAR:
                        core_->OnClear();
                        return TRUE;
                    default:
                        return FALSE;
                }
            case WM_TIMER:
                if (wParam == static_cast<WPARAM>(quorrel::Timer::Message) ||
                    wParam == static_cast<WPARAM>(quorrel::Timer::Report)) {
                    core_->OnTimer(static_cast<quorrel::Timer>(wParam));
                    return TRUE;
                }
                return FALSE;
            case WM_SYSCOMMAND:
                if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                    ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, AboutProc,
                                      0);
                    return TRUE;
                }
                return FALSE;
            case WM_QUERYDRAGICON:
                ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(icon_));
                return TRUE;
            case WM_CLOSE:
                // Nothing is stopped: the service runs on until the process ends.
                ::DestroyWindow(window_);
                return TRUE;
            case WM_DESTROY:
                ::PostQuitMessage(0);
                return TRUE;
            default:
                return FALSE;
        }
    }

    static int BoxId(quorrel::Box box) { return box == quorrel::Box::Log ? IDC_LOG : IDC_RECEIVE; }

    std::string PortText() const override { return Utf8(Item(IDC_PORT)); }
    std::string BaudText() const override { return Utf8(Item(IDC_BAUD)); }
    bool RtsChecked() const override { return Checked(Item(IDC_RTS)); }
    bool AreaCodeChecked() const override { return Checked(Item(IDC_AREA_CODE)); }
    bool QuickChecked() const override { return Checked(Item(IDC_QUICK)); }
    std::string NumberText() const override { return Utf8(Item(IDC_NUMBER)); }
    std::string MessageText() const override { return Utf8(Item(IDC_TEXT)); }
    std::string BoxText(quorrel::Box box) const override { return Utf8(Item(BoxId(box))); }

    void ShowBoxText(quorrel::Box which, const std::string& text) override {
        HWND box = Item(BoxId(which));
        ::SetWindowTextW(box, Wide(text).c_str());
        // Down by as many lines as the box has, so that its end is in view; the caret goes
        // there too, so that a later relayout keeps showing it.
        const LRESULT lines = ::SendMessageW(box, EM_GETLINECOUNT, 0, 0);
        const LRESULT end = ::GetWindowTextLengthW(box);
        ::SendMessageW(box, EM_SETSEL, static_cast<WPARAM>(end), end);
        ::SendMessageW(box, EM_LINESCROLL, 0, lines);
        ::SendMessageW(box, EM_SCROLLCARET, 0, 0);
    }

    void EnableButtons(const quorrel::Buttons& buttons) override {
        ::EnableWindow(Item(IDC_START), buttons.start);
        ::EnableWindow(Item(IDC_STOP), buttons.stop);
        ::EnableWindow(Item(IDC_SEND), buttons.send);
    }

    void StartTimer(quorrel::Timer timer, int intervalMs) override {
        ::SetTimer(window_, static_cast<UINT_PTR>(timer), static_cast<UINT>(intervalMs), nullptr);
    }

    void StopTimer(quorrel::Timer timer) override {
        ::KillTimer(window_, static_cast<UINT_PTR>(timer));
    }

    void Warn(const std::string& text) override {
        ::MessageBoxW(window_, Wide(text).c_str(), L"Quorrel", MB_OK | MB_ICONWARNING);
    }

    HINSTANCE instance_;
    HICON icon_;
    HICON smallIcon_;
    HWND window_ = nullptr;
    std::unique_ptr<CTarvikLibrary> library_;
    std::unique_ptr<quorrel::CQuorrelCore> core_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    CQuorrelDlg dialog(instance);
    return dialog.Run();
}
