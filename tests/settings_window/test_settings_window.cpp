// The settings window "Communications" as the operator meets it: real windows offscreen, a real
// settings file, pseudo-terminals mapped to COM numbers, ports held by another opener.
#include "app/windows.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QPointer>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTest>

#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete), QCoreApplication::processEvents(); }
QStringList texts(const QListWidget *l) { QStringList out; for (int i = 0; i < l->count(); ++i) out << l->item(i)->text(); return out; }
QString missing(int n) { return QStringLiteral("/nonexistent/quorvane-COM%1").arg(n); }
bool topmost(const QWidget &w) { return w.windowFlags().testFlag(Qt::WindowStaysOnTopHint); }

// What the kernel reports of one file (inotify on its folder) since the last look: "open" for
// each open, "replaced" for each file renamed onto its name.
struct FileWatch {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QByteArray name;
    explicit FileWatch(const QString &path) : name(QFile::encodeName(QFileInfo(path).fileName()))
    { inotify_add_watch(fd, QFile::encodeName(QFileInfo(path).absolutePath()).constData(), IN_OPEN | IN_MOVED_TO); }
    ~FileWatch() { close(fd); }
    QString take()
    {
        QStringList seen;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            for (auto *e = reinterpret_cast<const inotify_event *>(buffer); (const char *)e < buffer + n; e = (const inotify_event *)((const char *)(e + 1) + e->len))
                if (e->len && name == e->name) seen << (e->mask & IN_OPEN ? "open" : "replaced");
        return seen.join(' ');
    }
};

} // namespace

class TestSettingsWindow : public QObject {
    Q_OBJECT
    TempStore store;
    ScriptedPlatform platform;
    std::map<int, std::unique_ptr<PtyPair>> ptys;

    PtyPair &pty(int n) { if (!ptys[n]) ptys[n] = std::make_unique<PtyPair>(), store.mapPort(n, ptys[n]->slavePath()); return *ptys[n]; }
    static StringFun &console() { return windows::get<StringFun>(); }
    // A settings window created afresh from the store as it is now (the console laid out, its
    // "Settings" button at 585, 232.5 twips, 1380 wide); its messages only.
    Settings &freshSettings() { return console(), windows::unload<Settings>(), settle(), platform.messages.clear(), windows::get<Settings>(); }

private slots:
    // No COM number has a device unless a test gives it a pty.
    void init() { store.clear(), platform.messages.clear(); for (int n = 1; n <= 16; ++n) store.mapPort(n, missing(n)); }
    void cleanup() { windows::unloadAll(), settle(), ptys.clear(); }

    // Creation from the store runs to its end (placed on the "Settings" button, the time-out
    // applied, topmost) or stops silently at its first failing step: 2 (the baud index) or 4 (the
    // time-out); it never shows the window. Shown, each control stands where the layout table puts
    // it (15 twips a pixel) with its caption or loaded value, the focus in the table's order. The
    // 5175 x 4185 twips client area cannot be stretched; the 43 hidden fields and their captions
    // lie wholly outside it.
    void creation_data()
    {
        QTest::addColumn<QByteArray>("stored"); // in the section "Settings"
        QTest::addColumn<int>("stepsDone");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("baudShown");
        QTest::addColumn<QString>("timeoutShown");
        QTest::newRow("empty store") << QByteArray() << 5 << 3000 << "38400" << "3000";
        QTest::newRow("time-out with a fraction") << QByteArray("BaudRate=2\nRCVTimeout=1499.6") << 5 << 1500 << "38400" << "1499.6";
        QTest::newRow("time-out the timer refuses") << QByteArray("BaudRate=2\nRCVTimeout=0") << 3 << 1234 << "38400" << "0";
        QTest::newRow("baud index 9") << QByteArray("BaudRate=9\nRCVTimeout=1500") << 1 << 1234 << "" << "3000";
    }
    void creation()
    {
        QFETCH(QByteArray, stored); QFETCH(int, stepsDone); QFETCH(int, interval); QFETCH(QString, baudShown); QFETCH(QString, timeoutShown);
        if (!stored.isEmpty())
            store.setText(store.text() + "[Settings]\n" + stored + '\n');
        console().tmrReceiveTimeOut().setInterval(1234);
        Settings &s = freshSettings();
        QCOMPARE(s.pos() == QPoint(39, 16), stepsDone >= 3); // 585 / 15 and 232.5 / 15 rounded
        QCOMPARE(console().tmrReceiveTimeOut().interval(), interval);
        QVERIFY(topmost(s) == (stepsDone == 5) && !s.isVisible() && platform.messages.isEmpty());
        s.show();
        const struct { const char *name, *kind; QString shows; QRect r; } table[] = {
            {"Label17", "QLabel", "Comm Port", {120, 240, 1815, 255}},
            {"CommPortSetting", "QLineEdit", "1", {1080, 210, 1095, 285}},
            {"Baud", "QLabel", "Baud Rate", {120, 600, 1695, 255}},
            {"lstBaudRate", "QListWidget", baudShown, {1080, 600, 1095, 450}},
            {"Label3", "QLabel", "Max Strings", {120, 1200, 1815, 255}},
            {"MaxStrings", "QLineEdit", "11", {1320, 1170, 855, 285}},
            {"ReceiveTimeout", "QLabel", "RCV TImeout", {120, 1590, 1815, 255}},
            {"RCVTimeout", "QLineEdit", timeoutShown, {1320, 1560, 855, 315}},
            {"lstPorts", "QListWidget", "", {2280, 240, 2775, 3570}},
            {"DTProtocol", "QRadioButton", "DT Protocol", {120, 2040, 1695, 255}},
            {"OEMProtocol", "QRadioButton", "OEM Protocol", {120, 2280, 1575, 255}},
            {"cmdOK", "QPushButton", "OK", {120, 2640, 1935, 375}},
            {"cmdRescanPorts", "QPushButton", "Re-Scan Ports", {120, 3120, 1935, 375}},
            {"cmdUpdate", "QPushButton", "Update Firmware", {120, 3720, 1935, 375}}};
        for (const auto &[name, kind, shows, r] : table) {
            QWidget *w = s.findChild<QWidget *>(name);
            QVERIFY2(w && w->inherits(kind) && w->isVisible() && w->isEnabled() == (w != s.fields.CommPortSetting), name);
            const auto *list = qobject_cast<QListWidget *>(w);
            const QListWidgetItem *picked = list ? list->selectedItems().value(0) : nullptr;
            QCOMPARE(picked ? picked->text() : w->property("text").toString(), shows);
            QCOMPARE(w->geometry(), QRect(r.x() / 15, r.y() / 15, r.width() / 15, r.height() / 15));
        }
        QCOMPARE(texts(s.fields.lstBaudRate), QStringList({"9600", "19200", "38400", "57600", "115200", "230400"}));
        QVERIFY(s.fields.lstBaudRate->selectionMode() == QAbstractItemView::SingleSelection && s.lstPorts->selectionMode() == QAbstractItemView::SingleSelection);
        QStringList order;
        QWidget *w = s.fields.lstBaudRate;
        do if (w->window() == &s && w != &s && w->isEnabled() && w->isVisible() && (w->focusPolicy() & Qt::TabFocus)) order << w->objectName();
        while ((w = w->nextInFocusChain()) != s.fields.lstBaudRate && order.size() < 50);
        QCOMPARE(order, QStringList({"lstBaudRate", "MaxStrings", "RCVTimeout", "lstPorts", "DTProtocol", "OEMProtocol", "cmdOK", "cmdRescanPorts", "cmdUpdate"}));
        QVERIFY(s.size() == QSize(345, 279) && s.minimumSize() == s.maximumSize());
        QStringList outside; // out of the tab order too: the focus chain above has none of them
        for (QWidget *w : s.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (!w->geometry().intersects(s.rect()))
                outside << (w->inherits("QLineEdit") ? "field" : w->property("text").toString());
        QCOMPARE(outside.removeAll("field"), 43);
        outside.sort();
        QCOMPARE(outside, QStringList({"Aspirate Volume", "Aspirate flow rate", "Auxiliary Volume", "Dispense Volume",
            "Dispense flow rate", "Flow Control", "Loop Times", "Master Mix With Filter",
            "Master Mix Without Filter", "Mastermix Volume", "Max DAC Value", "Max Pressure", "Maximum", "Micro Liters per stroke",
            "Micro Steps per stroke", "Minimum", "Sample Volume", "Sample With Filter", "Sample Without Filter",
            "Sonication  Time", "Sonication Amplitude", "Syringe Volume", "Valve Overshoot", "Valve Speed", "Wait Time",
            "Wash Volume", "Wash With Filter", "Wash Without Filter", "Waste Volume", "Waste With Filter", "Waste Without Filter"}));
    }

    // Typed into the field, or put there from the store while the window is created. Nothing is
    // stored before "OK".
    void maxStringsCheck_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("messages");
        QTest::newRow("fraction above 25") << "25.5" << "" << "25" << 1;
        QTest::newRow("25") << "25" << "" << "25" << 0;
        QTest::newRow("negative") << "-40" << "" << "-40" << 0;
        QTest::newRow("letter refused") << "2a5" << "" << "25" << 0;
        QTest::newRow("stored beyond a double") << "" << "1e400" << "25" << 1;
    }
    void maxStringsCheck()
    {
        QFETCH(QString, typed); QFETCH(QString, stored); QFETCH(QString, shown); QFETCH(int, messages);
        if (!stored.isEmpty())
            store.set("ValvePositions", "MaxStrings", stored);
        Settings &s = freshSettings();
        if (!typed.isEmpty())
            s.show(), s.fields.MaxStrings->clear(), QTest::keyClicks(s.fields.MaxStrings, typed);
        QCOMPARE(s.fields.MaxStrings->text(), shown);
        QCOMPARE(platform.texts(), QStringList(messages, "Maximum number of strings allowed is 25"));
        for (const auto &m : std::as_const(platform.messages))
            QVERIFY(m.caption == "Kestrelworks" && m.buttons == QMessageBox::Ok);
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), stored);
    }

    // Shown from the console (where it stands, a real window manager's frame decides). "OK"
    // stores the fields, lays the console out again and hides the window, whose choices stay in
    // force. Closing the window instead stores nothing, and the console's next transmission
    // creates it again from the store, with DT framing.
    void okOrClose_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("maxStrings");
        QTest::addColumn<int>("rows");
        QTest::newRow("OK with no row count") << true << "" << 10;
        QTest::newRow("closed") << false << "7" << 11;
    }
    void okOrClose()
    {
        QFETCH(bool, ok); QFETCH(QString, maxStrings); QFETCH(int, rows);
        PtyPair &line = pty(1);
        StringFun &c = console();
        Settings &s = freshSettings();
        const QPointer<Settings> kept(&s); // a new window may take the closed one's address
        s.showFromConsole(); // non-modal, without an owner
        QVERIFY(s.isVisible() && !s.isModal() && !s.parentWidget() && !QApplication::activeModalWidget());
        QTest::mouseClick(s.fields.OEMProtocol, Qt::LeftButton);
        s.fields.MaxStrings->setText(maxStrings), s.fields.lstBaudRate->setCurrentRow(4, QItemSelectionModel::ClearAndSelect);
        ok ? QTest::mouseClick(s.cmdOK, Qt::LeftButton) : void(s.close());
        QVERIFY(ok || (!topmost(s) && !windows::loaded<Settings>()));
        settle();
        c.subSendToDrive("/1A1000R"); // STX, address, body, ETX and their XOR; or the DT line
        QCOMPARE(line.receive(ok ? 11 : 9), ok ? QByteArray("\x02" "11A1000R" "\x03" "\x13") : QByteArray("/1A1000R\r"));
        c.tmrReceiveTimeOut().stop();
        Settings *now = windows::loaded<Settings>();
        QVERIFY(now && !now->isVisible() && (now == kept) == ok && now->fields.DTProtocol->isChecked() != ok);
        QCOMPARE(QStringList({now->fields.MaxStrings->text(), store.value("ValvePositions", "MaxStrings"), store.value("Settings", "BaudRate")}),
                 ok ? QStringList({QString::number(rows), QString::number(rows), "4"}) : QStringList({"11", "", ""}));
        QCOMPARE(c.numRows(), int16_t(rows)); // the console laid out again, or as it was
        QVERIFY(platform.messages.isEmpty());
    }

    // The store file is opened once as the window is created (port list and fields) and once by
    // "OK", which replaces it once. A folder "OK" cannot write to is named in a message with the
    // reason; the file stays as it was, and "OK" goes on.
    void storeFile_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("ok"); // the file's events at "OK"; at creation: one "open" where it can be
        QTest::addColumn<QString>("reason");
        QTest::newRow("writable") << "writable" << "open replaced" << "";
        QTest::newRow("read-only") << "read-only" << "open" << "Permission denied";
        QTest::newRow("full disk") << "full" << "open" << "No space left on device";
        QTest::newRow("a regular file") << "file" << "" << "Not a directory";
    }
    void storeFile()
    {
        QFETCH(QString, folder); QFETCH(QString, ok); QFETCH(QString, reason);
        if ((folder == "read-only" || folder == "full") && (folder == "full") != (geteuid() == 0))
            QSKIP(geteuid() ? "mounting a full tmpfs needs root" : "root writes into a read-only folder");
        console();
        const QString path = store.filePath();
        const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
        store.set("ValvePositions", "MaxStrings", "9");
        const QByteArray before = folder == "file" ? QByteArray() : store.text();
        if (folder == "file")
            store.clear(), QFile(QFile::decodeName(dir)).open(QIODevice::WriteOnly); // the folder's name taken by a file
        else if (folder == "read-only")
            chmod(dir.constData(), 0555);
        const auto restore = qScopeGuard([&] { umount2(dir.constData(), MNT_DETACH), chmod(dir.constData(), 0755), QFile::remove(dir); });
        QVERIFY(folder != "full" || mount("tmpfs", dir.constData(), "tmpfs", 0, "size=4k") == 0);
        if (folder == "full") // its one page taken by the file
            store.setText(before);
        FileWatch watch(path);
        Settings &s = freshSettings();
        QCOMPARE(watch.take(), folder == "file" ? "" : "open");
        s.show(), s.fields.MaxStrings->setText("7");
        QTest::mouseClick(s.cmdOK, Qt::LeftButton);
        QCOMPARE(watch.take(), ok);
        QCOMPARE(platform.texts(), reason.isEmpty() ? QStringList() : QStringList("Could not save the settings to " + path + ": "
                 + reason + ". The settings file is left as it was."));
        QVERIFY(platform.messages.isEmpty() || (platform.messages[0].caption == "Kestrelworks" && platform.messages[0].buttons == QMessageBox::Ok));
        QVERIFY((reason.isEmpty() ? store.value("ValvePositions", "MaxStrings") == "7" : store.text() == before) && !s.isVisible() && console().numRows() == 7);
    }

    // The list scanned at creation and on "Re-Scan Ports", and a real press with the pointer at a
    // point near an entry: the press is reported at the top of the list, so only the pointer's own
    // position counts. Only "OK" stores the choice; a re-scan drops the selection, keeps the port.
    void portList_data()
    {
        QTest::addColumn<QList<int>>("free");
        QTest::addColumn<int>("held");
        QTest::addColumn<int>("consolePort");
        QTest::addColumn<QList<int>>("available");
        QTest::addColumn<int>("near");   // the entry the point is placed by
        QTest::addColumn<QPoint>("at");  // x: 0 centre, 1 right of the entries; y: 0 level with, 1 below that entry
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("port");
        QTest::newRow("no ports at all; primary on entry 2") << QList<int>{} << 0 << 0 << QList<int>{} << 2 << QPoint(0, 0) << int(Qt::LeftButton) << "3";
        QTest::newRow("3 free, 4 held by another opener; primary right of entry 4") << QList<int>{3} << 4 << 0 << QList<int>{3} << 4 << QPoint(1, 0) << int(Qt::LeftButton) << "5";
        QTest::newRow("console holds its port; primary below the last entry") << QList<int>{1, 3} << 0 << 1 << QList<int>{} << 15 << QPoint(0, 1) << int(Qt::LeftButton) << "16";
        QTest::newRow("3 free; secondary on entry 2") << QList<int>{3} << 0 << 0 << QList<int>{3} << 2 << QPoint(0, 0) << int(Qt::RightButton) << "7";
    }
    void portList()
    {
        QFETCH(QList<int>, free); QFETCH(int, held); QFETCH(int, consolePort); QFETCH(QList<int>, available);
        QFETCH(int, near); QFETCH(QPoint, at); QFETCH(int, button); QFETCH(QString, port);
        for (int n : free) pty(n);
        QSerialPort holder(held ? pty(held).slavePath() : QString()); // another program's hold
        QVERIFY(!held || holder.open(QIODevice::ReadWrite));
        StringFun &c = console();
        QVERIFY(!consolePort || (c.MSComm1().setPortNumber(consolePort) && c.MSComm1().open()));
        store.set("ValvePositions", "CommPortSetting", "7");
        Settings &s = freshSettings();
        // Each entry's tooltip names its device and ends in the reason a port is not available;
        // that reason is what a screen reader reads as the entry's description.
        QAccessibleInterface *a11y = QAccessible::queryAccessibleInterface(s.lstPorts);
        QVERIFY(a11y && a11y->childCount() == 16);
        QStringList expected;
        for (int n = 1; n <= 16; ++n) {
            expected << QStringLiteral("COM%1").arg(n) + (available.contains(n) ? "  available" : "  (not available or no such port)");
            // The other opener here is this program's own serial library, which names it in its lock file.
            const QString why = consolePort ? "Not probed: the console's port is open." : available.contains(n) ? ""
                                : n == held ? QStringLiteral("In use by this program: test_settings_window (process %1), which "
                                              "holds the lock file /var/lock/LCK..pts_%2.").arg(getpid()).arg(pty(n).slavePath().section('/', -1))
                                : "No such device: nothing is at " + missing(n) + ".";
            QCOMPARE(a11y->child(n - 1)->text(QAccessible::Description), why);
            QCOMPARE(s.lstPorts->item(n - 1)->toolTip(),
                     QStringLiteral("COM%1: ").arg(n) + (ptys.count(n) ? ptys[n]->slavePath() : missing(n)) + (why.isEmpty() ? "" : "\n" + why));
        }
        QCOMPARE(texts(s.lstPorts), expected);
        // No probe closed the console's port or changed its number: it still carries bytes to its line.
        QVERIFY(!consolePort || (c.MSComm1().portNumber() == consolePort && c.MSComm1().write("/1Q\r") && pty(consolePort).receive(4) == "/1Q\r"));
        s.show();
        QListWidget *list = s.lstPorts;
        list->scrollToItem(list->item(near));
        const QRect r = list->visualItemRect(list->item(near));
        const QPoint p(at.x() ? list->viewport()->width() + 25 : r.center().x(), at.y() ? r.bottom() + 30 : r.center().y());
        QCursor::setPos(list->viewport()->mapToGlobal(p));
        if (QCursor::pos() != list->viewport()->mapToGlobal(p))
            QSKIP("this platform cannot place the pointer");
        QTest::mousePress(list->viewport(), Qt::MouseButton(button), {}, QPoint(3, 3));
        QTest::mouseRelease(list->viewport(), Qt::MouseButton(button), {}, QPoint(3, 3));
        QCOMPARE(s.fields.CommPortSetting->text(), port); // an entry "not available" is picked all the same
        QCOMPARE(list->selectedItems(), button == Qt::LeftButton ? QList<QListWidgetItem *>{list->item(near)} : QList<QListWidgetItem *>{});
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("7"));
        QTest::mouseClick(s.cmdRescanPorts, Qt::LeftButton);
        QCOMPARE(texts(s.lstPorts), expected);
        QVERIFY(list->selectedItems().isEmpty() && s.fields.CommPortSetting->text() == port);
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "test_settings_window.moc"
