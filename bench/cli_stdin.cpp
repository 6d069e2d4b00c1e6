// quorvane-cli against the floor: a session of N commands on stdin ("/1?0", one a line)
// through the client against the drive simulator in instant mode, against the raw pty round
// trip of bench_link_roundtrip (a bare event-driven QSerialPort and a peer that answers at once),
// N exchanges in a row; the best of a few rounds of each. The client's whole run counts, start and
// exit included. Also the floor against the same simulator, the client against the floor's own
// peer, and the start time of "quorvane-cli --version" (median of many).
//
//   bench_cli_stdin [commands] [version runs] [rounds]
//
// Goals: the client reaches at least 80% of the floor's commands per second; --version starts
// and ends within 30 ms.
#include "echopeer.h"
#include "sim/ptyserver.h"
#include "support/ptypair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

// N bare exchanges on the device, one after the other: commands per second (0 on a failure).
// `split`: the command and its CR in two writes, as the link writes them, else in one.
double floorRate(const QString &device, const QByteArray &reply, int n, bool split = false)
{
    QSerialPort port(device);
    if (!port.open(QIODevice::ReadWrite))
        return 0;
    port.setBaudRate(38400);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        if (split) {
            port.write("/1?0");
            port.flush();
        }
        if (bench::floorExchange(port, split ? "\r" : "/1?0\r", reply) < 0)
            return 0;
    }
    return n / (double(t.nsecsElapsed()) / 1e9);
}

// Milliseconds from spawning the program to its end, each of `runs` times; the median.
double startMs(const char *program, int runs)
{
    std::vector<double> times;
    char *argv[] = {const_cast<char *>(program), const_cast<char *>("--version"), nullptr};
    const int devnull = ::open("/dev/null", O_WRONLY);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, devnull, 1);
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        pid_t pid = 0;
        if (posix_spawn(&pid, program, &actions, nullptr, argv, environ) != 0)
            return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        times.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(devnull);
    return bench::percentile(times, 0.5);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 200;
    const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 7;

    PtyPair pty;
    bench::EchoPeer peer(pty.masterFd(), bench::kDtReply);
    sim::PtyServer server;
    server.bus().setTimeScale(0);
    if (!server.startThread()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorString()));
        return 1;
    }
    QTemporaryDir home; // an empty settings store: the defaults
    QByteArray input;
    for (int i = 0; i < n; ++i)
        input += "/1?0\n";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path());

    // One client session of `count` commands (`lines`) on a device: seconds (1e9 when not every
    // one was answered). Stdin and stdout are files, so this process sleeps while the client runs.
    const QString in = home.filePath("in"), out = home.filePath("out");
    auto session = [&](const QString &device, const QByteArray &lines, int count) {
        QFile f(in);
        if (!f.open(QIODevice::WriteOnly) || f.write(lines) != lines.size())
            return 1e9;
        f.close();
        QProcess cli;
        cli.setProcessEnvironment(env);
        cli.setStandardInputFile(in);
        cli.setStandardOutputFile(out);
        QElapsedTimer t;
        t.start();
        cli.start(CLI_PATH, {"--port", device, "-"});
        cli.waitForFinished(120000);
        const double s = double(t.nsecsElapsed()) / 1e9;
        QFile o(out);
        const bool all = cli.exitCode() == 0 && o.open(QIODevice::ReadOnly) && o.readAll().count(" No Error\n") == count;
        return all ? s : 1e9;
    };
    // The machine is shared: the four take turns, and the best turn of each is its own speed.
    double echoFloor = 0, splitFloor = 0, simFloor = 0, echoSeconds = 1e9, simSeconds = 1e9, oneSeconds = 1e9;
    for (int round = 0; round < rounds; ++round) {
        echoFloor = std::max(echoFloor, floorRate(pty.slavePath(), bench::kDtReply, n));
        splitFloor = std::max(splitFloor, floorRate(pty.slavePath(), bench::kDtReply, n, true));
        simFloor = std::max(simFloor, floorRate(server.slavePath(), QByteArray("\xff/0`0\x03\r\n"), n));
        echoSeconds = std::min(echoSeconds, session(pty.slavePath(), input, n));
        simSeconds = std::min(simSeconds, session(server.slavePath(), input, n));
        oneSeconds = std::min(oneSeconds, session(server.slavePath(), "/1?0\n", 1));
    }
    const double echoRate = n / echoSeconds, simRate = n / simSeconds;
    // Past its start (a session of one command), the client's own pace.
    const double steadyRate = (n - 1) / (simSeconds - oneSeconds);

    std::printf("floor, echo peer           %8.0f commands/s\n", echoFloor);
    std::printf("floor, echo, CR apart      %8.0f commands/s\n", splitFloor);
    std::printf("floor, simulator           %8.0f commands/s\n", simFloor);
    std::printf("quorvane-cli, simulator    %8.0f commands/s  (%d commands, %.1f ms)\n", simRate, n, simSeconds * 1e3);
    std::printf("quorvane-cli, echo peer    %8.0f commands/s  (%d commands, %.1f ms)\n", echoRate, n, echoSeconds * 1e3);
    std::printf("client on simulator / echo floor %6.1f %%  (goal >= 80%%)\n", 100 * simRate / echoFloor);
    std::printf("client on simulator / sim floor  %6.1f %%\n", 100 * simRate / simFloor);
    std::printf("client on echo / echo floor      %6.1f %%\n", 100 * echoRate / echoFloor);
    std::printf("session of one command     %8.1f ms\n", oneSeconds * 1e3);
    std::printf("client past its start, simulator %6.0f commands/s = %.1f %% of the echo floor\n", steadyRate,
                100 * steadyRate / echoFloor);
    std::printf("quorvane-cli --version  %8.2f ms median of %d  (goal <= 30 ms)\n", startMs(CLI_PATH, runs), runs);
    return 0;
}
