#include "link/framing.h"

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

} // namespace framing
