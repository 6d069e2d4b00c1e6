// The settings window "Communications" as the operator meets it: real windows offscreen, a real
// settings file, pseudo-terminals mapped to COM numbers, ports held by another opener.
#include "app/twips.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "settings/portdiscovery.h"
#include "settings/settingswindow.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QCursor>
#include <QSerialPort>
#include <QTest>

#include <memory>

using namespace portdiscovery;

namespace {

void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete), QCoreApplication::processEvents(); }

QStringList texts(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QString missing(int n) { return QStringLiteral("/nonexistent/quorvane-COM%1").arg(n); }

bool topmost(const QWidget &w) { return w.windowFlags().testFlag(Qt::WindowStaysOnTopHint); }

} // namespace

class TestSettingsWindow : public QObject {
    Q_OBJECT
    TempStore store;
    ScriptedPlatform platform;
    std::map<int, std::unique_ptr<PtyPair>> ptys;

    PtyPair &pty(int n)
    {
        if (!ptys[n])
            ptys[n] = std::make_unique<PtyPair>(), store.mapPort(n, ptys[n]->slavePath());
        return *ptys[n];
    }
    static StringFun &console() { return windows::get<StringFun>(); }
    // A settings window created afresh from the store as it is now; its messages only.
    Settings &freshSettings()
    {
        console();
        windows::unload<Settings>();
        settle();
        platform.messages.clear();
        return windows::get<Settings>();
    }

private slots:
    void init()
    {
        store.clear(), platform.messages.clear();
        for (int n = 1; n <= 16; ++n) // no COM number has a device unless a test gives it a pty
            store.mapPort(n, missing(n));
    }
    void cleanup() { windows::unloadAll(), settle(), ptys.clear(); }

    void windowAtStartUp()
    {
        console();
        Settings &s = windows::get<Settings>();
        QCOMPARE(s.windowTitle(), QString("Communications"));
        QVERIFY(!s.fields.CommPortSetting->isEnabled());
        QCOMPARE(texts(s.fields.lstBaudRate), QStringList({"9600", "19200", "38400", "57600", "115200", "230400"}));
        for (QListWidget *l : {s.fields.lstBaudRate, s.lstPorts})
            QCOMPARE(l->selectionMode(), QAbstractItemView::SingleSelection);
        QVERIFY(s.lstPorts->selectedItems().isEmpty());
        s.show();
        // The focus follows the layout table.
        QStringList order;
        QWidget *w = s.fields.lstBaudRate;
        do {
            if (w->window() == &s && w != &s && w->isEnabled() && w->isVisible() && (w->focusPolicy() & Qt::TabFocus))
                order << w->objectName();
            w = w->nextInFocusChain();
        } while (w != s.fields.lstBaudRate && order.size() < 50);
        QCOMPARE(order, QStringList({"lstBaudRate", "MaxStrings", "RCVTimeout", "lstPorts", "DTProtocol",
                                     "OEMProtocol", "cmdOK", "cmdRescanPorts", "cmdUpdate"}));
        // The 5175 x 4185 twips client area, which the 43 hidden fields and their captions lie
        // wholly outside of; the window cannot be stretched to bring them into view.
        QCOMPARE(s.size(), QSize(345, 279));
        QCOMPARE(s.minimumSize(), s.maximumSize());
        const QRect client(QPoint(0, 0), s.size());
        QList<QWidget *> hidden = QList<QWidget *>(s.fields.instrument().begin(), s.fields.instrument().end()) << s.fields.FlowControl;
        QCOMPARE(hidden.size(), 43);
        for (QWidget *h : std::as_const(hidden))
            QVERIFY2(!h->geometry().intersects(client) && !(h->focusPolicy() & Qt::TabFocus), qPrintable(h->objectName()));
        QStringList captions;
        for (QLabel *l : s.hiddenCaptions) {
            QVERIFY2(!l->geometry().intersects(client), qPrintable(l->text()));
            captions << l->text();
        }
        captions.sort();
        QCOMPARE(captions, QStringList({"Aspirate Volume", "Aspirate flow rate", "Auxiliary Volume", "Dispense Volume",
            "Dispense flow rate", "Flow Control", "Loop Times", "Master Mix With Filter",
            "Master Mix Without Filter", "Mastermix Volume", "Max DAC Value", "Max Pressure", "Maximum", "Micro Liters per stroke",
            "Micro Steps per stroke", "Minimum", "Sample Volume", "Sample With Filter", "Sample Without Filter",
            "Sonication  Time", "Sonication Amplitude", "Syringe Volume", "Valve Overshoot", "Valve Speed", "Wait Time",
            "Wash Volume", "Wash With Filter", "Wash Without Filter", "Waste Volume", "Waste With Filter", "Waste Without Filter"}));
    }

    // Creation runs to its end, or stops silently at its first failing step: 2 (the baud
    // index) or 4 (the time-out). It never shows the window.
    void creationSteps_data()
    {
        QTest::addColumn<QString>("baud"); // empty: nothing stored
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<int>("stepsDone");
        QTest::addColumn<int>("interval");
        QTest::newRow("empty store") << "" << "" << 5 << 3000;
        QTest::newRow("time-out with a fraction") << "2" << "1499.6" << 5 << 1500;
        QTest::newRow("time-out not a number") << "2" << "soon" << 3 << 1234;
        QTest::newRow("time-out the timer refuses") << "2" << "-5" << 3 << 1234;
        QTest::newRow("baud index 9") << "9" << "1500" << 1 << 1234;
    }
    void creationSteps()
    {
        QFETCH(QString, baud); QFETCH(QString, timeout); QFETCH(int, stepsDone); QFETCH(int, interval);
        if (!baud.isEmpty())
            store.setText(store.text() + "[Settings]\nBaudRate=" + baud.toUtf8() + "\nRCVTimeout=" + timeout.toUtf8() + '\n');
        StringFun &c = console();
        twips::setGeometry(c.LoadButton[3], 585, 232.5, 1380, 285);
        c.tmrReceiveTimeOut().setInterval(1234);
        Settings &s = freshSettings();
        QCOMPARE(s.lstPorts->count(), 16);
        QCOMPARE(twips::left(&s) == 585 && twips::top(&s) == 232.5, stepsDone >= 3);
        if (stepsDone >= 3)
            QCOMPARE(s.pos(), QPoint(39, 16)); // 585 / 15 and 232.5 / 15 rounded
        QCOMPARE(c.tmrReceiveTimeOut().interval(), interval);
        QCOMPARE(topmost(s), stepsDone == 5);
        QVERIFY(!s.isVisible());
        QVERIFY(platform.messages.isEmpty());
    }

    void geometry_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRectF>("rect");
        QTest::newRow("Label17") << "QLabel" << "Comm Port" << QRectF(120, 240, 1815, 255);
        QTest::newRow("CommPortSetting") << "QLineEdit" << "" << QRectF(1080, 210, 1095, 285);
        QTest::newRow("Baud") << "QLabel" << "Baud Rate" << QRectF(120, 600, 1695, 255);
        QTest::newRow("lstBaudRate") << "QListWidget" << "" << QRectF(1080, 600, 1095, 450);
        QTest::newRow("Label3") << "QLabel" << "Max Strings" << QRectF(120, 1200, 1815, 255);
        QTest::newRow("MaxStrings") << "QLineEdit" << "" << QRectF(1320, 1170, 855, 285);
        QTest::newRow("ReceiveTimeout") << "QLabel" << "RCV TImeout" << QRectF(120, 1590, 1815, 255);
        QTest::newRow("RCVTimeout") << "QLineEdit" << "" << QRectF(1320, 1560, 855, 315);
        QTest::newRow("lstPorts") << "QListWidget" << "" << QRectF(2280, 240, 2775, 3570);
        QTest::newRow("DTProtocol") << "QRadioButton" << "DT Protocol" << QRectF(120, 2040, 1695, 255);
        QTest::newRow("OEMProtocol") << "QRadioButton" << "OEM Protocol" << QRectF(120, 2280, 1575, 255);
        QTest::newRow("cmdOK") << "QPushButton" << "OK" << QRectF(120, 2640, 1935, 375);
        QTest::newRow("cmdRescanPorts") << "QPushButton" << "Re-Scan Ports" << QRectF(120, 3120, 1935, 375);
        QTest::newRow("cmdUpdate") << "QPushButton" << "Update Firmware" << QRectF(120, 3720, 1935, 375);
    }
    void geometry()
    {
        QFETCH(QString, kind); QFETCH(QString, caption); QFETCH(QRectF, rect);
        Settings &s = windows::get<Settings>();
        s.show();
        QWidget *w = s.findChild<QWidget *>(QTest::currentDataTag());
        QVERIFY(w && w->inherits(kind.toLatin1()) && w->isVisible());
        QCOMPARE(QRectF(twips::left(w), twips::top(w), twips::width(w), twips::height(w)), rect);
        QCOMPARE(w->geometry(), QRect(twips::toPixels(rect.left()), twips::toPixels(rect.top()),
                                      twips::toPixels(rect.width()), twips::toPixels(rect.height())));
        if (!caption.isEmpty())
            QCOMPARE(w->property("text").toString(), caption);
    }

    // Typed into the field, or put there from the store while the window is created. Nothing is
    // stored before "OK".
    void maxStringsCheck_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("messages");
        QTest::newRow("30, passing at 3") << "30" << "" << "25" << 1;
        QTest::newRow("fraction above 25") << "25.5" << "" << "25" << 1;
        QTest::newRow("25") << "25" << "" << "25" << 0;
        QTest::newRow("negative") << "-40" << "" << "-40" << 0;
        QTest::newRow("letter refused") << "2a5" << "" << "25" << 0;
        QTest::newRow("stored 30") << "" << "30" << "25" << 1;
        QTest::newRow("stored beyond a double") << "" << "1e400" << "25" << 1;
    }
    void maxStringsCheck()
    {
        QFETCH(QString, typed); QFETCH(QString, stored); QFETCH(QString, shown); QFETCH(int, messages);
        if (!stored.isEmpty())
            store.set("ValvePositions", "MaxStrings", stored);
        Settings &s = freshSettings();
        if (!typed.isEmpty()) {
            s.show();
            s.fields.MaxStrings->clear();
            QTest::keyClicks(s.fields.MaxStrings, typed);
        }
        QCOMPARE(s.fields.MaxStrings->text(), shown);
        QCOMPARE(platform.messages.size(), messages);
        for (const auto &m : std::as_const(platform.messages))
            QVERIFY(m.text == "Maximum number of strings allowed is 25" && m.caption == "Kestrelworks" && m.buttons == QMessageBox::Ok);
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), stored);
    }

    // "OK" stores the fields, lays the console out again and hides the window, whose choices stay
    // in force. Closing the window instead stores nothing, and the console's next transmission
    // creates it again from the store, with DT framing.
    void okOrClose_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("maxStrings");
        QTest::addColumn<int>("rows");
        QTest::newRow("OK with no row count") << true << "" << 10;
        QTest::newRow("OK with 7 rows") << true << "7" << 7;
        QTest::newRow("closed") << false << "7" << 11;
    }
    void okOrClose()
    {
        QFETCH(bool, ok); QFETCH(QString, maxStrings); QFETCH(int, rows);
        PtyPair &line = pty(1);
        StringFun &c = console();
        Settings &s = freshSettings();
        c.move(100, 50);
        twips::setGeometry(c.LoadButton[3], 585, 232.5, 1380, 285);
        s.showFromConsole(); // beside the console's "Settings" button, non-modal, without an owner
        QVERIFY(s.isVisible() && !s.isModal() && !s.parentWidget() && !QApplication::activeModalWidget());
        // 1500 + 585 - 690 and 750 + 232.5 + half the outer height (4185 and the frame)
        const double outer = s.frameGeometry().height() * 15.0;
        QVERIFY(outer >= 4185);
        QCOMPARE(QPointF(twips::left(&s), twips::top(&s)), QPointF(1395, 750 + 232.5 + outer / 2));
        QCOMPARE(s.frameGeometry().topLeft(), QPoint(93, int(std::lround((982.5 + outer / 2) / 15))));

        QTest::mouseClick(s.fields.OEMProtocol, Qt::LeftButton);
        QVERIFY(!s.fields.DTProtocol->isChecked());
        s.fields.MaxStrings->setText(maxStrings);
        s.fields.lstBaudRate->setCurrentRow(4, QItemSelectionModel::ClearAndSelect);
        if (ok) {
            QTest::mouseClick(s.cmdOK, Qt::LeftButton);
        } else {
            s.close();
            QVERIFY(!topmost(s) && !windows::loaded<Settings>());
            settle();
        }
        c.subSendToDrive("/1A1000R"); // STX, address, body, ETX and their XOR; or the DT line
        QCOMPARE(line.receive(ok ? 11 : 9), ok ? QByteArray("\x02" "11A1000R" "\x03" "\x13") : QByteArray("/1A1000R\r"));
        c.tmrReceiveTimeOut().stop();
        Settings *now = windows::loaded<Settings>();
        QVERIFY(now && !now->isVisible() && (now == &s) == ok && now->fields.DTProtocol->isChecked() != ok);
        QCOMPARE(QStringList({now->fields.MaxStrings->text(), store.value("ValvePositions", "MaxStrings"), store.value("Settings", "BaudRate")}),
                 ok ? QStringList({QString::number(rows), QString::number(rows), "4"}) : QStringList({"11", "", ""}));
        QCOMPARE(c.numRows(), int16_t(rows)); // the console laid out again, or as it was
        QVERIFY(c.SendCommand[rows - 1]->isVisibleTo(&c) && !c.SendCommand[rows]->isVisibleTo(&c));
        QVERIFY(platform.messages.isEmpty());
    }

    void portScan_data()
    {
        QTest::addColumn<QList<int>>("free");
        QTest::addColumn<int>("held");
        QTest::addColumn<int>("consolePort");
        QTest::addColumn<QList<int>>("available");
        QTest::newRow("no ports at all") << QList<int>{} << 0 << 0 << QList<int>{};
        QTest::newRow("3 free, 4 held by another opener") << QList<int>{3} << 4 << 0 << QList<int>{3};
        QTest::newRow("console holds its port") << QList<int>{1, 3} << 0 << 1 << QList<int>{};
    }
    void portScan()
    {
        QFETCH(QList<int>, free); QFETCH(int, held); QFETCH(int, consolePort); QFETCH(QList<int>, available);
        for (int n : free)
            pty(n);
        QSerialPort holder(held ? pty(held).slavePath() : QString()); // another program's hold
        QVERIFY(!held || holder.open(QIODevice::ReadWrite));
        StringFun &c = console();
        if (consolePort) {
            c.MSComm1().setPortNumber(consolePort);
            QVERIFY(c.MSComm1().open());
        }
        QStringList expected;
        for (int n = 1; n <= 16; ++n)
            expected << QStringLiteral("COM%1").arg(n) + (available.contains(n) ? "  available" : "  (not available or no such port)");
        Settings &s = freshSettings(); // scans at creation, and again on "Re-Scan Ports"
        QCOMPARE(texts(s.lstPorts), expected);
        s.show();
        QTest::mouseClick(s.cmdRescanPorts, Qt::LeftButton);
        QCOMPARE(texts(s.lstPorts), expected);
        for (int n = 1; n <= 16; ++n) // each entry's tooltip names its device
            QCOMPARE(s.lstPorts->item(n - 1)->toolTip().section('\n', 0, 0),
                     QStringLiteral("COM%1: ").arg(n) + (ptys.count(n) ? ptys[n]->slavePath() : missing(n)));

        // No probe closed the console's port or changed its number: it still carries bytes to
        // its line, and a time-out's close and re-open goes back to the same one.
        QCOMPARE(c.MSComm1().isOpen(), consolePort != 0);
        if (consolePort) {
            QCOMPARE(c.MSComm1().portNumber(), consolePort);
            QVERIFY(c.MSComm1().write("/1Q\r"));
            QCOMPARE(pty(consolePort).receive(4), QByteArray("/1Q\r"));
        }
        // A probe that opened a port closed it again, writing nothing: another opener gets it.
        for (int n : free) {
            QSerialPort other(pty(n).slavePath());
            QVERIFY2(n == consolePort || other.open(QIODevice::ReadWrite), qPrintable(QString::number(n)));
            QCOMPARE(pty(n).drain(), QByteArray());
        }
    }

    // A real press with the pointer at a point near an entry: the press is reported at the top
    // of the list, so only the pointer's own position counts.
    void pressOnPortList_data()
    {
        QTest::addColumn<int>("near");   // the entry the point is placed by
        QTest::addColumn<QPoint>("at");  // x: 0 centre, 1 right of the entries; y: 0 level with, 1 below that entry
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("port");
        QTest::newRow("primary on entry 2") << 2 << QPoint(0, 0) << int(Qt::LeftButton) << "3";
        QTest::newRow("primary right of entry 4") << 4 << QPoint(1, 0) << int(Qt::LeftButton) << "5";
        QTest::newRow("primary below the last entry") << 15 << QPoint(0, 1) << int(Qt::LeftButton) << "16";
        QTest::newRow("secondary on entry 2") << 2 << QPoint(0, 0) << int(Qt::RightButton) << "7";
    }
    void pressOnPortList()
    {
        QFETCH(int, near); QFETCH(QPoint, at); QFETCH(int, button); QFETCH(QString, port);
        store.set("ValvePositions", "CommPortSetting", "7");
        Settings &s = freshSettings();
        s.show();
        QListWidget *list = s.lstPorts;
        list->scrollToItem(list->item(near));
        const QRect r = list->visualItemRect(list->item(near));
        const QPoint p(at.x() ? list->viewport()->width() + 25 : r.center().x(), at.y() ? r.bottom() + 30 : r.center().y());
        const qint32 answer = itemFromPoint(list, MakeLong(p.x(), p.y()));
        QCOMPARE(QPoint(LoWord(answer), HiWord(answer)), QPoint(near, at.x() || at.y()));
        QCursor::setPos(list->viewport()->mapToGlobal(p));
        if (QCursor::pos() != list->viewport()->mapToGlobal(p))
            QSKIP("this platform cannot place the pointer");
        QTest::mousePress(list->viewport(), Qt::MouseButton(button), {}, QPoint(3, 3));
        QTest::mouseRelease(list->viewport(), Qt::MouseButton(button), {}, QPoint(3, 3));
        QCOMPARE(s.fields.CommPortSetting->text(), port);
        const bool picked = button == Qt::LeftButton; // an entry "not available" is picked all the same
        QCOMPARE(list->selectedItems(), picked ? QList<QListWidgetItem *>{list->item(near)} : QList<QListWidgetItem *>{});
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("7")); // stored only by "OK"
        // A re-scan drops the selection; the chosen port stays.
        QTest::mouseClick(s.cmdRescanPorts, Qt::LeftButton);
        QCOMPARE(list->count(), 16);
        QVERIFY(list->selectedItems().isEmpty());
        QCOMPARE(s.fields.CommPortSetting->text(), port);
    }

};

QTEST_MAIN(TestSettingsWindow)
#include "test_settings_window.moc"
