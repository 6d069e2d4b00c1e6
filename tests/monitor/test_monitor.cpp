// The traffic monitor: rows of the console's queries and of a firmware update's commands and
// blocks against the simulator, noise on a pseudo-terminal, the window's controls, pause and
// resume, save and log files read back as CSV, the row bound, and the ways to open it.
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "monitor/trafficmonitor.h"
#include "support/linkfakes.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTableView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

// Every row of the store as "port|dir|hex|text|frame", and "|ms" when it has a Reply ms.
QStringList rows()
{
    monitor::TrafficStore &s = monitor::store();
    QStringList out;
    for (qint64 i = s.firstSeq(); i < s.endSeq(); ++i) {
        const monitor::Row &r = s.row(i);
        const QByteArray bytes = monitor::showsBytes(r) ? r.bytes : QByteArray();
        out << QStringList{s.portText(r), monitor::dirText(r.dir), monitor::hexText(bytes),
                           monitor::plainText(bytes), monitor::frameText(r)}.join('|')
                + (monitor::replyMsText(r).isEmpty() ? "" : "|ms");
    }
    return out;
}

// A CSV file's text, its times and milliseconds (which vary) checked for their form and shown as "~".
QString csvText(const QString &path)
{
    QFile f(path);
    static const QRegularExpression varying(
        R"((^|,)(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\d(Z|[+-]\d\d:\d\d)|-?\d+\.\d)(?=,|\r\n))",
        QRegularExpression::MultilineOption);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).replace(varying, "\\1~") : QString();
}

// Feeds a port's tap as if these bytes went out (">") or came in, 100 ms apart.
void feed(const QList<QByteArray> &chunks)
{
    static qint64 us = 0;
    CommPort port;
    monitor::store().attach(&port);
    for (const QByteArray &c : chunks) {
        const bool out = c.startsWith('>');
        emit port.traffic(us += 100'000, out ? CommPort::Direction::Sent : CommPort::Direction::Received,
                          out ? c.mid(1) : c);
    }
    monitor::store().detach(&port); // completes what waits
}

} // namespace

class TestMonitor : public QObject {
    Q_OBJECT

    TempStore store;

private slots:
    void initTestCase() { monitor::install(); }
    void init() { monitor::store().clear(); }
    void cleanup() { windows::unloadAll(); QTest::qWait(1); }

    // The rows of what a pseudo-terminal carries: bytes that form no frame (a row at 256 bytes,
    // after an idle gap, before a frame), the status bits of replies, OEM queries, an update.
    void lines_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // an idle gap between each; ">" the port writes
        QTest::addColumn<QStringList>("expected");
        const QString u256 = QStringList(256, "55").join(' '), u44 = QStringList(44, "55").join(' ');
        QTest::newRow("at 256 bytes") << QList<QByteArray>{QByteArray(300, 'U')} << QStringList{
            "COM2|in|" + u256 + '|' + QString(256, 'U') + "|unframed", "COM2|in|" + u44 + '|' + QString(44, 'U') + "|unframed"};
        QTest::newRow("dt status bits, bytes then a gap") << QList<QByteArray>{">/1?0\r", "\xff/0@1000\x03\r\n", "ab", "/0c\x03\r\n"}
            << QStringList{"COM2|out|2F 31 3F 30 0D|/1?0<CR>|DT, address 1",
            "COM2|in|FF 2F 30 40 31 30 30 30 03 0D 0A|\u00FF/0@1000<ETX><CR><LF>|DT reply \"1000\", busy, No Error|ms",
            "COM2|in|61 62|ab|unframed",
            "COM2|in|2F 30 63 03 0D 0A|/0c<ETX><CR><LF>|DT reply \"\", ready, Invalid Operand"};
        QTest::newRow("noise, then a frame in the same burst") << QList<QByteArray>{">\x02" "11?0\x03\x0e", "\x1b\x9f\x02" "0`1000\x03P"}
            << QStringList{"COM2|out|02 31 31 3F 30 03 0E|<STX>11?0<ETX><SO>|OEM, address 1, checksum ok", "COM2|in|1B 9F|<ESC><9F>|unframed",
                           "COM2|in|02 30 60 31 30 30 30 03 50|<STX>0`1000<ETX>P|OEM reply \"1000\", ready, No Error, checksum ok|ms"};
        // A firmware update's commands and 6-byte blocks (which may look like commands), ended by
        // a lower-case "error"; then commands are commands again.
        QTest::newRow("update ended by an error") << QList<QByteArray>{">/1b19200R\r", "\xff/0`\x03\r\n", ">/1[\r", "?",
            ">\x02" "AB\r\x03Z", "*", ">/1[\r\x7f\x80", "error", ">/1&\r"} << QStringList{
            "COM2|out|2F 31 62 31 39 32 30 30 52 0D|/1b19200R<CR>|DT, address 1, baud change to 19200",
            "COM2|in|FF 2F 30 60 03 0D 0A|\u00FF/0`<ETX><CR><LF>|DT reply \"\", ready, No Error|ms",
            "COM2|out|2F 31 5B 0D|/1[<CR>|DT, address 1, enter update mode", "COM2|in|3F|?|update mode reply, accepted|ms",
            "COM2|out|02 41 42 0D 03 5A|<STX>AB<CR><ETX>Z|update block 1", "COM2|in|2A|*|update reply to block 1|ms",
            "COM2|out|2F 31 5B 0D 7F 80|/1[<CR><DEL><80>|update block 2",
            "COM2|in|65 72 72 6F 72|error|update reply to block 2, error|ms",
            "COM2|out|2F 31 26 0D|/1&<CR>|DT, address 1, version query"};
    }
    void lines()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, expected);
        PtyPair pty;
        CommPort port;
        store.mapPort(2, pty.slavePath());
        QVERIFY(port.setPortNumber(2) && port.open());
        monitor::store().clear();
        for (const QByteArray &chunk : chunks) {
            if (chunk.startsWith('>'))
                port.write(chunk.mid(1));
            else
                pty.send(chunk);
            QTest::qWait(80); // the line idle longer than the 50 ms gap
        }
        QTRY_COMPARE_WITH_TIMEOUT(rows(), expected, 1000);
        QCOMPARE(monitor::store().portPath(monitor::store().row(monitor::store().firstSeq())), pty.slavePath());
    }

    // The controls a screen reader names, each once and in its role. Log to File... and Save...
    // write the same rows, the log on disk within a second, before it is stopped; Pause holds new
    // rows back, keeps them and shows them on resume; Clear empties. A log whose file stops taking
    // bytes stops, and says so.
    void controls()
    {
        ScriptedPlatform platform;
        QTemporaryDir dir;
        const QString logPath = dir.filePath("log.csv"), savePath = dir.filePath("saved.csv"), full = dir.filePath("full.csv");
        platform.files << logPath << savePath << full;
        TrafficMonitor &w = monitor::open();
        using A = QAccessible;
        const QList<std::pair<QString, int>> named{
            {"Traffic Monitor", A::Window}, {"Pause", A::Button}, {"Clear", A::Button}, {"Save...", A::Button},
            {"Log to File...", A::Button}, {"Traffic", A::Table}, {"Filter", A::EditableText},
            {"Problems only", A::CheckBox}, {"Details", A::EditableText}, {"Status", A::StaticText}};
        const QWidgetList widgets = w.findChildren<QWidget *>() << &w;
        QList<std::pair<QString, int>> found;
        for (const auto &[name, role] : named)
            for (QWidget *c : widgets)
                if (QAccessibleInterface *a = QAccessible::queryAccessibleInterface(c); a && a->text(A::Name) == name)
                    found << std::pair(name, int(a->role()));
        QCOMPARE(found, named);

        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QCOMPARE(w.cmdLog->text(), "Stop Log");
        feed({">/1\"a,b\r", "\xff/0b\x03\r\n"});
        // Quoted only where a field holds a quote or a comma; CRLF line ends.
        const QString expected = "time,delta_ms,port,dir,hex,text,frame,reply_ms\r\n~,~,,event,,,log started " + logPath
            + ",\r\n~,~,COM1,out,2F 31 22 61 2C 62 0D,\"/1\"\"a,b<CR>\",\"DT, address 1\",\r\n"
              "~,~,COM1,in,FF 2F 30 62 03 0D 0A,\u00FF/0b<ETX><CR><LF>,\"DT reply \"\"\"\", ready, Invalid Command\",~\r\n";
        QTRY_COMPARE_WITH_TIMEOUT(csvText(logPath), expected, 1500);
        QTRY_COMPARE(w.model().rowCount(), 3);
        QTest::mouseClick(w.cmdSave, Qt::LeftButton);
        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QCOMPARE(w.cmdLog->text(), "Log to File...");
        QCOMPARE(platform.dialogs.size(), 2);
        QCOMPARE(platform.dialogs[1].confirmOverwrite, true);
        QCOMPARE(csvText(logPath), expected);
        QCOMPARE(csvText(savePath), expected);

        QTest::mouseClick(w.cmdPause, Qt::LeftButton);
        feed({">/3Q\r", ">/4Q\r"});
        QTRY_COMPARE(w.lblStatus->text(), "3 rows, 2 held while paused, 0 dropped");
        QTest::mouseClick(w.cmdPause, Qt::LeftButton);
        QCOMPARE(w.cmdPause->text(), "Pause");
        QCOMPARE(w.lblStatus->text(), "5 rows, 0 held while paused, 0 dropped");
        QCOMPARE(w.model().cell(4, monitor::TrafficModel::Text), "/4Q<CR>");
        QTest::mouseClick(w.cmdClear, Qt::LeftButton);
        QCOMPARE(w.lblStatus->text(), "0 rows, 0 held while paused, 0 dropped");

        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QVERIFY(monitor::store().isLogging());
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = QFileInfo(full).size() + 10;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        feed({">/1?0\r"});
        QTRY_VERIFY_WITH_TIMEOUT(!monitor::store().isLogging(), 2000);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(platform.texts(), QStringList{"Error Writing File: " + full});
        QCOMPARE(w.cmdLog->text(), "Log to File...");
    }

    // Event rows: the console's link times out, then its reply comes late; bytes dropped at open;
    // the port closed and lost.
    void events()
    {
        PtyPair pty;
        store.mapPort(3, pty.slavePath());
        RecordedRows sink;
        LiveSettings live;
        live.port = "3", live.baud = "19200";
        DriveLink link(sink, live);
        link.ErrorTexts = framing::errorTexts();
        link.tmrReceiveTimeOut().setInterval(150);
        link.subSendToDrive("/1?0");
        QTRY_COMPARE(sink.outcome.value(0), Outcome::TimedOut);
        pty.send("\xff/0`\x03\r\n");
        QTRY_COMPARE(sink.outcome.value(0), Outcome::Decoded);
        link.MSComm1().close();
        pty.send("ab");
        QTest::qWait(20);
        QVERIFY(link.MSComm1().open());
        emit link.MSComm1().deviceLost(pty.slavePath());
        const QString opened = "COM3|event|||port opened " + pty.slavePath() + ", 19200 baud, 8N1";
        QStringList got = rows();
        got.replaceInStrings(QRegularExpression("after \\d+ ms"), "after N ms");
        QCOMPARE(got, (QStringList{opened, "COM3|out|2F 31 3F 30 0D|/1?0<CR>|DT, address 1",
                                    "COM3|event|||time-out: no reply to /1?0 after N ms", "COM3|event|||port closed", opened,
                                    "COM3|in|FF 2F 30 60 03 0D 0A|\u00FF/0`<ETX><CR><LF>|DT reply \"\", ready, No Error, late|ms",
                                    "COM3|event|||port closed", opened,
                                    "COM3|event|61 62|ab|discarded 2 bytes waiting at open",
                                    "COM3|event|||port lost " + pty.slavePath()}));
    }

    // The filter field and "Problems only" choose the rows shown ("*": tinted as a problem); the
    // details pane takes the current row apart.
    void filter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("problems");
        QTest::addColumn<QStringList>("expected");
        const QString q1 = "DT, address 1", r1 = "DT reply \"1000\", ready, No Error", q2 = "DT, address 2",
                      r2 = "DT reply \"\", ready, Invalid Command*", noise = "unframed*",
                      oem = "OEM reply \"1000\", busy, Invalid Operand, checksum bad, expected 73*";
        QTest::newRow("all") << "" << false << QStringList{q1, r1, q2, r2, noise, oem};
        QTest::newRow("case ignored") << "inVALID" << false << QStringList{r2, oem};
        QTest::newRow("hex") << "2f 32" << false << QStringList{q2};
        QTest::newRow("problems") << "" << true << QStringList{r2, noise, oem};
        QTest::newRow("both") << "zz" << true << QStringList{noise};
    }
    void filter()
    {
        QFETCH(QString, text);
        QFETCH(bool, problems);
        QFETCH(QStringList, expected);
        feed({">/1?0\r", "\xff/0`1000\x03\r\n", ">/2?0\r", "\xff/0b\x03\r\n", "zz", "\x02" "0C1000\x03t"});
        TrafficMonitor &w = monitor::open();
        QTest::keyClicks(w.txtFilter, text);
        w.chkProblems->setChecked(problems);
        QStringList got;
        for (int r = 0; r < w.model().rowCount(); ++r)
            got << w.model().cell(r, monitor::TrafficModel::Frame)
                    + (w.model().index(r, 0).data(Qt::BackgroundRole).isValid() ? "*" : "");
        QCOMPARE(got, expected);
        w.grdTraffic->setCurrentIndex(w.model().index(w.model().rowCount() - 1, 0));
        if (expected.last().startsWith("OEM"))
            QCOMPARE(w.txtDetails->toPlainText(),
                     expected.last().chopped(1) + "\n\noffset  hex  char\n0000    02   <STX>\n0001    30   0\n0002    43   C\n"
                     "0003    31   1\n0004    30   0\n0005    30   0\n0006    30   0\n0007    03   <ETX>\n0008    74   t\n\n"
                     "address 0\nstatus 43: busy (bit 20), error code 3, Invalid Operand\ndata \"1000\"\n"
                     "checksum received 74, computed 73\n");
        // The tint reads with the text colour in a light and a dark theme (contrast 4.5 or more).
        for (const auto &[base, text, mark] : {std::tuple{"#ffffff", "#000000", "#308cc6"}, {"#2a2a2a", "#e0e0e0", "#2a82da"}}) {
            QPalette p;
            p.setColor(QPalette::Base, base), p.setColor(QPalette::Text, text), p.setColor(QPalette::Highlight, mark);
            auto lum = [](QColor c) {
                auto f = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
                return 0.2126 * f(c.redF()) + 0.7152 * f(c.greenF()) + 0.0722 * f(c.blueF());
            };
            const double a = lum(monitor::TrafficModel::problemColor(p)), b = lum(QColor(text));
            QVERIFY(monitor::TrafficModel::problemColor(p) != QColor(base));
            QVERIFY((std::max(a, b) + 0.05) / (std::min(a, b) + 0.05) >= 4.5);
        }
    }

    // The table follows the newest row unless scrolled up; Ctrl+C copies the selected rows,
    // cells separated by tabs.
    void followAndCopy()
    {
        QList<QByteArray> many;
        for (int i = 0; i < 300; ++i)
            many << ">/1?" + QByteArray::number(i) + '\r';
        feed(many);
        TrafficMonitor &w = monitor::open();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QScrollBar *bar = w.grdTraffic->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        const int bottom = bar->maximum();
        QCOMPARE(bar->value(), bottom);
        feed({">/2Q\r"});
        w.model().sync();
        QTRY_COMPARE(bar->value(), bottom + 1); // a row further down: it followed
        bar->setValue(10);
        feed({">/3Q\r"});
        w.model().sync();
        QCOMPARE(bar->value(), 10);
        w.grdTraffic->selectionModel()->select(QItemSelection(w.model().index(300, 0), w.model().index(301, 0)),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.grdTraffic->setFocus();
        QTest::keyClick(w.grdTraffic, Qt::Key_C, Qt::ControlModifier);
        static const QRegularExpression timeAndDelta("^[^\t\n]*\t[^\t\n]*\t", QRegularExpression::MultilineOption);
        QCOMPARE(QApplication::clipboard()->text().remove(timeAndDelta),
                 "COM1\tout\t2F 32 51 0D\t/2Q<CR>\tDT, address 2\t\nCOM1\tout\t2F 33 51 0D\t/3Q<CR>\tDT, address 3\t\n");
    }

    // "Save..." writes CSV or pcapng: a ".csv" or ".pcapng" name decides, else the type chosen,
    // whose suffix a bare name gets. tshark reads the capture with the project's dissector.
    void save_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type"); // of the types offered
        QTest::addColumn<QString>("written");
        QTest::newRow("csv chosen") << "t" << 0 << "t.csv";
        QTest::newRow("pcapng chosen") << "t" << 1 << "t.pcapng";
        QTest::newRow("name says pcapng") << "t.pcapng" << 0 << "t.pcapng";
        QTest::newRow("name says csv") << "t.CSV" << 1 << "t.CSV";
        QTest::newRow("other suffix") << "t.txt" << 1 << "t.txt";
    }
    void save()
    {
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(QString, written);
        feed({">/1?0\r", "\xff/0`1000\x03\r\n", ">\x02" "11&\x03'", "\x02" "0C1000\x03t", ">\x02" "11?0\x03\x0e",
                    "\x02" "0`1000\x03P"});
        ScriptedPlatform platform;
        QTemporaryDir dir;
        platform.files << dir.filePath(name);
        platform.filters << QStringList{"CSV files (*.csv)", "Wireshark capture (*.pcapng)"}[type];
        TrafficMonitor &w = monitor::open();
        QTest::mouseClick(w.cmdSave, Qt::LeftButton);
        QCOMPARE(platform.dialogs[0].filter, "CSV files (*.csv);;Wireshark capture (*.pcapng)");
        QFile f(dir.filePath(written));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const bool pcapng = written.endsWith(".pcapng") || (type == 1 && !written.endsWith(".CSV"));
        QCOMPARE(f.read(4), pcapng ? QByteArray("\x0a\x0d\x0d\x0a") : QByteArray("time"));
        if (!pcapng || name != "t")
            return;
        const QString tshark = QStandardPaths::findExecutable("tshark");
        if (tshark.isEmpty())
            QSKIP("tshark is not installed (scripts/setup.sh installs it)");
        QProcess p;
        p.start(tshark, {"-X", "lua_script:" DISSECTOR, "-r", f.fileName(), "-T", "fields", "-E", "separator=|",
                         "-e", "frame.packet_flags_direction", "-e", "quorvane.framing", "-e", "quorvane.address",
                         "-e", "quorvane.command", "-e", "quorvane.data", "-e", "quorvane.ready", "-e",
                         "quorvane.error_code", "-e", "quorvane.error_text", "-e", "quorvane.checksum_ok"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
                 "0x00000002|DT|1|?0|||||\n0x00000001|DT|0||1000|1|0|No Error|\n0x00000002|OEM|1|&|||||1\n"
                 "0x00000001|OEM|0||1000|0|3|Invalid Operand|0\n0x00000002|OEM|1|?0|||||1\n0x00000001|OEM|0||1000|1|0|No Error|1\n");
    }

    // The monitor's own dialog is modal and above it, takes the keyboard (Escape closes it) and
    // moves nothing.
    void ownDialog()
    {
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        TrafficMonitor &w = monitor::open();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QRect before = w.geometry();
        bool seen = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            poll.stop();
            QTest::qWait(50); // a jump or a re-shown monitor would show by now
            seen = w.geometry() == before && w.windowModality() == Qt::NonModal && dialog->parentWidget() == &w
                && QApplication::focusWidget() && dialog->isAncestorOf(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        });
        poll.start(20);
        QTest::mouseClick(w.cmdSave, Qt::LeftButton);
        QVERIFY(seen);
        QCOMPARE(w.geometry(), before);
    }

    // The last 100,000 rows are kept, older ones counted as dropped.
    void bound()
    {
        CommPort port;
        for (int i = 0; i < 100005; ++i)
            emit port.traffic(i * 100000LL, CommPort::Direction::Sent, QByteArray("/1?") + QByteArray::number(i) + '\r');
        TrafficMonitor &w = monitor::open();
        QCOMPARE(w.lblStatus->text(), "100000 rows, 0 held while paused, 5 dropped");
        QCOMPARE(w.model().cell(0, monitor::TrafficModel::Text), "/1?5<CR>");
        QCOMPARE(w.model().cell(99999, monitor::TrafficModel::Text), "/1?100004<CR>");
        QCOMPARE(w.model().cell(99999, monitor::TrafficModel::Delta), "100.0");
    }

    // Opened from the console and over the modal firmware window, and usable there.
    void opening_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : {"shortcut in console", "menu on free area", "shortcut in firmware window",
                                "firmware window after monitor"})
            QTest::newRow(how) << how;
    }
    void opening()
    {
        QFETCH(QString, how);
        StringFun &console = windows::get<StringFun>();
        console.show();
        const QString typed = console.StringToSend[0]->text();
        if (how == "menu on free area") {
            // A control's right-click shows no monitor menu; the free area does.
            QContextMenuEvent onButton(QContextMenuEvent::Mouse, QPoint(2, 2), console.SendCommand[0]->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(console.SendCommand[0], &onButton);
            QVERIFY(console.findChildren<QMenu *>().isEmpty());
            QPoint free; // the first point, row by row, with no control on it
            while (console.childAt(free) && free.y() < console.height())
                free = free.x() + 4 < console.width() ? free + QPoint(4, 0) : QPoint(0, free.y() + 4);
            QContextMenuEvent onFree(QContextMenuEvent::Mouse, free, console.mapToGlobal(free));
            QApplication::sendEvent(&console, &onFree);
            const QList<QMenu *> menus = console.findChildren<QMenu *>();
            QCOMPARE(menus.size(), 1);
            QCOMPARE(menus[0]->actions().size(), 1);
            QCOMPARE(menus[0]->actions()[0]->text(), "Traffic Monitor");
            menus[0]->actions()[0]->trigger();
            menus[0]->close();
        }
        frmFlash *flash = nullptr;
        if (how.contains("firmware")) {
            if (how == "firmware window after monitor")
                monitor::open();
            flash = &windows::get<frmFlash>();
            flash->setParent(&console, Qt::Dialog);
            flash->setWindowModality(Qt::ApplicationModal);
            flash->show();
            QVERIFY(QTest::qWaitForWindowExposed(flash));
        }
        if (how.startsWith("shortcut"))
            QTest::keyClick(flash ? static_cast<QWidget *>(flash) : console.StringToSend[0], Qt::Key_T,
                            Qt::ControlModifier | Qt::ShiftModifier);
        TrafficMonitor *w = windows::loaded<TrafficMonitor>();
        QTRY_VERIFY(w && w->isVisible());
        QVERIFY(w->isWindow() && !w->parentWidget());
        QCOMPARE(console.StringToSend[0]->text(), typed);
        // A click through the window system reaches it: not blocked by a modal window.
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTest::qWait(20);
        QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, w->cmdPause->geometry().center());
        QTRY_COMPARE(w->cmdPause->text(), "Resume");
        if (flash)
            QVERIFY(flash->isVisible() && QApplication::activeModalWidget() != nullptr);
    }
};

QTEST_MAIN(TestMonitor)
#include "test_monitor.moc"
