#include "lines/networkline.h"

#include <QDateTime>
#include <QThread>
#include <QUrl>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#endif

namespace {

// What probe() found lately, by path: when, and why not (empty: it answered).
struct Probed {
    qint64 atMs = 0;
    QString why;
};
QHash<QString, Probed> &probed()
{
    static QHash<QString, Probed> cache;
    return cache;
}
constexpr qint64 kProbeKeptMs = 60'000;

QString seconds(int msecs) { return QString::number((msecs + 999) / 1000); }

// The words of a network port's failures, one place for each.
QString notANetworkPort(const QString &url)
{
    return QStringLiteral("not a network port: %1 (rfc2217://HOST:PORT or socket://HOST:PORT)").arg(url);
}
QString refusedBy(const QString &where) { return QStringLiteral("connection refused by %1").arg(where); }
QString nameNotKnown(const QString &host) { return QStringLiteral("%1: name not known").arg(host); }
QString noAnswerFrom(const QString &where, int msecs)
{
    return QStringLiteral("no answer from %1 within %2 s").arg(where, seconds(msecs));
}
QString failedAt(const QString &where, const QString &reason) { return QStringLiteral("%1: %2").arg(where, reason); }
// A connection's failure by its errno.
QString connectFailure(const QString &where, int error)
{
    return error == ECONNREFUSED ? refusedBy(where) : failedAt(where, QString::fromLocal8Bit(std::strerror(error)));
}

QByteArray bigEndian32(quint32 v)
{
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(bytes, 4);
}

} // namespace

bool NetworkLine::parse(const QString &url, QString *host, quint16 *port, bool *telnet)
{
    const QUrl u(url, QUrl::StrictMode);
    const QString scheme = u.scheme();
    if (!u.isValid() || (scheme != QLatin1String("rfc2217") && scheme != QLatin1String("socket")) || u.host().isEmpty()
        || u.port() <= 0 || (!u.path().isEmpty() && u.path() != QLatin1String("/")))
        return false;
    *host = u.host();
    *port = quint16(u.port());
    *telnet = scheme == QLatin1String("rfc2217");
    return true;
}

NetworkLine::NetworkLine(const QString &url, QObject *parent) : Line(parent), m_url(url)
{
    m_valid = parse(url, &m_host, &m_port, &m_telnet);
    m_socket.setReadBufferSize(kMaxWaiting);
    connect(&m_socket, &QTcpSocket::readyRead, this, &NetworkLine::take);
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &Line::sent);
    connect(&m_socket, &QTcpSocket::disconnected, this, &NetworkLine::onDisconnected);
}

bool NetworkLine::waitFor(const std::function<bool()> &done, int msecs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        const qint64 left = msecs - clock.elapsed();
        if (left <= 0 || m_socket.state() != QAbstractSocket::ConnectedState)
            return false;
        m_socket.waitForReadyRead(int(left)); // emits readyRead: take() reads
    }
    return true;
}

bool NetworkLine::connectNow(QString *why)
{
    m_socket.abort();
    m_socket.connectToHost(m_host, m_port);
    if (m_socket.waitForConnected(kAnswerMs))
        return true;
    switch (m_socket.error()) {
    case QAbstractSocket::ConnectionRefusedError:
        *why = refusedBy(where());
        break;
    case QAbstractSocket::HostNotFoundError:
        *why = nameNotKnown(m_host);
        break;
    case QAbstractSocket::SocketTimeoutError:
        *why = noAnswerFrom(where(), kAnswerMs);
        break;
    default:
        *why = failedAt(where(), m_socket.errorString());
        break;
    }
    m_socket.abort();
    return false;
}

bool NetworkLine::open(const LineSettings &settings)
{
    if (m_open)
        return false;
    if (!m_valid) {
        setWhy(notANetworkPort(m_url));
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    Attempt result;
    m_settling = true; // what comes before the open is complete is dropped, and said to be
    while ((result = attempt(settings, clock)) == Attempt::Again)
        QThread::msleep(50);
    m_settling = false;
    if (result == Attempt::Failed) {
        m_open = false;
        m_socket.abort();
        return false;
    }
    dropWaiting();
    if (!m_before.isEmpty())
        emit discarded(monotonicMicroseconds(), m_before);
    m_before.clear();
    return true;
}

NetworkLine::Attempt NetworkLine::attempt(const LineSettings &settings, const QElapsedTimer &clock)
{
    QString why;
    m_open = false;
    m_client = telnet::Client();
    m_before.clear();
    if (!connectNow(&why)) {
        setWhy(why);
        return Attempt::Failed;
    }
    if (m_telnet) {
        m_socket.write(m_client.start());
        waitFor([this] { return m_client.comPortAgreed() || m_client.comPortRefused(); }, int(kAnswerMs - clock.elapsed()));
        if (m_client.comPortRefused()) {
            setWhy(QStringLiteral("%1 does not offer RFC 2217 line control (a raw port is socket://%1)").arg(where()));
            return Attempt::Failed;
        }
        if (m_client.comPortAgreed()) {
            // The server's buffers start empty, as a local port's do after its open.
            m_client.expect(telnet::PURGE_DATA);
            m_socket.write(telnet::comPortRequest(telnet::PURGE_DATA, QByteArray(1, char(3))));
        }
    }
    m_open = m_socket.state() == QAbstractSocket::ConnectedState && (!m_telnet || m_client.comPortAgreed());
    // The settings are confirmed within what is left of the open's time.
    if (m_open && setLine(settings, int(kAnswerMs - clock.elapsed())))
        return Attempt::Done;
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        // The server let go at once: it is still closing the last connection to this port, or
        // another client has it. Ask again while there is time.
        if (clock.elapsed() < kAnswerMs)
            return Attempt::Again;
        setWhy(QStringLiteral("%1 closed the connection: %2").arg(where(), QString::fromLatin1(m_before).simplified()));
    } else if (!m_open) {
        setWhy(QStringLiteral("no answer from %1 to RFC 2217 within %2 s").arg(where(), seconds(kAnswerMs)));
    }
    return Attempt::Failed;
}

bool NetworkLine::apply(const LineSettings &s) { return setLine(s, kAnswerMs); }

bool NetworkLine::setLine(const LineSettings &s, int msecs)
{
    if (!m_open)
        return false;
    // Start bit, data bits, parity bit, stop bits (a raw port is taken to run at these too).
    m_usPerByte = (1 + int(s.dataBits) + (s.parity == QSerialPort::NoParity ? 0 : 1)
                   + (s.stopBits == QSerialPort::OneStop ? 1 : 2)) * 1e6 / s.baud;
    if (!m_telnet)
        return true; // a raw port's line is set where it is served
    quint8 parity = 1;
    switch (s.parity) {
    case QSerialPort::OddParity: parity = 2; break;
    case QSerialPort::EvenParity: parity = 3; break;
    case QSerialPort::MarkParity: parity = 4; break;
    case QSerialPort::SpaceParity: parity = 5; break;
    default: break;
    }
    const quint8 stop = s.stopBits == QSerialPort::TwoStop ? 2 : s.stopBits == QSerialPort::OneAndHalfStop ? 3 : 1;
    QByteArray requests;
    const std::pair<quint8, QByteArray> settings[] = {
        {telnet::SET_BAUDRATE, bigEndian32(quint32(s.baud))},
        {telnet::SET_DATASIZE, QByteArray(1, char(s.dataBits))},
        {telnet::SET_PARITY, QByteArray(1, char(parity))},
        {telnet::SET_STOPSIZE, QByteArray(1, char(stop))},
    };
    for (const auto &[request, value] : settings) {
        m_client.expect(request);
        requests += telnet::comPortRequest(request, value);
    }
    m_socket.write(requests);
    m_socket.flush();
    if (msecs > 0 && waitFor([this] { return !m_client.anyPending(); }, msecs))
        return true;
    setWhy(QStringLiteral("no answer from %1 to the line settings within %2 s").arg(where(), seconds(kAnswerMs)));
    return false;
}

void NetworkLine::close()
{
    const bool wasOpen = m_open;
    m_open = false; // before the socket says it disconnected: a close is no loss
    if (wasOpen && m_socket.state() == QAbstractSocket::ConnectedState) {
        // What was written still goes out, on the far port too: a server may drop what its
        // port has not sent when the connection ends.
        const qint64 waitUs = std::min<qint64>(m_wireBusyUntilUs - monotonicMicroseconds(), kCloseMs * 1000);
        if (waitUs > 0)
            QThread::usleep(quint64(waitUs));
        m_socket.disconnectFromHost();
        if (m_socket.state() != QAbstractSocket::UnconnectedState)
            m_socket.waitForDisconnected(kCloseMs);
    }
    m_socket.abort();
    dropWaiting();
}

// Time for a server on the network to pass bytes on to its port, beyond their time on the wire.
constexpr qint64 kForwardUs = 10'000;

qint64 NetworkLine::reckonedOnWire() const
{
    const qint64 left = m_wireBusyUntilUs - monotonicMicroseconds();
    return left > 0 ? qint64(left / m_usPerByte) + 1 : 0;
}

qint64 NetworkLine::unsent() const { return m_open ? m_socket.bytesToWrite() + reckonedOnWire() : 0; }

bool NetworkLine::write(const QByteArray &bytes)
{
    if (!m_open)
        return false;
    const qint64 now = monotonicMicroseconds();
    m_wireBusyUntilUs = std::max(now + kForwardUs, m_wireBusyUntilUs) + qint64(bytes.size() * m_usPerByte);
    const QByteArray wire = m_telnet ? telnet::escape(bytes) : bytes;
    if (m_socket.write(wire) != wire.size())
        return false;
    m_socket.flush();
    return true;
}

bool NetworkLine::drain(int msecs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_open && m_socket.bytesToWrite() > 0)
        if (!m_socket.waitForBytesWritten(msecs))
            return false;
    const qint64 waitUs = m_wireBusyUntilUs - monotonicMicroseconds();
    if (waitUs > 0) {
        if (waitUs / 1000 > msecs - clock.elapsed())
            return false;
        QThread::usleep(quint64(waitUs));
    }
    return m_open;
}

void NetworkLine::take()
{
    const qsizetype n = std::min<qsizetype>(room(), m_socket.bytesAvailable());
    if (n <= 0)
        return;
    const QByteArray raw = m_socket.read(n);
    QByteArray data = raw;
    if (m_telnet) {
        data = m_client.receive(raw);
        const QByteArray replies = m_client.takeReplies();
        if (!replies.isEmpty())
            m_socket.write(replies);
    }
    if (m_open && !m_settling)
        deliver(data);
    else if (m_before.size() < kMaxWaiting)
        m_before += data;
}

void NetworkLine::resume()
{
    if (m_socket.bytesAvailable() > 0)
        take();
}

void NetworkLine::onDisconnected()
{
    if (!m_open)
        return;
    m_open = false;
    dropWaiting();
    emit lost();
}

std::optional<QString> NetworkLine::recentProbe(const QString &url)
{
    const auto it = probed().constFind(url);
    if (it == probed().cend() || QDateTime::currentMSecsSinceEpoch() - it->atMs > kProbeKeptMs)
        return std::nullopt;
    return it->why;
}

QString NetworkLine::reason(const QString &url)
{
    return probe({url}, kProbeMs).value(url);
}

#ifdef Q_OS_UNIX

namespace {

// One name looked up on a thread of its own, so that every name of a scan is looked up at once and
// a name service that does not answer holds nobody up: past the scan's time the thread is left to
// finish alone (a lookup cannot be cancelled) and the result it leaves here is not read.
struct Lookup {
    std::mutex mutex;
    bool done = false;
    bool found = false;
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0;
};

void lookUp(const std::shared_ptr<Lookup> &lookup, const QByteArray &host, quint16 port, bool numericOnly)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo *found = nullptr;
    const bool ok = ::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) == 0 && found;
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    if (ok) {
        std::memcpy(&lookup->address, found->ai_addr, found->ai_addrlen);
        lookup->length = found->ai_addrlen;
        lookup->family = found->ai_family;
    }
    lookup->found = ok;
    lookup->done = true;
    if (found)
        ::freeaddrinfo(found);
}

} // namespace

QHash<QString, QString> NetworkLine::probe(const QStringList &urls, int msecs)
{
    // Every connection at once, without the event loop: names looked up together, then
    // non-blocking connects polled together, all within msecs.
    struct Attempt {
        QString url, host, where;
        std::shared_ptr<Lookup> lookup;
        int fd = -1;
        QString why;
        bool done = false;
    };
    QElapsedTimer clock;
    clock.start();
    std::vector<Attempt> attempts;
    for (const QString &url : urls) {
        Attempt a;
        a.url = url;
        quint16 port = 0;
        bool telnet = false;
        if (!parse(url, &a.host, &port, &telnet)) {
            a.why = notANetworkPort(url);
            a.done = true;
            attempts.push_back(a);
            continue;
        }
        a.where = a.host + QLatin1Char(':') + QString::number(port);
        a.lookup = std::make_shared<Lookup>();
        const QByteArray host = QUrl::toAce(a.host).isEmpty() ? a.host.toUtf8() : QUrl::toAce(a.host);
        lookUp(a.lookup, host, port, true); // an address needs no name service
        if (!a.lookup->found) {
            a.lookup = std::make_shared<Lookup>();
            std::thread(lookUp, a.lookup, host, port, false).detach();
        }
        attempts.push_back(a);
    }
    for (Attempt &a : attempts) {
        if (a.done)
            continue;
        const auto lookedUp = [&a] {
            const std::lock_guard<std::mutex> lock(a.lookup->mutex);
            return a.lookup->done;
        };
        while (!lookedUp() && clock.elapsed() < msecs)
            QThread::msleep(2);
        const std::lock_guard<std::mutex> lock(a.lookup->mutex);
        a.done = true;
        if (!a.lookup->done) {
            a.why = QStringLiteral("%1: no answer from the name service within %2 s").arg(a.host, seconds(msecs));
        } else if (!a.lookup->found) {
            a.why = nameNotKnown(a.host);
        } else {
            a.fd = ::socket(a.lookup->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr *address = reinterpret_cast<const sockaddr *>(&a.lookup->address);
            if (a.fd < 0 || (::connect(a.fd, address, a.lookup->length) != 0 && errno != EINPROGRESS))
                a.why = connectFailure(a.where, errno);
            else
                a.done = false; // connecting
        }
    }
    for (;;) {
        std::vector<pollfd> polls;
        std::vector<Attempt *> waiting;
        for (Attempt &a : attempts)
            if (!a.done) {
                polls.push_back({a.fd, POLLOUT, 0});
                waiting.push_back(&a);
            }
        const qint64 left = msecs - clock.elapsed();
        if (waiting.empty() || left <= 0)
            break;
        if (::poll(polls.data(), polls.size(), int(left)) <= 0)
            continue;
        for (size_t i = 0; i < polls.size(); ++i) {
            if (!polls[i].revents)
                continue;
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(polls[i].fd, SOL_SOCKET, SO_ERROR, &error, &size);
            Attempt &a = *waiting[i];
            a.done = true;
            if (error != 0)
                a.why = connectFailure(a.where, error);
        }
    }
    QHash<QString, QString> out;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (Attempt &a : attempts) {
        if (!a.done)
            a.why = noAnswerFrom(a.where, msecs);
        if (a.fd >= 0)
            ::close(a.fd);
        out.insert(a.url, a.why);
        probed().insert(a.url, Probed{now, a.why});
    }
    return out;
}

#else

QHash<QString, QString> NetworkLine::probe(const QStringList &urls, int msecs)
{
    QHash<QString, QString> out;
    for (const QString &url : urls) {
        NetworkLine line(url);
        QString why;
        if (!line.m_valid)
            why = notANetworkPort(url);
        else if (line.connectNow(&why))
            line.m_socket.abort();
        out.insert(url, why);
        probed().insert(url, Probed{QDateTime::currentMSecsSinceEpoch(), why});
    }
    Q_UNUSED(msecs);
    return out;
}

#endif
