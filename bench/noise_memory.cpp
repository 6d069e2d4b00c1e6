// The console under a babbling line: memory must stay flat however much noise comes.
//
//   bench_noise_memory [MiB]      (default 96)
//
// The console window, shown offscreen with the traffic monitor's tap on, sends a row on COM1, a
// pseudo-terminal; a writer thread then pours noise (letters, never a reply's end) into the line
// as fast as the line takes it, with no reply ever completing, while the console reads as it
// does (one character per notification) and its receive time-out (3000 ms) flushes the line now
// and then. Prints the resident memory (VmRSS) before the noise and after each 32 MiB written.
// Goals: at most 64 MiB growth by 32 MiB written, and less than 4 MiB more from 64 to 96 MiB.
// Exit status 0 when both are met.
#include "resident.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "monitor/trafficmonitor.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QElapsedTimer>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>


int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const qint64 total = qint64(argc > 1 ? std::max(32, atoi(argv[1])) : 96) << 20;
    TempStore store;
    ScriptedPlatform platform;
    PtyPair line;
    for (int n = 1; n <= 16; ++n)
        store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
    store.mapPort(1, line.slavePath());
    monitor::install();
    StringFun &console = windows::get<StringFun>();
    console.show();
    console.SendCommand_Click(1);
    if (!console.MSComm1().isOpen())
        qFatal("the console's port did not open");

    std::atomic<qint64> written{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const QByteArray chunk(4096, 'n');
        while (!stop && written < total) {
            const ssize_t n = ::write(line.masterFd(), chunk.constData(), size_t(chunk.size()));
            if (n > 0)
                written += n;
            else
                usleep(1000);
        }
    });

    app.processEvents();
    const double start = residentMiB();
    std::printf("before the noise: %.1f MiB\n", start);
    double at[4] = {start, 0, 0, 0};
    QElapsedTimer clock;
    clock.start();
    for (int mark = 1; mark <= int(total >> 25); ++mark) {
        while (written < (qint64(mark) << 25))
            app.processEvents(QEventLoop::AllEvents, 50);
        at[std::min(mark, 3)] = residentMiB();
        std::printf("after %3d MiB (%5.1f s): %.1f MiB, +%.1f\n", mark * 32, clock.elapsed() / 1000.0,
                    at[std::min(mark, 3)], at[std::min(mark, 3)] - start);
        std::fflush(stdout);
    }
    stop = true;
    writer.join();
    const bool flatEarly = at[1] - start <= 64;
    const bool flatLate = total < (qint64(96) << 20) || at[3] - at[2] < 4;
    std::printf("growth by 32 MiB: %.1f MiB (goal <= 64); from 64 to 96 MiB: %.1f MiB (goal < 4)\n",
                at[1] - start, at[3] - at[2]);
    windows::shutDown(0);
    return flatEarly && flatLate ? 0 : 1;
}
