#pragma once
// The per-user settings store: application -> section -> key -> text.
//
// A read names a default and yields its text when the key is absent; a write creates or
// replaces the value. Nothing is ever deleted. On Windows the store is QSettings' registry.
// Elsewhere it is an INI file at QSettings' native per-user path
// (~/.config/<application>/<application>.conf), read and written here:
//
// - A value is the exact text after the first "=" of its line: no list splitting at commas,
//   no "@" types, no quotes or backslash escapes, blanks kept. A value holding a line break is
//   written percent-encoded on a line "key%=...".
// - A write keeps every other line of the file as it is (unknown keys and sections, comments)
//   and replaces the file atomically. Keys new to a section go after its last key, so an empty
//   store is written in the order of the writes.
// - A file that cannot be read cleanly (a line that is no section, key or comment, an unclosed
//   section name, bytes that are not UTF-8, a key twice in one section, or a value in the
//   quoted or escaped form of the older writer) is copied to "<file>.damaged-<date>-<time>"
//   before the first write, and a message names the copy. The write then leaves the file clean:
//   lines it cannot read become comments.

#include <QString>

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
void write(const QString &application, const QString &section, const QString &key,
           const QString &text);

// How the store tells the user something (that a damaged file was kept aside): on stderr
// unless a program installs its own way (the console: a message box); nullptr restores stderr.
using Notice = void (*)(const QString &text);
void setNotice(Notice handler);

} // namespace store
