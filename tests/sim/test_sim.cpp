// The drive simulator: the bus model fed bytes on a clock the test turns by hand (both
// framings, status codes, programs that take time, the firmware dialogue, every fault), then
// the pty server with a plain QSerialPort client, and the quorvane-drivesim program.
#include "sim/drivebus.h"
#include "sim/ptyserver.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using sim::DriveBus;

namespace {

QByteArray dt(const QByteArray &command)
{
    return command + '\r';
}

char xorOf(const QByteArray &b)
{
    char x = 0;
    for (char c : b)
        x ^= c;
    return x;
}

// "/1A1000R" as an OEM frame: STX, address, "1", body, ETX, checksum.
QByteArray oem(const QByteArray &command)
{
    QByteArray f;
    f.append('\x02').append(command.mid(1, 1)).append('1').append(command.mid(2)).append('\x03');
    return f + xorOf(f);
}

QByteArray dtReply(char status, const QByteArray &data)
{
    return QByteArray("\xff/0") + status + data + "\x03\r\n";
}

QByteArray oemReply(char status, const QByteArray &data)
{
    QByteArray f = QByteArray("\x02") + '0' + status + data + '\x03';
    return f + xorOf(f);
}

// A bus on a clock that only moves when the test says so.
struct Bench {
    qint64 t = 1'000'000;
    DriveBus bus;
    Bench() { bus.setClock([this] { return t; }); }
    void ms(double m) { t += qint64(m * 1000); }
    QByteArray ask(const QByteArray &command) { return bus.feed(dt(command)); }
    sim::Drive &d(char a = '1') { return *bus.drive(a); }
};

// Reads from the port until `count` bytes came or the time ran out, pumping events.
QByteArray readSome(QSerialPort &port, int count, int msecs = 3000)
{
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    while (got.size() < count && !deadline.hasExpired()) {
        got += port.readAll();
        if (got.size() >= count)
            break;
        port.waitForReadyRead(10);
        QCoreApplication::processEvents();
    }
    return got + port.readAll();
}

// Reads exactly as many bytes as the expected reply has (or what came in 3 s) and compares.
#define expectReply(port, reply)                                                               \
    do {                                                                                       \
        const QByteArray expected_ = (reply);                                                  \
        QCOMPARE(readSome((port), int(expected_.size())), expected_);                         \
    } while (false)

bool openPort(QSerialPort &port, const QString &path)
{
    port.setPortName(path);
    port.setBaudRate(9600);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    port.clear();
    return true;
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private slots:
    // ---- framing and status codes --------------------------------------------------------

    void dtReplies_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("version") << QByteArray("/1&") << dtReply('`', "REZizavur V1.05");
        QTest::newRow("position") << QByteArray("/1?0") << dtReply('`', "0");
        QTest::newRow("velocity") << QByteArray("/1?1") << dtReply('`', "1000");
        QTest::newRow("inputs") << QByteArray("/1?3") << dtReply('`', "3");
        QTest::newRow("max position") << QByteArray("/1?6") << dtReply('`', "1000000");
        QTest::newRow("line rate") << QByteArray("/1?7") << dtReply('`', "9600");
        QTest::newRow("id number") << QByteArray("/1?8") << dtReply('`', "291");
        QTest::newRow("device id") << QByteArray("/1!") << dtReply('`', "ID 291");
        QTest::newRow("two queries") << QByteArray("/1?0?1") << dtReply('`', "01000");
        QTest::newRow("status F") << QByteArray("/1F") << dtReply('`', "");
        QTest::newRow("empty body") << QByteArray("/1") << dtReply('`', "");
        QTest::newRow("trailing spaces") << QByteArray("/1?0  ") << dtReply('`', "0");
        QTest::newRow("terminate idle") << QByteArray("/1T") << dtReply('`', "");
        QTest::newRow("not run without R") << QByteArray("/1A1000") << dtReply('`', "");
        QTest::newRow("unknown letter") << QByteArray("/1X") << dtReply('b', "");
        QTest::newRow("lower case letter") << QByteArray("/1a100R") << dtReply('b', "");
        QTest::newRow("R not last") << QByteArray("/1RA100") << dtReply('b', "");
        QTest::newRow("G without g") << QByteArray("/1A10G5R") << dtReply('b', "");
        QTest::newRow("g without G") << QByteArray("/1gA10R") << dtReply('b', "");
        QTest::newRow("nested too deep") << QByteArray("/1gggggA1G2G2G2G2G2R") << dtReply('b', "");
        QTest::newRow("missing operand") << QByteArray("/1AR") << dtReply('c', "");
        QTest::newRow("beyond travel") << QByteArray("/1A1000001R") << dtReply('c', "");
        QTest::newRow("huge number") << QByteArray("/1A99999999999R") << dtReply('c', "");
        QTest::newRow("query without number") << QByteArray("/1?") << dtReply('c', "");
        QTest::newRow("query 9") << QByteArray("/1?9") << dtReply('c', "");
        QTest::newRow("velocity 0") << QByteArray("/1V0R") << dtReply('c', "");
        QTest::newRow("output 4") << QByteArray("/1J4R") << dtReply('c', "");
        QTest::newRow("operand on T") << QByteArray("/1T5") << dtReply('c', "");
        QTest::newRow("odd rate") << QByteArray("/1b1234R") << dtReply('c', "");
        QTest::newRow("wait too long") << QByteArray("/1M30001R") << dtReply('c', "");
        QTest::newRow("error drops queries") << QByteArray("/1?0X") << dtReply('b', "");
    }
    void dtReplies()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        Bench b;
        QCOMPARE(b.ask(command), reply);
        QCOMPARE(b.d().position(), 0); // nothing of these moved the drive
        QVERIFY(!b.d().busy());
    }

    void oemReplies_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("reply");
        // The example frame of the console: 02 31 31 41 31 30 30 30 52 03 13.
        QTest::newRow("move") << QByteArray::fromHex("0231314131303030520313") << oemReply('`', "");
        QTest::newRow("version") << oem("/1&") << oemReply('`', "REZizavur V1.05");
        QTest::newRow("unknown") << oem("/1X") << oemReply('b', "");
        QTest::newRow("bad operand") << oem("/1?9") << oemReply('c', "");
        QTest::newRow("empty body") << QByteArray::fromHex("0231310301") << oemReply('`', "");
        // Checksums that look like STX, ETX and CR are still just the checksum.
        QTest::newRow("checksum 02") << oem("/1P10R") << oemReply('`', "");
        QTest::newRow("checksum 03") << oem("/1P11R") << oemReply('`', "");
        QTest::newRow("checksum 0D") << oem("/1?3") << oemReply('`', "3");
        QTest::newRow("noise before frame") << QByteArray("zz\r\x03") + oem("/1?8") << oemReply('`', "291");
        QTest::newRow("STX restarts") << QByteArray("\x02\x31\x31?") + oem("/1?8") << oemReply('`', "291");
    }
    void oemReplies()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        Bench b;
        b.bus.setTimeScale(0);
        QCOMPARE(b.bus.feed(frame), reply);
    }

    void oemPositionReplyBytes()
    {
        // The reply 02 30 60 34 32 03 + XOR of those six bytes carries position 42.
        Bench b;
        b.d().setPosition(42);
        const QByteArray six = QByteArray::fromHex("023060343203");
        QCOMPARE(b.bus.feed(oem("/1?0")), six + xorOf(six));
    }

    void frameSplitAcrossFeeds()
    {
        Bench b;
        const QByteArray f = oem("/1?8");
        QByteArray got;
        for (char c : f)
            got += b.bus.feed(QByteArray(1, c));
        QCOMPARE(got, oemReply('`', "291"));
        got.clear();
        for (char c : dt("/1?8"))
            got += b.bus.feed(QByteArray(1, c));
        QCOMPARE(got, dtReply('`', "291"));
    }

    void noReply_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray badSum = oem("/1?0");
        badSum[badSum.size() - 1] = char(badSum.at(badSum.size() - 1) ^ 0x40);
        QTest::newRow("wrong checksum") << badSum;
        QTest::newRow("no drive there dt") << dt("/2?0");
        QTest::newRow("no drive there oem") << oem("/2?0");
        QTest::newRow("empty address dt") << dt("/");
        QTest::newRow("empty address oem") << QByteArray::fromHex("02310330");
        QTest::newRow("no CR yet") << QByteArray("/1?0");
        QTest::newRow("OEM without checksum yet") << oem("/1?0").chopped(1);
        QTest::newRow("garbage") << QByteArray("hello\r\n1?0\r");
    }
    void noReply()
    {
        QFETCH(QByteArray, bytes);
        Bench b;
        QCOMPARE(b.bus.feed(bytes), QByteArray());
        b.ms(5000);
        QCOMPARE(b.bus.poll(), QByteArray());
        // The bus is not wedged by what came before: one byte ends a waiting OEM frame (as its
        // wrong checksum), and a "/" starts a new DT frame.
        QCOMPARE(b.bus.feed(QByteArray(1, '\0')), QByteArray());
        QCOMPARE(b.ask("/1?8"), dtReply('`', "291"));
    }

    void severalDrives()
    {
        Bench b;
        b.bus.setTimeScale(0);
        sim::DriveConfig other;
        other.versionText = "REZizavur V2.10";
        other.deviceId = 7;
        b.bus.addDrive('2', other);
        b.bus.addDrive(':', other); // drive "A"
        QCOMPARE(b.ask("/2A500R"), dtReply('`', ""));
        QCOMPARE(b.ask("/:A700R"), dtReply('`', ""));
        QCOMPARE(b.ask("/1?0"), dtReply('`', "0"));
        QCOMPARE(b.ask("/2?0"), dtReply('`', "500"));
        QCOMPARE(b.bus.feed(oem("/:?0")), oemReply('`', "700"));
        QCOMPARE(b.ask("/2&"), dtReply('`', "REZizavur V2.10"));
        QCOMPARE(b.ask("/:?8"), dtReply('`', "7"));
        QCOMPARE(b.ask("/3?0"), QByteArray());
        b.bus.removeDrive('2');
        QCOMPARE(b.ask("/2?0"), QByteArray());
        QCOMPARE((b.bus.addresses()), (std::vector<char>{'1', ':'}));
    }

    // ---- programs that take time ---------------------------------------------------------

    void busyWhileMoving()
    {
        Bench b; // 1000 steps per second, real time
        QCOMPARE(b.ask("/1A1000R"), dtReply('@', ""));
        b.ms(500);
        QCOMPARE(b.ask("/1?0"), dtReply('@', "500"));
        // A second move is refused with code 15, and does not run.
        QCOMPARE(b.ask("/1A0R"), dtReply('O', ""));
        QCOMPARE(b.ask("/1F"), dtReply('@', ""));
        b.ms(501);
        QCOMPARE(b.ask("/1?0"), dtReply('`', "1000"));
        QCOMPARE(b.ask("/1?5"), dtReply('`', "1"));
        // Terminate stops a move where it is.
        QCOMPARE(b.ask("/1A0R"), dtReply('@', ""));
        b.ms(250);
        QCOMPARE(b.ask("/1T"), dtReply('`', ""));
        b.ms(1000);
        QCOMPARE(b.ask("/1?0"), dtReply('`', "750"));
    }

    void programs_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<qint64>("startPosition");
        QTest::addColumn<int>("afterMs");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<qint64>("position");
        QTest::addColumn<int>("outputs");
        QTest::newRow("absolute there") << QByteArray("/1A1000A0R") << qint64(0) << 1000 << true << qint64(1000) << 0;
        QTest::newRow("absolute back") << QByteArray("/1A1000A0R") << qint64(0) << 1500 << true << qint64(500) << 0;
        QTest::newRow("absolute done") << QByteArray("/1A1000A0R") << qint64(0) << 2000 << false << qint64(0) << 0;
        QTest::newRow("relative") << QByteArray("/1P1000D500R") << qint64(0) << 1500 << false << qint64(500) << 0;
        QTest::newRow("relative halfway") << QByteArray("/1P1000D500R") << qint64(0) << 1250 << true << qint64(750) << 0;
        QTest::newRow("home") << QByteArray("/1Z10000R") << qint64(4000) << 4000 << false << qint64(0) << 0;
        QTest::newRow("home limited") << QByteArray("/1Z1000R") << qint64(4000) << 5000 << false << qint64(3000) << 0;
        QTest::newRow("velocity") << QByteArray("/1V2000A1000R") << qint64(0) << 500 << false << qint64(1000) << 0;
        QTest::newRow("velocity only") << QByteArray("/1V2000R") << qint64(0) << 0 << false << qint64(0) << 0;
        QTest::newRow("wait holds") << QByteArray("/1M500A100R") << qint64(0) << 500 << true << qint64(0) << 0;
        QTest::newRow("loop middle") << QByteArray("/1gA1000M500A0M500G5R") << qint64(0) << 3500 << true << qint64(500) << 0;
        QTest::newRow("loop end") << QByteArray("/1gA1000M500A0M500G5R") << qint64(0) << 15000 << false << qint64(0) << 0;
        QTest::newRow("loop not yet done") << QByteArray("/1gA1000M500A0M500G5R") << qint64(0) << 14999 << true << qint64(0) << 0;
        QTest::newRow("outputs") << QByteArray("/1J1M500J2M500J3M500J0R") << qint64(0) << 700 << true << qint64(0) << 2;
        QTest::newRow("outputs end") << QByteArray("/1J1M500J2M500J3M500J0R") << qint64(0) << 1500 << false << qint64(0) << 0;
        QTest::newRow("halts pass on inputs") << QByteArray("/1H01A1000H01A0R") << qint64(0) << 1500 << true << qint64(500) << 0;
        QTest::newRow("for ever") << QByteArray("/1gP10G0R") << qint64(0) << 100000 << true << qint64(100000) << 0;
    }
    void programs()
    {
        QFETCH(QByteArray, command);
        QFETCH(qint64, startPosition);
        QFETCH(int, afterMs);
        QFETCH(bool, busy);
        QFETCH(qint64, position);
        QFETCH(int, outputs);
        Bench b;
        b.d().setPosition(startPosition);
        // Every program but the bare velocity change is still running when its reply leaves.
        QCOMPARE(b.ask(command).at(3), command == "/1V2000R" ? '`' : '@');
        b.ms(afterMs);
        QCOMPARE(b.d().busy(), busy);
        QCOMPARE(b.d().position(), position);
        QCOMPARE(b.d().outputs(), outputs);
        QCOMPARE(b.ask("/1?0"), dtReply(busy ? '@' : '`', QByteArray::number(position)));
    }

    void haltWaitsForInputAndRun()
    {
        Bench b;
        b.bus.setTimeScale(0);
        b.d().setInputs(0);
        QCOMPARE(b.ask("/1H01A1000H01A0R"), dtReply('@', ""));
        QVERIFY(b.d().halted());
        QCOMPARE(b.d().position(), 0);
        b.d().setInputs(1);
        QCOMPARE(b.ask("/1?0"), dtReply('`', "0")); // both halts passed: there and back
        QCOMPARE(b.ask("/1?5"), dtReply('`', "1"));
        // H alone waits for an "R" string.
        QCOMPARE(b.ask("/1A300HA600R"), dtReply('@', ""));
        QCOMPARE(b.ask("/1?0"), dtReply('@', "300"));
        QCOMPARE(b.ask("/1R"), dtReply('`', ""));
        QCOMPARE(b.ask("/1?0"), dtReply('`', "600"));
    }

    void runtimeRangeErrorIsReported()
    {
        Bench b;
        b.bus.setTimeScale(0);
        QCOMPARE(b.ask("/1A10D20R"), dtReply('`', ""));
        QCOMPARE(b.ask("/1?0"), dtReply('c', "10"));
        QCOMPARE(b.ask("/1F"), dtReply('c', ""));
        QCOMPARE(b.ask("/1A5R"), dtReply('`', ""));
        QCOMPARE(b.ask("/1F"), dtReply('`', ""));
    }

    void instantTimeScale()
    {
        Bench b;
        b.bus.setTimeScale(0);
        QCOMPARE(b.ask("/1gA1000M500A0M500G5A77R"), dtReply('`', ""));
        QCOMPARE(b.ask("/1?0"), dtReply('`', "77"));
        b.bus.setTimeScale(0.01); // a hundred times faster
        QCOMPARE(b.ask("/1A1077R"), dtReply('@', ""));
        b.ms(10);
        QCOMPARE(b.ask("/1?0"), dtReply('`', "1077"));
    }

    // ---- the firmware dialogue -----------------------------------------------------------

    void firmwareDialogue_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("full");
        QByteArray whole;
        for (int i = 0; i < 60; ++i)
            whole.append(char((i * 37) & 0xFF)); // holds CR, "/", STX and ETX bytes
        whole += QByteArray("\r/\x02\x03\r\n", 6);
        QTest::newRow("whole blocks") << whole << false;
        QTest::newRow("full update") << whole << true;
        QTest::newRow("short last block") << whole + "ab" << false;
        QTest::newRow("one byte") << QByteArray("\r") << false;
    }
    void firmwareDialogue()
    {
        QFETCH(QByteArray, image);
        QFETCH(bool, full);
        Bench b;
        // What the updater sends, in order: version, device ID, rate, update mode, blocks.
        QCOMPARE(b.ask("/1&"), dtReply('`', "REZizavur V1.05"));
        QCOMPARE(b.ask("/1!"), dtReply('`', "ID 291"));
        QCOMPARE(b.ask("/1b19200R"), dtReply('`', ""));
        QCOMPARE(b.bus.lineBaud(), 19200);
        QCOMPARE(b.bus.feed(full ? "/1]\r" : "/1[\r"), QByteArray("?"));
        QVERIFY(b.bus.inUpdateMode());
        QCOMPARE(b.bus.updateIsFull(), full);
        QCOMPARE(b.bus.updateAddress(), '1');
        const int blocks = int((image.size() + 5) / 6);
        for (int i = 0; i < blocks; ++i) {
            const QByteArray block = image.mid(i * 6, 6);
            b.ms(2);
            QByteArray reply = b.bus.feed(block);
            if (block.size() < 6) {
                QCOMPARE(reply, QByteArray()); // a short block is only known by the idle line
                b.ms(99);
                QCOMPARE(b.bus.poll(), QByteArray());
                QVERIFY(b.bus.nextEventUs() > 0);
                b.ms(1);
                reply = b.bus.poll();
            }
            QCOMPARE(reply, QByteArray("*"));
        }
        QCOMPARE(b.bus.updateImage(), image);
        QCOMPARE(b.bus.updateBlocks(), blocks);
        // The drive leaves update mode once the line rests, and then takes commands again.
        b.ms(2000);
        b.bus.poll();
        QVERIFY(!b.bus.inUpdateMode());
        QCOMPARE(b.ask("/1?7"), dtReply('`', "19200"));
        QCOMPARE(b.bus.updateImage(), image); // kept for comparison
        QCOMPARE(b.bus.updateSessions(), 1);
    }

    void notValidatedAnswersQuestionMark()
    {
        Bench b;
        b.d().config().notValidated = true;
        QCOMPARE(b.ask("/1&"), QByteArray("?"));
        QCOMPARE(b.ask("/1?0"), dtReply('`', "0"));
        b.d().config().deviceIdText = "dev 0291 rev B";
        QCOMPARE(b.ask("/1!"), dtReply('`', "dev 0291 rev B"));
        b.d().config().versionText = "X";
        b.d().config().notValidated = false;
        QCOMPARE(b.ask("/1&"), dtReply('`', "X"));
    }

    void rateChangeAppliesAfterItsReply()
    {
        Bench b;
        b.bus.faults().paceBaud = 9600;
        const QByteArray reply = dtReply('`', "");
        QCOMPARE(b.ask("/1b57600R"), QByteArray()); // paced: nothing has left yet
        // Its reply still leaves at 9600: 7 bytes of 1041.67 us.
        b.ms((7 * 1041.67 - 2) / 1000);
        QCOMPARE(b.bus.poll(), reply.left(6));
        b.ms(0.004);
        QCOMPARE(b.bus.poll(), reply.right(1));
        QCOMPARE(b.bus.lineBaud(), 57600);
        b.ms(100);
        b.ask("/1F");
        b.ms(7 * 10e3 / 57600 + 1);
        QCOMPARE(b.bus.poll(), reply);
    }

    // ---- faults --------------------------------------------------------------------------

    void faultSilent()
    {
        Bench b;
        b.bus.setTimeScale(0);
        b.bus.faults().silent = true;
        QCOMPARE(b.ask("/1?0"), QByteArray());
        QCOMPARE(b.bus.feed(oem("/1?0")), QByteArray());
        QCOMPARE(b.ask("/1A10R"), QByteArray());
        QCOMPARE(b.d().position(), 10); // it still acts, it only says nothing
        QCOMPARE(b.ask("/1["), QByteArray());
        QCOMPARE(b.bus.feed("123456"), QByteArray());
        QCOMPARE(b.bus.updateBlocks(), 1);
        b.ms(5000);
        QCOMPARE(b.bus.poll(), QByteArray());
    }

    void faultBadChecksum()
    {
        Bench b;
        b.bus.faults().badChecksum = true;
        const QByteArray good = oemReply('`', "291");
        const QByteArray got = b.bus.feed(oem("/1?8"));
        QCOMPARE(got.size(), good.size());
        QCOMPARE(got.chopped(1), good.chopped(1));
        QVERIFY(got.back() != good.back());
        QCOMPARE(b.ask("/1?8"), dtReply('`', "291")); // DT replies carry no checksum
    }

    void faultNoise()
    {
        Bench b;
        b.bus.faults().noise = QByteArray("\xa5\x5a", 2);
        QCOMPARE(b.ask("/1?8"), QByteArray("\xa5\x5a") + dtReply('`', "291"));
        QCOMPARE(b.bus.feed(oem("/1?8")), QByteArray("\xa5\x5a") + oemReply('`', "291"));
        QCOMPARE(b.ask("/1["), QByteArray("\xa5\x5a?"));
    }

    void faultBlocks_data()
    {
        QTest::addColumn<int>("errorAt");
        QTest::addColumn<int>("silentFrom");
        QTest::addColumn<QByteArray>("replies"); // one character per block, '-' for none
        QTest::newRow("error at 3") << 3 << 0 << QByteArray("**E");
        QTest::newRow("error at 1") << 1 << 0 << QByteArray("E");
        QTest::newRow("silent from 3") << 0 << 3 << QByteArray("**---");
        QTest::newRow("silent from 1") << 0 << 1 << QByteArray("---");
        QTest::newRow("none") << 0 << 0 << QByteArray("*****");
    }
    void faultBlocks()
    {
        QFETCH(int, errorAt);
        QFETCH(int, silentFrom);
        QFETCH(QByteArray, replies);
        Bench b;
        b.bus.faults().errorAtBlock = errorAt;
        b.bus.faults().errorReply = "Error 7: block check";
        b.bus.faults().silentFromBlock = silentFrom;
        QCOMPARE(b.ask("/1["), QByteArray("?"));
        for (char expected : replies) {
            const QByteArray got = b.bus.feed("ABCDEF");
            if (expected == '*')
                QCOMPARE(got, QByteArray("*"));
            else if (expected == '-')
                QCOMPARE(got, QByteArray());
            else
                QCOMPARE(got, QByteArray("Error 7: block check"));
        }
        if (errorAt) {
            // The drive gave up the update: commands are commands again.
            QVERIFY(!b.bus.inUpdateMode());
            QCOMPARE(b.ask("/1?8"), dtReply('`', "291"));
        } else {
            QVERIFY(b.bus.inUpdateMode());
        }
    }

    void faultHangUp_data()
    {
        QTest::addColumn<qint64>("after");
        QTest::addColumn<QByteArray>("replyBefore");
        QTest::newRow("at once") << qint64(0) << QByteArray();
        QTest::newRow("inside first command") << qint64(3) << QByteArray();
        QTest::newRow("after first command") << qint64(5) << QByteArray();
        QTest::newRow("inside second") << qint64(7) << dtReply('`', "0");
    }
    void faultHangUp()
    {
        QFETCH(qint64, after);
        QFETCH(QByteArray, replyBefore);
        Bench b;
        b.bus.faults().hangUpAfterBytes = after;
        QByteArray got;
        if (after > 5) {
            got = b.ask("/1?0");
            QVERIFY(!b.bus.hangUpRequested());
        }
        got += b.bus.feed(after > 5 ? "/1?0\r" : "/1?0\r/1?0\r");
        QCOMPARE(got, replyBefore);
        QVERIFY(b.bus.hangUpRequested());
        QCOMPARE(b.bus.bytesReceived(), after);
        QCOMPARE(b.ask("/1?0"), QByteArray());
        QCOMPARE(b.bus.nextEventUs(), qint64(-1));
    }

    void faultDelay()
    {
        Bench b;
        b.bus.faults().replyDelayMs = 50;
        QCOMPARE(b.ask("/1?8"), QByteArray());
        QCOMPARE(b.bus.nextEventUs(), b.t + 50000);
        b.ms(49.9);
        QCOMPARE(b.bus.poll(), QByteArray());
        b.ms(0.1);
        QCOMPARE(b.bus.poll(), dtReply('`', "291"));
        QCOMPARE(b.bus.nextEventUs(), qint64(-1));
    }

    void faultPacing_data()
    {
        QTest::addColumn<int>("baud");
        QTest::newRow("9600") << 9600;
        QTest::newRow("38400") << 38400;
        QTest::newRow("230400") << 230400;
    }
    void faultPacing()
    {
        QFETCH(int, baud);
        Bench b;
        b.bus.faults().paceBaud = baud;
        const QByteArray reply = dtReply('`', "REZizavur V1.05");
        const double byteMs = 10000.0 / baud;
        QCOMPARE(b.ask("/1&"), QByteArray());
        QByteArray got;
        for (int i = 1; i <= reply.size(); ++i) {
            b.ms(byteMs);
            got += b.bus.poll();
            QVERIFY2(got.size() >= i - 1 && got.size() <= i, qPrintable(QString::number(got.size())));
        }
        b.ms(byteMs);
        got += b.bus.poll();
        QCOMPARE(got, reply);
    }

    // ---- the pty server ------------------------------------------------------------------

    void serverInCallerThread()
    {
        sim::PtyServer server;
        server.bus().setTimeScale(0);
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(!server.isThreaded());
        QSerialPort port;
        QVERIFY(openPort(port, server.slavePath()));
        port.write("/1A1234R\r");
        expectReply(port, dtReply('`', ""));
        port.write(oem("/1?0"));
        expectReply(port, oemReply('`', "1234"));
        // The line survives the console closing and opening its side.
        port.close();
        QVERIFY(openPort(port, server.slavePath()));
        port.write("/1?0\r");
        expectReply(port, dtReply('`', "1234"));
        QCOMPARE(server.bus().commandLog().size(), size_t(3));
    }

    void serverOnItsOwnThread()
    {
        sim::PtyServer server;
        server.bus().addDrive('2');
        QVERIFY2(server.startThread(), qPrintable(server.errorString()));
        QVERIFY(server.isThreaded());
        QSerialPort port;
        QVERIFY(openPort(port, server.slavePath()));
        // Blocking waits only: nothing of the test's own event loop runs the server.
        for (int i = 0; i < 20; ++i) {
            port.write(i % 2 ? "/2?8\r" : "/1?8\r");
            QVERIFY(port.waitForBytesWritten(1000));
            QByteArray got;
            QDeadlineTimer deadline(3000);
            while (got.size() < 10 && !deadline.hasExpired() && port.waitForReadyRead(200))
                got += port.readAll();
            QCOMPARE(got, dtReply('`', "291"));
        }
        QCOMPARE(server.withBus([](DriveBus &bus) { return bus.commandLog().size(); }), size_t(20));
        server.stop();
        QVERIFY(!server.isOpen());
    }

    void serverDelayAndPacing()
    {
        sim::PtyServer server;
        server.bus().faults().replyDelayMs = 150;
        server.bus().faults().paceBaud = 9600;
        QVERIFY(server.startThread());
        QSerialPort port;
        QVERIFY(openPort(port, server.slavePath()));
        QElapsedTimer clock;
        clock.start();
        port.write("/1&\r");
        const QByteArray reply = dtReply('`', "REZizavur V1.05");
        QCOMPARE(readSome(port, int(reply.size())), reply);
        // Held back 150 ms, then 22 bytes at 9600 baud take about 23 ms more.
        QVERIFY2(clock.elapsed() >= 150 + 20, qPrintable(QString::number(clock.elapsed())));
    }

    void serverHangsUp()
    {
        sim::PtyServer server;
        server.bus().faults().hangUpAfterBytes = 8;
        QVERIFY(server.startThread());
        QSignalSpy hung(&server, &sim::PtyServer::hungUp);
        QSerialPort port;
        QVERIFY(openPort(port, server.slavePath()));
        port.write("/1?0\r");
        expectReply(port, dtReply('`', "0"));
        port.write("/1?0\r"); // dies after its third byte
        QTRY_VERIFY_WITH_TIMEOUT(server.isHungUp(), 3000);
        QCOMPARE(hung.count(), 1);
        QCOMPARE(readSome(port, 1, 300), QByteArray());
        // The console's side is a dead line now: the server holds nothing of it any more.
        QVERIFY(!server.isOpen());
        QCOMPARE(server.withBus([](DriveBus &bus) { return bus.bytesReceived(); }), qint64(8));
    }

    void serverHangUpOnRequest()
    {
        sim::PtyServer server;
        QVERIFY(server.start());
        QSerialPort port;
        QVERIFY(openPort(port, server.slavePath()));
        server.hangUp();
        QVERIFY(server.isHungUp());
        port.write("/1?0\r");
        QCOMPARE(readSome(port, 1, 300), QByteArray());
    }

    // ---- the program ---------------------------------------------------------------------

    void programHelpListsEveryOption()
    {
        QProcess p;
        p.start(QStringLiteral(DRIVESIM_PATH), {"--help"});
        QVERIFY(p.waitForFinished(10000));
        const QString help = QString::fromLocal8Bit(p.readAllStandardOutput());
        for (const char *o : {"--link", "--drives", "--version-text", "--device-id", "--device-id-text",
                              "--not-validated", "--time-scale", "--instant", "--max-position", "--silent",
                              "--bad-checksum", "--noise", "--error-at-block", "--error-text",
                              "--silent-from-block", "--hang-up-after", "--delay", "--pace",
                              "--short-block-gap", "--update-idle-exit", "--image-out", "--verbose"})
            QVERIFY2(help.contains(QLatin1String(o)), o);
    }

    void programRejectsBadOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("bad drive") << QStringList{"--drives", "1,G"};
        QTest::newRow("bad delay") << QStringList{"--delay", "soon"};
        QTest::newRow("bad noise") << QStringList{"--noise", "zz"};
        QTest::newRow("stray argument") << QStringList{"extra"};
    }
    void programRejectsBadOptions()
    {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(QStringLiteral(DRIVESIM_PATH), args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(!p.readAllStandardError().isEmpty());
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
    }

    void programServesOnALink()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("drive");
        QVERIFY(QFile::link("/nonexistent-old-target", link)); // an old link is replaced
        const QString image = dir.filePath("image.bin");
        QProcess p;
        p.start(QStringLiteral(DRIVESIM_PATH),
                {"--link", link, "--drives", "1,B", "--device-id", "77", "--instant", "--image-out", image});
        QVERIFY(p.waitForReadyRead(10000));
        const QString path = QString::fromLocal8Bit(p.readLine()).trimmed();
        QVERIFY(path.startsWith("/dev/"));
        QCOMPARE(QFile::symLinkTarget(link), path);
        for (int round = 0; round < 2; ++round) {
            QSerialPort port;
            QVERIFY(openPort(port, link));
            port.write("/;?8\r");
            expectReply(port, dtReply('`', "77"));
            port.write("/1[\r");
            QCOMPARE(readSome(port, 1), QByteArray("?"));
            port.write("012345");
            QCOMPARE(readSome(port, 1), QByteArray("*"));
            port.write("6");
            QCOMPARE(readSome(port, 1), QByteArray("*")); // short last block, after the gap
            port.close();
        }
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        QFile f(image);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("0123456"));
    }

    void programRefusesToReplaceAFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("plain");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
        f.close();
        QProcess p;
        p.start(QStringLiteral(DRIVESIM_PATH), {"--link", path});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep me"));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
