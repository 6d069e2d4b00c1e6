#include "monitor/trafficmodel.h"

#include <QGuiApplication>
#include <QPalette>

namespace monitor {

TrafficModel::TrafficModel(TrafficStore &store, QObject *parent) : QAbstractTableModel(parent), m_store(store)
{
    m_end = m_store.firstSeq();
    m_timer.setSingleShot(true);
    m_timer.setInterval(kSyncMs);
    connect(&m_timer, &QTimer::timeout, this, &TrafficModel::sync);
    connect(&m_store, &TrafficStore::rowsAdded, this, [this] {
        if (!m_timer.isActive())
            m_timer.start();
    });
    connect(&m_store, &TrafficStore::cleared, this, &TrafficModel::reset);
    sync();
}

int TrafficModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_shown.size()); }

int TrafficModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QString TrafficModel::cell(int row, int column) const
{
    const Row &r = rowAt(row);
    switch (column) {
    case Time: return m_store.timeText(r);
    case Delta: return deltaText(r.deltaUs);
    case Port: return m_store.portText(r);
    case Direction: return dirText(r.dir);
    case Hex: return showsBytes(r) ? hexText(r.bytes) : QString();
    case Text: return showsBytes(r) ? plainText(r.bytes) : QString();
    case Frame: return frameText(r);
    case ReplyMs: return replyMsText(r);
    default: return QString();
    }
}

QColor TrafficModel::problemColor(const QPalette &palette)
{
    // A third of the way from the base colour to the highlight: it stands out, and the text
    // colour that reads on the base still reads on it, in a light theme and a dark one.
    const QColor base = palette.color(QPalette::Base), mark = palette.color(QPalette::Highlight);
    auto mix = [](int a, int b) { return (a * 2 + b) / 3; };
    return QColor(mix(base.red(), mark.red()), mix(base.green(), mark.green()), mix(base.blue(), mark.blue()));
}

QVariant TrafficModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return QVariant();
    const int c = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return cell(index.row(), c);
    case Qt::ToolTipRole:
        if (c == Port)
            return m_store.portPath(rowAt(index.row()));
        if (c != Time && c != Delta && c != ReplyMs)
            return cell(index.row(), c);
        break;
    case Qt::TextAlignmentRole:
        if (c == Delta || c == ReplyMs)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::BackgroundRole:
        if (isProblem(rowAt(index.row())))
            return problemColor(QGuiApplication::palette());
        break;
    default:
        break;
    }
    return QVariant();
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const titles[ColumnCount] = {"Time", "\u0394 ms", "Port", "Dir", "Hex", "Text", "Frame", "Reply ms"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromUtf8(titles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TrafficModel::setPaused(bool paused)
{
    m_paused = paused;
    if (!paused)
        sync();
    else
        emit synced();
}

bool TrafficModel::accepts(const Row &r) const
{
    if (m_problemsOnly && !isProblem(r))
        return false;
    if (m_filter.isEmpty())
        return true;
    auto has = [this](const QString &cell) { return cell.contains(m_filter, Qt::CaseInsensitive); };
    if (showsBytes(r) && ((m_filterHex && has(hexText(r.bytes))) || has(plainText(r.bytes))))
        return true;
    return has(frameText(r)) || has(m_store.timeText(r)) || has(dirText(r.dir)) || has(m_store.portText(r))
        || has(deltaText(r.deltaUs)) || has(replyMsText(r));
}

void TrafficModel::setFilter(const QString &text, bool problemsOnly)
{
    if (text == m_filter && problemsOnly == m_problemsOnly)
        return;
    beginResetModel();
    m_filter = text;
    m_problemsOnly = problemsOnly;
    // Hex cells hold only hex digits and spaces: any other character cannot be found in one.
    m_filterHex = std::all_of(text.begin(), text.end(), [](QChar c) { return c == u' ' || isxdigit(c.toLatin1()); });
    m_shown.clear();
    for (qint64 seq = m_store.firstSeq(); seq < m_end; ++seq)
        if (accepts(m_store.row(seq)))
            m_shown.push_back(seq);
    endResetModel();
    emit synced();
}

void TrafficModel::sync()
{
    m_timer.stop();
    // Rows the store has dropped leave the table, paused or not.
    const qint64 first = m_store.firstSeq();
    size_t gone = 0;
    while (gone < m_shown.size() && m_shown[gone] < first)
        ++gone;
    if (gone > 0) {
        beginRemoveRows(QModelIndex(), 0, int(gone - 1));
        m_shown.erase(m_shown.begin(), m_shown.begin() + qsizetype(gone));
        endRemoveRows();
    }
    m_end = std::max(m_end, first);
    if (!m_paused && m_store.endSeq() > m_end) {
        std::vector<qint64> added;
        for (qint64 seq = m_end; seq < m_store.endSeq(); ++seq)
            if (accepts(m_store.row(seq)))
                added.push_back(seq);
        m_end = m_store.endSeq();
        if (!added.empty()) {
            beginInsertRows(QModelIndex(), rowCount(), rowCount() + int(added.size()) - 1);
            m_shown.insert(m_shown.end(), added.begin(), added.end());
            endInsertRows();
        }
    }
    emit synced();
}

void TrafficModel::reset()
{
    beginResetModel();
    m_shown.clear();
    m_end = m_store.endSeq();
    endResetModel();
    emit synced();
}

} // namespace monitor
