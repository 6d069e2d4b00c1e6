#include "lines/serialline.h"

#include "lines/portreason.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

SerialLine::SerialLine(const QString &path, QObject *parent) : Line(parent), m_path(path)
{
    // Qt's own buffer stays small: what waits for the program waits in the line.
    m_serial.setReadBufferSize(4096);
    connect(&m_serial, &QSerialPort::readyRead, this, &SerialLine::take);
    connect(&m_serial, &QSerialPort::bytesWritten, this, &Line::sent);
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialLine::onError);
}

bool SerialLine::open(const LineSettings &settings)
{
    if (m_serial.isOpen())
        return false;
    const portreason::Facts facts = portreason::examine(m_path);
    if (facts.state == portreason::State::Busy) {
        setWhy(portreason::explain(facts));
        return false;
    }
    if (!facts.staleLockFile.isEmpty())
        QFile::remove(facts.staleLockFile); // its process has ended: the lock keeps nobody out
    m_serial.setPortName(m_path);
    if (!m_serial.open(QIODevice::ReadWrite)) {
        setWhy(portreason::reason(m_path));
        return false;
    }
    // The modem-line and flow-control ioctls fail on a pseudo-terminal; the line itself works,
    // so only the rate and the frame format decide whether the open succeeded.
    m_serial.setFlowControl(QSerialPort::NoFlowControl);
    if (!apply(settings)) {
        m_serial.close();
        return false;
    }
    dropWaiting();
    // What the driver kept from before the open is no reply to anything of ours: drop it, but
    // say what it was.
    QByteArray before;
#ifdef Q_OS_UNIX
    const int fd = int(m_serial.handle());
    char buf[4096];
    if (::fcntl(fd, F_GETFL) & O_NONBLOCK)
        for (ssize_t n; before.size() < kMaxWaiting && (n = ::read(fd, buf, sizeof buf)) > 0;)
            before.append(buf, n);
#endif
    m_serial.clear();
    m_serial.clearError();
    if (!before.isEmpty())
        emit discarded(monotonicMicroseconds(), before);
    return true;
}

void SerialLine::close()
{
    if (m_serial.isOpen())
        m_serial.close();
    dropWaiting();
}

bool SerialLine::apply(const LineSettings &s)
{
    return m_serial.setBaudRate(s.baud) && m_serial.setParity(s.parity) && m_serial.setDataBits(s.dataBits)
        && m_serial.setStopBits(s.stopBits);
}

bool SerialLine::write(const QByteArray &bytes)
{
    if (!m_serial.isOpen() || m_serial.write(bytes) != bytes.size())
        return false;
    // Hand the bytes to the driver now rather than on the next pass of the event loop: a reply
    // can only start once the command has left.
    m_serial.flush();
    return true;
}

qint64 SerialLine::unsent() const
{
    if (!m_serial.isOpen())
        return 0;
    qint64 unsent = m_serial.bytesToWrite();
#ifdef Q_OS_UNIX
    int queued = 0;
    if (::ioctl(m_serial.handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        unsent += queued;
#endif
    return unsent;
}

bool SerialLine::drain(int msecs)
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

void SerialLine::take()
{
    const qsizetype n = std::min<qsizetype>(room(), m_serial.bytesAvailable());
    if (n > 0)
        deliver(m_serial.read(n));
}

void SerialLine::resume()
{
    if (m_serial.isOpen() && m_serial.bytesAvailable() > 0)
        take();
}

bool SerialLine::deviceGone() const
{
    if (!QFileInfo::exists(m_path))
        return true;
#ifdef Q_OS_UNIX
    pollfd p{m_serial.handle(), POLLIN | POLLOUT, 0};
    if (p.fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
#endif
    return false;
}

void SerialLine::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError && error != QSerialPort::WriteError)
        return;
    if (!m_serial.isOpen() || !deviceGone()) {
        m_serial.clearError();
        return;
    }
    close();
    emit lost();
}
