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

speed_t lineSpeed(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    return cfgetospeed(&t);
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

const QString kConfirm = "Are you sure you want to continue? \r\n\r\n- Disconnect all other devices from serial bus.\r\n"
                         "- Terminate connections for high baud rates.\r\n\r\n- DO NOT POWER OFF DEVICE until update is complete.";

// An update that goes all the way.
struct Update {
    QByteArray file{};
    QByteArray image{};   // what the drive receives
    int lastProgress = 0; // the bar just before completion
    QByteArray version = "V1.01\r";
    QStringList wire = {"/1&\r", "/1b9600R\r", "/1[\r"};
    int baud = 0;
    int address = 0;
    QString validated = "Status: AMX file OK...";
    QString warning{}; // shown before the confirmation
};

// An attempt that ends before the first block.
struct EarlyEnd {
    QStringList statuses{}; // after the two validation stages
    QStringList messages{};
    QStringList wire = {"/1&\r"};
    QByteArray version = "V1.01\r";
    QByteArray device = "2623\r";
    QByteArray modeReply = "  ?";
    QByteArray file = "00A3F" + imageBytes(60); // empty: removed after it was chosen
    bool yes = true;
};

} // namespace

Q_DECLARE_METATYPE(Update)
Q_DECLARE_METATYPE(EarlyEnd)

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
    frmFlash &load(const QByteArray &content) { return load(writeFile("fw.amx", content)); }

    // Every message box has the application's caption and an OK button, except the
    // confirmation (Yes and No); an information icon, except the self-validation warning and
    // the update-mode reply (none).
    void checkMessageBoxes() const
    {
        for (const platform::Message &m : ui->messages) {
            QCOMPARE(m.caption, platform::kAppTitle);
            QCOMPARE(m.buttons, m.text == kConfirm ? QMessageBox::Yes | QMessageBox::No
                                                   : QMessageBox::StandardButtons(QMessageBox::Ok));
            QCOMPARE(m.icon, m.text.startsWith("Response") ? QMessageBox::NoIcon
                             : m.text.startsWith("Unable to validate") ? QMessageBox::Warning
                                                                       : QMessageBox::Information);
        }
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

    void header_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<bool>("full");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("idHex");
        QTest::newRow("10A3F") << QByteArray("10A3F\x01\x02") << true << true << 2623 << "A3F";
        QTest::newRow("00a3f") << QByteArray("00a3f") << true << false << 2623 << "A3F";
        QTest::newRow("50123") << QByteArray("50123") << true << true << 0x123 << "123";
        QTest::newRow("Z0123") << QByteArray("Z0123") << true << false << 0 << "000";
        QTest::newRow("01ABC") << QByteArray("01ABC") << false << false << 0 << "";
        QTest::newRow("6FFFF") << QByteArray("6FFFF") << false << false << 0 << "";
        QTest::newRow("three-byte file") << QByteArray("10A") << false << false << 0 << "";
        QTest::newRow("empty file") << QByteArray() << false << false << 0 << "";
    }
    void header()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, passes);
        const std::optional<QString> text = amx::readHeaderText(writeFile("h.amx", content));
        QCOMPARE(text, std::optional<QString>(QString::fromLatin1(content.left(5))));
        QCOMPARE(amx::headerTest(*text), passes);
        if (!passes)
            return;
        QFETCH(bool, full);
        QFETCH(int, id);
        QFETCH(QString, idHex);
        AMXHeader h;
        QVERIFY(amx::getAMXHeader(*text, h));
        QCOMPARE(h.FullUpdate, full);
        QCOMPARE(h.DeviceID, id);
        QCOMPARE(h.DeviceIDHex, idHex);
        QCOMPARE(h.Model, QString("stepper"));
        QCOMPARE(h.Servo, false);
    }

    // The version word found in a reply, and its pieces ("major.minor.patch") or why it has none.
    void versionWord_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("pieces");
        QTest::addColumn<bool>("deviceCheck");
        QTest::newRow("DRV v2.05 ok") << "DRV v2.05 ok" << "v2.05" << "2.0.5" << true;
        QTest::newRow("first of two") << "V1.02 V3.00" << "V1.02" << "1.0.2" << true;
        QTest::newRow("double space") << "A  V8.00" << "V8.00" << "8.0.0" << true;
        QTest::newRow("V7.00") << "V7.00" << "V7.00" << "7.0.0" << false;
        QTest::newRow("V12.3") << "V12.3" << "V12.3" << "12.3.0" << true;
        QTest::newRow("V12.34") << "V12.34" << "V12.34" << "12.3.4" << true;
        QTest::newRow("V1.0x") << "V1.0x" << "V1.0x" << "1.0.0" << false;
        QTest::newRow(".V12 is not") << ".V12 x" << "" << "" << false;
        QTest::newRow("no v") << "1.02 ok" << "" << "" << false;
        QTest::newRow("no dot") << "V102" << "" << "" << false;
        QTest::newRow("dot at 2") << "V.12" << "V.12" << "unknown" << false;
        QTest::newRow("dot at 5") << "V123.4" << "V123.4" << "unknown" << false;
        QTest::newRow("major not numeric") << "Va.01" << "Va.01" << "not numeric" << false;
        QTest::newRow("minor not numeric") << "V1.x1" << "V1.x1" << "not numeric" << false;
        QTest::newRow("minor missing") << "V1." << "V1." << "not numeric" << false;
    }
    void versionWord()
    {
        QFETCH(QString, reply);
        QFETCH(QString, word);
        QFETCH(QString, pieces);
        QFETCH(bool, deviceCheck);
        QCOMPARE(amx::getVersionString(reply), word);
        if (word.isEmpty())
            return;
        const amx::VersionResult r = amx::parseVersion(word);
        const QString got = r.version
            ? QString("%1.%2.%3").arg(r.version->major).arg(r.version->minor).arg(r.version->patch)
            : r.error == amx::VersionError::NotNumeric ? "not numeric" : "unknown";
        QCOMPARE(got, pieces);
        if (r.version)
            QCOMPARE(amx::needsDeviceCheck(*r.version), deviceCheck);
    }

    void addressAndReplies()
    {
        const QStringList expected = {"1", "2", "3", "4", "5", "6", "7", "8", "9",
                                      ":", ";", "<", "=", ">", "@", ""};
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

        const QList<std::pair<QString, const char *>> texts = {
            {w.windowTitle(), "Firmware Update"}, {w.fmeUpdate->title(), "Update Firmware"},
            {w.lblBaud->text(), "Baud Rate:"},    {w.lblID->text(), "Device Address:"},
            {w.cmdLoadImage->text(), "Load Image"}, {w.cmdUpdate->text(), "Update"},
            {w.cmdClose->text(), "Close"},        {w.cmdPause->text(), "Pause Transfer"},
            {w.txtStatus->text(), "Status: None"}, {w.txtSpinner->text(), ""},
            {w.txtSpinner->font().family(), "Lucida Console"}, {w.cboBaud->itemText(3), "57600"},
            {w.cboID->itemText(9), "A"},          {w.cboID->itemText(15), "0"}};
        for (const auto &[shown, text] : texts)
            QCOMPARE(shown, QString(text));
        QCOMPARE(w.cboBaud->count(), 4);
        QCOMPARE(w.cboID->count(), 16);
        QVERIFY(!w.cmdUpdate->isEnabled());
        QVERIFY(!w.cmdPause->isEnabled());
        QVERIFY(w.cmdPause->isHidden());
        QCOMPARE(w.pgbUpdate->minimum(), 0);
        QCOMPARE(w.pgbUpdate->maximum(), 100);
        QCOMPARE(w.pgbUpdate->value(), 0);
        // A negative count leaves the spinner as it is.
        w.txtSpinner->setText("x");
        w.updateSpinner(-3);
        QCOMPARE(w.txtSpinner->text(), QString("x"));

        // A window opened again starts on address 1 and 9600, whatever was chosen before.
        w.cboID->setCurrentIndex(4);
        w.cboBaud->setCurrentIndex(2);
        windows::unload<frmFlash>();
        flushDeletes();
        frmFlash &again = window();
        QCOMPARE(again.cboID->currentText(), QString("1"));
        QCOMPARE(again.cboBaud->currentText(), QString("9600"));
        QVERIFY(!again.AbortTransfer);
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

    // Updates that go all the way.
    void update_data()
    {
        QTest::addColumn<Update>("c");
        const QByteArray img600 = imageBytes(600), img12 = imageBytes(12), stepper = "00A3F" + img12;
        const QStringList queried = {"/1&\r", "/1!\r", "/1b9600R\r", "/1[\r"};
        QTest::newRow("605 with header") << Update{.file = "00A3F" + img600, .image = img600, .lastProgress = 90,
                                                   .wire = {"/1&\r", "/1b19200R\r", "/1[\r"}, .baud = 1};
        QTest::newRow("605 full update") << Update{.file = "10A3F" + img600, .image = img600, .lastProgress = 90,
                                                   .version = "DRV V2.05 ok\r",
                                                   .wire = {"/1&\r", "/1!\r", "/1b57600R\r", "/1]\r"}, .baud = 3,
                                                   .validated = "Status: ***FULL UPDATE*** AMX file OK..."};
        QTest::newRow("65 bytes") << Update{.file = "00A3F" + imageBytes(60), .image = imageBytes(60), .lastProgress = 70};
        QTest::newRow("95 bytes") << Update{.file = "00A3F" + imageBytes(90), .image = imageBytes(90), .lastProgress = 60,
                                            .wire = {"/1&\r", "/1b38400R\r", "/1[\r"}, .baud = 2};
        QTest::newRow("no header 600") << Update{.file = "01ABC" + imageBytes(595), .image = "01ABC" + imageBytes(595),
                                                 .lastProgress = 90};
        QTest::newRow("header only") << Update{.file = "00A3F", .image = {}, .lastProgress = 20};
        QTest::newRow("short last block") << Update{.file = "00A3F" + imageBytes(21), .image = imageBytes(21), .lastProgress = 40};
        // A block starts only below the file length, so a lone last byte is not sent.
        QTest::newRow("one byte last block") << Update{.file = "00A3F" + imageBytes(13), .image = img12, .lastProgress = 30};
        // After a "?" to the version query the baud change asks for 9600 whatever was selected.
        QTest::newRow("? self-validation") << Update{
            .file = stepper, .image = img12, .lastProgress = 30, .version = "  ?\r", .baud = 3,
            .validated = "Status: Unable to validate file for this controller state...",
            .warning = "Unable to validate file for this controller state.\r\rThe controller has not passed self-validation.\r"
                       "Take care to ensure this is the correct update for this particular stepper controller."};
        QTest::newRow("V1.02 at address 0") << Update{.file = stepper, .image = img12, .lastProgress = 30, .version = "V1.02 \r",
                                                      .wire = {"/&\r", "/!\r", "/b9600R\r", "/[\r"}, .address = 15};
        for (const char *v : {"V1.10", "V8.00", "V12.3"})
            QTest::newRow(v) << Update{.file = stepper, .image = img12, .lastProgress = 30,
                                       .version = QByteArray(v) + " \r", .wire = queried};
    }
    void update()
    {
        QFETCH(Update, c);
        drive->versionReply = c.version;
        frmFlash &w = load(c.file);
        w.cboID->setCurrentIndex(c.address);
        w.cboBaud->setCurrentIndex(c.baud);
        QList<int> values;
        connect(w.pgbUpdate, &QProgressBar::valueChanged, [&](int v) { values << v; });
        QStringList spins, statuses;
        connect(w.txtSpinner, &QLineEdit::textChanged, [&](const QString &t) { spins << t; });
        connect(w.txtStatus, &QLineEdit::textChanged, [&](const QString &t) { statuses << t; });

        w.cmdUpdate_Click();

        QCOMPARE(statuses, (QStringList{"Status: Validating AMX update file...", "Status: Validating AMX file...",
                                        c.validated, "Status: Negotiating baud rate...", "Status: Entering update mode...",
                                        "Status: Transmitting data...", "Status: Transfer complete...", "Status: OK"}));
        QCOMPARE(drive->commands, c.wire);
        QCOMPARE(drive->image(), c.image);
        const int blocks = int(c.image.size() + 5) / 6;
        QCOMPARE(int(drive->blocks.size()), blocks);
        for (int i = 0; i + 1 < blocks; ++i)
            QCOMPARE(drive->blocks[i].size(), 6);
        // The port stays open at the rate the selection shows.
        QVERIFY(w.MSCommFlash.isOpen());
        QVERIFY(c.wire.contains("/" + amx::addressChar(c.address + 1) + "b" + w.cboBaud->currentText() + "R\r"));
        QCOMPARE(w.MSCommFlash.lineSettings(), w.cboBaud->currentText() + ",N,8,1");
        const speed_t speeds[] = {B9600, B19200, B38400, B57600};
        QCOMPARE(lineSpeed(pty->masterFd()), speeds[w.cboBaud->currentIndex()]);
        QVERIFY(values.size() >= 5);
        QCOMPARE(values.mid(0, 4), (QList<int>{2, 5, 10, 20}));
        QCOMPARE(values.mid(values.size() - 3), (QList<int>{c.lastProgress, 100, 0}));
        QCOMPARE(ui->texts(), c.warning.isEmpty() ? QStringList({kConfirm}) : QStringList({c.warning, kConfirm}));
        checkMessageBoxes();
        QVERIFY(!w.cmdUpdate->isEnabled());
        QVERIFY(!w.cmdPause->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        QCOMPARE(w.txtSpinner->text(), QString(" "));
        if (blocks >= 29)
            QCOMPARE(spins.mid(0, 5), (QStringList{"-", "/", "|", "\\", "-"}));
    }

    // Attempts that end before the first block.
    void endsEarly_data()
    {
        QTest::addColumn<EarlyEnd>("c");
        const QString invalid = "Status: Invalid AMX update file...", ok = "Status: AMX file OK...";
        const QStringList entering = {ok, "Status: Negotiating baud rate...", "Status: Entering update mode..."};
        const QStringList all = {"/1&\r", "/1b9600R\r", "/1[\r"};
        QTest::newRow("answer No") << EarlyEnd{.statuses = {ok, "Status: None"}, .messages = {kConfirm}, .yes = false};
        QTest::newRow("device without the ID") << EarlyEnd{
            .statuses = {invalid},
            .messages = {"This AMX update file does not work with this stepper model or this model can not be field upgraded."},
            .wire = {"/1&\r", "/1!\r"}, .version = "V1.02\r", .device = "ID 2624\r"};
        QTest::newRow("silent controller") << EarlyEnd{
            .statuses = {invalid}, .messages = {"Unable to get a valid version string from stepper controller."}, .version = ""};
        QTest::newRow("no header: two spaces") << EarlyEnd{
            .statuses = {invalid}, .messages = {"Unknown version response from  controller."}, .version = "V123.4\r",
            .file = "01ABC" + imageBytes(12)};
        QTest::newRow("not numeric") << EarlyEnd{
            .statuses = {invalid}, .messages = {"validUpdateFile() Error #: 13 :: Type mismatch"}, .version = "Vx.01\r"};
        QTest::newRow("file gone") << EarlyEnd{
            .statuses = {invalid}, .messages = {"validUpdateFile() Error #: 53 :: File not found"}, .wire = {}, .file = {}};
        QTest::newRow("mode reply X") << EarlyEnd{
            .statuses = entering, .messages = {kConfirm, "Response: 'X'. Exiting..."}, .wire = all, .modeReply = "X "};
        QTest::newRow("mode reply of spaces") << EarlyEnd{
            .statuses = entering, .messages = {kConfirm, "Response: ''. Exiting..."}, .wire = all, .modeReply = "   "};
        QTest::newRow("no mode reply") << EarlyEnd{
            .statuses = entering, .messages = {kConfirm, "Response: ''. Exiting..."}, .wire = all, .modeReply = ""};
    }
    void endsEarly()
    {
        QFETCH(EarlyEnd, c);
        drive->versionReply = c.version;
        drive->deviceReply = c.device;
        drive->updateReply = c.modeReply;
        ui->buttons.enqueue(c.yes ? QMessageBox::Yes : QMessageBox::No);
        const QString path = writeFile("fw.amx", c.file.isEmpty() ? "00A3F" : c.file);
        frmFlash &w = load(path);
        if (c.file.isEmpty())
            QVERIFY(QFile::remove(path));
        QStringList statuses;
        connect(w.txtStatus, &QLineEdit::textChanged, [&](const QString &t) { statuses << t; });
        w.cmdUpdate_Click();
        QCOMPARE(statuses, QStringList({"Status: Validating AMX update file...", "Status: Validating AMX file..."}) + c.statuses);
        QCOMPARE(ui->texts(), c.messages);
        checkMessageBoxes();
        QCOMPARE(drive->commands, c.wire);
        QCOMPARE(drive->blocks.size(), 0);
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
    }

    void blockFault_data()
    {
        QTest::addColumn<QString>("fault"); // otherwise the reply to block 3
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("blocks");
        QTest::newRow("Error") << "Error 5" << "Status: Error 5!" << 4;
        QTest::newRow("lower case error") << "bad error" << "Status: bad error!" << 4;
        QTest::newRow("silence from block 7") << "silence" << "Status: Timeout. No REZizavur detected." << 8;
        QTest::newRow("hang-up") << "hang-up" << "Status: Serial port lost (%1). Transfer stopped." << 3;
    }
    void blockFault()
    {
        QFETCH(QString, fault);
        QFETCH(QString, status);
        QFETCH(int, blocks);
        if (fault == "silence")
            drive->silentFromBlock = 7; // a block that would turn the spinner
        else if (fault == "hang-up")
            drive->hangUpAfterBlocks = 3;
        else
            drive->errorAtBlock = 3, drive->errorReply = fault.toLatin1();
        const QString path = writeFile("fw.amx", "00A3F" + imageBytes(60));
        frmFlash &w = load(path);
        QElapsedTimer t;
        t.start();
        w.cmdUpdate_Click();
        QVERIFY(t.elapsed() < 250 + frmFlash::kReplyMargin + 2000); // the wait for a reply ends
        QCOMPARE(w.txtStatus->text(), status.contains("%1") ? status.arg(pty->slavePath()) : status);
        QCOMPARE(drive->blocks.size(), blocks);
        QVERIFY(!w.transferActive());
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        QVERIFY(w.isEnabled() && w.cmdLoadImage->isEnabled() && w.cmdClose->isEnabled());
        QCOMPARE(w.MSCommFlash.isOpen(), fault != "hang-up"); // reopened after a time-out
        QCOMPARE(drive->hungUp(), fault == "hang-up");
        if (fault != "silence")
            return;
        QCOMPARE(w.txtSpinner->text(), QString(" "));
        QVERIFY(w.AbortTransfer);

        // A new file choice and a second attempt go all the way.
        drive->reset();
        drive->silentFromBlock = -1;
        load(path);
        QVERIFY(w.cmdUpdate->isEnabled());
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        QCOMPARE(drive->image(), imageBytes(60));
    }

    void pressDuringTransfer_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("Close") << "Close";
        QTest::newRow("Load Image") << "Load Image";
        QTest::newRow("Update") << "Update";
    }
    void pressDuringTransfer()
    {
        QFETCH(QString, button);
        const QString second = writeFile("b.amx", "00A3F" + imageBytes(60));
        frmFlash &w = load(writeFile("a.amx", "00A3F" + imageBytes(600)));
        QPointer<frmFlash> guard(&w);
        drive->onBlock = [&](int index) {
            if (index != 10 || !guard)
                return;
            if (button == "Close")
                guard->cmdClose->click();
            else if (button == "Update")
                guard->cmdUpdate_Click();
            else
                ui->files.enqueue(second), guard->cmdLoadImage->click();
        };
        w.cmdUpdate_Click();
        if (button == "Update") {
            // A second press while the transfer runs changes nothing.
            QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
            QCOMPARE(drive->image(), imageBytes(600));
            QCOMPARE(ui->messages.size(), 1);
            return;
        }
        QVERIFY(drive->blocks.size() >= 11 && drive->blocks.size() < 100);
        if (button == "Load Image") {
            // The transfer stops, then the dialog is shown.
            QCOMPARE(w.txtStatus->text(), QString("Status: Transfer stopped."));
            QTRY_COMPARE(w.txtStatus->text(), "Status: Loaded " + second);
            QVERIFY(w.cmdUpdate->isEnabled());
            QCOMPARE(w.fileName(), second);
            return;
        }
        flushDeletes();
        QVERIFY(!guard);
        QVERIFY(!windows::loaded<frmFlash>());
        QVERIFY(windows::get<Settings>().isVisible());
        windows::get<Settings>().hide();
        // The line is free again: the console can open the same device.
        CommPort &console = windows::get<StringFun>().MSComm1();
        console.setPortNumber(kCom);
        QVERIFY(console.open());
        console.close();
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

        frmFlash &w = load("10123" + imageBytes(300));
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
        const std::vector<QByteArray> expected = {"/1&\r", "/1!\r", "/1b57600R\r", "/1]\r"};
        QCOMPARE(bus.commandLog(), expected);
    }

    void openFromSettingsAndClose()
    {
        Settings &s = windows::get<Settings>();
        s.show();
        bool sawModal = false, settingsHidden = false;
        QWidget *parent = nullptr;
        QTimer::singleShot(50, [&] {
            frmFlash *w = windows::loaded<frmFlash>();
            if (!w)
                return;
            sawModal = w->isVisible() && w->windowModality() == Qt::ApplicationModal;
            settingsHidden = !s.isVisible();
            parent = w->parentWidget();
            w->cmdClose->click();
        });
        QTimer safety;
        safety.setSingleShot(true);
        connect(&safety, &QTimer::timeout, [] { windows::unload<frmFlash>(); });
        safety.start(5000);
        frmFlash::openFromSettings();
        QVERIFY(safety.isActive());
        QVERIFY(sawModal);
        QVERIFY(settingsHidden);
        QCOMPARE(parent, &windows::get<StringFun>());
        flushDeletes();
        QVERIFY(!windows::loaded<frmFlash>());
        QVERIFY(s.isVisible());
        QVERIFY(!(s.windowFlags() & Qt::WindowStaysOnTopHint));
        s.hide();
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
