#include "sim/ptyserver.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {
// Output the console does not read is dropped past this much, oldest first.
constexpr qsizetype kMaxPending = 1 << 20;
} // namespace

// Moves bytes between the master descriptor and the bus, in the thread it lives in.
class PtyPump : public QObject {
public:
    explicit PtyPump(PtyServer &server) : m_server(server) {}

    void begin()
    {
        const int fd = m_server.m_master;
        m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        m_write->setEnabled(false);
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        m_timer->setTimerType(Qt::PreciseTimer);
        connect(m_read, &QSocketNotifier::activated, this, [this] { onReadable(); });
        connect(m_write, &QSocketNotifier::activated, this, [this] { flush(); });
        connect(m_timer, &QTimer::timeout, this, [this] { onTimer(); });
    }

    void end()
    {
        delete m_read;
        delete m_write;
        delete m_timer;
        m_read = m_write = nullptr;
        m_timer = nullptr;
    }

    void hangUp()
    {
        if (m_server.m_master < 0)
            return;
        // This may run inside a notifier's own signal: switch everything off, delete at end().
        if (m_read)
            m_read->setEnabled(false);
        if (m_write)
            m_write->setEnabled(false);
        if (m_timer)
            m_timer->stop();
        m_pending.clear();
        m_server.closeFds();
        m_server.m_hungUp = true;
        emit m_server.hungUp();
    }

private:
    void onReadable()
    {
        QByteArray in;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_server.m_master, buf, sizeof buf);
            if (n > 0) {
                in.append(buf, n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            // End of file or an error on the master: the line is gone.
            if (in.isEmpty()) {
                hangUp();
                return;
            }
            break;
        }
        if (in.isEmpty())
            return;
        if (m_server.m_trace)
            m_server.m_trace(true, in);
        QByteArray out;
        bool hang = false;
        {
            QMutexLocker lock(&m_server.m_mutex);
            out = m_server.m_bus.feed(in);
            hang = m_server.m_bus.hangUpRequested();
        }
        if (hang) {
            hangUp();
            return;
        }
        send(out);
        schedule();
    }

    void onTimer()
    {
        QByteArray out;
        {
            QMutexLocker lock(&m_server.m_mutex);
            out = m_server.m_bus.poll();
        }
        send(out);
        schedule();
    }

    void schedule()
    {
        if (!m_timer || m_server.m_master < 0)
            return;
        qint64 next, now;
        {
            QMutexLocker lock(&m_server.m_mutex);
            next = m_server.m_bus.nextEventUs();
            now = m_server.m_bus.now();
        }
        if (next < 0) {
            m_timer->stop();
            return;
        }
        const qint64 waitUs = next - now;
        m_timer->start(waitUs <= 0 ? 0 : int(std::min<qint64>((waitUs + 999) / 1000, 1 << 30)));
    }

    void send(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        if (m_server.m_trace)
            m_server.m_trace(false, bytes);
        m_pending.append(bytes);
        if (m_pending.size() > kMaxPending)
            m_pending.remove(0, m_pending.size() - kMaxPending);
        flush();
    }

    void flush()
    {
        while (!m_pending.isEmpty() && m_server.m_master >= 0) {
            const ssize_t n = ::write(m_server.m_master, m_pending.constData(), size_t(m_pending.size()));
            if (n > 0) {
                m_pending.remove(0, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break; // full (or failing): wait until the line takes more
        }
        if (m_write)
            m_write->setEnabled(!m_pending.isEmpty());
    }

    PtyServer &m_server;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    QTimer *m_timer = nullptr;
    QByteArray m_pending;
};

PtyServer::PtyServer(QObject *parent) : QObject(parent) {}

PtyServer::~PtyServer()
{
    stop();
}

bool PtyServer::open()
{
    if (m_master >= 0)
        return true;
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        m_error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_master = master;
    m_slaveKeep = slave;
    m_slavePath = QString::fromLocal8Bit(name);
    m_hungUp = false;
    return true;
}

bool PtyServer::start()
{
    if (m_pump)
        return true;
    if (!open())
        return false;
    m_pump = new PtyPump(*this);
    m_pump->begin();
    return true;
}

bool PtyServer::startThread()
{
    if (m_pump)
        return true;
    if (!open())
        return false;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("drivesim"));
    m_pump = new PtyPump(*this);
    m_pump->moveToThread(m_thread);
    m_thread->start();
    PtyPump *pump = m_pump;
    QMetaObject::invokeMethod(pump, [pump] { pump->begin(); }, Qt::BlockingQueuedConnection);
    return true;
}

void PtyServer::stop()
{
    if (m_pump) {
        PtyPump *pump = m_pump;
        if (m_thread) {
            QMetaObject::invokeMethod(pump, [pump] { delete pump; }, Qt::BlockingQueuedConnection);
            m_thread->quit();
            m_thread->wait();
            delete m_thread;
            m_thread = nullptr;
        } else {
            delete pump;
        }
        m_pump = nullptr;
    }
    closeFds();
}

int PtyServer::baudRate() const
{
    termios tio{};
    if (m_master < 0 || ::tcgetattr(m_master, &tio) != 0)
        return 0;
    static const std::pair<speed_t, int> rates[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
        {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    const speed_t speed = ::cfgetospeed(&tio);
    for (const auto &[code, rate] : rates)
        if (code == speed)
            return rate;
    return 0;
}

void PtyServer::hangUp()
{
    if (m_pump) {
        PtyPump *pump = m_pump;
        if (m_thread)
            QMetaObject::invokeMethod(pump, [pump] { pump->hangUp(); }, Qt::BlockingQueuedConnection);
        else
            pump->hangUp();
        return;
    }
    if (m_master >= 0) {
        closeFds();
        m_hungUp = true;
        emit hungUp();
    }
}

void PtyServer::closeFds()
{
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
    if (m_master >= 0)
        ::close(m_master);
    m_slaveKeep = m_master = -1;
}

} // namespace sim
