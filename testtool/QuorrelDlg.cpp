#include "QuorrelDlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>

#include <array>
#include <climits>
#include <memory>

#include "AboutDlg.h"
#include "PortList.h"
#include "TarvikLibrary.h"
#include "ui_QuorrelDlg.h"

namespace {

constexpr int kMessagePollMs = 1500;
constexpr int kReportPollMs = 900;
// A box that would grow past this many bytes starts over with the new entry.
constexpr qsizetype kBoxRestartBytes = 30000;
constexpr std::size_t kErrorBufferSize = 1024;

const char kAboutItem[] = "关于 Quorrel(&A)...";

bool IsChineseSystem() {
    const QLocale system = QLocale::system();
    if (system.language() != QLocale::Chinese) {
        return false;
    }
    const QLocale::Territory territory = system.territory();
    return territory == QLocale::China || territory == QLocale::Taiwan ||
           territory == QLocale::HongKong;
}

// The leading decimal number of a text as the C library's atoi reads it: blanks skipped, an
// optional sign, digits up to the first other character; 0 without digits. Saturates
// instead of overflowing.
int LeadingNumber(const QString& text) {
    qsizetype at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at].unicode() - '0');
        if (value > INT_MAX) {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

// The port box reads "COM" and a number; the first three characters are not examined.
int ParsePortNumber(const QString& text) {
    return text.size() <= 3 ? 0 : LeadingNumber(text.mid(3));
}

// A text field of a record; the library terminates it, but nothing is read past its end.
template <std::size_t N>
QByteArray Field(const char (&field)[N]) {
    return QByteArray(field, static_cast<qsizetype>(qstrnlen(field, N)));
}

// The boxes show the platform's line ends; entries and the restart limit count CR LF.
QByteArray BoxText(const QPlainTextEdit* box) {
    return box->toPlainText().replace('\n', QStringLiteral("\r\n")).toUtf8();
}

void SetBoxText(QPlainTextEdit* box, const QByteArray& text) {
    box->setPlainText(
        QString::fromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    box->moveCursor(QTextCursor::End);
    box->ensureCursorVisible();
    QScrollBar* bar = box->verticalScrollBar();
    bar->setValue(bar->maximum());
}

// Lines are laid out lazily, so a long entry may grow the scroll range after the scroll
// that showed its end, and other font metrics wrap it differently. A box at its end
// therefore stays there when the range changes; one the user scrolled up stays put.
void FollowEnd(QPlainTextEdit* box) {
    QScrollBar* bar = box->verticalScrollBar();
    auto atEnd = std::make_shared<bool>(true);
    QObject::connect(bar, &QScrollBar::valueChanged, box,
                     [bar, atEnd](int value) { *atEnd = value == bar->maximum(); });
    QObject::connect(bar, &QScrollBar::rangeChanged, box, [bar, atEnd](int, int maximum) {
        if (*atEnd) {
            bar->setValue(maximum);
        }
    });
}

}  // namespace

CQuorrelDlg::CQuorrelDlg(QuorrelPaths paths, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::CQuorrelDlg>()) {
    icon_.addFile(QStringLiteral(":/Quorrel-16.png"));
    icon_.addFile(QStringLiteral(":/Quorrel-32.png"));
    icon_.addFile(QStringLiteral(":/Quorrel-48.png"));
    OnInitDialog(paths.libraryFolder.isEmpty() ? QCoreApplication::applicationDirPath()
                                               : paths.libraryFolder,
                 paths.ttyClassDir);
}

// The library is deliberately not unloaded and the service not stopped: a window closed
// while started leaves the service running until the program ends.
CQuorrelDlg::~CQuorrelDlg() = default;

void CQuorrelDlg::OnInitDialog(const QString& libraryFolder, const QString& ttyClassDir) {
    ui_->setupUi(this);
    // A fixed frame with a minimise box, listed in the task bar as a window of its own.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    connect(ui_->startButton, &QPushButton::clicked, this, &CQuorrelDlg::OnStart);
    connect(ui_->stopButton, &QPushButton::clicked, this, &CQuorrelDlg::OnStop);
    connect(ui_->sendButton, &QPushButton::clicked, this, &CQuorrelDlg::OnSend);
    connect(ui_->clearButton, &QPushButton::clicked, this, &CQuorrelDlg::OnClear);
    FollowEnd(ui_->receiveBox);
    FollowEnd(ui_->logBox);
    messageTimer_.setInterval(kMessagePollMs);
    reportTimer_.setInterval(kReportPollMs);
    connect(&messageTimer_, &QTimer::timeout, this, &CQuorrelDlg::OnMessagePoll);
    connect(&reportTimer_, &QTimer::timeout, this, &CQuorrelDlg::OnReportPoll);
    // Enter and Escape reach no control of this window, wherever the focus is.
    qApp->installEventFilter(this);

    // The window manager owns the window menu here; the about item is in the context menu.
    aboutAction_ = new QAction(QString::fromUtf8(kAboutItem), this);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    connect(aboutAction_, &QAction::triggered, this, &CQuorrelDlg::OnAbout);
    addAction(aboutAction_);

    setWindowIcon(icon_);
    setWindowTitle(QStringLiteral("QuorrelV3.3.0"));
    chineseUi_ = IsChineseSystem();
    ui_->portBox->setEditText(QStringLiteral("COM1"));
    ui_->baudBox->setEditText(QStringLiteral("115200"));
    ui_->stopButton->setEnabled(false);
    ui_->sendButton->setEnabled(false);
    EnumerateSerialPorts(ttyClassDir);

    library_ = std::make_unique<CTarvikLibrary>(libraryFolder);
    if (library_->IsLoaded()) {
        ui_->textBox->setPlainText(chineseUi_ ? QStringLiteral("This is 短信测试内容 12345")
                                              : QStringLiteral("This is Norvane SMS Test Text"));
        if (!chineseUi_) {
            SetEnglishCaptions();
        }
        ui_->areaCodeCheck->setChecked(true);
    }
    ui_->portBox->setFocus();
}

bool CQuorrelDlg::EnumerateSerialPorts(const QString& ttyClassDir) {
    const QStringList ports = ListSerialPorts(ttyClassDir);
    if (ports.isEmpty()) {
        return false;
    }
    // Nothing is picked: the field stays empty until the user chooses or types a port.
    ui_->portBox->clear();
    ui_->portBox->addItems(ports);
    ui_->portBox->setCurrentIndex(-1);
    ui_->portBox->clearEditText();
    return true;
}

void CQuorrelDlg::SetEnglishCaptions() {
    // Each control carries its English caption beside the template's in the layout file.
    for (QWidget* control : findChildren<QWidget*>()) {
        const QVariant english = control->property("englishText");
        if (!english.isValid()) {
            continue;
        }
        if (auto* group = qobject_cast<QGroupBox*>(control)) {
            group->setTitle(english.toString());
        } else {
            control->setProperty("text", english);
        }
    }
}

void CQuorrelDlg::Preset(const QString& portText, const QString& number) {
    if (!portText.isEmpty()) {
        ui_->portBox->setEditText(portText);
    }
    if (!number.isEmpty()) {
        ui_->numberBox->setText(number);
    }
}

void CQuorrelDlg::OnStart() {
    if (!library_->IsLoaded()) {
        QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                        QStringLiteral("动态库未加载"), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    auto* start = library_->Find<decltype(SMSStartService)>("SMSStartService");
    if (start == nullptr) {
        return;
    }
    const int port = ParsePortNumber(ui_->portBox->currentText());
    if (port == 0) {
        return;
    }
    const int baudRate = LeadingNumber(ui_->baudBox->currentText());
    if (baudRate == 0) {
        return;
    }
    const int rts = ui_->rtsCheck->isChecked() ? 1 : 0;
    // Blocks the window until the modem dialogue of the start is over.
    if (start(port, baudRate, 2, 8, 0, rts, "card") != 0) {
        AppendEntry(ui_->logBox, "启动成功\r\n");
        messageTimer_.start();
        reportTimer_.start();
        ui_->startButton->setEnabled(false);
        ui_->stopButton->setEnabled(true);
        ui_->sendButton->setEnabled(true);
    } else {
        AppendEntry(ui_->logBox, "启动失败\r\n");
        ShowLastError();
    }
}

void CQuorrelDlg::OnStop() {
    auto* stop = library_->Find<decltype(SMSStopSerice)>("SMSStopSerice");
    if (stop == nullptr || stop() == 0) {
        return;
    }
    AppendEntry(ui_->logBox, "停止成功\r\n");
    reportTimer_.stop();
    messageTimer_.stop();
    ui_->startButton->setEnabled(true);
    ui_->stopButton->setEnabled(false);
    ui_->sendButton->setEnabled(false);
}

void CQuorrelDlg::OnSend() {
    if (!library_->IsLoaded()) {
        return;
    }
    auto* send = library_->Find<decltype(SMSSendMessage2)>("SMSSendMessage2");
    if (send == nullptr) {
        reportTimer_.stop();
        return;
    }
    // Writable copies with room for at least 1024 and 20 characters; longer texts are
    // passed whole, not cut.
    QByteArray number = ui_->numberBox->text().toUtf8();
    QByteArray text = ui_->textBox->toPlainText().toUtf8();
    number.reserve(21);
    text.reserve(1025);
    const char* prefix = ui_->areaCodeCheck->isChecked() ? "86" : "";
    // The outcome arrives later through the report poll.
    send(text.data(), number.data(), prefix);
}

void CQuorrelDlg::OnClear() {
    ui_->logBox->clear();
    ui_->receiveBox->clear();
}

void CQuorrelDlg::OnMessagePoll() {
    auto* report = library_->Find<decltype(SMSReport)>("SMSReport");
    auto* next = library_->Find<decltype(SMSGetNextMessage)>("SMSGetNextMessage");
    if (report == nullptr || next == nullptr) {
        return;
    }
    RecvMsg message{};
    if (next(&message) != 1) {
        return;
    }
    const QByteArray head = chineseUi_ ? "收到短信:<" : "Receive SMS:<";
    AppendEntry(ui_->receiveBox, head + Field(message.timestamp) + "> <" + Field(message.number) +
                                     ">:\r\n    " + Field(message.text) + "\r\n");
}

void CQuorrelDlg::OnReportPoll() {
    auto* report = library_->Find<decltype(SMSReport)>("SMSReport");
    if (report == nullptr) {
        return;
    }
    SendReport record{};
    // Only a positive result copied a record; -1 (not started) leaves it empty.
    if (report(&record) <= 0) {
        return;
    }
    const QByteArray outcome = record.result == 1 ? "的短信发送成功,内容:" : "的短信发送失败,内容:";
    AppendEntry(ui_->logBox, "发往" + Field(record.number) + outcome + Field(record.text) + "\r\n");
}

void CQuorrelDlg::ShowLastError() {
    auto* lastError = library_->Find<decltype(SMSGetLastError)>("SMSGetLastError");
    std::array<char, kErrorBufferSize> buffer{};
    if (lastError == nullptr || lastError(buffer.data()) <= 0 || !chineseUi_) {
        return;
    }
    // Right behind the failure line, with no separating line and no restart.
    const QByteArray text(buffer.data(),
                          static_cast<qsizetype>(qstrnlen(buffer.data(), buffer.size())));
    SetBoxText(ui_->logBox, BoxText(ui_->logBox) + text + "\r\n");
}

void CQuorrelDlg::AppendEntry(QPlainTextEdit* box, const QByteArray& entry) {
    QByteArray text = BoxText(box);
    if (!text.isEmpty()) {
        text += "\r\n";
    }
    if (text.size() > kBoxRestartBytes) {
        text = entry;
    } else {
        text += entry;
    }
    SetBoxText(box, text);
}

bool CQuorrelDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CQuorrelDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(aboutAction_);
    menu.exec(event->globalPos());
}

void CQuorrelDlg::OnAbout() {
    CAboutDlg about(icon_, this);
    about.exec();
}
