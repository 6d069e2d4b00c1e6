#include "firmware/updatetransfer.h"

#include "app/platform.h"
#include "link/commport.h"
#include "link/framing.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <chrono>

namespace {

const QString kCR = QStringLiteral("\r");
const QString kCRLF = QStringLiteral("\r\n");
const QString kConfirm = "Are you sure you want to continue? " + kCRLF + kCRLF
    + "- Disconnect all other devices from serial bus." + kCRLF
    + "- Terminate connections for high baud rates." + kCRLF + kCRLF
    + "- DO NOT POWER OFF DEVICE until update is complete.";

// Rounds of delayLoop after a query, and after the baud change and the update-mode command.
constexpr int32_t kQueryDelay = 300000;
constexpr int32_t kSettleDelay = 50000;
// Longest wait for the transmit buffer to empty, on top of the time the bytes need on the line.
constexpr int kDrainMargin = 2000;

} // namespace

// ---- the port -----------------------------------------------------------------------------

CommUpdatePort::CommUpdatePort(CommPort &port) : m_port(port)
{
    connect(&port, &CommPort::activity, this, &UpdatePort::activity);
    connect(&port, &CommPort::deviceLost, this, &UpdatePort::lost);
}

bool CommUpdatePort::isOpen() const { return m_port.isOpen(); }
bool CommUpdatePort::open() { return m_port.open(); }
void CommUpdatePort::close() { m_port.close(); }
QString CommUpdatePort::lineSettings() const { return m_port.lineSettings(); }
void CommUpdatePort::setLineSettings(const QString &text) { m_port.setLineSettings(text); }
bool CommUpdatePort::write(const QString &text) { return m_port.write(text); }
QString CommUpdatePort::readAll() { return m_port.read().value_or(QString()); }
int CommUpdatePort::countReceived() const { return m_port.countReceived(); }
int CommUpdatePort::countUnsent() const { return m_port.countUnsent(); }
QString CommUpdatePort::devicePath() const { return m_port.devicePath(); }

// ---- the transfer -------------------------------------------------------------------------

UpdateTransfer::UpdateTransfer(UpdatePort &port, UpdateView &view, QTimer &replyTimer, QObject *parent)
    : QObject(parent), m_port(port), m_view(view), m_timer(replyTimer)
{
    connect(&m_port, &UpdatePort::lost, this, [this] { interrupt(State::LineLost); });
}

void UpdateTransfer::interrupt(State why)
{
    if (m_state == State::Running)
        m_state = why;
    emit woken();
}

void UpdateTransfer::stop() { interrupt(State::Stopped); }

void UpdateTransfer::reportError(const QString &routine, int number, const QString &description)
{
    m_view.showMessage(routine + "() Error #: " + QString::number(number) + " :: " + description,
                       UpdateView::Icon::Information);
}

void UpdateTransfer::setProgress(int value) { m_view.showProgress(qBound(0, value, 100)); }

void UpdateTransfer::discardInput()
{
    if (m_port.isOpen())
        m_port.readAll();
}

// ---- waits and port operations ------------------------------------------------------------

bool UpdateTransfer::waitUntil(const QDeadlineTimer &deadline, const std::function<bool()> &done, int pollMs)
{
    QPointer<UpdateTransfer> self(this);
    for (;;) {
        platform::pumpEvents();
        if (!self)
            return false;
        if (done() || interrupted() || deadline.hasExpired())
            return true;

        // Sleep until the port has news, the deadline comes or the attempt is interrupted.
        QEventLoop loop;
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        connect(&wake, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(&m_port, &UpdatePort::activity, &loop, &QEventLoop::quit);
        connect(this, &UpdateTransfer::woken, &loop, &QEventLoop::quit);
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

void UpdateTransfer::sendFlashToDrive(const QString &strCommand)
{
    if (!m_port.isOpen() && !m_port.open())
        return;
    if (!m_port.write(strCommand))
        interrupt(State::LineLost);
}

std::optional<QString> UpdateTransfer::awaitInput(int32_t count)
{
    const QDeadlineTimer deadline(m_timer.interval() + kReplyMargin, Qt::PreciseTimer);
    if (!waitUntil(deadline, [&] { return !m_port.isOpen() || m_port.countReceived() >= count; }))
        return std::nullopt;
    if (!m_port.isOpen()) {
        if (!interrupted())
            reportError("getRXBuffer", 8018, "Operation valid only when the port is open");
        return std::nullopt;
    }
    // Whether the characters came is decided before the trim: a reply of blanks is a reply.
    const bool arrived = m_port.countReceived() >= count;
    const QString text = framing::trimSpaces(m_port.readAll());
    return arrived ? std::optional<QString>(text) : std::nullopt;
}

QString UpdateTransfer::getRXBuffer(int32_t count) { return awaitInput(count).value_or(QString()); }

void UpdateTransfer::waitTXBuffer()
{
    const int unsent = m_port.countUnsent();
    const int baud = qMax(1, parseLineSettings(m_port.lineSettings()).value_or(LineSettings{}).baud);
    const QDeadlineTimer deadline(kDrainMargin + qint64(unsent) * 10 * 1000 / baud);
    // The driver's queue drains without a signal: look every millisecond.
    waitUntil(deadline, [this] { return m_port.countUnsent() <= 0; }, 1);
}

void UpdateTransfer::delayLoop(int32_t count)
{
    waitUntil(QDeadlineTimer(std::chrono::microseconds(qMax(0, count)), Qt::PreciseTimer), [] { return false; });
}

// ---- validation ---------------------------------------------------------------------------

std::optional<QString> UpdateTransfer::query(const QString &text)
{
    QPointer<UpdateTransfer> self(this);
    sendFlashToDrive(text);
    waitTXBuffer();
    if (!self || interrupted())
        return std::nullopt;
    delayLoop(kQueryDelay);
    if (!self || interrupted())
        return std::nullopt;
    const QString reply = getRXBuffer(0);
    if (!self || interrupted())
        return std::nullopt;
    return reply;
}

bool UpdateTransfer::validUpdateFile(const QString &path, AMXHeader &header)
{
    const auto info = [this](const QString &text) { m_view.showMessage(text, UpdateView::Icon::Information); };
    m_view.showStatus("Status: Validating AMX file...");
    const std::optional<QString> headerText = amx::readHeaderText(path);
    if (!headerText) {
        reportError("validUpdateFile", 53, "File not found");
        return false;
    }
    header.Model.clear();
    header.NoHeader = true;
    if (amx::headerTest(*headerText)) {
        header.NoHeader = false;
        if (!amx::getAMXHeader(*headerText, header)) {
            reportError("validUpdateFile", 5, "Invalid procedure call or argument");
            return false;
        }
    }

    const std::optional<QString> reply = query("/" + m_view.AddressChar() + "&" + kCR);
    if (!reply)
        return false;
    if (reply->startsWith(QLatin1Char('?'))) {
        m_view.showStatus("Status: Unable to validate file for this controller state...");
        header.NotValidated = true;
        m_view.showMessage("Unable to validate file for this controller state." + kCR + kCR
                               + "The controller has not passed self-validation." + kCR + "Take care to "
                               + "ensure this is the correct update for this particular " + header.Model
                               + " controller.",
                           UpdateView::Icon::Exclamation);
        return true;
    }
    header.NotValidated = false;

    const QString version = amx::getVersionString(*reply);
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
        const std::optional<QString> second = query("/" + m_view.AddressChar() + "!" + kCR);
        if (!second)
            return false;
        if (!amx::deviceReplyMatches(*second, header.DeviceID)) {
            info("This AMX update file does not work with this " + header.Model + " model "
                 + "or this model can not be field upgraded.");
            return false;
        }
    }
    m_view.showStatus(header.FullUpdate ? "Status: ***FULL UPDATE*** AMX file OK..." : "Status: AMX file OK...");
    return true;
}

// ---- the update's stages ------------------------------------------------------------------

void UpdateTransfer::run(const QString &path)
{
    if (m_state != State::Idle)
        return; // one attempt at a time
    QPointer<UpdateTransfer> self(this);
    m_state = State::Running;
    Attempt a;
    a.path = path;
    Step step = validate(a);
    if (step == Step::Next)
        step = confirm(a);
    if (step == Step::Next)
        step = negotiate(a);
    if (step == Step::Next)
        step = enterUpdateMode(a);
    if (step == Step::Next)
        step = sendBlocks(a);
    if (step == Step::Next)
        step = complete(a);
    if (!self)
        return;
    m_timer.stop();
    setProgress(0);
    m_view.attemptEnded(step == Step::EndTransfer);
    m_state = State::Idle;
    emit finished();
}

UpdateTransfer::Step UpdateTransfer::checkpoint(const QPointer<UpdateTransfer> &self)
{
    if (!self)
        return Step::Gone;
    switch (self->m_state) {
    case State::Idle:
    case State::Running:
        return Step::Next;
    case State::Stopped:
        self->m_view.showStatus("Status: Transfer stopped.");
        return Step::EndTransfer;
    case State::LineLost:
        self->m_view.showStatus("Status: Serial port lost (" + self->m_port.devicePath() + "). Transfer stopped.");
        return Step::EndTransfer;
    case State::TimedOut: // the time-out has shown its own ending
        return Step::EndTransfer;
    }
    return Step::Next;
}

UpdateTransfer::Step UpdateTransfer::command(const QString &text)
{
    QPointer<UpdateTransfer> self(this);
    sendFlashToDrive(text);
    waitTXBuffer();
    return checkpoint(self);
}

UpdateTransfer::Step UpdateTransfer::settle()
{
    QPointer<UpdateTransfer> self(this);
    delayLoop(kSettleDelay);
    return checkpoint(self);
}

// Steps 1 and 2.
UpdateTransfer::Step UpdateTransfer::validate(Attempt &a)
{
    QPointer<UpdateTransfer> self(this);
    m_view.showStatus("Status: Validating AMX update file...");
    setProgress(2);
    const bool valid = validUpdateFile(a.path, a.header);
    if (const Step s = checkpoint(self); s != Step::Next)
        return s;
    if (valid)
        return Step::Next;
    m_view.showStatus("Status: Invalid AMX update file...");
    return Step::CommonExit;
}

// Step 3.
UpdateTransfer::Step UpdateTransfer::confirm(Attempt &)
{
    QPointer<UpdateTransfer> self(this);
    const bool yes = m_view.confirm(kConfirm);
    if (const Step s = checkpoint(self); s != Step::Next)
        return s;
    if (yes)
        return Step::Next;
    m_view.showStatus("Status: None");
    return Step::CommonExit;
}

// Steps 4 to 9: the drive and the port change to the chosen rate.
UpdateTransfer::Step UpdateTransfer::negotiate(Attempt &a)
{
    if (a.header.NotValidated)
        m_view.selectFirstBaud();
    m_view.showStatus("Status: Negotiating baud rate...");
    setProgress(5);
    const QString baud = m_view.baudText();
    if (const Step s = command("/" + m_view.AddressChar() + "b" + baud + "R" + kCR); s != Step::Next)
        return s;
    m_port.close();
    m_port.setLineSettings(baud + ",N,8,1");
    if (!m_port.open()) {
        m_view.showStatus("Status: Unable to open the serial port at " + baud + " baud.");
        return Step::CommonExit;
    }
    if (const Step s = settle(); s != Step::Next)
        return s;
    discardInput();
    setProgress(10);
    return Step::Next;
}

// Steps 10 to 14: the file's length, then update mode, which the drive accepts with a "?".
UpdateTransfer::Step UpdateTransfer::enterUpdateMode(Attempt &a)
{
    QPointer<UpdateTransfer> self(this);
    a.image.setFileName(a.path);
    if (!a.image.open(QIODevice::ReadOnly)) {
        reportError("cmdUpdate_Click", 53, "File not found");
        if (!self)
            return Step::Gone;
        m_view.showStatus("Status: Invalid AMX update file...");
        return Step::CommonExit;
    }
    a.fileLength = a.image.size();
    a.image.close();
    discardInput();

    m_view.showStatus("Status: Entering update mode...");
    const QString mode = a.header.FullUpdate ? "]" : "[";
    if (const Step s = command("/" + m_view.AddressChar() + mode + kCR); s != Step::Next)
        return s;
    if (const Step s = settle(); s != Step::Next)
        return s;
    const QString reply = getRXBuffer(1);
    if (const Step s = checkpoint(self); s != Step::Next)
        return s;
    if (reply.startsWith(QLatin1Char('?')))
        return Step::Next;
    m_view.showMessage("Response: '" + reply + "'. Exiting...", UpdateView::Icon::None);
    return self ? Step::CommonExit : Step::Gone;
}

// Steps 15 to 17. A block starts only below the file length; a last block shorter than 6 bytes
// goes out as it stands, without padding.
UpdateTransfer::Step UpdateTransfer::sendBlocks(Attempt &a)
{
    QPointer<UpdateTransfer> self(this);
    if (!a.image.open(QIODevice::ReadOnly)) {
        reportError("cmdUpdate_Click", 53, "File not found");
        if (!self)
            return Step::Gone;
        m_view.showStatus("Status: Invalid AMX update file...");
        return Step::EndTransfer;
    }
    m_view.showStatus("Status: Transmitting data...");
    setProgress(a.progress = 20);
    a.position = a.header.NoHeader ? 1 : amx::kHeaderLength + 1;
    a.counted = int32_t(a.position);
    while (a.position < a.fileLength)
        if (const Step s = sendBlock(a); s != Step::Next)
            return s;
    return Step::Next;
}

// One block and its reply. The time-out's AbortTransfer is read at the checkpoint after the
// reply, and the spinner and the bar then keep what the time-out showed.
UpdateTransfer::Step UpdateTransfer::sendBlock(Attempt &a)
{
    QPointer<UpdateTransfer> self(this);
    a.image.seek(a.position - 1);
    const QByteArray block = a.image.read(framing::kBlockSize);
    if (block.isEmpty()) {
        m_view.showStatus("Status: Unable to read AMX update file. Transfer stopped.");
        return Step::EndTransfer;
    }
    if (const Step s = command(QString::fromLatin1(block)); s != Step::Next)
        return s;

    m_timer.start();
    const std::optional<QString> reply = awaitInput(1);
    if (!self)
        return Step::Gone;
    m_timer.stop();
    if (!reply && m_state == State::Running)
        timeOut(); // nothing came within the time-out and its margin
    if (const Step s = checkpoint(self); s != Step::Next)
        return s;
    if (framing::holdsError(reply.value_or(QString()))) {
        m_view.showStatus("Status: " + *reply + "!");
        return Step::EndTransfer;
    }

    a.counted += framing::kBlockSize;
    a.position += framing::kBlockSize;
    if (a.blockIndex % 7 == 0) {
        m_view.updateSpinner(a.blockIndex);
        if (const Step s = checkpoint(self); s != Step::Next)
            return s;
    }
    if (amx::progressStepDue(a.counted, int32_t(a.fileLength))) {
        setProgress(a.progress += 5);
        a.counted = 0;
    }
    ++a.blockIndex;
    return Step::Next;
}

// Step 18.
UpdateTransfer::Step UpdateTransfer::complete(Attempt &a)
{
    QPointer<UpdateTransfer> self(this);
    setProgress(100);
    m_view.showStatus("Status: Transfer complete...");
    m_view.showSpinner(" ");
    platform::pumpEvents();
    if (const Step s = checkpoint(self); s != Step::Next)
        return s;
    a.image.close();
    platform::pumpEvents();
    if (const Step s = checkpoint(self); s != Step::Next)
        return s;
    m_view.showStatus("Status: OK");
    platform::pumpEvents();
    return self ? Step::EndTransfer : Step::Gone;
}

void UpdateTransfer::timeOut()
{
    QPointer<UpdateTransfer> self(this);
    m_timer.stop();
    m_view.showSpinner(" ");
    m_view.showStatus("Status: Timeout. No REZizavur detected.");
    platform::pumpEvents();
    if (!self)
        return;
    m_view.attemptEnded(true);
    setProgress(0);
    discardInput();
    m_port.close();
    m_port.open();
    interrupt(State::TimedOut);
}
