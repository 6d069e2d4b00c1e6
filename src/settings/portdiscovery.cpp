#include "settings/portdiscovery.h"

#include "app/settingsstore.h"
#include "console/stringfun.h"
#include "link/commport.h"
#include "link/portmap.h"
#include "lines/portreason.h"

#include <QFileInfo>
#include <QListWidget>
#include <QSerialPortInfo>

#include <limits>
#include <memory>
#include <optional>

namespace portdiscovery {

int32_t MakeLong(int lo, int hi)
{
    return int32_t((uint32_t(uint16_t(hi)) << 16) | uint32_t(uint16_t(lo)));
}

int16_t LoWord(int32_t v) { return int16_t(uint16_t(uint32_t(v) & 0xFFFFu)); }

int16_t HiWord(int32_t v) { return int16_t(uint16_t(uint32_t(v) >> 16)); }

bool PortAvailable(CommPort &port, int n)
{
    if (n < kFirstPort || n > kLastPort)
        return false;
    // An open port refuses a new number: the probe answers false and the port keeps its own.
    if (!port.setPortNumber(n))
        return false;
    // Looking is enough to know: a real open would set the line of a port another program
    // may be using, and would clear a stale lock file the tooltip is to name.
    return port.probe();
}

bool PortAvailable(int n) { return PortAvailable(windows::get<StringFun>().MSComm1(), n); }

QString entryText(int n, bool available)
{
    return QStringLiteral("COM") + QString::number(n) + (available ? kAvailable : kNotAvailable);
}

namespace {

// What the system says of its serial devices, asked once per scan and only when an entry's
// details are first wanted: QSerialPortInfo::availablePorts() walks every terminal device of the
// system, which the settings window's creation, at the program's start, does not need.
class KnownDevices {
public:
    const QList<QSerialPortInfo> &list()
    {
        if (!m_list)
            m_list = QSerialPortInfo::availablePorts();
        return *m_list;
    }

private:
    std::optional<QList<QSerialPortInfo>> m_list;
};

QString describe(int n, const QString &path, KnownDevices &known)
{
    QStringList lines;
    lines << QStringLiteral("COM%1: %2").arg(n).arg(path.isEmpty() ? QStringLiteral("(no device)") : path);
    if (path.isEmpty())
        return lines.join('\n');
    // A by-id link names the same device as its target; compare the resolved paths.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const QSerialPortInfo &info : known.list()) {
        const QString location = info.systemLocation();
        if (location != path && (canonical.isEmpty() || QFileInfo(location).canonicalFilePath() != canonical))
            continue;
        if (!info.description().isEmpty())
            lines << QStringLiteral("Description: ") + info.description();
        if (!info.manufacturer().isEmpty())
            lines << QStringLiteral("Manufacturer: ") + info.manufacturer();
        if (!info.serialNumber().isEmpty())
            lines << QStringLiteral("Serial number: ") + info.serialNumber();
        break;
    }
    return lines.join('\n');
}

// One port list entry. Its text is the probe's answer. Its tooltip (the device behind the
// number, what the system knows of it and, for a port that is not available, why) and its
// accessible description (that reason alone, for screen readers) are made the first time either
// is asked for: when the pointer rests on the entry of the shown window or a screen reader
// reads it. The reason is then the device's state at that moment.
class PortEntry final : public QListWidgetItem {
public:
    PortEntry(int n, bool available, bool consoleOpen, std::shared_ptr<KnownDevices> known)
        : QListWidgetItem(entryText(n, available)), m_n(n), m_consoleOpen(consoleOpen),
          m_known(std::move(known))
    {
    }

    QVariant data(int role) const override
    {
        if (role != Qt::ToolTipRole && role != Qt::AccessibleDescriptionRole)
            return QListWidgetItem::data(role);
        if (m_known) {
            const QString path = portmap::devicePath(m_n);
            // The port object itself being open is why every probe answered false; otherwise
            // the device says why, where the system tells (and names a stale lock file,
            // available or not).
            m_reason = m_consoleOpen ? QStringLiteral("Not probed: the console's port is open.")
                                     : portreason::reason(path);
            m_tip = describe(m_n, path, *m_known);
            if (!m_reason.isEmpty())
                m_tip += QLatin1Char('\n') + m_reason;
            m_known.reset();
        }
        return role == Qt::ToolTipRole ? m_tip : m_reason;
    }

private:
    int m_n;
    bool m_consoleOpen;
    mutable std::shared_ptr<KnownDevices> m_known; // until the details are made
    mutable QString m_tip;
    mutable QString m_reason;
};

} // namespace

void ScanPorts(CommPort &port, QListWidget *list)
{
    const store::Transaction stored; // the port overrides read once for the whole scan
    // Network ports are asked all at once, so the scan waits at most a second for them all.
    if (!port.isOpen())
        CommPort::askNetworkPorts(kFirstPort, kLastPort);
    const auto known = std::make_shared<KnownDevices>();
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const bool available = PortAvailable(port, n);
        list->addItem(new PortEntry(n, available, !available && port.isOpen(), known));
    }
}

void ScanPorts(QListWidget *list) { ScanPorts(windows::get<StringFun>().MSComm1(), list); }

int nearestEntry(const QListWidget *list, QPoint p)
{
    if (!list || list->count() == 0)
        return -1;
    const QModelIndex hit = list->indexAt(p);
    if (hit.isValid())
        return hit.row();
    // Not on an entry (below the last one, beside or above the entries): the entry whose
    // rectangle is nearest to the point, the later one on a tie.
    int best = -1;
    long long bestDistance = std::numeric_limits<long long>::max();
    for (int i = 0; i < list->count(); ++i) {
        const QRect r = list->visualItemRect(list->item(i));
        const long long dx = p.x() < r.left() ? r.left() - p.x() : (p.x() > r.right() ? p.x() - r.right() : 0);
        const long long dy = p.y() < r.top() ? r.top() - p.y() : (p.y() > r.bottom() ? p.y() - r.bottom() : 0);
        const long long d = dx * dx + dy * dy;
        if (d <= bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

int32_t itemFromPoint(const QListWidget *list, int32_t point)
{
    const QPoint p(LoWord(point), HiWord(point));
    const int index = nearestEntry(list, p);
    if (index < 0)
        return -1;
    const bool outside = !list->viewport()->rect().contains(p);
    return MakeLong(index, outside ? 1 : 0);
}

} // namespace portdiscovery
