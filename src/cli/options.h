#pragma once
// quorvane-cli's command line: what to do, on which port, how, and the defaults the settings
// window saved (line rate and reply time-out), read from the store without writing it.

#include "link/framing.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace cli {

struct Options {
    enum class Mode { Commands, Stdin, File, Scan, ListPorts, Help, Version };
    Mode mode = Mode::Commands;
    QStringList commands;     // Commands: as given
    QString file;             // File: the command file
    int repeat = 1;           // File: passes, 0 for ever
    int comNumber = 1;        // the COM number the port goes by (0: a device outside COM1..16)
    QString devicePath;       // --port given as a device (empty: the COM number's own device)
    framing::Mode framing = framing::Mode::DT;
    int baud = 0;
    int timeoutMs = 0;
    bool json = false;
    QString log;
};

struct Parsed {
    std::optional<Options> options; // nullopt: wrong usage, `error` says what
    QString error;
};

// Parses the arguments (without the program's name). Reads the store only for the defaults
// of what is not given, so --help and --version never touch it.
Parsed parse(const QStringList &arguments);

// The line rate and reply time-out the settings window saved, or the console's own defaults
// (38400, 3000) where nothing usable is stored.
int savedBaud();
int savedTimeoutMs();

QString helpText();
QString versionText();

} // namespace cli
