// The console window, offscreen and real: its layout in twips, captions and title, a row sent
// to the drive simulator and answered or timed out, the leading-slash check, the button bar
// closing the port, the default strings, the command file written and read back, record and
// playback driven tick by tick, and closing the program with the port open.
#include "app/platform.h"
#include "app/twips.h"
#include "app/windows.h"
#include "console/commandfile.h"
#include "console/sequence.h"
#include "console/stringfun.h"
#include "help/stringfunhelp.h"
#include "settings/settingswindow.h"
#include "sim/ptyserver.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QPoint>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

namespace {

using Presses = QList<QPoint>; // x: tick after the start (from 1), y: row pressed

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

const QStringList kDefaults = {
    "/1&", "/1?0", "/1T", "/1A1000A0R", "/1P1000D500R", "/1Z10000R", "/1V2000R",
    "/1gA1000M500A0M500G5R", "/1H01A1000H01A0R", "/1J1M500J2M500J3M500J0R", "/1F",
    "/1?2", "/1?3", "/1?4", "/1?5", "/1?6", "/1?7", "/1?8", "/1?1", "/1?2", "/1?3"};

const QString kSlash = "Please Enter Command Strings with a leading slash '/' followed by the unit address, such as '/1&'.";
const QString kTimeout = "No REZizavur detected. Check connections";
const QString kTitle = "Kestrelworks Quorvane Version  1. 2. 12";

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The lines of a file written with CR LF line ends (the last line's CR LF included).
QList<QByteArray> crlfLines(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &l : lines)
        if (l.endsWith('\r'))
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
bool isText(const SequenceValue &v, const QString &s)
{
    return std::holds_alternative<QString>(v) && std::get<QString>(v) == s;
}

// The recorder alone, with a clock of its own: counts ticks and notes which tick presses which row.
class FakeSink final : public SequenceSink {
public:
    SequenceRecorder recorder{*this};
    long tickNo = 0;
    QList<QPair<long, int>> presses;
    std::map<int, QString> captions;
    std::map<int, bool> enabled;
    QList<int> full;
    int timerStarts = 0;

    void pressRow(int16_t row) override
    {
        presses << qMakePair(tickNo, int(row));
        recorder.storePress(row);
    }
    void setBarCaption(int index, const QString &caption) override { captions[index] = caption; }
    void setBarEnabled(int index, bool on) override { enabled[index] = on; }
    void enablePlayTimer() override { ++timerStarts; }
    void sequenceFull(int n) override { full << n; }

    void ticks(long n)
    {
        for (long i = 0; i < n; ++i) {
            ++tickNo;
            recorder.tick();
        }
    }
    // Plays once from the start; returns the tick on which the playback ended (0: still playing
    // after `limit` ticks).
    long playOnce(long limit)
    {
        presses.clear();
        tickNo = 0;
        recorder.playbackButton();
        while (recorder.Playing && tickNo < limit)
            ticks(1);
        return recorder.Playing ? 0 : tickNo;
    }
};

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

    TempStore store;
    ScriptedPlatform platform;
    QTemporaryDir dir;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<sim::PtyServer> server;

    // Every COM number points at a device that does not exist unless a test attaches one.
    void mapNothing()
    {
        for (int n = 1; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
    }
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
    static void useOem(bool oem)
    {
        if (oem)
            settings().fields.OEMProtocol->setChecked(true);
        else
            settings().fields.DTProtocol->setChecked(true);
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    // "Save Strings" / "Load Strings" with the file dialog answering `file`.
    void save(const QString &file)
    {
        platform.files.enqueue(file);
        console().LoadButton_Click(4);
    }
    void load(const QString &file)
    {
        platform.files.enqueue(file);
        console().LoadButton_Click(5);
    }

    // The playback clock is driven by hand: the real 50 ms timer is stopped after every start.
    static void stopClock() { console().RecordPlayTimer->stop(); }
    static void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            console().RecordPlayTimer_Timer();
    }
    static void barPress(int index)
    {
        console().LoadButton_Click(int16_t(index));
        stopClock();
    }
    // Records presses of `rows`, each after its gap in ticks, then stops after `endGap` ticks.
    static void recordSequence(const QList<int> &rows, const QList<int> &gaps, int endGap)
    {
        barPress(2);
        for (int i = 0; i < rows.size(); ++i) {
            ticks(gaps.value(i));
            console().SendCommand_Click(int16_t(rows[i]));
        }
        ticks(endGap);
        barPress(2);
    }
    // Runs the playback clock tick by tick and notes which rows each tick presses (a press
    // starts the row's indicator timer). Stops when the playback has ended or after `limit`
    // ticks; `endTick` is the tick on which it ended, 0 if it still plays.
    static Presses runPlayback(int limit, int *endTick = nullptr)
    {
        StringFun &c = console();
        Presses presses;
        int t = 0;
        while (t < limit && c.recorder.Playing) {
            for (QTimer *timer : c.ButtonTimer)
                timer->stop();
            ++t;
            c.RecordPlayTimer_Timer();
            for (int r = 0; r < StringFun::kRows; ++r)
                if (c.ButtonTimer[r]->isActive())
                    presses << QPoint(t, r);
        }
        if (endTick)
            *endTick = c.recorder.Playing ? 0 : t;
        return presses;
    }
    static void checkTwips(const QWidget *w, double left, double top, double width, double height)
    {
        QCOMPARE(twips::left(w), left);
        QCOMPARE(twips::top(w), top);
        QCOMPARE(twips::width(w), width);
        QCOMPARE(twips::height(w), height);
    }
    static QStringList rowTexts()
    {
        QStringList out;
        for (int r = 0; r < 25; ++r)
            out << console().StringToSend[r]->text();
        return out;
    }
    static void checkBar(const QStringList &captions, const QString &enabled)
    {
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(console().LoadButton[i]->text(), captions[i]);
            QCOMPARE(console().LoadButton[i]->isEnabled(), enabled[i] == QLatin1Char('1'));
        }
    }

private slots:
    void init()
    {
        store.clear();
        mapNothing();
        platform.messages.clear();
        platform.dialogs.clear();
        platform.files.clear();
        platform.buttons.clear();
    }
    void cleanup()
    {
        windows::unloadAll();
        settle();
        server.reset();
        pty.reset();
    }

    // ---- start-up and layout

    void startUp()
    {
        StringFun &c = console();
        QCOMPARE(c.windowTitle(), kTitle);
        QVERIFY(windows::loaded<Settings>()); // the layout's read of MaxStrings created it
        QVERIFY(!windows::loaded<Settings>()->isVisible());
        QCOMPARE(c.NumRows, int16_t(11)); // the stored default
        for (int r = 0; r < StringFun::kRows; ++r)
            QCOMPARE(c.StringToSend[r]->text(), r < 21 ? kDefaults[r] : QString("/1?"));
        QVERIFY(!c.MSComm1().isOpen());
        QCOMPARE(c.tmrReceiveTimeOut().interval(), 3000);
        QVERIFY(!c.tmrReceiveTimeOut().isActive());
        QVERIFY(c.RecordPlayTimer->isActive());
        QCOMPARE(c.RecordPlayTimer->interval(), 50);
        QVERIFY(platform.messages.isEmpty());
    }

    void layoutGeometry_data()
    {
        QTest::addColumn<QString>("maxStrings");
        QTest::addColumn<int>("rows");
        QTest::addColumn<double>("frameHeight");
        QTest::addColumn<double>("windowHeight");
        QTest::newRow("10 rows") << "10" << 10 << 3918.75 << 5861.25;
        QTest::newRow("25 rows") << "25" << 25 << 9262.5 << 11205.0;
        QTest::newRow("1 row") << "1" << 1 << 712.5 << 2655.0;
        QTest::newRow("letters") << "abc" << 10 << 3918.75 << 5861.25;
        QTest::newRow("empty") << "" << 10 << 3918.75 << 5861.25;
        QTest::newRow("fraction rounds up") << "4.6" << 5 << 2137.5 << 4080.0;
        QTest::newRow("blanks around") << " 3 " << 3 << 1425.0 << 3367.5;
    }
    void layoutGeometry()
    {
        QFETCH(QString, maxStrings);
        QFETCH(int, rows);
        QFETCH(double, frameHeight);
        QFETCH(double, windowHeight);

        StringFun &c = console();
        layoutRows(maxStrings);
        QCOMPARE(int(c.NumRows), rows);
        for (int r = 0; r < StringFun::kRows; ++r) {
            const bool shown = r < rows;
            QCOMPARE(c.SendCommand[r]->isVisibleTo(&c), shown);
            QCOMPARE(c.ButtonShape[r]->isVisibleTo(&c), shown);
            QCOMPARE(c.StringToSend[r]->isVisibleTo(&c), shown);
            QCOMPARE(c.ReceiveString[r]->isVisibleTo(&c), shown);
            if (!shown)
                continue;
            const double top = 1800 + r * 356.25;
            checkTwips(c.SendCommand[r], 585, top, 1380, 285);
            checkTwips(c.ButtonShape[r], 105, top, 240, 285);
            checkTwips(c.StringToSend[r], 2137.5, top, 3915, 285);
            checkTwips(c.ReceiveString[r], 6225, top, 5000, 285);
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(c.SendCommand[r]->text(), QStringLiteral("Send String &%1").arg(r));
            QCOMPARE(c.SendCommand[r]->toolTip(), QString("Click to send command string."));
            QCOMPARE(c.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
            QCOMPARE(c.ButtonTimer[r]->interval(), 500);
        }
        if (rows == 25)
            QCOMPARE(twips::top(c.SendCommand[24]), 10350.0);
        checkTwips(c.Frame1, 442.5, 1515, 10985, frameHeight);
        QCOMPARE(twips::width(&c), 11525.0);
        QCOMPARE(twips::height(&c), windowHeight);
        checkTwips(c.Image2, 2012.5, 120, 7500, 1620);
        QCOMPARE(c.windowTitle(), kTitle);
        QVERIFY(platform.messages.isEmpty());
        // The pixels follow the twips at 15 a pixel.
        QCOMPARE(c.StringToSend[0]->geometry(), QRect(143, 120, 261, 19));
    }

    void layoutTwiceIdentical()
    {
        StringFun &c = console();
        layoutRows("25");
        auto snapshot = [&c] {
            QList<double> v;
            QList<QWidget *> ws{c.Frame1, c.Image2, &c};
            for (int r = 0; r < StringFun::kRows; ++r)
                ws << c.SendCommand[r] << c.ButtonShape[r] << c.StringToSend[r] << c.ReceiveString[r];
            for (QPushButton *b : c.LoadButton)
                ws << b;
            for (QWidget *w : ws)
                v << twips::left(w) << twips::top(w) << twips::width(w) << twips::height(w)
                  << (w->isVisibleTo(&c) ? 1 : 0);
            return v;
        };
        const QList<double> first = snapshot();
        c.SetupScreen();
        QCOMPARE(snapshot(), first);
        c.SetupScreen();
        QCOMPARE(snapshot(), first);
    }

    void noRowsKeepsFrameAndWindow()
    {
        StringFun &c = console();
        layoutRows("10");
        layoutRows("0");
        QCOMPARE(c.NumRows, int16_t(0));
        for (int r = 0; r < StringFun::kRows; ++r)
            QVERIFY(!c.SendCommand[r]->isVisibleTo(&c));
        QCOMPARE(twips::height(c.Frame1), 3918.75);
        QCOMPARE(twips::height(&c), 5861.25);
        QCOMPARE(twips::width(&c), 11525.0);
    }

    void bar_data()
    {
        QTest::addColumn<QString>("maxStrings");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("top");
        const QStringList caps = {"Play Endless", "Playback", "Record", "Settings",
                                  "Save Strings", "Load Strings", "Load Default", "Help"};
        const QStringList tips = {"Playback a Sequence of Command Button Presses Endlessly",
                                  "Playback a Sequence of Command Button Presses",
                                  "Record a Sequence of Command Button Presses",
                                  "Settings for Comm Port, Baud Rate etc.",
                                  "Save Command Strings", "Load Command Strings",
                                  "Load Default Strings", "Display Help"};
        const double tops[] = {1301.25, 945, 588.75, 232.5};
        for (const QString rows : {"10", "25", "1"})
            for (int i = 0; i < 8; ++i)
                QTest::addRow("%s rows, %d", qPrintable(rows), i)
                    << rows << i << caps[i] << tips[i] << (i < 4 ? 585.0 : 9845.0) << tops[i % 4];
    }
    void bar()
    {
        QFETCH(QString, maxStrings);
        QFETCH(int, index);
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        QFETCH(double, left);
        QFETCH(double, top);
        layoutRows(maxStrings);
        QPushButton *b = console().LoadButton[index];
        QCOMPARE(b->text(), caption);
        QCOMPARE(b->toolTip(), tooltip);
        checkTwips(b, left, top, 1380, 285);
        QVERIFY(b->isEnabled());
        QCOMPARE(b->objectName(), QStringLiteral("LoadButton_%1").arg(index));
    }

    void accessKeys_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("key");
        QTest::newRow("row 0") << 0 << "Send String 0" << "0";
        QTest::newRow("row 3") << 3 << "Send String 3" << "3";
        QTest::newRow("row 1") << 1 << "Send String 1" << "1";
        QTest::newRow("row 12") << 12 << "Send String 12" << "1";
        QTest::newRow("row 24") << 24 << "Send String 24" << "2";
    }
    void accessKeys()
    {
        QFETCH(int, row);
        QFETCH(QString, shown);
        QFETCH(QString, key);
        layoutRows("25");
        const QString text = console().SendCommand[row]->text();
        QCOMPARE(QString(text).remove(QLatin1Char('&')), shown);
        QCOMPARE(QKeySequence::mnemonic(text), QKeySequence("Alt+" + key));
    }

    void receiveTimeout_data()
    {
        QTest::addColumn<QString>("rcvTimeout");
        QTest::addColumn<int>("interval");
        QTest::newRow("200") << "200" << 200;
        QTest::newRow("4500") << "4500" << 4500;
        QTest::newRow("beyond 16 bits") << "100000" << 100000;
        QTest::newRow("letters keep the previous") << "abc" << 1234;
        QTest::newRow("empty keeps the previous") << "" << 1234;
        QTest::newRow("zero keeps the previous") << "0" << 1234;
    }
    void receiveTimeout()
    {
        QFETCH(QString, rcvTimeout);
        QFETCH(int, interval);
        StringFun &c = console();
        settings().fields.RCVTimeout->setText("1234");
        c.SetupScreen();
        QCOMPARE(c.tmrReceiveTimeOut().interval(), 1234);
        settings().fields.RCVTimeout->setText(rcvTimeout);
        c.SetupScreen();
        QCOMPARE(c.tmrReceiveTimeOut().interval(), interval);
        QVERIFY(!c.tmrReceiveTimeOut().isActive()); // the layout does not start it
    }

    void fewerRowsKeepTexts()
    {
        StringFun &c = console();
        layoutRows("25");
        for (int r = 0; r < 25; ++r) {
            c.StringToSend[r]->setText(QStringLiteral("/2?%1").arg(r));
            c.ReceiveString[r]->setText(QStringLiteral("reply %1").arg(r));
        }
        layoutRows("5");
        for (int r = 0; r < 25; ++r) {
            QCOMPARE(c.SendCommand[r]->isVisibleTo(&c), r < 5);
            QCOMPARE(c.StringToSend[r]->isVisibleTo(&c), r < 5);
            QCOMPARE(c.StringToSend[r]->text(), QStringLiteral("/2?%1").arg(r));
            QCOMPARE(c.ReceiveString[r]->text(), QStringLiteral("reply %1").arg(r));
        }
        QCOMPARE(twips::height(c.Frame1), 2137.5);
        QCOMPARE(twips::height(&c), 4080.0);
        // Hidden rows are still saved.
        save(path("five.txt"));
        const QList<QByteArray> lines = crlfLines(readAll(path("five.txt")));
        QCOMPARE(lines.size(), 1025);
        QCOMPARE(lines[24], QByteArray("\"/2?24\""));
    }

    // ---- a row sent end to end

    void sendToSimulator_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("response");
        QTest::newRow("dt position") << false << 1 << "/1?0" << QByteArray("/1?0\r") << "1000 No Error";
        QTest::newRow("oem position") << true << 1 << "/1?0" << QByteArray::fromHex("0231313f30030e") << "1000 No Error";
        QTest::newRow("dt version row 0") << false << 0 << "/1&" << QByteArray("/1&\r") << "REZizavur V1.05 No Error";
        QTest::newRow("oem move row 3") << true << 3 << "/1A1000A0R"
                                        << QByteArray::fromHex("02313141313030304130520362") << " No Error";
        QTest::newRow("dt invalid command") << false << 7 << "/1X" << QByteArray("/1X\r") << " Invalid Command";
        QTest::newRow("oem invalid operand") << true << 2 << "/1A" << QByteArray::fromHex("023131410340") << " Invalid Operand";
        QTest::newRow("dt trailing blanks sent") << false << 5 << "/1?0  " << QByteArray("/1?0  \r") << "1000 No Error";
    }
    void sendToSimulator()
    {
        QFETCH(bool, oem);
        QFETCH(int, row);
        QFETCH(QString, command);
        QFETCH(QByteArray, wire);
        QFETCH(QString, response);

        sim::PtyServer &sim = attachSimulator();
        QByteArray fromConsole;
        sim.setTrace([&fromConsole](bool in, const QByteArray &b) {
            if (in)
                fromConsole += b;
        });
        StringFun &c = console();
        layoutRows("10");
        useOem(oem);
        c.StringToSend[row]->setText(command);
        c.ReceiveString[row]->setText("old reply");

        c.SendCommand[row]->click();
        // Under way: every shown row's button disabled, the indicator white, the time-out running.
        for (int r = 0; r < 10; ++r)
            QVERIFY(!c.SendCommand[r]->isEnabled());
        QCOMPARE(c.ButtonShape[row]->fillColor(), QColor(255, 255, 255));
        QVERIFY(c.tmrReceiveTimeOut().isActive());
        QVERIFY(c.ButtonTimer[row]->isActive());
        QCOMPARE(int(c.link.CurrentRow), row);
        QVERIFY(c.MSComm1().isOpen());

        QVERIFY(QTest::qWaitFor([&] { return c.ReceiveString[row]->text() != "old reply"; }, 3000));
        QCOMPARE(c.ReceiveString[row]->text(), response);
        QCOMPARE(c.ButtonShape[row]->fillColor(), QColor(0, 255, 0));
        for (int r = 0; r < 10; ++r)
            QVERIFY(c.SendCommand[r]->isEnabled());
        QVERIFY(!c.tmrReceiveTimeOut().isActive());
        QCOMPARE(fromConsole, wire);
        // The indicator rests white again at the row's next indicator tick.
        QVERIFY(QTest::qWaitFor([&] { return c.ButtonShape[row]->fillColor() == QColor(255, 255, 255); }, 1500));
        QCOMPARE(c.ReceiveString[row]->text(), response);
        QVERIFY(platform.messages.isEmpty());
        QVERIFY(c.MSComm1().isOpen()); // stays open after the send
    }

    void timeout_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<bool>("simulator"); // a silent simulator, or a bare line nobody answers
        QTest::newRow("dt silent simulator") << false << true;
        QTest::newRow("oem silent simulator") << true << true;
        QTest::newRow("dt bare line") << false << false;
        QTest::newRow("oem bare line") << true << false;
    }
    void timeout()
    {
        QFETCH(bool, oem);
        QFETCH(bool, simulator);
        if (simulator)
            attachSimulator().bus().faults().silent = true;
        else
            attachPty();
        StringFun &c = console();
        settings().fields.RCVTimeout->setText("200");
        layoutRows("10");
        useOem(oem);
        c.StringToSend[4]->setText("/1?0");
        c.SendCommand[4]->click();
        QVERIFY(!c.SendCommand[0]->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return c.ReceiveString[4]->text() == kTimeout; }, 3000));
        QCOMPARE(c.ButtonShape[4]->fillColor(), QColor(255, 0, 0));
        for (int r = 0; r < 10; ++r)
            QVERIFY(c.SendCommand[r]->isEnabled());
        QVERIFY(!c.tmrReceiveTimeOut().isActive());
        QVERIFY(c.MSComm1().isOpen()); // closed and opened again
        if (!simulator) {
            const QByteArray wire = pty->drain(100);
            QCOMPARE(wire, oem ? QByteArray::fromHex("0231313f30030e") : QByteArray("/1?0\r"));
        }
        QVERIFY(platform.messages.isEmpty());
    }

    void leadingSlash_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty row") << "";
        QTest::newRow("no slash") << "1?0";
        QTest::newRow("blank first") << " /1?0";
        QTest::newRow("backslash") << "\\1?0";
    }
    void leadingSlash()
    {
        QFETCH(QString, text);
        PtyPair &line = attachPty();
        StringFun &c = console();
        layoutRows("10");
        c.StringToSend[2]->setText(text);
        c.ReceiveString[2]->setText("kept");
        c.ButtonShape[2]->setFillColor(QColor(0, 255, 0));
        c.SendCommand[2]->click();

        QCOMPARE(platform.messages.size(), 1);
        const platform::Message &m = platform.messages.first();
        QCOMPARE(m.text, kSlash);
        QCOMPARE(m.caption, QString("Kestrelworks"));
        QCOMPARE(m.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        for (int r = 0; r < 10; ++r)
            QVERIFY(c.SendCommand[r]->isEnabled());
        for (QPushButton *b : c.LoadButton)
            QVERIFY(b->isEnabled());
        QVERIFY(!c.MSComm1().isOpen());
        QVERIFY(!c.tmrReceiveTimeOut().isActive());
        QVERIFY(!c.ButtonTimer[2]->isActive());
        QCOMPARE(c.ButtonShape[2]->fillColor(), QColor(0, 255, 0));
        QCOMPARE(c.ReceiveString[2]->text(), QString("kept"));
        QCOMPARE(line.drain(100), QByteArray());
    }

    void slashAloneIsSent_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("dt") << false << QByteArray("/\r");
        QTest::newRow("oem") << true << QByteArray::fromHex("02310330");
    }
    void slashAloneIsSent()
    {
        QFETCH(bool, oem);
        QFETCH(QByteArray, wire);
        PtyPair &line = attachPty();
        StringFun &c = console();
        useOem(oem);
        c.StringToSend[0]->setText("/");
        c.SendCommand[0]->click();
        QCOMPARE(line.receive(wire.size(), 2000), wire);
        QVERIFY(platform.messages.isEmpty());
        QVERIFY(!c.SendCommand[0]->isEnabled());
    }

    void barClosesPort_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < 8; ++i)
            QTest::addRow("LoadButton %d", i) << i;
        QTest::newRow("no such button") << 9;
    }
    void barClosesPort()
    {
        QFETCH(int, index);
        PtyPair &line = attachPty();
        StringFun &c = console();
        c.SendCommand_Click(1);
        QCOMPARE(line.receive(5), QByteArray("/1?0\r"));
        QVERIFY(c.MSComm1().isOpen());

        c.LoadButton_Click(int16_t(index)); // no file is chosen: both dialogs are cancelled
        QVERIFY(!c.MSComm1().isOpen());
        if (index == 4 || index == 5) {
            QCOMPARE(platform.dialogs.size(), 1);
            QVERIFY(platform.messages.isEmpty());
        }
        if (index == 3)
            QVERIFY(settings().isVisible());
        if (index == 7)
            QVERIFY(windows::loaded<StringFunHelp>() && windows::loaded<StringFunHelp>()->isVisible());
        // The next send opens the port again.
        c.link.tmrReceiveTimeOut().stop();
        c.SendCommand_Click(2);
        QCOMPARE(line.receive(4), QByteArray("/1T\r"));
        QVERIFY(c.MSComm1().isOpen());
    }

    void layoutClosesPort()
    {
        PtyPair &line = attachPty();
        StringFun &c = console();
        c.SendCommand_Click(0);
        QCOMPARE(line.receive(4), QByteArray("/1&\r"));
        QVERIFY(c.MSComm1().isOpen());
        c.SetupScreen();
        QVERIFY(!c.MSComm1().isOpen());
    }

    void loadDefault()
    {
        StringFun &c = console();
        writeLines(path("set.txt"), standardLines());
        load(path("set.txt"));
        const QString title = "Current Command File: " + path("set.txt");
        QCOMPARE(c.windowTitle(), title);
        for (int r = 0; r < 25; ++r) {
            c.StringToSend[r]->setText(QStringLiteral("/x%1").arg(r));
            c.ReceiveString[r]->setText(QStringLiteral("y%1").arg(r));
        }
        recordSequence({4, 6}, {3, 5}, 2);
        c.LoadButton[6]->click();
        for (int r = 0; r < 25; ++r) {
            QCOMPARE(c.StringToSend[r]->text(), r < 21 ? kDefaults[r] : QStringLiteral("/x%1").arg(r));
            QCOMPARE(c.ReceiveString[r]->text(), QStringLiteral("y%1").arg(r));
        }
        QCOMPARE(c.windowTitle(), title);
        QVERIFY(isInt(c.recorder.RecordArray[1][0], 6));
        QVERIFY(isText(c.recorder.RecordArray[2][0], ""));
        QVERIFY(platform.messages.isEmpty());
    }

    // ---- the command file

    void saveFormat_data()
    {
        QTest::addColumn<bool>("recorded");
        QTest::addColumn<QString>("maxStrings");
        QTest::newRow("before any recording, 10 rows") << false << "10";
        QTest::newRow("after a recording, 10 rows") << true << "10";
        QTest::newRow("after a recording, 25 rows") << true << "25";
    }
    void saveFormat()
    {
        QFETCH(bool, recorded);
        QFETCH(QString, maxStrings);
        StringFun &c = console();
        layoutRows(maxStrings);
        for (int r = 0; r < 25; ++r)
            c.StringToSend[r]->setText(QStringLiteral("/1A%1R").arg(r));
        c.StringToSend[3]->setText("/1a,b");
        c.StringToSend[4]->setText("");
        c.StringToSend[5]->setText("say \"hi\"");
        c.StringToSend[6]->setText(QString::fromLatin1("/1\xe9\xff"));
        if (recorded)
            recordSequence({3, 12, 12}, {7, 20, 0}, 9);
        const QString before = c.windowTitle();

        const QString file = path("saved.txt");
        save(file);
        QVERIFY(platform.messages.isEmpty());
        QCOMPARE(platform.dialogs.size(), 1);
        QCOMPARE(platform.dialogs[0].kind, platform::FileDialogRequest::Save);
        QCOMPARE(platform.dialogs[0].title, QString("Save Protocol"));
        QVERIFY(platform.dialogs[0].confirmOverwrite);
        QVERIFY(platform.dialogs[0].filter.isEmpty());
        QCOMPARE(c.windowTitle(), before);

        const QByteArray bytes = readAll(file);
        QCOMPARE(bytes.count("\r\n"), 1025);
        QCOMPARE(bytes.count('\n'), 1025);
        QCOMPARE(bytes.count('\r'), 1025);
        QVERIFY(bytes.endsWith("\r\n"));
        const QList<QByteArray> lines = crlfLines(bytes);
        QCOMPARE(lines.size(), 1025);
        for (int r = 0; r < 25; ++r) {
            QByteArray expected = "\"/1A" + QByteArray::number(r) + "R\"";
            if (r == 3)
                expected = "\"/1a,b\"";
            if (r == 4)
                expected = "\"\"";
            if (r == 5)
                expected = "\"say \"hi\"\"";
            if (r == 6)
                expected = "\"/1\xe9\xff\"";
            QCOMPARE(lines[r], expected);
        }
        QList<QByteArray> sequence = lines.mid(25);
        if (!recorded) {
            for (const QByteArray &l : sequence)
                QCOMPARE(l, QByteArray());
            return;
        }
        const QList<QByteArray> head = {"3", "7", "12", "20", "12", "0", "\"\"", "9"};
        QCOMPARE(sequence.mid(0, 8), head);
        for (int i = 8; i < 1000; ++i)
            QCOMPARE(sequence[i], QByteArray("0"));
    }

    void roundTrip()
    {
        StringFun &c = console();
        layoutRows("10");
        for (int r = 0; r < 25; ++r)
            c.StringToSend[r]->setText(QStringLiteral("/%1?0").arg(r));
        c.StringToSend[8]->setText("/1J1M500,J0R");
        recordSequence({2, 9, 20}, {1, 4, 6}, 3);
        const QString file = path("trip.txt");
        save(file);
        const QStringList saved = rowTexts();

        for (int r = 0; r < 25; ++r) {
            c.StringToSend[r]->setText("/changed");
            c.ReceiveString[r]->setText("reply");
        }
        recordSequence({1}, {1}, 1);
        const QString titleBefore = c.windowTitle();
        load(file);
        QVERIFY(platform.messages.isEmpty());
        QCOMPARE(platform.dialogs.size(), 2);
        QCOMPARE(platform.dialogs[1].kind, platform::FileDialogRequest::Open);
        QCOMPARE(platform.dialogs[1].title, QString("Load Protocol"));
        QVERIFY(!platform.dialogs[1].confirmOverwrite);
        QVERIFY(platform.dialogs[1].filter.isEmpty());
        QCOMPARE(rowTexts(), saved); // the 15 hidden rows included
        for (int r = 0; r < 25; ++r)
            QCOMPARE(c.ReceiveString[r]->text(), QString());
        QCOMPARE(c.ReceiveString[30]->text(), QString()); // never touched anyway
        QVERIFY(titleBefore != c.windowTitle());
        QCOMPARE(c.windowTitle(), "Current Command File: " + file);
        // The sequence comes back as texts.
        const QStringList expected = {"2", "1", "9", "4", "20", "6", "", "3", "0", "0"};
        for (int k = 0; k < 5; ++k)
            for (int col = 0; col < 2; ++col)
                QVERIFY2(isText(c.recorder.RecordArray[size_t(k)][size_t(col)], expected[2 * k + col]),
                         qPrintable(QStringLiteral("entry %1 column %2").arg(k).arg(col)));
        QVERIFY(isText(c.recorder.RecordArray[499][1], "0"));

        // Saved again, the texts are quoted now.
        save(path("again.txt"));
        const QList<QByteArray> again = crlfLines(readAll(path("again.txt")));
        QCOMPARE(again.size(), 1025);
        QCOMPARE(again[25], QByteArray("\"2\""));
        QCOMPARE(again[31], QByteArray("\"\""));
        QCOMPARE(again[1024], QByteArray("\"0\""));
        // A later save keeps the title.
        QCOMPARE(c.windowTitle(), "Current Command File: " + file);
    }

    void readFields_data()
    {
        // The first line of a standard file replaced; `shift` = how many fields the rest moved by.
        QTest::addColumn<QByteArray>("firstLine");
        QTest::addColumn<QString>("row0");
        QTest::addColumn<QString>("row1");
        QTest::addColumn<int>("shift");
        QTest::newRow("plain quoted") << QByteArray("\"/1?0\"") << "/1?0" << "r1" << 0;
        QTest::newRow("quoted comma reads whole") << QByteArray("\"/1a,b\"") << "/1a,b" << "r1" << 0;
        QTest::newRow("embedded quote ends the text") << QByteArray("\"say \"hi\"\"") << "say " << "r1" << 0;
        QTest::newRow("embedded quote, comma after") << QByteArray("\"ab\"x,\"cd\"") << "ab" << "cd" << 1;
        QTest::newRow("unquoted comma, two fields") << QByteArray("/1A,B") << "/1A" << "B" << 1;
        QTest::newRow("unquoted") << QByteArray("/1?0") << "/1?0" << "r1" << 0;
        QTest::newRow("leading blanks skipped") << QByteArray("   \"  x\"") << "  x" << "r1" << 0;
        QTest::newRow("leading blanks unquoted") << QByteArray("  y z") << "y z" << "r1" << 0;
        QTest::newRow("two commas, three fields") << QByteArray("a,b,c") << "a" << "b" << 2;
        QTest::newRow("empty line") << QByteArray() << "" << "r1" << 0;
        QTest::newRow("high bytes") << QByteArray("\"\xe9\xff\"") << QString::fromLatin1("\xe9\xff") << "r1" << 0;
    }
    void readFields()
    {
        QFETCH(QByteArray, firstLine);
        QFETCH(QString, row0);
        QFETCH(QString, row1);
        QFETCH(int, shift);
        StringFun &c = console();
        QList<QByteArray> lines = standardLines();
        lines[0] = firstLine;
        const QString file = path("fields.txt");
        writeLines(file, lines);
        load(file);
        QVERIFY2(platform.messages.isEmpty(), qPrintable(platform.texts().join('|')));
        QCOMPARE(c.StringToSend[0]->text(), row0);
        QCOMPARE(c.StringToSend[1]->text(), row1);
        // Row r (r >= shift + 1) holds line r - shift.
        QCOMPARE(c.StringToSend[24]->text(), QStringLiteral("r%1").arg(24 - shift));
        // Entry 499's delay is field 1024, i.e. line 1024 - shift (the last lines go unread).
        const QByteArray last = lines[1024 - shift];
        QVERIFY(isText(c.recorder.RecordArray[499][1], QString::fromLatin1(last)));
        QCOMPARE(c.windowTitle(), "Current Command File: " + file);
    }

    void quoteSavedAndReadBack()
    {
        StringFun &c = console();
        c.StringToSend[0]->setText("/1\"x\",/2");
        c.StringToSend[1]->setText("/1?1");
        c.StringToSend[2]->setText("/1?2");
        const QString file = path("quote.txt");
        save(file);
        QCOMPARE(crlfLines(readAll(file))[0], QByteArray("\"/1\"x\",/2\""));
        load(file);
        // The text ends at the embedded quote; `x"` is skipped up to the comma, which starts the
        // next field early: `/2"` becomes row 1 and everything after moves by one.
        QCOMPARE(c.StringToSend[0]->text(), QString("/1"));
        QCOMPARE(c.StringToSend[1]->text(), QString("/2\""));
        QCOMPARE(c.StringToSend[2]->text(), QString("/1?1"));
        QCOMPARE(c.StringToSend[3]->text(), QString("/1?2"));
        QVERIFY(platform.messages.isEmpty());
    }

    void shortFile_data()
    {
        QTest::addColumn<int>("lineCount");
        QTest::newRow("empty file") << 0;
        QTest::newRow("10 strings") << 10;
        QTest::newRow("25 strings only") << 25;
        QTest::newRow("one value more") << 26;
        QTest::newRow("one value short") << 1024;
    }
    void shortFile()
    {
        QFETCH(int, lineCount);
        StringFun &c = console();
        recordSequence({5, 6}, {2, 3}, 4);
        for (int r = 0; r < 25; ++r) {
            c.StringToSend[r]->setText(QStringLiteral("old%1").arg(r));
            c.ReceiveString[r]->setText(QStringLiteral("resp%1").arg(r));
        }
        const QString title = c.windowTitle();
        const QString file = path("short.txt");
        writeLines(file, standardLines().mid(0, lineCount));
        load(file);

        QCOMPARE(platform.messages.size(), 1);
        QCOMPARE(platform.messages[0].text, "Error Reading file: " + file);
        QCOMPARE(platform.messages[0].icon, QMessageBox::Warning);
        QCOMPARE(platform.messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(platform.messages[0].caption, QString("Kestrelworks"));
        QCOMPARE(c.windowTitle(), title);
        for (int r = 0; r < 25; ++r) {
            const bool read = r < lineCount;
            QCOMPARE(c.StringToSend[r]->text(), read ? QStringLiteral("r%1").arg(r) : QStringLiteral("old%1").arg(r));
            QCOMPARE(c.ReceiveString[r]->text(), read ? QString() : QStringLiteral("resp%1").arg(r));
        }
        // Sequence values read before the error are texts; the rest keep the recording.
        const int valuesRead = std::max(0, lineCount - 25);
        const QList<int> recordedValues = {5, 2, 6, 3};
        for (int i = 0; i < 1000; ++i) {
            const SequenceValue &v = c.recorder.RecordArray[size_t(i / 2)][size_t(i % 2)];
            if (i < valuesRead) {
                QVERIFY(isText(v, QString::fromLatin1(standardLines()[25 + i])));
            } else if (i < 4) {
                QVERIFY(isInt(v, recordedValues[i]));
            } else if (i == 4) {
                QVERIFY(isText(v, "")); // the end marker
            } else if (i == 5) {
                QVERIFY(isInt(v, 4));
            } else {
                QVERIFY2(isInt(v, 0), qPrintable(QString::number(i)));
            }
        }
    }

    void fileBeforeRecording()
    {
        StringFun &c = console();
        const QString file = path("fresh.txt");
        save(file); // nothing recorded yet: 1000 empty lines
        QCOMPARE(crlfLines(readAll(file)).mid(25), QList<QByteArray>(1000, QByteArray()));
        recordSequence({1, 2}, {1, 1}, 1);
        load(file);
        QVERIFY(platform.messages.isEmpty());
        for (int k = 0; k < 500; ++k)
            for (int col = 0; col < 2; ++col)
                QVERIFY(isText(c.recorder.RecordArray[size_t(k)][size_t(col)], ""));
        // Played back, the empty texts press nothing and end the playback on the first tick.
        barPress(1);
        int end = -1;
        QCOMPARE(runPlayback(10, &end), Presses());
        QCOMPARE(end, 1);
        QCOMPARE(c.LoadButton[1]->text(), QString("Play"));
    }

    void fileErrors_data()
    {
        QTest::addColumn<bool>("saving");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("message");
        QTest::newRow("load missing file") << false << "/nonexistent/quorvane/none.txt" << "Error Reading file: ";
        QTest::newRow("load a folder") << false << "@dir" << "Error Reading file: ";
        QTest::newRow("save in missing folder") << true << "/nonexistent/quorvane/out.txt" << "Error Writing File: ";
        QTest::newRow("save onto a folder") << true << "@dir" << "Error Writing File: ";
    }
    void fileErrors()
    {
        QFETCH(bool, saving);
        QFETCH(QString, file);
        QFETCH(QString, message);
        if (file == "@dir")
            file = dir.path();
        StringFun &c = console();
        recordSequence({3}, {1}, 1);
        const QStringList rows = rowTexts();
        c.ReceiveString[0]->setText("resp");
        const QString title = c.windowTitle();
        if (saving)
            save(file);
        else
            load(file);
        QCOMPARE(platform.messages.size(), 1);
        QCOMPARE(platform.messages[0].text, message + file);
        QCOMPARE(platform.messages[0].icon, QMessageBox::Warning);
        QCOMPARE(platform.messages[0].caption, QString("Kestrelworks"));
        QCOMPARE(platform.messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(rowTexts(), rows);
        QCOMPARE(c.ReceiveString[0]->text(), QString("resp"));
        QCOMPARE(c.windowTitle(), title);
        QVERIFY(isInt(c.recorder.RecordArray[0][0], 3));
        QVERIFY(QFileInfo(dir.path()).isDir());
    }

    void cancelledDialogs_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("save") << 4;
        QTest::newRow("load") << 5;
    }
    void cancelledDialogs()
    {
        QFETCH(int, index);
        StringFun &c = console();
        recordSequence({3}, {1}, 1);
        platform.files.enqueue(std::nullopt);
        const QStringList rows = rowTexts();
        const QString title = c.windowTitle();
        c.LoadButton_Click(int16_t(index));
        QCOMPARE(platform.dialogs.size(), 1);
        QCOMPARE(platform.dialogs[0].kind, index == 4 ? platform::FileDialogRequest::Save : platform::FileDialogRequest::Open);
        QVERIFY(platform.messages.isEmpty());
        QCOMPARE(rowTexts(), rows);
        QCOMPARE(c.windowTitle(), title);
        QVERIFY(isInt(c.recorder.RecordArray[0][0], 3));
    }

    void loadReplacesTitle()
    {
        StringFun &c = console();
        writeLines(path("a.txt"), standardLines());
        writeLines(path("b.txt"), standardLines());
        load(path("a.txt"));
        QCOMPARE(c.windowTitle(), "Current Command File: " + path("a.txt"));
        save(path("c.txt"));
        QCOMPARE(c.windowTitle(), "Current Command File: " + path("a.txt"));
        load(path("b.txt"));
        QCOMPARE(c.windowTitle(), "Current Command File: " + path("b.txt"));
        c.LoadButton_Click(6);
        QCOMPARE(c.windowTitle(), "Current Command File: " + path("b.txt"));
        QVERIFY(platform.messages.isEmpty());
    }

    // ---- record and playback

    void playback_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QList<int>>("gaps");
        QTest::addColumn<int>("endGap");
        QTest::addColumn<bool>("endless");
        QTest::addColumn<int>("limit");
        QTest::addColumn<Presses>("presses");
        QTest::addColumn<int>("endTick"); // 0: still playing after `limit` ticks
        QTest::newRow("gaps of 20 and 40")
            << QList<int>{3, 5, 7} << QList<int>{7, 20, 40} << 10 << false << 200
            << Presses{{1, 3}, {21, 5}, {61, 7}} << 71;
        QTest::newRow("first delay not replayed")
            << QList<int>{9} << QList<int>{500} << 2 << false << 1000 << Presses{{1, 9}} << 3;
        QTest::newRow("two presses in one tick")
            << QList<int>{3, 5, 7} << QList<int>{5, 0, 10} << 5 << false << 200 << Presses{{1, 3}} << 1;
        QTest::newRow("stop at once") << QList<int>{} << QList<int>{} << 0 << false << 50 << Presses{} << 1;
        QTest::newRow("stop later, no press") << QList<int>{} << QList<int>{} << 30 << false << 50 << Presses{} << 1;
        QTest::newRow("same row twice") << QList<int>{4, 4} << QList<int>{1, 3} << 1 << false << 50
                                        << Presses{{1, 4}, {4, 4}} << 5;
        QTest::newRow("hidden row 40") << QList<int>{40, 0} << QList<int>{1, 2} << 1 << false << 50
                                       << Presses{{1, 40}, {3, 0}} << 4;
        QTest::newRow("endless restarts")
            << QList<int>{3, 5} << QList<int>{2, 4} << 6 << true << 30
            << Presses{{1, 3}, {5, 5}, {12, 3}, {16, 5}, {23, 3}, {27, 5}} << 0;
        QTest::newRow("endless with no press keeps playing")
            << QList<int>{} << QList<int>{} << 3 << true << 20 << Presses{} << 0;
    }
    void playback()
    {
        QFETCH(QList<int>, rows);
        QFETCH(QList<int>, gaps);
        QFETCH(int, endGap);
        QFETCH(bool, endless);
        QFETCH(int, limit);
        QFETCH(Presses, presses);
        QFETCH(int, endTick);
        StringFun &c = console();
        recordSequence(rows, gaps, endGap);
        QVERIFY(!c.recorder.Recording);
        const int16_t rowBefore = c.link.CurrentRow;
        barPress(endless ? 0 : 1);
        QVERIFY(c.recorder.Playing);
        QCOMPARE(c.recorder.PlayEndless, endless);
        int end = -1;
        QCOMPARE(runPlayback(limit, &end), presses);
        QCOMPARE(end, endTick);
        if (presses.isEmpty())
            QCOMPARE(c.link.CurrentRow, rowBefore);
        else
            QCOMPARE(int(c.link.CurrentRow), presses.last().y());
        if (endTick) {
            QCOMPARE(c.LoadButton[1]->text(), QString("Play"));
            QVERIFY(c.LoadButton[2]->isEnabled());
        } else {
            QCOMPARE(c.LoadButton[1]->text(), QString("Stop Playback"));
            barPress(1);
            QVERIFY(!c.recorder.Playing);
            QVERIFY(!c.recorder.PlayEndless);
            QCOMPARE(c.LoadButton[1]->text(), QString("Play"));
            QCOMPARE(runPlayback(100), Presses()); // stopped: the clock presses nothing
        }
        QVERIFY(platform.messages.isEmpty());
    }

    void playbackSendsRowTexts()
    {
        PtyPair &line = attachPty();
        StringFun &c = console();
        recordSequence({3, 5, 3}, {1, 2, 2}, 1);
        line.drain(100);
        c.StringToSend[5]->setText("/2?8"); // the row's text at playback time is what goes out
        barPress(1);
        int end = -1;
        QCOMPARE(runPlayback(20, &end), (Presses{{1, 3}, {3, 5}, {5, 3}}));
        QCOMPARE(end, 6);
        const QByteArray expected = "/1A1000A0R\r/2?8\r/1A1000A0R\r";
        QCOMPARE(line.receive(expected.size()), expected);
        // Presses during playback are not recorded.
        QVERIFY(isText(c.recorder.RecordArray[3][0], ""));
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
        QCOMPARE(int(c.link.CurrentRow), 2);
        // Both replies come, into the row now current: row 1's late one first.
        QVERIFY(QTest::qWaitFor([&] { return shown2.contains("291 No Error"); }, 3000));
        QCOMPARE(shown2, (QStringList{"1000 No Error", "291 No Error"}));
        QCOMPARE(c.ReceiveString[1]->text(), QString());
        disconnect(c.ReceiveString[2], nullptr, this, nullptr);
    }

    void barStates_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QStringList>("captions");
        QTest::addColumn<QString>("enabled"); // LoadButton 0..7
        QTest::addColumn<bool>("recording");
        QTest::addColumn<bool>("playing");
        const QString idle = "11111111";
        auto caps = [](const QString &b0, const QString &b1, const QString &b2) {
            return QStringList{b0, b1, b2, "Settings", "Save Strings", "Load Strings", "Load Default", "Help"};
        };
        QTest::newRow("idle") << QStringList{} << caps("Play Endless", "Playback", "Record") << idle << false << false;
        QTest::newRow("recording") << QStringList{"record"} << caps("Play Endless", "Playback", "Stop Recording")
                                   << "00100011" << true << false;
        QTest::newRow("recording stopped") << QStringList{"record", "record"} << caps("Play Endless", "Playback", "Record")
                                           << idle << false << false;
        QTest::newRow("playing once") << QStringList{"record", "press", "tick", "record", "play"}
                                      << caps("Play Endless", "Stop Playback", "Record") << "01000011" << false << true;
        QTest::newRow("playback stopped") << QStringList{"record", "press", "tick", "record", "play", "play"}
                                          << caps("Play Endless", "Play", "Record") << idle << false << false;
        QTest::newRow("playing endlessly") << QStringList{"record", "press", "tick", "record", "endless"}
                                           << caps("Play Endless", "Stop Playback", "Record") << "01000011" << false << true;
        QTest::newRow("endless stopped") << QStringList{"record", "press", "tick", "record", "endless", "play"}
                                         << caps("Play Endless", "Play", "Record") << idle << false << false;
        QTest::newRow("played to the end") << QStringList{"record", "press", "tick", "record", "play", "tick", "tick", "tick"}
                                           << caps("Play Endless", "Play", "Record") << idle << false << false;
        QTest::newRow("re-layout after a stop") << QStringList{"play", "tick", "layout"}
                                                << caps("Play Endless", "Playback", "Record") << idle << false << false;
        QTest::newRow("re-layout while recording") << QStringList{"record", "layout"}
                                                   << caps("Play Endless", "Playback", "Record") << "00100011" << true << false;
        QTest::newRow("re-layout while playing") << QStringList{"endless", "layout"}
                                                 << caps("Play Endless", "Playback", "Record") << "01000011" << false << true;
        QTest::newRow("endless ignored while playing") << QStringList{"play", "endless"}
                                                       << caps("Play Endless", "Stop Playback", "Record") << "01000011" << false << true;
    }
    void barStates()
    {
        QFETCH(QStringList, actions);
        QFETCH(QStringList, captions);
        QFETCH(QString, enabled);
        QFETCH(bool, recording);
        QFETCH(bool, playing);
        StringFun &c = console();
        stopClock();
        for (const QString &a : actions) {
            if (a == "record")
                barPress(2);
            else if (a == "play")
                barPress(1);
            else if (a == "endless")
                barPress(0);
            else if (a == "press")
                c.SendCommand_Click(1);
            else if (a == "tick")
                ticks(1);
            else if (a == "layout")
                c.SetupScreen();
        }
        checkBar(captions, enabled);
        QCOMPARE(c.recorder.Recording, recording);
        QCOMPARE(c.recorder.Playing, playing);
        QVERIFY(c.recorder.Recording != c.recorder.Playing || !c.recorder.Recording);
    }

    void startRecordingClears()
    {
        StringFun &c = console();
        auto &table = c.recorder.RecordArray;
        for (size_t k = 0; k < 501; ++k) {
            table[k][0] = QStringLiteral("b%1").arg(k);
            table[k][1] = QStringLiteral("d%1").arg(k);
            table[k][2] = QStringLiteral("c%1").arg(k);
        }
        barPress(2);
        for (size_t k = 0; k < 500; ++k) {
            QVERIFY(isInt(table[k][0], 0));
            QVERIFY(isInt(table[k][1], 0));
        }
        QVERIFY(isText(table[500][0], "b500"));
        QVERIFY(isText(table[500][1], "d500"));
        QVERIFY(isText(table[7][2], "c7"));
        barPress(2); // stop at once: entry 0 is the end marker
        QVERIFY(isText(table[0][0], ""));
        QVERIFY(isInt(table[0][1], 0));
        QVERIFY(isInt(table[1][0], 0));
    }

    void startRestartsClock_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("record") << 2;
        QTest::newRow("playback") << 1;
        QTest::newRow("play endless") << 0;
    }
    void startRestartsClock()
    {
        QFETCH(int, index);
        StringFun &c = console();
        c.RecordPlayTimer->stop();
        c.LoadButton_Click(int16_t(index));
        QVERIFY(c.RecordPlayTimer->isActive());
        QCOMPARE(c.RecordPlayTimer->interval(), 50);
    }

    void realClockPlaysBack()
    {
        // The running 50 ms timer itself: three presses 2 ticks apart come out in order.
        PtyPair &line = attachPty();
        StringFun &c = console();
        recordSequence({0, 2, 10}, {1, 2, 2}, 2);
        line.drain(100);
        c.LoadButton_Click(1); // the real clock keeps running
        const QByteArray expected = "/1&\r/1T\r/1F\r";
        QCOMPARE(line.receive(expected.size(), 3000), expected);
        QVERIFY(QTest::qWaitFor([&] { return !c.recorder.Playing; }, 3000));
        QCOMPARE(c.LoadButton[1]->text(), QString("Play"));
    }

    void savedSequencePlaysSame()
    {
        recordSequence({3, 5, 7, 1}, {4, 20, 40, 6}, 10);
        barPress(1);
        int endBefore = -1;
        const Presses before = runPlayback(500, &endBefore);
        QCOMPARE(before, (Presses{{1, 3}, {21, 5}, {61, 7}, {67, 1}}));
        QCOMPARE(endBefore, 77);
        const QString file = path("seq.txt");
        save(file);

        // A new console with another recording, then the file.
        windows::unloadAll();
        settle();
        QVERIFY(!windows::loaded<StringFun>());
        recordSequence({9}, {1}, 1);
        load(file);
        QVERIFY(isText(console().recorder.RecordArray[0][0], "3"));
        QVERIFY(isText(console().recorder.RecordArray[1][1], "20"));
        barPress(1);
        int endAfter = -1;
        QCOMPARE(runPlayback(500, &endAfter), before);
        QCOMPARE(endAfter, endBefore);
    }

    void loadedRowOutOfRange_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<Presses>("presses");
        QTest::newRow("51") << QByteArray("51") << Presses{{4, 2}};
        QTest::newRow("-1") << QByteArray("-1") << Presses{{4, 2}};
        QTest::newRow("32767") << QByteArray("32767") << Presses{{4, 2}};
        QTest::newRow("beyond 16 bits") << QByteArray("99999") << Presses{{4, 2}};
        QTest::newRow("letters") << QByteArray("\"abc\"") << Presses{{4, 2}};
        QTest::newRow("50 exists") << QByteArray("50") << Presses{{1, 50}, {4, 2}};
        QTest::newRow("quoted 6") << QByteArray("\"6\"") << Presses{{1, 6}, {4, 2}};
        QTest::newRow("2.6 rounds to 3") << QByteArray("2.6") << Presses{{1, 3}, {4, 2}};
    }
    void loadedRowOutOfRange()
    {
        QFETCH(QByteArray, button);
        QFETCH(Presses, presses);
        PtyPair &line = attachPty();
        StringFun &c = console();
        QList<QByteArray> lines = standardLines().mid(0, 25);
        lines << button << "3" << "2" << "3" << "\"\"" << "2";
        while (lines.size() < 1025)
            lines << "0";
        for (int r = 0; r < 25; ++r)
            lines[r] = "\"/1?" + QByteArray::number(r) + "\"";
        writeLines(path("hand.txt"), lines);
        load(path("hand.txt"));
        QVERIFY(platform.messages.isEmpty());
        c.link.CurrentRow = 17;
        barPress(1);
        int end = -1;
        QCOMPARE(runPlayback(50, &end), presses);
        QCOMPARE(end, 6);
        QVERIFY(platform.messages.isEmpty());
        QByteArray expected;
        for (const QPoint &p : presses)
            expected += c.StringToSend[p.y()]->text().toLatin1() + "\r";
        QCOMPARE(line.receive(expected.size() + 1, 300), expected);
    }

    void fullTableStopsRecording()
    {
        StringFun &c = console();
        barPress(2);
        for (int i = 0; i < 498; ++i) {
            c.SendCommand_Click(int16_t(i % 25));
            ticks(1);
        }
        QVERIFY(c.recorder.Recording);
        c.SendCommand_Click(7); // the 499th press fills entries 0..498
        QVERIFY(!c.recorder.Recording);
        QCOMPARE(c.LoadButton[2]->text(), QString("Record"));
        checkBar({"Play Endless", "Playback", "Record", "Settings", "Save Strings", "Load Strings",
                  "Load Default", "Help"},
                 "11111111");
        QVERIFY(isInt(c.recorder.RecordArray[498][0], 7));
        QVERIFY(isText(c.recorder.RecordArray[499][0], ""));
        QVERIFY(QTest::qWaitFor([&] { return !platform.messages.isEmpty(); }, 1000));
        QCOMPARE(platform.messages.size(), 1);
        QVERIFY(platform.messages[0].text.contains("499"));
        QCOMPARE(platform.messages[0].caption, QString("Kestrelworks"));
        // Further presses are sent, not stored.
        c.SendCommand_Click(3);
        QVERIFY(isText(c.recorder.RecordArray[499][0], ""));
        QVERIFY(isInt(c.recorder.RecordArray[0][0], 0));
        // The file keeps all of it: 499 presses and the end marker on the last two lines.
        save(path("full.txt"));
        const QList<QByteArray> lines = crlfLines(readAll(path("full.txt")));
        QCOMPARE(lines.size(), 1025);
        QCOMPARE(lines[25 + 2 * 498], QByteArray("7"));
        QCOMPARE(lines[1023], QByteArray("\"\""));
        QCOMPARE(lines[1024], QByteArray("0"));
        // And it plays to its end without running off the table.
        barPress(1);
        int end = -1;
        const Presses p = runPlayback(1000, &end);
        QCOMPARE(p.size(), 499);
        QCOMPARE(p.last(), QPoint(499, 7));
        QCOMPARE(end, 499); // the end marker has no delay: stopped with the last press
    }

    void longWaitsSplit_data()
    {
        QTest::addColumn<long>("waitBetween"); // ticks between press 1 and press 2
        QTest::addColumn<long>("waitAtEnd");   // ticks before "Stop Recording"
        QTest::newRow("below the limit") << 32000L << 5L;
        QTest::newRow("exactly 32767") << 32767L << 5L;
        QTest::newRow("40000 between") << 40000L << 5L;
        QTest::newRow("70000 between") << 70000L << 5L;
        QTest::newRow("40000 at the end") << 3L << 40000L;
    }
    void longWaitsSplit()
    {
        QFETCH(long, waitBetween);
        QFETCH(long, waitAtEnd);
        FakeSink s;
        s.recorder.recordButton();
        s.ticks(2);
        s.recorder.storePress(4);
        s.ticks(waitBetween);
        s.recorder.storePress(6);
        s.ticks(waitAtEnd);
        s.recorder.recordButton();
        QVERIFY(s.full.isEmpty());
        // Every stored delay fits the 16-bit tick count.
        for (const auto &e : s.recorder.RecordArray)
            if (const int *d = std::get_if<int>(&e[1]))
                QVERIFY(*d >= 0 && *d <= 32767);

        const long end = s.playOnce(200000);
        QCOMPARE(s.presses, (QList<QPair<long, int>>{{1, 4}, {1 + waitBetween, 6}}));
        QCOMPARE(end, 1 + waitBetween + waitAtEnd);

        // Saved and loaded, the texts play the same.
        QTemporaryDir d;
        QFile f(d.filePath("long.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        commandfile::Writer w(f);
        for (int k = 0; k < commandfile::kEntries; ++k)
            QVERIFY(w.write(s.recorder.RecordArray[size_t(k)][0]) && w.write(s.recorder.RecordArray[size_t(k)][1]));
        f.close();
        QVERIFY(f.open(QIODevice::ReadOnly));
        commandfile::Reader r(f.readAll());
        for (int k = 0; k < commandfile::kEntries; ++k)
            for (int col = 0; col < 2; ++col)
                s.recorder.RecordArray[size_t(k)][size_t(col)] = *r.next();
        QCOMPARE(s.playOnce(200000), end);
        QCOMPARE(s.presses, (QList<QPair<long, int>>{{1, 4}, {1 + waitBetween, 6}}));
    }

    void longWaitBeforeFirstPress_data()
    {
        QTest::addColumn<bool>("press");
        QTest::newRow("press after 40000 ticks") << true;
        QTest::newRow("stop after 40000 ticks, no press") << false;
    }
    void longWaitBeforeFirstPress()
    {
        // The time from "Record" to the first entry is not replayed, however long it was.
        QFETCH(bool, press);
        FakeSink s;
        s.recorder.recordButton();
        s.ticks(40000);
        if (press) {
            s.recorder.storePress(4);
            s.ticks(3);
            s.recorder.storePress(6);
            s.ticks(2);
        }
        s.recorder.recordButton();
        const long end = s.playOnce(100000);
        using Got = QList<QPair<long, int>>;
        const Got expected = press ? Got{{1, 4}, {4, 6}} : Got{};
        QCOMPARE(s.presses, expected);
        QCOMPARE(end, press ? 6L : 1L);
    }

    void recorderAlone()
    {
        FakeSink s;
        // A table never recorded: nothing pressed, idle again on the first tick.
        QCOMPARE(s.playOnce(10), 1L);
        QVERIFY(s.presses.isEmpty());
        QCOMPARE(s.captions[1], QString("Play"));
        // Recording disables 0, 1, 3, 4, 5; the start restarts the clock.
        const int starts = s.timerStarts;
        s.recorder.recordButton();
        QCOMPARE(s.timerStarts, starts + 1);
        for (int i : {0, 1, 3, 4, 5})
            QVERIFY(!s.enabled[i]);
        QCOMPARE(s.captions[2], QString("Stop Recording"));
        // The table full: the 499th press stops the recording and says so once.
        for (int i = 0; i < 499; ++i)
            s.recorder.storePress(int16_t(i % 51));
        QVERIFY(!s.recorder.Recording);
        QCOMPARE(s.full, QList<int>{499});
        QCOMPARE(s.captions[2], QString("Record"));
        QVERIFY(isText(s.recorder.RecordArray[499][0], ""));
        s.recorder.storePress(3); // not recording: nothing stored
        QVERIFY(isInt(s.recorder.RecordArray[0][0], 0));
        QCOMPARE(s.full.size(), 1);
    }

    // ---- closing

    void closingClosesPortFirst()
    {
        PtyPair &line = attachPty();
        StringFun &c = console();
        c.LoadButton_Click(3); // the settings window shown
        c.LoadButton_Click(7); // the help window shown
        Settings *s = windows::loaded<Settings>();
        StringFunHelp *h = windows::loaded<StringFunHelp>();
        QVERIFY(s && s->isVisible() && h && h->isVisible());
        c.SendCommand_Click(1);
        QCOMPARE(line.receive(5), QByteArray("/1?0\r"));
        QVERIFY(c.MSComm1().isOpen());

        // Note the port's state at the moment each other window goes.
        struct Watch : QObject {
            StringFun *console;
            QList<bool> openWhenHidden;
            QStringList hidden;
            bool eventFilter(QObject *o, QEvent *e) override
            {
                if (e->type() == QEvent::Hide) {
                    openWhenHidden << console->MSComm1().isOpen();
                    hidden << o->objectName();
                }
                return false;
            }
        } watch;
        watch.console = &c;
        s->installEventFilter(&watch);
        h->installEventFilter(&watch);
        QPointer<Settings> ps(s);
        QPointer<StringFunHelp> ph(h);
        QPointer<StringFun> pc(&c);

        c.close();
        QVERIFY(watch.hidden.contains("Settings"));
        QVERIFY(watch.hidden.contains("StringFunHelp"));
        QVERIFY(!watch.openWhenHidden.contains(true));
        QVERIFY(!c.tmrReceiveTimeOut().isActive());
        QVERIFY(!c.MSComm1().isOpen());
        QVERIFY(windows::all().isEmpty());
        settle();
        QVERIFY(!ps && !ph && !pc);
        // The line is quiet: nothing more was written on closing.
        QCOMPARE(line.drain(50), QByteArray());
    }
};

QTEST_MAIN(TestConsole)
#include "test_console.moc"
