#include "link/commport.h"

#include "link/portmap.h"
#include "link/portreason.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStringList>

#include <chrono>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#endif

qint64 monotonicMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::optional<LineSettings> parseLineSettings(const QString &text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(','));
    if (parts.size() != 1 && parts.size() != 4)
        return std::nullopt;
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0)
        return std::nullopt;
    if (parts.size() == 1)
        return s;

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N")) s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E")) s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O")) s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M")) s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S")) s.parity = QSerialPort::SpaceParity;
    else return std::nullopt;

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return std::nullopt;
    s.dataBits = QSerialPort::DataBits(bits);

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1")) s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5")) s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2")) s.stopBits = QSerialPort::TwoStop;
    else return std::nullopt;
    return s;
}

namespace {
CommPort::CreationHook creationHook = nullptr;
// Every port of the program, for closeAll(). Ports live on the one user-interface thread.
QList<CommPort *> &allPorts()
{
    static QList<CommPort *> ports;
    return ports;
}
} // namespace

void CommPort::closeAll()
{
    for (CommPort *port : allPorts())
        port->close();
}

void CommPort::setCreationHook(CreationHook hook) { creationHook = hook; }

CommPort::CommPort(QObject *parent) : QObject(parent)
{
    connect(&m_serial, &QSerialPort::readyRead, this, &CommPort::scheduleNotification);
    connect(&m_serial, &QSerialPort::readyRead, this, &CommPort::activity);
    connect(&m_serial, &QSerialPort::bytesWritten, this, &CommPort::activity);
    connect(&m_serial, &QSerialPort::errorOccurred, this, &CommPort::onError);
    m_serial.setReadBufferSize(kReadBufferBytes);
    allPorts().append(this);
    if (creationHook)
        creationHook(this);
}

CommPort::~CommPort()
{
    close();
    allPorts().removeOne(this);
}

bool CommPort::isOpen() const { return m_serial.isOpen(); }

QString CommPort::devicePath() const { return portmap::devicePath(m_portNumber); }

bool CommPort::open()
{
    if (m_serial.isOpen())
        return false; // opening an open port is an error, as on any port object
    const auto settings = parseLineSettings(m_lineSettings);
    const QString path = devicePath();
    if (!settings || path.isEmpty())
        return false;
    // The serial library would clear a lock file it cannot read and, for a privileged user,
    // open a port held exclusively and release that hold on closing: look first.
    const portreason::Facts facts = portreason::examine(path);
    if (facts.state == portreason::State::Busy)
        return false;
    if (!facts.staleLockFile.isEmpty())
        QFile::remove(facts.staleLockFile); // its process has ended: the lock keeps nobody out
    m_serial.setPortName(path);
    if (!m_serial.open(QIODevice::ReadWrite))
        return false;
    // The modem-line and flow-control ioctls fail on a pseudo-terminal; the line itself works,
    // so only the rate and the frame format decide whether the open succeeded.
    m_serial.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_serial.setBaudRate(settings->baud) || !m_serial.setParity(settings->parity)
        || !m_serial.setDataBits(settings->dataBits) || !m_serial.setStopBits(settings->stopBits)) {
        m_serial.close();
        return false;
    }
    m_serial.clear(); // drop what the driver buffered before the open
    m_serial.clearError();
    m_openPath = path;
    return true;
}

bool CommPort::probe() const
{
    if (m_serial.isOpen() || !parseLineSettings(m_lineSettings))
        return false;
    const QString path = devicePath();
    if (path.isEmpty())
        return false;
#ifdef Q_OS_UNIX
    return portreason::examine(path).state == portreason::State::Opens;
#else
    // The system's own ports have no lock files to respect: trying is looking.
    QSerialPort trial(path);
    return trial.open(QIODevice::ReadWrite);
#endif
}

void CommPort::close()
{
    if (m_serial.isOpen())
        m_serial.close();
    m_notificationPending = false;
}

bool CommPort::setLineSettings(const QString &text)
{
    const auto parsed = parseLineSettings(text);
    if (!parsed)
        return false;
    m_lineSettings = text;
    if (m_serial.isOpen()) {
        m_serial.setBaudRate(parsed->baud);
        m_serial.setParity(parsed->parity);
        m_serial.setDataBits(parsed->dataBits);
        m_serial.setStopBits(parsed->stopBits);
    }
    return true;
}

void CommPort::setReceiveThreshold(int count)
{
    m_threshold = count;
    if (m_threshold > 0 && m_serial.isOpen() && m_serial.bytesAvailable() > 0)
        scheduleNotification();
}

bool CommPort::setPortNumber(int number)
{
    if (m_serial.isOpen())
        return false;
    m_portNumber = number;
    return true;
}

bool CommPort::write(const QByteArray &bytes)
{
    if (!m_serial.isOpen())
        return false;
    if (bytes.isEmpty())
        return true;
    const qint64 n = m_serial.write(bytes);
    if (n != bytes.size())
        return false;
    // Hand the bytes to the driver now rather than on the next pass of the event loop: a reply
    // can only start once the command has left.
    m_serial.flush();
    emit traffic(monotonicMicroseconds(), Direction::Sent, bytes);
    return true;
}

std::optional<QString> CommPort::read()
{
    if (!m_serial.isOpen())
        return std::nullopt;
    const QByteArray bytes = m_readLength > 0 ? m_serial.read(m_readLength) : m_serial.readAll();
    if (!bytes.isEmpty())
        emit traffic(monotonicMicroseconds(), Direction::Received, bytes);
    return QString::fromLatin1(bytes);
}

int CommPort::countReceived() const
{
    return m_serial.isOpen() ? int(m_serial.bytesAvailable()) : 0;
}

int CommPort::countUnsent() const
{
    if (!m_serial.isOpen())
        return 0;
    qint64 unsent = m_serial.bytesToWrite();
#ifdef Q_OS_UNIX
    int queued = 0;
    if (::ioctl(m_serial.handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        unsent += queued;
#endif
    return int(unsent);
}

bool CommPort::drain(int msecs)
{
    if (!m_serial.isOpen())
        return false;
    while (m_serial.bytesToWrite() > 0)
        if (!m_serial.waitForBytesWritten(msecs))
            return false;
#ifdef Q_OS_UNIX
    return ::tcdrain(m_serial.handle()) == 0;
#else
    return true;
#endif
}

void CommPort::scheduleNotification()
{
    if (m_notificationPending || m_threshold <= 0)
        return;
    m_notificationPending = true;
    QMetaObject::invokeMethod(this, &CommPort::raiseNotification, Qt::QueuedConnection);
}

void CommPort::raiseNotification()
{
    // One notification per waiting character. A burst is served in one pass, a bounded number
    // of characters at a time, so a reply is not spread over a dozen turns of the event loop
    // while timers still get their turn between bursts.
    m_notificationPending = false;
    for (int burst = 0; burst < kNotificationBurst; ++burst) {
        if (m_threshold <= 0 || !m_serial.isOpen() || m_serial.bytesAvailable() <= 0)
            return;
        emit receiveNotification();
    }
    if (m_serial.isOpen() && m_serial.bytesAvailable() > 0)
        scheduleNotification();
}

bool CommPort::deviceGone() const
{
    if (!QFileInfo::exists(m_openPath))
        return true;
#ifdef Q_OS_UNIX
    pollfd p{m_serial.handle(), POLLIN | POLLOUT, 0};
    if (p.fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
#endif
    return false;
}

void CommPort::onError(QSerialPort::SerialPortError error)
{
    // Before Qt 6.7.1 a read of 0 bytes can raise a stale Read/Resource error; only a device that
    // is really gone is an unplug. Modem-line ioctls fail on a pty: not an unplug either.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError
        && error != QSerialPort::WriteError)
        return;
    if (!m_serial.isOpen() || !deviceGone()) {
        m_serial.clearError();
        return;
    }
    const QString path = m_openPath;
    close();
    emit deviceLost(path);
}
