// The drive simulator: the bus model fed bytes on a clock the test turns by hand (both
// framings, status codes, programs that take time, the update dialogue, faults), then the pty
// server with a plain QSerialPort client, and the quorvane-drivesim program: its exit status and
// its sample update file. The console and the firmware window are tested against the simulator
// in their own tests.
#include "firmware/updatetransfer.h"
#include "link/commport.h"
#include "sim/drivebus.h"
#include "sim/ptyserver.h"
#include "support/tempstore.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <numeric>

using sim::DriveBus;

namespace {

// STX, the inner bytes, ETX and the XOR of all of them.
QByteArray framed(const QByteArray &inner)
{
    const QByteArray f = '\x02' + inner + '\x03';
    return f + std::accumulate(f.begin(), f.end(), char(0), [](char x, char c) { return char(x ^ c); });
}
// "/1A1000R" as an OEM frame: address, "1", body; a reply: "0", status, data.
QByteArray oem(const QByteArray &command) { return framed(command.mid(1, 1) + '1' + command.mid(2)); }
QByteArray oemReply(char status, const QByteArray &data) { return framed('0' + QByteArray(1, status) + data); }
QByteArray dtReply(char status, const QByteArray &data) { return QByteArray("\xff/0") + status + data + "\x03\r\n"; }

// A bus on a clock that only moves when the test says so.
struct Bench {
    qint64 t = 1'000'000;
    DriveBus bus;
    Bench() { bus.setClock([this] { return t; }); }
    void ms(double m) { t += qint64(m * 1000); }
    QByteArray ask(const QByteArray &command) { return bus.feed(command + '\r'); }
    // Feeds one byte at a time: frames may arrive in pieces.
    QByteArray feedBytes(const QByteArray &bytes)
    {
        QByteArray got;
        for (char c : bytes)
            got += bus.feed(QByteArray(1, c));
        return got;
    }
};

// Writes the command, then reads for at most `msecs` or until as many bytes as the reply came
// (events run meanwhile: the server may serve on this thread); compares them with the reply.
void expectAnswer(QSerialPort &port, const QByteArray &command, const QByteArray &reply, int msecs = 3000)
{
    port.write(command);
    QByteArray got;
    for (QDeadlineTimer deadline(msecs); (got += port.readAll()).size() < qMax(1, int(reply.size())) && !deadline.hasExpired();)
        port.waitForReadyRead(10), QCoreApplication::processEvents();
    QCOMPARE(got + port.readAll(), reply);
}

bool openPort(QSerialPort &port, const QString &path)
{
    port.setPortName(path);
    port.setBaudRate(9600);
    return port.open(QIODevice::ReadWrite) && port.clear();
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private slots:
    // A dialogue with the bus. A step "command=reply" sends "/..." as DT, "oem/..." as an OEM
    // frame, "'..." as raw bytes, or "poll" only collects what is due; the reply is a status
    // character and data, framed as the command was, or "'..." for raw bytes, or nothing for no
    // reply (noise, when set, comes first). A step without "=" is "+ms" (time passes) or
    // "setting:value" (see below).
    void dialogues_data()
    {
        QTest::addColumn<QStringList>("script");
        // Commands the drive takes or refuses; none of them moves it ("?3" framed has the checksum 0D).
        QTest::newRow("accepted") << QStringList{"/1?0?1=`01000", "/1F=`", "/1=`", "/1?6  =`1000000", "/1T=`", "/1A1000=`",
            "oem/1=`", "oem/1&=`REZizavur V1.05", "oem/1?3=`3", "/1?0=`0"};
        QTest::newRow("invalid commands") << QStringList{"/1X=b", "/1RA100=b", "/1A10G5R=b", "/1gA10R=b",
            "/1gggggA1G2G2G2G2G2R=b", "/1?0X=b", "oem/1X=b", "/1?0=`0"};
        QTest::newRow("invalid operands") << QStringList{"/1AR=c", "/1A1000001R=c", "/1A99999999999R=c", "/1V0R=c", "/1T5=c",
            "/1b1234R=c", "oem/1?9=c", "/1?0=`0"};
        // Moves in OEM frames; P10R and P11R have the checksums 02 and 03, which are just checksums.
        QTest::newRow("oem moves") << QStringList{"oem/1A1000R=@", "+1000", "oem/1?0=`1000", "scale:0", "oem/1A42R=`",
            "oem/1?0=`42", "oem/1P10R=`", "/1?0=`52", "oem/1P11R=`", "/1?0=`63"};
        QTest::newRow("noise before frame, STX restarts") << QStringList{"'zz\r\x03=", "oem/1?8=`291", "'\x02" "11?=",
            "oem/1?8=`291"};
        // No reply, and none later; the bus is not wedged by what came before: one byte ends a
        // waiting OEM frame (as its wrong checksum), and a "/" starts a new DT frame.
        auto none = [](const char *name, const QString &bytes) {
            QTest::newRow(name) << QStringList{"'" + bytes + "=", "+5000", "poll=", "'x=", "/1?8=`291"};
        };
        none("empty address dt", "/\r");
        none("empty address oem", "\x02" "1\x03" "0");
        none("no CR yet", "/1?0");
        none("OEM without checksum yet", "\x02" "11?0\x03");
        // Programs that take time (1000 steps per second).
        QTest::newRow("busy, refused, terminated") << QStringList{"/1A1000R=@", "+500", "/1?0=@500", "/1A0R=O", "/1F=@", "+501",
            "/1?0=`1000", "/1?5=`1", "/1A0R=@", "+250", "/1T=`", "+1000", "/1?0=`750"};
        QTest::newRow("absolute") << QStringList{"/1A1000A0R=@", "+1000", "/1?0=@1000", "+500", "/1?0=@500", "+500", "/1?0=`0"};
        QTest::newRow("relative") << QStringList{"/1P1000D500R=@", "+1250", "/1?0=@750", "+250", "/1?0=`500"};
        QTest::newRow("home") << QStringList{"scale:0", "/1A4000R=`", "scale:1", "/1Z1000R=@", "+1000", "/1?0=`3000",
            "/1Z10000R=@", "+3000", "/1?0=`0"};
        QTest::newRow("velocity") << QStringList{"/1V2000R=`", "/1?1=`2000", "/1A1000R=@", "+500", "/1?0=`1000"};
        QTest::newRow("loop") << QStringList{"/1gA1000M500A0M500G5R=@", "+3500", "/1?0=@500", "+11499", "/1?0=@0", "+1",
            "/1?0=`0"};
        QTest::newRow("outputs") << QStringList{"/1J1M500J2M500J3M500J0R=@", "+700", "/1?2=@2", "+800", "/1?2=`0"};
        QTest::newRow("halts pass on inputs") << QStringList{"/1H01A1000H01A0R=@", "+1500", "/1?0=@500"};
        QTest::newRow("for ever") << QStringList{"/1gP10G0R=@", "+100000", "/1?0=@100000"};
        QTest::newRow("halt for input and R") << QStringList{"scale:0", "inputs:0", "/1H01A1000H01A0R=@", "/1?0=@0", "inputs:1",
            "/1?0=`0", "/1?5=`1", "/1A300HA600R=@", "/1?0=@300", "/1R=`", "/1?0=`600"};
        QTest::newRow("runtime range error") << QStringList{"scale:0", "/1A10D20R=`", "/1?0=c10", "/1F=c", "/1A5R=`", "/1F=`"};
        QTest::newRow("time scales") << QStringList{"scale:0", "/1gA1000M500A0M500G5A77R=`", "/1?0=`77", "scale:0.01",
            "/1A1077R=@", "+10", "/1?0=`1077"};
        // Drives 2 and ":" ("A") have the version "REZizavur V2".
        QTest::newRow("several drives") << QStringList{"scale:0", "drive:2", "drive::", "/2A500R=`", "/:A700R=`", "/1?0=`0",
            "/2?0=`500", "oem/:?0=`700", "/2&=`REZizavur V2", "/:&=`REZizavur V2", "/1&=`REZizavur V1.05", "/3?0=", "remove:2",
            "/2?0="};
        QTest::newRow("silent") << QStringList{"scale:0", "silent:1", "/1?0=", "oem/1?0=", "/1A10R=", "/1[=", "'123456=",
            "+5000", "poll=", "silent:0", "/1?0=`10"};
        QTest::newRow("bad checksum") << QStringList{"badsum:1", "oem/1?8=`291", "/1?8=`291"}; // DT has no checksum
        QTest::newRow("noise") << QStringList{"noise:a55a", "/1?8=`291", "oem/1?8=`291", "/1[='?"};
        // After an "Error" reply the drive has given up the update: commands are commands again.
        QTest::newRow("error at block 3") << QStringList{"errorAt:3", "/1[='?", "'ABCDEF='*", "'ABCDEF='*", "'ABCDEF='Error",
            "/1?8=`291"};
        // The firmware update as the updater runs it: version, device ID, rate, update mode, then
        // 6-byte blocks; a short last block is known by 100 ms of idle line and ends the update,
        // else 2 s of idle line do. "image:hex" and "full:n" check what the drive took in.
        QTest::newRow("update, short last block") << QStringList{"/1&=`REZizavur V1.05", "/1!=`ID 291", "/1b19200R=`", "/1[='?",
            "full:0", "'\r/\x02\x03\r\n='*", "+2", "'012345='*", "+2", "'ab=", "+99", "poll=", "+1", "poll='*",
            "image:0d2f02030d0a3031323334356162", "/1?7=`19200"};
        QTest::newRow("full update, whole blocks") << QStringList{"/1]='?", "full:1", "'\r/\x02\x03\r\n='*", "'012345='*",
            "image:0d2f02030d0a303132333435", "+2000", "/1?7=`9600"};
    }
    void dialogues()
    {
        QFETCH(QStringList, script);
        Bench b;
        sim::Faults &faults = b.bus.faults();
        for (const QString &step : script) {
            if (!step.contains('=')) {
                const QString name = step.section(':', 0, 0), value = step.section(':', 1);
                const int n = value.toInt();
                if (name.startsWith('+')) b.ms(name.mid(1).toDouble());
                else if (name == "scale") b.bus.setTimeScale(value.toDouble());
                else if (name == "inputs") b.bus.drive('1')->setInputs(n);
                else if (name == "drive") b.bus.addDrive(value.at(0).toLatin1()).config().versionText = "REZizavur V2";
                else if (name == "remove") b.bus.removeDrive(value.at(0).toLatin1());
                else if (name == "silent") faults.silent = n;
                else if (name == "badsum") faults.badChecksum = n;
                else if (name == "noise") faults.noise = QByteArray::fromHex(value.toLatin1());
                else if (name == "errorAt") faults.errorAtBlock = n;
                else if (name == "image") QCOMPARE(b.bus.updateImage().toHex(), value.toLatin1());
                else if (name == "full") QCOMPARE(b.bus.updateIsFull(), bool(n));
                else QFAIL(qPrintable("unknown setting " + step));
                continue;
            }
            const QByteArray command = step.section('=', 0, 0).toLatin1(), want = step.section('=', 1).toLatin1();
            const bool framedOem = command.startsWith("oem");
            const QByteArray got = command == "poll"           ? b.bus.poll()
                                   : command.startsWith('\'') ? b.feedBytes(command.mid(1))
                                   : framedOem                 ? b.feedBytes(oem(command.mid(3)))
                                                               : b.ask(command);
            QByteArray expected = want.startsWith('\'') ? want.mid(1)
                                  : want.isEmpty()      ? QByteArray()
                                  : framedOem           ? oemReply(want.at(0), want.mid(1))
                                                        : dtReply(want.at(0), want.mid(1));
            if (faults.badChecksum && framedOem && !expected.isEmpty())
                expected.back() = char(expected.back() ^ 0xFF);
            if (!expected.isEmpty())
                expected.prepend(faults.noise);
            QVERIFY2(got == expected, qPrintable(step + ": got " + got.toHex(' ') + ", not " + expected.toHex(' ')));
        }
    }

    void pacing()
    {
        Bench b;
        b.bus.faults().paceBaud = 9600;
        b.bus.faults().replyDelayMs = 50;
        // A rate change's own reply still leaves at the old rate; the next one at the new rate.
        const std::pair<QByteArray, int> exchanges[] = {{"/1b57600R", 9600}, {"/1&", 57600}};
        for (const auto &[command, baud] : exchanges) {
            const QByteArray reply = dtReply('`', command == "/1&" ? "REZizavur V1.05" : "");
            const double byteMs = 10000.0 / baud;
            QCOMPARE(b.ask(command), QByteArray());
            b.ms(50); // held back first, then one byte per byte time
            QCOMPARE(b.bus.poll(), QByteArray());
            QByteArray got;
            for (int i = 1; i <= reply.size(); ++i) {
                b.ms(byteMs);
                got += b.bus.poll();
                QVERIFY2(got.size() >= i - 1 && got.size() <= i, qPrintable(QString::number(got.size())));
            }
            b.ms(byteMs);
            QCOMPARE(got + b.bus.poll(), reply);
        }
    }

    // ---- the pty server ------------------------------------------------------------------

    void server_data()
    {
        QTest::addColumn<bool>("threaded");
        QTest::addColumn<bool>("requested"); // hang-up by hangUp(), else by the fault
        QTest::newRow("caller's thread, hang-up on request") << false << true;
        QTest::newRow("own thread, hang-up fault") << true << false;
    }
    void server()
    {
        QFETCH(bool, threaded);
        QFETCH(bool, requested);
        sim::PtyServer server;
        server.bus().addDrive('2');
        QVERIFY2(threaded ? server.startThread() : server.start(), qPrintable(server.errorString()));
        QSignalSpy hung(&server, &sim::PtyServer::hungUp);
        QSerialPort port;
        for (int i = 0; i < 10; ++i) {
            if (i % 5 == 0) { // the line survives the console closing and opening its side
                port.close();
                QVERIFY(openPort(port, server.slavePath()));
            }
            expectAnswer(port, i % 2 ? QByteArray("/2?8\r") : oem("/1?8"), i % 2 ? dtReply('`', "291") : oemReply('`', "291"));
        }
        // A held-back, paced reply still comes whole: the server wakes for it.
        server.withBus([requested](DriveBus &bus) {
            bus.faults().replyDelayMs = 150;
            bus.faults().paceBaud = 9600;
            if (!requested)
                bus.faults().hangUpAfterBytes = bus.bytesReceived() + 4 + 3; // inside the next command
        });
        expectAnswer(port, "/1&\r", dtReply('`', "REZizavur V1.05"));
        if (requested)
            server.hangUp();
        expectAnswer(port, "/1?0\r", "", 300); // no answer, nor later
        QTRY_VERIFY_WITH_TIMEOUT(server.isHungUp(), 3000);
        QCOMPARE(hung.count(), 1);
        QVERIFY(!server.isOpen()); // the server holds nothing of the dead line any more
        const qint64 received = 5 * 7 + 5 * 5 + 4 + (requested ? 0 : 3); // five OEM and five DT queries, "/1&"
        QCOMPARE(server.withBus([](DriveBus &bus) { return bus.bytesReceived(); }), received);
    }

    // ---- the program ---------------------------------------------------------------------

    // 0 when told to stop or for --help, 1 when the line cannot be served, 2 for a wrong command
    // line; a refused command line serves nothing and touches nothing.
    void programExitStatus_data()
    {
        QTest::addColumn<QStringList>("args"); // %1 a plain file, %2 a missing folder, %3 a link path
        QTest::addColumn<int>("signal");       // sent once the device is printed (0: none)
        QTest::addColumn<int>("status");
        QTest::newRow("help") << QStringList{"--help"} << 0 << 0;
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 0 << 2;
        QTest::newRow("missing value") << QStringList{"--link"} << 0 << 2;
        QTest::newRow("bad drive") << QStringList{"--drives", "1,G"} << 0 << 2;
        QTest::newRow("number out of range") << QStringList{"--device-id", "4096"} << 0 << 2;
        QTest::newRow("bad noise") << QStringList{"--noise", "zz"} << 0 << 2;
        QTest::newRow("stray argument") << QStringList{"extra"} << 0 << 2;
        QTest::newRow("link over a plain file") << QStringList{"--link", "%1"} << 0 << 2;
        QTest::newRow("link in a missing folder") << QStringList{"--link", "%2/drive"} << 0 << 1;
        QTest::newRow("image not written") << QStringList{"--image-out", "%2/image"} << int(SIGTERM) << 1;
        QTest::newRow("hung up, link removed") << QStringList{"--link", "%3"} << int(SIGHUP) << 0;
    }
    void programExitStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signal);
        QFETCH(int, status);
        QTemporaryDir dir;
        QFile f(dir.filePath("plain"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("keep me") == 7);
        f.close();
        QProcess p;
        p.start(QStringLiteral(DRIVESIM_PATH), args.replaceInStrings("%1", f.fileName())
                                                   .replaceInStrings("%2", dir.filePath("missing"))
                                                   .replaceInStrings("%3", dir.filePath("drive")));
        if (signal) {
            QVERIFY(p.waitForReadyRead(10000));
            ::kill(pid_t(p.processId()), signal);
        }
        QVERIFY(p.waitForFinished(10000));
        QVERIFY(p.exitStatus() == QProcess::NormalExit);
        QCOMPARE(p.exitCode(), status);
        const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
        QCOMPARE(out.startsWith(signal ? "/dev/" : "Usage: "), !out.isEmpty());
        QCOMPARE(out.isEmpty(), !signal && status);
        QCOMPARE(err.startsWith("quorvane-drivesim: "), status != 0);
        QVERIFY(!QFileInfo(dir.filePath("drive")).isSymLink());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep me"));
    }

    // The sample update file that --help names goes through a whole update against the
    // program's default drive, and the drive takes in its image.
    void sampleFileUpdatesTheDefaultDrive()
    {
        QProcess help;
        help.start(QStringLiteral(DRIVESIM_PATH), {"--help"});
        QVERIFY(help.waitForFinished(10000));
        const QString sample = QString::fromLocal8Bit(help.readAllStandardOutput()).section(".amx", 0, 0)
                                   .section(' ', -1) + ".amx";
        QFile file(sample);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(sample));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.size() > 5 && bytes.size() < 1024 && (bytes.size() - 5) % 6 == 0);

        QTemporaryDir dir;
        const QString link = dir.filePath("drive"), image = dir.filePath("image");
        QProcess sim;
        sim.start(QStringLiteral(DRIVESIM_PATH), {"--link", link, "--image-out", image});
        QVERIFY(sim.waitForReadyRead(10000));
        TempStore store;
        store.mapPort(3, link);
        CommPort port;
        port.setPortNumber(3);
        CommUpdatePort line(port);
        struct View final : UpdateView {
            QStringList shown;
            void showStatus(const QString &t) override { shown << t; }
            void showProgress(int) override {}
            void updateSpinner(int32_t) override {}
            void showSpinner(const QString &) override {}
            void showMessage(const QString &t, Icon) override { shown << "message: " + t; }
            bool confirm(const QString &) override { return true; }
            QString AddressChar() const override { return "1"; }
            QString baudText() const override { return "19200"; }
            void selectFirstBaud() override {}
            void attemptEnded(bool) override {}
        } view;
        QTimer timer;
        timer.setInterval(3000);
        UpdateTransfer transfer(line, view, timer);
        connect(&timer, &QTimer::timeout, &transfer, &UpdateTransfer::timeOut);
        transfer.run(sample);
        QCOMPARE(view.shown, (QStringList{"Status: Validating AMX update file...", "Status: Validating AMX file...",
                                          "Status: AMX file OK...", "Status: Negotiating baud rate...",
                                          "Status: Entering update mode...", "Status: Transmitting data...",
                                          "Status: Transfer complete...", "Status: OK"}));
        port.close();
        ::kill(pid_t(sim.processId()), SIGTERM);
        QVERIFY(sim.waitForFinished(10000) && sim.exitCode() == 0);
        QFile taken(image);
        QVERIFY(taken.open(QIODevice::ReadOnly));
        QCOMPARE(taken.readAll(), bytes.mid(5));
    }

    void programServesOnALink()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("drive"), image = dir.filePath("image.bin");
        QVERIFY(QFile::link("/nonexistent-old-target", link)); // an old link is replaced
        QProcess p;
        p.start(QStringLiteral(DRIVESIM_PATH),
                {"--link", link, "--drives", "1,B", "--device-id", "77", "--instant", "--image-out", image});
        QVERIFY(p.waitForReadyRead(10000));
        const QString path = QString::fromLocal8Bit(p.readLine()).trimmed();
        QVERIFY(path.startsWith("/dev/"));
        QCOMPARE(QFile::symLinkTarget(link), path);
        QSerialPort port;
        QVERIFY(openPort(port, link));
        expectAnswer(port, "/;?8\r", dtReply('`', "77"));
        expectAnswer(port, "/1[\r", "?");
        expectAnswer(port, "012345", "*");
        expectAnswer(port, "6", "*"); // short last block, after the gap
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QVERIFY(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);
        QVERIFY(QFile::symLinkTarget(link).isEmpty()); // the link is gone
        QFile f(image);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("0123456"));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
