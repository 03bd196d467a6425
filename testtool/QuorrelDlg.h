// The main window: starts and stops the service on the chosen port, submits the text to
// the number, and shows on two timers what the library hands back.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTimer>

#include <memory>

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

class CQuorrelDlg : public QDialog {
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
    void OnStart();
    void OnStop();
    void OnSend();
    void OnClear();
    void OnMessagePoll();
    void OnReportPoll();
    void OnAbout();

private:
    void OnInitDialog(const QString& libraryFolder, const QString& ttyClassDir);
    bool EnumerateSerialPorts(const QString& ttyClassDir);
    void SetEnglishCaptions();
    void ShowLastError();
    // Adds an entry (UTF-8, lines ending in CR LF) to a box; past 30000 bytes the box
    // starts over with the entry alone.
    void AppendEntry(QPlainTextEdit* box, const QByteArray& entry);

    std::unique_ptr<Ui::CQuorrelDlg> ui_;
    std::unique_ptr<CTarvikLibrary> library_;
    QIcon icon_;
    QAction* aboutAction_ = nullptr;
    QTimer messageTimer_;
    QTimer reportTimer_;
    bool chineseUi_ = false;
};
