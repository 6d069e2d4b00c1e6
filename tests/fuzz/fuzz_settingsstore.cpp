// The settings store's text, in memory: any file reads, any text written under any key reads
// back unchanged, no write loses another key, and many writes in one transaction leave the very
// text that the same writes one at a time (each reading the file the last one wrote) would.
//
// Input: byte 0, bit 0: the store file is the bytes up to the first NUL (any content, damaged or
// not) instead of empty. Then records, each a byte choosing a section and key of the program's
// and a value up to the next NUL (UTF-8). What is written reads back as written, and then reads
// the same again: a written text is clean and, read and written once more, stays as it is.
#include "fuzzing.h"

#include "app/settingsstore.h"

namespace {

struct Place {
    const char *section;
    const char *key;
};
// Keys of every section the program writes, a key of a section it only reads, and a key that
// looks like the encoded form of another.
const Place kPlaces[] = {
    {"ValvePositions", "CommPortSetting"}, {"ValvePositions", "MaxStrings"}, {"ValvePositions", "ValveSpeed"},
    {"ValvePositions", "MaximumSteps"}, {"Settings", "BaudRate"}, {"Settings", "RCVTimeout"},
    {"Volumes", "MaximumAuxiliaryVolume"}, {"Volumes", "MinimumSyringeVolume"}, {"FlowRates", "MaxDACValue"},
    {"FlowRates", "MinimumWaitTime"}, {"Ports", "COM1"}, {"Ports", "COM1%"},
};
constexpr int kPlaceCount = int(std::size(kPlaces));

QString value(const store::Document &d, int i)
{
    return d.value(QString::fromLatin1(kPlaces[i].section), QString::fromLatin1(kPlaces[i].key))
        .value_or(QStringLiteral("\x01absent"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    QList<QByteArray> records = QByteArray(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1).split('\0');
    const QByteArray file = data[0] & 1 ? records.takeFirst() : QByteArray();

    store::Document transaction(file);
    QByteArray oneAtATime = file;
    QString expected[kPlaceCount];
    for (int i = 0; i < kPlaceCount; ++i)
        expected[i] = value(transaction, i);

    int writes = 0;
    for (const QByteArray &record : std::as_const(records)) {
        if (record.isEmpty() || ++writes > 16)
            continue;
        const int place = uint8_t(record[0]) % kPlaceCount;
        const QString section = QString::fromLatin1(kPlaces[place].section), key = QString::fromLatin1(kPlaces[place].key);
        const QString text = QString::fromUtf8(record.mid(1));
        transaction.setValue(section, key, text);
        store::Document single(oneAtATime);
        single.setValue(section, key, text);
        oneAtATime = single.text();
        expected[place] = text;
    }
    const QByteArray written = transaction.text();
    FUZZ_CHECK(writes == 0 || written == oneAtATime, "one transaction wrote\n%s\none write at a time\n%s", written.constData(),
               oneAtATime.constData());
    const store::Document reread(written);
    for (int i = 0; i < kPlaceCount; ++i) // and so in the transaction, which wrote the same
        FUZZ_CHECK(value(reread, i) == expected[i], "%s/%s reads \"%s\", expected \"%s\" after %d writes",
                   kPlaces[i].section, kPlaces[i].key, qPrintable(value(reread, i)), qPrintable(expected[i]), writes);
    FUZZ_CHECK(reread.clean() && reread.text() == written, "the written text reads otherwise:\n%s", written.constData());
    return 0;
}
