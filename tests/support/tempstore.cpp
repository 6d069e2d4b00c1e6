#include "support/tempstore.h"

#include "app/settingsstore.h"
#include "link/portmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

TempStore::TempStore()
{
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

QString TempStore::filePath() const
{
    return QSettings(store::kApplication, store::kApplication).fileName();
}

void TempStore::clear() { QDir(QFileInfo(filePath()).absolutePath()).removeRecursively(); }

QByteArray TempStore::text() const
{
    QFile f(filePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TempStore::setText(const QByteArray &text)
{
    QDir().mkpath(QFileInfo(filePath()).absolutePath());
    QFile f(filePath());
    if (f.open(QIODevice::WriteOnly))
        f.write(text);
}

QString TempStore::value(const QString &section, const QString &key) const
{
    QString current, found;
    for (const QString &line : QString::fromUtf8(text()).split('\n')) {
        if (line.startsWith('['))
            current = line.mid(1, line.indexOf(']') - 1);
        else if (current == section && line.startsWith(key + '='))
            found = line.mid(key.size() + 1);
    }
    return found;
}

QStringList TempStore::copies() const
{
    const QFileInfo file(filePath());
    QStringList names = QDir(file.absolutePath()).entryList(QDir::Files);
    names.removeAll(file.fileName());
    return names;
}

void TempStore::set(const QString &section, const QString &key, const QString &text)
{
    store::write(store::kApplication, section, key, text);
}

void TempStore::mapPort(int n, const QString &path) { portmap::setOverride(n, path); }
