// The traffic monitor: rows of the console's queries and of a firmware update's commands and
// blocks against the simulator, noise on a pseudo-terminal, the window's controls, pause and
// resume, save and log files read back as CSV, the row bound, and the ways to open it.
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "monitor/trafficmonitor.h"
#include "sim/ptyserver.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every row of the store as "port|dir|hex|text|frame".
QStringList rows()
{
    monitor::TrafficStore &s = monitor::store();
    QStringList out;
    for (qint64 i = s.firstSeq(); i < s.endSeq(); ++i) {
        const monitor::Row &r = s.row(i);
        out << QStringList{s.portText(r), monitor::dirText(r.dir), monitor::hexText(r.bytes),
                           monitor::plainText(r.bytes), monitor::frameText(r)}.join('|');
    }
    return out;
}

// A CSV file's text with each record's time and delta, which vary, replaced by "T,D".
QString csvText(const QString &path)
{
    QFile f(path);
    static const QRegularExpression varying(R"(^\d\d:\d\d:\d\d\.\d{3},-?\d+\.\d,)", QRegularExpression::MultilineOption);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).replace(varying, "T,D,") : QString();
}

} // namespace

class TestMonitor : public QObject {
    Q_OBJECT

    TempStore store;

    bool openOn(CommPort &port, int n, const QString &path)
    {
        store.mapPort(n, path);
        return port.setPortNumber(n) && port.open();
    }

private slots:
    void initTestCase() { monitor::install(); }
    void init() { monitor::store().clear(); }
    void cleanup() { windows::unloadAll(); QTest::qWait(1); }

    // Exchanges with the simulator, each write answered before the next: DT and OEM queries as
    // the console writes them, a firmware update's commands and 6-byte blocks as the firmware
    // window writes them.
    void exchanges_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QList<int>>("replySizes");
        QTest::addColumn<QStringList>("expected");
        const QList<QByteArray> query{"/1?0\r"}, oemQuery{"\x02" "11?0\x03\x0e"};
        const QString oemOut = "COM1|out|02 31 31 3F 30 03 0E|<STX>11?0<ETX><SO>|OEM, address 1, checksum ok";
        const QString oemIn = "COM1|in|02 30 60 31 30 30 30 03 50|<STX>0`1000<ETX>P|OEM reply \"1000 No Error\", checksum ok";
        QTest::newRow("dt") << "" << query << QList<int>{11} << QStringList{
            "COM1|out|2F 31 3F 30 0D|/1?0<CR>|DT, address 1",
            "COM1|in|FF 2F 30 60 31 30 30 30 03 0D 0A|\u00FF/0`1000<ETX><CR><LF>|DT reply \"1000 No Error\""};
        QTest::newRow("oem") << "" << oemQuery << QList<int>{9} << QStringList{oemOut, oemIn};
        QTest::newRow("oem bad checksum") << "bad checksum" << oemQuery << QList<int>{9} << QStringList{
            oemOut,
            "COM1|in|02 30 60 31 30 30 30 03 AF|<STX>0`1000<ETX>\u00AF|OEM reply \"1000 No Error\", checksum bad, expected 50"};
        QTest::newRow("oem after noise") << "noise" << oemQuery << QList<int>{11}
                                         << QStringList{oemOut, "COM1|in|1B 9F|<ESC><9F>|unframed", oemIn};

        const QList<QByteArray> start{"/1&\r", "/1b19200R\r", "/1[\r", "\x02" "AB\r\x03Z", "/1[\r\x7f\x80"};
        const QStringList version{
            "COM1|out|2F 31 26 0D|/1&<CR>|DT, address 1, version query",
            "COM1|in|FF 2F 30 60 52 45 5A 69 7A 61 76 75 72 20 56 31 2E 30 35 03 0D 0A|"
            "\u00FF/0`REZizavur V1.05<ETX><CR><LF>|DT reply \"REZizavur V1.05 No Error\""};
        const QStringList started = version + QStringList{
            "COM1|out|2F 31 62 31 39 32 30 30 52 0D|/1b19200R<CR>|DT, address 1, baud change to 19200",
            "COM1|in|FF 2F 30 60 03 0D 0A|\u00FF/0`<ETX><CR><LF>|DT reply \" No Error\"",
            "COM1|out|2F 31 5B 0D|/1[<CR>|DT, address 1, enter update mode",
            "COM1|in|3F|?|update mode reply, accepted",
            "COM1|out|02 41 42 0D 03 5A|<STX>AB<CR><ETX>Z|update block 1",
            "COM1|in|2A|*|update reply to block 1",
            "COM1|out|2F 31 5B 0D 7F 80|/1[<CR><DEL><80>|update block 2"};
        QTest::newRow("whole image") << "" << start + QList<QByteArray>{"\xff\x9f abc"} << QList<int>{22, 7, 1, 1, 1, 1}
            << started + QStringList{"COM1|in|2A|*|update reply to block 2",
                                     "COM1|out|FF 9F 20 61 62 63|\u00FF<9F> abc|update block 3",
                                     "COM1|in|2A|*|update reply to block 3"};
        QTest::newRow("error at block 2") << "error at block 2" << start + QList<QByteArray>{"/1&\r"}
            << QList<int>{22, 7, 1, 1, 5, 22}
            << started + QStringList{"COM1|in|45 72 72 6F 72|Error|update reply to block 2, error"} + version;
    }
    void exchanges()
    {
        QFETCH(QString, fault);
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QList<int>, replySizes);
        QFETCH(QStringList, expected);
        sim::PtyServer server;
        server.bus().drive('1')->setPosition(1000);
        server.bus().faults().badChecksum = fault == "bad checksum";
        server.bus().faults().noise = fault == "noise" ? "\x1b\x9f" : "";
        server.bus().faults().errorAtBlock = fault == "error at block 2" ? 2 : 0;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        CommPort port;
        QVERIFY(openOn(port, 1, server.slavePath()));
        for (int i = 0; i < writes.size(); ++i) {
            port.write(writes[i]);
            QTRY_VERIFY(port.countReceived() >= replySizes[i]);
            port.read();
        }
        QTRY_COMPARE_WITH_TIMEOUT(rows(), expected, 1000);
        QCOMPARE(monitor::store().portPath(monitor::store().row(monitor::store().firstSeq())), server.slavePath());
    }

    // Bytes that form no frame: a row at 256 bytes and after an idle gap between chunks.
    void noise_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // an idle gap between each
        QTest::addColumn<QStringList>("expected");
        const QString u256 = QStringList(256, "55").join(' '), u44 = QStringList(44, "55").join(' ');
        QTest::newRow("at 256 bytes") << QList<QByteArray>{QByteArray(300, 'U')} << QStringList{
            "COM2|in|" + u256 + '|' + QString(256, 'U') + "|unframed", "COM2|in|" + u44 + '|' + QString(44, 'U') + "|unframed"};
        QTest::newRow("lone byte") << QList<QByteArray>{"\x07"} << QStringList{"COM2|in|07|<BEL>|unframed"};
        QTest::newRow("gap before reply") << QList<QByteArray>{"ab", "/0`\x03\r\n"} << QStringList{
            "COM2|in|61 62|ab|unframed", "COM2|in|2F 30 60 03 0D 0A|/0`<ETX><CR><LF>|DT reply \" No Error\""};
    }
    void noise()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, expected);
        PtyPair pty;
        CommPort port;
        QVERIFY(openOn(port, 2, pty.slavePath()));
        port.setReceiveThreshold(1);
        connect(&port, &CommPort::receiveNotification, &port, [&port] { port.read(); });
        for (const QByteArray &chunk : chunks) {
            pty.send(chunk);
            QTest::qWait(80); // the line idle longer than the 50 ms gap
        }
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
        const QWidgetList widgets = w.findChildren<QWidget *>() << &w;
        QStringList found;
        for (QWidget *c : widgets)
            if (QAccessibleInterface *a = QAccessible::queryAccessibleInterface(c); a && a->text(QAccessible::Name) == name)
                found << QString::number(a->role());
        QCOMPARE(found, QStringList{QString::number(role)});
    }

    // Log to File... and Save... write the same rows, read back as CSV, the log on disk within
    // a second, before it is stopped; Pause holds new rows back, keeps them and shows them on
    // resume; Clear empties.
    void controls()
    {
        ScriptedPlatform platform;
        QTemporaryDir dir;
        const QString logPath = dir.filePath("log.csv"), savePath = dir.filePath("saved.csv");
        platform.files << logPath << savePath;
        PtyPair pty;
        CommPort port;
        QVERIFY(openOn(port, 5, pty.slavePath()));
        TrafficMonitor &w = monitor::open();
        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QCOMPARE(w.cmdLog->text(), "Stop Log");
        port.write("/1\"a,b"), port.write("\r");
        pty.send("\xff/0b\x03\r\n");
        QTRY_VERIFY(port.countReceived() == 7);
        port.read();
        QTRY_COMPARE_WITH_TIMEOUT(csvText(logPath).count("\r\n"), 3, 1500);
        QTRY_COMPARE(w.model().rowCount(), 2);
        QTest::mouseClick(w.cmdSave, Qt::LeftButton);
        QTest::mouseClick(w.cmdLog, Qt::LeftButton);
        QCOMPARE(w.cmdLog->text(), "Log to File...");
        QCOMPARE(platform.dialogs.size(), 2);
        QCOMPARE(platform.dialogs[1].confirmOverwrite, true);
        // Fields holding a comma or a quote are quoted, a quote doubled; lines end in CR LF.
        const QString expected = "time,delta_ms,port,dir,hex,text,frame\r\n"
                                 "T,D,COM5,out,2F 31 22 61 2C 62 0D,\"/1\"\"a,b<CR>\",\"DT, address 1\"\r\n"
                                 "T,D,COM5,in,FF 2F 30 62 03 0D 0A,\u00FF/0b<ETX><CR><LF>,\"DT reply \"\" Invalid Command\"\"\"\r\n";
        QCOMPARE(csvText(logPath), expected);
        QCOMPARE(csvText(savePath), expected);

        QTest::mouseClick(w.cmdPause, Qt::LeftButton);
        QCOMPARE(w.cmdPause->text(), "Resume");
        port.write("/3Q\r"), port.write("/4Q\r");
        QTRY_COMPARE(w.lblStatus->text(), "4 rows, 0 dropped");
        QCOMPARE(w.model().rowCount(), 2);
        QTest::mouseClick(w.cmdPause, Qt::LeftButton);
        QCOMPARE(w.cmdPause->text(), "Pause");
        QCOMPARE(w.model().rowCount(), 4);
        QCOMPARE(w.model().cell(3, monitor::TrafficModel::Text), "/4Q<CR>");
        QTest::mouseClick(w.cmdClear, Qt::LeftButton);
        QCOMPARE(w.model().rowCount(), 0);
        QCOMPARE(w.lblStatus->text(), "0 rows, 0 dropped");
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
