// The help window: five example rows and the bar laid out like the console's, the blinking title,
// and the description every click shows (and when the blink stops relative to it); nothing sent.
#include "app/twips.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "help/stringfunhelp.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QSerialPort>
#include <QTest>

namespace {

const QString kInitial = "Kestrelworks Quorvan Help - Click a control for its description.";
const QString kLong = "Kestrelworks Quorvane Help - Click a control for its description.";
const QString kShort = "Kestrelworks Quorvane Help";
const QStringList kExamples = {"/1&", "/1T", "/1?", "/1A1000R", "/1A0R"};

// Left, top, width and height in twips and the tooltip of a control shown in `window`.
QString place(const QWidget *w, const QWidget *window) { return !w->isVisibleTo(window) ? "hidden"
        : QStringLiteral("%1 %2 %3 %4 ").arg(twips::left(w)).arg(twips::top(w)).arg(twips::width(w)).arg(twips::height(w)) + w->toolTip(); }
QList<QWidget *> row(const ConsoleControls &x, int r) { return {x.SendCommand[r], x.ButtonShape[r], x.StringToSend[r], x.ReceiveString[r]}; }

} // namespace

class TestHelp : public QObject {
    Q_OBJECT
    TempStore store;
    ScriptedPlatform platform;
    QStringList atBox; // the help window's title as each box comes up, "+" while it still blinks

    static StringFunHelp &help() { return windows::get<StringFunHelp>(); }

private slots:
    void initTestCase() { platform.onMessage = [this](auto &) { atBox << help().windowTitle() + (help().Timer1->isActive() ? "+" : ""); }; }
    void init() { store.clear(), platform.messages.clear(), atBox.clear(); }
    void cleanup() { windows::unloadAll(), QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    // Created hidden and blinking, needing nothing of the console; laid out as the console lays
    // out its rows and bar, for five rows, the same when laid out again.
    void creationAndLayout()
    {
        StringFunHelp &h = help();
        QCOMPARE(h.windowTitle(), kInitial);
        QVERIFY(h.Timer1->isActive() && h.Timer1->interval() == 2000 && h.Timer1Tag.isEmpty());
        QVERIFY(!h.isVisible() && !windows::loaded<StringFun>() && h.findChildren<QSerialPort *>().isEmpty() && !h.Image2->pixmap().isNull());
        const StringFun &c = windows::get<StringFun>();
        for (int pass = 0; pass < 2; ++pass, h.SetupHelpScreen()) {
            for (int r = 0; r < StringFunHelp::kRows; ++r)
                for (int k = 0; k < 4; ++k)
                    QCOMPARE(place(row(h, r)[k], &h), r < 5 ? place(row(c, r)[k], &c) : QString("hidden"));
            for (int r = 0; r < 5; ++r)
                QCOMPARE(QStringList({h.StringToSend[r]->text(), h.SendCommand[r]->text(), h.ReceiveString[r]->text(), h.ButtonShape[r]->fillColor().name()}),
                         QStringList({kExamples[r], QStringLiteral("Send String &%1").arg(r), "", "#ffffff"}));
            QCOMPARE(place(h.Frame1, &h), QString("442.5 1515 10985 2137.5 ")); // 356.25 x 6
            QCOMPARE(QSizeF(twips::width(&h), twips::height(&h)), QSizeF(11525, 4080)); // 1800 + 4 x 356.25 + 3 x 285
            QCOMPARE(place(h.Image2, &h), place(c.Image2, &c));
            for (int i = 0; i < 8; ++i)
                QCOMPARE(place(h.LoadButton[i], &h) + h.LoadButton[i]->text(), place(c.LoadButton[i], &c) + c.LoadButton[i]->text());
        }
        QVERIFY(platform.messages.isEmpty());
    }

    // One step per tick: the long title for 1000 ms, then the short one for 500 ms; any phase
    // but "1" counts as "0".
    void titleBlink()
    {
        StringFunHelp &h = help();
        for (const char *phase : {"", "1", "0", "x"}) {
            h.Timer1Tag = phase, h.Timer1_Timer();
            QCOMPARE(QStringList({h.windowTitle(), h.Timer1Tag, QString::number(h.Timer1->interval())}),
                     QString(phase) == "1" ? QStringList({kShort, "0", "500"}) : QStringList({kLong, "1", "1000"}));
        }
        h.Timer1->start(1); // the timer itself drives the steps
        QTRY_VERIFY_WITH_TIMEOUT(h.windowTitle() == kShort && h.Timer1->interval() == 500, 1000);
        // A bar index beyond 0 to 7 stops the blink and shows nothing.
        h.LoadButton_Click(-1), h.LoadButton_Click(8);
        QVERIFY(platform.messages.isEmpty() && !h.Timer1->isActive() && h.windowTitle() == kShort);
    }

    // Opened from the console (owned, non-modal) with the console's port open, and clicked twice
    // before its first blink at 2000 ms. The bar stops the blink before its box, so the title goes
    // from the initial one straight to the short one; a row's box comes up while it still blinks.
    // Closed and opened again it blinks afresh.
    void clicks_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::newRow("bar 0") << "LoadButton" << 0 << "This Plays the sequence of recorded command button presses endlessly.";
        QTest::newRow("bar 1") << "LoadButton" << 1 << "This Plays the sequence of recorded command button presses.";
        QTest::newRow("bar 2") << "LoadButton" << 2 << "This Records a sequence of command button presses. It allows you to create command sequences that can be looped.";
        QTest::newRow("bar 3") << "LoadButton" << 3 << "This opens the settings window where you set the COM port, baud rate and number of strings to display.";
        QTest::newRow("bar 4") << "LoadButton" << 4 << "This allows you to Save your Command Strings.";
        QTest::newRow("bar 5") << "LoadButton" << 5 << "This allows you to load previously saved Command Strings.";
        QTest::newRow("bar 6") << "LoadButton" << 6 << "This loads the default set of Command Strings.";
        QTest::newRow("bar 7") << "LoadButton" << 7 << "This opens the Help Window.";
        QTest::newRow("send 0") << "SendCommand" << 0 << "Click \"Send String\" to transmit the command string to the Motor Drive.";
        QTest::newRow("command 4") << "StringToSend" << 4 << "Enter your command strings in these fields. Click \"Send String\" to transmit the string";
        QTest::newRow("response 2") << "ReceiveString" << 2 << "Responses from the motor drives will appear in these fields.";
    }
    void clicks()
    {
        QFETCH(QString, kind); QFETCH(int, index); QFETCH(QString, text);
        PtyPair line;
        store.mapPort(1, line.slavePath());
        StringFun &console = windows::get<StringFun>();
        QVERIFY(console.MSComm1().setPortNumber(1) && console.MSComm1().open());
        help().showFromConsole(&console);
        StringFunHelp &h = help();
        QVERIFY(h.isVisible() && h.isWindow() && !h.isModal() && !QApplication::activeModalWidget() && h.parentWidget() == &console);
        QVERIFY(h.windowTitle() == kInitial && h.Timer1->remainingTime() > 1000); // the first blink is still ahead
        const bool bar = kind == "LoadButton";
        for (int i : {index, bar ? index : 4 - index}) { // the same text for every row of a kind
            QWidget *w = bar ? h.LoadButton[i] : row(h, i)[kind == "SendCommand" ? 0 : kind == "StringToSend" ? 2 : 3];
            QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
        }
        QCOMPARE(atBox, QStringList({bar ? kShort : kInitial + "+", kShort}));
        QVERIFY(h.windowTitle() == kShort && !h.Timer1->isActive());
        QCOMPARE(platform.texts(), QStringList({text, text}));
        for (const platform::Message &m : std::as_const(platform.messages))
            QVERIFY(m.caption == "Kestrelworks" && m.buttons == QMessageBox::Ok);
        QCOMPARE(line.drain(), QByteArray());
        QVERIFY(!console.tmrReceiveTimeOut().isActive() && console.MSComm1().isOpen()); // no send was started
        h.close(); // unloads it
        QVERIFY(!windows::loaded<StringFunHelp>() && help().windowTitle() == kInitial && help().Timer1->isActive());
    }
};

QTEST_MAIN(TestHelp)
#include "test_help.moc"
