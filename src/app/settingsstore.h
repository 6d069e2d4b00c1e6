#pragma once
// The per-user settings store: application -> section -> key -> text.
//
// A read names a default and yields its text when the key is absent; a write creates or
// replaces the value. Nothing is ever deleted. On Windows the store is QSettings' registry.
// Elsewhere it is an INI file at QSettings' native per-user path
// (~/.config/<application>/<application>.conf), read and written here:
//
// - A value is the exact text after the first "=" of its line: no list splitting at commas,
//   no "@" types, no quotes or backslash escapes, blanks kept. A value holding a line break (or
//   of an odd key read from a hand-made file) is written percent-encoded on a line "key%=...".
// - A write keeps every other line of the file as it is (unknown keys and sections, comments)
//   and replaces the file atomically. Keys new to a section go after its last key, so an empty
//   store is written in the order of the writes.
// - A file that cannot be read cleanly (a line that is no section, key or comment, an unclosed
//   section name, bytes that are not UTF-8, a key twice in one section, or a value in the
//   quoted or escaped form of the older writer) is copied to "<file>.damaged-<date>-<time>"
//   before the first write, and a message names the copy. The write then leaves the file clean:
//   lines it cannot read become comments.
//
// The file is touched once per Transaction: read when it begins, written (if anything was
// written) when it commits. The plain read() and write() below are transactions of one call,
// or take part in the transaction open at that moment.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class QSettings;

namespace store {

inline const QString kApplication = QStringLiteral("Kestrelworks");

// The store file's text apart from any file: parsed from bytes, changed, and written back out.
class Document {
public:
    explicit Document(const QByteArray &bytes = {});
    // False when the text could not be read cleanly (see above).
    bool clean() const { return m_clean; }
    std::optional<QString> value(const QString &section, const QString &key) const;
    void setValue(const QString &section, const QString &key, const QString &text);
    // The file's text: a header line, then every line in its place. Lines that cannot be read,
    // and the earlier of a key given twice, become comments; nothing is left out.
    QByteArray text() const;

private:
    struct Line {
        enum Kind { Other, Section, Entry, Broken } kind = Other; // Other: blank or comment
        qsizetype start = 0, length = -1; // the line in the file read, without its end; -1: a new line
        bool shadowed = false; // an entry whose key is given again further down
        QString section; // Section: its name; Entry: the section it lies in
        QString key;
        QString value;
    };
    qsizetype find(const QString &section, const QString &key) const;
    QByteArrayView raw(const Line &line) const;

    QByteArray m_bytes; // the text read
    QList<Line> m_lines;
    bool m_clean = true;
};

// One read-modify-write of the store. The file is read as the transaction begins; reads and
// writes then work on that copy, and commit() replaces the file once. A transaction begun while
// another of the same application is open takes part in that one: it reads what the open one
// holds and leaves the writing to it. Uncommitted writes are committed when the transaction
// that owns them ends. Runs on the user-interface thread only.
class Transaction {
public:
    explicit Transaction(const QString &application = kApplication);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    QString read(const QString &section, const QString &key, const QString &defaultText) const;
    QString read(const QString &section, const QString &key, long long defaultValue) const
    {
        return read(section, key, QString::number(defaultValue));
    }
    void write(const QString &section, const QString &key, const QString &text);

    // Writes the store when anything was written since it was read. False when it could not:
    // the previous file stays as it was, and errorString() says why, naming the file.
    bool commit();
    QString errorString() const { return m_error; }

private:
    Transaction &owner() { return m_joined ? *m_joined : *this; }
    const Transaction &owner() const { return m_joined ? *m_joined : *this; }

    QString m_application;
    Transaction *m_joined = nullptr;   // the open transaction this one takes part in
    Transaction *m_previous = nullptr; // the transaction open before this one began
    bool m_dirty = false;
    QString m_error;
#ifdef Q_OS_WIN
    std::unique_ptr<QSettings> m_settings;
#else
    QString m_path;
    QByteArray m_bytes; // the file as read
    bool m_unreadable = false;
    Document m_document;
#endif
};

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
