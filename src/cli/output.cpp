#include "cli/output.h"

namespace cli {

QByteArray jsonString(const QString &text)
{
    QByteArray out = "\"";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20 || u == 0x7f)
                out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0')).toLatin1();
            else
                out += QString(c).toUtf8();
        }
    }
    return out + '"';
}

namespace {
QByteArray field(const char *name, const QByteArray &value) { return QByteArray(",\"") + name + "\":" + value; }
} // namespace

QByteArray line(const Result &r, bool json)
{
    if (!json) {
        QString text = r.command + QLatin1Char('\t');
        if (r.kind == Result::Kind::Overtaken)
            text += QStringLiteral("(overtaken: the next command was sent before a reply came)");
        else
            text += r.rowText;
        return text.toUtf8() + '\n';
    }
    QByteArray out = "{\"command\":" + jsonString(r.command);
    switch (r.kind) {
    case Result::Kind::TimedOut:
        out += field("timeout", "true") + field("ms", QByteArray::number(qRound(r.ms)));
        break;
    case Result::Kind::Overtaken:
        out += field("overtaken", "true");
        break;
    case Result::Kind::Reply:
        out += field("data", jsonString(r.data)) + field("error", QByteArray::number(r.error))
            + field("text", jsonString(r.text)) + field("ready", r.ready ? "true" : "false")
            + field("ms", QByteArray::number(r.ms, 'f', 1));
        break;
    }
    return out + "}\n";
}

QByteArray scanLine(int baud, bool oem, const QString &address, const QString &version, bool json)
{
    const QByteArray framingName = oem ? "oem" : "dt";
    if (json)
        return "{\"baud\":" + QByteArray::number(baud) + field("framing", '"' + framingName + '"')
            + field("address", jsonString(address)) + field("version", jsonString(version)) + "}\n";
    return (QString::number(baud) + '\t' + QString::fromLatin1(framingName) + '\t' + address + '\t' + version)
               .toUtf8() + '\n';
}

} // namespace cli
