// Start-up to the first window: the console against a bare Qt window showing one button.
//
//   bench_startup [runs]   (default 9)
//
// Starts the console (the program's own main(), built with a hook that ends it once its first
// window is shown: startup/firstshow.cpp) and the bare window the same way, alternately, `runs`
// times each, offscreen and with a private, empty settings folder (XDG_CONFIG_HOME), and prints
// each median and their ratio. The console's goal is at most 1.5 times the bare window.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Milliseconds from the start of `program` to its end; -1 when it did not end well.
double timeToFirstShow(const QString &program, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer t;
    t.start();
    p.start(program, {});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return -1;
    return double(t.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 9;
    const QString dir = QCoreApplication::applicationDirPath();
    const QString console = dir + QStringLiteral("/startup_console_probe"), bare = dir + QStringLiteral("/startup_bare_probe");

    QTemporaryDir settings;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), settings.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), settings.path()); // private (0700), as Qt wants it

    // One unmeasured start of each first, so both find the libraries in the page cache.
    timeToFirstShow(console, env), timeToFirstShow(bare, env);
    std::vector<double> c, b;
    for (int i = 0; i < runs; ++i) {
        // Alternate which goes first, so neither always follows the other.
        for (int k = 0; k < 2; ++k) {
            const bool consoleNow = (i + k) % 2 == 0;
            const double ms = timeToFirstShow(consoleNow ? console : bare, env);
            if (ms < 0) {
                std::fprintf(stderr, "bench_startup: %s did not show its window\n", qPrintable(consoleNow ? console : bare));
                return 1;
            }
            (consoleNow ? c : b).push_back(ms);
        }
    }
    const double mc = median(c), mb = median(b);
    std::printf("start-up to the first window shown, median of %d alternated runs each\n", runs);
    std::printf("  console      %7.1f ms\n  bare window  %7.1f ms\n  ratio        %7.2f (goal at most 1.5)\n", mc, mb, mc / mb);
    return 0;
}
