// Reply round trip through the drive link, against the floor of a bare QSerialPort exchange on
// the same pseudo-terminal, with a peer that answers at once.
//
//   bench_link_roundtrip [rounds]
//
// Prints both medians (microseconds) and their ratio. Goal: the link costs at most 1.5 times
// the floor. Every round also runs the link with the traffic monitor's tap connected to its
// port (the program's normal state) and prints that median against the link without it.
// Goal: the tap costs at most 5%. The exchanges with and without the tap alternate in short
// runs, so load from elsewhere on the machine falls on both alike (the first of each run is not
// counted). Last, the tap's own time per
// exchange (a command and its reply handed to the store, a port with no line), which the round
// trip's noise cannot hide.
#include "echopeer.h"
#include "link/drivelink.h"
#include "support/linkfakes.h"
#include "monitor/trafficstore.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>

namespace {

double linkOnce(DriveLink &link)
{
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto c = QObject::connect(&link, &DriveLink::replyDecoded, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    link.ResetResponse();
    link.subSendToDrive();
    guard.start(1000);
    loop.exec();
    const double us = t.nsecsElapsed() / 1000.0;
    QObject::disconnect(c);
    return guard.isActive() ? us : -1;
}

// Nanoseconds the tap spends on one exchange's traffic: the command written, the reply read.
double tapNsPerExchange()
{
    CommPort port;
    monitor::store().attach(&port);
    const QByteArray command("/1?0\r");
    constexpr int exchanges = 300'000;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < exchanges; ++i) {
        const qint64 us = qint64(i) * 1000;
        emit port.traffic(us, CommPort::Direction::Sent, command);
        emit port.traffic(us + 60, CommPort::Direction::Received, bench::kDtReply);
    }
    const double ns = double(t.nsecsElapsed()) / exchanges;
    monitor::store().detach(&port);
    return ns;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const int perRound = 200;

    TempStore store;
    PtyPair pty;
    store.mapPort(1, pty.slavePath());
    bench::EchoPeer peer(pty.masterFd(), bench::kDtReply);

    RecordedRows rows;
    LiveSettings live;
    DriveLink link(rows, live);
    link.ErrorTexts = framing::errorTexts();
    link.CurrentCommand = "/1?0";

    std::vector<double> floorTimes, linkTimes, tapTimes;
    for (int r = 0; r < rounds; ++r) {
        {
            QSerialPort port(pty.slavePath());
            if (!port.open(QIODevice::ReadWrite)) {
                std::fprintf(stderr, "cannot open %s\n", qPrintable(pty.slavePath()));
                return 1;
            }
            port.setBaudRate(38400);
            for (int i = 0; i < perRound; ++i)
                if (const double us = bench::floorExchange(port, "/1?0\r", bench::kDtReply); us >= 0)
                    floorTimes.push_back(us);
        }
        constexpr int run = 10;
        for (int i = 0; i < perRound; i += run) {
            for (const bool tap : {(i / run) % 2 == 0, (i / run) % 2 != 0}) {
                if (tap)
                    monitor::store().attach(&link.MSComm1());
                // The first exchange after a switch is not counted: a tap looks up its port's
                // device there, once in the program's life of a port.
                for (int j = -1; j < run; ++j)
                    if (const double us = linkOnce(link); us >= 0 && j >= 0)
                        (tap ? tapTimes : linkTimes).push_back(us);
                monitor::store().detach(&link.MSComm1());
            }
        }
        link.MSComm1().close();
        QCoreApplication::processEvents();
    }

    const double f = bench::percentile(floorTimes, 0.5), l = bench::percentile(linkTimes, 0.5);
    std::printf("bare QSerialPort echo  median %8.1f us  (%zu exchanges)\n", f, floorTimes.size());
    std::printf("drive link round trip  median %8.1f us  (%zu exchanges)\n", l, linkTimes.size());
    std::printf("ratio link/floor       %8.2f  (goal <= 1.50)\n", f > 0 ? l / f : 0.0);
    const double t = bench::percentile(tapTimes, 0.5);
    std::printf("link with monitor tap  median %8.1f us  (%zu exchanges, %d rows kept)\n", t, tapTimes.size(),
                monitor::store().count());
    std::printf("tap cost               %+8.1f %%  (goal <= +5%%)\n", l > 0 ? (t / l - 1) * 100 : 0.0);
    const double ns = tapNsPerExchange();
    std::printf("tap alone              %8.0f ns per exchange  (%.2f %% of the link's round trip)\n", ns,
                l > 0 ? ns / 10 / l : 0.0);
    return 0;
}
