// The window without the library, and with libraries that lack some exports: each action
// whose export is missing does nothing, and a missing send stops the report poll.
#include <QCheckBox>
#include <QGroupBox>
#include <QMessageBox>

#include "QuorrelTestSupport.h"

class MissingLibraryTest : public QObject {
    Q_OBJECT

private slots:
    // First, while no library is loaded in this process at all.
    void noLibrary() {
        QTemporaryDir empty;
        QuorrelWindow window(empty.path());
        window.Open();
        // The template's captions even on this English system.
        QCOMPARE(window.Get<QWidget>("startButton")->property("text").toString(),
                 QStringLiteral("开始"));
        QCOMPARE(window.Get<QGroupBox>("logGroup")->title(), QStringLiteral("输出栏"));
        QVERIFY(window.Text("textBox").isEmpty());
        QVERIFY(!window.Get<QCheckBox>("areaCodeCheck")->isChecked());
        QVERIFY(window.Enabled("startButton"));
        QVERIFY(!window.Enabled("stopButton"));
        QVERIFY(!window.Enabled("sendButton"));
        for (int press = 0; press < 2; ++press) {
            const auto warning = DescribeNextModal(
                [](QWidget* box) { return QStringList({static_cast<QMessageBox*>(box)->text()}); });
            window.Click("startButton");
            QCOMPARE(*warning, QStringList({"动态库未加载"}));
        }
        QVERIFY(window.Log().isEmpty());
        QVERIFY(window.Enabled("startButton"));
    }

    void missingSendStopsTheReportPoll() {
        const QString folder = QStringLiteral(STUB_ROOT "/quorrel_stub_nosend");
        StubState& stub = FreshStub(folder);
        QuorrelWindow window(folder);
        window.Open();
        window.Click("startButton");
        stub.reports.push_back({1, Report(1, "13912345678", "before")});
        QTRY_COMPARE_WITH_TIMEOUT(
            window.Log(), QStringLiteral("启动成功\n\n发往13912345678的短信发送成功,内容:before\n"),
            3000);
        window.Click("sendButton");
        stub.reports.push_back({1, Report(1, "13912345678", "after")});
        // Without a message export the message poll shows nothing either.
        stub.messages.push_back(Message("2024-03-05 14:07:09", "10086", "hi"));
        QTest::qWait(2000);
        QCOMPARE(stub.reports.size(), std::size_t{1});
        QVERIFY(window.Received().isEmpty());
        // Without a stop export, Stop changes nothing.
        window.Click("stopButton");
        QVERIFY(window.Enabled("stopButton"));
        QVERIFY(!window.Enabled("startButton"));
        QCOMPARE(window.Log(),
                 QStringLiteral("启动成功\n\n发往13912345678的短信发送成功,内容:before\n"));
    }
};

QTEST_MAIN(MissingLibraryTest)
#include "MissingLibraryTest.moc"
