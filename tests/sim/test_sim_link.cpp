// End to end: the console's device link talks to the drive simulator over a pseudo-terminal,
// in both framings, and decodes the replies into a row's data and status text and its
// indicator colour; faults of the simulator end in the link's time-out.
#include "link/drivelink.h"
#include "sim/ptyserver.h"
#include "support/tempstore.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

namespace {

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
    framing::Mode framingMode() override { return mode; }
    QString portNumberText() override { return QStringLiteral("1"); }
    QString baudRateText() override { return QStringLiteral("38400"); }
};

enum class Setup { Plain, Busy, Silent, BadChecksum, Noise, Delayed };

} // namespace

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
        QTest::addColumn<QString>("rowText");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QString>("data");
        const auto DT = framing::Mode::DT;
        const auto OEM = framing::Mode::OEM;
        const QString timeout = DriveLink::kTimeoutText;
        QTest::newRow("dt position") << DT << Setup::Plain << "/1?0" << "1000 No Error" << colours::green << "1000";
        QTest::newRow("oem position") << OEM << Setup::Plain << "/1?0" << "1000 No Error" << colours::green << "1000";
        QTest::newRow("dt version") << DT << Setup::Plain << "/1&" << "REZizavur V1.05 No Error" << colours::green << "REZizavur V1.05";
        QTest::newRow("oem move") << OEM << Setup::Plain << "/1A1000R" << " No Error" << colours::green << "";
        QTest::newRow("dt invalid command") << DT << Setup::Plain << "/1X" << " Invalid Command" << colours::green << "";
        QTest::newRow("oem invalid operand") << OEM << Setup::Plain << "/1A" << " Invalid Operand" << colours::green << "";
        QTest::newRow("dt busy") << DT << Setup::Busy << "/1A0R" << "Device is already executing a command" << colours::green << "";
        QTest::newRow("oem busy query") << OEM << Setup::Busy << "/1?8" << "291 No Error" << colours::green << "291";
        QTest::newRow("oem noise first") << OEM << Setup::Noise << "/1?0" << "1000 No Error" << colours::green << "1000";
        QTest::newRow("dt delayed") << DT << Setup::Delayed << "/1?0" << "1000 No Error" << colours::green << "1000";
        QTest::newRow("oem wrong checksum") << OEM << Setup::BadChecksum << "/1?0" << timeout << colours::red << "";
        QTest::newRow("dt silent") << DT << Setup::Silent << "/1?0" << timeout << colours::red << "";
        QTest::newRow("oem no such drive") << OEM << Setup::Plain << "/5?0" << timeout << colours::red << "";
    }
    void exchange()
    {
        QFETCH(framing::Mode, mode);
        QFETCH(Setup, setup);
        QFETCH(QString, command);
        QFETCH(QString, rowText);
        QFETCH(QColor, colour);
        QFETCH(QString, data);

        sim::PtyServer server;
        sim::DriveBus &bus = server.bus();
        bus.drive('1')->setPosition(1000);
        switch (setup) {
        case Setup::Plain:
            break;
        case Setup::Busy:
            bus.feed("/1A900000R\r"); // a long move: the drive is busy for the whole test
            bus.poll();
            break;
        case Setup::Silent:
            bus.faults().silent = true;
            break;
        case Setup::BadChecksum:
            bus.faults().badChecksum = true;
            break;
        case Setup::Noise:
            bus.faults().noise = QByteArray("\x11\xfe\x0d\x03", 4);
            break;
        case Setup::Delayed:
            bus.faults().replyDelayMs = 100;
            break;
        }
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        store.mapPort(1, server.slavePath());

        Rows rows;
        Live live;
        live.mode = mode;
        DriveLink link(rows, live);
        link.ErrorTexts = framing::errorTexts();
        link.tmrReceiveTimeOut().setInterval(400);
        QSignalSpy decoded(&link, &DriveLink::replyDecoded);
        QSignalSpy timedOut(&link, &DriveLink::replyTimedOut);
        // The data text as the decode leaves it (a DT reply's LF, after its CR, is collected
        // into the buffer afterwards, as the link does with every character but CR).
        QString dataAtDecode;
        connect(&link, &DriveLink::replyDecoded, this, [&] { dataAtDecode = link.DecodeSettingsResponse(); });

        link.CurrentCommand = command;
        link.CurrentRow = 3;
        link.ResponseBuffer.clear();
        link.subSendToDrive();
        QDeadlineTimer deadline(5000);
        while (decoded.isEmpty() && timedOut.isEmpty() && !deadline.hasExpired())
            QTest::qWait(2);

        QCOMPARE(rows.text.value(3), rowText);
        QCOMPARE(rows.colour.value(3), colour);
        QCOMPARE(rows.enables, 1);
        if (colour == colours::green) {
            QCOMPARE(dataAtDecode, data);
            QTest::qWait(20);
            QCOMPARE(link.DecodeSettingsResponse(), mode == framing::Mode::DT ? data + '\n' : data);
        }
        // The simulator saw the command exactly as the link framed it.
        const auto &log = bus.commandLog();
        QCOMPARE(log.size(), size_t(setup == Setup::Busy ? 2 : 1));
        const QByteArray wire = mode == framing::Mode::DT ? command.toLatin1() + '\r'
                                                          : framing::oemFrame(command).toLatin1();
        QCOMPARE(log.back(), wire);
        link.MSComm1().close();
    }
};

QTEST_MAIN(TestSimLink)
#include "test_sim_link.moc"
