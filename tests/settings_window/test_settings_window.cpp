// The settings window "Communications" as the operator meets it: real windows offscreen, a real
// settings file, pseudo-terminals mapped to COM numbers, ports held by another process.
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
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTest>

#include <memory>
#include <unistd.h>

using portdiscovery::kAvailable;
using portdiscovery::kNotAvailable;

namespace {

// Run as "--hold <device>": opens the device with a serial port of its own, says "held", and
// keeps it open until its standard input ends (bounded by an alarm).
int holdPort(const char *path)
{
    ::alarm(60);
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(path));
    if (!port.open(QIODevice::ReadWrite)) {
        ::write(1, "failed\n", 7);
        return 1;
    }
    ::write(1, "held\n", 5);
    char buf[64];
    while (::read(0, buf, sizeof buf) > 0) {
    }
    return 0;
}

// Another program holding a device open.
class Holder {
public:
    bool start(const QString &path)
    {
        m_process.start(QCoreApplication::applicationFilePath(), {"--hold", path});
        if (!m_process.waitForStarted(5000))
            return false;
        QByteArray said;
        for (int i = 0; i < 50 && !said.contains('\n'); ++i)
            if (m_process.waitForReadyRead(100))
                said += m_process.readAllStandardOutput();
        return said.startsWith("held");
    }
    ~Holder()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }

private:
    QProcess m_process;
};

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QStringList entries(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QStringList expectedEntries(const QList<int> &available)
{
    QStringList out;
    for (int n = 1; n <= 16; ++n)
        out << QStringLiteral("COM%1").arg(n) + (available.contains(n) ? kAvailable : kNotAvailable);
    return out;
}

bool topmost(const QWidget &w) { return w.windowFlags().testFlag(Qt::WindowStaysOnTopHint); }

} // namespace

class TestSettingsWindow : public QObject {
    Q_OBJECT
    TempStore store;
    ScriptedPlatform platform;
    std::map<int, std::unique_ptr<PtyPair>> ptys;

    // Every COM number points at a device that does not exist unless a test gives it a pty.
    void mapNothing()
    {
        for (int n = 1; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
    }
    PtyPair &pty(int n)
    {
        auto &p = ptys[n];
        if (!p) {
            p = std::make_unique<PtyPair>();
            store.mapPort(n, p->slavePath());
        }
        return *p;
    }
    static StringFun &console() { return windows::get<StringFun>(); }
    // A settings window created afresh from the store as it is now.
    static Settings &freshSettings()
    {
        console();
        if (windows::loaded<Settings>()) {
            windows::unload<Settings>();
            settle();
        }
        return windows::get<Settings>();
    }
    QList<platform::Message> maxStringsMessages() const
    {
        QList<platform::Message> out;
        for (const auto &m : platform.messages)
            if (m.text == "Maximum number of strings allowed is 25")
                out << m;
        return out;
    }

private slots:
    void init()
    {
        store.clear();
        mapNothing();
        platform.messages.clear();
    }
    void cleanup()
    {
        windows::unloadAll();
        settle();
        ptys.clear();
    }

    void startUpWithEmptyStore()
    {
        StringFun &c = console();
        Settings &s = windows::get<Settings>();
        QCOMPARE(s.windowTitle(), QString("Communications"));
        QVERIFY(!s.isVisible());
        QCOMPARE(s.fields.CommPortSetting->text(), QString("1"));
        QCOMPARE(s.fields.baudRateText(), QString("38400"));
        QCOMPARE(s.fields.RCVTimeout->text(), QString("3000"));
        QCOMPARE(s.fields.MaxStrings->text(), QString("11"));
        QVERIFY(s.fields.DTProtocol->isChecked());
        QVERIFY(!s.fields.OEMProtocol->isChecked());
        QCOMPARE(c.tmrReceiveTimeOut().interval(), 3000);
        QVERIFY(topmost(s));
        QCOMPARE(s.lstPorts->count(), 16);
        QVERIFY(s.lstPorts->selectedItems().isEmpty());
        QVERIFY(platform.messages.isEmpty());
        // Loading stores nothing.
        QVERIFY(!store.contains("ValvePositions", "MaxStrings"));
    }

    void creationSteps_data()
    {
        QTest::addColumn<QString>("baud");
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<bool>("placed");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("isTopmost");
        QTest::newRow("all steps") << "2" << "1500" << true << 1500 << true;
        QTest::newRow("time-out with a fraction") << "2" << "1499.6" << true << 1500 << true;
        QTest::newRow("time-out not a number") << "2" << "soon" << true << 1234 << false;
        QTest::newRow("time-out the timer refuses") << "2" << "-5" << true << 1234 << false;
        QTest::newRow("time-out beyond 32 bits") << "2" << "3000000000" << true << 1234 << false;
        QTest::newRow("baud index 9") << "9" << "1500" << false << 1234 << false;
        QTest::newRow("baud not a number") << "fast" << "1500" << false << 1234 << false;
    }
    void creationSteps()
    {
        QFETCH(QString, baud);
        QFETCH(QString, timeout);
        QFETCH(bool, placed);
        QFETCH(int, interval);
        QFETCH(bool, isTopmost);
        store.set("Settings", "BaudRate", baud);
        store.set("Settings", "RCVTimeout", timeout);
        StringFun &c = console();
        twips::setGeometry(c.LoadButton[3], 585, 232.5, 1380, 285);
        c.tmrReceiveTimeOut().setInterval(1234);
        Settings &s = freshSettings();
        QCOMPARE(s.lstPorts->count(), 16); // step 1 always runs
        QCOMPARE(twips::left(&s) == 585 && twips::top(&s) == 232.5, placed);
        if (placed)
            QCOMPARE(s.pos(), QPoint(39, 16)); // 585 / 15 and 232.5 / 15 rounded
        QCOMPARE(c.tmrReceiveTimeOut().interval(), interval);
        QCOMPARE(topmost(s), isTopmost);
        QVERIFY(!s.isVisible());
        QVERIFY(platform.messages.isEmpty());
    }

    void geometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("top");
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("height");
        QTest::newRow("Label17") << "Label17" << "QLabel" << "Comm Port" << 120.0 << 240.0 << 1815.0 << 255.0;
        QTest::newRow("CommPortSetting") << "CommPortSetting" << "QLineEdit" << "" << 1080.0 << 210.0 << 1095.0 << 285.0;
        QTest::newRow("Baud") << "Baud" << "QLabel" << "Baud Rate" << 120.0 << 600.0 << 1695.0 << 255.0;
        QTest::newRow("lstBaudRate") << "lstBaudRate" << "QListWidget" << "" << 1080.0 << 600.0 << 1095.0 << 450.0;
        QTest::newRow("Label3") << "Label3" << "QLabel" << "Max Strings" << 120.0 << 1200.0 << 1815.0 << 255.0;
        QTest::newRow("MaxStrings") << "MaxStrings" << "QLineEdit" << "" << 1320.0 << 1170.0 << 855.0 << 285.0;
        QTest::newRow("ReceiveTimeout") << "ReceiveTimeout" << "QLabel" << "RCV TImeout" << 120.0 << 1590.0 << 1815.0 << 255.0;
        QTest::newRow("RCVTimeout") << "RCVTimeout" << "QLineEdit" << "" << 1320.0 << 1560.0 << 855.0 << 315.0;
        QTest::newRow("lstPorts") << "lstPorts" << "QListWidget" << "" << 2280.0 << 240.0 << 2775.0 << 3570.0;
        QTest::newRow("DTProtocol") << "DTProtocol" << "QRadioButton" << "DT Protocol" << 120.0 << 2040.0 << 1695.0 << 255.0;
        QTest::newRow("OEMProtocol") << "OEMProtocol" << "QRadioButton" << "OEM Protocol" << 120.0 << 2280.0 << 1575.0 << 255.0;
        QTest::newRow("cmdOK") << "cmdOK" << "QPushButton" << "OK" << 120.0 << 2640.0 << 1935.0 << 375.0;
        QTest::newRow("cmdRescanPorts") << "cmdRescanPorts" << "QPushButton" << "Re-Scan Ports" << 120.0 << 3120.0 << 1935.0 << 375.0;
        QTest::newRow("cmdUpdate") << "cmdUpdate" << "QPushButton" << "Update Firmware" << 120.0 << 3720.0 << 1935.0 << 375.0;
    }
    void geometry()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(double, left);
        QFETCH(double, top);
        QFETCH(double, width);
        QFETCH(double, height);
        Settings &s = windows::get<Settings>();
        s.show();
        QWidget *w = s.findChild<QWidget *>(name);
        QVERIFY(w);
        QVERIFY(w->inherits(kind.toLatin1()));
        QVERIFY(w->isVisible());
        QCOMPARE(twips::left(w), left);
        QCOMPARE(twips::top(w), top);
        QCOMPARE(twips::width(w), width);
        QCOMPARE(twips::height(w), height);
        QCOMPARE(w->geometry(), QRect(twips::toPixels(left), twips::toPixels(top), twips::toPixels(width),
                                      twips::toPixels(height)));
        if (!caption.isEmpty())
            QCOMPARE(w->property("text").toString(), caption);
        // Wholly inside the client area.
        QVERIFY(QRect(QPoint(0, 0), s.size()).contains(w->geometry()));
    }

    void clientAreaAndControlStates()
    {
        Settings &s = windows::get<Settings>();
        QCOMPARE(s.size(), QSize(345, 279)); // 5175 x 4185 twips
        QVERIFY(!s.fields.CommPortSetting->isEnabled());
        QCOMPARE(s.fields.lstBaudRate->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(s.lstPorts->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(entries(s.fields.lstBaudRate),
                 QStringList({"9600", "19200", "38400", "57600", "115200", "230400"}));
        // One option group: choosing one clears the other.
        s.show();
        QTest::mouseClick(s.fields.OEMProtocol, Qt::LeftButton);
        QVERIFY(s.fields.OEMProtocol->isChecked());
        QVERIFY(!s.fields.DTProtocol->isChecked());
        QTest::mouseClick(s.fields.DTProtocol, Qt::LeftButton);
        QVERIFY(s.fields.DTProtocol->isChecked());
        QVERIFY(!s.fields.OEMProtocol->isChecked());
    }

    void focusOrder()
    {
        Settings &s = windows::get<Settings>();
        s.show();
        QStringList order;
        QWidget *w = s.fields.lstBaudRate;
        for (int guard = 0; guard < 200; ++guard) {
            if (w->window() == &s && w != &s && w->isEnabled() && w->isVisible()
                && (w->focusPolicy() & Qt::TabFocus) && !order.contains(w->objectName()))
                order << w->objectName();
            w = w->nextInFocusChain();
            if (w == s.fields.lstBaudRate)
                break;
        }
        QCOMPARE(order, QStringList({"lstBaudRate", "MaxStrings", "RCVTimeout", "lstPorts", "DTProtocol",
                                     "OEMProtocol", "cmdOK", "cmdRescanPorts", "cmdUpdate"}));
    }

    void hiddenFieldsLieOutside()
    {
        Settings &s = windows::get<Settings>();
        s.show();
        const QRect client(QPoint(0, 0), s.size());
        QList<QWidget *> hidden;
        for (QLineEdit *e : s.fields.instrument())
            hidden << e;
        hidden << s.fields.FlowControl;
        QCOMPARE(hidden.size(), 43);
        for (QWidget *w : std::as_const(hidden)) {
            QVERIFY2(!w->geometry().intersects(client), qPrintable(w->objectName()));
            QVERIFY2(!(w->focusPolicy() & Qt::TabFocus), qPrintable(w->objectName()));
        }
        QStringList captions;
        for (QLabel *l : s.hiddenCaptions) {
            QVERIFY2(!l->geometry().intersects(client), qPrintable(l->text()));
            captions << l->text();
        }
        captions.sort();
        QStringList expected = {"Valve Speed", "Valve Overshoot", "Master Mix With Filter",
            "Master Mix Without Filter", "Sample With Filter", "Sample Without Filter", "Wash With Filter",
            "Wash Without Filter", "Waste With Filter", "Waste Without Filter", "Micro Steps per stroke",
            "Micro Liters per stroke", "Max Pressure", "Syringe Volume", "Auxiliary Volume", "Sample Volume",
            "Wash Volume", "Mastermix Volume", "Waste Volume", "Aspirate Volume", "Dispense Volume",
            "Aspirate flow rate", "Dispense flow rate", "Loop Times", "Sonication Amplitude",
            "Sonication  Time", "Wait Time", "Max DAC Value", "Flow Control", "Minimum", "Maximum"};
        expected.sort();
        QCOMPARE(captions, expected);
        // The window cannot be stretched to bring them into view.
        QCOMPARE(s.minimumSize(), s.maximumSize());
    }

    void maxStringsTyping_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("messages");
        QTest::newRow("26") << "26" << "25" << 1;
        QTest::newRow("30, passing at 3") << "30" << "25" << 1;
        QTest::newRow("100, caught at 100") << "100" << "25" << 1;
        QTest::newRow("25") << "25" << "25" << 0;
        QTest::newRow("3") << "3" << "3" << 0;
        QTest::newRow("0") << "0" << "0" << 0;
        QTest::newRow("negative") << "-40" << "-40" << 0;
        QTest::newRow("fraction") << "2.5" << "2.5" << 0;
        QTest::newRow("fraction above 25") << "25.5" << "25" << 1;
        QTest::newRow("letter refused") << "2a5" << "25" << 0;
        QTest::newRow("letters only") << "ab" << "" << 0;
    }
    void maxStringsTyping()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, messages);
        Settings &s = windows::get<Settings>();
        s.show();
        s.fields.MaxStrings->clear();
        platform.messages.clear();
        QTest::keyClicks(s.fields.MaxStrings, typed);
        QCOMPARE(s.fields.MaxStrings->text(), shown);
        const auto got = maxStringsMessages();
        QCOMPARE(platform.messages.size(), messages);
        QCOMPARE(got.size(), messages);
        for (const auto &m : got) {
            QCOMPARE(m.caption, QString("Kestrelworks"));
            QCOMPARE(m.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        }
        QVERIFY(!store.contains("ValvePositions", "MaxStrings")); // nothing stored before "OK"
    }

    void storedMaxStringsAbove25()
    {
        store.set("ValvePositions", "MaxStrings", "30");
        console(); // its start-up may already have created the window once
        platform.messages.clear();
        Settings &s = freshSettings();
        QCOMPARE(s.fields.MaxStrings->text(), QString("25"));
        QCOMPARE(maxStringsMessages().size(), 1);
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("30"));
    }

    void okButton_data()
    {
        QTest::addColumn<QString>("maxStrings");
        QTest::addColumn<QString>("stored");
        QTest::newRow("empty") << "" << "10";
        QTest::newRow("7") << "7" << "7";
        QTest::newRow("25") << "25" << "25";
        QTest::newRow("negative") << "-2" << "-2";
    }
    void okButton()
    {
        QFETCH(QString, maxStrings);
        QFETCH(QString, stored);
        Settings &s = freshSettings();
        s.showFromConsole();
        s.fields.MaxStrings->setText(maxStrings);
        s.fields.lstBaudRate->setCurrentRow(4, QItemSelectionModel::ClearAndSelect);
        QTest::mouseClick(s.cmdOK, Qt::LeftButton);
        QCOMPARE(s.fields.MaxStrings->text(), stored);
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), stored);
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("1"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("4"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("3000"));
        QCOMPARE(store.value("ValvePositions", "MaximumSteps"), QString("24000"));
        QVERIFY(!s.isVisible());
        QCOMPARE(windows::loaded<Settings>(), &s); // hidden, not destroyed
        QVERIFY(platform.messages.isEmpty());
    }

    void portScan_data()
    {
        QTest::addColumn<QList<int>>("free");
        QTest::addColumn<QList<int>>("heldByProgram");
        QTest::addColumn<QList<int>>("heldHere");
        QTest::addColumn<int>("consolePort");
        QTest::addColumn<QList<int>>("available");
        QTest::newRow("no ports at all") << QList<int>{} << QList<int>{} << QList<int>{} << 0 << QList<int>{};
        QTest::newRow("3 free, 4 held by another program")
            << QList<int>{3} << QList<int>{4} << QList<int>{} << 0 << QList<int>{3};
        QTest::newRow("3 free, 4 held by another port object")
            << QList<int>{3} << QList<int>{} << QList<int>{4} << 0 << QList<int>{3};
        QTest::newRow("first and last") << QList<int>{1, 16} << QList<int>{} << QList<int>{} << 0 << QList<int>{1, 16};
        QTest::newRow("console holds its port")
            << QList<int>{1, 3} << QList<int>{} << QList<int>{} << 1 << QList<int>{};
    }
    void portScan()
    {
        QFETCH(QList<int>, free);
        QFETCH(QList<int>, heldByProgram);
        QFETCH(QList<int>, heldHere);
        QFETCH(int, consolePort);
        QFETCH(QList<int>, available);
        for (int n : free + heldByProgram + heldHere)
            pty(n);
        std::vector<std::unique_ptr<Holder>> holders;
        for (int n : heldByProgram) {
            holders.push_back(std::make_unique<Holder>());
            QVERIFY(holders.back()->start(pty(n).slavePath()));
        }
        std::vector<std::unique_ptr<QSerialPort>> here;
        for (int n : heldHere) {
            here.push_back(std::make_unique<QSerialPort>(pty(n).slavePath()));
            QVERIFY(here.back()->open(QIODevice::ReadWrite));
        }
        StringFun &c = console();
        if (consolePort) {
            c.MSComm1().setPortNumber(consolePort);
            QVERIFY(c.MSComm1().open());
        }
        // At creation, and again on "Re-Scan Ports".
        Settings &s = freshSettings();
        QCOMPARE(entries(s.lstPorts), expectedEntries(available));
        s.show();
        QTest::mouseClick(s.cmdRescanPorts, Qt::LeftButton);
        QCOMPARE(entries(s.lstPorts), expectedEntries(available));
        QVERIFY(s.lstPorts->selectedItems().isEmpty());

        if (consolePort) {
            // No probe closed the console's port: it still carries bytes to the line.
            QVERIFY(c.MSComm1().isOpen());
            QVERIFY(c.MSComm1().write("/1Q\r"));
            QCOMPARE(pty(consolePort).receive(4), QByteArray("/1Q\r"));
        } else {
            QVERIFY(!c.MSComm1().isOpen());
        }
        // A probe that opened a port closed it again: another opener gets it, and nothing was
        // written to the line.
        for (int n : free) {
            if (n == consolePort)
                continue;
            QSerialPort other(pty(n).slavePath());
            QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(QString::number(n)));
            other.close();
            QCOMPARE(pty(n).drain(), QByteArray());
        }
        // Each entry names its device.
        for (int n = 1; n <= 16; ++n) {
            const QString device = ptys.count(n) ? ptys[n]->slavePath()
                                                 : QStringLiteral("/nonexistent/quorvane-COM%1").arg(n);
            QVERIFY2(s.lstPorts->item(n - 1)->toolTip().contains(device),
                     qPrintable(s.lstPorts->item(n - 1)->toolTip()));
            QVERIFY(s.lstPorts->item(n - 1)->toolTip().startsWith(QStringLiteral("COM%1: ").arg(n)));
        }
    }

    void packing_data()
    {
        QTest::addColumn<int>("lo");
        QTest::addColumn<int>("hi");
        QTest::addColumn<qint32>("packed");
        QTest::addColumn<int>("low");
        QTest::newRow("0,0") << 0 << 0 << qint32(0) << 0;
        QTest::newRow("5,1") << 5 << 1 << qint32(0x00010005) << 5;
        QTest::newRow("100,200") << 100 << 200 << qint32(0x00C80064) << 100;
        QTest::newRow("negative x") << -3 << 7 << qint32(0x0007FFFD) << -3;
        QTest::newRow("negative y") << 10 << -1 << qint32(0xFFFF000A) << 10;
        QTest::newRow("32767") << 32767 << 0 << qint32(0x00007FFF) << 32767;
    }
    void packing()
    {
        QFETCH(int, lo);
        QFETCH(int, hi);
        QFETCH(qint32, packed);
        QFETCH(int, low);
        QCOMPARE(portdiscovery::MakeLong(lo, hi), packed);
        QCOMPARE(int(portdiscovery::LoWord(packed)), low);
        QCOMPARE(int(portdiscovery::HiWord(packed)), hi);
    }

    void pointToEntry_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("entry");
        QTest::addColumn<bool>("outside");
        QTest::newRow("on entry 0") << "on 0" << 0 << false;
        QTest::newRow("on entry 2") << "on 2" << 2 << false;
        QTest::newRow("left edge of entry 5") << "edge 5" << 5 << false;
        QTest::newRow("below the last entry") << "below" << 15 << true;
        QTest::newRow("right of entry 4") << "right 4" << 4 << true;
        QTest::newRow("above the first entry") << "above" << 0 << true;
    }
    void pointToEntry()
    {
        QFETCH(QString, where);
        QFETCH(int, entry);
        QFETCH(bool, outside);
        Settings &s = windows::get<Settings>();
        s.show();
        QListWidget *list = s.lstPorts;
        QPoint p;
        const auto rect = [&](int i) { return list->visualItemRect(list->item(i)); };
        if (where == "below") {
            list->scrollToBottom();
            p = QPoint(20, rect(15).bottom() + 30);
        } else if (where == "above") {
            list->scrollToTop();
            p = QPoint(20, -12);
        } else if (where.startsWith("right")) {
            p = QPoint(list->viewport()->width() + 25, rect(4).center().y());
        } else if (where.startsWith("edge")) {
            p = QPoint(0, rect(5).top() + 1);
        } else {
            p = rect(where.mid(3).toInt()).center();
        }
        const qint32 r = portdiscovery::itemFromPoint(list, portdiscovery::MakeLong(p.x(), p.y()));
        QCOMPARE(int(portdiscovery::LoWord(r)), entry);
        QCOMPARE(int(portdiscovery::HiWord(r)), outside ? 1 : 0);

        QListWidget empty;
        QCOMPARE(portdiscovery::itemFromPoint(&empty, portdiscovery::MakeLong(5, 5)), -1);
    }

    void mouseDown_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("pointer");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("selected");
        QTest::newRow("primary on entry 2") << int(Qt::LeftButton) << "2" << "3" << 2;
        QTest::newRow("primary on entry 0") << int(Qt::LeftButton) << "0" << "1" << 0;
        QTest::newRow("primary on entry 9") << int(Qt::LeftButton) << "9" << "10" << 9;
        QTest::newRow("primary below the last entry") << int(Qt::LeftButton) << "below" << "16" << 15;
        QTest::newRow("secondary on entry 2") << int(Qt::RightButton) << "2" << "5" << -1;
        QTest::newRow("middle on entry 2") << int(Qt::MiddleButton) << "2" << "5" << -1;
    }
    void mouseDown()
    {
        QFETCH(int, button);
        QFETCH(QString, pointer);
        QFETCH(QString, port);
        QFETCH(int, selected);
        store.set("ValvePositions", "CommPortSetting", "5");
        Settings &s = freshSettings();
        s.show();
        QListWidget *list = s.lstPorts;
        QPoint p;
        if (pointer == "below") {
            list->scrollToBottom();
            p = QPoint(20, list->visualItemRect(list->item(15)).bottom() + 30);
        } else {
            list->scrollToItem(list->item(pointer.toInt()));
            p = list->visualItemRect(list->item(pointer.toInt())).center();
        }
        QCursor::setPos(list->viewport()->mapToGlobal(p));
        if (QCursor::pos() != list->viewport()->mapToGlobal(p))
            QSKIP("this platform cannot place the pointer");
        // The press is reported at the top of the list: only the pointer's own position counts.
        QTest::mousePress(list->viewport(), Qt::MouseButton(button), {}, QPoint(3, 3));
        QTest::mouseRelease(list->viewport(), Qt::MouseButton(button), {}, QPoint(3, 3));
        QCOMPARE(s.fields.CommPortSetting->text(), port);
        if (selected < 0) {
            QVERIFY(list->selectedItems().isEmpty());
        } else {
            QCOMPARE(list->selectedItems().size(), 1);
            QCOMPARE(list->row(list->selectedItems().first()), selected);
            QVERIFY(list->item(selected)->text().endsWith(kNotAvailable)); // picked all the same
        }
        QVERIFY(!store.contains("ValvePositions", "CommPortSetting") || store.value("ValvePositions", "CommPortSetting") == "5");
    }

    void rescanDropsTheSelection()
    {
        pty(2);
        Settings &s = freshSettings();
        s.show();
        QListWidget *list = s.lstPorts;
        const QPoint p = list->visualItemRect(list->item(1)).center();
        QCursor::setPos(list->viewport()->mapToGlobal(p));
        s.lstPorts_MouseDown(1, 0, 0, 0);
        QCOMPARE(s.fields.CommPortSetting->text(), QString("2"));
        QCOMPARE(list->selectedItems().size(), 1);
        QTest::mouseClick(s.cmdRescanPorts, Qt::LeftButton);
        QCOMPARE(list->count(), 16);
        QVERIFY(list->selectedItems().isEmpty());
        QCOMPARE(s.fields.CommPortSetting->text(), QString("2"));
        QCOMPARE(list->item(1)->text(), QString("COM2") + kAvailable);
    }

    void unloadLeavesTopmost()
    {
        Settings &s = windows::get<Settings>();
        QVERIFY(topmost(s));
        s.show();
        s.close(); // the operator closes the window: it is unloaded
        QVERIFY(!topmost(s));
        QVERIFY(!windows::loaded<Settings>());
        settle();
        QVERIFY(platform.messages.isEmpty());
    }

    void showFromConsole()
    {
        StringFun &c = console();
        Settings &s = windows::get<Settings>();
        c.move(100, 50);
        twips::setGeometry(c.LoadButton[3], 585, 232.5, 1380, 285);
        s.showFromConsole();
        QVERIFY(s.isVisible());
        QVERIFY(!s.isModal());
        QVERIFY(!s.parentWidget());
        QVERIFY(!QApplication::activeModalWidget());
        // 1500 + 585 - 690 and 750 + 232.5 + 4185 / 2
        QCOMPARE(twips::left(&s), 1395.0);
        QCOMPARE(twips::top(&s), 3075.0);
        QCOMPARE(s.frameGeometry().topLeft(), QPoint(93, 205));
    }

    void oemChosenThenClosedWithoutOk()
    {
        PtyPair &line = pty(1);
        StringFun &c = console();
        Settings &s = windows::get<Settings>();
        s.showFromConsole();
        QTest::mouseClick(s.fields.OEMProtocol, Qt::LeftButton);
        c.link.subSendToDrive("/1A1000R");
        QByteArray oem;
        oem += '\x02';
        oem += "11A1000R";
        oem += '\x03';
        char sum = 0;
        for (char ch : oem)
            sum ^= ch;
        oem += sum;
        QCOMPARE(line.receive(oem.size()), oem);
        c.tmrReceiveTimeOut().stop();

        s.close();
        QVERIFY(!windows::loaded<Settings>());
        settle();
        c.link.subSendToDrive("/1A1000R");
        QCOMPARE(line.receive(9), QByteArray("/1A1000R\r"));
        c.tmrReceiveTimeOut().stop();
        Settings *again = windows::loaded<Settings>();
        QVERIFY(again);
        QVERIFY(!again->isVisible());
        QVERIFY(again->fields.DTProtocol->isChecked());
        QCOMPARE(again->lstPorts->count(), 16);
        QVERIFY(!store.contains("ValvePositions", "CommPortSetting")); // nothing was stored
    }

    // Needs the console's layout: "OK" re-lays the console from MaxStrings.
    void okRelaysTheConsole()
    {
        StringFun &c = console();
        Settings &s = windows::get<Settings>();
        s.fields.MaxStrings->clear();
        QTest::mouseClick(s.cmdOK, Qt::LeftButton);
        QCOMPARE(c.NumRows, int16_t(10));
        QVERIFY(c.SendCommand[9]->isVisibleTo(&c));
        QVERIFY(!c.SendCommand[10]->isVisibleTo(&c));
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--hold") == 0)
        return holdPort(argv[2]);
    QApplication app(argc, argv);
    TestSettingsWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_settings_window.moc"
