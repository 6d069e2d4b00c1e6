#pragma once
// A real ser2net serving a device on 127.0.0.1, for tests of network ports: one port speaks
// telnet with RFC 2217 (rfc2217Url()), the other plain TCP (socketUrl()). Started and stopped by
// the test; its configuration is written to a temporary folder.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class Ser2net {
public:
    explicit Ser2net(const QString &device);
    ~Ser2net() { stop(); }
    // Whether the program is installed (scripts/setup.sh installs it).
    static bool installed();
    // Starts serving (again on the same ports); false when it does not come up within 5 s.
    bool start();
    // Ends it as a service is ended (SIGTERM), or kills it outright (SIGKILL).
    void stop();
    void kill();
    QString rfc2217Url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_telnetPort); }
    QString socketUrl() const { return QStringLiteral("socket://127.0.0.1:%1").arg(m_rawPort); }
    QString output() const { return m_output; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_device;
    quint16 m_telnetPort = 0;
    quint16 m_rawPort = 0;
    QString m_output;
};

// A port on 127.0.0.1 that nothing listens on.
quint16 unusedPort();
