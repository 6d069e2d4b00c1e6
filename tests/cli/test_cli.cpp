// quorvane-cli run as a process against the drive simulator on a pty (served on a thread of
// its own), with a private settings folder whose [Ports] COM1 is that pty.
#include "sim/ptyserver.h"
#include "support/ser2net.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <memory>

class TestCli : public QObject {
    Q_OBJECT
    QTemporaryDir home;
    std::unique_ptr<sim::PtyServer> server;
    QMutex mutex;
    QByteArray wire;           // what the simulator received
    QList<qint64> commandMs;   // when each command's last byte reached it (ms on `clock`)
    QElapsedTimer clock;

    // The simulator with drives at these addresses ("" for none) and the settings folder.
    void startSim(const QString &drives)
    {
        wire.clear();
        commandMs.clear();
        server = std::make_unique<sim::PtyServer>();
        server->bus().clearDrives();
        for (const QString &a : drives.split(',', Qt::SkipEmptyParts))
            server->bus().addDrive(a.at(0).toLatin1());
        server->bus().setTimeScale(0);
        server->setTrace([this](bool in, const QByteArray &b) {
            QMutexLocker lock(&mutex);
            if (!in)
                return;
            wire += b;
            if (b.endsWith('\r'))
                commandMs << clock.elapsed();
        });
        QVERIFY2(server->startThread(), qPrintable(server->errorString()));
        QDir().mkpath(home.filePath("Kestrelworks"));
        QFile conf(home.filePath("Kestrelworks/Kestrelworks.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[Settings]\nBaudRate=0\n[Ports]\nCOM1=" + server->slavePath().toLocal8Bit()
                   + "\nCOM2=/nonexistent/tty\n");
    }

    QProcess *start(const QString &program, const QStringList &args)
    {
        auto *p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.path());
        env.remove("DISPLAY"); // no display, and no platform plugin chosen either
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        p->setProcessEnvironment(env);
        p->start(program, args);
        return p;
    }

private slots:
    void initTestCase() { clock.start(); }
    void cleanup() { server.reset(); }

    void run_data()
    {
        QTest::addColumn<QString>("sim");      // drive addresses
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input"); // stdin, closed after it
        QTest::addColumn<QByteArray>("out");   // stdout, exactly (a trailing "..." : begins with)
        QTest::addColumn<QByteArray>("wireSent"); // what the drives received ("-": not checked)
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");      // stderr holds this
        const QString cli = CLI_PATH;
        QTest::newRow("dt, error reply") << "1" << cli << QStringList{"/1?0", "/1A2000000R", "/1Q"} << QByteArray()
            << QByteArray("/1?0\t0 No Error\n/1A2000000R\t Invalid Operand\n/1Q\t Invalid Command\n")
            << QByteArray("/1?0\r/1A2000000R\r/1Q\r") << 1 << "";
        QTest::newRow("oem, device path") << "1,2" << cli << QStringList{"--framing", "oem", "--port", "%pty", "/1?0", "/2&"}
            << QByteArray() << QByteArray("/1?0\t0 No Error\n/2&\tREZizavur V1.05 No Error\n")
            << QByteArray("\x02" "11?0\x03\x0e\x02" "21&\x03$") << 0 << "";
        QTest::newRow("network port") << "1" << cli << QStringList{"--port", "%url", "/1&"} << QByteArray()
            << QByteArray("/1&\tREZizavur V1.05 No Error\n") << QByteArray("/1&\r") << 0 << "";
        QTest::newRow("time-out wins over error") << "1" << cli << QStringList{"--timeout", "200", "/2&", "/1Q"}
            << QByteArray() << QByteArray("/2&\tNo REZizavur detected. Check connections\n/1Q\t Invalid Command\n")
            << QByteArray("/2&\r/1Q\r") << 3 << "";
        QTest::newRow("stdin") << "1,2" << cli << QStringList{"-"} << QByteArray("/1?0\r\n\n/2& \nx\n/1?1")
            << QByteArray("/1?0\t0 No Error\n/2& \tREZizavur V1.05 No Error\n/1?1\t1000 No Error\n")
            << QByteArray("/1?0\r/2& \r/1?1\r") << 2 << "line 4: \"x\" is not a command";
        QTest::newRow("missing device") << "1" << cli << QStringList{"--port", "COM2", "/1?0"} << QByteArray() << QByteArray()
            << QByteArray() << 4 << "quorvane-cli: COM2 (/nonexistent/tty): No such device: nothing is at /nonexistent/tty.";
        QTest::newRow("not a command") << "1" << cli << QStringList{"1?0"} << QByteArray() << QByteArray() << QByteArray()
            << 2 << "\"1?0\" is not a command";
        QTest::newRow("wrong framing") << "1" << cli << QStringList{"--framing", "x", "/1?0"} << QByteArray()
            << QByteArray() << QByteArray() << 2 << "--framing: dt or oem";
        QTest::newRow("list ports") << "1" << cli << QStringList{"--list-ports"} << QByteArray()
            << QByteArray("COM1\t%pty\tavailable\nCOM2\t/nonexistent/tty\tnot available: No such device: nothing is at /nonexistent/tty.\n...")
            << QByteArray() << 0 << "";
        // The saved rate (index 0: 9600) is tried first; both drives answer in both framings.
        QTest::newRow("scan") << "1,2" << cli << QStringList{"--scan"} << QByteArray()
            << QByteArray("9600\tdt\t1\tREZizavur V1.05\n9600\tdt\t2\tREZizavur V1.05\n"
                          "9600\toem\t1\tREZizavur V1.05\n9600\toem\t2\tREZizavur V1.05\n") << QByteArray("-") << 0 << "";
        QTest::newRow("scan, no drive") << "" << cli << QStringList{"--scan", "--timeout", "10"} << QByteArray()
            << QByteArray() << QByteArray("-") << 3 << "";
        QTest::newRow("cli version") << "" << cli << QStringList{"--version"} << QByteArray()
            << QByteArray("quorvane-cli 1.2.12\n") << QByteArray() << 0 << "";
        QTest::newRow("console version") << "" << QString(CONSOLE_PATH) << QStringList{"--version"} << QByteArray()
            << QByteArray("quorvane 1.2.12\n") << QByteArray() << 0 << "";
        QTest::newRow("console help") << "" << QString(CONSOLE_PATH) << QStringList{"--help"} << QByteArray()
            << QByteArray("Usage: quorvane [--help | --version]\n...") << QByteArray() << 0 << "";
    }
    void run()
    {
        QFETCH(QString, sim); QFETCH(QString, program); QFETCH(QStringList, args); QFETCH(QByteArray, input);
        QFETCH(QByteArray, out); QFETCH(QByteArray, wireSent); QFETCH(int, status); QFETCH(QString, err);
        startSim(sim);
        args.replaceInStrings("%pty", server->slavePath());
        std::unique_ptr<Ser2net> ser2net; // a network port by its URL, through a real ser2net by RFC 2217
        if (args.contains("%url")) {
            if (!Ser2net::installed())
                QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
            ser2net = std::make_unique<Ser2net>(server->slavePath());
            QVERIFY2(ser2net->start(), qPrintable(ser2net->output()));
            args.replaceInStrings("%url", ser2net->rfc2217Url());
        }
        QProcess *p = start(program, args);
        p->write(input);
        p->closeWriteChannel();
        QVERIFY(p->waitForFinished(60000));
        const QByteArray got = p->readAllStandardOutput(), errors = p->readAllStandardError();
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QVERIFY2(p->exitCode() == status, errors.constData());
        out.replace("%pty", server->slavePath().toLocal8Bit());
        if (out.endsWith("..."))
            QCOMPARE(got.left(out.size() - 3), out.chopped(3));
        else
            QCOMPARE(got, out);
        QVERIFY2(errors.contains(err.toUtf8()), errors.constData());
        QMutexLocker lock(&mutex);
        if (wireSent != "-")
            QCOMPARE(wire, wireSent);
        if (QTest::currentDataTag() == QByteArray("scan, no drive")) // 6 rates x 2 framings x 15 addresses
            QCOMPARE(wire.count('&'), 180);
    }

    // --json gives one object a line; --log writes the session's traffic, row by row.
    void jsonAndLog()
    {
        startSim("1");
        const QString log = home.filePath("session.csv");
        QProcess *p = start(CLI_PATH, {"--json", "--timeout", "300", "--log", log, "/1?1", "/1Q", "/3&"});
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitCode(), 3);
        QList<QJsonObject> o;
        for (const QByteArray &line : p->readAllStandardOutput().split('\n'))
            o << QJsonDocument::fromJson(line).object();
        QCOMPARE(o.size(), 4);
        const double ms = o[0].take("ms").toDouble(-1);
        QVERIFY(ms >= 0 && ms < 300);
        o[1].remove("ms");
        QCOMPARE(o, (QList<QJsonObject>{{{"command", "/1?1"}, {"data", "1000"}, {"error", 0}, {"text", "No Error"}, {"ready", true}},
                                        {{"command", "/1Q"}, {"data", ""}, {"error", 2}, {"text", "Invalid Command"}, {"ready", true}},
                                        {{"command", "/3&"}, {"timeout", true}, {"ms", 300}}, {}}));

        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll(); // the session's rows: a command out, a reply in, the time-out
        for (const char *cells : {",COM1,out,2F 31 3F 31 0D,/1?1<CR>,", ",COM1,in,FF 2F 30 62 03 0D 0A,", ",time-out: no reply to /3& after "})
            QVERIFY2(text.contains(cells), text.constData());
        QVERIFY2(text.endsWith(",COM1,event,,,port closed,\r\n"), text.right(80).constData()); // closed before the log ends
    }

    void interrupted()
    {
        // stdin stays open: the client waits for more commands until SIGINT.
        startSim("1");
        QProcess *p = start(CLI_PATH, {"-"});
        p->write("/1?0\n");
        QVERIFY(p->waitForReadyRead(10000));
        QCOMPARE(p->readAllStandardOutput(), "/1?0\t0 No Error\n");
        const QString lock = "/run/lock/LCK.." + server->slavePath().mid(5).replace('/', '_');
        QVERIFY(QFile::exists(lock)); // the client's own, while its port is open
        ::kill(pid_t(p->processId()), SIGINT);
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitCode(), 130); // not a death by the signal, which would read 2
        QVERIFY(!QFile::exists(lock)); // the port was closed as the program ended
    }

    void playbackKeepsPace()
    {
        // Rows "/1?0" and "/1?1"; presses: row 0, row 1 six ticks later, the end two ticks on.
        startSim("1");
        QFile file(home.filePath("pace.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\"/1?0\"\r\n\"/1?1\"\r\n" + QByteArray("\"\"\r\n").repeated(23) + "0\r\n0\r\n1\r\n6\r\n\"\"\r\n2\r\n"
                   + QByteArray("0\r\n0\r\n").repeated(497));
        file.close();
        QProcess *p = start(CLI_PATH, {"--file", file.fileName(), "--repeat", "2"});
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitCode(), 0);
        QCOMPARE(p->readAllStandardOutput(), "/1?0\t0 No Error\n/1?1\t1000 No Error\n/1?0\t0 No Error\n/1?1\t1000 No Error\n");
        // A pass is 6 + 2 ticks and one more to start again: presses at 0, 300, 450 and 750 ms.
        QMutexLocker lock(&mutex);
        QCOMPARE(commandMs.size(), 4);
        const qint64 expected[] = {0, 300, 450, 750};
        for (int i = 1; i < 4; ++i)
            QVERIFY2(qAbs(commandMs[i] - commandMs[0] - expected[i]) <= 50,
                     qPrintable(QStringLiteral("press %1 at %2 ms").arg(i).arg(commandMs[i] - commandMs[0])));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
