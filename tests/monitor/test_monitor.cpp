// The traffic monitor: rows from the console's link and from a firmware update's commands and
// blocks against the simulator, noise on a pseudo-terminal, the window's controls, pause and
// resume, save and log files read back as CSV, the row bound, and the ways to open it.
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "monitor/trafficmonitor.h"
#include "sim/ptyserver.h"
#include "support/linkfakes.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(framing::Mode)

namespace {

// Every row of the store as "dir|hex|text|frame".
QStringList rows()
{
    monitor::TrafficStore &s = monitor::store();
    QStringList out;
    for (qint64 i = s.firstSeq(); i < s.endSeq(); ++i) {
        const monitor::Row &r = s.row(i);
        out << QStringList{monitor::dirText(r.dir), monitor::hexText(r.bytes), monitor::plainText(r.bytes),
                           monitor::frameText(r)}.join('|');
    }
    return out;
}

// RFC 4180 records of a file, CRLF line ends.
QList<QStringList> readCsv(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(f.readAll());
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') quoted = true;
        else if (c == ',') record << field, field.clear();
        else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            record << field, field.clear();
            records << record, record.clear();
            ++i;
        } else field += c;
    }
    return records;
}

// Reads everything once at least `count` bytes wait (the firmware window's way of waiting).
QByteArray readAtLeast(CommPort &port, int count)
{
    QDeadlineTimer deadline(3000);
    while (port.countReceived() < count && !deadline.hasExpired())
        QTest::qWait(2);
    return port.read().value_or(QString()).toLatin1();
}

} // namespace

class TestMonitor : public QObject {
    Q_OBJECT

    TempStore store;

private slots:
    void initTestCase() { monitor::install(); }
    void init() { monitor::store().clear(); }
    void cleanup() { windows::unloadAll(); QTest::qWait(1); }

    // The console's link against the simulator: each exchange as rows.
    void link_data()
    {
        QTest::addColumn<framing::Mode>("mode");
        QTest::addColumn<bool>("badChecksum");
        QTest::addColumn<QByteArray>("noise");
        QTest::addColumn<QStringList>("expected");
        const QString dtOut = "out|2F 31 3F 30 0D|/1?0<CR>|DT, address 1";
        const QString oemOut = "out|02 31 31 3F 30 03 0E|<STX>11?0<ETX><SO>|OEM, address 1, checksum ok";
        QTest::newRow("dt") << framing::Mode::DT << false << QByteArray() << QStringList{
            dtOut, "in|FF 2F 30 60 31 30 30 30 03 0D 0A|\u00FF/0`1000<ETX><CR><LF>|DT reply \"1000 No Error\""};
        QTest::newRow("oem") << framing::Mode::OEM << false << QByteArray() << QStringList{
            oemOut, "in|02 30 60 31 30 30 30 03 50|<STX>0`1000<ETX>P|OEM reply \"1000 No Error\", checksum ok"};
        QTest::newRow("oem bad checksum") << framing::Mode::OEM << true << QByteArray() << QStringList{
            oemOut,
            "in|02 30 60 31 30 30 30 03 AF|<STX>0`1000<ETX>\u00AF|OEM reply \"1000 No Error\", checksum bad, expected 50"};
        QTest::newRow("oem after noise") << framing::Mode::OEM << false << QByteArray("\x1b\x9f") << QStringList{
            oemOut, "in|1B 9F|<ESC><9F>|unframed",
            "in|02 30 60 31 30 30 30 03 50|<STX>0`1000<ETX>P|OEM reply \"1000 No Error\", checksum ok"};
    }
    void link()
    {
        QFETCH(framing::Mode, mode);
        QFETCH(bool, badChecksum);
        QFETCH(QByteArray, noise);
        QFETCH(QStringList, expected);
        sim::PtyServer server;
        server.bus().drive('1')->setPosition(1000);
        server.bus().faults().badChecksum = badChecksum;
        server.bus().faults().noise = noise;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        store.mapPort(1, server.slavePath());
        RecordedRows sink;
        LiveSettings live;
        live.mode = mode;
        DriveLink link(sink, live);
        link.ErrorTexts = framing::errorTexts();
        link.tmrReceiveTimeOut().setInterval(200);
        sendFromRow(link, "/1?0", 0);
        QVERIFY(waitForResult(link));
        QTRY_COMPARE_WITH_TIMEOUT(rows(), expected, 1000);
        QCOMPARE(monitor::store().portText(monitor::store().row(monitor::store().firstSeq())), "COM1");
        QCOMPARE(monitor::store().portPath(monitor::store().row(monitor::store().firstSeq())), server.slavePath());
    }

    // Bytes that form no frame: a row at 256 bytes and after an idle gap between chunks.
    void noise_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // an idle gap between each
        QTest::addColumn<QStringList>("expected");
        const QString u256 = QStringList(256, "55").join(' '), u44 = QStringList(44, "55").join(' ');
        QTest::newRow("at 256 bytes") << QList<QByteArray>{QByteArray(300, 'U')} << QStringList{
            "in|" + u256 + '|' + QString(256, 'U') + "|unframed", "in|" + u44 + '|' + QString(44, 'U') + "|unframed"};
        QTest::newRow("lone byte") << QList<QByteArray>{"\x07"} << QStringList{"in|07|<BEL>|unframed"};
        QTest::newRow("gap before reply") << QList<QByteArray>{"ab", "/0`\x03\r\n"} << QStringList{
            "in|61 62|ab|unframed", "in|2F 30 60 03 0D 0A|/0`<ETX><CR><LF>|DT reply \" No Error\""};
    }
    void noise()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, expected);
        PtyPair pty;
        store.mapPort(2, pty.slavePath());
        CommPort port;
        port.setPortNumber(2);
        QVERIFY(port.open());
        port.setReceiveThreshold(1);
        connect(&port, &CommPort::receiveNotification, &port, [&port] { port.read(); });
        for (const QByteArray &chunk : chunks) {
            pty.send(chunk);
            QTest::qWait(120);
        }
        QTRY_COMPARE_WITH_TIMEOUT(rows(), expected, 1000);
    }

    // A firmware update's commands, replies and 6-byte blocks, written as the firmware window
    // writes them, against the simulator.
    void update_data()
    {
        QTest::addColumn<int>("errorAt");
        QTest::addColumn<QStringList>("expected");
        const QStringList start{
            "out|2F 31 26 0D|/1&<CR>|DT, address 1, version query",
            "in|FF 2F 30 60 52 45 5A 69 7A 61 76 75 72 20 56 31 2E 30 35 03 0D 0A|\u00FF/0`REZizavur V1.05<ETX><CR><LF>|DT reply \"REZizavur V1.05 No Error\"",
            "out|2F 31 62 31 39 32 30 30 52 0D|/1b19200R<CR>|DT, address 1, baud change to 19200",
            "in|FF 2F 30 60 03 0D 0A|\u00FF/0`<ETX><CR><LF>|DT reply \" No Error\"",
            "out|2F 31 5B 0D|/1[<CR>|DT, address 1, enter update mode",
            "in|3F|?|update mode reply, accepted",
            "out|02 41 42 0D 03 5A|<STX>AB<CR><ETX>Z|update block 1",
            "in|2A|*|update reply to block 1",
            "out|2F 31 5B 0D 7F 80|/1[<CR><DEL><80>|update block 2"};
        QTest::newRow("whole image") << 0 << start + QStringList{
            "in|2A|*|update reply to block 2", "out|FF 9F 20 61 62 63|\u00FF<9F> abc|update block 3",
            "in|2A|*|update reply to block 3"};
        QTest::newRow("error at block 2") << 2 << start + QStringList{
            "in|45 72 72 6F 72|Error|update reply to block 2, error",
            "out|2F 31 26 0D|/1&<CR>|DT, address 1, version query",
            "in|FF 2F 30 60 52 45 5A 69 7A 61 76 75 72 20 56 31 2E 30 35 03 0D 0A|\u00FF/0`REZizavur V1.05<ETX><CR><LF>|DT reply \"REZizavur V1.05 No Error\""};
    }
    void update()
    {
        QFETCH(int, errorAt);
        QFETCH(QStringList, expected);
        sim::PtyServer server;
        server.bus().faults().errorAtBlock = errorAt;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        store.mapPort(3, server.slavePath());
        CommPort port;
        port.setPortNumber(3);
        QVERIFY(port.setLineSettings("9600,N,8,1") && port.open());
        port.write("/1&\r"), readAtLeast(port, 22);
        port.write("/1b19200R\r"), readAtLeast(port, 7);
        port.write("/1[\r"), readAtLeast(port, 1);
        for (const QByteArray block : {QByteArray("\x02" "AB\r\x03Z"), QByteArray("/1[\r\x7f\x80"), QByteArray("\xff\x9f abc")}) {
            port.write(block);
            if (readAtLeast(port, 1).contains("Error"))
                break;
        }
        if (errorAt)
            port.write("/1&\r"), readAtLeast(port, 22);
        QTRY_COMPARE_WITH_TIMEOUT(rows(), expected, 1000);
    }

    // The window's controls, found by the names a screen reader speaks.
    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        QTest::newRow("window") << "Traffic Monitor" << int(QAccessible::Window);
        for (const char *caption : {"Pause", "Clear", "Save...", "Log to File..."})
            QTest::newRow(caption) << caption << int(QAccessible::Button);
        QTest::newRow("table") << "Traffic" << int(QAccessible::Table);
        QTest::newRow("status") << "Status" << int(QAccessible::StaticText);
    }
    void names()
    {
        QFETCH(QString, name);
        QFETCH(int, role);
        TrafficMonitor &w = monitor::open();
        QWidgetList widgets = w.findChildren<QWidget *>();
        widgets.prepend(&w);
        QStringList found;
        for (QWidget *c : widgets)
            if (QAccessibleInterface *a = QAccessible::queryAccessibleInterface(c); a && a->text(QAccessible::Name) == name)
                found << QString::number(a->role());
        QCOMPARE(found, QStringList{QString::number(role)});
    }

    // Pause holds new rows back, keeps them, and shows them on resume; Clear empties.
    void pauseResume()
    {
        PtyPair pty;
        store.mapPort(4, pty.slavePath());
        CommPort port;
        port.setPortNumber(4);
        QVERIFY(port.open());
        TrafficMonitor &w = monitor::open();
        port.write("/1Q\r"), port.write("/2Q\r");
        QTRY_COMPARE(w.model().rowCount(), 2);
        QTest::mouseClick(w.cmdPause, Qt::LeftButton);
        QCOMPARE(w.cmdPause->text(), "Resume");
        port.write("/3Q\r"), port.write("/4Q\r"), port.write("/5Q\r");
        QTRY_COMPARE(w.lblStatus->text(), "5 rows, 0 dropped");
        QCOMPARE(w.model().rowCount(), 2);
        QTest::mouseClick(w.cmdPause, Qt::LeftButton);
        QCOMPARE(w.cmdPause->text(), "Pause");
        QCOMPARE(w.model().rowCount(), 5);
        QCOMPARE(w.model().cell(4, monitor::TrafficModel::Text), "/5Q<CR>");
        QTest::mouseClick(w.cmdClear, Qt::LeftButton);
        QCOMPARE(w.model().rowCount(), 0);
        QCOMPARE(w.lblStatus->text(), "0 rows, 0 dropped");
    }

    // Save... and Log to File... write the same rows, read back as CSV; the log is on disk
    // within a second, before it is stopped.
    void saveAndLog()
    {
        ScriptedPlatform platform;
        QTemporaryDir dir;
        const QString logPath = dir.filePath("log.csv"), savePath = dir.filePath("saved.csv");
        platform.files << logPath << savePath;
        PtyPair pty;
        store.mapPort(5, pty.slavePath());
        CommPort port;
        port.setPortNumber(5);
        QVERIFY(port.open());
        TrafficMonitor &w = monitor::open();
        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QCOMPARE(w.cmdLog->text(), "Stop Log");
        port.write("/1\"a,b"), port.write("\r");
        pty.send("\xff/0b\x03\r\n");
        QTRY_VERIFY(port.countReceived() == 7);
        port.read();
        QTRY_COMPARE_WITH_TIMEOUT(readCsv(logPath).size(), 3, 1500);
        QTRY_COMPARE(w.model().rowCount(), 2);
        QTest::mouseClick(w.cmdSave, Qt::LeftButton);
        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QCOMPARE(w.cmdLog->text(), "Log to File...");
        QCOMPARE(platform.dialogs.size(), 2);
        QCOMPARE(platform.dialogs[1].confirmOverwrite, true);
        const QList<QStringList> expected{
            {"time", "delta_ms", "port", "dir", "hex", "text", "frame"},
            {"COM5", "out", "2F 31 22 61 2C 62 0D", "/1\"a,b<CR>", "DT, address 1"},
            {"COM5", "in", "FF 2F 30 62 03 0D 0A", "\u00FF/0b<ETX><CR><LF>", "DT reply \" Invalid Command\""}};
        for (const QString &path : {logPath, savePath}) {
            QList<QStringList> records = readCsv(path);
            QCOMPARE(records.size(), 3);
            QCOMPARE(records[0], expected[0]);
            for (int i = 1; i < 3; ++i) {
                QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").match(records[i][0]).hasMatch());
                QVERIFY(QRegularExpression("^-?\\d+\\.\\d$").match(records[i][1]).hasMatch());
                QCOMPARE(records[i].mid(2), expected[i]);
            }
        }
    }

    // The last 100,000 rows are kept, older ones counted as dropped.
    void bound()
    {
        CommPort port;
        for (int i = 0; i < 100005; ++i)
            emit port.traffic(i * 100000LL, CommPort::Direction::Sent, QByteArray("/1?") + QByteArray::number(i) + '\r');
        TrafficMonitor &w = monitor::open();
        QCOMPARE(w.lblStatus->text(), "100000 rows, 5 dropped");
        QCOMPARE(w.model().rowCount(), 100000);
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
            QPoint free(-1, -1);
            for (int y = 0; y < console.height() && free.x() < 0; y += 4)
                for (int x = 0; x < console.width() && free.x() < 0; x += 4)
                    if (!console.childAt(x, y))
                        free = QPoint(x, y);
            QContextMenuEvent onFree(QContextMenuEvent::Mouse, free, console.mapToGlobal(free));
            QApplication::sendEvent(&console, &onFree);
            const QList<QMenu *> menus = console.findChildren<QMenu *>();
            QCOMPARE(menus.size(), 1);
            QCOMPARE(menus[0]->actions().size(), 1);
            QCOMPARE(menus[0]->actions()[0]->text(), "Traffic Monitor");
            menus[0]->actions()[0]->trigger();
            menus[0]->close();
        } else if (how == "shortcut in console") {
            QTest::keyClick(console.StringToSend[0], Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
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
            if (how == "shortcut in firmware window")
                QTest::keyClick(flash, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
        }
        TrafficMonitor *w = windows::loaded<TrafficMonitor>();
        QVERIFY(w);
        QTRY_VERIFY(w->isVisible());
        QVERIFY(w->isWindow() && !w->parentWidget());
        QCOMPARE(w->windowTitle(), "Traffic Monitor");
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
