#include "link/portmap.h"

#include "app/settingsstore.h"

#include <QHash>

namespace portmap {
namespace {
QString key(int n) { return QStringLiteral("COM%1").arg(n); }
const QString kSection = QStringLiteral("Ports");
QHash<int, QString> &sessionDevices()
{
    static QHash<int, QString> devices;
    return devices;
}
} // namespace

QString defaultDevicePath(int n)
{
#ifdef Q_OS_WIN
    return n >= 1 ? key(n) : QString();
#else
    if (n >= 1 && n <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    if (n >= 5 && n <= 12)
        return QStringLiteral("/dev/ttyUSB%1").arg(n - 5);
    if (n >= 13 && n <= 16)
        return QStringLiteral("/dev/ttyACM%1").arg(n - 13);
    return QString();
#endif
}

QString devicePath(int n)
{
    if (const auto it = sessionDevices().constFind(n); it != sessionDevices().cend())
        return *it;
    const QString override = store::read(store::kApplication, kSection, key(n), QString());
    return override.isEmpty() ? defaultDevicePath(n) : override;
}

void setOverride(int n, const QString &path) { store::write(store::kApplication, kSection, key(n), path); }

void setSessionDevice(int n, const QString &path)
{
    if (path.isEmpty())
        sessionDevices().remove(n);
    else
        sessionDevices().insert(n, path);
}

} // namespace portmap
