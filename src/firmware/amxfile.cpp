#include "firmware/amxfile.h"

#include "app/numbers.h"
#include "link/framing.h"

#include <QFile>
#include <cmath>

namespace amx {

std::optional<QString> readHeaderText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromLatin1(file.read(kHeaderLength));
}

bool headerTest(const QString &headerText)
{
    if (headerText.size() < kHeaderLength)
        return false;
    const uint32_t first = numbers::hexPrefix(headerText.mid(0, 1));
    const uint32_t second = numbers::hexPrefix(headerText.mid(1, 1));
    return first <= 5 && second == 0;
}

bool getAMXHeader(const QString &headerText, AMXHeader &header)
{
    const int32_t value = int32_t(numbers::hexPrefix(headerText.left(kHeaderLength)));
    header.FullUpdate = (value & 0x10000) != 0;
    // No header bit marks a servo image: every file is a stepper image.
    header.Servo = false;
    header.Model = QStringLiteral("stepper");
    header.DeviceID = value & 0xFFF;
    header.DeviceIDHex = QStringLiteral("%1").arg(header.DeviceID, 3, 16, QLatin1Char('0')).toUpper();
    return true;
}

QString getVersionString(const QString &reply)
{
    const QStringList pieces = reply.split(QLatin1Char(' '));
    for (const QString &piece : pieces) {
        if (piece.contains(QLatin1Char('v'), Qt::CaseInsensitive) && piece.indexOf(QLatin1Char('.')) >= 1)
            return framing::trimSpaces(piece);
    }
    return {};
}

namespace {

// A piece of a version word as a number, its integer part; nullopt when it is not numeric.
std::optional<int> numericPiece(const QString &piece)
{
    const QString t = piece.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    for (QChar c : t)
        if (!c.isDigit() || c.unicode() > 127)
            return std::nullopt;
    bool ok = false;
    const int v = t.toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}

} // namespace

VersionResult parseVersion(const QString &versionWord)
{
    VersionResult r;
    const qsizetype dot = versionWord.indexOf(QLatin1Char('.')) + 1; // position from 1
    QString major, minor, patch;
    if (dot == 3) {
        major = versionWord.mid(1, 1);
        minor = versionWord.mid(3, 1);
        patch = versionWord.mid(4, 1);
    } else if (dot == 4) {
        major = versionWord.mid(1, 2);
        minor = versionWord.mid(4, 1);
        patch = versionWord.mid(5, 1);
    } else {
        r.error = VersionError::UnknownFormat;
        return r;
    }
    const auto ma = numericPiece(major);
    const auto mi = numericPiece(minor);
    if (!ma || !mi) {
        r.error = VersionError::NotNumeric;
        return r;
    }
    r.version = Version{*ma, *mi, numericPiece(patch).value_or(0)};
    return r;
}

bool needsDeviceCheck(const Version &v)
{
    return v.major > 7 || v.minor != 0 || v.patch > 1;
}

bool deviceReplyMatches(const QString &reply, int32_t deviceId)
{
    return reply.contains(QString::number(deviceId));
}

bool progressStepDue(int32_t counted, int32_t fileLength)
{
    if (fileLength <= 0)
        return false;
    return double(counted) / double(fileLength) * 100.0 >= 6.7;
}

} // namespace amx
