#include "cli/options.h"

#include "app/numbers.h"
#include "app/settingsstore.h"
#include "link/baudrates.h"
#include "link/portmap.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

namespace cli {

int savedBaud()
{
    const auto index = numbers::toInt16(store::read(store::kApplication, "Settings", "BaudRate",
                                                    baudrates::kDefaultIndex));
    const QStringList &rates = baudrates::list();
    return rates[index && *index >= 0 && *index < rates.size() ? *index : baudrates::kDefaultIndex].toInt();
}

int savedTimeoutMs()
{
    const auto ms = numbers::toInt32(store::read(store::kApplication, "Settings", "RCVTimeout", 3000));
    return ms && *ms > 0 ? *ms : 3000;
}

QString versionText()
{
    return QStringLiteral("quorvane-cli %1.%2.%3\n")
        .arg(QUORVANE_VERSION_MAJOR).arg(QUORVANE_VERSION_MINOR).arg(QUORVANE_VERSION_REVISION);
}

QString helpText()
{
    return QStringLiteral(
        "Usage: quorvane-cli [OPTIONS] COMMAND...    send each command, each after the previous one\n"
        "                                            is answered or timed out\n"
        "       quorvane-cli [OPTIONS] -             the same, one command per line from stdin\n"
        "       quorvane-cli [OPTIONS] --file FILE [--repeat N]\n"
        "                                            play a command file's recorded sequence at its\n"
        "                                            recorded pace (N passes, 0 until interrupted)\n"
        "       quorvane-cli [--port PORT] --scan    find the drives: address, rate, framing, version\n"
        "       quorvane-cli --list-ports\n"
        "       quorvane-cli --help | --version\n"
        "\n"
        "Options:\n"
        "  --port PORT        COM1..COM16 (mapped as the console maps it), a device, or a port\n"
        "                     served over the network: rfc2217://HOST:PORT, socket://HOST:PORT.\n"
        "                     Default COM1.\n"
        "  --framing dt|oem   Default dt.\n"
        "  --baud N           Default: the rate saved by the settings window, else 38400.\n"
        "  --timeout MS       Reply time-out. Default: the saved one, else 3000. With --scan, the\n"
        "                     time-out of each probe (default 100, at most 150).\n"
        "  --json             One JSON object per line instead of text.\n"
        "  --log FILE         Append every byte of the session to FILE as the traffic monitor's CSV.\n"
        "\n"
        "Output: one line per command, COMMAND<TAB>what the console's row would show.\n"
        "Exit status: 0 all answered without error, 1 an error code in a reply, 3 a time-out,\n"
        "4 the port could not be opened, 2 wrong usage, 130 interrupted.\n");
}

namespace {

// A whole number in [lo, hi] from an option's text.
std::optional<int> number(const QString &text, int lo, int hi)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= lo && n <= hi ? std::optional<int>(n) : std::nullopt;
}

Parsed wrong(const QString &error) { return {std::nullopt, error}; }

} // namespace

Parsed parse(const QStringList &arguments)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QList<QCommandLineOption> all = {
        {"port", "", "PORT"}, {"framing", "", "MODE"}, {"baud", "", "N"},   {"timeout", "", "MS"},
        {"json", ""},         {"log", "", "FILE"},     {"file", "", "FILE"}, {"repeat", "", "N"},
        {"scan", ""},         {"list-ports", ""},      {{"h", "help"}, ""}, {{"V", "version"}, ""},
    };
    p.addOptions(all);
    if (!p.parse(QStringList{QStringLiteral("quorvane-cli")} + arguments))
        return wrong(p.errorText());

    Options o;
    if (p.isSet("help")) {
        o.mode = Options::Mode::Help;
        return {o, {}};
    }
    if (p.isSet("version")) {
        o.mode = Options::Mode::Version;
        return {o, {}};
    }

    // What to do: exactly one of commands, "-", --file, --scan, --list-ports.
    const QStringList positional = p.positionalArguments();
    const int modes = int(!positional.isEmpty()) + int(p.isSet("file")) + int(p.isSet("scan"))
        + int(p.isSet("list-ports"));
    if (modes == 0)
        return wrong(QStringLiteral("nothing to do: give commands, \"-\", --file, --scan or --list-ports"));
    if (modes > 1)
        return wrong(QStringLiteral("commands, \"-\", --file, --scan and --list-ports do not go together"));
    if (p.isSet("list-ports")) {
        if (p.optionNames().size() > 1)
            return wrong(QStringLiteral("--list-ports takes no other option"));
        o.mode = Options::Mode::ListPorts;
        return {o, {}};
    }
    if (p.isSet("scan")) {
        o.mode = Options::Mode::Scan;
        if (p.isSet("framing") || p.isSet("repeat"))
            return wrong(QStringLiteral("--scan tries both framings, once"));
    } else if (p.isSet("file")) {
        o.mode = Options::Mode::File;
        o.file = p.value("file");
    } else if (positional == QStringList{QStringLiteral("-")}) {
        o.mode = Options::Mode::Stdin;
    } else {
        for (const QString &c : positional)
            if (!c.startsWith(QLatin1Char('/')))
                return wrong(QStringLiteral("\"%1\" is not a command: a command begins with \"/\"").arg(c));
        o.commands = positional;
    }
    if (p.isSet("repeat")) {
        if (o.mode != Options::Mode::File)
            return wrong(QStringLiteral("--repeat goes with --file"));
        const auto n = number(p.value("repeat"), 0, 1 << 30);
        if (!n)
            return wrong(QStringLiteral("--repeat wants a number of passes, 0 for ever"));
        o.repeat = *n;
    }

    if (p.isSet("port")) {
        const QString port = p.value("port");
        const auto com = QRegularExpression(QStringLiteral("^COM([0-9]+)$"), QRegularExpression::CaseInsensitiveOption)
                             .match(port);
        if (com.hasMatch()) {
            const auto n = number(com.captured(1), 1, 16);
            if (!n)
                return wrong(QStringLiteral("--port: COM1 to COM16, or a device"));
            o.comNumber = *n;
        } else if (port.contains(QLatin1Char('/'))) {
            o.devicePath = port;
            // A device some COM number already stands for goes by that number.
            const QString canonical = QFileInfo(port).canonicalFilePath();
            o.comNumber = 0;
            const store::Transaction stored; // the port overrides read once
            for (int n = 1; n <= 16 && o.comNumber == 0; ++n) {
                const QString path = portmap::devicePath(n);
                if (path == port || (!canonical.isEmpty() && QFileInfo(path).canonicalFilePath() == canonical))
                    o.comNumber = n;
            }
        } else {
            return wrong(QStringLiteral("--port: COM1 to COM16, or a device such as /dev/ttyUSB0"));
        }
    }
    if (p.isSet("framing")) {
        const QString f = p.value("framing").toLower();
        if (f != QLatin1String("dt") && f != QLatin1String("oem"))
            return wrong(QStringLiteral("--framing: dt or oem"));
        o.framing = f == QLatin1String("oem") ? framing::Mode::OEM : framing::Mode::DT;
    }
    if (p.isSet("baud")) {
        const auto n = number(p.value("baud"), 50, 4000000);
        if (!n)
            return wrong(QStringLiteral("--baud wants a line rate such as 9600"));
        o.baud = *n;
    } else {
        o.baud = savedBaud();
    }
    if (p.isSet("timeout")) {
        const auto n = number(p.value("timeout"), 1, 86400000);
        if (!n)
            return wrong(QStringLiteral("--timeout wants milliseconds, 1 or more"));
        o.timeoutMs = *n;
    } else {
        o.timeoutMs = o.mode == Options::Mode::Scan ? 100 : savedTimeoutMs();
    }
    if (o.mode == Options::Mode::Scan)
        o.timeoutMs = std::min(o.timeoutMs, 150);
    o.json = p.isSet("json");
    o.log = p.value("log");
    return {o, {}};
}

} // namespace cli
