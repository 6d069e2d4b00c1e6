#pragma once
// The port component: the operations the console and the firmware window ask of a port, over
// a line (lines/): a serial device, or a serial port served over the network
// ("rfc2217://HOST:PORT", "socket://HOST:PORT"), whichever the COM number maps to.
//
// A new port is closed, on port 1, at "9600,N,8,1". Port number and line settings apply at the
// next open. With a receive threshold of 1 the port raises receiveNotification() while an unread
// character waits, and raises it again after the handler returns while unread characters remain
// (a burst of them in one pass, then queued on the UI thread); with a read length of 1 a read
// returns at most one character.
//
// Every byte written or received passes traffic() with a monotonic timestamp: received bytes
// when they arrive, whenever they are read. A device that disappears (or a connection that
// drops) closes the port and is reported once through deviceLost().
//
// A good neighbour: an open of a port another program holds fails without touching it (see
// SerialLine), and a probe only looks (see probe()). What waits to be read is bounded (Line::kMaxWaiting).

#include "lines/line.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class CommPort : public QObject {
    Q_OBJECT
public:
    enum class Direction { Sent, Received };
    Q_ENUM(Direction)

    explicit CommPort(QObject *parent = nullptr);
    ~CommPort() override;

    bool isOpen() const;
    // Opens with the number and line settings set before; false when the device is missing,
    // held by another program, busy, unreachable, or the settings text is not valid.
    bool open();
    void close();
    // Why the last open failed, in the port list's words (empty when the system gives no reason).
    QString openFailure() const { return m_openFailure; }
    // Whether an open of the current port number would succeed, found by looking: the device
    // is there, may be opened by this user, is a terminal, and no other program holds it (a
    // non-blocking open for a moment, which sets nothing); a network port: its server takes a
    // connection. Nothing about the device changes (no line setting, no lock file, no hold).
    // False while the port is open.
    bool probe() const;
    // Asks the servers of every network port among COM<first> to COM<last> at once (within
    // NetworkLine::kProbeMs in all), so that the probes and reasons of a scan that follows take
    // their answers instead of asking one port after another.
    static void askNetworkPorts(int first, int last);
    // Closes every open port of the program (its lock files go with them): the last thing a
    // program does when it is told to end.
    static void closeAll();

    int portNumber() const { return m_portNumber; }
    // False, and the number kept, while the port is open: an open port keeps its device.
    bool setPortNumber(int number);
    // The device the current port number maps to.
    QString devicePath() const;
    // The device the port was last opened on (empty before the first open).
    QString openPath() const { return m_openPath; }

    QString lineSettings() const { return m_lineSettings; }
    // "9600" or "9600,N,8,1"; false (and the text kept) when it cannot be understood.
    bool setLineSettings(const QString &text);

    int receiveThreshold() const { return m_threshold; }
    void setReceiveThreshold(int count);
    int readLength() const { return m_readLength; }
    void setReadLength(int count) { m_readLength = count; }
    int inputMode() const { return m_inputMode; }
    void setInputMode(int mode) { m_inputMode = mode; }

    // Writes the bytes. False when the port is not open or the write is refused.
    bool write(const QByteArray &bytes);
    // Writes the text, one byte per character (Latin-1).
    bool write(const QString &text) { return write(text.toLatin1()); }
    bool write(const char *text) { return write(QByteArray(text)); }
    // Up to the read length (everything waiting when it is 0); empty when nothing waits;
    // nullopt when the port is not open or cannot be read.
    std::optional<QString> read();
    // Characters waiting to be read.
    int countReceived() const;
    // Characters written that have not yet left (the program's buffer and the driver's queue).
    int countUnsent() const;
    // Waits at most msecs for everything written to leave; true when it has.
    bool drain(int msecs);

    // Called with every port as it is created, before anything is written or read (the traffic
    // monitor attaches its tap there); nullptr for none.
    using CreationHook = void (*)(CommPort *port);
    static void setCreationHook(CreationHook hook);

signals:
    void receiveNotification();
    // Bytes arrived or left the port: wakes code that sleeps until the line has news (the
    // firmware update's waits). Raised whatever the receive threshold.
    void activity();
    void traffic(qint64 microseconds, CommPort::Direction direction, const QByteArray &bytes);
    void deviceLost(const QString &devicePath);
    // The port opened on openPath() with lineSettings(); then, if bytes waited on the line from
    // before, the open dropped them: discardedAtOpen().
    void opened(qint64 microseconds);
    void discardedAtOpen(qint64 microseconds, const QByteArray &bytes);
    // The program closed the open port (a lost device is deviceLost() instead).
    void closed(qint64 microseconds);

private:
    void scheduleNotification();
    void raiseNotification();
    void onLost();

    static constexpr int kNotificationBurst = 64;

    std::unique_ptr<Line> m_line;
    int m_portNumber = 1;
    QString m_lineSettings = QStringLiteral("9600,N,8,1");
    int m_threshold = 0;
    int m_readLength = 0;
    int m_inputMode = 0;
    bool m_notificationPending = false;
    bool m_raising = false; // inside a notification raised from the line's own signal
    QString m_openPath;
    QString m_openFailure;
};
