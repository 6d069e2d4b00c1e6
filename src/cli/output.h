#pragma once
// quorvane-cli's lines: one per command, as text (the command, a TAB, what the console's row
// would show) or as one JSON object; and one per drive a scan finds.

#include <QByteArray>
#include <QString>

namespace cli {

struct Result {
    enum class Kind { Reply, TimedOut, Overtaken };
    Kind kind = Kind::Reply;
    QString command;
    QString rowText; // what the console's row shows
    QString data;
    int error = 0;   // the error code in force after the reply
    QString text;    // its status text, without the leading blank
    bool ready = false;
    double ms = 0;   // from the command's last byte written to the reply's completion
};

// The line for one command, with its line end.
QByteArray line(const Result &result, bool json);
// The line for one drive a scan found, with its line end.
QByteArray scanLine(int baud, bool oem, const QString &address, const QString &version, bool json);

// A JSON string, quotes included.
QByteArray jsonString(const QString &text);

} // namespace cli
