#include "monitor/trafficmodel.h"

namespace monitor {

TrafficModel::TrafficModel(TrafficStore &store, QObject *parent) : QAbstractTableModel(parent), m_store(store)
{
    m_first = m_store.firstSeq();
    m_end = m_store.endSeq();
    m_timer.setSingleShot(true);
    m_timer.setInterval(kSyncMs);
    connect(&m_timer, &QTimer::timeout, this, &TrafficModel::sync);
    connect(&m_store, &TrafficStore::rowsAdded, this, [this] {
        if (!m_timer.isActive())
            m_timer.start();
    });
    connect(&m_store, &TrafficStore::cleared, this, &TrafficModel::reset);
}

int TrafficModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_end - m_first);
}

int TrafficModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QString TrafficModel::cell(int row, int column) const
{
    const Row &r = rowAt(row);
    switch (column) {
    case Time: return m_store.timeText(r);
    case Delta: return deltaText(r.deltaUs);
    case Port: return m_store.portText(r);
    case Direction: return dirText(r.dir);
    case Hex: return hexText(r.bytes);
    case Text: return plainText(r.bytes);
    case Frame: return frameText(r);
    default: return QString();
    }
}

QVariant TrafficModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return QVariant();
    if (role == Qt::DisplayRole)
        return cell(index.row(), index.column());
    if (role == Qt::ToolTipRole && index.column() == Port)
        return m_store.portPath(rowAt(index.row()));
    if (role == Qt::ToolTipRole && index.column() != Time && index.column() != Delta)
        return cell(index.row(), index.column());
    if (role == Qt::TextAlignmentRole && index.column() == Delta)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return QVariant();
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const titles[ColumnCount] = {"Time", "\u0394 ms", "Port", "Dir", "Hex", "Text", "Frame"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromUtf8(titles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TrafficModel::setPaused(bool paused)
{
    m_paused = paused;
    if (!paused)
        sync();
}

void TrafficModel::sync()
{
    m_timer.stop();
    // Rows the store has dropped leave the table, paused or not.
    if (m_store.firstSeq() > m_first) {
        const qint64 gone = std::min(m_store.firstSeq(), m_end) - m_first;
        if (gone > 0) {
            beginRemoveRows(QModelIndex(), 0, int(gone - 1));
            m_first += gone;
            endRemoveRows();
        }
        m_first = m_store.firstSeq();
        m_end = std::max(m_end, m_first);
    }
    if (!m_paused && m_store.endSeq() > m_end) {
        beginInsertRows(QModelIndex(), rowCount(), int(m_store.endSeq() - m_first - 1));
        m_end = m_store.endSeq();
        endInsertRows();
    }
    emit synced();
}

void TrafficModel::reset()
{
    beginResetModel();
    m_first = m_end = m_store.endSeq();
    endResetModel();
    emit synced();
}

} // namespace monitor
