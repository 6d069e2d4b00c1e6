// The device link on a real pseudo-terminal: bytes on the wire in both framings, lazy opening,
// reply recognition and decoding, the time-out, and the port's notifications.
#include "link/commport.h"
#include "link/drivelink.h"
#include "link/portmap.h"
#include "support/linkfakes.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QSignalSpy>
#include <QTest>

#include <termios.h>

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b.append(char(v));
    return b;
}

QByteArray withChecksum(QByteArray frame)
{
    char sum = 0;
    for (char c : frame)
        sum ^= c;
    return frame + sum;
}

speed_t lineSpeed(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    return cfgetospeed(&t);
}

} // namespace

class TestLink : public QObject {
    Q_OBJECT

    TempStore store;
    std::unique_ptr<PtyPair> pty;
    RecordedRows rows;
    LiveSettings live;
    std::unique_ptr<DriveLink> link;

    void send(const QString &command, int row = 0) { sendFromRow(*link, command, row); }
    // Sends, takes the command off the line, answers with `reply` and waits for the result.
    void exchange(const QByteArray &reply, int row)
    {
        send("/1?0", row);
        pty->receive(1);
        pty->send(reply);
        QVERIFY(waitForResult(*link));
    }

private slots:
    void init()
    {
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        store.mapPort(1, pty->slavePath());
        rows = RecordedRows();
        live = LiveSettings();
        link = std::make_unique<DriveLink>(rows, live);
        link->ErrorTexts = framing::errorTexts();
        link->tmrReceiveTimeOut().setInterval(400);
    }
    void cleanup()
    {
        link.reset();
        pty.reset();
    }

    void framesOnTheWire_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("oem");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("DT /1A1000R") << "/1A1000R" << false << QByteArray("/1A1000R\r");
        QTest::newRow("OEM /1A1000R") << "/1A1000R" << true
                                      << bytes({0x02, 0x31, 0x31, 0x41, 0x31, 0x30, 0x30, 0x30, 0x52, 0x03, 0x13});
        QTest::newRow("DT /1") << "/1" << false << QByteArray("/1\r");
        QTest::newRow("OEM /1") << "/1" << true << bytes({0x02, 0x31, 0x31, 0x03, 0x01});
        QTest::newRow("DT /") << "/" << false << QByteArray("/\r");
        QTest::newRow("OEM /") << "/" << true << bytes({0x02, 0x31, 0x03, 0x30});
        QTest::newRow("DT trailing spaces") << "/1A10  " << false << QByteArray("/1A10  \r");
        QTest::newRow("OEM trailing spaces") << "/1A10  " << true << withChecksum("\x02" "11A10  \x03");
        QTest::newRow("OEM checksum STX") << "/1AB" << true << bytes({0x02, 0x31, 0x31, 0x41, 0x42, 0x03, 0x02});
        QTest::newRow("OEM checksum ETX") << "/1AC" << true << bytes({0x02, 0x31, 0x31, 0x41, 0x43, 0x03, 0x03});
        QTest::newRow("OEM checksum CR") << "/1AM" << true << bytes({0x02, 0x31, 0x31, 0x41, 0x4D, 0x03, 0x0D});
        QTest::newRow("OEM high byte") << QString("/1\u00e9") << true << bytes({0x02, 0x31, 0x31, 0xE9, 0x03, 0xE8});
    }
    void framesOnTheWire()
    {
        QFETCH(QString, command);
        QFETCH(bool, oem);
        QFETCH(QByteArray, wire);
        live.mode = oem ? framing::Mode::OEM : framing::Mode::DT;
        send(command);
        QCOMPARE(pty->receive(wire.size()), wire);
        QCOMPARE(pty->drain(30), QByteArray()); // nothing more, no CR after an OEM frame
        QCOMPARE(link->UnitAddress, command.mid(1, 1));
    }

    void trimmedArgumentReplacesCurrentCommand()
    {
        link->CurrentCommand = "/1?0";
        link->subSendToDrive("   ");
        QCOMPARE(pty->receive(5), QByteArray("/1?0\r"));
        link->subSendToDrive("/2T");
        QCOMPARE(pty->receive(4), QByteArray("/2T\r"));
        QCOMPARE(link->CurrentCommand, QString("/2T"));
        QCOMPARE(link->UnitAddress, QString("2"));
    }

    void opensLazilyWithTheSettingsInForce()
    {
        QVERIFY(!link->MSComm1().isOpen());
        live.baud = "19200";
        send("/1?0");
        QCOMPARE(pty->receive(5), QByteArray("/1?0\r"));
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B19200));
        live.baud = "57600"; // an open port keeps its rate
        send("/1?0");
        pty->receive(5);
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B19200));
        link->MSComm1().close(); // the next send opens with the new rate
        send("/1?0");
        QCOMPARE(pty->receive(5), QByteArray("/1?0\r"));
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B57600));
        // The port number is read at that moment too.
        PtyPair other;
        store.mapPort(7, other.slavePath());
        live.port = "7";
        link->MSComm1().close();
        send("/1T");
        QCOMPARE(other.receive(4), QByteArray("/1T\r"));
        QCOMPARE(pty->drain(20), QByteArray());
    }

    void unopenablePortEndsInTimeOut()
    {
        live.port = "16";
        store.mapPort(16, "/nonexistent/tty");
        send("/1?0", 4);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[4], DriveLink::kTimeoutText);
        QCOMPARE(rows.colour[4], colours::red);
        QCOMPARE(rows.enables, 1);
    }

    void replies_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("data"); // what DecodeSettingsResponse gives after the decode
        const QByteArray r42 = withChecksum(bytes({0x02, 0x30, 0x60, 0x34, 0x32, 0x03}));
        QByteArray badSum = r42;
        badSum[badSum.size() - 1] = char(badSum.back() ^ 0x40);
        QTest::newRow("OEM 42") << true << r42 << "42 No Error" << "42";
        QTest::newRow("OEM noise before STX") << true << QByteArray("xy0") + withChecksum(bytes({0x02, 0x30, 0x62, 0x03}))
                                              << " Invalid Command" << "";
        QTest::newRow("OEM CR in data") << true << withChecksum(bytes({0x02, 0x30, 0x60, 0x31, 0x0D, 0x32, 0x03}))
                                        << "12 No Error" << "12";
        // STX "0" "1" STX "0" "`" "5" ETX: the checksum restarts at the second STX, the buffer
        // keeps "01", so the status is "1" (code 1: no text).
        QTest::newRow("OEM second STX") << true << bytes({0x02, 0x30, 0x31}) + withChecksum(bytes({0x02, 0x30, 0x60, 0x35, 0x03}))
                                        << "\x02" "0`5" << "\x02" "0`5";
        QTest::newRow("OEM wrong checksum") << true << badSum << DriveLink::kTimeoutText << "";
        QTest::newRow("DT lead-in") << false << QByteArray("\xff/0`1000\x03\r\n") << "1000 No Error" << "1000";
        QTest::newRow("DT invalid command") << false << QByteArray("\xff/0b\x03\r\n") << " Invalid Command" << "";
        QTest::newRow("DT invalid operand") << false << QByteArray("\xff/0c\x03\r") << " Invalid Operand" << "";
        QTest::newRow("DT busy 4F") << false << QByteArray("\xff/0O55\x03\r")
                                    << "55Device is already executing a command" << "55";
        QTest::newRow("DT error 7") << false << QByteArray("\xff/0g\x03\r") << "Error 7" << "";
        QTest::newRow("DT error 1 empty text") << false << QByteArray("\xff/0a9\x03\r") << "9" << "9";
    }
    void replies()
    {
        QFETCH(bool, oem);
        QFETCH(QByteArray, reply);
        QFETCH(QString, row);
        QFETCH(QString, data);
        live.mode = oem ? framing::Mode::OEM : framing::Mode::DT;
        QString atDecode;
        connect(link.get(), &DriveLink::replyDecoded, this, [&] { atDecode = link->DecodeSettingsResponse(); });
        exchange(reply, 3);
        QCOMPARE(rows.text[3], row);
        QCOMPARE(rows.colour[3], row == DriveLink::kTimeoutText ? colours::red : colours::green);
        QCOMPARE(rows.enables, 1);
        QVERIFY(!link->tmrReceiveTimeOut().isActive());
        QCOMPARE(atDecode, data); // data text only: no status character, no ETX
        if (oem)
            QCOMPARE(link->OemRxState, uint8_t(0)); // the checksum byte ends every reply, good or not
        link->ResetResponse();
        QCOMPARE(link->DecodeSettingsResponse(), QString());
    }

    void crAloneKeepsTheErrorCode()
    {
        exchange("\r", 6);
        QVERIFY(!rows.text.contains(6)); // no error code yet: no text to show
        QCOMPARE(rows.colour[6], colours::green);
        exchange("\xff/0b\x03\r", 0);
        exchange("\r", 5);
        QCOMPARE(link->ErrorCode, QString("2"));
        QCOMPARE(rows.text[5], QString(" Invalid Command"));
        QCOMPARE(rows.colour[5], colours::green);
    }

    void failedNotificationShowsCommunicationsError()
    {
        live.mode = framing::Mode::OEM;
        link->CurrentRow = 8;
        link->MSComm1_OnComm(); // port closed: cannot be read
        QCOMPARE(rows.text[8], DriveLink::kCommErrorText);
        send("/1?0", 9);
        pty->receive(1);
        link->MSComm1_OnComm(); // open, nothing waiting: OEM needs a character
        QCOMPARE(rows.text[9], DriveLink::kCommErrorText);
        QVERIFY(link->tmrReceiveTimeOut().isActive()); // the time-out keeps running
    }

    void timeOutFlushesReopensAndLateReplyGoesToCurrentRow()
    {
        send("/1?0", 2);
        pty->receive(5);
        link->MSComm1().setReceiveThreshold(0); // let characters pile up unread
        pty->send("junk");
        QTRY_VERIFY_WITH_TIMEOUT(link->MSComm1().countReceived() > 0, 300);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[2], DriveLink::kTimeoutText);
        QVERIFY(link->MSComm1().isOpen());
        QCOMPARE(link->MSComm1().countReceived(), 0);
        QVERIFY(!link->tmrReceiveTimeOut().isActive());
        link->CurrentRow = 4;
        link->MSComm1().setReceiveThreshold(1);
        pty->send("\xff/0`77\x03\r");
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[4], QString("77 No Error"));
    }

    void oneNotificationPerCharacter()
    {
        CommPort port;
        port.setReceiveThreshold(1);
        port.setReadLength(1);
        QVERIFY(port.open());
        QString got;
        int notifications = 0;
        connect(&port, &CommPort::receiveNotification, this, [&] {
            ++notifications;
            got += port.read().value_or("?");
        });
        pty->send("ABCDEFGH");
        QTRY_COMPARE(got, QString("ABCDEFGH"));
        QCOMPARE(notifications, 8);
    }

    void trafficTapSeesBothDirections()
    {
        QSignalSpy tap(&link->MSComm1(), &CommPort::traffic);
        exchange("\xff/0`0\x03\r", 0);
        QVERIFY(tap.size() >= 3);
        QCOMPARE(tap.first().at(1).value<CommPort::Direction>(), CommPort::Direction::Sent);
        QCOMPARE(tap.first().at(2).toByteArray(), QByteArray("/1?0"));
        QCOMPARE(tap.last().at(1).value<CommPort::Direction>(), CommPort::Direction::Received);
        QVERIFY(tap.first().at(0).toLongLong() <= tap.last().at(0).toLongLong());
    }

    void unplugIsReportedOnceAndTheNextSendOpensAgain()
    {
        send("/1?0");
        pty->receive(5);
        QSignalSpy lost(&link->MSComm1(), &CommPort::deviceLost);
        const QString path = pty->slavePath();
        pty->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 2000);
        QCOMPARE(lost.first().first().toString(), path);
        QVERIFY(!link->MSComm1().isOpen());
        QTest::qWait(50);
        QCOMPARE(lost.size(), 1);
        pty = std::make_unique<PtyPair>(); // the adapter is back
        store.mapPort(1, pty->slavePath());
        send("/1T");
        QCOMPARE(pty->receive(4), QByteArray("/1T\r"));
    }

    void newMissingAndBusyPorts()
    {
        CommPort port; // a new port: closed, on port 1, at 9600
        QVERIFY(!port.isOpen());
        QCOMPARE(port.portNumber(), 1);
        QCOMPARE(port.lineSettings(), QString("9600,N,8,1"));
        store.mapPort(3, "/nonexistent/ttyX");
        port.setPortNumber(3);
        QVERIFY(!port.open());
        port.setPortNumber(1);
        QVERIFY(port.open());
        CommPort second;
        QVERIFY(!second.open()); // held by the first
        QVERIFY(!port.setLineSettings("fast"));
        QCOMPARE(port.lineSettings(), QString("9600,N,8,1"));
    }

    void lineSettingsText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::newRow("bare rate") << "38400" << true;
        QTest::newRow("even 7 2") << "19200,E,7,2" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("bad parity") << "9600,Q,8,1" << false;
        QTest::newRow("bad bits") << "9600,N,9,1" << false;
        QTest::newRow("three parts") << "9600,N,8" << false;
    }
    void lineSettingsText()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QCOMPARE(parseLineSettings(text).has_value(), ok);
    }

    void defaultDeviceNumbers()
    {
#ifndef Q_OS_WIN
        const std::pair<int, const char *> paths[] = {{1, "/dev/ttyS0"},    {4, "/dev/ttyS3"},   {5, "/dev/ttyUSB0"},
                                                      {12, "/dev/ttyUSB7"}, {13, "/dev/ttyACM0"}, {16, "/dev/ttyACM3"},
                                                      {17, ""}};
        for (const auto &[n, path] : paths)
            QCOMPARE(portmap::defaultDevicePath(n), QString(path));
#endif
        store.mapPort(2, "/dev/serial/by-id/usb-x");
        QCOMPARE(portmap::devicePath(2), QString("/dev/serial/by-id/usb-x"));
        QCOMPARE(store.value("Ports", "COM2"), QString("/dev/serial/by-id/usb-x"));
    }
};

QTEST_MAIN(TestLink)
#include "test_link.moc"
