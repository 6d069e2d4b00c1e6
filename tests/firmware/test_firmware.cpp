// The firmware update: AMX headers and version words without any window, then the real
// window offscreen against a drive played by hand on a real pty (and once against the drive
// simulator), with scripted dialogs.
#include "console/stringfun.h"
#include "firmware/amxfile.h"
#include "firmware/frmflash.h"
#include "settings/settingswindow.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"
#include "handdrive.h"
#include "sim/ptyserver.h"

#include <QTemporaryDir>
#include <QTest>

#include <termios.h>

namespace {

constexpr int kCom = 3;

QByteArray imageBytes(int size)
{
    QByteArray b;
    for (int i = 0; i < size; ++i)
        b.append(char((i * 37 + 11) & 0xFF));
    return b;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

const QString kOk = "Status: AMX file OK...", kInvalid = "Status: Invalid AMX update file...";
const QString kConfirm = "Are you sure you want to continue? \r\n\r\n- Disconnect all other devices from serial bus.\r\n"
                         "- Terminate connections for high baud rates.\r\n\r\n- DO NOT POWER OFF DEVICE until update is complete.";

// The statuses after the two validation stages of an update that goes all the way.
QStringList done(const QString &validated = kOk)
{
    return {validated, "Status: Negotiating baud rate...", "Status: Entering update mode...",
            "Status: Transmitting data...", "Status: Transfer complete...", "Status: OK"};
}

// One press of Update against the hand-played drive.
struct Attempt {
    QByteArray file = "00A3F" + imageBytes(12); // empty: removed after it was chosen
    QByteArray version = "V1.01\r", device = "2623\r", modeReply = "  ?";
    int baud = 0, address = 0;
    bool yes = true;         // the answer to the confirmation
    QByteArray errorReply{}; // the reply to block 3, if not "K"
    int silentFrom = -1, hangUpAfter = -1;
    bool pressAgain = false; // Update pressed again after block 10
    QStringList wire = {"/1&\r", "/1b9600R\r", "/1[\r"};
    QStringList statuses = done(); // after the two validation stages; <port> stands for the line's path
    QStringList messages = {kConfirm};
    QByteArray image{};   // what the drive receives
    int lastProgress = 0; // the bar just before completion
};

} // namespace

Q_DECLARE_METATYPE(Attempt)

class TestFirmware : public QObject {
    Q_OBJECT

    TempStore store;
    QTemporaryDir dir;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<HandDrive> drive;
    std::unique_ptr<ScriptedPlatform> ui;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName() : QString();
    }
    frmFlash &window() { return windows::get<frmFlash>(); }
    // Chooses the file in the window's dialog.
    frmFlash &load(const QString &path)
    {
        ui->files.enqueue(path);
        window().cmdLoadImage_Click();
        return window();
    }

private slots:
    void init()
    {
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        store.mapPort(kCom, pty->slavePath());
        drive = std::make_unique<HandDrive>(*pty);
        ui = std::make_unique<ScriptedPlatform>();
        Settings &s = windows::get<Settings>();
        s.fields.CommPortSetting->setText(QString::number(kCom));
        s.fields.RCVTimeout->setText("250");
        s.fields.lstBaudRate->setCurrentRow(0);
    }
    void cleanup()
    {
        windows::unload<frmFlash>();
        flushDeletes();
        drive.reset();
        ui.reset();
        pty.reset();
    }

    // ---- the file and the replies, without a window ------------------------------------------

    // The header test, then the header's pieces: "full"/"part", the device ID in hex and decimal, the model.
    void header_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("header"); // empty: the test fails
        QTest::newRow("10A3F") << QByteArray("10A3F\x01\x02") << "full A3F 2623 stepper";
        QTest::newRow("00a3f") << QByteArray("00a3f") << "part A3F 2623 stepper";
        QTest::newRow("50123") << QByteArray("50123") << "full 123 291 stepper";
        QTest::newRow("Z0123") << QByteArray("Z0123") << "part 000 0 stepper";
        QTest::newRow("01ABC") << QByteArray("01ABC") << "";
        QTest::newRow("6FFFF") << QByteArray("6FFFF") << "";
        QTest::newRow("three-byte file") << QByteArray("10A") << "";
    }
    void header()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, header);
        const std::optional<QString> text = amx::readHeaderText(writeFile("h.amx", content));
        QCOMPARE(text, std::optional<QString>(QString::fromLatin1(content.left(5))));
        QCOMPARE(amx::headerTest(*text), !header.isEmpty());
        if (header.isEmpty())
            return;
        AMXHeader h;
        QVERIFY(amx::getAMXHeader(*text, h));
        QCOMPARE(QString("%1 %2 %3 %4").arg(h.FullUpdate ? "full" : "part", h.DeviceIDHex).arg(h.DeviceID).arg(h.Model), header);
        QVERIFY(!h.Servo);
    }

    // The version word found in a reply, and its pieces ("major.minor.patch", and whether the
    // device is queried) or why it has none.
    void versionWord_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("pieces");
        QTest::newRow("DRV v2.05 ok") << "DRV v2.05 ok" << "v2.05" << "2.0.5 query";
        QTest::newRow("first of two") << "A  V1.02 V3.00" << "V1.02" << "1.0.2 query";
        QTest::newRow("V7.00") << "V7.00" << "V7.00" << "7.0.0";
        QTest::newRow("V12.34") << "V12.34" << "V12.34" << "12.3.4 query";
        QTest::newRow("V1.0x") << "V1.0x" << "V1.0x" << "1.0.0";
        QTest::newRow(".V12 is not") << ".V12 x" << "" << "";
        QTest::newRow("no v") << "1.02 ok" << "" << "";
        QTest::newRow("dot at 2") << "V.12" << "V.12" << "unknown";
        QTest::newRow("dot at 5") << "V123.4" << "V123.4" << "unknown";
        QTest::newRow("major not numeric") << "Va.01" << "Va.01" << "not numeric";
        QTest::newRow("minor not numeric") << "V1.x1" << "V1.x1" << "not numeric";
    }
    void versionWord()
    {
        QFETCH(QString, reply);
        QFETCH(QString, word);
        QFETCH(QString, pieces);
        QCOMPARE(amx::getVersionString(reply), word);
        if (word.isEmpty())
            return;
        const amx::VersionResult r = amx::parseVersion(word);
        const QString got = r.version ? QString("%1.%2.%3").arg(r.version->major).arg(r.version->minor).arg(r.version->patch)
                + (amx::needsDeviceCheck(*r.version) ? " query" : "")
            : r.error == amx::VersionError::NotNumeric ? "not numeric" : "unknown";
        QCOMPARE(got, pieces);
    }

    void addressAndReplies()
    {
        const QStringList expected = {"1", "2", "3", "4", "5", "6", "7", "8", "9", ":", ";", "<", "=", ">", "@", ""};
        for (int item = 1; item <= 16; ++item)
            QCOMPARE(amx::addressChar(item), expected[item - 1]);
        QCOMPARE(amx::trimSpaces("  ?x \r "), QString("?x \r"));
        QVERIFY(amx::deviceReplyMatches("ID 12910", 291));
        QVERIFY(!amx::deviceReplyMatches("ID 29 1", 291));
    }

    // ---- the window --------------------------------------------------------------------------

    void loading()
    {
        Settings &s = windows::get<Settings>();
        s.fields.CommPortSetting->setText("7");
        s.fields.RCVTimeout->setText("1234");
        s.fields.lstBaudRate->setCurrentRow(3);
        // The console's port is closed when the window loads.
        store.mapPort(7, pty->slavePath());
        CommPort &console = windows::get<StringFun>().MSComm1();
        console.setPortNumber(7);
        QVERIFY(console.open());

        frmFlash &w = window();
        QVERIFY(!console.isOpen());
        QVERIFY(s.windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(w.MSCommFlash.portNumber(), 7);
        QCOMPARE(w.MSCommFlash.lineSettings(), QString("57600"));
        QCOMPARE(w.MSCommFlash.receiveThreshold(), 0);
        QVERIFY(!w.MSCommFlash.isOpen());
        QCOMPARE(w.tmrMSCommFlash.interval(), 1234);
        QVERIFY(!w.tmrMSCommFlash.isActive());
        const QStringList shown = {w.windowTitle(), w.fmeUpdate->title(), w.lblBaud->text(), w.lblID->text(),
                                   w.cmdLoadImage->text(), w.cmdUpdate->text(), w.cmdClose->text(), w.cmdPause->text(),
                                   w.txtStatus->text(), w.txtSpinner->text(), w.txtSpinner->font().family(),
                                   w.cboBaud->itemText(3), w.cboID->itemText(9), w.cboID->itemText(15)};
        QCOMPARE(shown, (QStringList{"Firmware Update", "Update Firmware", "Baud Rate:", "Device Address:", "Load Image",
                                     "Update", "Close", "Pause Transfer", "Status: None", "", "Lucida Console", "57600", "A", "0"}));
        QCOMPARE(w.cboBaud->count(), 4);
        QCOMPARE(w.cboID->count(), 16);
        QVERIFY(!w.cmdUpdate->isEnabled() && !w.cmdPause->isEnabled() && w.cmdPause->isHidden());
        QCOMPARE((QList<int>{w.pgbUpdate->minimum(), w.pgbUpdate->maximum(), w.pgbUpdate->value()}), (QList<int>{0, 100, 0}));
        // A negative count leaves the spinner as it is.
        w.txtSpinner->setText("x");
        w.updateSpinner(-3);
        QCOMPARE(w.txtSpinner->text(), QString("x"));

    }

    void loadImage_data()
    {
        QTest::addColumn<QString>("answer"); // "" = cancel, else the file chosen
        QTest::addColumn<QString>("message");
        QTest::newRow("file") << "fw.amx" << "";
        QTest::newRow("cancel") << "" << "";
        QTest::newRow("missing") << "gone.amx" << "cmdLoadImage_Click() Error #: 53 :: File not found";
        QTest::newRow("no folder") << "nowhere/gone.amx" << "cmdLoadImage_Click() Error #: 76 :: Path not found";
    }
    void loadImage()
    {
        QFETCH(QString, answer);
        QFETCH(QString, message);
        const QString path = writeFile("fw.amx", "10A3F123456");
        frmFlash &w = window();
        if (!answer.isEmpty())
            ui->files.enqueue(dir.filePath(answer));
        w.cmdLoadImage_Click();
        QCOMPARE(ui->dialogs.size(), 1);
        QCOMPARE(ui->dialogs[0].kind, platform::FileDialogRequest::Open);
        QCOMPARE(ui->dialogs[0].title, QString("Firmware Update"));
        QCOMPARE(ui->dialogs[0].filter, QString("DIVududi (*.amx)"));
        const bool chosen = answer == "fw.amx";
        QCOMPARE(w.txtStatus->text(), chosen ? "Status: Loaded " + path : QString("Status: None"));
        QCOMPARE(w.cmdUpdate->isEnabled(), chosen);
        QCOMPARE(ui->texts(), message.isEmpty() ? QStringList() : QStringList{message});
        if (!message.isEmpty())
            QCOMPARE(ui->messages[0].icon, QMessageBox::Information);
    }

    // Presses of Update: updates that go all the way, then attempts that end before the first block.
    void attempt_data()
    {
        QTest::addColumn<Attempt>("c");
        const QByteArray img12 = imageBytes(12);
        auto file = [](int size) { return "00A3F" + imageBytes(size); };
        QTest::newRow("605 full update") << Attempt{
            .file = "10A3F" + imageBytes(600), .version = "DRV V2.05 ok\r", .baud = 3, .wire = {"/1&\r", "/1!\r", "/1b57600R\r", "/1]\r"},
            .statuses = done("Status: ***FULL UPDATE*** AMX file OK..."), .image = imageBytes(600), .lastProgress = 90};
        // A second press while the transfer runs changes nothing.
        QTest::newRow("605, Update pressed again") << Attempt{.file = file(600), .pressAgain = true, .image = imageBytes(600),
                                                             .lastProgress = 90};
        QTest::newRow("65 bytes") << Attempt{.file = file(60), .image = imageBytes(60), .lastProgress = 70};
        QTest::newRow("95 bytes") << Attempt{.file = file(90), .baud = 2, .wire = {"/1&\r", "/1b38400R\r", "/1[\r"},
                                             .image = imageBytes(90), .lastProgress = 60};
        const QByteArray bare = "01ABC" + imageBytes(595);
        QTest::newRow("no header 600") << Attempt{.file = bare, .image = bare, .lastProgress = 90};
        QTest::newRow("header only") << Attempt{.file = "00A3F", .lastProgress = 20};
        QTest::newRow("short last block") << Attempt{.file = file(21), .image = imageBytes(21), .lastProgress = 40};
        // A block starts only below the file length, so a lone last byte is not sent.
        QTest::newRow("one byte last block") << Attempt{.file = file(13), .image = img12, .lastProgress = 30};
        // After a "?" to the version query the baud change asks for 9600 whatever was selected.
        QTest::newRow("? self-validation") << Attempt{
            .version = "  ?\r", .baud = 3, .statuses = done("Status: Unable to validate file for this controller state..."),
            .messages = {"Unable to validate file for this controller state.\r\rThe controller has not passed self-validation.\r"
                         "Take care to ensure this is the correct update for this particular stepper controller.", kConfirm},
            .image = img12, .lastProgress = 30};
        QTest::newRow("V1.02 at address 0") << Attempt{.version = "V1.02 \r", .address = 15, .wire = {"/&\r", "/!\r", "/b9600R\r", "/[\r"},
                                                       .image = img12, .lastProgress = 30};
        for (const char *v : {"V1.10", "V8.00", "V12.3"})
            QTest::newRow(v) << Attempt{.version = QByteArray(v) + " \r", .wire = {"/1&\r", "/1!\r", "/1b9600R\r", "/1[\r"},
                                        .image = img12, .lastProgress = 30};

        const QStringList entering = done().mid(0, 3);
        QTest::newRow("answer No") << Attempt{.yes = false, .wire = {"/1&\r"}, .statuses = {kOk, "Status: None"}};
        QTest::newRow("device without the ID") << Attempt{
            .version = "V1.02\r", .device = "ID 2624\r", .wire = {"/1&\r", "/1!\r"}, .statuses = {kInvalid},
            .messages = {"This AMX update file does not work with this stepper model or this model can not be field upgraded."}};
        QTest::newRow("silent controller") << Attempt{.version = "", .wire = {"/1&\r"}, .statuses = {kInvalid},
                                                      .messages = {"Unable to get a valid version string from stepper controller."}};
        QTest::newRow("no header: two spaces") << Attempt{.file = "01ABC" + img12, .version = "V123.4\r", .wire = {"/1&\r"},
                                                          .statuses = {kInvalid},
                                                          .messages = {"Unknown version response from  controller."}};
        QTest::newRow("not numeric") << Attempt{.version = "Vx.01\r", .wire = {"/1&\r"}, .statuses = {kInvalid},
                                                .messages = {"validUpdateFile() Error #: 13 :: Type mismatch"}};
        QTest::newRow("file gone") << Attempt{.file = {}, .wire = {}, .statuses = {kInvalid},
                                              .messages = {"validUpdateFile() Error #: 53 :: File not found"}};
        QTest::newRow("mode reply X") << Attempt{.modeReply = "X ", .statuses = entering,
                                                 .messages = {kConfirm, "Response: 'X'. Exiting..."}};
        QTest::newRow("no mode reply") << Attempt{.modeReply = "", .statuses = entering, .messages = {kConfirm, "Response: ''. Exiting..."}};

        // Faults in the block loop: an "Error" reply (in any case), silence from a block that would
        // turn the spinner, the line hung up.
        auto stopped = [](const char *status) { return done().mid(0, 4) << status; };
        QTest::newRow("Error") << Attempt{.file = file(60), .errorReply = "Error 5", .statuses = stopped("Status: Error 5!"),
                                          .image = imageBytes(24)};
        QTest::newRow("lower case error") << Attempt{.file = file(60), .errorReply = "bad error", .statuses = stopped("Status: bad error!"),
                                                     .image = imageBytes(24)};
        QTest::newRow("silence from block 7") << Attempt{.file = file(60), .silentFrom = 7,
                                                         .statuses = stopped("Status: Timeout. No REZizavur detected."), .image = imageBytes(48)};
        QTest::newRow("hang-up") << Attempt{.file = file(60), .hangUpAfter = 3,
                                            .statuses = stopped("Status: Serial port lost (<port>). Transfer stopped."), .image = imageBytes(18)};
    }
    void attempt()
    {
        QFETCH(Attempt, c);
        drive->versionReply = c.version;
        drive->deviceReply = c.device;
        drive->updateReply = c.modeReply;
        drive->errorAtBlock = c.errorReply.isEmpty() ? -1 : 3;
        drive->errorReply = c.errorReply;
        drive->silentFromBlock = c.silentFrom;
        drive->hangUpAfterBlocks = c.hangUpAfter;
        drive->onBlock = [&](int index) { if (c.pressAgain && index == 10) window().cmdUpdate_Click(); };
        if (!c.yes)
            ui->buttons.enqueue(QMessageBox::No);
        const QString path = writeFile("fw.amx", c.file.isEmpty() ? "00A3F" : c.file);
        frmFlash &w = load(path);
        if (c.file.isEmpty())
            QVERIFY(QFile::remove(path));
        w.cboID->setCurrentIndex(c.address);
        w.cboBaud->setCurrentIndex(c.baud);
        QList<int> values;
        QStringList spins, statuses;
        connect(w.pgbUpdate, &QProgressBar::valueChanged, [&](int v) { values << v; });
        connect(w.txtSpinner, &QLineEdit::textChanged, [&](const QString &t) { spins << t; });
        connect(w.txtStatus, &QLineEdit::textChanged, [&](const QString &t) { statuses << t; });
        QElapsedTimer t;
        t.start();

        w.cmdUpdate_Click();

        QVERIFY(t.elapsed() < 2 * 300 + 3 * (250 + UpdateTransfer::kReplyMargin) + 5000); // every wait ends
        QCOMPARE(statuses.replaceInStrings(pty->slavePath(), "<port>"),
                 QStringList({"Status: Validating AMX update file...", "Status: Validating AMX file..."}) + c.statuses);
        QCOMPARE(drive->commands, c.wire);
        QCOMPARE(drive->image(), c.image);
        const int blocks = int(c.image.size() + 5) / 6;
        QCOMPARE(int(drive->blocks.size()), blocks);
        for (int i = 0; i + 1 < blocks; ++i)
            QCOMPARE(drive->blocks[i].size(), 6);
        // Every message box has the application's caption and an OK button, except the
        // confirmation (Yes and No); an information icon, except the self-validation warning and
        // the update-mode reply (none).
        QCOMPARE(ui->texts(), c.messages);
        for (const platform::Message &m : ui->messages) {
            QCOMPARE(m.caption, platform::kAppTitle);
            QCOMPARE(m.buttons, m.text == kConfirm ? QMessageBox::Yes | QMessageBox::No : QMessageBox::StandardButtons(QMessageBox::Ok));
            QCOMPARE(m.icon, m.text.startsWith("Response")             ? QMessageBox::NoIcon
                             : m.text.startsWith("Unable to validate") ? QMessageBox::Warning
                                                                       : QMessageBox::Information);
        }
        QVERIFY(!w.transfer().isRunning() && !w.cmdUpdate->isEnabled() && !w.cmdPause->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        const bool completed = c.statuses.last() == "Status: OK";
        if (!completed && blocks == 0)
            return;
        // After the block loop the window is usable and the port open at the rate the selection
        // shows (reopened after a time-out), unless the line went.
        QCOMPARE(w.txtSpinner->text(), QString(completed || c.silentFrom >= 0 ? " " : "-"));
        QVERIFY(w.isEnabled() && w.cmdLoadImage->isEnabled() && w.cmdClose->isEnabled());
        QCOMPARE(w.MSCommFlash.isOpen(), c.hangUpAfter < 0);
        if (c.hangUpAfter < 0) {
            QCOMPARE(w.MSCommFlash.lineSettings(), w.cboBaud->currentText() + ",N,8,1");
            termios tio{};
            tcgetattr(pty->masterFd(), &tio);
            const speed_t speeds[] = {B9600, B19200, B38400, B57600};
            QCOMPARE(cfgetospeed(&tio), speeds[w.cboBaud->currentIndex()]);
        }
        if (completed) {
            QCOMPARE(values.mid(0, 4), (QList<int>{2, 5, 10, 20}));
            QCOMPARE(values.mid(values.size() - 3), (QList<int>{c.lastProgress, 100, 0}));
            if (blocks >= 29)
                QCOMPARE(spins.mid(0, 5), (QStringList{"-", "/", "|", "\\", "-"}));
        }
        if (c.silentFrom < 0)
            return;
        // The time-out is left set; a new file choice and a second attempt go all the way.
        // (AbortTransfer)
        drive->reset();
        drive->silentFromBlock = -1;
        load(path);
        QVERIFY(w.cmdUpdate->isEnabled());
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        QCOMPARE(drive->image(), c.file.mid(5));
    }

    // Load Image pressed during a transfer stops it, then shows the dialog.
    void loadImageDuringTransfer()
    {
        const QString second = writeFile("b.amx", "00A3F" + imageBytes(60));
        frmFlash &w = load(writeFile("a.amx", "00A3F" + imageBytes(600)));
        drive->onBlock = [&](int index) {
            if (index == 10)
                ui->files.enqueue(second), w.cmdLoadImage->click();
        };
        w.cmdUpdate_Click();
        QVERIFY(drive->blocks.size() >= 11 && drive->blocks.size() < 100);
        QCOMPARE(w.txtStatus->text(), QString("Status: Transfer stopped."));
        QTRY_COMPARE(w.txtStatus->text(), "Status: Loaded " + second);
        QVERIFY(w.cmdUpdate->isEnabled());
        QCOMPARE(w.fileName(), second);
    }

    // The simulated drive, served on its own thread, answers late and paced at 57600 baud.
    void simulatedDrive()
    {
        sim::PtyServer server;
        QVERIFY(server.open());
        server.bus().faults().replyDelayMs = 20;
        server.bus().faults().paceBaud = 57600;
        QVERIFY2(server.startThread(), qPrintable(server.errorString()));
        store.mapPort(kCom, server.slavePath());

        frmFlash &w = load(writeFile("fw.amx", "10123" + imageBytes(300)));
        w.cboBaud->setCurrentIndex(3);
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        server.stop();

        const sim::DriveBus &bus = server.bus();
        QCOMPARE(bus.updateImage(), imageBytes(300));
        QCOMPARE(bus.updateBlocks(), 50);
        QCOMPARE(bus.updateSessions(), 1);
        QVERIFY(bus.updateIsFull());
        QCOMPARE(bus.lineBaud(), 57600);
        QCOMPARE(bus.commandLog(), (std::vector<QByteArray>{"/1&\r", "/1!\r", "/1b57600R\r", "/1]\r"}));
    }

    // Opened from the settings window, modal over the console. Close pressed during a transfer
    // ends it and unloads the window; the line is free and the settings window back.
    void openFromSettingsAndCloseDuringTransfer()
    {
        Settings &s = windows::get<Settings>();
        s.show();
        const QString path = writeFile("fw.amx", "00A3F" + imageBytes(600));
        bool sawModal = false, settingsHidden = false;
        QWidget *parent = nullptr;
        QTimer::singleShot(50, [&] {
            frmFlash *w = windows::loaded<frmFlash>();
            if (!w)
                return;
            sawModal = w->isVisible() && w->windowModality() == Qt::ApplicationModal;
            settingsHidden = !s.isVisible();
            parent = w->parentWidget();
            load(path).cmdUpdate_Click();
        });
        drive->onBlock = [](int index) {
            if (frmFlash *w = windows::loaded<frmFlash>(); w && index == 10)
                w->cmdClose->click();
        };
        QTimer safety;
        safety.setSingleShot(true);
        connect(&safety, &QTimer::timeout, [] { windows::unload<frmFlash>(); });
        safety.start(10000);
        frmFlash::openFromSettings();
        QVERIFY(safety.isActive());
        QVERIFY(sawModal && settingsHidden);
        QCOMPARE(parent, &windows::get<StringFun>());
        QVERIFY(drive->blocks.size() >= 11 && drive->blocks.size() < 100);
        flushDeletes();
        QVERIFY(!windows::loaded<frmFlash>());
        QVERIFY(s.isVisible());
        QVERIFY(!(s.windowFlags() & Qt::WindowStaysOnTopHint));
        s.hide();
        CommPort &console = windows::get<StringFun>().MSComm1();
        console.setPortNumber(kCom);
        QVERIFY(console.open());
        console.close();
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
