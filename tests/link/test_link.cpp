// The device link on a real pseudo-terminal: bytes on the wire in both framings, lazy opening,
// reply recognition and decoding, the time-out, and the port's notifications.
#include "link/commport.h"
#include "link/drivelink.h"
#include "link/portmap.h"
#include "support/linkfakes.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// An OEM reply from its hex bytes, STX to ETX, with its checksum.
QByteArray withChecksum(const char *h) { return withChecksum(QByteArray::fromHex(h)); }

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

private slots:
    void init()
    {
        link.reset();
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        store.mapPort(1, pty->slavePath());
        link = freshLink(rows, live, 400);
    }

    // A command goes out (bytes on the wire), a reply comes in and is decoded.
    void exchanges_data()
    {
        QTest::addColumn<bool>("oem");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("argument"); // passed to subSendToDrive; blank: the command is sent
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("data"); // what DecodeSettingsResponse gives after the decode
        QByteArray badSum = withChecksum("023060343203");
        badSum.back() = char(badSum.back() ^ 0x40);
        QTest::newRow("DT frame, lead-in, over 64 characters") << false << "/1A1000R" << "" << QByteArray("/1A1000R\r")
            << "\xff/0`" + QByteArray(100, '7') + "\x03\r\n" << QString(100, '7') + " No Error" << QString(100, '7');
        QTest::newRow("OEM frame, 42") << true << "/1A1000R" << "" << QByteArray::fromHex("0231314131303030520313")
                                       << withChecksum("023060343203") << "42 No Error" << "42";
        QTest::newRow("OEM empty address, noise before STX") << true << "/" << "" << QByteArray::fromHex("02310330")
                                                             << "xy0" + withChecksum("02306203") << " Invalid Command" << "";
        QTest::newRow("OEM trailing spaces, CR in data") << true << "/1A10  " << "" << withChecksum("023131413130202003")
                                                         << withChecksum("023060310D3203") << "12 No Error" << "12";
        // STX "0" "1" STX "0" "`" "5" ETX: the checksum restarts at the second STX, the buffer
        // keeps "01", so the status is "1" (code 1: no text).
        QTest::newRow("OEM checksum CR, second STX") << true << "/1AM" << "" << QByteArray::fromHex("023131414D030D")
            << QByteArray::fromHex("023031") + withChecksum("0230603503") << "\x02" "0`5" << "\x02" "0`5";
        // A character without an 8-bit code goes out as "?", and the checksum is that of "?".
        QTest::newRow("OEM high byte, euro sign, wrong checksum") << true << QString("/1\u00e9\u20ac") << ""
            << QByteArray::fromHex("023131E93F03D7") << badSum << DriveLink::kTimeoutText << "";
        QTest::newRow("DT blank argument, busy 4F") << false << "/1?0" << "   " << QByteArray("/1?0\r")
            << QByteArray("\xff/0O55\x03\r") << "55Device is already executing a command" << "55";
        QTest::newRow("DT argument replaces, error 7") << false << "/1?0" << "/2T" << QByteArray("/2T\r")
                                                       << QByteArray("\xff/0g\x03\r") << "Error 7" << "";
        QTest::newRow("DT CR alone, no code yet") << false << "/1?0" << "" << QByteArray("/1?0\r") << QByteArray("\r")
                                                  << "" << "";
        // Checksums that are STX and ETX close the reply like any other.
        QTest::newRow("OEM reply checksum STX") << true << "/1?0" << "" << QByteArray::fromHex("0231313F30030E")
                                                << withChecksum("0230605303") << "S No Error" << "S";
        QTest::newRow("OEM reply checksum ETX") << true << "/1?0" << "" << QByteArray::fromHex("0231313F30030E")
                                                << withChecksum("0230605203") << "R No Error" << "R";
    }
    void exchanges()
    {
        QFETCH(bool, oem);
        QFETCH(QString, command);
        QFETCH(QString, argument);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, reply);
        QFETCH(QString, row);
        QFETCH(QString, data);
        live.mode = oem ? framing::Mode::OEM : framing::Mode::DT;
        QString atDecode;
        connect(link.get(), &DriveLink::replyDecoded, this, [&] { atDecode = link->DecodeSettingsResponse(); });
        QSignalSpy notified(&link->MSComm1(), &CommPort::receiveNotification);
        link->CurrentCommand = command;
        link->CurrentRow = 3;
        // A notification whose read fails (the port is not open yet) is a communications error,
        // in both framings; an empty read is one only in OEM, where every recogniser state needs
        // a character. Neither disturbs the reply that follows, nor stops the time-out.
        link->MSComm1_OnComm();
        QCOMPARE(rows.text.take(3), DriveLink::kCommErrorText);
        link->subSendToDrive(argument);
        QCOMPARE(pty->receive(wire.size()), wire);
        QCOMPARE(pty->drain(30), QByteArray()); // nothing more, no CR after an OEM frame
        link->MSComm1_OnComm();
        QCOMPARE(rows.text.take(3), oem ? DriveLink::kCommErrorText : QString());
        QVERIFY(link->tmrReceiveTimeOut().isActive());
        pty->send(reply);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[3], row);
        QCOMPARE(rows.outcome[3], row == DriveLink::kTimeoutText ? Outcome::TimedOut : Outcome::Decoded);
        QCOMPARE(rows.enables, 1);
        QVERIFY(!link->tmrReceiveTimeOut().isActive());
        QCOMPARE(atDecode, data); // data text only: no status character, no ETX
        // The checksum byte ends every reply, good or not; one that is STX starts the next.
        if (oem)
            QCOMPARE(link->OemRxState, uint8_t(reply.endsWith('\x02') ? 1 : 0));
        // One notification per character (what the traffic tap shows is the monitor tests' business).
        QTRY_COMPARE(notified.size(), int(reply.size()));
    }

    // The port opens at a send, with the number and rate then in force, and keeps them while
    // open. A device that goes away is reported once and closes the port; the next send opens it
    // again. A port that cannot be opened says nothing until the time-out.
    void opening()
    {
        // COM7 is an adapter's by-id link, gone when it is pulled (a bare /dev/pts number may be
        // handed to another program's terminal at once).
        PtyPair other;
        QTemporaryDir dir;
        const QString adapter = dir.filePath("usb-adapter");
        QVERIFY(QFile::link(other.slavePath(), adapter));
        store.mapPort(7, adapter);
        store.mapPort(16, "/nonexistent/tty");
        QSignalSpy lost(&link->MSComm1(), &CommPort::deviceLost);
        QVERIFY(!link->MSComm1().isOpen());
        live.baud = "19200";
        send("/1?0");
        QCOMPARE(pty->receive(5), QByteArray("/1?0\r"));
        live.port = "7";
        live.baud = "57600";
        send("/1T");
        QCOMPARE(pty->receive(4), QByteArray("/1T\r"));
        QCOMPARE(lineSpeed(pty->masterFd()), speed_t(B19200));
        link->MSComm1().close();
        send("/1?0");
        QCOMPARE(other.receive(5), QByteArray("/1?0\r"));
        QCOMPARE(lineSpeed(other.masterFd()), speed_t(B57600));
        QFile::remove(adapter);
        other.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 2000);
        QCOMPARE(lost.first().first().toString(), adapter);
        QVERIFY(!link->MSComm1().isOpen());
        QTest::qWait(50);
        QCOMPARE(lost.size(), 1);
        QVERIFY(waitForResult(*link)); // the command in flight when it went ends in the time-out
        QCOMPARE(rows.text.value(0), DriveLink::kTimeoutText);
        live.port = "1";
        send("/1T");
        QCOMPARE(pty->receive(4), QByteArray("/1T\r"));
        live.port = "16";
        link->MSComm1().close();
        send("/1?0", 4);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[4], DriveLink::kTimeoutText);
    }

    // The time-out flushes what waits unread and re-opens the port, leaving a half OEM reply and
    // the recogniser as they were (a babbling line's bound is the reply fuzz target's business).
    // Late replies go to the row then current; one without a status character (a CR alone, or a
    // "0" in the last place) keeps the last code.
    void timeOutAndLateReplies()
    {
        live.mode = framing::Mode::OEM;
        send("/1?0", 2);
        pty->receive(7);
        pty->send("\x02" "0`4");
        QTRY_COMPARE(link->OemRxState, uint8_t(2));
        // Characters pile up unread, as fast as the line takes them: the port keeps at most
        // 64 KiB and leaves the rest to the line's own flow.
        link->MSComm1().setReceiveThreshold(0);
        ::fcntl(pty->masterFd(), F_SETFL, ::fcntl(pty->masterFd(), F_GETFL) | O_NONBLOCK);
        const QByteArray chunk(4096, 'j');
        qint64 written = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 300) {
            for (ssize_t n; (n = ::write(pty->masterFd(), chunk.constData(), size_t(chunk.size()))) > 0;)
                written += n;
            QCoreApplication::processEvents();
        }
        QVERIFY(written > 65536);
        QCOMPARE(link->MSComm1().countReceived(), 65536);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[2], DriveLink::kTimeoutText);
        QVERIFY(link->MSComm1().isOpen());
        QCOMPARE(link->MSComm1().countReceived(), 0);
        QCOMPARE(link->OemRxState, uint8_t(2));
        QVERIFY(link->ResponseBuffer.endsWith("0`4"));
        live.mode = framing::Mode::DT;
        link->ResetResponse();
        link->MSComm1().setReceiveThreshold(1);
        for (const char *reply : {"\xff/0b\x03\r", "\r", "x0\r"}) {
            ++link->CurrentRow;
            pty->send(reply);
            QVERIFY(waitForResult(*link));
            QCOMPARE(rows.text[link->CurrentRow], QString(" Invalid Command"));
            QCOMPARE(rows.outcome[link->CurrentRow], Outcome::Decoded);
        }
    }

    void ports()
    {
        CommPort port; // a new port is at 9600
        QCOMPARE(port.lineSettings(), QString("9600,N,8,1"));
        QVERIFY(port.open());
        CommPort second;
        QVERIFY(!second.open()); // held by the first
        // Line settings: a bare rate or rate, parity, data bits, stop bits; anything else is refused.
        const std::pair<const char *, bool> texts[] = {{"38400", true},       {"19200,E,7,2", true}, {"fast", false},
                                                       {"9600,Q,8,1", false}, {"9600,N,9,1", false}, {"9600,N,8", false}};
        for (const auto &[text, ok] : texts)
            QVERIFY2(port.setLineSettings(text) == ok, text);
        QCOMPARE(port.lineSettings(), QString("19200,E,7,2"));
        // Without a stored override, COM numbers map to these devices.
        const std::pair<int, const char *> paths[] = {{1, "/dev/ttyS0"},    {4, "/dev/ttyS3"},   {5, "/dev/ttyUSB0"},
                                                      {12, "/dev/ttyUSB7"}, {13, "/dev/ttyACM0"}, {16, "/dev/ttyACM3"},
                                                      {17, ""}};
        for (const auto &[n, path] : paths)
            QCOMPARE(portmap::defaultDevicePath(n), QString(path));
    }
};

QTEST_MAIN(TestLink)
#include "test_link.moc"
