#pragma once
// COM port discovery for the settings window: probing COM1 to COM16 with the console's own
// port object, the list entries that show the result, and picking an entry by the pointer.

#include <QPoint>
#include <QString>
#include <cstdint>

class CommPort;
class QListWidget;

namespace portdiscovery {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;

inline const QString kAvailable = QStringLiteral("  available");
inline const QString kNotAvailable = QStringLiteral("  (not available or no such port)");

// Packs two 16-bit values into one 32-bit value, lo in the low half, hi in the high half.
int32_t MakeLong(int lo, int hi);
// The low 16 bits of a 32-bit value, as a signed 16-bit number.
int16_t LoWord(int32_t v);
// The high 16 bits of a 32-bit value, as a signed 16-bit number.
int16_t HiWord(int32_t v);

// Probes port n on the given port object: sets its number, refuses when it is open, else asks
// the port whether an open would succeed (CommPort::probe, which looks and changes nothing of
// the device). Every failure is "not available". The port number is not restored.
bool PortAvailable(CommPort &port, int n);
// The same on the console's port (creating the console if need be).
bool PortAvailable(int n);

// Entry text for port n: "COM<n>" and one of the two suffixes.
QString entryText(int n, bool available);

// Appends the 16 entries, probing each port in turn on the given port object (the caller has
// cleared the list). Each entry's tooltip names the device behind the number and, where the
// system knows the device, its description, manufacturer and serial number; for a port that is
// not available, it then says why, as far as the system tells (portreason). That reason is also
// the entry's accessible description (Qt::AccessibleDescriptionRole), empty for a port that is
// available. Tooltip and description are made when first asked for, not by the scan.
void ScanPorts(CommPort &port, QListWidget *list);
// The same on the console's port.
void ScanPorts(QListWidget *list);

// The list's item-from-point query. `point` is MakeLong(x, y) in the viewport's coordinates.
// The answer's low half is the index of the entry nearest to the point, its high half 1 when
// the point lies outside the viewport, else 0. -1 when the list has no entries.
int32_t itemFromPoint(const QListWidget *list, int32_t point);
// Index of the entry nearest to a viewport point (-1 for an empty list).
int nearestEntry(const QListWidget *list, QPoint viewportPoint);

} // namespace portdiscovery
