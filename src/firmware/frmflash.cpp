#include "firmware/frmflash.h"

#include "app/numbers.h"
#include "app/platform.h"
#include "app/twips.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QPointer>
#include <QScopeGuard>

#include <chrono>

namespace {

const QString kCR = QStringLiteral("\r");
const QString kCRLF = QStringLiteral("\r\n");

// Receive time-out used when the settings field holds no positive number.
constexpr int kDefaultReplyTimeout = 3000;
// Longest wait for the transmit buffer to empty, on top of the time the bytes need on the line.
constexpr int kDrainMargin = 2000;

QPushButton *makeButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setAccessibleName(caption);
    return b;
}

QLabel *makeLabel(QWidget *parent, const char *name, const QString &caption)
{
    auto *l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    l->setAccessibleName(caption);
    return l;
}

} // namespace

const QString frmFlash::kFilter = QStringLiteral("DIVududi (*.amx)|*.amx");

QString frmFlash::qtFilter(const QString &filter)
{
    // "Description|pattern|Description|pattern" -> "Description (pattern);;..."; the description
    // already names its pattern here, so it is kept as it stands.
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i];
        const QString pattern = parts[i + 1];
        out << (description.contains(QLatin1Char('(')) ? description
                                                        : description + " (" + pattern + ")");
    }
    return out.join(QStringLiteral(";;"));
}

frmFlash::frmFlash()
{
    setObjectName("frmFlash");
    setWindowTitle("Firmware Update");
    setAccessibleName("Firmware Update");
    twips::setWidth(this, 5430);
    twips::setHeight(this, 3780);
    resize(twips::toPixels(5430), twips::toPixels(3780));

    fmeUpdate = new QGroupBox("Update Firmware", this);
    fmeUpdate->setObjectName("fmeUpdate");
    fmeUpdate->setAccessibleName("Update Firmware");
    twips::setGeometry(fmeUpdate, 120, 120, 5190, 2415);

    lblBaud = makeLabel(fmeUpdate, "lblBaud", "Baud Rate:");
    twips::setGeometry(lblBaud, 240, 405, 1620, 255);
    cboBaud = new QComboBox(fmeUpdate);
    cboBaud->setObjectName("cboBaud");
    cboBaud->setAccessibleName("Baud Rate");
    cboBaud->addItems({"9600", "19200", "38400", "57600"});
    twips::setGeometry(cboBaud, 1920, 360, 1260, 330);

    lblID = makeLabel(fmeUpdate, "lblID", "Device Address:");
    twips::setGeometry(lblID, 240, 885, 1620, 255);
    cboID = new QComboBox(fmeUpdate);
    cboID->setObjectName("cboID");
    cboID->setAccessibleName("Device Address");
    cboID->addItems({"1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F", "0"});
    twips::setGeometry(cboID, 1920, 840, 1260, 330);

    cmdLoadImage = makeButton(fmeUpdate, "cmdLoadImage", "Load Image");
    twips::setGeometry(cmdLoadImage, 3360, 345, 1590, 375);
    cmdUpdate = makeButton(fmeUpdate, "cmdUpdate", "Update");
    twips::setGeometry(cmdUpdate, 3360, 825, 1590, 375);
    cmdUpdate->setEnabled(false);
    cmdPause = makeButton(fmeUpdate, "cmdPause", "Pause Transfer");
    twips::setGeometry(cmdPause, 3360, 1305, 1590, 375);
    cmdPause->setEnabled(false);
    cmdPause->hide();

    txtSpinner = new QLineEdit(fmeUpdate);
    txtSpinner->setObjectName("txtSpinner");
    txtSpinner->setAccessibleName("Activity");
    txtSpinner->setReadOnly(true);
    txtSpinner->setAlignment(Qt::AlignCenter);
    txtSpinner->setFont(QFont("Lucida Console"));
    twips::setGeometry(txtSpinner, 240, 1875, 375, 330);

    pgbUpdate = new QProgressBar(fmeUpdate);
    pgbUpdate->setObjectName("pgbUpdate");
    pgbUpdate->setAccessibleName("Progress");
    pgbUpdate->setRange(0, 100);
    pgbUpdate->setValue(0);
    pgbUpdate->setTextVisible(false);
    twips::setGeometry(pgbUpdate, 720, 1875, 4230, 330);

    txtStatus = new QLineEdit("Status: None", this);
    txtStatus->setObjectName("txtStatus");
    txtStatus->setAccessibleName("Status");
    txtStatus->setReadOnly(true);
    twips::setGeometry(txtStatus, 120, 2655, 5190, 330);

    cmdClose = makeButton(this, "cmdClose", "Close");
    twips::setGeometry(cmdClose, 3720, 3165, 1590, 375);

    MSCommFlash.setObjectName("MSCommFlash");
    tmrMSCommFlash.setObjectName("tmrMSCommFlash");
    tmrMSCommFlash.setSingleShot(false);

    // The handlers run from the event loop rather than inside the button's own event handling,
    // because the update waits (and the window may go away) inside them.
    connect(cmdLoadImage, &QPushButton::clicked, this, &frmFlash::cmdLoadImage_Click, Qt::QueuedConnection);
    connect(cmdUpdate, &QPushButton::clicked, this, &frmFlash::cmdUpdate_Click, Qt::QueuedConnection);
    connect(cmdClose, &QPushButton::clicked, this, &frmFlash::cmdClose_Click, Qt::QueuedConnection);
    connect(&tmrMSCommFlash, &QTimer::timeout, this, &frmFlash::tmrMSCommFlash_Timer);
    connect(&MSCommFlash, &CommPort::deviceLost, this, &frmFlash::onDeviceLost);
}

frmFlash::~frmFlash()
{
    tmrMSCommFlash.stop();
    MSCommFlash.close();
}

void frmFlash::Form_Load()
{
    Settings &settings = windows::get<Settings>();
    platform::setTopmost(&settings, true);

    cboID->setCurrentIndex(0);
    cboBaud->setCurrentIndex(0);
    AbortTransfer = false;

    CommPort &console = windows::get<StringFun>().MSComm1();
    if (console.isOpen())
        console.close();

    const auto timeout = numbers::toInt32(settings.fields.RCVTimeout->text());
    tmrMSCommFlash.setInterval(timeout && *timeout > 0 ? *timeout : kDefaultReplyTimeout);
    tmrMSCommFlash.stop();

    if (MSCommFlash.isOpen())
        MSCommFlash.close();
    MSCommFlash.setReceiveThreshold(0);
    const auto port = numbers::toInt16(settings.fields.CommPortSetting->text());
    MSCommFlash.setPortNumber(port ? *port : 0);
    MSCommFlash.setLineSettings(settings.fields.baudRateText());
    MSCommFlash.setInputMode(0);
}

void frmFlash::Form_QueryUnload() { cmdClose_Click(); }

void frmFlash::Form_Unload()
{
    requestStop();
    tmrMSCommFlash.stop();
    if (MSCommFlash.isOpen())
        MSCommFlash.close();
    emit unloaded();
}

void frmFlash::openFromSettings()
{
    Settings &settings = windows::get<Settings>();
    settings.hide();

    StringFun &console = windows::get<StringFun>();
    frmFlash &flash = windows::get<frmFlash>();
    QPointer<frmFlash> window(&flash);
    // Owned by the console: a dialog window kept above it, modal for the whole program.
    flash.setParent(&console, Qt::Dialog);
    flash.setWindowModality(Qt::ApplicationModal);

    QEventLoop loop;
    connect(&flash, &frmFlash::unloaded, &loop, &QEventLoop::quit);
    connect(&flash, &QObject::destroyed, &loop, &QEventLoop::quit);
    flash.show();
    if (window && !window->isUnloading())
        loop.exec();
}

// ---- file and dialog ----------------------------------------------------------------------

void frmFlash::cmdLoadImage_Click()
{
    if (m_transferActive) {
        // A new file is chosen once the running transfer has stopped.
        m_loadAfterStop = true;
        requestStop();
        return;
    }
    QPointer<frmFlash> self(this);
    platform::FileDialogRequest request;
    request.kind = platform::FileDialogRequest::Open;
    request.title = QStringLiteral("Firmware Update");
    request.filter = qtFilter(kFilter);
    const std::optional<QString> chosen = platform::fileDialog(this, request);
    if (!self || isUnloading())
        return;
    if (!chosen)
        return; // cancelled: nothing changes
    if (chosen->isEmpty())
        return;
    const QFileInfo info(*chosen);
    if (!info.dir().exists()) {
        reportError("cmdLoadImage_Click", 76, "Path not found");
        return;
    }
    if (!info.exists() || !info.isFile()) {
        reportError("cmdLoadImage_Click", 53, "File not found");
        return;
    }
    m_fileName = *chosen;
    txtStatus->setText("Status: Loaded " + m_fileName);
    cmdUpdate->setEnabled(true);
}

void frmFlash::updateSpinner(int32_t count)
{
    const int32_t r = count % 4;
    if (r == 0) txtSpinner->setText("-");
    else if (r == 1) txtSpinner->setText("\\");
    else if (r == 2) txtSpinner->setText("|");
    else if (r == 3) txtSpinner->setText("/");
    platform::pumpEvents();
}

void frmFlash::cmdClose_Click()
{
    QPointer<frmFlash> self(this);
    if (Settings *settings = windows::loaded<Settings>())
        platform::setTopmost(settings, false);

    requestStop();
    tmrMSCommFlash.stop();
    if (MSCommFlash.isOpen())
        MSCommFlash.close();
    platform::pumpEvents();
    if (!self)
        return;

    windows::get<StringFun>().SetupScreen();
    if (!self)
        return;
    unload();
    windows::get<Settings>().show();
}

// ---- validation ---------------------------------------------------------------------------

void frmFlash::reportError(const QString &routine, int number, const QString &description)
{
    platform::Message m;
    m.text = routine + "() Error #: " + QString::number(number) + " :: " + description;
    m.icon = QMessageBox::Information;
    platform::message(this, m);
}

bool frmFlash::getAMXHeader(const QString &headerText, AMXHeader &header)
{
    return amx::getAMXHeader(headerText, header);
}

QString frmFlash::AddressChar() const { return amx::addressChar(cboID->currentIndex() + 1); }

bool frmFlash::validUpdateFile(const QString &path, AMXHeader &header)
{
    QPointer<frmFlash> self(this);
    auto info = [this](const QString &text, QMessageBox::Icon icon = QMessageBox::Information) {
        platform::Message m;
        m.text = text;
        m.icon = icon;
        platform::message(this, m);
    };

    txtStatus->setText("Status: Validating AMX file...");
    const std::optional<QString> headerText = amx::readHeaderText(path);
    if (!headerText) {
        reportError("validUpdateFile", 53, "File not found");
        return false;
    }
    header.Model.clear();
    header.NoHeader = true;
    if (amx::headerTest(*headerText)) {
        header.NoHeader = false;
        if (!getAMXHeader(*headerText, header)) {
            reportError("validUpdateFile", 5, "Invalid procedure call or argument");
            return false;
        }
    }

    // Version query.
    sendFlashToDrive("/" + AddressChar() + "&" + kCR);
    waitTXBuffer();
    if (!self || mustStop()) return false;
    delayLoop(300000);
    if (!self || mustStop()) return false;
    const QString reply = getRXBuffer(0);
    if (!self || mustStop()) return false;

    if (reply.startsWith(QLatin1Char('?'))) {
        txtStatus->setText("Status: Unable to validate file for this controller state...");
        header.NotValidated = true;
        info("Unable to validate file for this controller state." + kCR + kCR
                 + "The controller has not passed self-validation." + kCR + "Take care to "
                 + "ensure this is the correct update for this particular " + header.Model
                 + " controller.",
             QMessageBox::Warning);
        return true;
    }
    header.NotValidated = false;

    const QString version = getVersionString(reply);
    if (version.isEmpty()) {
        info("Unable to get a valid version string from " + header.Model + " controller.");
        return false;
    }
    const amx::VersionResult parsed = amx::parseVersion(version);
    if (!parsed.version) {
        if (parsed.error == amx::VersionError::NotNumeric)
            reportError("validUpdateFile", 13, "Type mismatch");
        else
            info("Unknown version response from " + header.Model + " controller.");
        return false;
    }

    if (amx::needsDeviceCheck(*parsed.version)) {
        sendFlashToDrive("/" + AddressChar() + "!" + kCR);
        waitTXBuffer();
        if (!self || mustStop()) return false;
        delayLoop(300000);
        if (!self || mustStop()) return false;
        const QString second = getRXBuffer(0);
        if (!self || mustStop()) return false;
        if (!amx::deviceReplyMatches(second, header.DeviceID)) {
            info("This AMX update file does not work with this " + header.Model + " model "
                 + "or this model can not be field upgraded.");
            return false;
        }
    }

    txtStatus->setText(header.FullUpdate ? "Status: ***FULL UPDATE*** AMX file OK..."
                                         : "Status: AMX file OK...");
    return true;
}

// ---- port operations ----------------------------------------------------------------------

int frmFlash::replyTimeout() const { return tmrMSCommFlash.interval(); }

void frmFlash::onDeviceLost(const QString &path)
{
    m_lineLost = path.isEmpty() ? MSCommFlash.devicePath() : path;
    emit waitInterrupted();
}

void frmFlash::requestStop()
{
    if (m_transferActive)
        m_stopRequested = true;
    emit waitInterrupted();
}

bool frmFlash::waitUntil(QDeadlineTimer deadline, const std::function<bool()> &done, int pollMs)
{
    QPointer<frmFlash> self(this);
    for (;;) {
        platform::pumpEvents();
        if (!self)
            return false;
        if (done() || deadline.hasExpired())
            return true;

        // Sleep until the port has news, the deadline comes or someone interrupts the wait.
        QEventLoop loop;
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        connect(&wake, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(&MSCommFlash.serial(), &QSerialPort::readyRead, &loop, &QEventLoop::quit);
        connect(&MSCommFlash.serial(), &QSerialPort::bytesWritten, &loop, &QEventLoop::quit);
        connect(this, &frmFlash::waitInterrupted, &loop, &QEventLoop::quit);
        connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
        qint64 ms = deadline.remainingTime();
        if (pollMs >= 0 && (ms < 0 || ms > pollMs))
            ms = pollMs;
        wake.start(int(qBound<qint64>(0, ms, qint64(24) * 3600 * 1000)));
        loop.exec();
        if (!self)
            return false;
    }
}

void frmFlash::sendFlashToDrive(const QString &strCommand)
{
    if (!MSCommFlash.isOpen())
        MSCommFlash.open();
    if (!MSCommFlash.isOpen())
        return;
    if (!MSCommFlash.write(strCommand) && m_lineLost.isEmpty())
        m_lineLost = MSCommFlash.devicePath();
}

QString frmFlash::getRXBuffer(int32_t count)
{
    QPointer<frmFlash> self(this);
    const QDeadlineTimer deadline(replyTimeout() + kReplyMargin, Qt::PreciseTimer);
    const bool alive = waitUntil(deadline, [&] {
        return !MSCommFlash.isOpen() || MSCommFlash.countReceived() >= count || AbortTransfer
            || mustStop();
    });
    if (!alive || !self)
        return {};
    if (!MSCommFlash.isOpen()) {
        if (m_lineLost.isEmpty() && !mustStop() && !AbortTransfer)
            reportError("getRXBuffer", 8018, "Operation valid only when the port is open");
        return {};
    }
    return amx::trimSpaces(MSCommFlash.read().value_or(QString()));
}

void frmFlash::waitTXBuffer()
{
    const int unsent = MSCommFlash.countUnsent();
    const int baud = qMax(1, parseLineSettings(MSCommFlash.lineSettings()).value_or(LineSettings{}).baud);
    const QDeadlineTimer deadline(kDrainMargin + qint64(unsent) * 10 * 1000 / baud);
    waitUntil(deadline, [&] { return MSCommFlash.countUnsent() <= 0 || mustStop(); }, 1);
}

void frmFlash::delayLoop(int32_t count)
{
    const QDeadlineTimer deadline(std::chrono::microseconds(qMax(0, count)), Qt::PreciseTimer);
    waitUntil(deadline, [&] { return mustStop(); });
}

// ---- the update ---------------------------------------------------------------------------

void frmFlash::endTransfer()
{
    // The window's own Boolean property that every ending sets: it is enabled, whatever a
    // press during the transfer did to it.
    setEnabled(true);
    cmdUpdate->setEnabled(false);
    cmdPause->setEnabled(false);
    pgbUpdate->setValue(pgbUpdate->minimum());
}

void frmFlash::commonExit()
{
    pgbUpdate->setValue(pgbUpdate->minimum());
    cmdUpdate->setEnabled(false);
}

void frmFlash::stopWithStatus(const QString &status)
{
    tmrMSCommFlash.stop();
    txtSpinner->setText(" ");
    txtStatus->setText(status);
    endTransfer();
}

void frmFlash::tmrMSCommFlash_Timer()
{
    QPointer<frmFlash> self(this);
    tmrMSCommFlash.stop();
    txtSpinner->setText(" ");
    txtStatus->setText("Status: Timeout. No REZizavur detected.");
    platform::pumpEvents();
    if (!self)
        return;
    setEnabled(true);
    cmdUpdate->setEnabled(false);
    pgbUpdate->setValue(pgbUpdate->minimum());
    if (MSCommFlash.isOpen())
        MSCommFlash.read();
    MSCommFlash.close();
    MSCommFlash.open();
    AbortTransfer = true;
    emit waitInterrupted();
}

void frmFlash::cmdUpdate_Click()
{
    if (m_transferActive || isUnloading())
        return; // one update at a time
    QPointer<frmFlash> self(this);
    m_transferActive = true;
    m_stopRequested = false;
    m_loadAfterStop = false;
    m_lineLost.clear();
    // A time-out of an earlier attempt must not stop this one before its first block.
    AbortTransfer = false;

    auto finish = qScopeGuard([self] {
        if (!self)
            return;
        self->m_transferActive = false;
        self->m_stopRequested = false;
        self->tmrMSCommFlash.stop();
        if (self->m_loadAfterStop && !self->isUnloading()) {
            self->m_loadAfterStop = false;
            QMetaObject::invokeMethod(self.data(), &frmFlash::cmdLoadImage_Click, Qt::QueuedConnection);
        }
    });

    // After every wait: true when the update must end now (the window is going, the operator
    // stopped it, or the line vanished); the ending has then been done.
    auto interrupted = [&]() -> bool {
        if (!self || isUnloading())
            return true;
        if (!m_lineLost.isEmpty()) {
            stopWithStatus("Status: Serial port lost (" + m_lineLost + "). Transfer stopped.");
            return true;
        }
        if (m_stopRequested) {
            stopWithStatus("Status: Transfer stopped.");
            return true;
        }
        return false;
    };
    auto progress = [&](int value) { pgbUpdate->setValue(qBound(0, value, 100)); };
    auto discardInput = [&] {
        if (MSCommFlash.isOpen())
            MSCommFlash.read();
    };

    // 1-2: validation.
    txtStatus->setText("Status: Validating AMX update file...");
    progress(2);
    AMXHeader header;
    const QString path = m_fileName;
    const bool valid = validUpdateFile(path, header);
    if (interrupted())
        return;
    if (!valid) {
        txtStatus->setText("Status: Invalid AMX update file...");
        commonExit();
        return;
    }

    // 3: confirmation.
    platform::Message confirm;
    confirm.text = "Are you sure you want to continue? " + kCRLF + kCRLF
        + "- Disconnect all other devices from serial bus." + kCRLF
        + "- Terminate connections for high baud rates." + kCRLF + kCRLF
        + "- DO NOT POWER OFF DEVICE until update is complete.";
    confirm.icon = QMessageBox::Information;
    confirm.buttons = QMessageBox::Yes | QMessageBox::No;
    const auto answer = platform::message(this, confirm);
    if (interrupted())
        return;
    if (answer != QMessageBox::Yes) {
        txtStatus->setText("Status: None");
        commonExit();
        return;
    }

    // 4-9: baud rate.
    if (header.NotValidated)
        cboBaud->setCurrentIndex(0);
    txtStatus->setText("Status: Negotiating baud rate...");
    progress(5);
    const QString baud = cboBaud->currentText();
    sendFlashToDrive("/" + AddressChar() + "b" + baud + "R" + kCR);
    waitTXBuffer();
    if (interrupted())
        return;
    MSCommFlash.close();
    MSCommFlash.setLineSettings(baud + ",N,8,1");
    if (!MSCommFlash.open()) {
        txtStatus->setText("Status: Unable to open the serial port at " + baud + " baud.");
        commonExit();
        return;
    }
    delayLoop(50000);
    if (interrupted())
        return;
    discardInput();
    progress(10);

    // 10-11: the file's length.
    QFile image(path);
    if (!image.open(QIODevice::ReadOnly)) {
        reportError("cmdUpdate_Click", 53, "File not found");
        if (!self)
            return;
        txtStatus->setText("Status: Invalid AMX update file...");
        commonExit();
        return;
    }
    const qint64 fileLength = image.size();
    image.close();
    int32_t blockIndex = 0;
    discardInput();

    // 12-14: update mode.
    txtStatus->setText("Status: Entering update mode...");
    sendFlashToDrive("/" + AddressChar() + (header.FullUpdate ? "]" : "[") + kCR);
    waitTXBuffer();
    if (interrupted())
        return;
    delayLoop(50000);
    if (interrupted())
        return;
    QString reply = getRXBuffer(1);
    if (interrupted())
        return;
    reply = amx::trimSpaces(reply);
    if (!reply.startsWith(QLatin1Char('?'))) {
        platform::Message m;
        m.text = "Response: '" + reply + "'. Exiting...";
        m.icon = QMessageBox::NoIcon; // 64 + 48 names no single icon
        platform::message(this, m);
        if (!self)
            return;
        commonExit();
        return;
    }

    // 15-17: the image, block by block.
    if (!image.open(QIODevice::ReadOnly)) {
        reportError("cmdUpdate_Click", 53, "File not found");
        if (!self)
            return;
        stopWithStatus("Status: Invalid AMX update file...");
        return;
    }
    txtStatus->setText("Status: Transmitting data...");
    progress(20);
    int value = 20;
    qint64 position = header.NoHeader ? 1 : amx::kHeaderLength + 1;
    int32_t counted = int32_t(position);

    // A block starts only below the file length; a last block shorter than 6 bytes goes out
    // as it stands, without padding.
    while (position < fileLength) {
        if (AbortTransfer) {
            endTransfer();
            return;
        }
        image.seek(position - 1);
        const QByteArray block = image.read(amx::kBlockSize);
        if (block.isEmpty()) {
            stopWithStatus("Status: Unable to read AMX update file. Transfer stopped.");
            return;
        }
        sendFlashToDrive(QString::fromLatin1(block));
        waitTXBuffer();
        if (interrupted())
            return;

        tmrMSCommFlash.start();
        reply = getRXBuffer(1);
        if (!self)
            return;
        tmrMSCommFlash.stop();
        if (interrupted())
            return;
        if (reply.isEmpty() && !AbortTransfer) {
            // Nothing came within the time-out and its margin: the time-out path.
            tmrMSCommFlash_Timer();
            if (!self)
                return;
        }
        if (AbortTransfer) {
            // The time-out has ended this attempt: the spinner and the bar keep what the
            // time-out showed.
            endTransfer();
            return;
        }
        if (amx::containsNoCase(reply, "Error")) {
            stopWithStatus("Status: " + reply + "!");
            return;
        }
        counted += amx::kBlockSize;
        position += amx::kBlockSize;
        if (blockIndex % 7 == 0) {
            updateSpinner(blockIndex);
            if (interrupted())
                return;
        }
        if (amx::progressStepDue(counted, int32_t(fileLength))) {
            value += 5;
            progress(value);
            counted = 0;
        }
        ++blockIndex;
    }
    if (AbortTransfer) {
        endTransfer();
        return;
    }

    // 18: completion.
    pgbUpdate->setValue(pgbUpdate->maximum());
    txtStatus->setText("Status: Transfer complete...");
    txtSpinner->setText(" ");
    platform::pumpEvents();
    if (interrupted())
        return;
    image.close();
    platform::pumpEvents();
    if (interrupted())
        return;
    txtStatus->setText("Status: OK");
    platform::pumpEvents();
    if (!self)
        return;
    endTransfer();
}
