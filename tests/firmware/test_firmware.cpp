// The firmware update: AMX headers and version words without any window, then the real
// window offscreen against a drive on a real pty, with scripted dialogs.
#include "console/stringfun.h"
#include "firmware/amxfile.h"
#include "firmware/frmflash.h"
#include "app/twips.h"
#include "settings/settingswindow.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"
#include "handdrive.h"
#include "sim/ptyserver.h"

#include <QSignalSpy>
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

} // namespace

class TestFirmware : public QObject {
    Q_OBJECT

    TempStore store;
    QTemporaryDir dir;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<HandDrive> drive;
    std::unique_ptr<ScriptedPlatform> ui;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write(content);
        return path;
    }

    frmFlash &window() { return windows::get<frmFlash>(); }

    // Loads the file into the window through its dialog.
    void load(const QString &path)
    {
        ui->files.enqueue(path);
        window().cmdLoadImage_Click();
    }

    QStringList wireCommands() const
    {
        QStringList out;
        for (const QByteArray &c : drive->commands)
            out << QString::fromLatin1(c);
        return out;
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

    // ---- the file, without a window --------------------------------------------------------

    void header_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<bool>("full");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("idHex");
        QTest::newRow("10A3F") << "10A3F" << true << true << 2623 << "A3F";
        QTest::newRow("00a3f") << "00a3f" << true << false << 2623 << "A3F";
        QTest::newRow("000A3 leading zeros") << "000A3" << true << false << 0xA3 << "0A3";
        QTest::newRow("50123") << "50123" << true << true << 0x123 << "123";
        QTest::newRow("Z0123") << "Z0123" << true << false << 0 << "000";
        QTest::newRow("01ABC") << "01ABC" << false << false << 0 << "";
        QTest::newRow("6FFFF") << "6FFFF" << false << false << 0 << "";
        QTest::newRow("short 10A") << "10A" << false << false << 0 << "";
        QTest::newRow("empty") << "" << false << false << 0 << "";
    }
    void header()
    {
        QFETCH(QString, text);
        QFETCH(bool, passes);
        QCOMPARE(amx::headerTest(text), passes);
        if (!passes)
            return;
        QFETCH(bool, full);
        QFETCH(int, id);
        QFETCH(QString, idHex);
        AMXHeader h;
        QVERIFY(amx::getAMXHeader(text, h));
        QCOMPARE(h.FullUpdate, full);
        QCOMPARE(h.DeviceID, id);
        QCOMPARE(h.DeviceIDHex, idHex);
        QCOMPARE(h.Model, QString("stepper"));
        QCOMPARE(h.Servo, false);
    }

    void headerOfFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("text");
        QTest::newRow("five and more") << QByteArray("10A3F\x01\x02") << "10A3F";
        QTest::newRow("three bytes") << QByteArray("100") << "100";
        QTest::newRow("empty file") << QByteArray() << "";
    }
    void headerOfFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        const QString path = writeFile("h.amx", content);
        QCOMPARE(amx::readHeaderText(path), std::optional<QString>(text));
        QVERIFY(!amx::readHeaderText(dir.filePath("missing.amx")));
    }

    void versionWord_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("word");
        QTest::newRow("DRV V2.05 ok") << "DRV V2.05 ok" << "V2.05";
        QTest::newRow("lower v") << "drv v1.10" << "v1.10";
        QTest::newRow(".V12 is not") << ".V12 x" << "";
        QTest::newRow("no v") << "1.02 ok" << "";
        QTest::newRow("no dot") << "V102" << "";
        QTest::newRow("first of two") << "V1.02 V3.00" << "V1.02";
        QTest::newRow("double space") << "A  V8.00" << "V8.00";
        QTest::newRow("CR stays") << "V1.02\r" << "V1.02\r";
        QTest::newRow("empty") << "" << "";
    }
    void versionWord()
    {
        QFETCH(QString, reply);
        QFETCH(QString, word);
        QCOMPARE(amx::getVersionString(reply), word);
        QCOMPARE(frmFlash::getVersionString(reply), word);
    }

    void versionPieces_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<int>("patch");
        QTest::addColumn<bool>("deviceCheck");
        QTest::newRow("V1.01") << "V1.01" << true << 1 << 0 << 1 << false;
        QTest::newRow("V7.00") << "V7.00" << true << 7 << 0 << 0 << false;
        QTest::newRow("V1.02") << "V1.02" << true << 1 << 0 << 2 << true;
        QTest::newRow("V1.10") << "V1.10" << true << 1 << 1 << 0 << true;
        QTest::newRow("V8.00") << "V8.00" << true << 8 << 0 << 0 << true;
        QTest::newRow("V12.3") << "V12.3" << true << 12 << 3 << 0 << true;
        QTest::newRow("V12.34") << "V12.34" << true << 12 << 3 << 4 << true;
        QTest::newRow("V1.0x") << "V1.0x" << true << 1 << 0 << 0 << false;
        QTest::newRow("V1.0") << "V1.0" << true << 1 << 0 << 0 << false;
    }
    void versionPieces()
    {
        QFETCH(QString, word);
        QFETCH(bool, ok);
        const amx::VersionResult r = amx::parseVersion(word);
        QCOMPARE(bool(r.version), ok);
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(int, patch);
        QFETCH(bool, deviceCheck);
        QCOMPARE(r.version->major, major);
        QCOMPARE(r.version->minor, minor);
        QCOMPARE(r.version->patch, patch);
        QCOMPARE(amx::needsDeviceCheck(*r.version), deviceCheck);
    }

    void versionFailures_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("error");
        QTest::newRow("dot at 2") << "V.12" << int(amx::VersionError::UnknownFormat);
        QTest::newRow("dot at 5") << "V123.4" << int(amx::VersionError::UnknownFormat);
        QTest::newRow("major not numeric") << "Va.01" << int(amx::VersionError::NotNumeric);
        QTest::newRow("minor not numeric") << "V1.x1" << int(amx::VersionError::NotNumeric);
        QTest::newRow("minor missing") << "V1." << int(amx::VersionError::NotNumeric);
    }
    void versionFailures()
    {
        QFETCH(QString, word);
        QFETCH(int, error);
        const amx::VersionResult r = amx::parseVersion(word);
        QVERIFY(!r.version);
        QCOMPARE(int(r.error), error);
    }

    void addressCharacters()
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

    void windowControls()
    {
        frmFlash &w = window();
        QCOMPARE(w.windowTitle(), QString("Firmware Update"));
        QCOMPARE(w.fmeUpdate->title(), QString("Update Firmware"));
        QCOMPARE(w.lblBaud->text(), QString("Baud Rate:"));
        QCOMPARE(w.lblID->text(), QString("Device Address:"));
        QCOMPARE(w.cmdLoadImage->text(), QString("Load Image"));
        QCOMPARE(w.cmdUpdate->text(), QString("Update"));
        QCOMPARE(w.cmdClose->text(), QString("Close"));
        QCOMPARE(w.cmdPause->text(), QString("Pause Transfer"));
        QVERIFY(!w.cmdUpdate->isEnabled());
        QVERIFY(!w.cmdPause->isEnabled());
        QVERIFY(w.cmdPause->isHidden());
        QCOMPARE(w.txtStatus->text(), QString("Status: None"));
        QCOMPARE(w.txtSpinner->text(), QString());
        QCOMPARE(w.txtSpinner->font().family(), QString("Lucida Console"));
        QCOMPARE(w.pgbUpdate->minimum(), 0);
        QCOMPARE(w.pgbUpdate->maximum(), 100);
        QCOMPARE(w.pgbUpdate->value(), 0);
        QCOMPARE(w.cboBaud->count(), 4);
        QCOMPARE(w.cboBaud->itemText(3), QString("57600"));
        QCOMPARE(w.cboID->count(), 16);
        QCOMPARE(w.cboID->itemText(9), QString("A"));
        QCOMPARE(w.cboID->itemText(15), QString("0"));
        QCOMPARE(w.findChild<QPushButton *>("cmdClose"), w.cmdClose);
        // Geometry is kept in twips and applied at 15 per pixel.
        QCOMPARE(twips::left(w.cmdClose), 3720.0);
        QCOMPARE(w.cmdClose->x(), 248);
        QVERIFY(!w.MSCommFlash.isOpen());
        QVERIFY(!w.tmrMSCommFlash.isActive());
        QCOMPARE(w.tmrMSCommFlash.interval(), 250);
    }

    void loadingTakesSettings()
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
        w.cboID->setCurrentIndex(4);
        QVERIFY(!console.isOpen());
        QCOMPARE(w.MSCommFlash.portNumber(), 7);
        QCOMPARE(w.MSCommFlash.lineSettings(), QString("57600"));
        QCOMPARE(w.MSCommFlash.receiveThreshold(), 0);
        QCOMPARE(w.tmrMSCommFlash.interval(), 1234);
        QVERIFY(s.windowFlags() & Qt::WindowStaysOnTopHint);

        // A window opened again starts on address 1 and 9600, whatever was chosen before.
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
        QTest::addColumn<QString>("answer"); // "" = cancel, "missing", or "file"
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("message");
        QTest::newRow("file") << "file" << "Status: Loaded %1" << true << "";
        QTest::newRow("cancel") << "" << "Status: None" << false << "";
        QTest::newRow("missing") << "missing" << "Status: None" << false
                                 << "cmdLoadImage_Click() Error #: 53 :: File not found";
        QTest::newRow("no folder") << "nofolder" << "Status: None" << false
                                   << "cmdLoadImage_Click() Error #: 76 :: Path not found";
    }
    void loadImage()
    {
        QFETCH(QString, answer);
        QFETCH(QString, status);
        QFETCH(bool, enabled);
        QFETCH(QString, message);
        const QString path = writeFile("fw.amx", "10A3F123456");
        frmFlash &w = window();
        if (answer == "file")
            ui->files.enqueue(path);
        else if (answer == "missing")
            ui->files.enqueue(dir.filePath("gone.amx"));
        else if (answer == "nofolder")
            ui->files.enqueue(dir.filePath("nowhere/gone.amx"));
        w.cmdLoadImage_Click();
        QCOMPARE(ui->dialogs.size(), 1);
        QCOMPARE(ui->dialogs[0].kind, platform::FileDialogRequest::Open);
        QCOMPARE(ui->dialogs[0].title, QString("Firmware Update"));
        QCOMPARE(ui->dialogs[0].filter, QString("DIVududi (*.amx)"));
        QCOMPARE(w.txtStatus->text(), status.contains("%1") ? status.arg(path) : status);
        QCOMPARE(w.cmdUpdate->isEnabled(), enabled);
        QCOMPARE(ui->texts(), message.isEmpty() ? QStringList() : QStringList{message});
        if (!message.isEmpty())
            QCOMPARE(ui->messages[0].icon, QMessageBox::Information);
    }

    void spinner_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("shown");
        QTest::newRow("0") << 0 << "-";
        QTest::newRow("7") << 7 << "/";
        QTest::newRow("14") << 14 << "|";
        QTest::newRow("21") << 21 << "\\";
        QTest::newRow("28") << 28 << "-";
        QTest::newRow("-3 keeps") << -3 << "x";
    }
    void spinner()
    {
        QFETCH(int, count);
        QFETCH(QString, shown);
        frmFlash &w = window();
        w.txtSpinner->setText("x");
        w.updateSpinner(count);
        QCOMPARE(w.txtSpinner->text(), shown);
    }

    void validation_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QStringList>("wire");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("notValidated");

        const QByteArray stepper = "00A3F" + imageBytes(12);
        const QByteArray full = "10A3F" + imageBytes(12);
        const QByteArray bare = "01ABC" + imageBytes(12);
        const QString ok = "Status: AMX file OK...";
        const QString validating = "Status: Validating AMX file...";
        const QString r = "\r";
        QTest::newRow("? self-validation")
            << stepper << 0 << QByteArray("  ?\r") << QByteArray() << true << QStringList{"/1&\r"}
            << QStringList{"Unable to validate file for this controller state." + r + r
                           + "The controller has not passed self-validation." + r
                           + "Take care to ensure this is the correct update for this particular stepper controller."}
            << "Status: Unable to validate file for this controller state..." << true;
        QTest::newRow("V1.01 no device query")
            << stepper << 0 << QByteArray("V1.01\r") << QByteArray() << true << QStringList{"/1&\r"}
            << QStringList{} << ok << false;
        for (const char *v : {"V1.02", "V1.10", "V8.00", "V12.3"})
            QTest::newRow(v) << stepper << 0 << QByteArray(v) + " \r" << QByteArray("ID 2623\r") << true
                             << QStringList{"/1&\r", "/1!\r"} << QStringList{} << ok << false;
        QTest::newRow("full update")
            << full << 0 << QByteArray("DRV V2.05 ok\r") << QByteArray("126231\r") << true
            << QStringList{"/1&\r", "/1!\r"} << QStringList{} << "Status: ***FULL UPDATE*** AMX file OK..." << false;
        QTest::newRow("device without the ID")
            << stepper << 0 << QByteArray("V1.02\r") << QByteArray("ID 2624\r") << false
            << QStringList{"/1&\r", "/1!\r"}
            << QStringList{"This AMX update file does not work with this stepper model or this model can not be field upgraded."}
            << validating << false;
        QTest::newRow("silent controller")
            << stepper << 0 << QByteArray() << QByteArray() << false << QStringList{"/1&\r"}
            << QStringList{"Unable to get a valid version string from stepper controller."} << validating << false;
        QTest::newRow("no header: two spaces")
            << bare << 0 << QByteArray("V123.4\r") << QByteArray() << false << QStringList{"/1&\r"}
            << QStringList{"Unknown version response from  controller."} << validating << false;
        QTest::newRow("not numeric")
            << stepper << 0 << QByteArray("Vx.01\r") << QByteArray() << false << QStringList{"/1&\r"}
            << QStringList{"validUpdateFile() Error #: 13 :: Type mismatch"} << validating << false;
        QTest::newRow("address 0")
            << stepper << 15 << QByteArray("V1.02\r") << QByteArray("2623") << true
            << QStringList{"/&\r", "/!\r"} << QStringList{} << ok << false;
        QTest::newRow("address A")
            << stepper << 9 << QByteArray("V1.02\r") << QByteArray("2623") << true
            << QStringList{"/:&\r", "/:!\r"} << QStringList{} << ok << false;
        QTest::newRow("address F")
            << stepper << 14 << QByteArray("V1.02\r") << QByteArray("2623") << true
            << QStringList{"/@&\r", "/@!\r"} << QStringList{} << ok << false;
    }
    void validation()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, address);
        QFETCH(QByteArray, version);
        QFETCH(QByteArray, device);
        QFETCH(bool, valid);
        QFETCH(QStringList, wire);
        QFETCH(QStringList, messages);
        QFETCH(QString, status);
        QFETCH(bool, notValidated);
        drive->versionReply = version;
        drive->deviceReply = device;
        frmFlash &w = window();
        w.cboID->setCurrentIndex(address);
        AMXHeader h;
        QCOMPARE(w.validUpdateFile(writeFile("v.amx", file), h), valid);
        QCOMPARE(wireCommands(), wire);
        QCOMPARE(ui->texts(), messages);
        for (const auto &m : ui->messages) {
            QCOMPARE(m.caption, platform::kAppTitle);
            QCOMPARE(m.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QCOMPARE(m.icon, notValidated ? QMessageBox::Warning : QMessageBox::Information);
        }
        QCOMPARE(w.txtStatus->text(), status);
        QCOMPARE(h.NotValidated, notValidated);
    }

    void validationOfMissingFile()
    {
        frmFlash &w = window();
        AMXHeader h;
        QVERIFY(!w.validUpdateFile(dir.filePath("none.amx"), h));
        QCOMPARE(ui->texts(), QStringList{"validUpdateFile() Error #: 53 :: File not found"});
        QVERIFY(drive->commands.isEmpty());
    }

    // ---- whole updates -----------------------------------------------------------------------

    void fullUpdate_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("baud");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("lastProgress"); // the bar just before completion
        QTest::addColumn<QString>("modeCommand");
        const QByteArray img600 = imageBytes(600);
        QTest::newRow("605 with header") << "00A3F" + img600 << 1 << img600 << 100 << 90 << "/1[\r";
        QTest::newRow("605 full update") << "10A3F" + img600 << 3 << img600 << 100 << 90 << "/1]\r";
        QTest::newRow("65 bytes") << "00A3F" + imageBytes(60) << 0 << imageBytes(60) << 10 << 70 << "/1[\r";
        QTest::newRow("95 bytes") << "00A3F" + imageBytes(90) << 2 << imageBytes(90) << 15 << 60 << "/1[\r";
        QTest::newRow("no header 600") << "01ABC" + imageBytes(595) << 0 << "01ABC" + imageBytes(595) << 100 << 90
                                       << "/1[\r";
        QTest::newRow("header only") << QByteArray("00A3F") << 0 << QByteArray() << 0 << 20 << "/1[\r";
        QTest::newRow("short last block") << "00A3F" + imageBytes(21) << 0 << imageBytes(21) << 4 << 40 << "/1[\r";
        // A block starts only below the file length, so a lone last byte is not sent.
        QTest::newRow("one byte last block") << "00A3F" + imageBytes(13) << 0 << imageBytes(12) << 2 << 30 << "/1[\r";
    }
    void fullUpdate()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, baud);
        QFETCH(QByteArray, image);
        QFETCH(int, blocks);
        QFETCH(int, lastProgress);
        QFETCH(QString, modeCommand);
        drive->versionReply = "V1.01\r";
        frmFlash &w = window();
        load(writeFile("fw.amx", file));
        w.cboBaud->setCurrentIndex(baud);
        const QString baudText = w.cboBaud->currentText();
        QList<int> values;
        connect(w.pgbUpdate, &QProgressBar::valueChanged, [&](int v) { values << v; });
        QStringList spins;
        connect(w.txtSpinner, &QLineEdit::textChanged, [&](const QString &t) { spins << t; });

        w.cmdUpdate_Click();

        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        QCOMPARE(wireCommands(), (QStringList{"/1&\r", "/1b" + baudText + "R\r", modeCommand}));
        QCOMPARE(drive->image(), image);
        QCOMPARE(int(drive->blocks.size()), blocks);
        for (int i = 0; i + 1 < drive->blocks.size(); ++i)
            QCOMPARE(drive->blocks[i].size(), 6);
        QCOMPARE(w.MSCommFlash.lineSettings(), baudText + ",N,8,1");
        const speed_t speeds[] = {B9600, B19200, B38400, B57600};
        QCOMPARE(lineSpeed(pty->masterFd()), speeds[baud]);
        QVERIFY(values.size() >= 5);
        QCOMPARE(values.mid(0, 4), (QList<int>{2, 5, 10, 20}));
        QCOMPARE(values.last(), 0);
        QCOMPARE(values[values.size() - 2], 100);
        QCOMPARE(values[values.size() - 3], lastProgress);
        QCOMPARE(ui->messages.size(), 1); // the confirmation
        QCOMPARE(ui->messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(ui->messages[0].icon, QMessageBox::Information);
        QCOMPARE(ui->messages[0].text,
                 QString("Are you sure you want to continue? \r\n\r\n- Disconnect all other devices from serial bus.\r\n"
                         "- Terminate connections for high baud rates.\r\n\r\n- DO NOT POWER OFF DEVICE until update is complete."));
        QVERIFY(!w.cmdUpdate->isEnabled());
        QVERIFY(!w.cmdPause->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        QCOMPARE(w.txtSpinner->text(), QString(" "));
        if (blocks >= 29)
            QCOMPARE(spins.mid(0, 5), (QStringList{"-", "/", "|", "\\", "-"}));
        QVERIFY(w.MSCommFlash.isOpen()); // the port stays open at the new rate
    }

    void answerNo()
    {
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(60)));
        ui->buttons.enqueue(QMessageBox::No);
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: None"));
        QCOMPARE(wireCommands(), QStringList{"/1&\r"});
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
    }

    void invalidFile()
    {
        drive->versionReply = "V1.02\r";
        drive->deviceReply = "0001\r";
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(60)));
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: Invalid AMX update file..."));
        QCOMPARE(ui->messages.size(), 1);
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(drive->blocks.size(), 0);
    }

    void notValidatedForces9600()
    {
        drive->versionReply = "?\r";
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(12)));
        w.cboBaud->setCurrentIndex(3);
        w.cmdUpdate_Click();
        QCOMPARE(wireCommands(), (QStringList{"/1&\r", "/1b9600R\r", "/1[\r"}));
        QCOMPARE(w.cboBaud->currentText(), QString("9600"));
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        QCOMPARE(ui->messages.size(), 2); // the warning, then the confirmation
    }

    void updateModeReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("message");
        QTest::newRow("X") << QByteArray("X ") << "Response: 'X'. Exiting...";
        QTest::newRow("spaces only") << QByteArray("   ") << "Response: ''. Exiting...";
        QTest::newRow("silence") << QByteArray() << "Response: ''. Exiting...";
        QTest::newRow("spaces then ?") << QByteArray("  ?") << "";
    }
    void updateModeReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, message);
        drive->updateReply = reply;
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(12)));
        w.cmdUpdate_Click();
        if (message.isEmpty()) {
            QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
            QCOMPARE(drive->blocks.size(), 2);
            return;
        }
        QCOMPARE(ui->texts().last(), message);
        QCOMPARE(ui->messages.last().icon, QMessageBox::NoIcon);
        QCOMPARE(w.txtStatus->text(), QString("Status: Entering update mode..."));
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        QCOMPARE(drive->blocks.size(), 0);
    }

    void errorBlock_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("Error") << QByteArray("Error 5");
        QTest::newRow("lower case") << QByteArray("bad error");
        QTest::newRow("upper case") << QByteArray("ERROR");
    }
    void errorBlock()
    {
        QFETCH(QByteArray, reply);
        drive->errorAtBlock = 3;
        drive->errorReply = reply;
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(60)));
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), "Status: " + QString::fromLatin1(reply) + "!");
        QCOMPARE(drive->blocks.size(), 4);
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
    }

    void silenceThenSecondAttempt()
    {
        drive->silentFromBlock = 7; // a block that would turn the spinner
        frmFlash &w = window();
        const QString path = writeFile("fw.amx", "00A3F" + imageBytes(60));
        load(path);
        QElapsedTimer t;
        t.start();
        w.cmdUpdate_Click();
        QVERIFY(t.elapsed() < 250 + frmFlash::kReplyMargin + 2000);
        QCOMPARE(w.txtStatus->text(), QString("Status: Timeout. No REZizavur detected."));
        QCOMPARE(w.txtSpinner->text(), QString(" "));
        QCOMPARE(drive->blocks.size(), 8);
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        QVERIFY(w.MSCommFlash.isOpen()); // reopened by the time-out
        QVERIFY(w.AbortTransfer);
        QVERIFY(!w.transferActive());

        // A new file choice and a second attempt go all the way.
        drive->reset();
        drive->silentFromBlock = -1;
        load(path);
        QVERIFY(w.cmdUpdate->isEnabled());
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        QCOMPARE(drive->image(), imageBytes(60));
    }

    void hangUpMidTransfer()
    {
        drive->hangUpAfterBlocks = 3;
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(120)));
        w.cmdUpdate_Click();
        QVERIFY(drive->hungUp());
        QCOMPARE(w.txtStatus->text(),
                 "Status: Serial port lost (" + pty->slavePath() + "). Transfer stopped.");
        QVERIFY(!w.transferActive());
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        QVERIFY(w.cmdLoadImage->isEnabled());
        QVERIFY(w.cmdClose->isEnabled());
        QVERIFY(w.isEnabled());
    }

    void closeDuringTransfer()
    {
        frmFlash &w = window();
        QPointer<frmFlash> guard(&w);
        load(writeFile("fw.amx", "00A3F" + imageBytes(600)));
        drive->onBlock = [&](int index) {
            if (index == 10 && guard)
                guard->cmdClose->click();
        };
        w.cmdUpdate_Click();
        flushDeletes();
        QVERIFY(!guard);
        QVERIFY(!windows::loaded<frmFlash>());
        QVERIFY(drive->blocks.size() < 100);
        QVERIFY(drive->blocks.size() >= 11);
        QVERIFY(windows::get<Settings>().isVisible());
        windows::get<Settings>().hide();
        // The line is free again: the console can open the same device.
        CommPort &console = windows::get<StringFun>().MSComm1();
        console.setPortNumber(kCom);
        QVERIFY(console.open());
        console.close();
    }

    void loadImageDuringTransfer()
    {
        frmFlash &w = window();
        const QString first = writeFile("a.amx", "00A3F" + imageBytes(600));
        const QString second = writeFile("b.amx", "00A3F" + imageBytes(60));
        load(first);
        drive->onBlock = [&](int index) {
            if (index == 5) {
                ui->files.enqueue(second);
                w.cmdLoadImage->click();
            }
        };
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: Transfer stopped."));
        QVERIFY(drive->blocks.size() < 100);
        QTRY_COMPARE(w.txtStatus->text(), "Status: Loaded " + second);
        QVERIFY(w.cmdUpdate->isEnabled());
        QCOMPARE(w.fileName(), second);
    }

    void secondPressDuringTransferIsIgnored()
    {
        frmFlash &w = window();
        load(writeFile("fw.amx", "00A3F" + imageBytes(60)));
        drive->onBlock = [&](int index) {
            if (index == 2)
                w.cmdUpdate_Click();
        };
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        QCOMPARE(drive->image(), imageBytes(60));
        QCOMPARE(ui->messages.size(), 1);
    }


    // ---- against the drive simulator, served on its own thread ------------------------------

    void simUpdate_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<bool>("notValidated");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("imageSize");
        QTest::addColumn<bool>("deviceQuery");
        QTest::addColumn<int>("lineBaud");
        QTest::newRow("V1.05 with device query") << QByteArray("00123") << QByteArray("REZizavur V1.05") << false
                                                 << 1 << 0 << 600 << true << 19200;
        QTest::newRow("full update 57600") << QByteArray("10123") << QByteArray("REZizavur V12.3") << false << 3
                                           << 0 << 1200 << true << 57600;
        QTest::newRow("V1.01 no device query") << QByteArray("00999") << QByteArray("REZizavur V1.01") << false
                                               << 2 << 0 << 60 << false << 38400;
        QTest::newRow("not validated forces 9600") << QByteArray("00123") << QByteArray("x") << true << 3 << 0
                                                   << 60 << false << 9600;
        QTest::newRow("address B") << QByteArray("00123") << QByteArray("REZizavur V2.00") << false << 0 << 10
                                   << 60 << false << 9600;
        QTest::newRow("no header") << QByteArray() << QByteArray("REZizavur V1.00") << false << 0 << 0 << 600
                                   << false << 9600;
        QTest::newRow("short last block") << QByteArray("00123") << QByteArray("REZizavur V1.00") << false << 0
                                          << 0 << 64 << false << 9600;
    }
    void simUpdate()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, version);
        QFETCH(bool, notValidated);
        QFETCH(int, baud);
        QFETCH(int, address);
        QFETCH(int, imageSize);
        QFETCH(bool, deviceQuery);
        QFETCH(int, lineBaud);
        const char wireUnit = amx::addressChar(address + 1).toLatin1().at(0);
        sim::PtyServer server;
        QVERIFY(server.open());
        sim::DriveConfig config;
        config.versionText = version;
        config.notValidated = notValidated;
        config.deviceId = 0x123;
        server.bus().clearDrives();
        server.bus().addDrive(wireUnit, config);
        QVERIFY2(server.startThread(), qPrintable(server.errorString()));
        store.mapPort(kCom, server.slavePath());

        // A headerless image must fail the header test: it starts with "9".
        QByteArray image = imageBytes(imageSize);
        image[0] = '9';
        frmFlash &w = window();
        w.cboID->setCurrentIndex(address);
        w.cboBaud->setCurrentIndex(baud);
        load(writeFile("sim.amx", header + image));
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
        server.stop();

        sim::DriveBus &bus = server.bus();
        QCOMPARE(bus.updateImage(), image);
        QCOMPARE(bus.updateBlocks(), (imageSize + 5) / 6);
        QCOMPARE(bus.updateSessions(), 1);
        QCOMPARE(bus.updateIsFull(), header.startsWith('1'));
        QCOMPARE(bus.lineBaud(), lineBaud);
        bool sawDevice = false;
        QList<QByteArray> frames;
        for (const QByteArray &frame : bus.commandLog()) {
            sawDevice |= frame.contains('!');
            frames << frame;
        }
        const QByteArray mode = QByteArray("/") + wireUnit + (header.startsWith('1') ? "]\r" : "[\r");
        QVERIFY2(frames.contains(mode), frames.join("|").constData());
        QCOMPARE(sawDevice, deviceQuery);
        QCOMPARE(w.cboBaud->currentText(), QString::number(lineBaud));
    }

    void simFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("status");
        QTest::newRow("Error at block 5") << "error" << "Status: Error!";
        QTest::newRow("silence from block 5") << "silence" << "Status: Timeout. No REZizavur detected.";
        QTest::newRow("hang-up") << "hangup" << "Status: Serial port lost (%1). Transfer stopped.";
        QTest::newRow("slow replies") << "delay" << "Status: OK";
        QTest::newRow("paced at 57600") << "pace" << "Status: OK";
    }
    void simFaults()
    {
        QFETCH(QString, fault);
        QFETCH(QString, status);
        sim::PtyServer server;
        QVERIFY(server.open());
        sim::DriveBus &bus = server.bus();
        bus.updateIdleExitMs = 150;
        bus.updateShortBlockGapMs = 20;
        if (fault == "error")
            bus.faults().errorAtBlock = 5;
        else if (fault == "silence")
            bus.faults().silentFromBlock = 5;
        else if (fault == "hangup")
            bus.faults().hangUpAfterBytes = 200;
        else if (fault == "delay")
            bus.faults().replyDelayMs = 20;
        else if (fault == "pace")
            bus.faults().paceBaud = 57600;
        QVERIFY(server.startThread());
        store.mapPort(kCom, server.slavePath());

        frmFlash &w = window();
        w.cboBaud->setCurrentIndex(3);
        const QString path = writeFile("sim.amx", "00123" + imageBytes(300));
        load(path);
        w.cmdUpdate_Click();
        QCOMPARE(w.txtStatus->text(), status.contains("%1") ? status.arg(server.slavePath()) : status);
        QVERIFY(!w.transferActive());
        QVERIFY(!w.cmdUpdate->isEnabled());
        QCOMPARE(w.pgbUpdate->value(), 0);
        const int blocks = server.withBus([](sim::DriveBus &b) { return b.updateBlocks(); });
        if (fault == "error")
            QCOMPARE(blocks, 5);
        if (fault == "silence") {
            QCOMPARE(blocks, 5);
            QVERIFY(w.MSCommFlash.isOpen());
            // The drive gives up its update mode; a new file choice and attempt go through.
            server.withBus([](sim::DriveBus &b) { b.faults().silentFromBlock = 0; return 0; });
            QTest::qWait(200);
            load(path);
            w.cmdUpdate_Click();
            QCOMPARE(w.txtStatus->text(), QString("Status: OK"));
            QCOMPARE(server.withBus([](sim::DriveBus &b) { return b.updateImage(); }), imageBytes(300));
        }
        if (fault == "hangup") {
            QVERIFY(server.isHungUp());
            QVERIFY(!w.MSCommFlash.isOpen());
            QVERIFY(w.cmdLoadImage->isEnabled());
        }
        if (status == "Status: OK")
            QCOMPARE(server.withBus([](sim::DriveBus &b) { return b.updateImage(); }), imageBytes(300));
        server.stop();
    }

    void simNoDrive()
    {
        sim::PtyServer server;
        QVERIFY(server.open());
        server.bus().clearDrives();
        QVERIFY(server.startThread());
        store.mapPort(kCom, server.slavePath());
        frmFlash &w = window();
        load(writeFile("sim.amx", "00123" + imageBytes(30)));
        w.cmdUpdate_Click();
        QCOMPARE(ui->texts(), QStringList{"Unable to get a valid version string from stepper controller."});
        QCOMPARE(w.txtStatus->text(), QString("Status: Invalid AMX update file..."));
        server.stop();
    }

    void openFromSettingsAndClose()
    {
        Settings &s = windows::get<Settings>();
        StringFun &console = windows::get<StringFun>();
        s.show();
        bool sawModal = false;
        bool settingsHidden = false;
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
        QCOMPARE(parent, &console);
        flushDeletes();
        QVERIFY(!windows::loaded<frmFlash>());
        QVERIFY(s.isVisible());
        QVERIFY(!(s.windowFlags() & Qt::WindowStaysOnTopHint));
        s.hide();
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
