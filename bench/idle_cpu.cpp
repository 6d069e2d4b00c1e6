// An idle console must not wake the processor for nothing.
//
//   bench_idle_cpu [seconds]      (default 10)
//
// The console runs offscreen, shown, against the drive simulator. First it does what leaves
// timers behind: a send answered, a send timed out, a playback of a hand-edited command file that
// presses row 20 of an 11-row console, a recording started and stopped. Then it sits idle for
// the given time while the process's CPU time (user + system, getrusage) is measured: once with
// the caret blinking in a command field, once with nothing to draw.
// Goal: at most 0.05% of a core with nothing to draw.
#include "app/platform.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"
#include "sim/ptyserver.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <cstdio>

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// 25 rows, then a sequence pressing rows 1 and 20, two ticks apart, and its end.
QString playbackFile(const QTemporaryDir &dir)
{
    const QString path = dir.filePath("rows.txt");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    for (int r = 0; r < 25; ++r)
        f.write("\"/1?0\"\r\n");
    const QList<QByteArray> sequence = {"1", "0", "20", "2", "\"\"", "2"};
    for (int i = 0; i < 1000; ++i)
        f.write(sequence.value(i, "0") + "\r\n");
    return path;
}

// The share of a core the process uses over `seconds` in its own event loop, left alone
// (QTest::qWait would itself wake every 10 ms).
double idleShare(int seconds)
{
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QEventLoop idle;
    QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
    idle.exec();
    return 100.0 * (cpuSeconds() - cpu0) / (double(wall.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    TempStore store;
    ScriptedPlatform platform;
    QTemporaryDir dir;
    sim::PtyServer server;
    if (!server.start())
        qFatal("simulator: %s", qPrintable(server.errorString()));
    store.mapPort(1, server.slavePath());

    StringFun &console = windows::get<StringFun>();
    windows::get<Settings>().fields.RCVTimeout->setText("200");
    windows::get<Settings>().fields.MaxStrings->setText("11");
    console.SetupScreen();
    console.show();

    console.SendCommand[1]->click(); // answered
    QTest::qWait(300);
    console.StringToSend[2]->setText("/9?0"); // no drive 9: timed out
    console.SendCommand[2]->click();
    QTest::qWait(400);
    platform.files.enqueue(playbackFile(dir));
    console.LoadButton_Click(5);
    console.LoadButton_Click(1);
    QTest::qWait(500);
    console.LoadButton_Click(2);
    QTest::qWait(120);
    console.LoadButton_Click(2);
    QTest::qWait(1500); // every indicator back to white

    // First with the caret in a command field (it blinks, as the operator sees it), then with
    // nothing to draw at all.
    const double withCaret = idleShare(seconds);
    std::printf("idle %d s, caret blinking in %s: %.4f%% of a core\n", seconds,
                QApplication::focusWidget() ? qPrintable(QApplication::focusWidget()->objectName()) : "no field",
                withCaret);
    if (QWidget *focus = QApplication::focusWidget())
        focus->clearFocus();
    const double share = idleShare(seconds);
    std::printf("idle %d s, nothing to draw: %.4f%% of a core (goal <= 0.05%%)\n", seconds, share);
    std::printf("presses shown: row 1 \"%s\", row 20 \"%s\"\n", qPrintable(console.ReceiveString[1]->text()),
                qPrintable(console.ReceiveString[20]->text()));
    windows::unloadAll();
    return share <= 0.05 ? 0 : 1;
}
