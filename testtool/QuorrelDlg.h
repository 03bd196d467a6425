// The main window: starts and stops the service on the chosen port, submits the text to
// the number, and shows on two timers what the library hands back.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTimer>

#include <memory>

#include "QuorrelCore.h"

class CTarvikLibrary;
class QAction;
class QPlainTextEdit;

namespace Ui {
class CQuorrelDlg;
}

// Where the window looks for what it needs.
struct QuorrelPaths {
    // Where the library is looked for first; empty: the program's own folder.
    QString libraryFolder;
    // The kernel's tty class folder, which tells which serial devices exist.
    QString ttyClassDir = QStringLiteral("/sys/class/tty");
};

class CQuorrelDlg : public QDialog, private quorrel::IView {
    Q_OBJECT

public:
    explicit CQuorrelDlg(QuorrelPaths paths = {}, QWidget* parent = nullptr);
    ~CQuorrelDlg() override;

    // Texts put into the port and number boxes once the window is set up; used by the
    // run command to open the window on the simulated modem.
    void Preset(const QString& portText, const QString& number);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private slots:
    void OnAbout();

private:
    void OnInitDialog(const QString& libraryFolder, const QString& ttyClassDir);
    bool EnumerateSerialPorts(const QString& ttyClassDir);
    void SetEnglishCaptions();
    QPlainTextEdit* BoxOf(quorrel::Box box) const;
    QTimer& TimerOf(quorrel::Timer timer);

    // The view the core works through.
    std::string PortText() const override;
    std::string BaudText() const override;
    bool RtsChecked() const override;
    bool QuickChecked() const override;
    bool AreaCodeChecked() const override;
    std::string NumberText() const override;
    std::string MessageText() const override;
    std::string BoxText(quorrel::Box box) const override;
    void ShowBoxText(quorrel::Box box, const std::string& text) override;
    void EnableButtons(const quorrel::Buttons& buttons) override;
    void StartTimer(quorrel::Timer timer, int intervalMs) override;
    void StopTimer(quorrel::Timer timer) override;
    void Warn(const std::string& text) override;

    std::unique_ptr<Ui::CQuorrelDlg> ui_;
    std::unique_ptr<CTarvikLibrary> library_;
    QIcon icon_;
    QAction* aboutAction_ = nullptr;
    QTimer messageTimer_;
    QTimer reportTimer_;
    std::unique_ptr<quorrel::CQuorrelCore> core_;
};
