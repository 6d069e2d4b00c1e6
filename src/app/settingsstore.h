#pragma once
// The per-user settings store: application -> section -> key -> text.
//
// A read names a default and yields its text when the key is absent; a write creates or
// replaces the value. Nothing is ever deleted. The medium is QSettings' native per-user
// store (an INI file under the user's config folder on Linux, the registry on Windows).

#include <QString>
#include <QVariant>

namespace store {

inline const QString kApplication = QStringLiteral("Kestrelworks");

// Reads (application, section, key); the default's text when absent.
QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText);
inline QString read(const QString &application, const QString &section, const QString &key,
                    long long defaultValue)
{
    return read(application, section, key, QString::number(defaultValue));
}
// True when the key exists.
bool contains(const QString &application, const QString &section, const QString &key);
void write(const QString &application, const QString &section, const QString &key,
           const QString &text);

} // namespace store
