// Start-up to the first window: the console against a bare Qt window showing one button.
//
//   bench_startup [runs [platform]]   (default 9 runs, offscreen; "xcb" uses $DISPLAY)
//
// Starts the console (the program's own main(), built with a hook that ends it once its first
// window is shown: startup/firstshow.cpp) and the bare window the same way, alternately, `runs`
// times each, offscreen (or on the given Qt platform) and with a private, empty settings folder
// (XDG_CONFIG_HOME), and prints the medians of the wall time and of the processor time (user
// and system) each used, and their ratios. The console's goal is at most 1.5 times the bare window's wall time; the processor
// times tell the two apart when other work on the machine makes the wall times wander.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

struct Run {
    double wallMs = -1; // from the start to the end; -1 when the program did not end well
    double cpuMs = 0;   // user and system time the program used meanwhile
};

// Runs `program` with `env` (its own output goes where ours goes).
Run timeToFirstShow(const QByteArray &program, const std::vector<QByteArray> &env)
{
    std::vector<char *> envp;
    for (const QByteArray &e : env)
        envp.push_back(const_cast<char *>(e.constData()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.constData()), nullptr};
    Run r;
    QElapsedTimer t;
    t.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, program.constData(), nullptr, nullptr, argv, envp.data()) != 0)
        return r;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return r;
    r.wallMs = double(t.nsecsElapsed()) / 1e6;
    auto ms = [](const timeval &tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
    r.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    return r;
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
    const QString platform = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("offscreen");
    const QString dir = QCoreApplication::applicationDirPath();
    const QString console = dir + QStringLiteral("/startup_console_probe"), bare = dir + QStringLiteral("/startup_bare_probe");

    QTemporaryDir settings;
    QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
    pe.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    pe.insert(QStringLiteral("XDG_CONFIG_HOME"), settings.path());
    pe.insert(QStringLiteral("XDG_RUNTIME_DIR"), settings.path()); // private (0700), as Qt wants it
    std::vector<QByteArray> env;
    for (const QString &e : pe.toStringList())
        env.push_back(e.toLocal8Bit());
    const QByteArray programs[] = {QFile::encodeName(console), QFile::encodeName(bare)};

    // One unmeasured start of each first, so both find the libraries in the page cache.
    timeToFirstShow(programs[0], env), timeToFirstShow(programs[1], env);
    std::vector<double> wall[2], cpu[2];
    for (int i = 0; i < runs; ++i) {
        // Alternate which goes first, so neither always follows the other.
        for (int k = 0; k < 2; ++k) {
            const int which = (i + k) % 2;
            const Run r = timeToFirstShow(programs[which], env);
            if (r.wallMs < 0) {
                std::fprintf(stderr, "bench_startup: %s did not show its window\n", programs[which].constData());
                return 1;
            }
            wall[which].push_back(r.wallMs);
            cpu[which].push_back(r.cpuMs);
        }
    }
    const double wc = median(wall[0]), wb = median(wall[1]), cc = median(cpu[0]), cb = median(cpu[1]);
    std::printf("start-up to the first window shown (%s), median of %d alternated runs each\n",
                qPrintable(platform), runs);
    std::printf("               wall ms   cpu ms\n");
    std::printf("  console      %7.1f  %7.1f\n  bare window  %7.1f  %7.1f\n", wc, cc, wb, cb);
    std::printf("  ratio        %7.2f  %7.2f   (goal: wall at most 1.5)\n", wc / wb, cc / cb);
    return 0;
}
