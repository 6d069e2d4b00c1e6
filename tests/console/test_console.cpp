// The console window, offscreen and real: its layout in twips, captions and title, a row sent
// to the drive simulator and answered or timed out, the leading-slash check, the button bar
// closing the port, the command file written and read back, record and playback driven tick by
// tick, and closing the program with the port open.
#include "app/platform.h"
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
#include <QFileInfo>
#include <QKeySequence>
#include <QPoint>
#include <QTemporaryDir>
#include <QTest>
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
    for (const QByteArray &l : lines)
        f.write(l + "\r\n");
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
bool isInt(const SequenceValue &v, int n) { return std::holds_alternative<int>(v) && std::get<int>(v) == n; }
bool isText(const SequenceValue &v, const QString &s) { return std::holds_alternative<QString>(v) && std::get<QString>(v) == s; }
// Left, top, width and height in twips.
QList<double> geo(const QWidget *w) { return {twips::left(w), twips::top(w), twips::width(w), twips::height(w)}; }

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
    sim::PtyServer &attachSimulator()
    {
        server = std::make_unique<sim::PtyServer>();
        server->bus().drive('1')->setPosition(1000);
        if (!server->start())
            qFatal("simulator: %s", qPrintable(server->errorString()));
        store.mapPort(1, server->slavePath());
        return *server;
    }
    static StringFun &console() { return windows::get<StringFun>(); }
    static Settings &settings() { return windows::get<Settings>(); }
    static void layoutRows(const QString &maxStrings)
    {
        settings().fields.MaxStrings->setText(maxStrings);
        console().SetupScreen();
    }
    static void useOem(bool oem) { (oem ? settings().fields.OEMProtocol : settings().fields.DTProtocol)->setChecked(true); }
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

    // The playback clock is driven by hand: a start must set the real 50 ms timer running,
    // which is then stopped.
    static void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            console().RecordPlayTimer_Timer();
    }
    static void barPress(int index)
    {
        StringFun &c = console();
        const bool idle = !c.sequence().Recording && !c.sequence().Playing;
        c.LoadButton_Click(int16_t(index));
        if (idle && (c.sequence().Recording || c.sequence().Playing))
            QVERIFY(c.recordPlayTimer().isActive());
        c.recordPlayTimer().stop();
    }
    // Records presses of `rows`, each after its gap in ticks, then stops after `endGap` ticks.
    static void recordSequence(const Rows &rows, const Rows &gaps, int endGap)
    {
        barPress(2);
        for (int i = 0; i < rows.size(); ++i) {
            ticks(gaps.value(i));
            console().SendCommand_Click(int16_t(rows[i]));
        }
        ticks(endGap);
        barPress(2);
    }
    // Runs the clock for up to `limit` ticks and notes the rows each tick presses (a press
    // starts the row's indicator timer). A running playback is followed until it ends (`endTick`:
    // the tick it ended on, 0 if it still plays); without one all `limit` ticks run.
    static Presses runPlayback(int limit, int *endTick = nullptr)
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
    static QStringList rowTexts()
    {
        QStringList out;
        for (int r = 0; r < 25; ++r)
            out << console().StringToSend[r]->text();
        return out;
    }
    void checkOneMessage(const QString &text, QMessageBox::Icon icon)
    {
        QCOMPARE(platform.messages.size(), 1);
        QCOMPARE(platform.messages[0].text, text);
        QCOMPARE(platform.messages[0].icon, icon);
        QCOMPARE(platform.messages[0].caption, QString("Kestrelworks"));
        QCOMPARE(platform.messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
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
    }

    // ---- start-up and layout

    void startUp()
    {
        StringFun &c = console();
        QCOMPARE(c.windowTitle(), kTitle);
        QVERIFY(windows::loaded<Settings>() && !windows::loaded<Settings>()->isVisible()); // created by the layout
        QCOMPARE(c.numRows(), int16_t(11)); // the stored default
        for (int r = 0; r < StringFun::kRows; ++r)
            QCOMPARE(c.StringToSend[r]->text(), r < 21 ? kDefaults[r] : QString("/1?"));
        QVERIFY(!c.MSComm1().isOpen() && !c.tmrReceiveTimeOut().isActive());
        QCOMPARE(c.tmrReceiveTimeOut().interval(), 3000);
        QVERIFY(c.recordPlayTimer().isActive() && c.recordPlayTimer().interval() == 50);
        QVERIFY(platform.messages.isEmpty());
    }

    // From 25 rows to another count, laid out twice; the receive time-out comes along.
    void layout_data()
    {
        QTest::addColumn<QString>("maxStrings");
        QTest::addColumn<int>("rows");
        QTest::addColumn<double>("frameHeight");
        QTest::addColumn<double>("windowHeight");
        QTest::addColumn<QString>("rcvTimeout"); // after "1234"
        QTest::addColumn<int>("interval");
        QTest::newRow("25 rows") << "25" << 25 << 9262.5 << 11205.0 << "100000" << 100000;
        QTest::newRow("1 row") << "1" << 1 << 712.5 << 2655.0 << "abc" << 1234;
        QTest::newRow("letters") << "abc" << 10 << 3918.75 << 5861.25 << "0" << 1234;
        QTest::newRow("fraction rounds up") << "4.6" << 5 << 2137.5 << 4080.0 << "4500" << 4500;
        QTest::newRow("0 keeps frame and window") << "0" << 0 << 9262.5 << 11205.0 << "200" << 200;
    }
    void layout()
    {
        QFETCH(QString, maxStrings); QFETCH(int, rows); QFETCH(double, frameHeight);
        QFETCH(double, windowHeight); QFETCH(QString, rcvTimeout); QFETCH(int, interval);
        StringFun &c = console();
        settings().fields.RCVTimeout->setText("1234");
        layoutRows("25");
        settings().fields.RCVTimeout->setText(rcvTimeout);
        layoutRows(maxStrings);
        const double barTops[] = {1301.25, 945, 588.75, 232.5};
        for (int pass = 0; pass < 2; ++pass, c.SetupScreen()) {
            QCOMPARE(int(c.numRows()), rows);
            for (int r = 0; r < StringFun::kRows; ++r) {
                const bool shown = r < rows;
                for (QWidget *w : QList<QWidget *>{c.SendCommand[r], c.ButtonShape[r], c.StringToSend[r], c.ReceiveString[r]})
                    QCOMPARE(w->isVisibleTo(&c), shown);
                if (!shown)
                    continue;
                const double top = 1800 + r * 356.25;
                QCOMPARE(geo(c.SendCommand[r]), (QList<double>{585, top, 1380, 285}));
                QCOMPARE(geo(c.ButtonShape[r]), (QList<double>{105, top, 240, 285}));
                QCOMPARE(geo(c.StringToSend[r]), (QList<double>{2137.5, top, 3915, 285}));
                QCOMPARE(geo(c.ReceiveString[r]), (QList<double>{6225, top, 5000, 285}));
                // Row 12 shows "Send String 12" with the digit 1 as its access key, like row 1.
                const QString caption = c.SendCommand[r]->text();
                QCOMPARE(caption, QStringLiteral("Send String &%1").arg(r));
                QCOMPARE(QKeySequence::mnemonic(caption), QKeySequence("Alt+" + QString::number(r).left(1)));
                QCOMPARE(c.SendCommand[r]->toolTip(), QString("Click to send command string."));
                QCOMPARE(c.ButtonShape[r]->fillColor(), kWhite);
                QCOMPARE(c.ButtonTimer[r]->interval(), 500);
            }
            QCOMPARE(geo(c.Frame1), (QList<double>{442.5, 1515, 10985, frameHeight}));
            QCOMPARE(geo(&c).mid(2), (QList<double>{11525, windowHeight}));
            QCOMPARE(geo(c.Image2), (QList<double>{2012.5, 120, 7500, 1620}));
            for (int i = 0; i < 8; ++i) {
                QCOMPARE(c.LoadButton[i]->text(), kBarCaptions[i]);
                QCOMPARE(c.LoadButton[i]->toolTip(), kBarTips[i]);
                QVERIFY(c.LoadButton[i]->isEnabled());
                QCOMPARE(geo(c.LoadButton[i]), (QList<double>{i < 4 ? 585.0 : 9845.0, barTops[i % 4], 1380, 285}));
            }
            QCOMPARE(c.windowTitle(), kTitle);
            QCOMPARE(c.tmrReceiveTimeOut().interval(), interval);
            QVERIFY(!c.tmrReceiveTimeOut().isActive()); // the layout does not start it
        }
        QVERIFY(platform.messages.isEmpty());
    }

    // ---- a row sent end to end

    void send_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("wire");  // empty: refused with the message
        QTest::addColumn<QString>("response"); // empty: the simulator stays silent
        QTest::newRow("dt, trailing blanks sent") << false << 5 << "/1?0  " << QByteArray("/1?0  \r") << "1000 No Error";
        QTest::newRow("oem move row 3") << true << 3 << "/1A1000A0R"
                                        << QByteArray::fromHex("02313141313030304130520362") << " No Error";
        QTest::newRow("oem time-out") << true << 4 << "/1?0" << QByteArray::fromHex("0231313f30030e") << QString();
        QTest::newRow("blank first") << false << 2 << " /1?0" << QByteArray() << QString();
    }
    void send()
    {
        QFETCH(bool, oem); QFETCH(int, row); QFETCH(QString, command); QFETCH(QByteArray, wire);
        QFETCH(QString, response);
        const bool silent = response.isEmpty();
        QByteArray fromConsole;
        sim::PtyServer &sim = attachSimulator();
        sim.bus().faults().silent = silent;
        sim.setTrace([&fromConsole](bool in, const QByteArray &b) {
            if (in)
                fromConsole += b;
        });
        StringFun &c = console();
        settings().fields.RCVTimeout->setText(silent ? "200" : "3000");
        layoutRows("10");
        useOem(oem);
        c.StringToSend[row]->setText(command);
        c.ReceiveString[row]->setText("old reply");
        c.ButtonShape[row]->setFillColor(kGreen);
        auto sendEnabled = [&c](bool on) {
            for (int r = 0; r < 10; ++r)
                QCOMPARE(c.SendCommand[r]->isEnabled(), on);
        };

        c.SendCommand[row]->click();
        if (wire.isEmpty()) { // refused: nothing else happens
            checkOneMessage("Please Enter Command Strings with a leading slash '/' followed by the unit address, such as '/1&'.",
                            QMessageBox::NoIcon);
            sendEnabled(true);
            QVERIFY(!c.MSComm1().isOpen() && !c.tmrReceiveTimeOut().isActive() && !c.ButtonTimer[row]->isActive());
            QCOMPARE(c.ButtonShape[row]->fillColor(), kGreen);
            QCOMPARE(c.ReceiveString[row]->text(), QString("old reply"));
            QTest::qWait(100);
            QCOMPARE(fromConsole, QByteArray());
            return;
        }
        // Under way: every shown row's button disabled, the indicator white, the time-out running.
        sendEnabled(false);
        QCOMPARE(c.ButtonShape[row]->fillColor(), kWhite);
        QVERIFY(c.tmrReceiveTimeOut().isActive());
        QCOMPARE(int(c.currentRow()), row);

        QVERIFY(QTest::qWaitFor([&] { return c.ReceiveString[row]->text() != "old reply"; }, 3000));
        const QString shown = silent ? "No REZizavur detected. Check connections" : response;
        QCOMPARE(c.ReceiveString[row]->text(), shown);
        QCOMPARE(c.ButtonShape[row]->fillColor(), silent ? kRed : kGreen);
        sendEnabled(true);
        QVERIFY(!c.tmrReceiveTimeOut().isActive());
        QCOMPARE(fromConsole, wire);
        QVERIFY(c.MSComm1().isOpen()); // stays open after a reply, opened again after a time-out
        // The indicator rests white again at the row's next indicator tick.
        QVERIFY(QTest::qWaitFor([&] { return c.ButtonShape[row]->fillColor() == kWhite; }, 1500));
        QCOMPARE(c.ReceiveString[row]->text(), shown);
        QVERIFY(platform.messages.isEmpty());
    }

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
        QVERIFY(c.MSComm1().isOpen());
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
        QCOMPARE(settings().isVisible(), index == 3);
        QCOMPARE(windows::loaded<StringFunHelp>() && windows::loaded<StringFunHelp>()->isVisible(), index == 7);
        QVERIFY(platform.messages.isEmpty());
        // The next send opens the port again.
        c.SendCommand_Click(2);
        const QByteArray again = c.StringToSend[2]->text().toLatin1() + "\r";
        QCOMPARE(line.receive(again.size()), again);
        QVERIFY(c.MSComm1().isOpen());
    }

    // ---- the command file

    // Saved with 10 rows shown, loaded back over other texts and another recording.
    void commandFile_data()
    {
        QTest::addColumn<bool>("recorded");
        QTest::newRow("before any recording") << false;
        QTest::newRow("after a recording") << true;
    }
    void commandFile()
    {
        QFETCH(bool, recorded);
        StringFun &c = console();
        layoutRows("10");
        QList<QByteArray> expected;
        for (int r = 0; r < 25; ++r) {
            c.StringToSend[r]->setText(QStringLiteral("/1A%1R").arg(r));
            expected << "\"/1A" + QByteArray::number(r) + "R\"";
        }
        const QList<QPair<QString, QByteArray>> odd = {
            {"/1a,b", "\"/1a,b\""}, {"", "\"\""}, {"say \"hi\"", "\"say \"hi\"\""}, {QString::fromLatin1("/1\xe9\xff"), "\"/1\xe9\xff\""}};
        for (int i = 0; i < odd.size(); ++i)
            c.StringToSend[3 + i]->setText(odd[i].first), expected[3 + i] = odd[i].second;
        QList<QByteArray> sequence; // never-set values are empty lines, numbers bare, texts quoted
        if (recorded) {
            recordSequence({3, 12, 12}, {7, 20, 0}, 9);
            sequence = {"3", "7", "12", "20", "12", "0", "\"\"", "9"};
        }
        while (sequence.size() < 1000)
            sequence << (recorded ? "0" : "");
        const QString title = c.windowTitle(), file = path("saved.txt");
        save(file);
        QVERIFY(platform.messages.isEmpty());
        QCOMPARE(c.windowTitle(), title);
        QCOMPARE(fileLines(file), expected + sequence);

        QStringList back = rowTexts();
        back[5] = "say "; // the text ends at the embedded quote, the rest of the line is skipped
        setRows("/changed%1", "reply%1");
        recordSequence({1}, {1}, 1);
        load(file);
        QVERIFY(platform.messages.isEmpty());
        QCOMPARE(platform.dialogs.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const platform::FileDialogRequest &d = platform.dialogs[i];
            QCOMPARE(d.kind, i ? platform::FileDialogRequest::Open : platform::FileDialogRequest::Save);
            QCOMPARE(d.title, QString(i ? "Load Protocol" : "Save Protocol"));
            QCOMPARE(d.confirmOverwrite, i == 0);
            QVERIFY(d.filter.isEmpty());
        }
        QCOMPARE(rowTexts(), back); // the 15 hidden rows included
        for (int r = 0; r < 25; ++r)
            QCOMPARE(c.ReceiveString[r]->text(), QString());
        settings().cmdOK_Click(); // a re-layout keeps the file's name in the title
        QCOMPARE(c.windowTitle(), kLoaded + file);
        // The sequence comes back as texts.
        for (int i = 0; i < 1000; ++i)
            QVERIFY2(isText(c.sequence().RecordArray[size_t(i / 2)][size_t(i % 2)], QString(sequence[i]).remove('"')),
                     qPrintable(QString::number(i)));
    }

    void readFields_data()
    {
        // The first line of a standard file replaced; `shift` = how many fields the rest moved by.
        QTest::addColumn<QByteArray>("firstLine");
        QTest::addColumn<QString>("row0");
        QTest::addColumn<QString>("row1");
        QTest::addColumn<int>("shift");
        QTest::newRow("embedded quote, comma after") << QByteArray("\"ab\"x,\"cd\"") << "ab" << "cd" << 1;
        QTest::newRow("unquoted comma, two fields") << QByteArray("/1A,B") << "/1A" << "B" << 1;
        QTest::newRow("unquoted") << QByteArray("/1?0") << "/1?0" << "r1" << 0;
        QTest::newRow("leading blanks skipped") << QByteArray("   \"  x\"") << "  x" << "r1" << 0;
        // A quoted field runs to the next double quote, across line ends.
        QTest::newRow("quoted across a line end") << QByteArray("\"ab\r\ncd\"") << "ab\r\ncd" << "r1" << 0;
        // Only what the fields need is read, however large the file; a row keeps 32767 characters.
        QTest::newRow("first line over 64 MiB") << QByteArray((64 << 20) + 10, 'x') << QString(32767, 'x') << "r1" << 0;
    }
    void readFields()
    {
        QFETCH(QByteArray, firstLine); QFETCH(QString, row0); QFETCH(QString, row1); QFETCH(int, shift);
        StringFun &c = console();
        QList<QByteArray> lines = standardLines();
        lines[0] = firstLine;
        writeLines(path("fields.txt"), lines);
        load(path("fields.txt"));
        QVERIFY2(platform.messages.isEmpty(), qPrintable(platform.texts().join('|')));
        QCOMPARE(c.StringToSend[0]->text(), row0);
        QCOMPARE(c.StringToSend[1]->text(), row1);
        QCOMPARE(c.StringToSend[24]->text(), QStringLiteral("r%1").arg(24 - shift)); // line 24 - shift
        // Entry 499's delay is field 1024, i.e. line 1024 - shift (the last lines go unread).
        QVERIFY(isText(c.sequence().RecordArray[499][1], QString::fromLatin1(lines[1024 - shift])));
        QCOMPARE(c.windowTitle(), kLoaded + path("fields.txt"));
    }

    void fileErrors_data()
    {
        QTest::addColumn<bool>("saving");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("lineCount"); // lines of a standard file put there first; 0: none
        QTest::newRow("load missing file") << false << "/nonexistent/quorvane/none.txt" << 0;
        QTest::newRow("load 10 strings") << false << "short.txt" << 10;
        QTest::newRow("load one value short") << false << "short.txt" << 1024;
        QTest::newRow("save onto a folder") << true << "@dir" << 0;
        QTest::newRow("save onto a full device") << true << "/dev/full" << 0;
    }
    void fileErrors()
    {
        QFETCH(bool, saving); QFETCH(QString, file); QFETCH(int, lineCount);
        const QList<QByteArray> standard = standardLines();
        if (file == "@dir")
            file = dir.path();
        else if (lineCount > 0)
            file = path(file), writeLines(file, standard.mid(0, lineCount));
        StringFun &c = console();
        recordSequence({5, 6}, {2, 3}, 4);
        setRows("old%1", "resp%1");
        const QString title = c.windowTitle();
        saving ? save(file) : load(file);
        checkOneMessage((saving ? "Error Writing File: " : "Error Reading file: ") + file, QMessageBox::Warning);
        QCOMPARE(c.windowTitle(), title);
        // Rows and sequence values read before the error are new (the values as texts); the
        // rest keep their old values.
        for (int r = 0; r < 25; ++r) {
            const bool read = r < lineCount;
            QCOMPARE(c.StringToSend[r]->text(), read ? QStringLiteral("r%1").arg(r) : QStringLiteral("old%1").arg(r));
            QCOMPARE(c.ReceiveString[r]->text(), read ? QString() : QStringLiteral("resp%1").arg(r));
        }
        const QList<int> recorded = {5, 2, 6, 3, 0, 4};
        for (int i = 0; i < 1000; ++i) {
            const SequenceValue &v = c.sequence().RecordArray[size_t(i / 2)][size_t(i % 2)];
            if (i < lineCount - 25)
                QVERIFY(isText(v, QString::fromLatin1(standard[25 + i])));
            else
                QVERIFY2(i == 4 ? isText(v, "") : isInt(v, recorded.value(i)), qPrintable(QString::number(i)));
        }
        QVERIFY(QFileInfo(dir.path()).isDir());
    }

    // ---- at the bench: keyboard, screen reader, an idle console

    // Typing a character without an 8-bit code leaves it out; a send keeps the keyboard focus
    // with the pressed button (the next keystroke overwrites nothing), and it is back there
    // when the reply or the time-out enables the buttons, unless the operator moved it.
    void keyboard_data()
    {
        QTest::addColumn<int>("movedTo"); // row whose text field the operator clicks meanwhile; -1: none
        QTest::newRow("focus returns") << -1;
        QTest::newRow("operator moved it") << 6;
    }
    void keyboard()
    {
        QFETCH(int, movedTo);
        QByteArray fromConsole;
        sim::PtyServer &sim = attachSimulator();
        sim.bus().faults().silent = true;
        sim.setTrace([&fromConsole](bool in, const QByteArray &b) { fromConsole += in ? b : QByteArray(); });
        StringFun &c = console();
        settings().fields.RCVTimeout->setText("100");
        layoutRows("10");
        c.show();
        QApplication::setActiveWindow(&c);
        QVERIFY(QTest::qWaitForWindowActive(&c));
        c.StringToSend[2]->clear();
        QTest::keyClicks(c.StringToSend[2], "/1?");
        QTest::sendKeyEvent(QTest::Click, c.StringToSend[2], Qt::Key_unknown, QString("\u20ac"), Qt::NoModifier);
        QTest::keyClicks(c.StringToSend[2], "0");
        QCOMPARE(c.StringToSend[2]->text(), QString("/1?0"));
        c.SendCommand[2]->setFocus();
        QTest::keyClick(c.SendCommand[2], Qt::Key_Space);
        QVERIFY(!c.SendCommand[2]->isEnabled());
        QCOMPARE(QApplication::focusWidget(), nullptr);
        QTest::keyClicks(&c, "x");
        QCOMPARE(c.StringToSend[3]->text(), kDefaults[3]);
        if (movedTo >= 0)
            c.StringToSend[movedTo]->setFocus();
        QTRY_COMPARE_WITH_TIMEOUT(c.ReceiveString[2]->text(), QString("No REZizavur detected. Check connections"), 2000);
        QCOMPARE(QApplication::focusWidget(), movedTo < 0 ? static_cast<QWidget *>(c.SendCommand[2]) : c.StringToSend[movedTo]);
        QCOMPARE(fromConsole, QByteArray("/1?0\r"));
    }

    // Windows are read as windows named by their titles, controls by their captions as they
    // change; only controls nothing visible names have names of their own.
    void screenReader()
    {
        StringFun &c = console();
        layoutRows("10");
        auto name = [](QWidget *w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
        auto role = [](QWidget *w) { return QAccessible::queryAccessibleInterface(w)->role(); };
        QCOMPARE(role(&c), QAccessible::Window);
        QCOMPARE(name(&c), kTitle);
        writeLines(path("named.txt"), standardLines());
        load(path("named.txt"));
        QCOMPARE(name(&c), kLoaded + path("named.txt"));
        QCOMPARE(name(c.SendCommand[3]), QString("Send String 3"));
        QCOMPARE(name(c.StringToSend[3]), QString("Command string 3"));
        QCOMPARE(name(c.ReceiveString[3]), QString("Response 3"));
        QCOMPARE(name(c.ButtonShape[3]), QString("Indicator 3"));
        const QList<QPair<int, QString>> presses = {{2, "Stop Recording"}, {2, "Record"}, {1, "Stop Playback"}, {1, "Play"}};
        for (const auto &[index, caption] : presses) {
            barPress(index);
            QCOMPARE(name(c.LoadButton[index]), caption);
        }
        QCOMPARE(name(c.LoadButton[7]), QString("Help"));
        QCOMPARE(role(&settings()), QAccessible::Window);
        QCOMPARE(name(&settings()), QString("Communications"));
        StringFunHelp &help = windows::get<StringFunHelp>();
        QCOMPARE(role(&help), QAccessible::Window);
        QCOMPARE(name(&help), help.windowTitle());
    }

    // A row the layout never placed (pressed by a hand-edited playback) ticks like any other;
    // once the result has shown and gone white, no timer of the console runs.
    void idleConsoleWakesNothing()
    {
        attachSimulator().bus().faults().silent = true;
        StringFun &c = console();
        settings().fields.RCVTimeout->setText("100");
        layoutRows("11");
        c.SendCommand_Click(20);
        QCOMPARE(c.ButtonTimer[20]->interval(), 500);
        QTRY_COMPARE_WITH_TIMEOUT(c.ButtonShape[20]->fillColor(), kRed, 1000);
        QTRY_COMPARE_WITH_TIMEOUT(c.ButtonShape[20]->fillColor(), kWhite, 1000);
        auto anyTimer = [&c] {
            bool any = c.recordPlayTimer().isActive() || c.tmrReceiveTimeOut().isActive();
            for (QTimer *t : c.ButtonTimer)
                any = any || t->isActive();
            return any;
        };
        QTRY_VERIFY_WITH_TIMEOUT(!anyTimer(), 1000);
    }

    // ---- record and playback

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
        // Waits beyond a 16-bit tick count.
        QTest::newRow("40000 before the first press, not replayed") << Rows{4, 6} << Rows{40000, 3} << 2 << false
                                                                    << Presses{{1, 4}, {4, 6}} << 6;
        QTest::newRow("exactly 32767 between") << Rows{4, 6} << Rows{2, 32767} << 5 << false
                                               << Presses{{1, 4}, {32768, 6}} << 32773;
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
        // Played as recorded; then saved, loaded over another recording and played again: the
        // texts read from the file play the same presses with the same delays.
        for (int pass = 0; pass < 2; ++pass) {
            if (pass == 1) {
                save(path("seq.txt"));
                recordSequence({9}, {1}, 1);
                load(path("seq.txt"));
                QVERIFY(isText(c.sequence().RecordArray[0][0], rows.isEmpty() ? QString() : QString::number(rows[0])));
            }
            const int rowBefore = c.currentRow();
            barPress(endless ? 0 : 1);
            QVERIFY(c.sequence().Playing);
            QCOMPARE(c.sequence().PlayEndless, endless);
            int end = -1;
            QCOMPARE(runPlayback(endTick ? endTick + 10 : 30, &end), presses);
            QCOMPARE(end, endTick);
            QCOMPARE(int(c.currentRow()), presses.isEmpty() ? rowBefore : presses.last().y());
            if (!endTick) {
                barPress(1);
                QVERIFY(!c.sequence().Playing && !c.sequence().PlayEndless);
                QCOMPARE(runPlayback(100), Presses()); // stopped: the clock presses nothing
            }
        }
        QVERIFY(platform.messages.isEmpty());
    }

    // Hand-edited button values, played by the running 50 ms clock: rows that do not exist, or
    // texts that are no row number, press nothing and the sequence goes on; a fraction rounds to
    // its row. The rows' texts at playback time go out, and playback records nothing.
    void playHandEditedFile()
    {
        PtyPair &line = attachPty();
        StringFun &c = console();
        QList<QByteArray> lines;
        for (int r = 0; r < 25; ++r)
            lines << "\"/1?" + QByteArray::number(r) + "\"";
        for (const char *button : {"51", "-1", "99999", "\"abc\"", "50", "2.6", "\"\"", "2"})
            lines << button << "1";
        while (lines.size() < 1025)
            lines << "0";
        writeLines(path("hand.txt"), lines);
        load(path("hand.txt"));
        c.StringToSend[2]->setText("/2?8");
        c.LoadButton_Click(1);
        QVERIFY(QTest::qWaitFor([&] { return !c.sequence().Playing; }, 3000));
        QCOMPARE(c.LoadButton[1]->text(), QString("Play"));
        QCOMPARE(line.drain(200), c.StringToSend[50]->text().toLatin1() + "\r/1?3\r/2?8\r");
        QVERIFY(isText(c.sequence().RecordArray[7][0], "2"));
        QVERIFY(platform.messages.isEmpty());
    }

    void playbackDoesNotWaitForReplies()
    {
        sim::PtyServer &sim = attachSimulator();
        sim.bus().faults().replyDelayMs = 300;
        StringFun &c = console();
        useOem(true);
        c.StringToSend[1]->setText("/1?0");
        c.StringToSend[2]->setText("/1?8");
        recordSequence({1, 2}, {1, 1}, 1);
        // "Stop Recording" closed the port: the replies to the recorded presses are lost.
        c.tmrReceiveTimeOut().stop();
        QTest::qWait(400);
        c.ReceiveString[1]->setText("");
        c.ReceiveString[2]->setText("");
        QStringList shown2;
        connect(c.ReceiveString[2], &QLineEdit::textChanged, this, [&shown2](const QString &t) { shown2 << t; });
        barPress(1);
        QCOMPARE(runPlayback(1), (Presses{{1, 1}}));
        QCOMPARE(runPlayback(1), (Presses{{1, 2}})); // a tick later, row 1's reply not yet in
        QCOMPARE(int(c.currentRow()), 2);
        // Both replies come, into the row now current: row 1's late one first.
        QVERIFY(QTest::qWaitFor([&] { return shown2.contains("291 No Error"); }, 3000));
        QCOMPARE(shown2, (QStringList{"1000 No Error", "291 No Error"}));
        QCOMPARE(c.ReceiveString[1]->text(), QString());
        disconnect(c.ReceiveString[2], nullptr, this, nullptr);
    }

    void barStates_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QStringList>("captions"); // LoadButton 0..2
        QTest::addColumn<QString>("enabled");      // LoadButton 0..7
        QTest::addColumn<bool>("recording");
        QTest::addColumn<bool>("playing");
        const QString idle = "11111111", playing = "01000011", recording = "00100011";
        const QStringList rec = {"record", "press", "tick", "record"};
        const QStringList start = {"Play Endless", "Playback", "Record"}, stopped = {"Play Endless", "Play", "Record"},
                          stopPlay = {"Play Endless", "Stop Playback", "Record"};
        QTest::newRow("recording") << QStringList{"record"} << QStringList{"Play Endless", "Playback", "Stop Recording"}
                                   << recording << true << false;
        QTest::newRow("playing once") << rec + QStringList{"play"} << stopPlay << playing << false << true;
        QTest::newRow("playback stopped") << rec + QStringList{"play", "play"} << stopped << idle << false << false;
        QTest::newRow("played to the end") << rec + QStringList{"play", "tick", "tick", "tick"} << stopped << idle << false << false;
        QTest::newRow("re-layout while recording") << QStringList{"record", "layout"} << start << recording << true << false;
        QTest::newRow("re-layout while playing") << QStringList{"endless", "layout"} << start << playing << false << true;
        QTest::newRow("endless ignored while playing") << QStringList{"play", "endless"} << stopPlay << playing << false << true;
    }
    void barStates()
    {
        QFETCH(QStringList, actions); QFETCH(QStringList, captions); QFETCH(QString, enabled);
        QFETCH(bool, recording); QFETCH(bool, playing);
        StringFun &c = console();
        c.recordPlayTimer().stop();
        for (const QString &a : actions) {
            if (a == "record" || a == "play" || a == "endless")
                barPress(a == "record" ? 2 : a == "play" ? 1 : 0);
            else if (a == "press")
                c.SendCommand_Click(1);
            else if (a == "tick")
                ticks(1);
            else
                c.SetupScreen();
        }
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(c.LoadButton[i]->text(), i < 3 ? captions[i] : kBarCaptions[i]);
            QCOMPARE(c.LoadButton[i]->isEnabled(), enabled[i] == QLatin1Char('1'));
        }
        QCOMPARE(c.sequence().Recording, recording);
        QCOMPARE(c.sequence().Playing, playing);
    }

    // Starting a recording clears entries 0 to 499 only; stopping at once leaves the end marker
    // in entry 0. The table's end: the 499th press fills entries 0 to 498 and stops the
    // recording, which says so; the end marker takes entry 499, the last one the file keeps.
    void recordingTable()
    {
        StringFun &c = console();
        const auto &table = c.sequence().RecordArray;
        QFile loaded(path("texts.txt"));
        QVERIFY(loaded.open(QIODevice::WriteOnly));
        for (int line = 0; line < 1025; ++line)
            loaded.write((line < 25 ? QByteArray("/1Q") : QByteArray::number(line)) + "\r\n");
        loaded.close();
        load(loaded.fileName());
        QVERIFY(isText(table[499][1], "1024"));
        barPress(2);
        for (size_t k = 0; k < 500; ++k)
            QVERIFY(isInt(table[k][0], 0) && isInt(table[k][1], 0));
        barPress(2);
        QVERIFY(isText(table[0][0], "") && isInt(table[0][1], 0) && isInt(table[1][0], 0));

        // The press that fills the table is on the wire before the message holds the operator.
        PtyPair &line = attachPty();
        QByteArray wire;
        platform.onMessage = [&](const platform::Message &) { wire = line.drain(20); };
        barPress(2);
        for (int i = 0; i < 499; ++i, ticks(1))
            c.SendCommand_Click(int16_t(i < 498 ? i % 25 : 7));
        platform.onMessage = nullptr;
        QCOMPARE(wire.size(), 499 * 4);
        QVERIFY(!c.sequence().Recording);
        QCOMPARE(c.LoadButton[2]->text(), QString("Record"));
        QVERIFY(c.LoadButton[1]->isEnabled() && c.LoadButton[5]->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return !platform.messages.isEmpty(); }, 1000));
        QCOMPARE(platform.messages.size(), 1);
        QVERIFY(platform.messages[0].text.contains("499"));
        c.SendCommand_Click(3); // sent, not stored
        save(path("full.txt"));
        const QList<QByteArray> lines = fileLines(path("full.txt"));
        QCOMPARE(lines.size(), 1025);
        QCOMPARE(lines.mid(1021), (QList<QByteArray>{"7", "1", "\"\"", "0"}));
        QCOMPARE(lines[25], QByteArray("0"));
        // It plays to its end without running off the table.
        barPress(1);
        int end = -1;
        const Presses p = runPlayback(1000, &end);
        QCOMPARE(p.size(), 499);
        QCOMPARE(p.last(), QPoint(499, 7));
        QCOMPARE(end, 499); // the end marker has no delay: stopped with the last press
    }

    // ---- closing

    // Closing with the port open and the other windows shown: the port is closed before any of
    // them goes.
    void closingClosesPortFirst()
    {
        PtyPair &line = attachPty();
        StringFun &c = console();
        c.LoadButton_Click(3);
        c.LoadButton_Click(7);
        QPointer<Settings> s = windows::loaded<Settings>();
        QPointer<StringFunHelp> h = windows::loaded<StringFunHelp>();
        QPointer<StringFun> pc(&c);
        QVERIFY(s && s->isVisible() && h && h->isVisible());
        c.SendCommand_Click(1);
        QCOMPARE(line.receive(5), QByteArray("/1?0\r"));
        struct Watch : QObject {
            StringFun *console;
            QStringList hidden; // each window hidden, with the port's state at that moment
            explicit Watch(StringFun *c) : console(c) {}
            bool eventFilter(QObject *o, QEvent *e) override
            {
                if (e->type() == QEvent::Hide)
                    hidden << o->objectName() + (console->MSComm1().isOpen() ? " open" : " closed");
                return false;
            }
        } watch(&c);
        s->installEventFilter(&watch);
        h->installEventFilter(&watch);
        c.close();
        QCOMPARE(QSet<QString>(watch.hidden.begin(), watch.hidden.end()), (QSet<QString>{"Settings closed", "StringFunHelp closed"}));
        QVERIFY(!c.tmrReceiveTimeOut().isActive() && !c.MSComm1().isOpen());
        QVERIFY(windows::all().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!s && !h && !pc);
        QCOMPARE(line.drain(50), QByteArray()); // nothing more was written on closing
    }
};

QTEST_MAIN(TestConsole)
#include "test_console.moc"
