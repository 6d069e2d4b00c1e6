#pragma once
// The traffic monitor's store: the rows of every tapped port, the last kCapacity of them, kept
// from the moment the store exists whether or not anyone looks; and the file log that appends
// each new row as it arrives.
//
// A tapped port's bytes go through its own frame assembler; rows hold raw bytes and times, and
// their texts are made only when someone asks for them. Received bytes carry the time they
// arrived from the line. What happens to a port (opened, closed, lost, bytes dropped at open,
// a reply time-out of the link that owns it) becomes an event row. The store never writes to a
// port and never waits on one.

#include "monitor/frames.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

class CommPort;

namespace monitor {

class TrafficStore : public QObject {
    Q_OBJECT
public:
    static constexpr int kCapacity = 100'000;
    static constexpr quint16 kNoPort = 0xFFFF;

    explicit TrafficStore(QObject *parent = nullptr);
    ~TrafficStore() override;

    // Taps the port: every byte it writes or reads from now on ends up in a row.
    void attach(CommPort *port);
    // Completes what waits of the port's bytes and lets the port go.
    void detach(CommPort *port);
    bool isAttached(CommPort *port) const { return m_taps.count(port) > 0; }

    // Rows are numbered from the program's start: the store holds [firstSeq, endSeq).
    qint64 firstSeq() const { return m_first; }
    qint64 endSeq() const { return m_first + qint64(m_rows.size()); }
    int count() const { return int(m_rows.size()); }
    qint64 dropped() const { return m_dropped; }
    const Row &row(qint64 seq) const { return m_rows[size_t(seq - m_first)]; }
    // Forgets every row and the count of dropped ones.
    void clear();

    // Cells that need the store: local time of the row's first byte ("HH:MM:SS.mmm"),
    // "COM<n>" and the device path behind it (empty for a row of no port: the log's).
    QString timeText(const Row &row) const;
    // timeText's 12 characters written to `out`.
    void writeTime(const Row &row, char *out) const;
    // Local date and time with milliseconds and the offset from UTC, ISO 8601.
    QString isoTimeText(const Row &row) const;
    // Microseconds since 1970 (UTC) of the row's first byte.
    qint64 wallMicroseconds(const Row &row) const { return m_wallOffsetUs + row.us; }
    QString portText(const Row &row) const;
    // The port cell of the rows of the store's port index `port`.
    QString portText(quint16 port) const;
    QString portPath(const Row &row) const;
    // A row as one CSV record (RFC 4180, CRLF), and the header record.
    QByteArray csvRecord(const Row &row) const;
    static QByteArray csvHeader();

    // Appends every new row to the file (created if need be, its header written when it is
    // empty), flushed at least once a second, until stopLog(); each start adds a "log started"
    // event row, so sessions appended to one file stay apart. False when it cannot be opened.
    bool startLog(const QString &path);
    void stopLog();
    bool isLogging() const { return m_log.isOpen(); }
    QString logPath() const { return m_log.fileName(); }

signals:
    void rowsAdded();
    void cleared();
    void loggingChanged(bool on);
    // A write to the log failed; the log has stopped.
    void logFailed(const QString &path);

private:
    struct Tap;
    struct Port {
        int number;
        QString path;
    };

    void onTraffic(CommPort *port, Tap &tap, qint64 us, bool sent, const QByteArray &bytes);
    // An event of the port: what waits of its bytes is completed first.
    void onEvent(CommPort *port, Tap &tap, Row row, bool opening = false);
    void lookAtPort(CommPort *port, Tap &tap, bool force);
    void failLog();
    void onIdle();
    void scheduleIdle(qint64 deadlineUs);
    void append(quint16 port);
    quint16 portIndex(int number, const QString &path);

    std::deque<Row> m_rows;
    qint64 m_first = 0;
    qint64 m_dropped = 0;
    qint64 m_lastUs = -1;
    qint64 m_wallOffsetUs = 0;  // microseconds since 1970 (UTC) minus monotonic microseconds
    qint64 m_localOffsetMs = 0; // local time's offset from UTC when the store began
    std::vector<Port> m_ports;
    std::vector<Row> m_completed;
    std::unordered_map<CommPort *, std::unique_ptr<Tap>> m_taps;
    QTimer m_idle;
    QFile m_log;
    QTimer m_logFlush;
};

// The program's store: created on first use, owned by the application object.
TrafficStore &store();

} // namespace monitor
