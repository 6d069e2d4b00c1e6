#include "app/settingsstore.h"

#include <QSettings>

namespace store {
namespace {

QString path(const QString &section, const QString &key) { return section + QLatin1Char('/') + key; }

// Organisation and application are both the application name, so the store is one file
// (Kestrelworks/Kestrelworks.conf) per user.
QSettings open(const QString &application) { return QSettings(application, application); }

} // namespace

QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText)
{
    return open(application).value(path(section, key), defaultText).toString();
}

bool contains(const QString &application, const QString &section, const QString &key)
{
    return open(application).contains(path(section, key));
}

void write(const QString &application, const QString &section, const QString &key,
           const QString &text)
{
    QSettings s = open(application);
    s.setValue(path(section, key), text);
    s.sync();
}

} // namespace store
