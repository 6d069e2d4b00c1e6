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

    explicit NetworkLine(const QString &url, QObject *parent = nullptr);
    ~NetworkLine() override { close(); }

    bool open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    bool apply(const LineSettings &settings) override;
    bool write(const QByteArray &bytes) override;
    qint64 unsent() const override { return m_open ? m_socket.bytesToWrite() : 0; }
    bool drain(int msecs) override;

    // Host and port of a network path; false when it is not one or cannot be read.
    static bool parse(const QString &url, QString *host, quint16 *port, bool *telnet);
    // Whether each network path answers (empty text) or why not, trying them all at once and
    // waiting at most `msecs` for all; kept for a moment, so a scan's probes and its tooltips
    // that follow ask the network once.
    static QHash<QString, QString> probe(const QStringList &urls, int msecs);
    // What probe() last found for a path (nullopt when it has not been asked lately).
    static std::optional<QString> recentProbe(const QString &url);
    // Why a connection to the path fails now (a connection of up to kAnswerMs); empty when it
    // succeeds.
    static QString reason(const QString &url);

protected:
    void resume() override;

private:
    bool connectNow(QString *why);
    bool waitFor(const std::function<bool()> &done, int msecs);
    void take();
    void onDisconnected();
    QString where() const { return m_host + QLatin1Char(':') + QString::number(m_port); }

    QString m_url;
    QString m_host;
    quint16 m_port = 0;
    bool m_telnet = false;
    bool m_valid = false;
    bool m_open = false;
    QTcpSocket m_socket;
    telnet::Client m_client;
    QByteArray m_before; // serial data that came before the open was complete
};
