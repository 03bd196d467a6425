// quorrel-shot: takes a picture of the Quorrel window after a start, a send and the reply,
// for the README. Usage: quorrel-shot OUTPUT.png PORT-TEXT NUMBER
#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cstdio>

#include "QuorrelDlg.h"

namespace {

constexpr int kReplyWaitMs = 30000;

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > kReplyWaitMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 4) {
        std::fputs("usage: quorrel-shot OUTPUT.png PORT-TEXT NUMBER\n", stderr);
        return 2;
    }
    CQuorrelDlg dialog;
    dialog.Preset(args[2], args[3]);
    dialog.show();
    auto* receive = dialog.findChild<QPlainTextEdit*>(QStringLiteral("receiveBox"));
    auto* log = dialog.findChild<QPlainTextEdit*>(QStringLiteral("logBox"));
    auto* stop = dialog.findChild<QPushButton*>(QStringLiteral("stopButton"));
    dialog.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    if (!stop->isEnabled()) {
        std::fputs("quorrel-shot: the start failed\n", stderr);
        return 1;
    }
    dialog.findChild<QPushButton*>(QStringLiteral("sendButton"))->click();
    const bool answered = WaitFor(
        [&] { return !receive->toPlainText().isEmpty() && log->toPlainText().count('\n') >= 3; });
    if (!answered) {
        std::fputs("quorrel-shot: no report or message came back\n", stderr);
        return 1;
    }
    if (!dialog.grab().save(args[1])) {
        std::fprintf(stderr, "quorrel-shot: cannot write %s\n", qPrintable(args[1]));
        return 1;
    }
    return 0;
}
