#include "firmware/frmflash.h"

#include "app/numbers.h"
#include "app/platform.h"
#include "app/twips.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFont>
#include <QPointer>

namespace {

// Receive time-out used when the settings field holds no positive number.
constexpr int kDefaultReplyTimeout = 3000;

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
    // The controls below fill a client area of 5430 x 3780 twips; the frame comes on top.
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
    m_transfer.stop();
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
    if (isUnloading())
        return;
    if (m_transfer.isRunning()) {
        // A new file is chosen once the running transfer has stopped.
        connect(&m_transfer, &UpdateTransfer::finished, this, &frmFlash::cmdLoadImage_Click,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection | Qt::UniqueConnection));
        m_transfer.stop();
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

    m_transfer.stop();
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

// ---- the transfer's view ------------------------------------------------------------------

void frmFlash::reportError(const QString &routine, int number, const QString &description)
{
    showMessage(routine + "() Error #: " + QString::number(number) + " :: " + description, Icon::Information);
}

void frmFlash::showMessage(const QString &text, Icon icon)
{
    platform::Message m;
    m.text = text;
    // The update-mode reply's box asks for information and exclamation at once: no single icon.
    m.icon = icon == Icon::Information ? QMessageBox::Information
        : icon == Icon::Exclamation    ? QMessageBox::Warning
                                       : QMessageBox::NoIcon;
    platform::message(this, m);
}

bool frmFlash::confirm(const QString &text)
{
    platform::Message m;
    m.text = text;
    m.icon = QMessageBox::Information;
    m.buttons = QMessageBox::Yes | QMessageBox::No;
    return platform::message(this, m) == QMessageBox::Yes;
}

QString frmFlash::AddressChar() const { return framing::addressChar(cboID->currentIndex() + 1); }

void frmFlash::attemptEnded(bool transfer)
{
    cmdUpdate->setEnabled(false);
    if (!transfer)
        return;
    // The window's own Boolean property that every ending of a transfer sets: it is enabled,
    // whatever a press during the transfer did to it.
    setEnabled(true);
    cmdPause->setEnabled(false);
}

// ---- the update ---------------------------------------------------------------------------

void frmFlash::cmdUpdate_Click()
{
    if (!isUnloading())
        m_transfer.run(m_fileName);
}

void frmFlash::tmrMSCommFlash_Timer() { m_transfer.timeOut(); }
