// Shared by the Quorrel tests: the window on a chosen library, its controls, the stand-in
// library's state, and modal windows that the window opens.
#pragma once

#include <QDir>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

#include "QuorrelDlg.h"
#include "StubRecords.h"
#include "StubState.h"

// The window as a user meets it, on an otherwise empty machine: no serial devices, and a
// port folder of its own. `libraryFolder` empty: the test program's own folder.
class QuorrelWindow {
public:
    explicit QuorrelWindow(const QString& libraryFolder = {});

    CQuorrelDlg& Dialog() { return *dialog_; }
    // The folder named by TARVIK_PORT_DIR and the stand-in for the kernel's tty folder;
    // fill them before calling Open.
    QDir PortDir() const { return QDir(portDir_.path()); }
    QDir TtyDir() const { return QDir(ttyDir_.path()); }
    void Open();

    template <typename Widget>
    Widget* Get(const char* name) {
        auto* widget = dialog_->findChild<Widget*>(QString::fromLatin1(name));
        if (widget == nullptr) {
            qFatal("no control %s", name);
        }
        return widget;
    }
    QString Text(const char* box) { return Get<QPlainTextEdit>(box)->toPlainText(); }
    QString Log() { return Text("logBox"); }
    QString Received() { return Text("receiveBox"); }
    void Click(const char* button);
    bool Enabled(const char* control);

private:
    QString libraryFolder_;
    QTemporaryDir portDir_;
    QTemporaryDir ttyDir_;
    std::unique_ptr<CQuorrelDlg> dialog_;
};

// The test program's own folder; the dialog tests sit beside the stand-in library there, as
// Quorrel sits beside the real one.
inline QString OwnFolder() {
    return QCoreApplication::applicationDirPath();
}

// The stand-in library in `folder`, reset to its defaults.
StubState& FreshStub(const QString& folder);

// Runs `describe` on the next modal window (or pop-up menu) to show, then closes it; the
// returned list is filled once that happened.
std::shared_ptr<QStringList> DescribeNextModal(std::function<QStringList(QWidget*)> describe);
