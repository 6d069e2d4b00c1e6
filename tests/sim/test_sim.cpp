// The drive simulator as the other tests rely on it: the bus model fed bytes on a clock the test
// turns by hand (both framings, the status codes of accepted and refused commands, the update
// dialogue), and the quorvane-drivesim program on a pty: its replies, its exit status and its
// sample update file. Its motion model and faults show in the console, firmware and monitor tests.
#include "link/commport.h"
#include "sim/drivebus.h"
#include "support/linkfakes.h"
#include "support/recordingview.h"
#include "support/tempstore.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using sim::DriveBus;

namespace {

// STX, the inner bytes, ETX and the checksum.
QByteArray framed(const QByteArray &inner) { return withChecksum('\x02' + inner + '\x03'); }
// "/1A1000R" as an OEM frame: address, "1", body; a reply: "0", status, data.
QByteArray oem(const QByteArray &command) { return framed(command.mid(1, 1) + '1' + command.mid(2)); }
QByteArray oemReply(char status, const QByteArray &data) { return framed('0' + QByteArray(1, status) + data); }
QByteArray dtReply(char status, const QByteArray &data) { return QByteArray("\xff/0") + status + data + "\x03\r\n"; }

// A bus on a clock that only moves when the test says so.
struct Bench {
    qint64 t = 1'000'000;
    DriveBus bus;
    Bench() { bus.setClock([this] { return t; }); }
    // Feeds one byte at a time: frames may arrive in pieces.
    QByteArray feedBytes(const QByteArray &bytes)
    {
        QByteArray got;
        for (char c : bytes)
            got += bus.feed(QByteArray(1, c));
        return got;
    }
};

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private slots:
    // A dialogue with the bus. A step "command=reply" sends "/..." as DT, "oem/..." as an OEM
    // frame, "'..." as raw bytes, or "poll" only collects what is due; the reply is a status
    // character and data, framed as the command was, or "'..." for raw bytes, or nothing for no
    // reply. A step without "=" is "+ms" (time passes) or "setting:value" (see below).
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
        // Noise, empty frames and unfinished ones get no reply, then or later, and do not wedge the
        // bus: STX and "/" restart a frame, one byte ends a waiting OEM frame (as its wrong checksum).
        QTest::newRow("junk") << QStringList{"'zz\r\x03=", "'/\r=", "'\x02" "1\x03" "0=", "'\x02" "11?=", "oem/1?8=`291",
            "'\x02" "11?0\x03=", "+5000", "poll=", "'x=", "'/1?0=", "+5000", "poll=", "'x=", "/1?8=`291"};
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
        for (const QString &step : script) {
            if (!step.contains('=')) {
                const QString name = step.section(':', 0, 0), value = step.section(':', 1);
                if (name.startsWith('+')) b.t += qint64(name.mid(1).toDouble() * 1000);
                else if (name == "scale") b.bus.setTimeScale(value.toDouble());
                else if (name == "errorAt") b.bus.faults().errorAtBlock = value.toInt();
                else if (name == "image") QCOMPARE(b.bus.updateImage().toHex(), value.toLatin1());
                else if (name == "full") QCOMPARE(b.bus.updateIsFull(), bool(value.toInt()));
                else QFAIL(qPrintable("unknown setting " + step));
                continue;
            }
            const QByteArray command = step.section('=', 0, 0).toLatin1(), want = step.section('=', 1).toLatin1();
            const bool framedOem = command.startsWith("oem");
            const QByteArray got = command == "poll"           ? b.bus.poll()
                                   : command.startsWith('\'') ? b.feedBytes(command.mid(1))
                                                               : b.feedBytes(framedOem ? oem(command.mid(3)) : command + '\r');
            const QByteArray expected = want.isEmpty() || want.startsWith('\'') ? want.mid(1)
                                  : framedOem           ? oemReply(want.at(0), want.mid(1))
                                                        : dtReply(want.at(0), want.mid(1));
            QVERIFY2(got == expected, qPrintable(step + ": got " + got.toHex(' ') + ", not " + expected.toHex(' ')));
        }
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
        QTest::newRow("number out of range") << QStringList{"--device-id", "4096"} << 0 << 2;
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
        QVERIFY(p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit);
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
    // program's default drive, served on a link that replaces an old one; the drive's image is
    // written out as the program ends.
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
        QVERIFY(QFile::link("/nonexistent-old-target", link));
        QProcess sim;
        sim.start(QStringLiteral(DRIVESIM_PATH), {"--link", link, "--image-out", image});
        QVERIFY(sim.waitForReadyRead(10000));
        QCOMPARE(QFile::symLinkTarget(link), QString::fromLocal8Bit(sim.readLine()).trimmed());
        TempStore store;
        store.mapPort(3, link);
        CommPort port;
        port.setPortNumber(3);
        CommUpdatePort line(port);
        RecordingView view;
        view.baud = "19200";
        QTimer timer;
        timer.setInterval(3000);
        UpdateTransfer transfer(line, view, timer);
        connect(&timer, &QTimer::timeout, &transfer, &UpdateTransfer::timeOut);
        transfer.run(sample);
        QCOMPARE(view.statuses, done());
        port.close();
        ::kill(pid_t(sim.processId()), SIGTERM);
        QVERIFY(sim.waitForFinished(10000) && sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 0);
        QFile taken(image);
        QVERIFY(taken.open(QIODevice::ReadOnly));
        QCOMPARE(taken.readAll(), bytes.mid(5));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
