#pragma once
// A real settings store in a temporary folder: QSettings' user scope is pointed there for the
// object's lifetime, so tests never touch the user's own settings. Tests look at the file's
// text directly, never through the store they check.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TempStore {
public:
    TempStore();
    ~TempStore() { clear(); }
    QString folder() const { return m_dir.path(); }
    // The store file: QSettings' native per-user file of the application.
    QString filePath() const;
    // Removes the store file and every copy kept beside it.
    void clear();
    // The file as it is on disk (empty when there is none), or written as by hand.
    QByteArray text() const;
    void setText(const QByteArray &text);
    // The text after "=" on the key's line in its section; empty when there is none.
    QString value(const QString &section, const QString &key) const;
    // Names of the other files beside the store file (copies kept aside).
    QStringList copies() const;
    // Stores a value through the program's store.
    void set(const QString &section, const QString &key, const QString &text);
    // Maps COM<n> to a device path (the "Ports" override).
    void mapPort(int comNumber, const QString &devicePath);

private:
    QTemporaryDir m_dir;
};
