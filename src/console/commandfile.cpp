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
bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
} // namespace

std::optional<QString> Reader::next()
{
    const qsizetype n = m_data.size();
    if (m_pos >= n)
        return std::nullopt;
    while (m_pos < n && (m_data[m_pos] == ' ' || m_data[m_pos] == '\t'))
        ++m_pos;

    QByteArray field;
    if (m_pos < n && m_data[m_pos] == '"') {
        ++m_pos;
        while (m_pos < n && m_data[m_pos] != '"' && !isLineEnd(m_data[m_pos]))
            field += m_data[m_pos++];
        if (m_pos < n && m_data[m_pos] == '"')
            ++m_pos;
        while (m_pos < n && m_data[m_pos] != ',' && !isLineEnd(m_data[m_pos]))
            ++m_pos; // what follows the closing quote is skipped
    } else {
        while (m_pos < n && m_data[m_pos] != ',' && !isLineEnd(m_data[m_pos]))
            field += m_data[m_pos++];
    }

    // Consume the delimiter: a comma, or one line end (CR LF, CR or LF).
    if (m_pos < n && m_data[m_pos] == ',') {
        ++m_pos;
    } else if (m_pos < n && m_data[m_pos] == '\r') {
        ++m_pos;
        if (m_pos < n && m_data[m_pos] == '\n')
            ++m_pos;
    } else if (m_pos < n && m_data[m_pos] == '\n') {
        ++m_pos;
    }
    return QString::fromLatin1(field);
}

} // namespace commandfile
