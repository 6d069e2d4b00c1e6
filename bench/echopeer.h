#pragma once
// Pieces shared by the round-trip benchmarks: a peer on the pty's master side that answers at
// once, the floor exchange over a bare event-driven QSerialPort, and percentiles.
#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace bench {

// The DT reply both benchmarks' peer sends: "1000", no error.
inline const QByteArray kDtReply("\xff/0`1000\x03\r\n");

// Answers every CR-terminated command on the master side with the same reply, at once.
class EchoPeer {
public:
    EchoPeer(int fd, QByteArray reply) : m_fd(fd), m_reply(std::move(reply)), m_thread([this] { run(); }) {}
    ~EchoPeer()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            char buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\r' && ::write(m_fd, m_reply.constData(), size_t(m_reply.size())) < 0)
                    return;
        }
    }
    int m_fd;
    QByteArray m_reply;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

inline double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

// One bare exchange, event-driven as a windowed program does it: write the command, collect
// readyRead chunks in the event loop until the whole reply is in. Microseconds, or -1 when the
// reply did not come within a second or was not the expected one.
inline double floorExchange(QSerialPort &port, const QByteArray &command, const QByteArray &reply)
{
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    QByteArray got;
    const auto c = QObject::connect(&port, &QSerialPort::readyRead, &loop, [&] {
        got += port.readAll();
        if (got.size() >= reply.size())
            loop.quit();
    });
    QElapsedTimer t;
    t.start();
    port.write(command);
    guard.start(1000);
    loop.exec();
    const double us = double(t.nsecsElapsed()) / 1000.0;
    QObject::disconnect(c);
    return guard.isActive() && got == reply ? us : -1;
}

} // namespace bench
