#pragma once
// Stand-ins for the two sides the device link writes to and reads from: the console's rows
// (recorded per row, as they would be shown) and the live settings (plain fields the test sets).

#include "link/drivelink.h"

#include <QMap>
#include <QString>

#include <memory>

// The rows, as the console would show them.
struct RecordedRows : RowSink {
    QMap<int, QString> text;
    QMap<int, Outcome> outcome;
    int enables = 0; // how often the Send buttons were enabled again
    void setResponseText(int row, const QString &t) override { text[row] = t; }
    void markRow(int row, Outcome o) override { outcome[row] = o; }
    void enableSendButtons() override { ++enables; }
};

// The settings window's choices at this moment.
struct LiveSettings : LinkSettings {
    framing::Mode mode = framing::Mode::DT;
    QString port = QStringLiteral("1");
    QString baud = QStringLiteral("38400");
    framing::Mode framingMode() override { return mode; }
    QString portNumberText() override { return port; }
    QString baudRateText() override { return baud; }
};

// A fresh link over `rows` and `live` (both cleared first) with the console's error texts and
// a receive time-out of `timeoutMs`.
std::unique_ptr<DriveLink> freshLink(RecordedRows &rows, LiveSettings &live, int timeoutMs);

// Sends `command` as a row press does (current command and row set, buffer emptied).
void sendFromRow(DriveLink &link, const QString &command, int row);

// An OEM frame, STX to ETX, with the XOR of its bytes after it as the checksum.
QByteArray withChecksum(const QByteArray &frame);

// Pumps events until the link has decoded a reply or reported a time-out, at most `msecs`.
// True if either happened.
bool waitForResult(DriveLink &link, int msecs = 3000);
