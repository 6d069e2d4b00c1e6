// Round trips through ser2net: the port component over RFC 2217 against the floor of a raw
// socket client on ser2net's plain TCP accepter, both to the same simulated drive (instant
// replies, on a pseudo-terminal served by ser2net on 127.0.0.1).
//
//   bench_net_roundtrip [rounds] [nodelay]      (default 1000; nodelay: ser2net's chardelay off)
//
// Rounds alternate between the two in blocks of 100 (each block on a new connection, whose
// opening and first exchange are not timed); every reply is checked. Prints both medians (microseconds) and their ratio. Goal: RFC 2217
// costs at most 1.15 times the floor. Exit status 0 when met, 2 when not, 1 when ser2net cannot
// be started.
#include "link/commport.h"
#include "sim/ptyserver.h"
#include "support/ser2net.h"
#include "support/tempstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QByteArray kCommand = "/1?0\r";

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One exchange through the port: the command written, the event loop run until the reply's LF.
double portOnce(CommPort &port)
{
    QByteArray got;
    QEventLoop loop;
    const auto c = QObject::connect(&port, &CommPort::receiveNotification, &loop, [&] {
        got += port.read().value_or(QString()).toLatin1();
        if (got.endsWith('\n'))
            loop.quit();
    });
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    port.write(kCommand);
    loop.exec();
    const double us = t.nsecsElapsed() / 1e3;
    QObject::disconnect(c);
    return got.startsWith("\xff/0") && got.endsWith('\n') ? us : -1;
}

double socketOnce(QTcpSocket &s)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    s.write(kCommand);
    s.flush();
    while (!got.endsWith('\n') && s.waitForReadyRead(2000))
        got += s.readAll();
    return got.startsWith("\xff/0") && got.endsWith('\n') ? t.nsecsElapsed() / 1e3 : -1;
}

// A raw connection that ser2net has given the device to: it lets a connection go at once
// while the last one to the same device is still closing.
bool connectRaw(QTcpSocket &s, const QUrl &url)
{
    for (int attempt = 0; attempt < 60; ++attempt) {
        s.abort();
        s.connectToHost(url.host(), quint16(url.port()));
        if (s.waitForConnected(3000) && socketOnce(s) >= 0)
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(100, atoi(argv[1])) : 1000;
    TempStore store;
    sim::PtyServer server;
    server.bus().setTimeScale(0);
    if (!server.startThread())
        return 1;
    Ser2net ser2net(server.slavePath(), !(argc > 2 && QByteArray(argv[2]) == "nodelay"));
    if (!ser2net.start()) {
        std::fprintf(stderr, "ser2net did not start: %s\n", qPrintable(ser2net.output()));
        return 1;
    }
    store.mapPort(1, ser2net.rfc2217Url());
    const QUrl raw(ser2net.socketUrl());

    std::vector<double> viaPort, floor;
    int failures = 0;
    for (int block = 0; block < rounds / 100; ++block) {
        CommPort port;
        port.setReceiveThreshold(1);
        port.setLineSettings("38400");
        if (!port.open() || portOnce(port) < 0) // the first exchange is not timed either
            return 1;
        for (int i = 0; i < 100; ++i) {
            const double us = portOnce(port);
            us < 0 ? ++failures : (viaPort.push_back(us), 0);
        }
        port.close();
        QTcpSocket s;
        if (!connectRaw(s, raw))
            return 1;
        for (int i = 0; i < 100; ++i) {
            const double us = socketOnce(s);
            us < 0 ? ++failures : (floor.push_back(us), 0);
        }
        s.disconnectFromHost();
        if (s.state() != QAbstractSocket::UnconnectedState)
            s.waitForDisconnected(1000);
    }
    const double a = median(viaPort), b = median(floor);
    std::printf("%d rounds each: RFC 2217 through the port %.1f us, raw TCP floor %.1f us, ratio %.3f (goal <= 1.15), "
                "%d exchanges failed\n",
                int(viaPort.size()), a, b, b > 0 ? a / b : 0, failures);
    server.stop();
    return failures == 0 && b > 0 && a / b <= 1.15 ? 0 : 2;
}
