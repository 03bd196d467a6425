#include "QuorrelDlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>

#include <memory>

#include "AboutDlg.h"
#include "PortList.h"
#include "TarvikLibrary.h"
#include "ui_QuorrelDlg.h"

namespace {

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

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
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
    FollowEnd(ui_->receiveBox);
    FollowEnd(ui_->logBox);
    connect(&messageTimer_, &QTimer::timeout, this,
            [this] { core_->OnTimer(quorrel::Timer::Message); });
    connect(&reportTimer_, &QTimer::timeout, this,
            [this] { core_->OnTimer(quorrel::Timer::Report); });
    // Enter and Escape reach no control of this window, wherever the focus is.
    qApp->installEventFilter(this);

    // The window manager owns the window menu here; the about item is in the context menu.
    aboutAction_ = new QAction(QString::fromUtf8(kAboutItem), this);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    connect(aboutAction_, &QAction::triggered, this, &CQuorrelDlg::OnAbout);
    addAction(aboutAction_);

    setWindowIcon(icon_);
    setWindowTitle(QString::fromUtf8(quorrel::kWindowTitle));
    const bool chineseUi = IsChineseSystem();
    ui_->portBox->setEditText(QString::fromUtf8(quorrel::kDefaultPort));
    ui_->baudBox->setEditText(QString::fromUtf8(quorrel::kDefaultBaud));
    EnumerateSerialPorts(ttyClassDir);

    library_ = std::make_unique<CTarvikLibrary>(Utf8(libraryFolder));
    quorrel::IView& view = *this;
    core_ = std::make_unique<quorrel::CQuorrelCore>(view, *library_, chineseUi);
    core_->Initialise();
    if (library_->IsLoaded()) {
        ui_->textBox->setPlainText(QString::fromStdString(core_->DefaultTestText()));
        if (core_->UseEnglishCaptions()) {
            SetEnglishCaptions();
        }
        ui_->areaCodeCheck->setChecked(core_->AreaCodeByDefault());
    }
    connect(ui_->startButton, &QPushButton::clicked, this, [this] { core_->OnStart(); });
    connect(ui_->stopButton, &QPushButton::clicked, this, [this] { core_->OnStop(); });
    connect(ui_->sendButton, &QPushButton::clicked, this, [this] { core_->OnSend(); });
    connect(ui_->clearButton, &QPushButton::clicked, this, [this] { core_->OnClear(); });
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
    // Controls carry their template id, by which the core names their English captions.
    for (QWidget* control : findChildren<QWidget*>()) {
        const QVariant id = control->property("controlId");
        if (!id.isValid()) {
            continue;
        }
        for (const quorrel::Caption& caption : quorrel::EnglishCaptions()) {
            if (caption.controlId != id.toInt()) {
                continue;
            }
            const QString english = QString::fromUtf8(caption.english);
            if (auto* group = qobject_cast<QGroupBox*>(control)) {
                group->setTitle(english);
            } else {
                control->setProperty("text", english);
            }
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

QPlainTextEdit* CQuorrelDlg::BoxOf(quorrel::Box box) const {
    return box == quorrel::Box::Log ? ui_->logBox : ui_->receiveBox;
}

QTimer& CQuorrelDlg::TimerOf(quorrel::Timer timer) {
    return timer == quorrel::Timer::Message ? messageTimer_ : reportTimer_;
}

std::string CQuorrelDlg::PortText() const {
    return Utf8(ui_->portBox->currentText());
}

std::string CQuorrelDlg::BaudText() const {
    return Utf8(ui_->baudBox->currentText());
}

bool CQuorrelDlg::RtsChecked() const {
    return ui_->rtsCheck->isChecked();
}

bool CQuorrelDlg::QuickChecked() const {
    return ui_->quickCheck->isChecked();
}

bool CQuorrelDlg::AreaCodeChecked() const {
    return ui_->areaCodeCheck->isChecked();
}

std::string CQuorrelDlg::NumberText() const {
    return Utf8(ui_->numberBox->text());
}

std::string CQuorrelDlg::MessageText() const {
    return Utf8(ui_->textBox->toPlainText());
}

// The boxes show the platform's line ends; entries and the restart limit count CR LF.
std::string CQuorrelDlg::BoxText(quorrel::Box box) const {
    return Utf8(BoxOf(box)->toPlainText().replace('\n', QStringLiteral("\r\n")));
}

void CQuorrelDlg::ShowBoxText(quorrel::Box which, const std::string& text) {
    QPlainTextEdit* box = BoxOf(which);
    box->setPlainText(
        QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    box->moveCursor(QTextCursor::End);
    box->ensureCursorVisible();
    QScrollBar* bar = box->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void CQuorrelDlg::EnableButtons(const quorrel::Buttons& buttons) {
    ui_->startButton->setEnabled(buttons.start);
    ui_->stopButton->setEnabled(buttons.stop);
    ui_->sendButton->setEnabled(buttons.send);
}

void CQuorrelDlg::StartTimer(quorrel::Timer timer, int intervalMs) {
    TimerOf(timer).start(intervalMs);
}

void CQuorrelDlg::StopTimer(quorrel::Timer timer) {
    TimerOf(timer).stop();
}

void CQuorrelDlg::Warn(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    QString::fromStdString(text), QMessageBox::Ok, this);
    box.exec();
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
