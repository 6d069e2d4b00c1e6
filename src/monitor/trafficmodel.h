#pragma once
// The traffic monitor's table: the store's rows as a table model, newest row last. It catches up
// with the store at most every kSyncMs; while paused it shows no new rows (the store keeps
// them, and they appear on resume) but still lets go of rows the store has dropped.

#include "monitor/trafficstore.h"

#include <QAbstractTableModel>
#include <QTimer>

namespace monitor {

class TrafficModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Delta, Port, Direction, Hex, Text, Frame, ColumnCount };
    static constexpr int kSyncMs = 100;

    explicit TrafficModel(TrafficStore &store, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QString cell(int row, int column) const;
    const Row &rowAt(int row) const { return m_store.row(m_first + row); }
    TrafficStore &store() { return m_store; }

    bool isPaused() const { return m_paused; }
    void setPaused(bool paused);
    // Catches up with the store now.
    void sync();

signals:
    void synced();

private:
    void reset();

    TrafficStore &m_store;
    qint64 m_first = 0;
    qint64 m_end = 0;
    bool m_paused = false;
    QTimer m_timer;
};

} // namespace monitor
