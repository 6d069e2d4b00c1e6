#include "console/commandfile.h"

namespace commandfile {

bool Writer::write(const SequenceValue &value)
{
    QByteArray line;
    if (const int *n = std::get_if<int>(&value))
        line = QByteArray::number(*n);
    else if (const QString *s = std::get_if<QString>(&value))
        line = '"' + s->toLatin1() + '"';
    line += "\r\n";
    return m_file.write(line) == line.size();
}

namespace {
bool isLineEnd(int c) { return c == '\r' || c == '\n'; }
constexpr qint64 kChunk = 64 * 1024;
// A row holds at most 32767 characters; a longer field is read to its end but not kept whole.
constexpr qsizetype kMaxField = 64 * 1024;
void keep(QByteArray &field, int c)
{
    if (field.size() < kMaxField)
        field += char(c);
}
} // namespace

int Reader::peek()
{
    if (m_pos >= m_chunk.size()) {
        if (m_failed)
            return -1;
        // Reads grow from 4 KiB to 64 KiB into one buffer: a small file costs a small buffer.
        m_step = std::min(m_step * 2, kChunk);
        m_chunk.resize(m_step);
        const qint64 n = m_device.read(m_chunk.data(), m_step);
        m_chunk.resize(std::max<qint64>(n, 0));
        m_pos = 0;
        if (m_chunk.isEmpty()) {
            m_failed = true; // the end, or a read that failed: no more fields either way
            return -1;
        }
    }
    return static_cast<unsigned char>(m_chunk[m_pos]);
}

std::optional<QString> Reader::next()
{
    if (peek() < 0)
        return std::nullopt;
    while (peek() == ' ' || peek() == '\t')
        advance();

    QByteArray field;
    if (peek() == '"') {
        advance();
        for (int c = peek(); c >= 0 && c != '"'; c = peek()) {
            keep(field, c);
            advance();
        }
        if (peek() == '"')
            advance();
        for (int c = peek(); c >= 0 && c != ',' && !isLineEnd(c); c = peek())
            advance(); // what follows the closing quote is skipped
    } else {
        for (int c = peek(); c >= 0 && c != ',' && !isLineEnd(c); c = peek()) {
            keep(field, c);
            advance();
        }
    }

    // Consume the delimiter: a comma, or one line end (CR LF, CR or LF).
    const int delimiter = peek();
    if (delimiter == ',' || delimiter == '\n') {
        advance();
    } else if (delimiter == '\r') {
        advance();
        if (peek() == '\n')
            advance();
    }
    return QString::fromLatin1(field);
}

} // namespace commandfile
