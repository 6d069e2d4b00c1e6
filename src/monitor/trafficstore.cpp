#include "monitor/trafficstore.h"

#include "link/commport.h"
#include "link/drivelink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>

namespace monitor {

struct TrafficStore::Tap {
    FrameAssembler assembler;
    int number = -1;
    QString name;
    quint16 port = 0;
    std::vector<QMetaObject::Connection> connections;
};

TrafficStore::TrafficStore(QObject *parent) : QObject(parent)
{
    m_wallOffsetUs = QDateTime::currentMSecsSinceEpoch() * 1000 - monotonicMicroseconds();
    m_localOffsetMs = qint64(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &TrafficStore::onIdle);
    m_logFlush.setInterval(500);
    connect(&m_logFlush, &QTimer::timeout, this, [this] {
        if (!m_log.flush())
            failLog();
    });
}

TrafficStore::~TrafficStore()
{
    for (auto &[port, tap] : m_taps)
        for (const auto &c : tap->connections)
            disconnect(c);
    stopLog();
}

void TrafficStore::attach(CommPort *port)
{
    if (!port || isAttached(port))
        return;
    auto tap = std::make_unique<Tap>();
    Tap *t = tap.get();
    auto &c = t->connections;
    c.push_back(connect(port, &CommPort::traffic, this,
                        [this, port, t](qint64 us, CommPort::Direction d, const QByteArray &bytes) {
                            onTraffic(port, *t, us, d == CommPort::Direction::Sent, bytes);
                        }));
    c.push_back(connect(port, &CommPort::opened, this, [this, port, t](qint64 us) {
        QString frame = port->lineSettings();
        if (const auto line = parseLineSettings(frame)) {
            static const char parities[] = "N?EOSM"; // by QSerialPort::Parity
            const int p = int(line->parity);
            frame = QStringLiteral("%1 baud, %2%3%4")
                        .arg(line->baud)
                        .arg(int(line->dataBits))
                        .arg(QLatin1Char(p >= 0 && p < 6 ? parities[p] : '?'))
                        .arg(line->stopBits == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
                                                                           : QString::number(int(line->stopBits)));
        }
        onEvent(port, *t, eventRow(us, Kind::Opened, (port->openPath() + QStringLiteral(", ") + frame).toUtf8()), true);
    }));
    c.push_back(connect(port, &CommPort::closed, this,
                        [this, port, t](qint64 us) { onEvent(port, *t, eventRow(us, Kind::Closed)); }));
    c.push_back(connect(port, &CommPort::deviceLost, this, [this, port, t](const QString &path) {
        onEvent(port, *t, eventRow(monotonicMicroseconds(), Kind::Lost, path.toUtf8()));
    }));
    c.push_back(connect(port, &CommPort::discardedAtOpen, this, [this, port, t](qint64 us, const QByteArray &bytes) {
        onEvent(port, *t, eventRow(us, Kind::Discarded, bytes));
    }));
    // The link that owns the port reports its time-outs (the port is created inside it, so the
    // link is already its parent here).
    if (auto *link = qobject_cast<DriveLink *>(port->parent()))
        c.push_back(connect(link, &DriveLink::replyMissing, this, [this, port, t](const QString &command, qint64 ms) {
            t->assembler.flush(m_completed);
            t->assembler.timedOut();
            append(t->port);
            onEvent(port, *t, eventRow(monotonicMicroseconds(), Kind::TimedOut,
                                       QStringLiteral("no reply to %1 after %2 ms").arg(command).arg(ms).toUtf8()));
        }));
    c.push_back(connect(port, &QObject::destroyed, this, [this, port] { detach(port); }));
    m_taps.emplace(port, std::move(tap));
}

void TrafficStore::detach(CommPort *port)
{
    const auto it = m_taps.find(port);
    if (it == m_taps.end())
        return;
    std::unique_ptr<Tap> tap = std::move(it->second);
    m_taps.erase(it);
    for (const auto &c : tap->connections)
        disconnect(c);
    tap->assembler.flush(m_completed);
    append(tap->port);
}

void TrafficStore::onTraffic(CommPort *port, Tap &tap, qint64 us, bool sent, const QByteArray &bytes)
{
    // The device behind a port changes only while it is closed, and an opened port writes
    // before it reads: looking again at every write keeps the path right and the reads cheap.
    lookAtPort(port, tap, sent);
    tap.assembler.feed(us, sent ? Dir::Out : Dir::In, bytes, m_completed);
    append(tap.port);
    scheduleIdle(tap.assembler.deadline());
}

void TrafficStore::lookAtPort(CommPort *port, Tap &tap, bool force)
{
    if (tap.number < 0 || (force && (tap.number != port->portNumber() || tap.name != port->openPath()))) {
        tap.number = port->portNumber();
        tap.name = port->openPath();
        tap.port = portIndex(tap.number, port->devicePath());
    }
}

void TrafficStore::onEvent(CommPort *port, Tap &tap, Row row, bool opening)
{
    tap.assembler.flush(m_completed);
    append(tap.port);
    lookAtPort(port, tap, opening);
    m_completed.push_back(std::move(row));
    append(tap.port);
}

void TrafficStore::scheduleIdle(qint64 deadlineUs)
{
    if (deadlineUs < 0 || m_idle.isActive())
        return;
    const qint64 ms = (deadlineUs - monotonicMicroseconds() + 999) / 1000;
    m_idle.start(int(std::max<qint64>(1, ms)));
}

void TrafficStore::onIdle()
{
    const qint64 now = monotonicMicroseconds();
    qint64 next = -1;
    for (auto &[port, tap] : m_taps) {
        tap->assembler.idle(now, m_completed);
        append(tap->port);
        const qint64 d = tap->assembler.deadline();
        if (d >= 0 && (next < 0 || d < next))
            next = d;
    }
    scheduleIdle(next);
}

void TrafficStore::append(quint16 port)
{
    if (m_completed.empty())
        return;
    for (Row &row : m_completed) {
        row.port = port;
        row.deltaUs = m_lastUs < 0 ? 0 : row.us - m_lastUs;
        m_lastUs = row.us;
        if (m_log.isOpen() && m_log.write(csvRecord(row)) < 0)
            failLog();
        m_rows.push_back(std::move(row));
        if (m_rows.size() > size_t(kCapacity)) {
            m_rows.pop_front();
            ++m_first;
            ++m_dropped;
        }
    }
    m_completed.clear();
    emit rowsAdded();
}

void TrafficStore::clear()
{
    m_first = endSeq();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_dropped = 0;
    emit cleared();
}

quint16 TrafficStore::portIndex(int number, const QString &path)
{
    for (size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i].number == number && m_ports[i].path == path)
            return quint16(i);
    m_ports.push_back({number, path});
    return quint16(m_ports.size() - 1);
}

void TrafficStore::writeTime(const Row &row, char *out) const
{
    // Made by hand, with the offset from UTC the store began with: the filter asks for this
    // cell of every row.
    constexpr qint64 kDayMs = 86'400'000;
    const qint64 ms = ((std::div(wallMicroseconds(row), qint64(1000)).quot + m_localOffsetMs) % kDayMs + kDayMs) % kDayMs;
    const int v[] = {int(ms / 3'600'000), int(ms / 60'000 % 60), int(ms / 1000 % 60), int(ms % 1000)};
    out[0] = char('0' + v[0] / 10), out[1] = char('0' + v[0] % 10), out[2] = ':';
    out[3] = char('0' + v[1] / 10), out[4] = char('0' + v[1] % 10), out[5] = ':';
    out[6] = char('0' + v[2] / 10), out[7] = char('0' + v[2] % 10), out[8] = '.';
    out[9] = char('0' + v[3] / 100), out[10] = char('0' + v[3] / 10 % 10), out[11] = char('0' + v[3] % 10);
}

QString TrafficStore::timeText(const Row &row) const
{
    char text[12];
    writeTime(row, text);
    return QString::fromLatin1(text, 12);
}

QString TrafficStore::isoTimeText(const Row &row) const
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(wallMicroseconds(row) / 1000);
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString TrafficStore::portText(const Row &row) const { return portText(row.port); }

QString TrafficStore::portText(quint16 port) const
{
    return port < m_ports.size() ? QStringLiteral("COM%1").arg(m_ports[port].number) : QString();
}

QString TrafficStore::portPath(const Row &row) const
{
    return row.port < m_ports.size() ? m_ports[row.port].path : QString();
}

namespace {

void csvField(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    if (!utf8.contains(',') && !utf8.contains('"') && !utf8.contains('\r') && !utf8.contains('\n')) {
        out += utf8;
        return;
    }
    out += '"';
    for (const char c : utf8) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

} // namespace

QByteArray TrafficStore::csvHeader() { return "time,delta_ms,port,dir,hex,text,frame,reply_ms\r\n"; }

QByteArray TrafficStore::csvRecord(const Row &row) const
{
    QByteArray out;
    out.reserve(row.bytes.size() * 5 + 96);
    const bool bytes = showsBytes(row);
    const QString cells[] = {isoTimeText(row),
                             deltaText(row.deltaUs),
                             portText(row),
                             dirText(row.dir),
                             bytes ? hexText(row.bytes) : QString(),
                             bytes ? plainText(row.bytes) : QString(),
                             frameText(row),
                             replyMsText(row)};
    for (const QString &cell : cells) {
        if (&cell != &cells[0])
            out += ',';
        csvField(out, cell);
    }
    out += "\r\n";
    return out;
}

bool TrafficStore::startLog(const QString &path)
{
    stopLog();
    m_log.setFileName(path);
    if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    if (m_log.size() == 0 && m_log.write(csvHeader()) < 0) {
        m_log.close();
        return false;
    }
    if (!m_log.flush()) {
        m_log.close();
        return false;
    }
    m_logFlush.start();
    emit loggingChanged(true);
    m_completed.push_back(eventRow(monotonicMicroseconds(), Kind::LogStarted, path.toUtf8()));
    append(kNoPort);
    return true;
}

void TrafficStore::failLog()
{
    const QString path = m_log.fileName();
    stopLog();
    // Said from the event loop: the message it brings runs an event loop of its own, which must
    // not run inside the append that found the failure.
    QMetaObject::invokeMethod(this, [this, path] { emit logFailed(path); }, Qt::QueuedConnection);
}

void TrafficStore::stopLog()
{
    m_logFlush.stop();
    if (!m_log.isOpen())
        return;
    m_log.close();
    emit loggingChanged(false);
}

TrafficStore &store()
{
    static QPointer<TrafficStore> instance;
    if (!instance)
        instance = new TrafficStore(QCoreApplication::instance());
    return *instance;
}

} // namespace monitor
