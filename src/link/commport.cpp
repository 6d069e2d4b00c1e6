#include "link/commport.h"

#include "link/portmap.h"
#include "lines/networkline.h"
#include "lines/portreason.h"

#include <QList>
#include <QMetaObject>

#ifndef Q_OS_UNIX
#include <QSerialPort>
#endif

namespace {
CommPort::CreationHook creationHook = nullptr;
// Every port of the program, for closeAll(). Ports live on the one user-interface thread.
QList<CommPort *> &allPorts()
{
    static QList<CommPort *> ports;
    return ports;
}
} // namespace

void CommPort::setCreationHook(CreationHook hook) { creationHook = hook; }

void CommPort::askNetworkPorts(int first, int last)
{
    QStringList network;
    for (int n = first; n <= last; ++n)
        if (const QString path = portmap::devicePath(n); Line::isNetworkPath(path))
            network << path;
    if (!network.isEmpty())
        NetworkLine::probe(network, NetworkLine::kProbeMs);
}

void CommPort::closeAll()
{
    for (CommPort *port : allPorts())
        port->close();
}

CommPort::CommPort(QObject *parent) : QObject(parent)
{
    allPorts().append(this);
    if (creationHook)
        creationHook(this);
}

CommPort::~CommPort()
{
    close();
    allPorts().removeOne(this);
}

bool CommPort::isOpen() const { return m_line && m_line->isOpen(); }

QString CommPort::devicePath() const { return portmap::devicePath(m_portNumber); }

bool CommPort::open()
{
    if (isOpen())
        return false; // opening an open port is an error, as on any port object
    m_openFailure.clear();
    const auto settings = parseLineSettings(m_lineSettings);
    const QString path = devicePath();
    if (!settings || path.isEmpty())
        return false;
    auto line = Line::forPath(path);
    connect(line.get(), &Line::arrived, this, [this](qint64 us, const QByteArray &bytes) {
        // Everything here runs inside the line's own signal: a close meanwhile leaves the line
        // to go once it returns (see close()).
        const bool nested = m_raising;
        m_raising = true;
        emit traffic(us, Direction::Received, bytes);
        emit activity();
        // The first notification for new bytes is raised at once, saving a turn of the event
        // loop on every reply; one raised again while it runs, or for bytes that come in
        // meanwhile, is queued.
        if (nested || m_notificationPending || m_threshold <= 0)
            scheduleNotification();
        else
            raiseNotification();
        m_raising = nested;
    });
    connect(line.get(), &Line::sent, this, &CommPort::activity);
    connect(line.get(), &Line::lost, this, &CommPort::onLost);
    QByteArray before;
    qint64 beforeAt = 0;
    const auto keepBefore = connect(line.get(), &Line::discarded, this, [&](qint64 us, const QByteArray &bytes) {
        before = bytes;
        beforeAt = us;
    });
    const bool ok = line->open(*settings);
    disconnect(keepBefore);
    if (!ok) {
        m_openFailure = line->why();
        return false;
    }
    m_line = std::move(line);
    m_openPath = path;
    emit opened(monotonicMicroseconds());
    if (!before.isEmpty())
        emit discardedAtOpen(beforeAt, before);
    return true;
}

void CommPort::close()
{
    m_notificationPending = false;
    if (!m_line)
        return;
    const bool wasOpen = m_line->isOpen();
    m_line->close();
    if (m_raising)
        m_line.release()->deleteLater(); // a notification's handler closed it: the line is below us
    else
        m_line.reset();
    if (wasOpen)
        emit closed(monotonicMicroseconds());
}

bool CommPort::probe() const
{
    if (isOpen() || !parseLineSettings(m_lineSettings))
        return false;
    const QString path = devicePath();
    if (path.isEmpty())
        return false;
    if (Line::isNetworkPath(path))
        return portreason::reason(path).isEmpty(); // its server takes a connection
#ifdef Q_OS_UNIX
    return portreason::examine(path).state == portreason::State::Opens;
#else
    // The system's own ports have no lock files to respect: trying is looking.
    QSerialPort trial(path);
    return trial.open(QIODevice::ReadWrite);
#endif
}

bool CommPort::setLineSettings(const QString &text)
{
    const auto parsed = parseLineSettings(text);
    if (!parsed)
        return false;
    m_lineSettings = text;
    if (isOpen())
        m_line->apply(*parsed);
    return true;
}

void CommPort::setReceiveThreshold(int count)
{
    m_threshold = count;
    if (m_threshold > 0 && isOpen() && m_line->waiting() > 0)
        scheduleNotification();
}

bool CommPort::setPortNumber(int number)
{
    if (isOpen())
        return false;
    m_portNumber = number;
    return true;
}

bool CommPort::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    if (bytes.isEmpty())
        return true;
    if (!m_line->write(bytes))
        return false;
    emit traffic(monotonicMicroseconds(), Direction::Sent, bytes);
    return true;
}

std::optional<QString> CommPort::read()
{
    if (!isOpen())
        return std::nullopt;
    return QString::fromLatin1(m_line->read(m_readLength));
}

int CommPort::countReceived() const { return isOpen() ? int(m_line->waiting()) : 0; }

int CommPort::countUnsent() const { return isOpen() ? int(m_line->unsent()) : 0; }

bool CommPort::drain(int msecs) { return isOpen() && m_line->drain(msecs); }

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
        if (m_threshold <= 0 || !isOpen() || m_line->waiting() <= 0)
            return;
        emit receiveNotification();
    }
    if (isOpen() && m_line->waiting() > 0)
        scheduleNotification();
}

void CommPort::onLost()
{
    // The line has closed itself and is still inside its own signal: it goes once that is done.
    if (!m_line)
        return;
    m_line.release()->deleteLater();
    m_notificationPending = false;
    emit deviceLost(m_openPath);
}
