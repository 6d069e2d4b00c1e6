#pragma once
// The traffic monitor's table: the store's rows as a table model, newest row last. It catches up
// with the store at most every kSyncMs; while paused it shows no new rows (the store keeps
// them, they are counted as held, and they appear on resume) but still lets go of rows the
// store has dropped. A filter shows only the rows with a cell holding a text (case ignored),
// only problem rows, or both; problem rows are tinted with the palette's highlight.
//
// Re-filtering every row must stay quick at the store's bound, so the filter never makes a
// row's cells: it keeps, per row, the frame text in a compact folded form and whether the row
// is a problem (both made once, as the row reaches the table), and it compares a filter text
// of Latin-1 characters against the other cells written into a buffer, the hex cell against
// the raw bytes. Any other filter text is compared against the cells themselves.

#include "monitor/trafficstore.h"

#include <QAbstractTableModel>
#include <QTimer>
#include <array>
#include <deque>
#include <memory>
#include <string>

namespace monitor {

class TrafficModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Delta, Port, Direction, Hex, Text, Frame, ReplyMs, ColumnCount };
    // The most characters the table shows of a Hex or Text cell (then an ellipsis).
    static constexpr int kShownChars = 192;
    static constexpr int kSyncMs = 100;

    explicit TrafficModel(TrafficStore &store, QObject *parent = nullptr);
    ~TrafficModel() override;

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
    class Needle;
    // What the filter keeps of a row.
    struct Search {
        QByteArray frame;      // the frame text, ASCII letters in lower case (UTF-8)
        bool problem = false;
        bool plain = true;     // the frame text is ASCII
        bool plainBytes = false; // the text cell is the bytes themselves
    };

    void reset();
    // Makes the Search of every row the store holds, forgets those of rows it has dropped.
    void catchUp();
    bool accepts(qint64 seq) const;
    bool acceptsExactly(const Row &row) const;

    TrafficStore &m_store;
    std::deque<qint64> m_shown; // the store's numbers of the rows shown
    qint64 m_end = 0;           // the store's rows before this have been looked at
    bool m_paused = false;
    QString m_filter;
    std::unique_ptr<Needle> m_needle; // the filter text when it is Latin-1
    bool m_problemsOnly = false;
    std::deque<Search> m_search; // of the store's rows from m_searchFirst on
    qint64 m_searchFirst = 0;
    std::array<QByteArray, 4> m_recent; // frame texts lately made, to share
    size_t m_nextRecent = 0;
    mutable std::string m_buffer;          // a cell being compared
    mutable std::vector<std::string> m_ports; // the port cells, folded, by the store's index
    QTimer m_timer;
};

} // namespace monitor
