// End to end: the console's device link talks to the drive simulator over a pseudo-terminal,
// in both framings, and decodes the replies into a row's data and status text and its
// indicator colour; a silent drive, or an OEM reply with a wrong checksum, ends in the link's
// time-out; noise on the line before a reply is skipped in OEM mode and shifts the data in DT.
#include "link/drivelink.h"
#include "sim/ptyserver.h"
#include "support/linkfakes.h"
#include "support/tempstore.h"

#include <QTest>

Q_DECLARE_METATYPE(framing::Mode)

class TestSimLink : public QObject {
    Q_OBJECT

    TempStore store;

private slots:
    void exchange_data()
    {
        QTest::addColumn<framing::Mode>("mode");
        QTest::addColumn<QByteArray>("before"); // fed to the bus first
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("rowText"); // the time-out text: the drive is silent, the row red
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("fault"); // of the simulator: "silent", "badsum" or "noise"
        const auto DT = framing::Mode::DT, OEM = framing::Mode::OEM;
        const QByteArray none, longMove("/1A900000R\r"); // the drive is busy for the whole test
        QTest::newRow("dt position") << DT << none << "/1?0" << "1000 No Error" << "1000" << "";
        QTest::newRow("oem position") << OEM << none << "/1?0" << "1000 No Error" << "1000" << "";
        QTest::newRow("oem move") << OEM << none << "/1A1000R" << " No Error" << "" << "";
        QTest::newRow("oem invalid operand") << OEM << none << "/1A" << " Invalid Operand" << "" << "";
        QTest::newRow("dt busy") << DT << longMove << "/1A0R" << "Device is already executing a command" << "" << "";
        QTest::newRow("dt silent") << DT << none << "/1?0" << DriveLink::kTimeoutText << "" << "silent";
        QTest::newRow("oem wrong checksum") << OEM << none << "/1?0" << DriveLink::kTimeoutText << "" << "badsum";
        QTest::newRow("oem noise") << OEM << none << "/1?0" << "1000 No Error" << "1000" << "noise";
        // Two noise bytes before the lead-in: the status is still found after the first "0", the
        // data starts two places early.
        QTest::newRow("dt noise") << DT << none << "/1?0" << "0`1000 No Error" << "0`1000" << "noise";
    }
    void exchange()
    {
        QFETCH(framing::Mode, mode);
        QFETCH(QByteArray, before);
        QFETCH(QString, command);
        QFETCH(QString, rowText);
        QFETCH(QString, data);
        QFETCH(QString, fault);
        const bool timedOut = rowText == DriveLink::kTimeoutText;
        sim::PtyServer server;
        sim::DriveBus &bus = server.bus();
        bus.drive('1')->setPosition(1000);
        bus.feed(before);
        bus.faults().silent = fault == "silent";
        bus.faults().badChecksum = fault == "badsum";
        if (fault == "noise")
            bus.faults().noise = QByteArray::fromHex("a55a");
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
        QCOMPARE(rows.text.value(3), rowText);
        QCOMPARE(rows.outcome.value(3), timedOut ? Outcome::TimedOut : Outcome::Decoded);
        QCOMPARE(dataAtDecode, data);
        if (!timedOut)
            QTRY_COMPARE_WITH_TIMEOUT(link.DecodeSettingsResponse(), mode == framing::Mode::DT ? data + '\n' : data, 1000);
        // The simulator saw the command exactly as the link framed it.
        const auto &log = bus.commandLog();
        QCOMPARE(log.size(), size_t(before.isEmpty() ? 1 : 2));
        QCOMPARE(log.back(), mode == framing::Mode::DT ? command.toLatin1() + '\r' : framing::oemFrame(command.toLatin1()));
    }
};

QTEST_MAIN(TestSimLink)
#include "test_sim_link.moc"
