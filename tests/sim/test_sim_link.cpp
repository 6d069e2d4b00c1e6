// End to end: the console's device link talks to the drive simulator over a pseudo-terminal,
// in both framings, and decodes the replies into a row's data and status text and its
// indicator colour; faults of the simulator end in the link's time-out.
#include "link/drivelink.h"
#include "sim/ptyserver.h"
#include "support/linkfakes.h"
#include "support/tempstore.h"

#include <QTest>

enum class Setup { Plain, Busy, Silent, BadChecksum, Noise };
Q_DECLARE_METATYPE(framing::Mode)
Q_DECLARE_METATYPE(Setup)

class TestSimLink : public QObject {
    Q_OBJECT

    TempStore store;

private slots:
    void exchange_data()
    {
        QTest::addColumn<framing::Mode>("mode");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("rowText"); // red, after a time-out, if it is the time-out text
        QTest::addColumn<QString>("data");
        const auto DT = framing::Mode::DT;
        const auto OEM = framing::Mode::OEM;
        const QString timeout = DriveLink::kTimeoutText;
        QTest::newRow("dt position") << DT << Setup::Plain << "/1?0" << "1000 No Error" << "1000";
        QTest::newRow("oem position") << OEM << Setup::Plain << "/1?0" << "1000 No Error" << "1000";
        QTest::newRow("oem move") << OEM << Setup::Plain << "/1A1000R" << " No Error" << "";
        QTest::newRow("dt invalid command") << DT << Setup::Plain << "/1X" << " Invalid Command" << "";
        QTest::newRow("oem invalid operand") << OEM << Setup::Plain << "/1A" << " Invalid Operand" << "";
        QTest::newRow("dt busy") << DT << Setup::Busy << "/1A0R" << "Device is already executing a command" << "";
        QTest::newRow("oem busy query") << OEM << Setup::Busy << "/1?8" << "291 No Error" << "291";
        QTest::newRow("oem noise first") << OEM << Setup::Noise << "/1?0" << "1000 No Error" << "1000";
        QTest::newRow("oem wrong checksum") << OEM << Setup::BadChecksum << "/1?0" << timeout << "";
        QTest::newRow("dt silent") << DT << Setup::Silent << "/1?0" << timeout << "";
    }
    void exchange()
    {
        QFETCH(framing::Mode, mode);
        QFETCH(Setup, setup);
        QFETCH(QString, command);
        QFETCH(QString, rowText);
        QFETCH(QString, data);
        sim::PtyServer server;
        sim::DriveBus &bus = server.bus();
        bus.drive('1')->setPosition(1000);
        if (setup == Setup::Busy)
            bus.feed("/1A900000R\r"); // a long move: the drive is busy for the whole test
        bus.faults().silent = setup == Setup::Silent;
        bus.faults().badChecksum = setup == Setup::BadChecksum;
        if (setup == Setup::Noise)
            bus.faults().noise = QByteArray("\x11\xfe\x0d\x03", 4);
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        store.mapPort(1, server.slavePath());

        RecordedRows rows;
        LiveSettings live;
        live.mode = mode;
        DriveLink link(rows, live);
        link.ErrorTexts = framing::errorTexts();
        link.tmrReceiveTimeOut().setInterval(400);
        // The data text as the decode leaves it (a DT reply's LF, after its CR, is collected
        // into the buffer afterwards, as the link does with every character but CR).
        QString dataAtDecode;
        connect(&link, &DriveLink::replyDecoded, this, [&] { dataAtDecode = link.DecodeSettingsResponse(); });
        sendFromRow(link, command, 3);
        QVERIFY(waitForResult(link, 5000));

        const bool timedOut = rowText == DriveLink::kTimeoutText;
        QCOMPARE(rows.text.value(3), rowText);
        QCOMPARE(rows.colour.value(3), timedOut ? colours::red : colours::green);
        QCOMPARE(rows.enables, 1);
        QCOMPARE(dataAtDecode, data);
        if (!timedOut)
            QTRY_COMPARE_WITH_TIMEOUT(link.DecodeSettingsResponse(), mode == framing::Mode::DT ? data + '\n' : data, 1000);
        // The simulator saw the command exactly as the link framed it.
        const auto &log = bus.commandLog();
        QCOMPARE(log.size(), size_t(setup == Setup::Busy ? 2 : 1));
        QCOMPARE(log.back(), mode == framing::Mode::DT ? command.toLatin1() + '\r' : framing::oemFrame(command).toLatin1());
        link.MSComm1().close();
    }
};

QTEST_MAIN(TestSimLink)
#include "test_sim_link.moc"
