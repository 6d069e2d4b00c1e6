// The settings store: any text written under any key reads back unchanged, and no write loses
// another key.
//
// Input: byte 0, bit 0: the store file starts with the bytes up to the first NUL (any content,
// damaged or not) instead of not existing. Then records, each a byte choosing a section and key
// of the program's and a value up to the next NUL (UTF-8). After every write each key written
// reads back its value; at the end every key reads back its latest value, and
// every key that was there before and was not written since reads back as before. A damaged file is reported once, by a message, and kept aside.
#include "fuzzing.h"

#include "app/settingsstore.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <filesystem>
#include <string>

namespace {

struct Place {
    const char *section;
    const char *key;
};
// Keys of every section the program writes, and a key of a section it only reads.
const Place kPlaces[] = {
    {"ValvePositions", "CommPortSetting"}, {"ValvePositions", "MaxStrings"}, {"ValvePositions", "ValveSpeed"},
    {"ValvePositions", "MaximumSteps"}, {"Settings", "BaudRate"}, {"Settings", "RCVTimeout"},
    {"Volumes", "MaximumAuxiliaryVolume"}, {"Volumes", "MinimumSyringeVolume"}, {"FlowRates", "MaxDACValue"},
    {"FlowRates", "MinimumWaitTime"}, {"Ports", "COM1"}, {"Ports", "COM16"},
};
constexpr int kPlaceCount = int(std::size(kPlaces));
const QString kAbsent = QStringLiteral("\x01absent");

QString read(int i)
{
    return store::read(store::kApplication, QString::fromLatin1(kPlaces[i].section),
                       QString::fromLatin1(kPlaces[i].key), kAbsent);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzing::ensureApp();
    // Kept for the whole run and never destroyed: at exit Qt's own globals may be gone before
    // them. The folder is removed at exit without Qt.
    static TempStore &folder = *new TempStore;
    static ScriptedPlatform &platform = *new ScriptedPlatform;
    static const bool cleanup = [] {
        static const std::string path = folder.folder().toStdString();
        return std::atexit([] { std::filesystem::remove_all(path); }) == 0;
    }();
    (void)cleanup;
    folder.clear();
    platform.messages.clear();
    if (size == 0)
        return 0;

    QList<QByteArray> records = QByteArray(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1).split('\0');
    const bool fromFile = data[0] & 1;
    if (fromFile)
        folder.setText(records.takeFirst());

    QHash<int, QString> expected; // what each place reads now
    for (int i = 0; i < kPlaceCount; ++i)
        expected.insert(i, read(i));
    FUZZ_CHECK(fromFile || std::all_of(expected.cbegin(), expected.cend(), [](const QString &v) { return v == kAbsent; }),
               "an empty store holds a key");

    int writes = 0;
    for (const QByteArray &record : std::as_const(records)) {
        if (record.isEmpty() || ++writes > 16)
            continue;
        const int place = uint8_t(record[0]) % kPlaceCount;
        const QString value = QString::fromUtf8(record.mid(1));
        store::write(store::kApplication, QString::fromLatin1(kPlaces[place].section),
                     QString::fromLatin1(kPlaces[place].key), value);
        expected[place] = value;
        const QString now = read(place);
        FUZZ_CHECK(now == value, "%s/%s reads \"%s\", written \"%s\" (write %d)", kPlaces[place].section,
                   kPlaces[place].key, qPrintable(now), qPrintable(value), writes);
    }
    for (int i = 0; i < kPlaceCount; ++i) {
        const QString now = read(i);
        FUZZ_CHECK(now == expected[i], "%s/%s reads \"%s\", expected \"%s\" after %d writes", kPlaces[i].section,
                   kPlaces[i].key, qPrintable(now), qPrintable(expected[i]), writes);
    }
    // A damaged file is kept aside at most once, and the message names the copy. (The store
    // remembers what it kept: the same damaged content seen again is not copied twice.)
    const QStringList copies = folder.copies();
    FUZZ_CHECK(copies.size() <= 1 && platform.messages.size() == copies.size(), "%lld copies, %lld messages",
               (long long)copies.size(), (long long)platform.messages.size());
    if (!copies.isEmpty())
        FUZZ_CHECK(platform.messages.first().text.contains(copies.first()), "message \"%s\"",
                   qPrintable(platform.messages.first().text));
    return 0;
}
