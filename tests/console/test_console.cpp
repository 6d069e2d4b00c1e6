// The console window, offscreen and real: layout in twips, captions, title and screen-reader
// names; a row typed and sent to the drive simulator, answered or timed out, or refused; the bar
// and closing the port; the command file; record and playback driven tick by tick.
#include "app/platform.h"
#include "app/termination.h"
#include "app/twips.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "help/stringfunhelp.h"
#include "settings/settingswindow.h"
#include "sim/ptyserver.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QPoint>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>

namespace {

using Presses = QList<QPoint>; // x: tick after the start (from 1), y: row pressed
using Rows = QList<int>;

const QStringList kDefaults = {
    "/1&", "/1?0", "/1T", "/1A1000A0R", "/1P1000D500R", "/1Z10000R", "/1V2000R",
    "/1gA1000M500A0M500G5R", "/1H01A1000H01A0R", "/1J1M500J2M500J3M500J0R", "/1F",
    "/1?2", "/1?3", "/1?4", "/1?5", "/1?6", "/1?7", "/1?8", "/1?1", "/1?2", "/1?3"};
const QStringList kBarCaptions = {"Play Endless", "Playback", "Record", "Settings",
                                  "Save Strings", "Load Strings", "Load Default", "Help"};
const QStringList kBarTips = {"Playback a Sequence of Command Button Presses Endlessly",
                              "Playback a Sequence of Command Button Presses",
                              "Record a Sequence of Command Button Presses",
                              "Settings for Comm Port, Baud Rate etc.", "Save Command Strings",
                              "Load Command Strings", "Load Default Strings", "Display Help"};
// Captions of LoadButton 0 to 2 in each state of record and playback.
const QStringList kIdleCaptions = {"Play Endless", "Playback", "Record"}, kStopped = {"Play Endless", "Play", "Record"},
                  kPlaying = {"Play Endless", "Stop Playback", "Record"}, kRecording = {"Play Endless", "Playback", "Stop Recording"};
const QString kTitle = "Kestrelworks Quorvane Version  1. 2. 12";
const QString kLoaded = "Current Command File: ";
const QColor kWhite(255, 255, 255), kGreen(0, 255, 0), kRed(255, 0, 0);

// The lines of a file, each taken to end with CR LF: a line ending otherwise loses a character
// (or keeps a CR) and no longer compares equal.
QList<QByteArray> fileLines(const QString &path)
{
    QFile f(path);
    QList<QByteArray> lines = f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>{""};
    lines.removeLast();
    for (QByteArray &l : lines)
        l.chop(1);
    return lines;
}
void writeLines(const QString &path, const QList<QByteArray> &lines)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(lines.join("\r\n") + "\r\n");
}
// A file of 25 quoted strings "r0".."r24" and 500 entries: button k % 25, delay k.
QList<QByteArray> standardLines()
{
    QList<QByteArray> lines;
    for (int r = 0; r < 25; ++r)
        lines << "\"r" + QByteArray::number(r) + "\"";
    for (int k = 0; k < 500; ++k)
        lines << QByteArray::number(k % 25) << QByteArray::number(k);
    return lines;
}
QList<double> geo(const QWidget *w) { return {twips::left(w), twips::top(w), twips::width(w), twips::height(w)}; }
QString spoken(QWidget *w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); }

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

    TempStore store;
    ScriptedPlatform platform;
    QTemporaryDir dir;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<sim::PtyServer> server;

    PtyPair &attachPty()
    {
        pty = std::make_unique<PtyPair>();
        store.mapPort(1, pty->slavePath());
        return *pty;
    }
    static StringFun &console() { return windows::get<StringFun>(); }
    static Settings &settings() { return windows::get<Settings>(); }
    static void layoutRows(const QString &maxStrings)
    {
        settings().fields.MaxStrings->setText(maxStrings);
        console().SetupScreen();
    }
    static void setRows(const QString &send, const QString &reply)
    {
        for (int r = 0; r < 25; ++r) {
            console().StringToSend[r]->setText(send.arg(r));
            console().ReceiveString[r]->setText(reply.arg(r));
        }
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    // "Save Strings" / "Load Strings" with the file dialog answering `file`.
    void save(const QString &file) { platform.files.enqueue(file); console().LoadButton_Click(4); }
    void load(const QString &file) { platform.files.enqueue(file); console().LoadButton_Click(5); }
    // The one message raised, taken off the list (cleanup insists no other was raised).
    void takeOneMessage(const QString &text, QMessageBox::Icon icon)
    {
        QCOMPARE(platform.messages.size(), 1);
        const platform::Message m = platform.messages.takeFirst();
        QCOMPARE(QStringList({m.text, m.caption}), QStringList({text, "Kestrelworks"}));
        QVERIFY(m.icon == icon && m.buttons == QMessageBox::Ok);
    }

    // The playback clock is driven by hand: a start must set the real 50 ms timer running,
    // which is then stopped.
    static void barPress(int index)
    {
        StringFun &c = console();
        const bool idle = !c.sequence().Recording && !c.sequence().Playing;
        c.LoadButton_Click(int16_t(index));
        if (idle && (c.sequence().Recording || c.sequence().Playing))
            QVERIFY(c.recordPlayTimer().isActive());
        c.recordPlayTimer().stop();
    }
    // The bar's captions (LoadButton 0 to 2; the others never change), which a screen reader
    // speaks as they change, and which of the eight buttons are enabled ("1").
    static void checkBar(const QStringList &captions, const QString &enabled)
    {
        for (int i = 0; i < 8; ++i) {
            const QString caption = i < 3 ? captions[i] : kBarCaptions[i];
            QCOMPARE(console().LoadButton[i]->text(), caption);
            QCOMPARE(spoken(console().LoadButton[i]), caption);
            QCOMPARE(console().LoadButton[i]->isEnabled(), enabled[i] == QLatin1Char('1'));
        }
    }
    // Runs the clock for up to `limit` ticks and notes the rows each tick presses (a press
    // starts the row's indicator timer). A running playback is followed until it ends (`endTick`:
    // the tick it ended on, 0 if it still plays); without one all `limit` ticks run.
    static Presses runClock(int limit, int *endTick = nullptr)
    {
        StringFun &c = console();
        for (QTimer *timer : c.ButtonTimer)
            timer->stop();
        const bool playing = c.sequence().Playing;
        Presses presses;
        int t = 0;
        while (t < limit && (c.sequence().Playing || !playing)) {
            c.RecordPlayTimer_Timer();
            ++t;
            for (int r = 0; r < StringFun::kRows; ++r)
                if (c.ButtonTimer[r]->isActive()) {
                    presses << QPoint(t, r);
                    c.ButtonTimer[r]->stop();
                }
        }
        if (endTick)
            *endTick = c.sequence().Playing ? 0 : t;
        return presses;
    }
    // Records presses of `rows`, each after its gap in ticks, then stops after `endGap` ticks.
    static void recordSequence(const Rows &rows, const Rows &gaps, int endGap)
    {
        barPress(2);
        for (int i = 0; i < rows.size(); ++i) {
            runClock(gaps.value(i));
            console().SendCommand_Click(int16_t(rows[i]));
        }
        runClock(endGap);
        barPress(2);
    }

private slots:
    void init()
    {
        store.clear();
        // Every COM number points at a device that does not exist unless a test attaches one.
        for (int n = 1; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
        platform.messages.clear();
        platform.dialogs.clear();
        platform.files.clear();
    }
    void cleanup()
    {
        windows::unloadAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        server.reset();
        pty.reset();
        QVERIFY2(platform.messages.isEmpty(), qPrintable(platform.texts().join('|')));
    }

    // As started, and laid out again from 25 rows to another count; the receive time-out comes
    // along. A screen reader speaks the captions shown; the indicators and the text fields, which
    // nothing visible names, have names of their own.
    void layout_data()
    {
        QTest::addColumn<QString>("maxStrings"); // empty: as started, from the stored settings
        QTest::addColumn<int>("rows");
        QTest::addColumn<double>("frameHeight");
        QTest::addColumn<double>("windowHeight");
        QTest::addColumn<QString>("rcvTimeout"); // after "1234"
        QTest::addColumn<int>("interval");
        QTest::newRow("as started") << QString() << 11 << 4275.0 << 6217.5 << QString() << 3000;
        QTest::newRow("25 rows") << "25" << 25 << 9262.5 << 11205.0 << "100000" << 100000;
        QTest::newRow("1 row") << "1" << 1 << 712.5 << 2655.0 << "abc" << 1234;
        QTest::newRow("letters") << "abc" << 10 << 3918.75 << 5861.25 << "-5" << 1234;
        QTest::newRow("fraction rounds up") << "4.6" << 5 << 2137.5 << 4080.0 << "4500" << 4500;
        QTest::newRow("0 keeps frame and window") << "0" << 0 << 9262.5 << 11205.0 << "0" << 1234;
    }
    void layout()
    {
        QFETCH(QString, maxStrings); QFETCH(int, rows); QFETCH(double, frameHeight);
        QFETCH(double, windowHeight); QFETCH(QString, rcvTimeout); QFETCH(int, interval);
        StringFun &c = console();
        if (maxStrings.isEmpty()) { // the layout created the settings window, hidden
            Settings *s = windows::loaded<Settings>();
            QVERIFY(s && !s->isVisible());
            QVERIFY(c.recordPlayTimer().isActive() && c.recordPlayTimer().interval() == 50);
            QCOMPARE(spoken(s), QString("Communications")); // a screen reader names a window by its title
        } else {
            settings().fields.RCVTimeout->setText("1234");
            layoutRows("25");
            settings().fields.RCVTimeout->setText(rcvTimeout);
            layoutRows(maxStrings);
        }
        const double barTops[] = {1301.25, 945, 588.75, 232.5};
        QCOMPARE(int(c.numRows()), rows);
        for (int r = 0; r < StringFun::kRows; ++r) {
            const bool shown = r < rows;
            QCOMPARE(c.StringToSend[r]->text(), r < 21 ? kDefaults[r] : QString("/1?")); // untouched
            for (QWidget *w : QList<QWidget *>{c.SendCommand[r], c.ButtonShape[r], c.StringToSend[r], c.ReceiveString[r]})
                QCOMPARE(w->isVisibleTo(&c), shown);
            QCOMPARE(c.ButtonTimer[r]->interval(), 500); // placed or not: a hand-edited playback presses any row
            if (!shown)
                continue;
            const double top = 1800 + r * 356.25;
            QCOMPARE(geo(c.SendCommand[r]), (QList<double>{585, top, 1380, 285}));
            QCOMPARE(geo(c.ButtonShape[r]), (QList<double>{105, top, 240, 285}));
            QCOMPARE(geo(c.StringToSend[r]), (QList<double>{2137.5, top, 3915, 285}));
            QCOMPARE(geo(c.ReceiveString[r]), (QList<double>{6225, top, 5000, 285}));
            const QString n = QString::number(r);
            QCOMPARE(c.SendCommand[r]->text(), "Send String &" + n);
            QCOMPARE(c.SendCommand[r]->toolTip(), QString("Click to send command string."));
            QCOMPARE((QStringList{spoken(c.SendCommand[r]), spoken(c.StringToSend[r]), spoken(c.ReceiveString[r]), spoken(c.ButtonShape[r])}),
                     (QStringList{"Send String " + n, "Command string " + n, "Response " + n, "Indicator " + n}));
            QCOMPARE(c.ButtonShape[r]->fillColor(), kWhite);
        }
        QCOMPARE(geo(c.Frame1), (QList<double>{442.5, 1515, 10985, frameHeight}));
        QCOMPARE(geo(&c).mid(2), (QList<double>{11525, windowHeight}));
        QCOMPARE(geo(c.Image2), (QList<double>{2012.5, 120, 7500, 1620}));
        checkBar(kIdleCaptions, "11111111");
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(c.LoadButton[i]->toolTip(), kBarTips[i]);
            QCOMPARE(geo(c.LoadButton[i]), (QList<double>{i < 4 ? 585.0 : 9845.0, barTops[i % 4], 1380, 285}));
        }
        QVERIFY(!c.MSComm1().isOpen()); // opened by the first send only
        QCOMPARE(c.windowTitle(), kTitle);
        QCOMPARE(QAccessible::queryAccessibleInterface(&c)->role(), QAccessible::Window);
        QCOMPARE(c.tmrReceiveTimeOut().interval(), interval);
        QVERIFY(!c.tmrReceiveTimeOut().isActive()); // the layout does not start it
    }

    void send_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("wire");  // empty: refused with the message
        QTest::addColumn<QString>("response"); // empty: no reply the console takes, so the time-out
        QTest::addColumn<int>("movedTo");      // row whose text field gets the focus meanwhile; -1: none
        QTest::addColumn<QString>("fault");    // of the simulator: silent, or noise first
        QTest::newRow("oem time-out, focus moved") << true << 4 << "/1?0" << QByteArray::fromHex("0231313f30030e") << QString() << 6 << "silent";
        // Trailing blanks go out. Two noise bytes before the lead-in: the status is still found
        // after the first "0", the data starts two places early.
        QTest::newRow("dt noise, trailing blanks sent") << false << 8 << "/1?0  " << QByteArray("/1?0  \r") << "0`1000 No Error" << -1 << "noise";
        QTest::newRow("blank first") << false << 2 << " /1?0" << QByteArray() << QString() << -1 << "";
    }
    void send()
    {
        QFETCH(bool, oem); QFETCH(int, row); QFETCH(QString, command); QFETCH(QByteArray, wire);
        QFETCH(QString, response); QFETCH(int, movedTo); QFETCH(QString, fault);
        const bool silent = response.isEmpty();
        QByteArray fromConsole;
        server = std::make_unique<sim::PtyServer>();
        server->bus().drive('1')->setPosition(1000);
        server->bus().faults().silent = fault == "silent";
        if (fault == "noise")
            server->bus().faults().noise = QByteArray::fromHex("a55a");
        server->setTrace([&fromConsole](bool in, const QByteArray &b) { fromConsole += in ? b : QByteArray(); });
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        store.mapPort(1, server->slavePath());
        StringFun &c = console();
        settings().fields.RCVTimeout->setText(silent ? "100" : "3000");
        layoutRows("10");
        (oem ? settings().fields.OEMProtocol : settings().fields.DTProtocol)->setChecked(true);
        c.ReceiveString[row]->setText("old reply");
        c.ButtonShape[row]->setFillColor(kGreen);
        c.show();
        QApplication::setActiveWindow(&c);
        QVERIFY(QTest::qWaitForWindowActive(&c));
        // Typed, then a character without an 8-bit code, which is left out; sent with the space bar.
        c.StringToSend[row]->clear();
        QTest::keyClicks(c.StringToSend[row], command);
        QTest::sendKeyEvent(QTest::Click, c.StringToSend[row], Qt::Key_unknown, QString("\u20ac"), Qt::NoModifier);
        QCOMPARE(c.StringToSend[row]->text(), command);
        c.SendCommand[row]->setFocus();
        QTest::keyClick(c.SendCommand[row], Qt::Key_Space);
        // Which Send buttons are enabled; the row's indicator and response; whether the time-out
        // and the row's indicator timer run and the port is open.
        auto state = [&c, row] {
            QString enabled;
            for (int r = 0; r < 10; ++r)
                enabled += c.SendCommand[r]->isEnabled() ? '1' : '0';
            return QStringList{enabled, c.ButtonShape[row]->fillColor().name(), c.ReceiveString[row]->text(),
                               QStringLiteral("%1%2%3").arg(c.tmrReceiveTimeOut().isActive()).arg(c.ButtonTimer[row]->isActive()).arg(c.MSComm1().isOpen())};
        };
        if (wire.isEmpty()) { // refused: nothing else happens
            takeOneMessage("Please Enter Command Strings with a leading slash '/' followed by the unit address, such as '/1&'.",
                           QMessageBox::NoIcon);
            QCOMPARE(state(), QStringList({"1111111111", kGreen.name(), "old reply", "000"})); // the port never opened
            return;
        }
        // Under way: every shown row's button disabled, the indicator white, the time-out running;
        // the window keeps the keyboard focus (no field has it), so a keystroke overwrites no command.
        QCOMPARE(state(), QStringList({"0000000000", kWhite.name(), "old reply", "111"}));
        QCOMPARE(QApplication::focusWidget(), nullptr);
        if (movedTo >= 0)
            c.StringToSend[movedTo]->setFocus();

        QVERIFY(QTest::qWaitFor([&] { return c.ReceiveString[row]->text() != "old reply"; }, 3000));
        // The port stays open after a reply and is opened again after a time-out.
        const QString shown = silent ? "No REZizavur detected. Check connections" : response;
        QCOMPARE(state(), QStringList({"1111111111", (silent ? kRed : kGreen).name(), shown, "011"}));
        QCOMPARE(fromConsole, wire);
        // The focus is back on the button pressed unless the operator moved it.
        QCOMPARE(QApplication::focusWidget(), movedTo < 0 ? static_cast<QWidget *>(c.SendCommand[row]) : c.StringToSend[movedTo]);
        // The indicator rests white again at the row's next tick; then no timer of the console runs.
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringList({"1111111111", kWhite.name(), shown, "001"}), 1500);
        const QList<QTimer *> timers = c.findChildren<QTimer *>() << &c.tmrReceiveTimeOut();
        QTRY_VERIFY_WITH_TIMEOUT(std::none_of(timers.begin(), timers.end(), [](QTimer *t) { return t->isActive(); }), 1000);
    }

    // A bar press or a re-layout closes the port; so does closing the program.
    void barClosesPort_data()
    {
        QTest::addColumn<int>("index"); // -1: a re-layout instead of a bar press
        for (int i = 0; i < 8; ++i)
            QTest::addRow("LoadButton %d", i) << i;
        QTest::newRow("no such button") << 9;
        QTest::newRow("SetupScreen") << -1;
    }
    void barClosesPort()
    {
        QFETCH(int, index);
        PtyPair &line = attachPty();
        StringFun &c = console();
        c.SendCommand_Click(1);
        QCOMPARE(line.receive(5), QByteArray("/1?0\r"));
        c.tmrReceiveTimeOut().stop();
        setRows("/x%1", "y%1");
        c.setWindowTitle("marked");
        if (index < 0)
            c.SetupScreen();
        else
            c.LoadButton_Click(int16_t(index)); // no file is chosen: both dialogs are cancelled
        QVERIFY(!c.MSComm1().isOpen());
        // Only "Load Default" changes texts: rows 0 to 20. Only a re-layout sets the title.
        for (int r = 0; r < 25; ++r) {
            QCOMPARE(c.StringToSend[r]->text(), index == 6 && r < 21 ? kDefaults[r] : QStringLiteral("/x%1").arg(r));
            QCOMPARE(c.ReceiveString[r]->text(), QStringLiteral("y%1").arg(r));
        }
        QCOMPARE(c.windowTitle(), index < 0 ? kTitle : QString("marked"));
        QCOMPARE(platform.dialogs.size(), index == 4 || index == 5 ? 1 : 0); // cancelled: nothing else happens
        const auto shownWindows = [] {
            const QWidget *s = windows::loaded<Settings>(), *h = windows::loaded<StringFunHelp>();
            return QStringLiteral("%1 %2").arg(s && s->isVisible()).arg(h && h->isVisible());
        };
        const QString shown = QStringLiteral("%1 %2").arg(index == 3).arg(index == 7);
        QCOMPARE(shownWindows(), shown);
        // The next send opens the port again. Closing the program closes it, once, while the
        // other windows still show, and writes nothing more.
        c.SendCommand_Click(22);
        QCOMPARE(line.receive(5), QByteArray("/x22\r"));
        QStringList atClose;
        connect(&c.MSComm1(), &CommPort::closed, this, [&] { atClose << shownWindows(); });
        QPointer<StringFun> alive(&c);
        c.close();
        QCOMPARE(atClose, QStringList{shown});
        QVERIFY(!c.tmrReceiveTimeOut().isActive() && !c.MSComm1().isOpen());
        QVERIFY(windows::all().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!alive);
        QCOMPARE(line.drain(50), QByteArray());
    }

    // Saved with 10 rows shown, then loaded back (what a load reads is pinned by fileFields, how a
    // recording is saved by fullTable).
    void commandFile()
    {
        StringFun &c = console();
        layoutRows("10");
        setRows("/1A%1R", "");
        QList<QByteArray> expected;
        for (int r = 0; r < 25; ++r)
            expected << "\"/1A" + QByteArray::number(r) + "R\"";
        const QList<QPair<QString, QByteArray>> odd = {
            {"/1a,b", "\"/1a,b\""}, {"", "\"\""}, {"say \"hi\"", "\"say \"hi\"\""}, {QString::fromLatin1("/1\xe9\xff"), "\"/1\xe9\xff\""}};
        for (int i = 0; i < odd.size(); ++i)
            c.StringToSend[3 + i]->setText(odd[i].first), expected[3 + i] = odd[i].second;
        while (expected.size() < 1025) // nothing recorded yet: never-set values are empty lines
            expected << "";
        const QString title = c.windowTitle(), file = path("saved.txt");
        save(file);
        QCOMPARE(c.windowTitle(), title);
        QCOMPARE(fileLines(file), expected);

        load(file);
        // Kind (1: save), title, overwrite prompt and filter of the two dialogs.
        QStringList dialogs;
        for (const platform::FileDialogRequest &d : platform.dialogs)
            dialogs << QStringLiteral("%1 %2 %3 [%4]").arg(int(d.kind)).arg(d.title).arg(d.confirmOverwrite).arg(d.filter);
        QCOMPARE(dialogs, QStringList({"1 Save Protocol 1 []", "0 Load Protocol 0 []"}));
        settings().cmdOK_Click(); // a re-layout keeps the file's name in the title
        QCOMPARE(c.windowTitle(), kLoaded + file);
    }

    // A file loaded field by field, or one that cannot be read or written. Loaded rows and
    // sequence values are new (the values as texts) and the rows' responses cleared; after an
    // error the message names the file, the rest keep their old values and the title stays.
    void fileFields_data()
    {
        QTest::addColumn<bool>("saving");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("firstLine"); // replaces the first line of a standard file
        QTest::addColumn<int>("lineCount");        // lines of that file put there first
        QTest::addColumn<QString>("row0");
        QTest::addColumn<QString>("row1");
        QTest::addColumn<int>("shift"); // how many fields the lines after the first moved by
        const QByteArray r0 = "\"r0\"";
        QTest::newRow("embedded quote, comma after") << false << path("f.txt") << QByteArray("\"ab\"x,\"cd\"") << 1025 << "ab" << "cd" << 1;
        QTest::newRow("unquoted comma, two fields") << false << path("f.txt") << QByteArray("/1A,B") << 1025 << "/1A" << "B" << 1;
        QTest::newRow("Latin-1 bytes") << false << path("f.txt") << QByteArray("\"/1\xe9\xff\"") << 1025 << QString::fromLatin1("/1\xe9\xff") << "r1" << 0;
        QTest::newRow("leading blanks skipped") << false << path("f.txt") << QByteArray("   \"  x\"") << 1025 << "  x" << "r1" << 0;
        // A quoted field runs to the next double quote, across line ends.
        QTest::newRow("quoted across a line end") << false << path("f.txt") << QByteArray("\"ab\r\ncd\"") << 1025 << "ab\r\ncd" << "r1" << 0;
        // Only what the fields need is read, however large the file; a row keeps 32767 characters.
        QTest::newRow("first line over 64 MiB") << false << path("f.txt") << QByteArray((64 << 20) + 10, 'x') << 1025
                                                << QString(32767, 'x') << "r1" << 0;
        QTest::newRow("load missing file") << false << "/nonexistent/quorvane/none.txt" << r0 << 0 << "" << "" << 0;
        QTest::newRow("load 10 strings") << false << path("short.txt") << r0 << 10 << "r0" << "r1" << 0;
        QTest::newRow("load one value short") << false << path("short.txt") << r0 << 1024 << "r0" << "r1" << 0;
        QTest::newRow("save onto a folder") << true << dir.path() << r0 << 0 << "" << "" << 0;
        QTest::newRow("save onto a full device") << true << "/dev/full" << r0 << 0 << "" << "" << 0;
    }
    void fileFields()
    {
        QFETCH(bool, saving); QFETCH(QString, file); QFETCH(QByteArray, firstLine); QFETCH(int, lineCount);
        QFETCH(QString, row0); QFETCH(QString, row1); QFETCH(int, shift);
        QList<QByteArray> lines = standardLines().mid(0, lineCount);
        if (lineCount > 0) {
            lines[0] = firstLine;
            writeLines(file, lines);
        }
        StringFun &c = console();
        recordSequence({5, 6}, {2, 3}, 4);
        setRows("old%1", "resp%1");
        const QString title = c.windowTitle();
        saving ? save(file) : load(file);
        const bool failed = lineCount < 1025;
        if (failed)
            takeOneMessage((saving ? "Error Writing File: " : "Error Reading file: ") + file, QMessageBox::Warning);
        QCOMPARE(c.windowTitle(), failed ? title : kLoaded + file);
        for (int r = 0; r < 25; ++r) {
            const QString loaded = r == 0 ? row0 : r == 1 ? row1 : QStringLiteral("r%1").arg(r - shift);
            QCOMPARE(c.StringToSend[r]->text(), r < lineCount ? loaded : QStringLiteral("old%1").arg(r));
            QCOMPARE(c.ReceiveString[r]->text(), r < lineCount ? QString() : QStringLiteral("resp%1").arg(r));
        }
        // Field 25 + i is line 25 + i - shift (the last lines of a shifted file go unread).
        const QList<int> recorded = {5, 2, 6, 3, 0, 4};
        for (int i = 0; i < 1000; ++i) {
            const SequenceValue &v = c.sequence().RecordArray[size_t(i / 2)][size_t(i % 2)];
            if (25 + i < lineCount)
                QVERIFY2(v == SequenceValue(QString::fromLatin1(lines[25 + i - shift]).remove('"')), qPrintable(QString::number(i)));
            else
                QVERIFY2(v == (i == 4 ? SequenceValue(QString()) : SequenceValue(recorded.value(i))), qPrintable(QString::number(i)));
        }
    }

    void playback_data()
    {
        QTest::addColumn<Rows>("rows");
        QTest::addColumn<Rows>("gaps");
        QTest::addColumn<int>("endGap"); // -1: nothing recorded
        QTest::addColumn<bool>("endless");
        QTest::addColumn<Presses>("presses");
        QTest::addColumn<int>("endTick"); // 0: still playing after 30 ticks
        QTest::newRow("never recorded") << Rows{} << Rows{} << -1 << false << Presses{} << 1;
        QTest::newRow("gaps of 20 and 40") << Rows{3, 5, 7} << Rows{7, 20, 40} << 10 << false
                                           << Presses{{1, 3}, {21, 5}, {61, 7}} << 71;
        QTest::newRow("two presses in one tick") << Rows{3, 5, 7} << Rows{5, 0, 10} << 5 << false << Presses{{1, 3}} << 1;
        // Waits beyond a 16-bit tick count (70000: split twice at 32767).
        QTest::newRow("40000 before the first press, not replayed") << Rows{4, 6} << Rows{40000, 3} << 2 << false
                                                                    << Presses{{1, 4}, {4, 6}} << 6;
        QTest::newRow("70000 between") << Rows{4, 6} << Rows{2, 70000} << 5 << false << Presses{{1, 4}, {70001, 6}} << 70006;
        QTest::newRow("endless restarts") << Rows{3, 5} << Rows{2, 4} << 6 << true
                                          << Presses{{1, 3}, {5, 5}, {12, 3}, {16, 5}, {23, 3}, {27, 5}} << 0;
        QTest::newRow("endless with no press keeps playing") << Rows{} << Rows{} << 3 << true << Presses{} << 0;
    }
    void playback()
    {
        QFETCH(Rows, rows); QFETCH(Rows, gaps); QFETCH(int, endGap); QFETCH(bool, endless);
        QFETCH(Presses, presses); QFETCH(int, endTick);
        StringFun &c = console();
        if (endGap >= 0)
            recordSequence(rows, gaps, endGap);
        // A re-layout while playing sets the captions back and plays on; "Play Endless",
        // disabled, does nothing.
        barPress(endless ? 0 : 1);
        checkBar(kPlaying, "01000011");
        c.SetupScreen();
        checkBar(kIdleCaptions, "01000011");
        barPress(0);
        int end = -1;
        QCOMPARE(runClock(endTick ? endTick + 10 : 30, &end), presses);
        QCOMPARE(end, endTick);
        if (!endTick) {
            barPress(1);
            QCOMPARE(runClock(100), Presses()); // stopped: the clock presses nothing
        }
        checkBar(kStopped, "11111111");
    }

    // Hand-edited button values, played by the running 50 ms clock: rows that do not exist, or
    // texts that are no row number, press nothing and the sequence goes on; a fraction rounds to
    // its row. The rows' texts at playback time go out, each press without waiting for a reply,
    // and playback records nothing; a late reply shows in the row pressed last.
    void playHandEditedFile()
    {
        PtyPair &line = attachPty();
        StringFun &c = console();
        QList<QByteArray> lines = standardLines().mid(0, 25);
        for (const char *button : {"51", "-1", "99999", "\"abc\"", "50", "2.6", "\"\"", "2"})
            lines << button << "1";
        while (lines.size() < 1025)
            lines << "0";
        writeLines(path("hand.txt"), lines);
        load(path("hand.txt"));
        c.LoadDefaultStrings();
        c.StringToSend[2]->setText("/2?8");
        c.LoadButton_Click(1);
        QVERIFY(QTest::qWaitFor([&] { return !c.sequence().Playing; }, 3000));
        QCOMPARE(line.drain(200), QByteArray("/1?\r/1A1000A0R\r/2?8\r"));
        QVERIFY(!c.SendCommand[0]->isEnabled()); // the first reply is still awaited
        QVERIFY(c.sequence().RecordArray[7][0] == SequenceValue(QString("2")));
        line.send("\xff/0`291\x03\r");
        QTRY_COMPARE(c.ReceiveString[2]->text(), QString("291 No Error"));
        QCOMPARE(c.ReceiveString[3]->text(), QString());
    }

    // The table's end: the 499th press fills entries 0 to 498 and stops the recording, which
    // says so once that press is on the wire; the end marker takes entry 499, the last one the
    // file keeps.
    void fullTable()
    {
        StringFun &c = console();
        PtyPair &line = attachPty();
        QByteArray wire;
        platform.onMessage = [&](const platform::Message &) { wire = line.drain(20); };
        barPress(2);
        checkBar(kRecording, "00100011");
        for (int i = 0; i < 499; ++i, runClock(1))
            c.SendCommand_Click(int16_t(i < 498 ? i % 25 : 7));
        platform.onMessage = nullptr;
        QVERIFY(wire.endsWith("/1?\r/1gA1000M500A0M500G5R\r")); // rows 22 and 7, the 498th and 499th presses
        checkBar(kIdleCaptions, "11111111");
        takeOneMessage("The recorded sequence is full: recording stopped after 499 presses.", QMessageBox::Information);
        c.SendCommand_Click(3); // sent, not stored
        save(path("full.txt"));
        const QList<QByteArray> lines = fileLines(path("full.txt"));
        QCOMPARE(lines.mid(25, 4) + lines.mid(1021), (QList<QByteArray>{"0", "0", "1", "1", "7", "1", "\"\"", "0"})); // entries 0, 1, 498, 499
        // It plays to its end without running off the table.
        barPress(1);
        int end = -1;
        const Presses p = runClock(1000, &end);
        QCOMPARE(p.size(), 499);
        QCOMPARE(p.last(), QPoint(499, 7));
        QCOMPARE(end, 499); // the end marker has no delay: stopped with the last press
    }

    // Told to end from outside (kill, Ctrl+C, a logout), the program closes as closing the
    // console does: every window unloaded, the port closed and the serial library's lock file
    // gone, so another user of the computer is not refused the port afterwards.
    void endOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void endOnSignal()
    {
        QFETCH(int, signalNumber);
        static const bool installed = (termination::install([](int s) { windows::shutDown(128 + s); }), true);
        Q_UNUSED(installed);
        PtyPair &line = attachPty();
        console().SendCommand_Click(1); // opens the port
        const QString lock = "/var/lock/LCK..pts_" + line.slavePath().section('/', -1);
        QVERIFY(QFile::exists(lock));
        ::raise(signalNumber);
        QTRY_VERIFY(windows::all().isEmpty());
        QVERIFY(!QFile::exists(lock));
    }
};

QTEST_MAIN(TestConsole)
#include "test_console.moc"
