#include "monitor/trafficstore.h"

#include "link/commport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>

namespace monitor {

struct TrafficStore::Tap {
    FrameAssembler assembler;
    int number = -1;
    QString name;
    quint16 port = 0;
    QMetaObject::Connection traffic;
    QMetaObject::Connection destroyed;
};

TrafficStore::TrafficStore(QObject *parent) : QObject(parent)
{
    m_wallOffsetMs = QDateTime::currentMSecsSinceEpoch() - monotonicMicroseconds() / 1000;
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &TrafficStore::onIdle);
    m_logFlush.setInterval(500);
    connect(&m_logFlush, &QTimer::timeout, this, [this] { m_log.flush(); });
}

TrafficStore::~TrafficStore()
{
    for (auto &[port, tap] : m_taps) {
        disconnect(tap->traffic);
        disconnect(tap->destroyed);
    }
    stopLog();
}

void TrafficStore::attach(CommPort *port)
{
    if (!port || isAttached(port))
        return;
    auto tap = std::make_unique<Tap>();
    Tap *t = tap.get();
    t->traffic = connect(port, &CommPort::traffic, this,
                         [this, port, t](qint64 us, CommPort::Direction d, const QByteArray &bytes) {
                             onTraffic(port, *t, us, d == CommPort::Direction::Sent, bytes);
                         });
    t->destroyed = connect(port, &QObject::destroyed, this, [this, port] { detach(port); });
    m_taps.emplace(port, std::move(tap));
}

void TrafficStore::detach(CommPort *port)
{
    const auto it = m_taps.find(port);
    if (it == m_taps.end())
        return;
    std::unique_ptr<Tap> tap = std::move(it->second);
    m_taps.erase(it);
    disconnect(tap->traffic);
    disconnect(tap->destroyed);
    tap->assembler.flush(m_completed);
    append(tap->port);
}

void TrafficStore::onTraffic(CommPort *port, Tap &tap, qint64 us, bool sent, const QByteArray &bytes)
{
    // The device behind a port changes only while it is closed, and an opened port writes
    // before it reads: looking again at every write keeps the path right and the reads cheap.
    if (tap.number < 0 || (sent && (tap.number != port->portNumber() || tap.name != port->openPath()))) {
        tap.number = port->portNumber();
        tap.name = port->openPath();
        tap.port = portIndex(tap.number, port->devicePath());
    }
    tap.assembler.feed(us, sent ? Dir::Out : Dir::In, bytes, m_completed);
    append(tap.port);
    scheduleIdle(tap.assembler.deadline());
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
        if (m_log.isOpen() && m_log.write(csvRecord(row)) < 0) {
            const QString path = m_log.fileName();
            stopLog();
            emit logFailed(path);
        }
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

QString TrafficStore::timeText(const Row &row) const
{
    return QDateTime::fromMSecsSinceEpoch(m_wallOffsetMs + row.us / 1000).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QString TrafficStore::portText(const Row &row) const
{
    return row.port < m_ports.size() ? QStringLiteral("COM%1").arg(m_ports[row.port].number) : QString();
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

QByteArray TrafficStore::csvHeader() { return "time,delta_ms,port,dir,hex,text,frame\r\n"; }

QByteArray TrafficStore::csvRecord(const Row &row) const
{
    QByteArray out;
    out.reserve(row.bytes.size() * 5 + 96);
    const QString cells[] = {timeText(row), deltaText(row.deltaUs), portText(row), dirText(row.dir),
                             hexText(row.bytes), plainText(row.bytes), frameText(row)};
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
    m_log.flush();
    m_logFlush.start();
    emit loggingChanged(true);
    return true;
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
