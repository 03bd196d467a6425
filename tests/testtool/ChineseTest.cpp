// The window on a Chinese system: the template's captions stay, the test text is Chinese,
// received lines use the Chinese wording, and a failed start shows the library's reason.
#include <QCheckBox>
#include <QGroupBox>
#include <QLocale>

#include "QuorrelTestSupport.h"

class ChineseTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(QLocale::system().territory(), QLocale::China); }

    void templateCaptionsAndChineseText() {
        FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        QCOMPARE(window.Get<QWidget>("portLabel")->property("text").toString(),
                 QStringLiteral("串口："));
        QCOMPARE(window.Get<QWidget>("numberLabel")->property("text").toString(),
                 QStringLiteral("   接收端号码："));
        QCOMPARE(window.Get<QWidget>("startButton")->property("text").toString(),
                 QStringLiteral("开始"));
        QCOMPARE(window.Get<QGroupBox>("settingsGroup")->title(), QStringLiteral("参数设置"));
        QCOMPARE(window.Text("textBox"), QStringLiteral("This is 短信测试内容 12345"));
        QVERIFY(window.Get<QCheckBox>("areaCodeCheck")->isChecked());
    }

    // The reason follows the failure line directly, without an empty line between.
    void failedStartShowsTheReason() {
        StubState& stub = FreshStub(OwnFolder());
        stub.startResult = 0;
        stub.lastError = "The port cannot be opened";
        QuorrelWindow window;
        window.Open();
        window.Get<QPlainTextEdit>("logBox")->setPlainText("earlier");
        window.Click("startButton");
        QCOMPARE(window.Log(), QStringLiteral("earlier\n启动失败\nThe port cannot be opened\n"));
        QVERIFY(window.Enabled("startButton"));
        QVERIFY(!window.Enabled("stopButton"));
    }

    void receivedAndReportLinesInChinese() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        window.Click("startButton");
        stub.messages.push_back(Message("2024-03-05 14:07:09", "+8613912345678", "你好"));
        stub.reports.push_back({1, Report(1, "13912345678", "你好")});
        QTRY_VERIFY_WITH_TIMEOUT(!window.Received().isEmpty(), 5000);
        QCOMPARE(window.Received(),
                 QStringLiteral("收到短信:<2024-03-05 14:07:09> <+8613912345678>:\n    你好\n"));
        // The report tick comes first, but a loaded machine may hold both back.
        QTRY_COMPARE_WITH_TIMEOUT(
            window.Log(), QStringLiteral("启动成功\n\n发往13912345678的短信发送成功,内容:你好\n"),
            5000);
    }
};

QTEST_MAIN(ChineseTest)
#include "ChineseTest.moc"
