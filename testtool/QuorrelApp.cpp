#include "QuorrelApp.h"

#include <QCommandLineParser>

#include "QuorrelDlg.h"

CQuorrelApp::CQuorrelApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Quorrel"));
    setApplicationVersion(QStringLiteral("3.0.0.1"));
}

int CQuorrelApp::InitInstance() {
    // Two presets let the run command open the window ready for the simulated modem.
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Tries out the Tarvik SMS library."));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Text of the port box, such as COM1."),
                                  QStringLiteral("text"));
    const QCommandLineOption number(QStringLiteral("number"),
                                    QStringLiteral("Text of the number box."),
                                    QStringLiteral("text"));
    options.addOption(port);
    options.addOption(number);
    options.process(*this);

    CQuorrelDlg dialog;
    dialog.Preset(options.value(port), options.value(number));
    dialog.exec();
    return 0;
}
