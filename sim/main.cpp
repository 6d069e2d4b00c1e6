// quorvane-drivesim: simulated REZizavur drives on a pseudo-terminal.
//
// Prints the device path (one line) on stdout, optionally makes --link PATH a symbolic link to
// it, and serves until SIGINT, SIGTERM or SIGHUP, across any number of closes and re-opens of
// the console's side. The link is removed on the way out.
//
// Exit status: 0 when told to stop (or after --help), 1 when the line cannot be served (no
// pseudo-terminal, the link or the --image-out file cannot be written), 2 when the command line
// is wrong (unknown option, missing or bad value, stray argument); nothing is served then.
#include "sim/drivebus.h"
#include "sim/ptyserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

constexpr int kExitFailure = 1; // the system refused: nothing to serve on, nothing written
constexpr int kExitUsage = 2;   // the command line is wrong

void fail(const QString &text, int status = kExitUsage)
{
    std::fprintf(stderr, "quorvane-drivesim: %s\n", text.toLocal8Bit().constData());
    std::exit(status);
}

// The sample update file the default drive accepts: installed beside the program's folder as
// share/quorvane/samples (the build tree has the same layout).
QString sampleFile()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath()
                           + QStringLiteral("/../share/quorvane/samples/drivesim-sample.amx"));
}

// "1", "9", "A".."F" (as ':' ';' '<' '=' '>' '@') or the address characters themselves.
char addressChar(QChar c)
{
    const char l = char(c.toUpper().toLatin1());
    if (l >= 'A' && l <= 'F')
        return ":;<=>@"[l - 'A'];
    if ((l >= '1' && l <= '9') || QByteArray(":;<=>@").contains(l))
        return l;
    return 0;
}

int number(const QCommandLineParser &p, const QString &name, int lo, int hi)
{
    bool ok = false;
    const int n = p.value(name).toInt(&ok);
    if (!ok || n < lo || n > hi)
        fail(QStringLiteral("--%1 wants a number from %2 to %3").arg(name).arg(lo).arg(hi));
    return n;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

QList<QCommandLineOption> options()
{
    return {
        {"link", "Make PATH a symbolic link to the device (an old link is replaced).", "PATH"},
        {"drives", "Drive addresses on the bus, e.g. 1,2,A (A..F stand for : ; < = > @). Default 1.", "LIST"},
        {"version-text", "Reply to \"&\" (words separated by spaces, version word last). Default \"REZizavur V1.05\".", "TEXT"},
        {"device-id", "Device ID (decimal) the drives report to \"!\". Default 291.", "N"},
        {"device-id-text", "Whole reply text to \"!\" (default \"ID <device-id>\").", "TEXT"},
        {"not-validated", "The drives answer \"?\" to \"&\" (firmware not validated)."},
        {"time-scale", "Multiply move and wait times by F (1 real time, 0 instant). Default 1.", "F"},
        {"instant", "Moves and waits take no time (same as --time-scale 0)."},
        {"max-position", "Highest position a drive can reach. Default 1000000.", "N"},
        {"silent", "Fault: never reply."},
        {"bad-checksum", "Fault: OEM replies carry a wrong checksum."},
        {"noise", "Fault: send these bytes (hex, e.g. a55a) before every reply.", "HEX"},
        {"error-at-block", "Fault: answer update block N (from 1) with the error text.", "N"},
        {"error-text", "Reply used by --error-at-block. Default \"Error\".", "TEXT"},
        {"silent-from-block", "Fault: no reply to update block N (from 1) and after.", "N"},
        {"hang-up-after", "Fault: hang up the line once N bytes were received.", "N"},
        {"delay", "Fault: hold every reply back MS milliseconds.", "MS"},
        {"pace", "Send replies at BAUD (10 bits a byte); a \"b\" command changes the rate.", "BAUD"},
        {"short-block-gap", "Idle time that ends a short last update block. Default 100.", "MS"},
        {"update-idle-exit", "Idle time that ends update mode. Default 2000.", "MS"},
        {"image-out", "On exit, write the last received update image to FILE.", "FILE"},
        {"verbose", "Log the traffic in hex on stderr."},
    };
}

// The drives named by --drives, all alike, and how fast their programs run.
void setUpDrives(const QCommandLineParser &p, sim::DriveBus &bus)
{
    sim::DriveConfig config;
    if (p.isSet("version-text"))
        config.versionText = p.value("version-text").toLatin1();
    if (p.isSet("device-id"))
        config.deviceId = number(p, "device-id", 0, 4095);
    if (p.isSet("device-id-text"))
        config.deviceIdText = p.value("device-id-text").toLatin1();
    if (p.isSet("max-position"))
        config.maxPosition = number(p, "max-position", 1, 2147483647);
    config.notValidated = p.isSet("not-validated");

    bus.clearDrives();
    const QString list = p.isSet("drives") ? p.value("drives") : QStringLiteral("1");
    for (const QString &item : list.split(',', Qt::SkipEmptyParts)) {
        const QString t = item.trimmed();
        const char a = t.size() == 1 ? addressChar(t.at(0)) : 0;
        if (!a)
            fail(QStringLiteral("--drives: %1 is not an address (1..9, A..F)").arg(t));
        bus.addDrive(a, config);
    }
    if (bus.addresses().empty())
        fail(QStringLiteral("--drives names no drive"));

    if (p.isSet("instant"))
        bus.setTimeScale(0);
    if (p.isSet("time-scale")) {
        bool ok = false;
        const double f = p.value("time-scale").toDouble(&ok);
        if (!ok || f < 0)
            fail(QStringLiteral("--time-scale wants a number of 0 or more"));
        bus.setTimeScale(f);
    }
}

void setUpFaults(const QCommandLineParser &p, sim::DriveBus &bus)
{
    sim::Faults &f = bus.faults();
    f.silent = p.isSet("silent");
    f.badChecksum = p.isSet("bad-checksum");
    if (p.isSet("noise")) {
        f.noise = QByteArray::fromHex(p.value("noise").toLatin1());
        if (f.noise.isEmpty())
            fail(QStringLiteral("--noise wants hex bytes, e.g. a55a"));
    }
    if (p.isSet("error-at-block"))
        f.errorAtBlock = number(p, "error-at-block", 1, 1 << 30);
    if (p.isSet("error-text"))
        f.errorReply = p.value("error-text").toLatin1();
    if (p.isSet("silent-from-block"))
        f.silentFromBlock = number(p, "silent-from-block", 1, 1 << 30);
    if (p.isSet("hang-up-after"))
        f.hangUpAfterBytes = number(p, "hang-up-after", 0, 1 << 30);
    if (p.isSet("delay"))
        f.replyDelayMs = number(p, "delay", 0, 600000);
    if (p.isSet("pace"))
        f.paceBaud = number(p, "pace", 50, 4000000);
    if (p.isSet("short-block-gap"))
        bus.updateShortBlockGapMs = number(p, "short-block-gap", 1, 600000);
    if (p.isSet("update-idle-exit"))
        bus.updateIdleExitMs = number(p, "update-idle-exit", 1, 86400000);
}

// Makes `link` a symbolic link to `target`, replacing an old link but nothing else.
void makeLink(const QString &link, const QString &target)
{
    const QByteArray l = QFile::encodeName(link);
    QFileInfo old(link);
    if (old.isSymLink())
        ::unlink(l.constData());
    else if (old.exists())
        fail(QStringLiteral("--link: %1 exists and is not a symbolic link").arg(link));
    if (::symlink(QFile::encodeName(target).constData(), l.constData()) != 0)
        fail(QStringLiteral("--link: cannot create %1: %2").arg(link, QString::fromLocal8Bit(strerror(errno))),
             kExitFailure);
}

// SIGINT, SIGTERM and SIGHUP (the terminal closed, a logout) quit the event loop, through a
// pipe the notifier watches, so the link is removed on every ordinary way out.
std::unique_ptr<QSocketNotifier> quitOnSignals(QCoreApplication &app)
{
    if (::pipe(g_signalPipe) != 0)
        fail(QStringLiteral("cannot create a pipe"), kExitFailure);
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    auto quitter = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(quitter.get(), &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    return quitter;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-drivesim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated REZizavur drives on a pseudo-terminal. Prints the device path on stdout and "
        "serves until SIGINT, SIGTERM or SIGHUP.\n"
        "A sample firmware update file the default drive accepts (not firmware: for the simulator "
        "only):\n  %1\n"
        "Exit status: 0 when told to stop, 1 when the line cannot be served, 2 for a wrong "
        "command line.").arg(sampleFile()));
    p.addHelpOption();
    p.addOptions(options());
    // A wrong command line is a usage error (2); process() would end it with 1. Once parse()
    // has accepted the line, process() only answers --help and --help-all.
    if (!p.parse(app.arguments()))
        fail(p.errorText() + QStringLiteral(" (see --help)"));
    p.process(app);
    if (!p.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument %1 (see --help)").arg(p.positionalArguments().first()));

    sim::PtyServer server;
    sim::DriveBus &bus = server.bus();
    setUpDrives(p, bus);
    setUpFaults(p, bus);
    if (p.isSet("verbose")) {
        server.setTrace([](bool in, const QByteArray &bytes) {
            std::fprintf(stderr, "%s %s\n", in ? ">>" : "<<", hex(bytes).toLatin1().constData());
        });
    }
    QObject::connect(&server, &sim::PtyServer::hungUp, [&server] {
        std::fprintf(stderr, "quorvane-drivesim: line hung up after %lld bytes\n",
                     static_cast<long long>(server.bus().bytesReceived()));
    });

    // Before anything is made that the way out removes: a signal from here on ends cleanly.
    const auto quitter = quitOnSignals(app);
    if (!server.start())
        fail(server.errorString(), kExitFailure);
    const QString link = p.value("link");
    if (!link.isEmpty())
        makeLink(link, server.slavePath());
    std::printf("%s\n", server.slavePath().toLocal8Bit().constData());
    std::fflush(stdout);

    const int rc = app.exec();

    server.stop();
    // Only our own link: another simulator may have taken the name meanwhile.
    if (!link.isEmpty() && QFileInfo(link).isSymLink() && QFile::symLinkTarget(link) == server.slavePath())
        ::unlink(QFile::encodeName(link).constData());
    if (p.isSet("image-out")) {
        QFile out(p.value("image-out"));
        if (!out.open(QIODevice::WriteOnly) || out.write(bus.updateImage()) != bus.updateImage().size()
            || !out.flush())
            fail(QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString()), kExitFailure);
    }
    return rc;
}
