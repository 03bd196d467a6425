// Quorrel with the real library and the simulated modem: start on the simulator's port,
// send to its own number, and see the report and the message come back.
#include <QComboBox>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>

#include "Modem.h"
#include "QuorrelTestSupport.h"

class EndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void sendToTheModemsOwnNumber() {
        QuorrelWindow window(QStringLiteral(TARVIK_BIN_DIR));
        ModemSim::CModem modem(window.PortDir().path().toStdString(), 1,
                               ModemSim::ProfileFor("MU609"));
        window.Open();
        auto* ports = window.Get<QComboBox>("portBox");
        QCOMPARE(ports->count(), 1);
        QVERIFY(ports->itemText(0).startsWith("COM1 ("));
        ports->setCurrentIndex(0);
        window.Get<QLineEdit>("numberBox")->setText("13800138000");
        const QString text = window.Text("textBox");

        window.Click("startButton");
        QCOMPARE(window.Log(), QStringLiteral("启动成功\n"));
        QVERIFY(window.Enabled("sendButton"));
        window.Click("sendButton");
        QTRY_VERIFY_WITH_TIMEOUT(!window.Received().isEmpty(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(
            window.Log(), "启动成功\n\n发往13800138000的短信发送成功,内容:" + text + "\n", 10000);
        const QString head =
            QLocale::system().language() == QLocale::Chinese ? "收到短信" : "Receive SMS";
        const QRegularExpression line(
            "^" + head + R"(:<\d{4}-\d\d-\d\d \d\d:\d\d:\d\d> <\+?8613800138000>:\n    )" +
            QRegularExpression::escape(text) + "\n$");
        QVERIFY2(line.match(window.Received()).hasMatch(), qPrintable(window.Received()));

        window.Click("stopButton");
        QTRY_VERIFY(window.Log().endsWith("\n\n停止成功\n"));
    }
};

QTEST_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
