// The window on an English system with a library whose answers the tests set: captions,
// layout, ports, start and stop, sending, the two polls, the boxes and the keyboard.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>

#include <climits>
#include <memory>

#include "QuorrelTestSupport.h"

namespace {

// The number of entries (each but the first behind an empty line) a box held after each
// change of its text, and when, counted from the creation of the record.
struct EntryRecord {
    QList<qsizetype> counts;
    QList<qint64> times;
};
std::shared_ptr<EntryRecord> RecordEntries(QPlainTextEdit* box) {
    auto record = std::make_shared<EntryRecord>();
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(box, &QPlainTextEdit::textChanged, box, [box, record, clock] {
        const QString text = box->toPlainText();
        const qsizetype count = text.isEmpty() ? 0 : text.count(QStringLiteral("\n\n")) + 1;
        if (record->counts.isEmpty() || record->counts.last() != count) {
            record->counts << count;
            record->times << clock->elapsed();
        }
    });
    return record;
}

// Whether a user sees the start or the end of a box's text: the cursor's place there lies
// wholly inside the visible part of the box.
bool InView(QPlainTextEdit* box, QTextCursor::MoveOperation where) {
    QTextCursor cursor(box->document());
    cursor.movePosition(where);
    return box->viewport()->rect().contains(box->cursorRect(cursor));
}
bool EndInView(QPlainTextEdit* box) {
    return InView(box, QTextCursor::End);
}

// A larger font: the box's text takes more lines, laid out after the entry that showed it.
void Enlarge(QPlainTextEdit* box) {
    QFont font = box->font();
    font.setPointSize(font.pointSize() + 3);
    box->setFont(font);
}

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

private slots:
    void englishCaptionsAndDefaults() {
        FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        QCOMPARE(window.Dialog().windowTitle(), QStringLiteral("QuorrelV3.3.0"));
        QVERIFY(!window.Dialog().windowIcon().isNull());
        const QList<std::pair<const char*, QString>> captions = {
            {"portLabel", "COM:"},
            {"baudLabel", "Baudrate:"},
            {"startButton", "Start"},
            {"stopButton", "Stop"},
            {"clearButton", "Clear"},
            {"sendButton", "Send"},
            {"numberLabel", "Phone To Receive SMS："},
            {"rtsCheck", "RTS"},
            {"quickCheck", "Quick replies"},
            {"areaCodeCheck", "默认区号"},
        };
        for (const auto& [name, caption] : captions) {
            QCOMPARE(window.Get<QWidget>(name)->property("text").toString(), caption);
        }
        const QList<std::pair<const char*, QString>> groups = {
            {"settingsGroup", "Serial Parameters"},
            {"logGroup", "Log"},
            {"receiveGroup", "Receive"},
            {"sendGroup", "Send"}};
        for (const auto& [name, title] : groups) {
            QCOMPARE(window.Get<QGroupBox>(name)->title(), title);
        }
        QCOMPARE(window.Text("textBox"), QStringLiteral("This is Norvane SMS Test Text"));
        QVERIFY(window.Get<QCheckBox>("areaCodeCheck")->isChecked());
        QVERIFY(!window.Get<QCheckBox>("rtsCheck")->isChecked());
        QVERIFY(!window.Get<QCheckBox>("quickCheck")->isChecked());
        QVERIFY(window.Enabled("startButton"));
        QVERIFY(!window.Enabled("stopButton"));
        QVERIFY(!window.Enabled("sendButton"));
        QVERIFY(window.Log().isEmpty());
        QVERIFY(window.Received().isEmpty());

        auto* baud = window.Get<QComboBox>("baudBox");
        QCOMPARE(baud->currentText(), QStringLiteral("115200"));
        QStringList rates;
        for (int i = 0; i < baud->count(); ++i) {
            rates << baud->itemText(i);
        }
        QCOMPARE(rates, QStringList({"115200", "57600", "38400", "19200", "9600"}));
        // No serial port on this machine: the field keeps COM1 and the list is empty.
        QCOMPARE(window.Get<QComboBox>("portBox")->currentText(), QStringLiteral("COM1"));
        QCOMPARE(window.Get<QComboBox>("portBox")->count(), 0);
    }

    // Every control sits where the template puts it, in dialog units of the dialog font.
    void layoutFollowsTemplate() {
        FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        const QFontMetrics metrics(window.Dialog().font());
        const int baseX = (metrics.horizontalAdvance(QStringLiteral(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                               26 +
                           1) /
                          2;
        const int baseY = metrics.height();
        const auto toPixels = [](int units, int base, int divisor) {
            return (units * base + divisor / 2) / divisor;
        };
        QCOMPARE(window.Dialog().size(), QSize(toPixels(474, baseX, 4), toPixels(237, baseY, 8)));
        QSet<int> ids;
        for (QWidget* control : window.Dialog().findChildren<QWidget*>()) {
            const QVariant units = control->property("dialogUnits");
            if (!units.isValid()) {
                continue;
            }
            ids << control->property("controlId").toInt();
            const QRect du = units.toRect();
            // A drop-down combo box shows its field; the template's height is its list.
            const int heightUnits = qobject_cast<QComboBox*>(control) != nullptr ? 12 : du.height();
            const QRect expected(toPixels(du.x(), baseX, 4), toPixels(du.y(), baseY, 8),
                                 toPixels(du.width(), baseX, 4), toPixels(heightUnits, baseY, 8));
            QVERIFY2(control->geometry() == expected, qPrintable(control->objectName()));
        }
        QCOMPARE(ids, QSet<int>({1000, 1001, 1002, 1003, 1004, 1006, 1007, 1009, 1010, 1011,
                                 1014, 1015, 1016, 1017, 1018, 1019, 1020, 1023, 1024, 1025}));
    }

    void portListInNumberOrder() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        for (const char* entry : {"COM3", "COM1", "COM100"}) {
            QFile file(window.PortDir().filePath(entry));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        // A UART of unknown type has no hardware behind it.
        for (const auto& [device, type] : {std::pair{"ttyS0", "0\n"}, {"ttyS4", "4\n"}}) {
            QVERIFY(window.TtyDir().mkdir(device));
            QFile file(window.TtyDir().filePath(device) + "/type");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(type);
        }
        QVERIFY(window.TtyDir().mkdir("ttyUSB2"));
        QVERIFY(window.TtyDir().mkdir("ttyACM0"));
        window.Open();
        auto* ports = window.Get<QComboBox>("portBox");
        QStringList listed;
        for (int i = 0; i < ports->count(); ++i) {
            listed << ports->itemText(i);
        }
        const QString dir = QFileInfo(window.PortDir().path()).canonicalFilePath();
        QCOMPARE(listed, QStringList({"COM1 (" + dir + "/COM1)", "COM3 (" + dir + "/COM3)",
                                      "COM5 (ttyS4)", "COM35 (ttyUSB2)", "COM65 (ttyACM0)",
                                      "COM100 (" + dir + "/COM100)"}));
        // Nothing picked yet: Start does nothing until a port is chosen.
        QCOMPARE(ports->currentText(), QString());
        window.Click("startButton");
        QCOMPARE(stub.startCalls, 0);
        ports->setCurrentIndex(3);
        window.Click("startButton");
        QCOMPARE(stub.startCalls, 1);
        QCOMPARE(stub.startArgs[0], 35);
    }

    void startArguments_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("baud");
        QTest::addColumn<bool>("rts");
        QTest::addColumn<int>("expectedPort");  // 0: no start
        QTest::addColumn<int>("expectedBaud");
        QTest::newRow("COM10") << "COM10"
                               << "115200" << false << 10 << 115200;
        QTest::newRow("XYZ7 with RTS") << "XYZ7"
                                       << "9600" << true << 7 << 9600;
        // Every other reading of the texts is a test of the core.
        QTest::newRow("COM") << "COM"
                             << "115200" << false << 0 << 0;
        QTest::newRow("baud abc") << "COM1"
                                  << "abc" << false << 0 << 0;
    }

    void startArguments() {
        QFETCH(QString, port);
        QFETCH(QString, baud);
        QFETCH(bool, rts);
        QFETCH(int, expectedPort);
        QFETCH(int, expectedBaud);
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        window.Get<QComboBox>("portBox")->setEditText(port);
        window.Get<QComboBox>("baudBox")->setEditText(baud);
        window.Get<QCheckBox>("rtsCheck")->setChecked(rts);
        window.Click("startButton");
        if (expectedPort == 0) {
            QCOMPARE(stub.startCalls, 0);
            QVERIFY(window.Log().isEmpty());
            QVERIFY(window.Enabled("startButton"));
            return;
        }
        QCOMPARE(stub.startCalls, 1);
        const QList<int32_t> args(std::begin(stub.startArgs), std::end(stub.startArgs));
        QCOMPARE(args, QList<int32_t>({expectedPort, expectedBaud, 2, 8, 0, rts ? 1 : 0}));
        QCOMPARE(stub.startText, std::string("card"));
    }

    void startAndStop() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        window.Click("startButton");
        QCOMPARE(window.Log(), QStringLiteral("启动成功\n"));
        QVERIFY(!window.Enabled("startButton"));
        QVERIFY(window.Enabled("stopButton"));
        QVERIFY(window.Enabled("sendButton"));

        // A stop the library refuses changes nothing.
        stub.stopResult = 0;
        window.Click("stopButton");
        QCOMPARE(window.Log(), QStringLiteral("启动成功\n"));
        QVERIFY(window.Enabled("stopButton"));

        stub.stopResult = 1;
        window.Click("stopButton");
        QCOMPARE(window.Log(), QStringLiteral("启动成功\n\n停止成功\n"));
        QVERIFY(window.Enabled("startButton"));
        QVERIFY(!window.Enabled("stopButton"));
        QVERIFY(!window.Enabled("sendButton"));
        // Stopped: the polls no longer run.
        stub.messages.push_back(Message("2024-03-05 14:07:09", "13912345678", "late"));
        QTest::qWait(1700);
        QVERIFY(window.Received().isEmpty());
    }

    // On a system that is not Chinese the library's reason is not shown.
    void failedStartShowsOnlyTheFailure() {
        StubState& stub = FreshStub(OwnFolder());
        stub.startResult = 0;
        stub.lastError = "The port cannot be opened";
        QuorrelWindow window;
        window.Open();
        window.Click("startButton");
        QCOMPARE(window.Log(), QStringLiteral("启动失败\n"));
        QVERIFY(window.Enabled("startButton"));
        QVERIFY(!window.Enabled("stopButton"));
        QVERIFY(!window.Enabled("sendButton"));
    }

    // Messages and reports waiting together appear one per tick of their timers.
    void pollsShowOneEntryPerTick() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        // Before the click that starts the timers, so that no tick can seem early.
        const auto received = RecordEntries(window.Get<QPlainTextEdit>("receiveBox"));
        window.Click("startButton");
        window.Get<QPlainTextEdit>("logBox")->clear();
        stub.messages = {Message("2024-03-05 14:07:09", "+8613912345678", "first"),
                         Message("2024-03-05 14:07:10", "10086", "第二条"),
                         Message("2024-03-05 14:07:11", "95555", "third")};
        stub.reports = {{1, Report(1, "13912345678", "sent")},
                        {1, Report(0, "13912345678", "refused")},
                        {1, Report(7, "10086", "odd")},
                        // Not started: nothing was copied, so nothing is shown.
                        {-1, Report(1, "never", "never")}};
        QTRY_COMPARE_WITH_TIMEOUT(
            window.Received(),
            QStringLiteral("Receive SMS:<2024-03-05 14:07:09> <+8613912345678>:\n"
                           "    first\n\n"
                           "Receive SMS:<2024-03-05 14:07:10> <10086>:\n"
                           "    第二条\n\n"
                           "Receive SMS:<2024-03-05 14:07:11> <95555>:\n"
                           "    third\n"),
            20000);
        // One entry each change, never two at once.
        QCOMPARE(received->counts, QList<qsizetype>({1, 2, 3}));
        // The k-th tick comes k intervals of 1500 ms after the start at the earliest: a load
        // only delays it, and Qt's coarse timers fire up to 5% early in each interval (one
        // run measured 2887 ms for the second).
        for (qsizetype k = 1; k <= 3; ++k) {
            QVERIFY2(received->times[k - 1] >= k * 1400,
                     qPrintable(QString::number(received->times[k - 1])));
        }
        // The fourth report is the one not copied; once it is taken the log is complete.
        QTRY_VERIFY_WITH_TIMEOUT(stub.reports.empty(), 20000);
        QCOMPARE(window.Log(), QStringLiteral("发往13912345678的短信发送成功,内容:sent\n\n"
                                              "发往13912345678的短信发送失败,内容:refused\n\n"
                                              "发往10086的短信发送失败,内容:odd\n"));
    }

    void sendPassesTextNumberAndPrefix_data() {
        QTest::addColumn<bool>("areaCode");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("area code") << true << "hello"
                                   << "13912345678"
                                   << "86";
        QTest::newRow("no area code") << false << "hello"
                                      << "13912345678"
                                      << "";
        QTest::newRow("empty texts as they are") << true << ""
                                                 << ""
                                                 << "86";
        QTest::newRow("long texts whole") << false << QString(1500, 'x') << QString(25, '9') << "";
        QTest::newRow("UTF-8") << false << "短信 ok"
                               << "+8613912345678"
                               << "";
    }

    void sendPassesTextNumberAndPrefix() {
        QFETCH(bool, areaCode);
        QFETCH(QString, text);
        QFETCH(QString, number);
        QFETCH(QString, prefix);
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        window.Click("startButton");
        window.Get<QCheckBox>("areaCodeCheck")->setChecked(areaCode);
        window.Get<QPlainTextEdit>("textBox")->setPlainText(text);
        window.Get<QLineEdit>("numberBox")->setText(number);
        window.Click("sendButton");
        QCOMPARE(stub.sendCalls, 1);
        QCOMPARE(QString::fromStdString(stub.sentText), text);
        QCOMPARE(QString::fromStdString(stub.sentNumber), number);
        QCOMPARE(QString::fromStdString(stub.sentPrefix), prefix);
        QVERIFY(!stub.sentNullPrefix);
        QCOMPARE(window.Log(), QStringLiteral("启动成功\n"));
    }

    // The restart counts bytes of the UTF-8 text with CR LF line ends, as the entries are;
    // the box shows them with its own line ends.
    void boxRestartsPast30000Bytes_data() {
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("restarts");
        QTest::newRow("29998 bytes") << QString(29998, 'a') << false;
        QTest::newRow("29999 bytes") << QString(29999, 'a') << true;
        QTest::newRow("10000 short lines") << QString("x\n").repeated(10000) + "x" << true;
    }

    void boxRestartsPast30000Bytes() {
        QFETCH(QString, content);
        QFETCH(bool, restarts);
        FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        window.Get<QPlainTextEdit>("logBox")->setPlainText(content);
        window.Click("startButton");
        QCOMPARE(window.Log(), restarts ? QStringLiteral("启动成功\n") : content + "\n启动成功\n");
        QTRY_VERIFY(EndInView(window.Get<QPlainTextEdit>("logBox")));
    }

    // However late a box's layout changes after an entry, the box shows its end until the
    // user scrolls away; the next entry brings the end back into view.
    void boxKeepsItsEndInViewUntilTheUserScrollsAway() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        auto* box = window.Get<QPlainTextEdit>("receiveBox");
        window.Click("startButton");
        const std::string longText(sizeof(RecvMsg::text) - 1, 'w');
        stub.messages.push_back(Message("2024-03-05 14:07:09", "10086", longText.c_str()));
        QTRY_VERIFY_WITH_TIMEOUT(!window.Received().isEmpty(), 5000);
        QTRY_VERIFY(EndInView(box));
        // A relayout that lengthens the text, as other font metrics do.
        Enlarge(box);
        QTRY_VERIFY(EndInView(box));

        box->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        QTRY_VERIFY(InView(box, QTextCursor::Start));
        Enlarge(box);
        // Had the box been pulled back to its end, the start would be out of view by now.
        QTest::qWait(200);
        QVERIFY(InView(box, QTextCursor::Start));

        stub.messages.push_back(Message("2024-03-05 14:07:10", "10086", "short"));
        QTRY_VERIFY_WITH_TIMEOUT(window.Received().endsWith("    short\n"), 5000);
        QTRY_VERIFY(EndInView(box));
    }

    void clearEmptiesOnlyTheTwoBoxes() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        window.Click("startButton");
        stub.messages.push_back(Message("2024-03-05 14:07:09", "10086", "hi"));
        QTRY_VERIFY_WITH_TIMEOUT(!window.Received().isEmpty(), 5000);
        window.Get<QLineEdit>("numberBox")->setText("13912345678");
        window.Click("clearButton");
        QVERIFY(window.Log().isEmpty());
        QVERIFY(window.Received().isEmpty());
        QCOMPARE(window.Text("textBox"), QStringLiteral("This is Norvane SMS Test Text"));
        QCOMPARE(window.Get<QLineEdit>("numberBox")->text(), QStringLiteral("13912345678"));
        QCOMPARE(window.Get<QComboBox>("baudBox")->currentText(), QStringLiteral("115200"));
    }

    void enterAndEscapeGoNowhere() {
        StubState& stub = FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        for (const char* control : {"textBox", "startButton", "portBox", "numberBox"}) {
            QWidget* widget = window.Get<QWidget>(control);
            widget->setFocus();
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
                QTest::keyClick(widget, key);
            }
        }
        QTest::keyClick(&window.Dialog(), Qt::Key_Escape);
        QVERIFY(window.Dialog().isVisible());
        QCOMPARE(window.Text("textBox"), QStringLiteral("This is Norvane SMS Test Text"));
        QCOMPARE(window.Get<QComboBox>("portBox")->count(), 0);
        QCOMPARE(stub.startCalls, 0);
        // Other keys still work.
        window.Get<QLineEdit>("numberBox")->setFocus();
        QTest::keyClicks(window.Get<QLineEdit>("numberBox"), "123");
        QCOMPARE(window.Get<QLineEdit>("numberBox")->text(), QStringLiteral("123"));
    }

    void aboutBoxFromTheContextMenu() {
        FreshStub(OwnFolder());
        QuorrelWindow window;
        window.Open();
        const auto menu = DescribeNextModal([](QWidget* popup) {
            QStringList items;
            for (QAction* action : popup->actions()) {
                items << action->text();
            }
            return items;
        });
        QWidget* label = window.Get<QWidget>("portLabel");
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2),
                                label->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(label, &click);
        QCOMPARE(*menu, QStringList({"关于 Quorrel(&A)..."}));

        const auto about = DescribeNextModal([](QWidget* box) {
            return QStringList(
                {box->windowTitle(), box->findChild<QLabel*>("versionLabel")->text(),
                 box->findChild<QPushButton*>("okButton")->text(),
                 box->findChild<QLabel*>("iconLabel")->pixmap().isNull() ? "no icon" : "icon"});
        });
        window.Dialog().findChild<QAction*>("aboutAction")->trigger();
        QCOMPARE(*about,
                 QStringList({"关于 NorvaneQuorrel.exe", "NorvaneQuorrel V2.4", "确定", "icon"}));
    }
};

QTEST_MAIN(DialogTest)
#include "DialogTest.moc"
