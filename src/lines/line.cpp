#include "lines/line.h"

#include "lines/networkline.h"
#include "lines/serialline.h"

#include <QMetaObject>
#include <QStringList>

#include <chrono>

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

bool Line::isNetworkPath(const QString &path)
{
    return path.startsWith(QLatin1String("rfc2217://")) || path.startsWith(QLatin1String("socket://"));
}

std::unique_ptr<Line> Line::forPath(const QString &path)
{
    if (isNetworkPath(path))
        return std::make_unique<NetworkLine>(path);
    return std::make_unique<SerialLine>(path);
}

QByteArray Line::read(qsizetype max)
{
    const qsizetype n = max > 0 ? std::min(max, waiting()) : waiting();
    const QByteArray out = m_in.mid(m_head, n);
    m_head += n;
    if (m_head == m_in.size()) {
        m_in.clear(); // keeps its capacity
        m_head = 0;
    } else if (m_head > kMaxWaiting / 2) {
        m_in.remove(0, m_head);
        m_head = 0;
    }
    // Room was made: more is taken from the device on the next turn of the event loop, never
    // inside the reader (its arrival would notify in the middle of a notification's handler).
    if (n > 0 && !m_resumePending) {
        m_resumePending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_resumePending = false;
                resume();
            },
            Qt::QueuedConnection);
    }
    return out;
}

void Line::deliver(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_in += bytes;
    emit arrived(monotonicMicroseconds(), bytes);
}

void Line::dropWaiting()
{
    m_in.clear();
    m_head = 0;
}
