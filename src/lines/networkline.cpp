#include "lines/networkline.h"

#include <QDateTime>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
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
constexpr qint64 kProbeKeptMs = 5000;

QString seconds(int msecs) { return QString::number((msecs + 999) / 1000); }

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
        *why = QStringLiteral("connection refused by %1").arg(where());
        break;
    case QAbstractSocket::HostNotFoundError:
        *why = QStringLiteral("%1: name not known").arg(m_host);
        break;
    case QAbstractSocket::SocketTimeoutError:
        *why = QStringLiteral("no answer from %1 within %2 s").arg(where(), seconds(kAnswerMs));
        break;
    default:
        *why = QStringLiteral("%1: %2").arg(where(), m_socket.errorString());
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
        setWhy(QStringLiteral("not a network port: %1 (rfc2217://HOST:PORT or socket://HOST:PORT)").arg(m_url));
        return false;
    }
    QString why;
    m_client = telnet::Client();
    m_before.clear();
    if (!connectNow(&why)) {
        setWhy(why);
        return false;
    }
    if (m_telnet) {
        m_socket.write(m_client.start());
        if (!waitFor([this] { return m_client.comPortAgreed() || m_client.comPortRefused(); }, kAnswerMs)
            || m_client.comPortRefused()) {
            setWhy(m_client.comPortRefused()
                       ? QStringLiteral("%1 does not offer RFC 2217 line control (a raw port is socket://%1)").arg(where())
                       : QStringLiteral("no answer from %1 to RFC 2217 within %2 s").arg(where(), seconds(kAnswerMs)));
            m_socket.abort();
            return false;
        }
        // The server's buffers start empty, as a local port's do after its open.
        m_client.expect(telnet::PURGE_DATA);
        m_socket.write(telnet::comPortRequest(telnet::PURGE_DATA, QByteArray(1, char(3))));
    }
    m_open = true;
    if (!apply(settings)) {
        close();
        return false;
    }
    dropWaiting();
    if (!m_before.isEmpty())
        emit discarded(monotonicMicroseconds(), m_before);
    m_before.clear();
    return true;
}

bool NetworkLine::apply(const LineSettings &s)
{
    if (!m_open)
        return false;
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
    if (waitFor([this] { return !m_client.anyPending(); }, kAnswerMs))
        return true;
    setWhy(QStringLiteral("no answer from %1 to the line settings within %2 s").arg(where(), seconds(kAnswerMs)));
    return false;
}

void NetworkLine::close()
{
    m_open = false; // before the socket says it disconnected: a close is no loss
    m_socket.abort();
    dropWaiting();
}

bool NetworkLine::write(const QByteArray &bytes)
{
    if (!m_open)
        return false;
    const QByteArray wire = m_telnet ? telnet::escape(bytes) : bytes;
    if (m_socket.write(wire) != wire.size())
        return false;
    m_socket.flush();
    return true;
}

bool NetworkLine::drain(int msecs)
{
    while (m_open && m_socket.bytesToWrite() > 0)
        if (!m_socket.waitForBytesWritten(msecs))
            return false;
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
    if (m_open)
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
    return probe({url}, kAnswerMs).value(url);
}

#ifdef Q_OS_UNIX

QHash<QString, QString> NetworkLine::probe(const QStringList &urls, int msecs)
{
    // Every connection at once, without the event loop: non-blocking connects polled together.
    struct Attempt {
        QString url, host, where;
        int fd = -1;
        QString why;
        bool done = false;
    };
    std::vector<Attempt> attempts;
    for (const QString &url : urls) {
        Attempt a;
        a.url = url;
        quint16 port = 0;
        bool telnet = false;
        if (!parse(url, &a.host, &port, &telnet)) {
            a.why = QStringLiteral("not a network port: %1 (rfc2217://HOST:PORT or socket://HOST:PORT)").arg(url);
            a.done = true;
            attempts.push_back(a);
            continue;
        }
        a.where = a.host + QLatin1Char(':') + QString::number(port);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const QByteArray host = QUrl::toAce(a.host).isEmpty() ? a.host.toUtf8() : QUrl::toAce(a.host);
        if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0 || !found) {
            a.why = QStringLiteral("%1: name not known").arg(a.host);
            a.done = true;
        } else {
            a.fd = ::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, found->ai_protocol);
            if (a.fd < 0 || (::connect(a.fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS)) {
                a.why = errno == ECONNREFUSED ? QStringLiteral("connection refused by %1").arg(a.where)
                                              : QStringLiteral("%1: %2").arg(a.where, QString::fromLocal8Bit(std::strerror(errno)));
                a.done = true;
            }
        }
        if (found)
            ::freeaddrinfo(found);
        attempts.push_back(a);
    }
    QElapsedTimer clock;
    clock.start();
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
            if (error == ECONNREFUSED)
                a.why = QStringLiteral("connection refused by %1").arg(a.where);
            else if (error != 0)
                a.why = QStringLiteral("%1: %2").arg(a.where, QString::fromLocal8Bit(std::strerror(error)));
        }
    }
    QHash<QString, QString> out;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (Attempt &a : attempts) {
        if (!a.done)
            a.why = QStringLiteral("no answer from %1 within %2 s").arg(a.where, seconds(msecs));
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
            why = QStringLiteral("not a network port: %1").arg(url);
        else if (line.connectNow(&why))
            line.m_socket.abort();
        out.insert(url, why);
        probed().insert(url, Probed{QDateTime::currentMSecsSinceEpoch(), why});
    }
    Q_UNUSED(msecs);
    return out;
}

#endif
