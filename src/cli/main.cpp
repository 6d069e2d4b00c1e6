// quorvane-cli: the console's link to the drives, without windows, for scripts.
#include "app/termination.h"
#include "cli/client.h"
#include "cli/options.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Before the application object: --help and --version print at once, and a wrong usage
    // costs nothing.
    const cli::Parsed parsed = cli::parse(arguments);
    if (!parsed.options) {
        std::fprintf(stderr, "quorvane-cli: %s\nTry \"quorvane-cli --help\".\n", qUtf8Printable(parsed.error));
        return cli::kUsage;
    }
    const cli::Options &options = *parsed.options;
    if (options.mode == cli::Options::Mode::Help || options.mode == cli::Options::Mode::Version) {
        std::fputs(qUtf8Printable(options.mode == cli::Options::Mode::Help ? cli::helpText() : cli::versionText()), stdout);
        return cli::kGood;
    }

    // Qt's own event loop rather than GLib's: a client that waits on one port and stdin needs no
    // GLib sources, and Qt's loop makes about a third fewer system calls per command.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kestrelworks"));
    if (options.mode == cli::Options::Mode::ListPorts) {
        cli::listPorts();
        return cli::kGood;
    }
    cli::Client client(options);
    termination::install([&client](int) { client.interrupt(); });
    QMetaObject::invokeMethod(&client, &cli::Client::start, Qt::QueuedConnection);
    return app.exec();
}
