#pragma once
// The command file: 25 row strings and 500 pairs of sequence values, one value per line,
// CR LF line ends, one byte per character (Latin-1).
//
// Writing: a text is written in double quotes (embedded quotes as they are), a whole number as
// bare digits, a never-set value as an empty line. Reading takes one field after another: after
// any leading blanks, a field that begins with a double quote runs to the next double quote and
// the rest up to the next comma or line end is skipped; any other field runs to the next comma
// or line end. Every field read is a text.
//
// A quoted field that is never closed runs to the next double quote wherever it stands, across
// line ends, or to the end of the file.

#include "console/sequence.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>
#include <optional>

namespace commandfile {

constexpr int kRows = 25;
constexpr int kEntries = 500;

// Writes values one per line to an open file (or any device); false at the first write that fails.
class Writer {
public:
    explicit Writer(QIODevice &file) : m_file(file) {}
    bool write(const SequenceValue &value);
    bool writeText(const QString &text) { return write(SequenceValue(text)); }

private:
    QIODevice &m_file;
};

// Reads fields one after another from an open file (or any device), taking from it only what
// the fields need.
class Reader {
public:
    explicit Reader(QIODevice &device) : m_device(device) {}
    // The next field, or nullopt when the content has ended or cannot be read.
    std::optional<QString> next();

private:
    // The byte at the reading position, or -1 at the end (or a read error).
    int peek();
    void advance() { ++m_pos; }

    QIODevice &m_device;
    QByteArray m_chunk;
    qsizetype m_pos = 0;
    qint64 m_step = 2048; // doubled before each read, up to 64 KiB
    bool m_failed = false;
};

} // namespace commandfile
