#pragma once
// A real settings store in a temporary folder: QSettings' user scope is pointed there for the
// object's lifetime, so tests never touch the user's own settings.

#include <QString>
#include <QTemporaryDir>

class TempStore {
public:
    TempStore();
    ~TempStore();
    QString folder() const { return m_dir.path(); }
    // The store file QSettings writes for the application.
    QString filePath() const;
    // Removes every stored value.
    void clear();
    // Raw access to what is stored, for assertions.
    QString value(const QString &section, const QString &key) const;
    bool contains(const QString &section, const QString &key) const;
    void set(const QString &section, const QString &key, const QString &text);
    // Maps COM<n> to a device path (the "Ports" override).
    void mapPort(int comNumber, const QString &devicePath);

private:
    QTemporaryDir m_dir;
};
