#include "link/framing.h"

#include <algorithm>

namespace framing {

unsigned char checksum(const QByteArray &bytes)
{
    unsigned char sum = 0;
    for (const char c : bytes)
        sum ^= static_cast<unsigned char>(c);
    return sum;
}

QByteArray oemFrame(const QByteArray &command)
{
    QByteArray frame;
    frame.reserve(command.size() + 4);
    frame += char(STX);
    frame += command.mid(1, 1);
    frame += '1';
    frame += command.mid(2);
    frame += char(ETX);
    frame += char(checksum(frame));
    return frame;
}

const std::array<QString, 17> &errorTexts()
{
    static const std::array<QString, 17> texts = [] {
        std::array<QString, 17> t;
        t[0] = QStringLiteral(" No Error");
        t[1] = QString();
        t[2] = QStringLiteral(" Invalid Command");
        t[3] = QStringLiteral(" Invalid Operand");
        for (int i = 4; i <= 14; ++i)
            t[i] = QStringLiteral("Error %1").arg(i);
        t[15] = QStringLiteral("Device is already executing a command");
        t[16] = QStringLiteral("Error 16");
        return t;
    }();
    return texts;
}

namespace {

// Characters from 1-based position `from` to `to`, CR left out.
QString dataText(const QString &buffer, int from, int to)
{
    QString data;
    for (int p = from; p <= to && p <= buffer.size(); ++p)
        if (buffer.at(p - 1) != QChar(CR))
            data += buffer.at(p - 1);
    return data;
}

} // namespace

Reply decodeReply(Mode mode, const QString &buffer)
{
    Reply reply;
    const int length = int(buffer.size());
    if (mode == Mode::DT) {
        const int zero = int(buffer.left(std::max(0, length - 1)).indexOf(QLatin1Char('0')));
        if (zero >= 0)
            reply.status = buffer.at(zero + 1).unicode();
        reply.data = dataText(buffer, 5, length - 1);
    } else {
        if (length >= 2)
            reply.status = buffer.at(1).unicode();
        reply.data = dataText(buffer, 3, length - 1);
    }
    if (reply.status >= 0)
        reply.errorCode = reply.status & 15;
    return reply;
}

OemStep oemReplyStep(quint8 &state, quint8 &checksum, unsigned char c, bool *matched)
{
    OemStep step = OemStep::Collected;
    switch (state) {
    case 0:
        if (c != STX)
            return OemStep::Ignored;
        checksum = STX;
        state = 1;
        return OemStep::Started; // an STX in state 0 is the start itself, not a restart
    case 1:
        checksum ^= c;
        if (c == '0')
            state = 2;
        break;
    case 2:
        checksum ^= c;
        if (c == ETX)
            state = 3;
        break;
    default:
        if (matched)
            *matched = c == checksum;
        state = 0;
        step = OemStep::Checked;
        break;
    }
    // A second STX restarts the checksum but keeps what has been collected.
    if (c == STX) {
        checksum = STX;
        state = 1;
    }
    return step;
}

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

bool holdsError(const QString &reply) { return reply.contains(QLatin1String("error"), Qt::CaseInsensitive); }

QString addressChar(int itemNumber)
{
    static const QString kChars = QStringLiteral("123456789:;<=>@");
    return itemNumber >= 1 && itemNumber <= kAddressCount ? kChars.mid(itemNumber - 1, 1) : QString();
}

} // namespace framing
