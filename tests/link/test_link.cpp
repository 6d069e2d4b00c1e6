// The device link on a real pseudo-terminal: bytes on the wire in both framings, lazy opening,
// reply recognition and decoding, the time-out, and the port's notifications.
#include "link/commport.h"
#include "link/drivelink.h"
#include "link/portmap.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QSignalSpy>
#include <QTest>

#include <termios.h>

namespace {

// The console side of the link, as the rows would show it.
struct Rows : RowSink {
    QMap<int, QString> text;
    QMap<int, QColor> colour;
    int enables = 0;
    void setResponseText(int row, const QString &t) override { text[row] = t; }
    void setIndicator(int row, const QColor &c) override { colour[row] = c; }
    void enableSendButtons() override { ++enables; }
};

struct Live : LinkSettings {
    framing::Mode mode = framing::Mode::DT;
    QString port = "1";
    QString baud = "38400";
    framing::Mode framingMode() override { return mode; }
    QString portNumberText() override { return port; }
    QString baudRateText() override { return baud; }
};

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
    Rows rows;
    Live live;
    std::unique_ptr<DriveLink> link;

    // Waits until the link has decoded a reply or timed out.
    bool waitForResult(int msecs = 3000)
    {
        QSignalSpy decoded(link.get(), &DriveLink::replyDecoded);
        QSignalSpy timedOut(link.get(), &DriveLink::replyTimedOut);
        QDeadlineTimer deadline(msecs);
        while (decoded.isEmpty() && timedOut.isEmpty() && !deadline.hasExpired())
            QTest::qWait(2);
        return !decoded.isEmpty() || !timedOut.isEmpty();
    }

    void send(const QString &command, int row = 0)
    {
        link->CurrentCommand = command;
        link->CurrentRow = int16_t(row);
        link->ResponseBuffer.clear();
        link->subSendToDrive();
    }

private slots:
    void init()
    {
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        store.mapPort(1, pty->slavePath());
        rows = Rows();
        live = Live();
        link = std::make_unique<DriveLink>(rows, live);
        link->ErrorTexts = framing::errorTexts();
        link->tmrReceiveTimeOut().setInterval(400);
    }
    void cleanup()
    {
        link.reset();
        pty.reset();
    }

    void newPortIsClosedOnPortOneAt9600()
    {
        CommPort port;
        QVERIFY(!port.isOpen());
        QCOMPARE(port.portNumber(), 1);
        QCOMPARE(port.lineSettings(), QString("9600,N,8,1"));
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
        QTest::newRow("OEM trailing spaces") << "/1A10  " << true
                                             << withChecksum(QByteArray("\x02" "11A10  \x03"));
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
        QVERIFY(link->MSComm1().isOpen());
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B19200));

        live.baud = "57600"; // an open port keeps its rate
        send("/1?0");
        pty->receive(5);
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B19200));

        link->MSComm1().close(); // the next send opens with the new rate
        send("/1?0");
        QCOMPARE(pty->receive(5), QByteArray("/1?0\r"));
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B57600));
    }

    void portNumberFromSettings()
    {
        PtyPair other;
        store.mapPort(7, other.slavePath());
        live.port = "7";
        send("/1T");
        QCOMPARE(other.receive(4), QByteArray("/1T\r"));
        QCOMPARE(pty->drain(20), QByteArray());
        QCOMPARE(link->MSComm1().portNumber(), 7);
    }

    void unopenablePortEndsInTimeOut()
    {
        live.port = "16"; // /dev/ttyACM3: not on this machine
        store.mapPort(16, "/nonexistent/tty");
        send("/1?0", 4);
        QVERIFY(waitForResult());
        QCOMPARE(rows.text[4], DriveLink::kTimeoutText);
        QCOMPARE(rows.colour[4], colours::red);
        QCOMPARE(rows.enables, 1);
    }

    void decodedReplies_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("data");
        QTest::newRow("OEM 42") << true << withChecksum(bytes({0x02, 0x30, 0x60, 0x34, 0x32, 0x03}))
                                << "42 No Error" << "42";
        QTest::newRow("OEM noise before STX") << true
                                              << QByteArray("xy0") + withChecksum(bytes({0x02, 0x30, 0x62, 0x03}))
                                              << " Invalid Command" << "";
        QTest::newRow("OEM status 4F") << true << withChecksum(bytes({0x02, 0x30, 0x4F, 0x37, 0x03}))
                                       << "7Device is already executing a command" << "7";
        QTest::newRow("OEM CR in data") << true << withChecksum(bytes({0x02, 0x30, 0x60, 0x31, 0x0D, 0x32, 0x03}))
                                        << "12 No Error" << "12";
        QTest::newRow("DT lead-in") << false << QByteArray("\xff/0`1000\x03\r\n") << "1000 No Error" << "1000";
        QTest::newRow("DT invalid command") << false << QByteArray("\xff/0b\x03\r\n") << " Invalid Command" << "";
        QTest::newRow("DT invalid operand") << false << QByteArray("\xff/0c\x03\r") << " Invalid Operand" << "";
        QTest::newRow("DT busy 4F") << false << QByteArray("\xff/0O55\x03\r")
                                    << "55Device is already executing a command" << "55";
        QTest::newRow("DT error 7") << false << QByteArray("\xff/0g\x03\r") << "Error 7" << "";
        QTest::newRow("DT error 1 empty text") << false << QByteArray("\xff/0a9\x03\r") << "9" << "9";
    }
    void decodedReplies()
    {
        QFETCH(bool, oem);
        QFETCH(QByteArray, reply);
        QFETCH(QString, row);
        QFETCH(QString, data);
        live.mode = oem ? framing::Mode::OEM : framing::Mode::DT;
        QString atDecode;
        connect(link.get(), &DriveLink::replyDecoded, this,
                [&] { atDecode = link->DecodeSettingsResponse(); });
        send("/1?0", 3);
        pty->receive(1);
        pty->send(reply);
        QVERIFY(waitForResult());
        QCOMPARE(rows.text[3], row);
        QCOMPARE(rows.colour[3], colours::green);
        QCOMPARE(rows.enables, 1);
        QVERIFY(!link->tmrReceiveTimeOut().isActive());
        QCOMPARE(atDecode, data); // data text only: no status character, no ETX
        link->ResetResponse();
        QCOMPARE(link->DecodeSettingsResponse(), QString());
    }

    void wrongChecksumEndsInTimeOut()
    {
        live.mode = framing::Mode::OEM;
        send("/1?0", 2);
        pty->receive(1);
        QByteArray reply = withChecksum(bytes({0x02, 0x30, 0x60, 0x34, 0x32, 0x03}));
        reply[reply.size() - 1] = char(reply.back() ^ 0x40);
        pty->send(reply);
        QVERIFY(waitForResult());
        QCOMPARE(rows.text[2], DriveLink::kTimeoutText);
        QCOMPARE(rows.colour[2], colours::red);
        QCOMPARE(rows.enables, 1);
        QCOMPARE(link->OemRxState, uint8_t(0)); // the recogniser dropped the reply
    }

    void secondStxRestartsChecksumKeepingBuffer()
    {
        live.mode = framing::Mode::OEM;
        send("/1?0", 1);
        pty->receive(1);
        // STX "0" "1" STX "0" "`" "5" ETX: the checksum restarts at the second STX.
        const QByteArray head = bytes({0x02, 0x30, 0x31});
        const QByteArray tail = withChecksum(bytes({0x02, 0x30, 0x60, 0x35, 0x03}));
        pty->send(head + tail);
        QVERIFY(waitForResult());
        // Buffer "01" STX "0`5" ETX: status is position 2 ("1", code 1: no text).
        QCOMPARE(rows.text[1], QString("\x02" "0`5"));
        QCOMPARE(link->ErrorCode, QString("1"));
    }

    void crAloneKeepsTheErrorCode()
    {
        send("/1?0", 0);
        pty->receive(1);
        pty->send("\xff/0b\x03\r");
        QVERIFY(waitForResult());
        QCOMPARE(link->ErrorCode, QString("2"));
        rows.text.clear();
        send("/1?0", 5);
        pty->receive(1);
        pty->send("\r");
        QVERIFY(waitForResult());
        QCOMPARE(link->ErrorCode, QString("2"));
        QCOMPARE(rows.text[5], QString(" Invalid Command"));
        QCOMPARE(rows.colour[5], colours::green);
    }

    void crAloneBeforeAnyReplyLeavesTheRow()
    {
        send("/1?0", 6);
        pty->receive(1);
        pty->send("\r");
        QVERIFY(waitForResult());
        QVERIFY(!rows.text.contains(6)); // no error code yet: no text to show
        QCOMPARE(rows.colour[6], colours::green);
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

    void timeOutFlushesClosesAndReopens()
    {
        send("/1?0", 2);
        pty->receive(5);
        link->MSComm1().setReceiveThreshold(0); // let characters pile up unread
        pty->send("junk");
        QTest::qWait(50);
        QVERIFY(link->MSComm1().countReceived() > 0);
        QVERIFY(waitForResult());
        QCOMPARE(rows.text[2], DriveLink::kTimeoutText);
        QVERIFY(link->MSComm1().isOpen());
        QCOMPARE(link->MSComm1().countReceived(), 0);
        QVERIFY(!link->tmrReceiveTimeOut().isActive());
    }

    void lateReplyIsDecodedIntoTheCurrentRow()
    {
        send("/1?0", 2);
        pty->receive(5);
        QVERIFY(waitForResult());
        QCOMPARE(rows.text[2], DriveLink::kTimeoutText);
        link->CurrentRow = 4;
        pty->send("\xff/0`77\x03\r");
        QVERIFY(waitForResult());
        QCOMPARE(rows.text[4], QString("77 No Error"));
    }

    void oneNotificationPerCharacter()
    {
        CommPort port;
        port.setPortNumber(1);
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
        send("/1?0");
        pty->receive(5);
        pty->send("\xff/0`0\x03\r");
        QVERIFY(waitForResult());
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

    void missingAndBusyDevicesFailToOpen()
    {
        CommPort port;
        store.mapPort(3, "/nonexistent/ttyX");
        port.setPortNumber(3);
        QVERIFY(!port.open());
        port.setPortNumber(1);
        QVERIFY(port.open());
        CommPort second;
        second.setPortNumber(1);
        QVERIFY(!second.open()); // held by the first
        QVERIFY(!port.setLineSettings("fast"));
        QCOMPARE(port.lineSettings(), QString("9600,N,8,1"));
    }

    void lineSettingsText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::newRow("bare rate") << "38400" << true;
        QTest::newRow("full") << "9600,N,8,1" << true;
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
        QCOMPARE(portmap::defaultDevicePath(1), QString("/dev/ttyS0"));
        QCOMPARE(portmap::defaultDevicePath(4), QString("/dev/ttyS3"));
        QCOMPARE(portmap::defaultDevicePath(5), QString("/dev/ttyUSB0"));
        QCOMPARE(portmap::defaultDevicePath(12), QString("/dev/ttyUSB7"));
        QCOMPARE(portmap::defaultDevicePath(13), QString("/dev/ttyACM0"));
        QCOMPARE(portmap::defaultDevicePath(16), QString("/dev/ttyACM3"));
        QCOMPARE(portmap::defaultDevicePath(17), QString());
#endif
        store.mapPort(2, "/dev/serial/by-id/usb-x");
        QCOMPARE(portmap::devicePath(2), QString("/dev/serial/by-id/usb-x"));
        QCOMPARE(store.value("Ports", "COM2"), QString("/dev/serial/by-id/usb-x"));
    }
};

QTEST_MAIN(TestLink)
#include "test_link.moc"
