// The firmware update: the transfer without a window, on a real port against the drive simulator
// on a pty, shown to a recording view; then the window offscreen with scripted dialogs.
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "settings/settingswindow.h"
#include "sim/ptyserver.h"
#include "support/recordingview.h"
#include "support/scriptedplatform.h"
#include "support/ser2net.h"
#include "support/tempstore.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kCom = 3;

QByteArray imageBytes(int size)
{
    QByteArray b;
    for (int i = 0; i < size; ++i)
        b.append(char((i * 37 + 11) & 0xFF));
    return b;
}

const QString kConfirm = "Are you sure you want to continue? \r\n\r\n- Disconnect all other devices from serial bus.\r\n"
                         "- Terminate connections for high baud rates.\r\n\r\n- DO NOT POWER OFF DEVICE until update is complete.";
const QString kUnvalidated = "Unable to validate file for this controller state.\r\rThe controller has not passed "
                             "self-validation.\rTake care to ensure this is the correct update for this particular stepper controller.";

// The bar: 2, 5, 10, 20, then `steps` steps of 5, then the tail.
QString bar(int steps, const QString &tail)
{
    QString s = "2,5,10,20";
    for (int i = 1; i <= steps; ++i)
        s += "," + QString::number(20 + 5 * i);
    return s + tail;
}

// One update against the simulated drive 1 (device ID 2623, "dev 126231 rev B" to "!").
struct Attempt {
    QByteArray file = "00A3F" + imageBytes(12); // empty: a file that is not there
    QByteArray version = "REZizavur V1.01", modeAnswer = "  ?", blockReply = "*", errorReply = "bad error";
    QString baud = "9600", address = "1", atSpinner7{}; // at block 8: Update pressed again ("update"), or "stop"
    bool yes = true, notValidated = false, overNetwork = false; // through ser2net, by RFC 2217
    int errorAt = 0, silentFrom = 0, hangUpAfter = -1; // blocks from 1; bytes received
    std::vector<QByteArray> wire = {"/1&\r", "/1b9600R\r", "/1[\r"};
    QStringList statuses = done(), messages = {"ask: " + kConfirm};
    QByteArray image = imageBytes(12); // what the drive receives
    QString progress = bar(2, ",100,0"), spins = "0,[ ]", ended = "transfer";
};

} // namespace

Q_DECLARE_METATYPE(Attempt)

class TestFirmware : public QObject {
    Q_OBJECT

    TempStore store;
    QTemporaryDir dir;
    std::unique_ptr<sim::PtyServer> server;
    std::unique_ptr<ScriptedPlatform> ui;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName() : QString();
    }
    sim::DriveBus &bus() { return server->bus(); }

private slots:
    void init()
    {
        server = std::make_unique<sim::PtyServer>();
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        bus().drive('1')->config().deviceIdText = "dev 126231 rev B";
        bus().updateShortBlockGapMs = 20;
        bus().updateIdleExitMs = 500;
        store.mapPort(kCom, server->slavePath());
        ui = std::make_unique<ScriptedPlatform>();
        windows::get<Settings>().fields.CommPortSetting->setText(QString::number(kCom));
    }
    void cleanup()
    {
        windows::unload<frmFlash>();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ui.reset();
        server.reset();
    }

    void transfer_data()
    {
        QTest::addColumn<Attempt>("c");
        auto file = [](int size) { return "00A3F" + imageBytes(size); };
        const QString spins100 = "0,7,14,21,28,35,42,49,56,63,70,77,84,91,98,[ ]";
        Attempt full{.file = "10A3F" + imageBytes(600), .version = "DRV V2.05 ok", .baud = "57600",
                     .wire = {"/1&\r", "/1!\r", "/1b57600R\r", "/1]\r"}, .statuses = done("Status: ***FULL UPDATE*** AMX file OK..."),
                     .image = imageBytes(600), .progress = bar(14, ",100,0"), .spins = spins100};
        QTest::newRow("605 full update, device query") << full;
        full.overNetwork = true; // every byte value, 0xFF among them, through telnet
        QTest::newRow("605 full update over RFC 2217") << full;
        // Update pressed again during the transfer changes nothing.
        QTest::newRow("95 bytes, Update pressed again") << Attempt{.file = file(90), .atSpinner7 = "update", .image = imageBytes(90),
                                                                   .progress = bar(8, ",100,0"), .spins = "0,7,14,[ ]"};
        const QByteArray bare = "01ABC" + imageBytes(595);
        QTest::newRow("no header, 600") << Attempt{.file = bare, .image = bare, .progress = bar(14, ",100,0"), .spins = spins100};
        QTest::newRow("header only") << Attempt{.file = "00A3F", .image = {}, .progress = bar(0, ",100,0"), .spins = "[ ]"};
        QTest::newRow("short last block") << Attempt{.file = file(21), .image = imageBytes(21), .progress = bar(4, ",100,0")};
        // A block starts only below the file length, so a lone last byte is not sent.
        QTest::newRow("one byte last block") << Attempt{.file = file(13)};
        // After a "?" to the version query the baud change asks for 9600 whatever was chosen.
        QTest::newRow("? self-validation") << Attempt{.baud = "57600", .notValidated = true, .statuses = done("Status: Unable to validate file for this controller state..."),
                                                      .messages = {"warn: " + kUnvalidated, "ask: " + kConfirm}};
        QTest::newRow("blank block replies") << Attempt{.blockReply = "  "};
        // Attempts that end before the first block.
        QTest::newRow("answer No") << Attempt{.yes = false, .wire = {"/1&\r"}, .statuses = done().mid(0, 3) << "Status: None",
                                              .image = {}, .progress = "2,0", .spins = "", .ended = "common"};
        auto refused = [](QByteArray file, QByteArray version, std::vector<QByteArray> wire, QString message) {
            return Attempt{.file = file, .version = version, .wire = wire, .statuses = done().mid(0, 2) << "Status: Invalid AMX update file...",
                           .messages = {"info: " + message}, .image = {}, .progress = "2,0", .spins = "", .ended = "common"};
        };
        QTest::newRow("device without the ID") << refused("00A40", "REZizavur V1.02", {"/1&\r", "/1!\r"},
                                                          "This AMX update file does not work with this stepper model or this model can not be field upgraded.");
        QTest::newRow("not numeric") << refused("00A3F", "REZizavur Vx.01", {"/1&\r"}, "validUpdateFile() Error #: 13 :: Type mismatch");
        QTest::newRow("no header: two spaces") << refused("01ABC", "REZizavur V123.4", {"/1&\r"}, "Unknown version response from  controller.");
        QTest::newRow("file gone") << refused("", "", {}, "validUpdateFile() Error #: 53 :: File not found");
        // Address "0": nothing between "/" and the command, and no drive answers that.
        Attempt nobody = refused("00A3F", "", {"/&\r"}, "Unable to get a valid version string from stepper controller.");
        nobody.address = "";
        QTest::newRow("address 0, nobody answers") << nobody;
        QTest::newRow("no mode answer") << Attempt{.modeAnswer = "", .statuses = done().mid(0, 5), .messages = {"ask: " + kConfirm, "none: Response: ''. Exiting..."},
                                                   .image = {}, .progress = "2,5,10,0", .spins = "", .ended = "common"};
        // Endings in the block loop of a 65-byte file; only the time-out clears the spinner.
        auto ending = [](QString status, int blocks, QString tail, QString spins) {
            return Attempt{.file = "00A3F" + imageBytes(60), .statuses = done().mid(0, 6) << status, .image = imageBytes(6 * blocks),
                           .progress = bar(blocks - 1, tail), .spins = spins};
        };
        Attempt error = ending("Status: bad error!", 4, ",0", "0"), stop = ending("Status: Transfer stopped.", 8, ",0", "0,7"),
                hangUp = ending("Status: Serial port lost (<port>). Transfer stopped.", 3, ",0", "0"),
                silence = ending("Status: Timeout. No REZizavur detected.", 8, ",0,0", "0,[ ]");
        error.errorAt = 4, stop.atSpinner7 = "stop";
        hangUp.hangUpAfter = 17 + 18, silence.silentFrom = 8; // the commands' bytes, three blocks
        QTest::newRow("lower-case error in block 4") << error;
        QTest::newRow("stopped at block 8") << stop;
        QTest::newRow("hang-up in block 3") << hangUp;
        QTest::newRow("silence from block 8") << silence;
    }
    void transfer()
    {
        QFETCH(Attempt, c);
        sim::DriveConfig &drive = bus().drive('1')->config();
        drive.versionText = c.version, drive.notValidated = c.notValidated, drive.updateModeAnswer = c.modeAnswer;
        bus().updateReply = c.blockReply;
        sim::Faults &faults = bus().faults();
        faults.errorAtBlock = c.errorAt, faults.errorReply = c.errorReply;
        faults.silentFromBlock = c.silentFrom, faults.hangUpAfterBytes = c.hangUpAfter;
        const QString path = c.file.isEmpty() ? dir.filePath("gone.amx") : writeFile("fw.amx", c.file);
        std::unique_ptr<Ser2net> network;
        if (c.overNetwork) {
            if (!Ser2net::installed())
                QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
            network = std::make_unique<Ser2net>(server->slavePath());
            QVERIFY2(network->start(), qPrintable(network->output()));
            store.mapPort(kCom, network->rfc2217Url());
        }
        CommPort port;
        port.setPortNumber(kCom);
        CommUpdatePort line(port);
        RecordingView view;
        view.address = c.address, view.baud = c.baud, view.yes = c.yes;
        QTimer timer;
        timer.setInterval(250);
        UpdateTransfer transfer(line, view, timer);
        connect(&timer, &QTimer::timeout, &transfer, &UpdateTransfer::timeOut);
        view.onSpinner = [&](int count) {
            if (count == 7 && c.atSpinner7 == "update")
                transfer.run(path);
            if (count == 7 && c.atSpinner7 == "stop")
                transfer.stop();
        };
        QElapsedTimer t;
        t.start();
        transfer.run(path);
        QVERIFY(t.elapsed() < 2 * 300 + 2 * (250 + UpdateTransfer::kReplyMargin) + 5000); // every wait ends
        QCOMPARE(view.statuses.replaceInStrings(server->slavePath(), "<port>").join('|'), c.statuses.join('|'));
        QCOMPARE(bus().commandLog(), c.wire);
        QCOMPARE(bus().updateImage(), c.image);
        QCOMPARE(view.messages, c.messages);
        QCOMPARE(view.progress.join(','), c.progress);
        QCOMPARE(view.spins.join(','), c.spins);
        QCOMPARE(view.ended, c.ended);
        if (c.wire.size() > 2 && c.hangUpAfter < 0) // the port keeps the new rate on the line
            QCOMPARE(QString::number(server->baudRate()), view.baud);
        if (c.silentFrom == 0)
            return;
        // A new attempt after the time-out goes all the way.
        QTRY_VERIFY(!bus().inUpdateMode());
        faults.silentFromBlock = 0;
        transfer.run(path);
        QCOMPARE(bus().updateImage(), c.file.mid(5));
    }

    void loading()
    {
        Settings &s = windows::get<Settings>();
        s.fields.RCVTimeout->setText("1234");
        s.fields.lstBaudRate->setCurrentRow(3);
        // The console's port is closed when the window loads.
        CommPort &console = windows::get<StringFun>().MSComm1();
        console.setPortNumber(kCom);
        QVERIFY(console.open());
        frmFlash &w = windows::get<frmFlash>();
        QVERIFY(!console.isOpen() && !w.MSCommFlash.isOpen() && !w.tmrMSCommFlash.isActive());
        QVERIFY(s.windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(QString("%1 %2 %3 %4").arg(w.MSCommFlash.portNumber()).arg(w.MSCommFlash.lineSettings())
                     .arg(w.MSCommFlash.receiveThreshold()).arg(w.tmrMSCommFlash.interval()), QString("3 57600 0 1234"));
        // Load Image cancelled, then a missing file and a missing folder: nothing is loaded.
        w.cmdLoadImage_Click();
        for (const QString answer : {"gone.amx", "nowhere/gone.amx"})
            ui->files.enqueue(dir.filePath(answer)), w.cmdLoadImage_Click();
        QStringList shown = {w.windowTitle(), w.fmeUpdate->title(), w.lblBaud->text(), w.lblID->text(), w.cmdLoadImage->text(),
                             w.cmdUpdate->text(), w.cmdClose->text(), w.cmdPause->text(), w.txtStatus->text(), w.txtSpinner->text(),
                             w.txtSpinner->font().family()};
        for (QComboBox *list : {w.cboBaud, w.cboID}) // each address entry with the character it puts on the wire
            for (int i = 0; i < list->count(); ++i)
                list->setCurrentIndex(i), shown << list->itemText(i) + (list == w.cboID ? " " + w.AddressChar() : "");
        QCOMPARE(shown.join('|'), QString("Firmware Update|Update Firmware|Baud Rate:|Device Address:|Load Image|Update|Close|"
                                          "Pause Transfer|Status: None||Lucida Console|9600|19200|38400|57600|1 1|2 2|3 3|"
                                          "4 4|5 5|6 6|7 7|8 8|9 9|A :|B ;|C <|D =|E >|F @|0 "));
        QVERIFY(!w.cmdUpdate->isEnabled() && !w.cmdPause->isEnabled() && w.cmdPause->isHidden());
        QCOMPARE((QList<int>{w.pgbUpdate->minimum(), w.pgbUpdate->maximum(), w.pgbUpdate->value()}), (QList<int>{0, 100, 0}));
        // The spinner for the block indexes the transfer gives; a negative count changes nothing.
        QString spins;
        for (int count : {0, 7, 14, 21, 28, 1, -3})
            w.updateSpinner(count), spins += w.txtSpinner->text();
        QCOMPARE(spins, QString("-/|\\-\\\\"));
        QCOMPARE(ui->texts(), (QStringList{"cmdLoadImage_Click() Error #: 53 :: File not found", "cmdLoadImage_Click() Error #: 76 :: Path not found"}));
        for (const platform::Message &m : ui->messages)
            QCOMPARE(m.icon, QMessageBox::Information);
        for (const platform::FileDialogRequest &r : ui->dialogs)
            QCOMPARE((r.kind == platform::FileDialogRequest::Open ? "open|" : "save|") + r.title + "|" + r.filter, QString("open|Firmware Update|DIVududi (*.amx)"));
        QCOMPARE(ui->dialogs.size(), 3);
    }

    // Updates in the window opened from the settings window (modal, owned by the console): the
    // address and baud it shows, its status line, spinner, bar and message boxes (caption,
    // buttons, icon); Load Image and Close pressed during a transfer. Close ends each case: the
    // window is gone, the settings window back and the line free.
    void windowUpdate_data()
    {
        QTest::addColumn<QString>("drive"); // address "1" or "A"; "?": not validated, "E": Error at block 9, "X": refuses update mode; at block 8 "L": Load Image, "C": Close
        QTest::addColumn<QStringList>("shown"); // status, spinner, baud, then the messages: icon letter and text
        const QString ask = "I " + kConfirm;
        QTest::newRow("complete at address A") << "A" << QStringList{"Status: OK", " ", "57600", ask};
        QTest::newRow("not validated, Error at block 9") << "1?E" << QStringList{"Status: Error!", "/", "9600", "W " + kUnvalidated, ask};
        QTest::newRow("update mode refused") << "AX" << QStringList{"Status: Entering update mode...", "", "57600", ask, "N Response: 'X'. Exiting..."};
        QTest::newRow("Load Image at block 8") << "AL" << QStringList{"Status: Loaded <b.amx>", "/", "57600", ask};
        QTest::newRow("Close at block 8") << "AC" << QStringList{"closed"};
    }
    void windowUpdate()
    {
        QFETCH(QString, drive);
        QFETCH(QStringList, shown);
        const char address = drive.startsWith('A') ? ':' : '1';
        sim::DriveConfig &d = bus().addDrive(address).config();
        d.versionText = "REZizavur V1.01", d.notValidated = drive.contains('?'), d.updateModeAnswer = drive.endsWith('X') ? "X " : "?";
        bus().faults().errorAtBlock = drive.contains('E') ? 9 : 0;
        const QString first = writeFile("a.amx", "00A3F" + imageBytes(600)), second = writeFile("b.amx", "00A3F");
        Settings &s = windows::get<Settings>();
        s.fields.RCVTimeout->setText("250");
        s.fields.lstBaudRate->setCurrentRow(0);
        s.show();
        QStringList got;
        QList<int> values;
        QTimer::singleShot(0, [&] {
            QPointer<frmFlash> w = windows::loaded<frmFlash>();
            QVERIFY(w && w->isVisible() && w->windowModality() == Qt::ApplicationModal && !s.isVisible());
            QCOMPARE(w->parentWidget(), &windows::get<StringFun>());
            ui->files.enqueue(first);
            w->cmdLoadImage_Click();
            w->cboID->setCurrentText(drive.left(1));
            w->cboBaud->setCurrentText("57600");
            connect(w->pgbUpdate, &QProgressBar::valueChanged, [&](int v) { values << v; });
            connect(w->txtSpinner, &QLineEdit::textChanged, [&, w](const QString &t) {
                if (t == "/" && drive.endsWith('L'))
                    ui->files.enqueue(second), w->cmdLoadImage->click();
                if (t == "/" && drive.endsWith('C'))
                    w->cmdClose->click();
            });
            w->cmdUpdate_Click();
            if (!w || w->isUnloading())
                return got << "closed", void();
            QVERIFY(!w->cmdUpdate->isEnabled() && !w->cmdPause->isEnabled() && w->isEnabled());
            QTRY_VERIFY(w && w->cmdUpdate->isEnabled() == drive.endsWith('L')); // a new file chosen after the stop
            got << w->txtStatus->text().replace(second, "<b.amx>") << w->txtSpinner->text() << w->cboBaud->currentText();
            for (const platform::Message &m : ui->messages) {
                QCOMPARE(m.caption, platform::kAppTitle);
                QCOMPARE(m.buttons, m.text == kConfirm ? QMessageBox::Yes | QMessageBox::No : QMessageBox::StandardButtons(QMessageBox::Ok));
                got << QString("NIWCQ"[m.icon]) + " " + m.text;
            }
            QCOMPARE(values.mid(0, 3) << values.last(), (QList<int>{2, 5, 10, 0}));
            QCOMPARE(bus().commandLog()[1], "/" + QByteArray(1, address) + "b" + w->cboBaud->currentText().toLatin1() + "R\r");
            w->cmdClose->click();
        });
        QTimer safety;
        connect(&safety, &QTimer::timeout, [] { windows::unload<frmFlash>(); });
        safety.start(10000);
        frmFlash::openFromSettings();
        QVERIFY(safety.isActive());
        QCOMPARE(got, shown);
        if (drive.endsWith('L') || drive.endsWith('C'))
            QCOMPARE(bus().updateImage(), imageBytes(48));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!windows::loaded<frmFlash>() && s.isVisible() && !(s.windowFlags() & Qt::WindowStaysOnTopHint));
        s.hide();
        CommPort &console = windows::get<StringFun>().MSComm1();
        console.setPortNumber(kCom);
        QVERIFY(console.open());
        console.close();
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
