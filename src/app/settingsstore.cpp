#include "app/settingsstore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>

namespace store {
namespace {

// Without windows a notice goes to stderr; the windowed program installs its message box.
void toStderr(const QString &text) { qWarning("%s", qUtf8Printable(text)); }
Notice notice = toStderr;

// First line of every file this store writes. Without it the file may come from the older
// writer, whose quotes and escapes would read differently here.
const QByteArray kHeader = "; Each value is the exact text after the first \"=\" of its line.";

QString sectionKey(const QString &section, const QString &key) { return section + QLatin1Char('\n') + key; }

// The transaction open at this moment, innermost first (one thread: the user interface's).
Transaction *g_open = nullptr;

QString saveFailure(const QString &where, const QString &reason)
{
    return QStringLiteral("Could not save the settings to %1: %2. The settings file is left as it was.").arg(where, reason);
}

} // namespace

void setNotice(Notice handler) { notice = handler ? handler : toStderr; }

// ---- The text ----

Document::Document(const QByteArray &bytes) : m_bytes(bytes)
{
    QString section;
    QHash<QString, qsizetype> seen; // the line each key was last found on
    bool ownFormat = false;
    for (qsizetype start = 0; start < bytes.size();) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        const qsizetype length = end - start - (end > start && bytes[end - 1] == '\r');
        Line line{Line::Other, start, length, false, {}, {}, {}};
        const QByteArrayView text8(bytes.constData() + start, length), trimmed = text8.trimmed();
        if (start == 0)
            ownFormat = text8 == QByteArrayView(kHeader);
        start = end + 1;
        if (trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('#')) {
            m_lines.append(line);
            continue;
        }
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder(text8);
        if (decoder.hasError())
            m_clean = false;
        if (trimmed.startsWith('[')) {
            // An unclosed name still opens its section, so the keys under it stay where they are.
            const QStringView name = QStringView(text).trimmed();
            const qsizetype close = name.indexOf(QLatin1Char(']'));
            if (close != name.size() - 1)
                m_clean = false;
            section = name.mid(1, close < 0 ? -1 : close - 1).trimmed().toString();
            line.kind = Line::Section;
            line.section = section;
        } else if (const qsizetype eq = text.indexOf(QLatin1Char('=')); eq > 0 && !QStringView(text).left(eq).trimmed().isEmpty()) {
            line.kind = Line::Entry;
            line.section = section;
            line.key = QStringView(text).left(eq).trimmed().toString();
            line.value = text.mid(eq + 1);
            if (line.key.endsWith(QLatin1Char('%'))) {
                line.key.chop(1);
                line.value = QString::fromUtf8(QByteArray::fromPercentEncoding(line.value.toUtf8()));
            } else if (!ownFormat
                       && (line.value.startsWith(QLatin1Char('"')) || line.value.startsWith(QLatin1Char('@'))
                           || line.value.contains(QLatin1Char('\\')))) {
                m_clean = false;
            }
            // A key given twice is read from its last line; the earlier one is kept as a comment.
            qsizetype &last = seen[sectionKey(section, line.key)];
            if (last > 0) {
                m_lines[last - 1].shadowed = true;
                m_clean = false;
            }
            last = m_lines.size() + 1; // 0: not seen before
        } else {
            line.kind = Line::Broken;
            m_clean = false;
        }
        m_lines.append(line);
    }
}

QByteArrayView Document::raw(const Line &l) const
{
    return l.length < 0 ? QByteArrayView() : QByteArrayView(m_bytes.constData() + l.start, l.length);
}

// Index of the line holding the key: the last one, as a key given twice is read.
qsizetype Document::find(const QString &section, const QString &key) const
{
    for (qsizetype i = m_lines.size() - 1; i >= 0; --i) {
        const Line &l = m_lines[i];
        if (l.kind == Line::Entry && l.key == key && l.section == section)
            return i;
    }
    return -1;
}

std::optional<QString> Document::value(const QString &section, const QString &key) const
{
    const qsizetype i = find(section, key);
    return i < 0 ? std::nullopt : std::optional<QString>(m_lines[i].value);
}

void Document::setValue(const QString &section, const QString &key, const QString &text)
{
    if (const qsizetype i = find(section, key); i >= 0) {
        m_lines[i].value = text;
        return;
    }
    // After the section's last line of its own, or as a new section at the end.
    qsizetype after = -1;
    for (qsizetype j = 0; j < m_lines.size(); ++j)
        if ((m_lines[j].kind == Line::Section || m_lines[j].kind == Line::Entry) && m_lines[j].section == section)
            after = j;
    if (after < 0) {
        // A blank line before it, unless there is one (lines made here have no raw text).
        if (const Line *l = m_lines.isEmpty() ? nullptr : &m_lines.last();
            l && (l->kind != Line::Other || !raw(*l).trimmed().isEmpty()))
            m_lines.append(Line{});
        m_lines.append(Line{Line::Section, 0, -1, false, section, {}, {}});
        after = m_lines.size() - 1;
    }
    m_lines.insert(after + 1, Line{Line::Entry, 0, -1, false, section, key, text});
}

QByteArray Document::text() const
{
    // A line kept as it was loses the carriage returns at its end: one of them would be read as
    // part of the line end the next time, so the file would change with every write.
    QByteArray out;
    out.reserve(m_bytes.size() + 1024);
    const auto keep = [&out](QByteArrayView line) {
        while (line.endsWith('\r'))
            line.chop(1);
        out.append(line).append('\n');
    };
    out.append(kHeader).append('\n');
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Line &l = m_lines[i];
        switch (l.kind) {
        case Line::Other:
            if (i > 0 || raw(l) != QByteArrayView(kHeader))
                keep(raw(l));
            break;
        case Line::Section:
            out.append('[').append(l.section.toUtf8()).append("]\n");
            break;
        case Line::Entry:
            if (l.shadowed)
                out.append("; "), keep(raw(l));
            else if (l.value.contains(QLatin1Char('\n')) || l.value.contains(QLatin1Char('\r'))
                     || l.key.isEmpty() || l.key.endsWith(QLatin1Char('%')) || l.key.back().isSpace())
                // (a key that plain would read as another: none, the encoded form's, blanks cut off)
                out.append(l.key.toUtf8()).append("%=").append(l.value.toUtf8().toPercentEncoding()).append('\n');
            else
                out.append(l.key.toUtf8()).append('=').append(l.value.toUtf8()).append('\n');
            break;
        case Line::Broken:
            out.append("; "), keep(raw(l));
            break;
        }
    }
    return out;
}

// ---- The transaction ----

#ifndef Q_OS_WIN
namespace {

// QSettings' per-user file of the application, found without reading it (QSettings reads its
// file as it is constructed): the folder of a sibling file that does not exist.
QString filePath(const QString &application)
{
    const QString probe = QSettings(application, QStringLiteral(".quorvane-path")).fileName();
    return QFileInfo(probe).absolutePath() + QLatin1Char('/') + application + QStringLiteral(".conf");
}

// Keeps a file that could not be read cleanly beside it, once for each content it had, and
// tells the user where. Returns an empty text, or why no copy could be made: then nothing may
// be written.
QString keepAside(const QString &path, const QByteArray &bytes)
{
    static QHash<QString, QByteArray> kept; // what was last kept of each file
    if (const auto it = kept.constFind(path); it != kept.cend() && *it == bytes)
        return {};
    const QString stem = path + QStringLiteral(".damaged-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString copy = stem;
    for (int n = 2; QFileInfo::exists(copy); ++n)
        copy = stem + QLatin1Char('-') + QString::number(n);
    QFile original(path);
    if (!original.copy(copy))
        return QStringLiteral("The settings file %1 could not be read cleanly, and no copy of it could be kept (%2). "
                              "The settings are not saved.")
            .arg(QDir::toNativeSeparators(path), original.errorString());
    kept.insert(path, bytes);
    notice(QStringLiteral("The settings file %1 could not be read cleanly. It has been kept as %2, and the "
                          "settings are now saved in a clean file.")
               .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(copy)));
    return {};
}

} // namespace
#endif

Transaction::Transaction(const QString &application) : m_application(application), m_previous(g_open)
{
    for (Transaction *t = g_open; t; t = t->m_previous)
        if (!t->m_joined && t->m_application == application) {
            m_joined = t;
            break;
        }
    g_open = this;
    if (m_joined)
        return;
#ifdef Q_OS_WIN
    // Organisation and application are both the application name: one registry key per user.
    m_settings = std::make_unique<QSettings>(application, application);
#else
    m_path = filePath(application);
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly)) {
        m_bytes = file.readAll();
        m_document = Document(m_bytes);
    } else {
        // There, but unreadable: it cannot be kept aside either, so nothing is written over it.
        m_unreadable = file.exists();
    }
#endif
}

Transaction::~Transaction()
{
    if (!m_joined && m_dirty)
        commit();
    g_open = m_previous;
}

QString Transaction::read(const QString &section, const QString &key, const QString &defaultText) const
{
    const Transaction &t = owner();
#ifdef Q_OS_WIN
    return t.m_settings->value(section + QLatin1Char('/') + key, defaultText).toString();
#else
    return t.m_document.value(section, key).value_or(defaultText);
#endif
}

void Transaction::write(const QString &section, const QString &key, const QString &text)
{
    Transaction &t = owner();
    t.m_dirty = true;
#ifdef Q_OS_WIN
    t.m_settings->setValue(section + QLatin1Char('/') + key, text);
#else
    t.m_document.setValue(section, key, text);
#endif
}

bool Transaction::commit()
{
    if (m_joined || !m_dirty)
        return true;
    m_dirty = false;
    m_error.clear();
#ifdef Q_OS_WIN
    // The registry keeps strings as they are: nothing to parse, nothing to damage.
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        m_error = saveFailure(m_settings->fileName(), QStringLiteral("access denied"));
#else
    if (m_unreadable || !m_document.clean())
        m_error = keepAside(m_path, m_bytes);
    if (!m_error.isEmpty())
        return false;
    const QByteArray text = m_document.text();
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    // Unbuffered, so a full disk fails the write itself: a buffered write would only fail as the
    // file is committed, and the commit would then put the short file in place of the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(text) != text.size() || !file.commit()) {
        m_error = saveFailure(QDir::toNativeSeparators(m_path), file.errorString());
        return false;
    }
    m_bytes = text;
    m_unreadable = false;
    m_document = Document(text);
#endif
    return m_error.isEmpty();
}

QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText)
{
    return Transaction(application).read(section, key, defaultText);
}

void write(const QString &application, const QString &section, const QString &key,
           const QString &text)
{
    Transaction t(application);
    t.write(section, key, text);
    t.commit();
}

} // namespace store
