// AMX update files and the controller's replies to the version and device queries.
//
// Input: the first five bytes are a file's header characters, the rest is a controller's reply
// (Latin-1); reading the header from a file is the firmware tests' business. Checked
// against the file layout's rules computed here: the header test, the header fields and their
// ranges, the version word taken from the reply and its pieces, the device check, and the
// address characters.
#include "fuzzing.h"

#include "firmware/amxfile.h"
#include "link/framing.h"

#include <QStringList>

namespace {

bool isAsciiDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

bool qualifies(const QString &piece)
{
    return piece.contains(QLatin1Char('v'), Qt::CaseInsensitive) && piece.indexOf(QLatin1Char('.')) >= 1;
}

void checkVersion(const QString &word)
{
    const amx::VersionResult r = amx::parseVersion(word);
    const qsizetype dot = word.indexOf(QLatin1Char('.')) + 1;
    if (dot != 3 && dot != 4) {
        FUZZ_CHECK(!r.version && r.error == amx::VersionError::UnknownFormat, "\"%s\" has its dot at %lld",
                   qPrintable(word), (long long)dot);
        return;
    }
    // V1.23: major 2nd, minor 4th, patch 5th character; V12.34: major 2nd-3rd, minor 5th, patch 6th.
    const qsizetype majorLength = dot - 2;
    const QString major = word.mid(1, majorLength), minor = word.mid(dot, 1), patch = word.mid(dot + 1, 1);
    const bool numeric = !major.isEmpty() && std::all_of(major.begin(), major.end(), isAsciiDigit)
        && minor.size() == 1 && isAsciiDigit(minor[0]);
    // A blank around a piece is allowed, as a number's text may have one.
    if (!numeric && (major.trimmed() != major || minor.trimmed() != minor))
        return;
    if (!numeric) {
        FUZZ_CHECK(!r.version && r.error == amx::VersionError::NotNumeric, "\"%s\" taken as a version",
                   qPrintable(word));
        return;
    }
    FUZZ_CHECK(r.version.has_value(), "\"%s\" refused", qPrintable(word));
    const amx::Version v = *r.version;
    FUZZ_CHECK(v.major == major.toInt() && v.minor == minor.toInt(), "\"%s\" gives %d.%d", qPrintable(word),
               v.major, v.minor);
    FUZZ_CHECK(v.major >= 0 && v.major <= 99 && v.minor >= 0 && v.minor <= 9 && v.patch >= 0 && v.patch <= 9,
               "\"%s\" gives %d.%d.%d", qPrintable(word), v.major, v.minor, v.patch);
    const int expectedPatch = patch.size() == 1 && isAsciiDigit(patch[0]) ? patch.toInt() : 0;
    FUZZ_CHECK(v.patch == expectedPatch, "\"%s\" gives patch %d", qPrintable(word), v.patch);
    // d.00 and d.01 with d at most 7 are never asked for a device.
    const bool oldFirmware = v.major <= 7 && v.minor == 0 && v.patch <= 1;
    FUZZ_CHECK(amx::needsDeviceCheck(v) == !oldFirmware, "%d.%d.%d device check", v.major, v.minor, v.patch);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzInput(data, size);
    const QString header = QString::fromLatin1(bytes.left(amx::kHeaderLength));
    const QString reply = QString::fromLatin1(bytes.mid(amx::kHeaderLength));

    // The header test: five characters, first digit at most 5, second 0 (not a digit: 0).
    const auto digitOr0 = [&](int i) { return std::max(0, hexDigit(header[i].unicode())); };
    const bool passes = header.size() == 5 && digitOr0(0) <= 5 && digitOr0(1) == 0;
    FUZZ_CHECK(amx::headerTest(header) == passes, "header test of \"%s\"", qPrintable(header));

    if (passes) {
        // The header value: hex digits up to the first other character.
        uint32_t value = 0;
        for (QChar c : header) {
            if (hexDigit(c.unicode()) < 0)
                break;
            value = value * 16 + uint32_t(hexDigit(c.unicode()));
        }
        AMXHeader h;
        FUZZ_CHECK(amx::getAMXHeader(header, h), "header \"%s\" refused", qPrintable(header));
        FUZZ_CHECK(h.DeviceID >= 0 && h.DeviceID <= 0xFFF && uint32_t(h.DeviceID) == (value & 0xFFF),
                   "\"%s\": device %d", qPrintable(header), h.DeviceID);
        FUZZ_CHECK(h.FullUpdate == bool(value & 0x10000), "\"%s\": full update %d", qPrintable(header), h.FullUpdate);
        FUZZ_CHECK(h.DeviceIDHex.size() == 3 && h.DeviceIDHex == h.DeviceIDHex.toUpper()
                       && h.DeviceIDHex.toInt(nullptr, 16) == h.DeviceID,
                   "\"%s\": device hex \"%s\"", qPrintable(header), qPrintable(h.DeviceIDHex));
        FUZZ_CHECK(h.Model == QLatin1String("stepper") && !h.Servo, "\"%s\": model", qPrintable(header));
        // The device check: the ID's decimal text anywhere in the reply.
        const bool holds = bytes.mid(amx::kHeaderLength).contains(QByteArray::number(h.DeviceID));
        FUZZ_CHECK(amx::deviceReplyMatches(reply, h.DeviceID) == holds, "device %d in the reply", h.DeviceID);
    }

    // The version word: the first space-separated piece with a "v" and a "." after its start.
    const QString word = amx::getVersionString(reply);
    QString expected;
    for (const QString &piece : reply.split(QLatin1Char(' ')))
        if (qualifies(piece)) {
            expected = piece;
            break;
        }
    FUZZ_CHECK(word == expected, "version word \"%s\", expected \"%s\"", qPrintable(word), qPrintable(expected));
    if (!word.isEmpty())
        checkVersion(word);
    checkVersion(reply); // the parser alone, on any text

    // The address characters: one each for items 1 to 15, never "?", none for item 16.
    const int item = size > 0 ? data[size - 1] % 20 : 0;
    const QString a = framing::addressChar(item);
    if (item >= 1 && item <= 15)
        FUZZ_CHECK(a.size() == 1 && a != QLatin1String("?") && a[0] > QLatin1Char('0') && a[0] <= QLatin1Char('@'),
                   "item %d gives \"%s\"", item, qPrintable(a));
    else
        FUZZ_CHECK(a.isEmpty(), "item %d gives \"%s\"", item, qPrintable(a));
    return 0;
}
