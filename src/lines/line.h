#pragma once
// What a port is underneath: a serial device on this computer, or a serial port that a server
// (ser2net) offers over the network. The port component speaks to a Line and is the same above
// either: the link, the console, the firmware transfer and the traffic tap never know which.
//
// Received bytes wait in the line, at most kMaxWaiting of them: when that much waits unread the
// line stops taking more, and the device's or the connection's own flow holds the rest back, so
// a babbling device at any rate cannot grow the program's memory. Bytes are stamped when they
// reach the program (arrived()), whenever they are read.

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <memory>
#include <optional>

// Rate, parity letter, data bits, stop bits.
struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};
// "9600" (no parity, 8 data bits, 1 stop bit) or "9600,N,8,1"; nullopt when not understood.
std::optional<LineSettings> parseLineSettings(const QString &text);

// Microseconds on a monotonic clock, the time base of the traffic tap.
qint64 monotonicMicroseconds();

class Line : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxWaiting = 64 * 1024;

    // The line for a port's path: "rfc2217://HOST:PORT" or "socket://HOST:PORT" a network line,
    // anything else a serial device.
    static std::unique_ptr<Line> forPath(const QString &path);
    static bool isNetworkPath(const QString &path);

    using QObject::QObject;
    // Opens with these settings; false when it cannot, with why() saying so where it can. The
    // bytes that waited on the line before the open are dropped and handed to discarded().
    virtual bool open(const LineSettings &settings) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // New settings for the open line.
    virtual bool apply(const LineSettings &settings) = 0;
    // Queues the bytes and hands them on at once; false when refused.
    virtual bool write(const QByteArray &bytes) = 0;
    // Bytes written that have not left yet.
    virtual qint64 unsent() const = 0;
    // Waits at most msecs for everything written to leave; true when it has.
    virtual bool drain(int msecs) = 0;
    QString why() const { return m_why; }

    // Takes up to `max` waiting bytes (all of them when max <= 0).
    QByteArray read(qsizetype max);
    qsizetype waiting() const { return m_in.size() - m_head; }

signals:
    // Bytes reached the program from the line (before anybody reads them).
    void arrived(qint64 microseconds, const QByteArray &bytes);
    void sent();
    // Bytes that waited on the line when it opened, dropped by the open.
    void discarded(qint64 microseconds, const QByteArray &bytes);
    // The device or the connection went away; the line is closed.
    void lost();

protected:
    qsizetype room() const { return kMaxWaiting - waiting(); }
    // A subclass hands what it took from its device; stamps it and keeps it for read().
    void deliver(const QByteArray &bytes);
    void dropWaiting();
    // Room was made: take more from the device.
    virtual void resume() {}
    void setWhy(const QString &why) { m_why = why; }

private:
    QByteArray m_in;
    qsizetype m_head = 0; // read() takes from here; the front is dropped now and then
    bool m_resumePending = false;
    QString m_why;
};
