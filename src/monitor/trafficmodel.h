#pragma once
// The traffic monitor's table: the store's rows as a table model, newest row last. It catches up
// with the store at most every kSyncMs; while paused it shows no new rows (the store keeps
// them, they are counted as held, and they appear on resume) but still lets go of rows the
// store has dropped. A filter shows only the rows with a cell holding a text (case ignored),
// only problem rows, or both; problem rows are tinted with the palette's highlight.

#include "monitor/trafficstore.h"

#include <QAbstractTableModel>
#include <QTimer>
#include <deque>

namespace monitor {

class TrafficModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Delta, Port, Direction, Hex, Text, Frame, ReplyMs, ColumnCount };
    static constexpr int kSyncMs = 100;

    explicit TrafficModel(TrafficStore &store, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QString cell(int row, int column) const;
    const Row &rowAt(int row) const { return m_store.row(m_shown[size_t(row)]); }
    TrafficStore &store() { return m_store; }

    bool isPaused() const { return m_paused; }
    void setPaused(bool paused);
    // Rows the store has that the table holds back while paused.
    qint64 held() const { return m_store.endSeq() - m_end; }
    // Shows only the rows with a cell containing `text` (case ignored; all rows when empty) and,
    // with `problemsOnly`, that are problems.
    void setFilter(const QString &text, bool problemsOnly);
    // Catches up with the store now.
    void sync();

    // The tint of a problem row on a base colour: readable with the palette's text colour.
    static QColor problemColor(const QPalette &palette);

signals:
    void synced();

private:
    void reset();
    bool accepts(const Row &row) const;

    TrafficStore &m_store;
    std::deque<qint64> m_shown; // the store's numbers of the rows shown
    qint64 m_end = 0;           // the store's rows before this have been looked at
    bool m_paused = false;
    QString m_filter;
    bool m_filterHex = false; // the filter text could be part of a hex cell
    bool m_problemsOnly = false;
    QTimer m_timer;
};

} // namespace monitor
