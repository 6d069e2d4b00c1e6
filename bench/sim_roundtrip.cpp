// Round trip of a position query through the drive simulator: a plain QSerialPort client sends
// "/1?0" CR to the simulator, which serves the pseudo-terminal on its own thread, and waits for
// the whole reply.
//
//   bench_sim_roundtrip [rounds]      (default 2000)
//
// Prints the median, the 10th and the 90th percentile in microseconds.
#include "sim/ptyserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSerialPort>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;

    sim::PtyServer server;
    server.bus().drive('1')->setPosition(1000);
    if (!server.startThread()) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QSerialPort port;
    port.setPortName(server.slavePath());
    port.setBaudRate(38400);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(server.slavePath()));
        return 1;
    }
    port.clear();

    const QByteArray command("/1?0\r");
    const QByteArray reply("\xff/0`1000\x03\r\n");
    std::vector<double> us;
    us.reserve(size_t(rounds));
    QElapsedTimer clock;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        clock.start();
        port.write(command);
        port.waitForBytesWritten(1000);
        QByteArray got;
        QDeadlineTimer deadline(2000);
        while (got.size() < reply.size() && !deadline.hasExpired()) {
            if (port.bytesAvailable() == 0)
                port.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            got += port.readAll();
        }
        const double t = double(clock.nsecsElapsed()) / 1000.0;
        if (got != reply) {
            ++failures;
            port.clear();
            continue;
        }
        us.push_back(t);
    }
    if (us.empty()) {
        std::fprintf(stderr, "no round trip completed\n");
        return 1;
    }
    std::sort(us.begin(), us.end());
    auto at = [&us](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    std::printf("sim round trip, %zu rounds: median %.1f us (p10 %.1f, p90 %.1f)%s\n", us.size(), at(0.5),
                at(0.1), at(0.9), failures ? " with failures" : "");
    if (failures)
        std::printf("%d rounds without the full reply\n", failures);
    server.stop();
    return failures ? 1 : 0;
}
