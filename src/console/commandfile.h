#pragma once
// The command file: 25 row strings and 500 pairs of sequence values, one value per line,
// CR LF line ends, one byte per character (Latin-1).
//
// Writing: a text is written in double quotes (embedded quotes as they are), a whole number as
// bare digits, a never-set value as an empty line. Reading takes one field after another: after
// any leading blanks, a field that begins with a double quote runs to the next double quote and
// the rest up to the next comma or line end is skipped; any other field runs to the next comma
// or line end. Every field read is a text.

#include "console/sequence.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <optional>

namespace commandfile {

constexpr int kRows = 25;
constexpr int kEntries = 500;

// Writes values one per line to an open file; false at the first write that fails.
class Writer {
public:
    explicit Writer(QFile &file) : m_file(file) {}
    bool write(const SequenceValue &value);
    bool writeText(const QString &text) { return write(SequenceValue(text)); }

private:
    QFile &m_file;
};

// Reads fields one after another from the whole content of a file.
class Reader {
public:
    explicit Reader(QByteArray content) : m_data(std::move(content)) {}
    // The next field, or nullopt when the content has ended.
    std::optional<QString> next();

private:
    QByteArray m_data;
    qsizetype m_pos = 0;
};

} // namespace commandfile
