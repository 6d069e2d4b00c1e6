#include "app/settingsstore.h"

#include <QSettings>

#ifndef Q_OS_WIN
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>
#endif

namespace store {
namespace {

// Without windows a notice goes to stderr; the windowed program installs its message box.
void toStderr(const QString &text) { qWarning("%s", qUtf8Printable(text)); }
Notice notice = toStderr;

// Organisation and application are both the application name, so the store is one file
// (Kestrelworks/Kestrelworks.conf) or one registry key per user.
QSettings open(const QString &application) { return QSettings(application, application); }

} // namespace

void setNotice(Notice handler) { notice = handler ? handler : toStderr; }

#ifdef Q_OS_WIN

// The registry keeps strings as they are: nothing to parse, nothing to damage.
QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText)
{
    return open(application).value(section + QLatin1Char('/') + key, defaultText).toString();
}

void write(const QString &application, const QString &section, const QString &key,
           const QString &text)
{
    QSettings s = open(application);
    s.setValue(section + QLatin1Char('/') + key, text);
    s.sync();
}

#else

namespace {

// First line of every file this store writes. Without it the file may come from the older
// writer, whose quotes and escapes would read differently here.
const QByteArray kHeader = "; Each value is the exact text after the first \"=\" of its line.";

struct Line {
    enum Kind { Other, Section, Entry, Broken } kind = Other; // Other: blank or comment
    QByteArray raw; // as in the file, without the line end
    QString section; // Section: its name; Entry: the section it lies in
    QString key;
    QString value;
};

struct IniFile {
    QByteArray bytes;   // the whole file as read
    QList<Line> lines;
    bool clean = true;
};

bool isUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)QString(decoder(bytes));
    return !decoder.hasError();
}

QString sectionKey(const QString &section, const QString &key) { return section + QLatin1Char('\n') + key; }

IniFile parse(const QString &path)
{
    IniFile ini;
    QFile file(path);
    if (!file.exists())
        return ini;
    if (!file.open(QIODevice::ReadOnly)) {
        ini.clean = false; // there, but unreadable: nothing may be written over it
        return ini;
    }
    ini.bytes = file.readAll();
    QList<QByteArray> raws = ini.bytes.split('\n');
    if (ini.bytes.endsWith('\n') || ini.bytes.isEmpty())
        raws.removeLast();
    const bool ownFormat = !raws.isEmpty() && raws.first().chopped(raws.first().endsWith('\r')) == kHeader;
    QString section;
    QHash<QString, int> seen;
    for (QByteArray raw : std::as_const(raws)) {
        if (raw.endsWith('\r'))
            raw.chop(1);
        Line line{Line::Other, raw, {}, {}, {}};
        const QByteArray trimmed = raw.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('#')) {
            ini.lines.append(line);
            continue;
        }
        if (!isUtf8(raw))
            ini.clean = false;
        const QString text = QString::fromUtf8(raw);
        if (trimmed.startsWith('[')) {
            // An unclosed name still opens its section, so the keys under it stay where they are.
            const QString name = text.trimmed();
            const qsizetype close = name.indexOf(QLatin1Char(']'));
            if (close != name.size() - 1)
                ini.clean = false;
            section = name.mid(1, close < 0 ? -1 : close - 1).trimmed();
            line.kind = Line::Section;
            line.section = section;
        } else if (const qsizetype eq = text.indexOf(QLatin1Char('=')); eq > 0 && !text.left(eq).trimmed().isEmpty()) {
            line.kind = Line::Entry;
            line.section = section;
            line.key = text.left(eq).trimmed();
            line.value = text.mid(eq + 1);
            if (line.key.endsWith(QLatin1Char('%'))) {
                line.key.chop(1);
                line.value = QString::fromUtf8(QByteArray::fromPercentEncoding(line.value.toUtf8()));
            } else if (!ownFormat
                       && (line.value.startsWith(QLatin1Char('"')) || line.value.startsWith(QLatin1Char('@'))
                           || line.value.contains(QLatin1Char('\\')))) {
                ini.clean = false;
            }
            if (seen.contains(sectionKey(section, line.key)))
                ini.clean = false;
            seen.insert(sectionKey(section, line.key), int(ini.lines.size()));
        } else {
            line.kind = Line::Broken;
            ini.clean = false;
        }
        ini.lines.append(line);
    }
    return ini;
}

// Index of the line holding the key: the last one, as a key given twice is read.
qsizetype find(const IniFile &ini, const QString &section, const QString &key)
{
    for (qsizetype i = ini.lines.size() - 1; i >= 0; --i) {
        const Line &l = ini.lines[i];
        if (l.kind == Line::Entry && l.section == section && l.key == key)
            return i;
    }
    return -1;
}

QByteArray entryText(const Line &l)
{
    if (l.value.contains(QLatin1Char('\n')) || l.value.contains(QLatin1Char('\r')))
        return l.key.toUtf8() + "%=" + l.value.toUtf8().toPercentEncoding();
    return l.key.toUtf8() + '=' + l.value.toUtf8();
}

// The file's text: the header, then every line in its place. Lines that cannot be read, and
// the earlier of a key given twice, become comments; nothing is left out.
QByteArray serialise(const IniFile &ini)
{
    QByteArray out = kHeader + '\n';
    for (qsizetype i = 0; i < ini.lines.size(); ++i) {
        const Line &l = ini.lines[i];
        switch (l.kind) {
        case Line::Other:
            if (i > 0 || l.raw != kHeader)
                out += l.raw + '\n';
            break;
        case Line::Section:
            out += '[' + l.section.toUtf8() + "]\n";
            break;
        case Line::Entry:
            out += (find(ini, l.section, l.key) == i ? entryText(l) : "; " + l.raw) + '\n';
            break;
        case Line::Broken:
            out += "; " + l.raw + '\n';
            break;
        }
    }
    return out;
}

// Keeps a file that could not be read cleanly beside it, once for each content it had, and
// tells the user where. False when no copy could be made: then nothing may be written.
bool keepAside(const QString &path, const QByteArray &bytes)
{
    static QHash<QString, std::pair<QByteArray, bool>> kept;
    if (const auto it = kept.constFind(path); it != kept.cend() && it->first == bytes)
        return it->second;
    const QString stem = path + QStringLiteral(".damaged-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString copy = stem;
    for (int n = 2; QFileInfo::exists(copy); ++n)
        copy = stem + QLatin1Char('-') + QString::number(n);
    const bool ok = QFile::copy(path, copy);
    kept.insert(path, {bytes, ok});
    const QString text = ok
        ? QStringLiteral("The settings file %1 could not be read cleanly. It has been kept as %2, and the "
                         "settings are now saved in a clean file.").arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(copy))
        : QStringLiteral("The settings file %1 could not be read cleanly, and no copy of it could be kept. "
                         "The settings are not saved.").arg(QDir::toNativeSeparators(path));
    notice(text);
    return ok;
}

} // namespace

QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText)
{
    const IniFile ini = parse(open(application).fileName());
    const qsizetype i = find(ini, section, key);
    return i < 0 ? defaultText : ini.lines[i].value;
}

void write(const QString &application, const QString &section, const QString &key,
           const QString &text)
{
    const QString path = open(application).fileName();
    IniFile ini = parse(path);
    if (!ini.clean && !keepAside(path, ini.bytes))
        return;
    if (const qsizetype i = find(ini, section, key); i >= 0) {
        ini.lines[i].value = text;
    } else {
        // After the section's last line of its own, or as a new section at the end.
        qsizetype after = -1;
        for (qsizetype j = 0; j < ini.lines.size(); ++j)
            if ((ini.lines[j].kind == Line::Section || ini.lines[j].kind == Line::Entry) && ini.lines[j].section == section)
                after = j;
        if (after < 0) {
            if (!ini.lines.isEmpty() && !ini.lines.last().raw.trimmed().isEmpty())
                ini.lines.append(Line{});
            ini.lines.append(Line{Line::Section, {}, section, {}, {}});
            after = ini.lines.size() - 1;
        }
        ini.lines.insert(after + 1, Line{Line::Entry, {}, section, key, text});
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(serialise(ini));
        file.commit();
    }
}

#endif

} // namespace store
