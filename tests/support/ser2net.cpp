#include "support/ser2net.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // free again once the server goes
}

Ser2net::Ser2net(const QString &device) : m_device(device)
{
    m_telnetPort = unusedPort();
    do
        m_rawPort = unusedPort();
    while (m_rawPort == m_telnetPort);
}

bool Ser2net::installed() { return !QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty(); }

bool Ser2net::start()
{
    stop();
    const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QStringLiteral("%YAML 1.1\n---\n"
                           "connection: &rfc2217\n"
                           "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                           "  connector: serialdev,%3,9600n81,local\n"
                           "connection: &raw\n"
                           "  accepter: tcp,127.0.0.1,%2\n"
                           "  connector: serialdev,%3,9600n81,local\n")
                .arg(m_telnetPort)
                .arg(m_rawPort)
                .arg(m_device)
                .toUtf8());
    f.close();
    // -d: in the foreground, its log on standard output; -u: no lock files of its own.
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral("ser2net"), {QStringLiteral("-d"), QStringLiteral("-u"), QStringLiteral("-c"), config});
    if (!m_process.waitForStarted(5000))
        return false;
    // Serving once the plain port takes a connection (the telnet one would open the device).
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000 && m_process.state() == QProcess::Running) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_rawPort);
        if (s.waitForConnected(200)) {
            s.abort();
            QThread::msleep(50); // ser2net closes the device it opened for that connection
            return true;
        }
        QThread::msleep(20);
    }
    m_output = QString::fromLocal8Bit(m_process.readAll());
    return false;
}

void Ser2net::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000))
        kill();
    m_output += QString::fromLocal8Bit(m_process.readAll());
}

void Ser2net::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(3000);
}
