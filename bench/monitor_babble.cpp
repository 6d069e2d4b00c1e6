// The traffic monitor under a babbling line, and its memory at the row bound.
//
//   bench_monitor_babble [seconds]
//
// 1. A peer babbles unframed bytes at 230400 baud (23,040 bytes a second) into the console's
//    open port. The same run, `seconds` long each: without the tap, with the tap and no window,
//    and with the monitor window open and following. Prints the user interface thread's CPU
//    (percent of a core) and how late a 10 ms timer on that thread fires (p99, max); then once
//    more with a filter typed into the open monitor (every row tested, the matching ones shown).
//    Goal: at most 10% of a core with the window open and filtering, timers on time.
// 2. Memory (resident set) with an empty monitor open, at 100,000 rows of 256 bytes (the babble's
//    rows), and after 200,000 rows more. Goal: at most 64 MiB above the empty monitor, flat after.
// 3. Re-filtering the 100,000 rows: a text found nowhere, a hex text, problems only, and none.
//    Goal: at most 100 ms each.
#include "resident.h"
#include "link/drivelink.h"
#include "support/linkfakes.h"
#include "monitor/trafficmonitor.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QCheckBox>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}


// Writes 230 bytes every 10 ms on the master side: letters and digits, never CR or STX.
class Babbler {
public:
    explicit Babbler(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~Babbler()
    {
        m_stop = true;
        m_thread.join();
    }
    std::atomic<bool> on{false};

private:
    void run()
    {
        QByteArray chunk(230, 'x');
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
            if (on && ::write(m_fd, chunk.constData(), size_t(chunk.size())) < 0)
                return;
        }
    }
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Run {
    double cpuPercent;
    double p99LateMs;
    double maxLateMs;
};

Run babble(Babbler &babbler, int seconds)
{
    std::vector<double> late;
    QElapsedTimer clock;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    qint64 expected = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        late.push_back(double(std::max<qint64>(0, now - expected)) / 1e6);
        expected = now + 10'000'000;
    });
    babbler.on = true;
    clock.start();
    expected = 10'000'000;
    tick.start();
    const double cpu0 = threadCpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = threadCpuSeconds() - cpu0;
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    babbler.on = false;
    tick.stop();
    std::sort(late.begin(), late.end());
    return {cpu / wall * 100, late.empty() ? 0 : late[size_t(double(late.size()) * 0.99)],
            late.empty() ? 0 : late.back()};
}

void settle()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    monitor::install();

    TempStore store;
    PtyPair pty;
    store.mapPort(1, pty.slavePath());
    RecordedRows rows;
    LiveSettings live;
    live.baud = "230400";
    DriveLink link(rows, live);
    link.ErrorTexts = framing::errorTexts();
    link.tmrReceiveTimeOut().setInterval(3'600'000); // no time-out flush during the run
    link.subSendToDrive("/1?0");                     // opens the console's port
    if (!link.MSComm1().isOpen()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(pty.slavePath()));
        return 1;
    }
    Babbler babbler(pty.masterFd());

    std::printf("babbling line, 23040 bytes/s unframed, %d s per run\n", seconds);
    monitor::store().detach(&link.MSComm1());
    const Run bare = babble(babbler, seconds);
    std::printf("  without tap          UI thread %5.1f %% of a core, 10 ms timer late p99 %5.2f ms, max %5.2f ms\n",
                bare.cpuPercent, bare.p99LateMs, bare.maxLateMs);
    monitor::store().attach(&link.MSComm1());
    const Run tap = babble(babbler, seconds);
    std::printf("  tap, no window       UI thread %5.1f %% of a core, 10 ms timer late p99 %5.2f ms, max %5.2f ms\n",
                tap.cpuPercent, tap.p99LateMs, tap.maxLateMs);
    TrafficMonitor &window = monitor::open();
    settle();
    const int rowsBefore = window.model().rowCount();
    const Run open = babble(babbler, seconds);
    settle();
    QScrollBar *scroll = window.grdTraffic->verticalScrollBar();
    std::printf("  monitor open         UI thread %5.1f %% of a core, 10 ms timer late p99 %5.2f ms, max %5.2f ms"
                "  (goal <= 15 %%)\n",
                open.cpuPercent, open.p99LateMs, open.maxLateMs);
    std::printf("  rows shown %d (+%d during the run), following the newest: %s\n", window.model().rowCount(),
                window.model().rowCount() - rowsBefore, scroll->value() == scroll->maximum() ? "yes" : "no");
    window.txtFilter->setText(QStringLiteral("ABC"));
    settle();
    const int filteredBefore = window.model().rowCount();
    const Run filtered = babble(babbler, seconds);
    settle();
    std::printf("  open, filter \"ABC\"   UI thread %5.1f %% of a core, 10 ms timer late p99 %5.2f ms, max %5.2f ms"
                "  (goal <= 10 %%)\n",
                filtered.cpuPercent, filtered.p99LateMs, filtered.maxLateMs);
    std::printf("  rows shown %d (+%d during the run), following the newest: %s\n", window.model().rowCount(),
                window.model().rowCount() - filteredBefore, scroll->value() == scroll->maximum() ? "yes" : "no");
    window.txtFilter->clear();

    // Memory: rows as the babble makes them (256 bytes, unframed), fed through a port's tap.
    monitor::store().clear();
    settle();
    const double empty = residentMiB();
    CommPort port;
    const QByteArray chunk(256, 'u');
    qint64 us = 0;
    auto feed = [&](int count) {
        for (int i = 0; i < count; ++i) {
            // Each read is bytes of its own, as the line's are (a row may keep a read whole).
            emit port.traffic(us += 11'000, CommPort::Direction::Received, QByteArray(chunk.constData(), chunk.size()));
            if (i % 5000 == 0)
                QCoreApplication::processEvents();
        }
        settle();
    };
    feed(monitor::TrafficStore::kCapacity);
    const double full = residentMiB();
    feed(100'000);
    const double more = residentMiB();
    feed(100'000);
    const double most = residentMiB();
    std::printf("memory (resident): empty monitor %.1f MiB\n", empty);
    std::printf("  at 100,000 rows  %+7.1f MiB  (goal <= +64 MiB)\n", full - empty);
    std::printf("  +100,000 rows    %+7.1f MiB  (%d rows kept, %lld dropped)\n", more - empty, monitor::store().count(),
                monitor::store().dropped());
    std::printf("  +200,000 rows    %+7.1f MiB  (flat: %+.1f MiB after the bound)\n", most - empty, most - full);

    std::printf("re-filter %d rows (goal <= 100 ms each):\n", window.model().store().count());
    auto refilter = [&](const char *what, const QString &text, bool problems) {
        QElapsedTimer t;
        t.start();
        window.txtFilter->setText(text);
        window.chkProblems->setChecked(problems);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        std::printf("  %-22s %7.1f ms  (%d rows shown)\n", what, ms, window.model().rowCount());
    };
    refilter("text found nowhere", QStringLiteral("time-out"), false);
    refilter("none again", QString(), false);
    refilter("hex text", QStringLiteral("75 76"), false);
    refilter("problems only", QString(), true);
    refilter("none again", QString(), false);
    return 0;
}
