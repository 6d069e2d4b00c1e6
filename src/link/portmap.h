#pragma once
// COM number -> device. A per-user override in the store (section "Ports", key "COM<n>") wins;
// otherwise "COM<n>" on Windows, and on Linux COM1-4 are /dev/ttyS0-3, COM5-12 /dev/ttyUSB0-7
// and COM13-16 /dev/ttyACM0-3, so a USB adapter keeps its number across restarts.

#include <QString>

namespace portmap {

QString devicePath(int comNumber);
// The device for a number without looking at the override (empty when the number has none).
QString defaultDevicePath(int comNumber);
// Stores the per-user override for COM<n>.
void setOverride(int comNumber, const QString &devicePath);
// Makes COM<n> stand for the device in this process alone, over the stored override, without
// writing the store (a device named on a command line); an empty path lifts it.
void setSessionDevice(int comNumber, const QString &devicePath);

} // namespace portmap
