#pragma once
// Files of the traffic: CSV (as the log writes it) and pcapng for Wireshark, one packet per row
// written or received (link type USER0, the direction in each packet's flags, microsecond
// times). No widget: the window's "Save..." and a command-line log share these.

#include "monitor/trafficstore.h"

#include <QByteArray>
#include <QString>
#include <vector>

namespace monitor {

enum class CaptureFormat { Csv, Pcapng };

constexpr quint16 kLinkTypeUser0 = 147;

// The file type a save dialog offers for each format, in Qt's filter form.
QString captureFilter(CaptureFormat format);
// The format of a file to be saved: a name ending in ".pcapng" or ".csv" decides it whatever
// type was selected; a name with no suffix gets the selected type's.
CaptureFormat captureFormat(QString &path, const QString &selectedFilter);

// The section header and the one interface of a pcapng file.
QByteArray pcapngHeader();
// A row as an enhanced packet block; empty for an event row.
QByteArray pcapngPacket(const TrafficStore &store, const Row &row);

// Writes the rows to the file in the format; false when any of it cannot be written.
bool writeCapture(const QString &path, CaptureFormat format, const TrafficStore &store,
                  const std::vector<const Row *> &rows);

} // namespace monitor
