#pragma once
// A serial port served over the network, by ser2net or any server of its kind:
//   rfc2217://HOST:PORT   telnet with the COM-PORT-OPTION: the rate and frame format the program
//                         sets are set on the remote port (and confirmed by the server); 0xFF
//                         travels doubled; buffers are purged on the server where a local port
//                         clears its own.
//   socket://HOST:PORT    raw TCP: bytes as they are, no line control.
// Every failure has words and an end: "connection refused by HOST:PORT", "no answer from
// HOST:PORT within 3 s", "HOST: name not known". A dropped connection is a lost line.

#include "lines/line.h"
#include "lines/telnet.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTcpSocket>

#include <functional>
#include <optional>

class NetworkLine : public Line {
    Q_OBJECT
public:
    // How long a connection and each confirmation may take before the open gives up.
    static constexpr int kAnswerMs = 3000;
    // How long a probe waits for every port it asks at once, and a close for what is still on
    // its way out.
    static constexpr int kProbeMs = 1000;
    static constexpr int kCloseMs = 1000;

    explicit NetworkLine(const QString &url, QObject *parent = nullptr);
    ~NetworkLine() override { close(); }

    bool open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    bool apply(const LineSettings &settings) override;
    bool write(const QByteArray &bytes) override;
    // Bytes not yet out of the far port: those still in the socket, and those the far port is
    // reckoned to be sending still at the line's rate (the server does not say when it is done;
    // a local port's count of unsent bytes includes the driver's queue in the same way).
    qint64 unsent() const override;
    bool drain(int msecs) override;

    // Host and port of a network path; false when it is not one or cannot be read.
    static bool parse(const QString &url, QString *host, quint16 *port, bool *telnet);
    // Whether each network path answers (empty text) or why not, trying them all at once and
    // waiting at most `msecs` for all; kept for a moment, so a scan's probes and its tooltips
    // that follow ask the network once.
    static QHash<QString, QString> probe(const QStringList &urls, int msecs);
    // What probe() last found for a path (nullopt when it has not been asked lately).
    static std::optional<QString> recentProbe(const QString &url);
    // Why a connection to the path fails now (waiting at most kProbeMs); empty when it
    // succeeds.
    static QString reason(const QString &url);

protected:
    void resume() override;

private:
    enum class Attempt { Done, Again, Failed };
    // One connection: connect, agree on COM-PORT-OPTION, purge, set the line; Again when the
    // server closed the connection at once and there is time left.
    Attempt attempt(const LineSettings &settings, const QElapsedTimer &clock);
    bool connectNow(QString *why);
    // Sets the far port's rate and frame, waiting at most msecs for the server to confirm.
    bool setLine(const LineSettings &settings, int msecs);
    bool waitFor(const std::function<bool()> &done, int msecs);
    void take();
    void onDisconnected();
    QString where() const { return m_host + QLatin1Char(':') + QString::number(m_port); }
    qint64 reckonedOnWire() const;

    QString m_url;
    QString m_host;
    quint16 m_port = 0;
    bool m_telnet = false;
    bool m_valid = false;
    bool m_open = false;
    bool m_settling = false; // inside open()
    QTcpSocket m_socket;
    telnet::Client m_client;
    QByteArray m_before; // serial data that came before the open was complete
    // The far port's sending, reckoned from the bytes written and the line's rate: it is busy
    // until m_wireBusyUntilUs (monotonic), at m_usPerByte.
    double m_usPerByte = 10e6 / 9600;
    qint64 m_wireBusyUntilUs = 0;
};
