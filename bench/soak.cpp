// A working day in a few minutes: the console window, shown offscreen, plays a short sequence
// endlessly against the drive simulator while the simulator's line is pulled and plugged back
// again and again, as a USB adapter on a bench is.
//
//   bench_soak [minutes] [up-seconds] [down-seconds]      (default 10, 4, 1)
//
// COM1 is a symbolic link, as a by-id path is. Every up-seconds the simulator hangs up its line
// and the link goes away; down-seconds later a new simulator line is made and the link points
// at it. The sequence presses rows 1, 2 and 3 one 50 ms tick apart (the fastest playback), with
// the receive time-out at 20 ms, so every press must end in a decoded reply or a time-out before
// the next one.
//
// Reports: presses, replies decoded, time-outs, presses that got neither (must be 0), presses
// overtaken by the next one while their time-out still ran (the event loop was late: not a
// fault, counted apart), unplugs reported against pulls of an open port (must be equal), which
// press after each re-plug first put its command on the line again (must be the first) and
// which first got a reply (a loaded machine may time a few out), and resident memory (VmRSS) and open
// descriptors at the first re-plug after a minute of warm-up and at the last one: growth at most
// 1 MiB and 0 descriptors. A watchdog thread ends the program if its event loop stops for 20 s.
// Exit status 0 when every goal is met.
#include "app/windows.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"
#include "sim/ptyserver.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

long residentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int openDescriptors()
{
    const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    if (qEnvironmentVariableIsSet("SOAK_VERBOSE"))
        for (const QFileInfo &fd : fds)
            std::fprintf(stderr, "  fd %s -> %s\n", qPrintable(fd.fileName()), qPrintable(fd.symLinkTarget()));
    return int(fds.size()) - 1; // the listing's own
}

// 25 rows, then rows 1, 2 and 3 pressed one tick apart, a pause entry, and the end.
QString sequenceFile(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("soak.txt"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    const QList<QByteArray> rows = {"\"/1?0\"", "\"/1?0\"", "\"/1&\"", "\"/1?4\""};
    for (int r = 0; r < 25; ++r)
        f.write(rows.value(r, "\"/1?0\"") + "\r\n");
    const QList<QByteArray> sequence = {"1", "0", "2", "1", "3", "1", "\"\"", "1"};
    for (int i = 0; i < 1000; ++i)
        f.write(sequence.value(i, "0") + "\r\n");
    return path;
}

std::atomic<long> g_heartbeat{0};
std::atomic<bool> g_done{false};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double minutes = argc > 1 ? std::max(0.2, atof(argv[1])) : 10.0;
    const int upMs = int(1000 * (argc > 2 ? std::max(0.5, atof(argv[2])) : 4.0));
    const int downMs = int(1000 * (argc > 3 ? std::max(0.1, atof(argv[3])) : 1.0));
    const qint64 totalMs = qint64(minutes * 60'000);
    const qint64 warmUpMs = std::min<qint64>(60'000, totalMs / 4);

    TempStore store;
    ScriptedPlatform platform;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("usb-adapter"));
    for (int n = 1; n <= 16; ++n)
        store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
    store.mapPort(1, link);

    std::unique_ptr<sim::PtyServer> line;
    // Presses counted from a re-plug until the simulator sees the first command again.
    int pressesSincePlugToWire = -1, worstToWire = 0, pullsWhileOpen = 0;
    auto plugIn = [&] {
        line = std::make_unique<sim::PtyServer>();
        line->bus().setTimeScale(0);
        line->setTrace([&](bool fromConsole, const QByteArray &) {
            if (fromConsole && pressesSincePlugToWire >= 0) {
                worstToWire = std::max(worstToWire, pressesSincePlugToWire);
                pressesSincePlugToWire = -1;
            }
        });
        if (!line->start())
            qFatal("simulator: %s", qPrintable(line->errorString()));
        QFile::remove(link);
        if (!QFile::link(line->slavePath(), link))
            qFatal("cannot link %s", qPrintable(link));
    };
    CommPort *consolePort = nullptr;
    auto pull = [&] {
        if (consolePort && consolePort->isOpen())
            ++pullsWhileOpen;
        QFile::remove(link);
        line->hangUp();
        line.reset();
    };
    plugIn();

    StringFun &console = windows::get<StringFun>();
    Settings &settings = windows::get<Settings>();
    settings.fields.RCVTimeout->setText(QStringLiteral("20"));
    settings.fields.MaxStrings->setText(QStringLiteral("11"));
    console.SetupScreen();
    console.show();
    consolePort = &console.MSComm1();
    DriveLink *driveLink = console.findChild<DriveLink *>();
    if (!driveLink)
        qFatal("the console has no drive link");

    // Every press must end, before the next one, in a decoded reply or a time-out.
    long presses = 0, decoded = 0, timeouts = 0, neither = 0, overtaken = 0, lostReports = 0;
    int outcomesSincePress = 0;
    bool plugged = true;
    int pressesSincePlug = -1; // counting from a re-plug until the first reply
    int worstResume = 0, plugs = 0, resumes = 0;
    QObject::connect(driveLink, &DriveLink::replyDecoded, [&](int) {
        ++decoded;
        ++outcomesSincePress;
    });
    QObject::connect(driveLink, &DriveLink::replyTimedOut, [&](int) {
        ++timeouts;
        ++outcomesSincePress;
    });
    QObject::connect(&console.MSComm1(), &CommPort::deviceLost, [&](const QString &) { ++lostReports; });

    struct Sample {
        long rssKiB = -1;
        int fds = -1;
        qint64 atMs = 0;
    } first, last;
    QElapsedTimer clock;
    clock.start();
    qint64 toggledAt = 0;
    QObject::connect(driveLink, &DriveLink::replyDecoded, [&](int) {
        if (pressesSincePlug > 0) {
            worstResume = std::max(worstResume, pressesSincePlug);
            ++resumes;
            pressesSincePlug = -1;
            // Memory and descriptors, always at the same point: the first reply after a re-plug.
            if (clock.elapsed() >= warmUpMs) {
                const Sample s{residentKiB(), openDescriptors(), clock.elapsed()};
                (first.fds < 0 ? first : last) = s;
            }
        }
    });

    // Presses, seen after each playback tick (this slot runs after the console's own): entries
    // 0, 1 and 2 press rows 1, 2 and 3, entry 3 is the pause; every tick plays one entry, so an
    // index that has moved to 1, 2 or 3 means the entry before it pressed its row. Just before
    // each tick (an event filter sees the timer event first) the time-out's state is noted: a
    // press without an outcome whose time-out was still running when the next press came was
    // overtaken by the playback (the event loop was late); one whose time-out had stopped got
    // neither.
    const SequenceRecorder &recorder = console.sequence();
    QTimer &timeout = console.tmrReceiveTimeOut();
    bool timeoutRunningBeforeTick = false;
    struct TickWatch : QObject {
        std::function<void()> before;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Timer)
                before();
            return false;
        }
    } tickWatch;
    tickWatch.before = [&] { timeoutRunningBeforeTick = timeout.isActive(); };
    console.recordPlayTimer().installEventFilter(&tickWatch);
    QObject::connect(&console.recordPlayTimer(), &QTimer::timeout, [&] {
        if (!recorder.Playing || recorder.RecordIndex < 1 || recorder.RecordIndex > 3)
            return;
        if (presses > 0 && outcomesSincePress == 0) {
            (timeoutRunningBeforeTick ? overtaken : neither) += 1;
            std::fprintf(stderr, "soak: press %ld %s (%.3f s, line %s for %lld ms)\n", presses,
                         timeoutRunningBeforeTick ? "overtaken by the next one, its time-out still running"
                                                  : "got neither a reply nor a time-out",
                         double(clock.elapsed()) / 1000.0, plugged ? "up" : "down",
                         static_cast<long long>(clock.elapsed() - toggledAt));
        }
        outcomesSincePress = 0;
        ++presses;
        if (pressesSincePlug >= 0)
            ++pressesSincePlug;
        if (pressesSincePlugToWire >= 0)
            ++pressesSincePlugToWire;
    });

    platform.files.enqueue(sequenceFile(dir));
    console.LoadButton_Click(5);
    console.LoadButton_Click(0); // Play Endless

    QTimer cycle;
    cycle.setSingleShot(true);
    std::function<void()> toggle = [&] {
        toggledAt = clock.elapsed();
        if (plugged) {
            pull();
            plugged = false;
            cycle.start(downMs);
        } else {
            plugIn();
            plugged = true;
            ++plugs;
            pressesSincePlug = 0;
            pressesSincePlugToWire = 0;
            cycle.start(upMs);
        }
    };
    QObject::connect(&cycle, &QTimer::timeout, toggle);
    cycle.start(upMs);

    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [] { ++g_heartbeat; });
    heartbeat.start(500);
    std::thread watchdog([] {
        long seen = -1;
        int still = 0;
        while (!g_done) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long now = g_heartbeat;
            still = now == seen ? still + 1 : 0;
            seen = now;
            if (still >= 20) {
                std::fprintf(stderr, "soak: the event loop has not run for 20 s: hung\n");
                std::_Exit(3);
            }
        }
    });

    QTimer::singleShot(totalMs, &app, [&] {
        console.LoadButton_Click(0); // Play Endless again: playback stops
        QTimer::singleShot(200, &app, &QCoreApplication::quit);
    });
    app.exec();
    g_done = true;
    watchdog.join();

    // The last press has had its time-out's worth to end.
    const bool lastEnded = outcomesSincePress > 0;
    const long growth = first.rssKiB >= 0 && last.rssKiB >= 0 ? last.rssKiB - first.rssKiB : 0;
    const int fdGrowth = first.fds >= 0 && last.fds >= 0 ? last.fds - first.fds : 0;
    std::printf("soak %.1f min, line up %d ms / down %d ms, %d re-plugs\n", double(clock.elapsed()) / 60000.0, upMs,
                downMs, plugs);
    std::printf("presses %ld, replies decoded %ld, time-outs %ld, presses with neither %ld (goal 0), overtaken by "
                "the next press %ld%s\n", presses, decoded, timeouts, neither, overtaken,
                lastEnded ? "" : " (the last press still open)");
    std::printf("unplugs reported by the port %ld, of %d pulls while it was open (goal: equal)\n", lostReports,
                pullsWhileOpen);
    std::printf("after a re-plug the command of press %d at the latest reached the line (goal 1); the first reply "
                "came %d times, at the latest on press %d\n", worstToWire, resumes, worstResume);
    std::printf("resident memory %ld KiB at %.1f min, %ld KiB at %.1f min: growth %ld KiB (goal <= 1024)\n",
                first.rssKiB, double(first.atMs) / 60000.0, last.rssKiB, double(last.atMs) / 60000.0, growth);
    std::printf("open descriptors %d at %.1f min, %d at %.1f min: growth %d (goal 0)\n", first.fds,
                double(first.atMs) / 60000.0, last.fds, double(last.atMs) / 60000.0, fdGrowth);
    windows::unloadAll();
    const bool ok = neither == 0 && presses > 0 && decoded > 0 && resumes > 0 && worstToWire == 1
        && lostReports == pullsWhileOpen && growth <= 1024 && fdGrowth <= 0 && last.fds >= 0;
    std::printf("%s\n", ok ? "all goals met" : "GOALS MISSED");
    return ok ? 0 : 1;
}
