#include "monitor/capture.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace monitor {
namespace {

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

// A block: type, total length, body (padded to 32 bits), total length again.
QByteArray block(quint32 type, const QByteArray &body)
{
    QByteArray out;
    const quint32 length = quint32(12 + body.size());
    out.reserve(int(length));
    put32(out, type);
    put32(out, length);
    out += body;
    put32(out, length);
    return out;
}

constexpr quint32 kSectionHeader = 0x0A0D0D0A;
constexpr quint32 kInterface = 1;
constexpr quint32 kEnhancedPacket = 6;
constexpr quint16 kOptionEnd = 0;
constexpr quint16 kOptionFlags = 2;     // epb_flags
constexpr quint16 kOptionComment = 1;   // opt_comment
constexpr quint32 kInbound = 1, kOutbound = 2;

} // namespace

QString captureFilter(CaptureFormat format)
{
    return format == CaptureFormat::Csv ? QStringLiteral("CSV files (*.csv)")
                                        : QStringLiteral("Wireshark capture (*.pcapng)");
}

CaptureFormat captureFormat(QString &path, const QString &selectedFilter)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pcapng"))
        return CaptureFormat::Pcapng;
    if (suffix == QLatin1String("csv"))
        return CaptureFormat::Csv;
    const CaptureFormat format =
        selectedFilter == captureFilter(CaptureFormat::Pcapng) ? CaptureFormat::Pcapng : CaptureFormat::Csv;
    if (suffix.isEmpty())
        path += format == CaptureFormat::Pcapng ? QStringLiteral(".pcapng") : QStringLiteral(".csv");
    return format;
}

QByteArray pcapngHeader()
{
    QByteArray shb;
    put32(shb, 0x1A2B3C4D); // byte-order magic
    put16(shb, 1);          // version 1.0
    put16(shb, 0);
    put32(shb, 0xFFFFFFFF); // section length not given
    put32(shb, 0xFFFFFFFF);
    QByteArray idb;
    put16(idb, kLinkTypeUser0);
    put16(idb, 0);
    put32(idb, 0); // no snapshot limit; times in microseconds, the default resolution
    return block(kSectionHeader, shb) + block(kInterface, idb);
}

QByteArray pcapngPacket(const TrafficStore &store, const Row &row)
{
    if (row.dir == Dir::Event)
        return QByteArray();
    const auto us = quint64(store.wallMicroseconds(row));
    QByteArray epb;
    epb.reserve(row.bytes.size() + 64);
    put32(epb, 0); // interface 0
    put32(epb, quint32(us >> 32));
    put32(epb, quint32(us));
    put32(epb, quint32(row.bytes.size()));
    put32(epb, quint32(row.bytes.size()));
    epb += row.bytes;
    epb.append((4 - row.bytes.size() % 4) % 4, '\0');
    put16(epb, kOptionFlags);
    put16(epb, 4);
    put32(epb, row.dir == Dir::Out ? kOutbound : kInbound);
    // The port the row passed, for a capture of more than one port.
    const QByteArray port = store.portText(row).toUtf8();
    if (!port.isEmpty()) {
        put16(epb, kOptionComment);
        put16(epb, quint16(port.size()));
        epb += port;
        epb.append((4 - port.size() % 4) % 4, '\0');
    }
    put16(epb, kOptionEnd);
    put16(epb, 0);
    return block(kEnhancedPacket, epb);
}

bool writeCapture(const QString &path, CaptureFormat format, const TrafficStore &store,
                  const std::vector<const Row *> &rows)
{
    QFile file(path);
    const bool csv = format == CaptureFormat::Csv;
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(csv ? TrafficStore::csvHeader() : pcapngHeader()) >= 0;
    for (size_t i = 0; ok && i < rows.size(); ++i)
        ok = file.write(csv ? store.csvRecord(*rows[i]) : pcapngPacket(store, *rows[i])) >= 0;
    ok = ok && file.flush();
    file.close();
    return ok && file.error() == QFileDevice::NoError;
}

} // namespace monitor
