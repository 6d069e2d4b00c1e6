#include "support/tempstore.h"

#include "app/settingsstore.h"
#include "link/portmap.h"

#include <QFile>
#include <QSettings>

TempStore::TempStore()
{
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

TempStore::~TempStore() { clear(); }

QString TempStore::filePath() const
{
    return QSettings(store::kApplication, store::kApplication).fileName();
}

void TempStore::clear()
{
    QSettings s(store::kApplication, store::kApplication);
    s.clear();
    s.sync();
}

QString TempStore::value(const QString &section, const QString &key) const
{
    return QSettings(store::kApplication, store::kApplication).value(section + '/' + key).toString();
}

bool TempStore::contains(const QString &section, const QString &key) const
{
    return QSettings(store::kApplication, store::kApplication).contains(section + '/' + key);
}

void TempStore::set(const QString &section, const QString &key, const QString &text)
{
    store::write(store::kApplication, section, key, text);
}

void TempStore::mapPort(int n, const QString &path) { portmap::setOverride(n, path); }
