// The settings store and the settings fields against a real settings file: exact texts, files
// that cannot be read cleanly, the load and save sequences and where the load stops.
#include "app/settingsstore.h"
#include "link/portmap.h"
#include "settings/settingsfields.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QSettings>
#include <QTest>
#include <QWidget>

namespace {

const QByteArray kHeader = "; Each value is the exact text after the first \"=\" of its line.\n";
const QString kById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

// What the first "OK" on an empty store writes, section by section, in its order.
const QList<std::pair<QByteArray, QByteArray>> kFirstSave = {
    {"ValvePositions", "ValveSpeed=2000 ValveOverShoot=1000 MasterMixWithFilter=10286 MasterMixWithOutFilter=34286 "
                       "SampleWithFilter=30857 SampleWithOutFilter=6857 WashWithFilter=37714 WashWithOutFilter=13714 "
                       "WasteWithFilter=17143 WasteWithOutFilter=41143 MaximumSteps=24000 MaximumVolume=1050 "
                       "MaxPresureChange=100 MaxStrings=11 CommPortSetting=1"},
    {"Settings", "BaudRate=2 RCVTimeout=3000"},
    {"Volumes", "MaximumSyringeVolume=11000 MinimumSyringeVolume=1100 MaximumAuxiliaryVolume= MinimumAuxiliaryVolume=120 "
                "MaximumSampleVolume=6000 MinimumSampleVolume=600 MaximumWashVolume=7500 MinimumWashVolume=750 "
                "MaximumMastermixVolume=250 MinimumMastermixVolume=25 MaximumWasteVolume=11000 MinimumWasteVolume=1100 "
                "MinimumAspirateVolume=10 MaximumAspirateVolume=600 MinimumDispenseVolume=10 MaximumDispenseVolume=600"},
    {"FlowRates", "MinimumAspirateFlowRate=10 MaximumAspirateFlowRate=150 MinimumDispenseFlowRate=10 "
                  "MaximumDispenseFlowRate=150 MinimumLoopTimes=1 MaximumLoopTimes=50 MinimumSonicationAmplitude=10 "
                  "MaximumSonicationAmplitude=150 MinimumSonicationTime=1 MaximumSonicationTime=150 MinimumWaitTime=1 "
                  "MaximumWaitTime=150 MaxDACValue=5851"}};

// A store file with every key of kFirstSave, in its order, valued value(section, key, default).
QByteArray fileOf(const auto &value)
{
    QByteArray file;
    for (const auto &[section, entries] : kFirstSave) {
        file += (file.isEmpty() ? "[" : "\n[") + section + "]\n";
        for (const QByteArray &e : entries.split(' '))
            file += e.left(e.indexOf('=') + 1) + value(section, e.left(e.indexOf('=')), e.mid(e.indexOf('=') + 1)) + '\n';
    }
    return file;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
    TempStore store;
    ScriptedPlatform platform;
    QWidget owner;

    static QString read(const QString &section, const QString &key) { return store::read(store::kApplication, section, key, "-"); }

private slots:
    void init() { store.clear(), platform.messages.clear(); }

    // A value comes back as the very text written, and as the very text a person put in the file.
    void exactText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("quotes , = ; # \\") << "\"a\" \"b 1,2 a=b ;c #d C:\\dir\\" << QByteArray("K=\"a\" \"b 1,2 a=b ;c #d C:\\dir\\");
        QTest::newRow("blanks around") << "  250 ms " << QByteArray("K=  250 ms ");
        QTest::newRow("@ type") << "@ByteArray(x)" << QByteArray("K=@ByteArray(x)");
        QTest::newRow("non-ASCII") << "µl Ä 量" << QByteArray("K=\xc2\xb5l \xc3\x84 \xe9\x87\x8f");
        QTest::newRow("empty") << "" << QByteArray("K=");
        QTest::newRow("line breaks") << "a\nb\r" << QByteArray("K%=a%0Ab%0D");
    }
    void exactText()
    {
        QFETCH(QString, text); QFETCH(QByteArray, line);
        store.set("Volumes", "K", text);
        QCOMPARE(store.text(), kHeader + "[Volumes]\n" + line + '\n');
        store.setText("[Volumes]\n" + line + "\n[FlowRates]\nK=2\n");
        QCOMPARE(QStringList({read("Volumes", "K"), read("FlowRates", "K")}), QStringList({text, "2"}));
    }

    // A file written by the earlier QSettings store, with one line added by hand. Everything in it
    // reads, "OK" drops nothing, and a file that does not read cleanly is first kept aside once.
    void damagedFile_data()
    {
        QTest::addColumn<QByteArray>("added");
        QTest::addColumn<QString>("section"); // of the key after the added line
        QTest::addColumn<QByteArray>("after"); // the added line once "OK" has rewritten the file
        QTest::newRow("clean") << QByteArray() << "ValvePositions" << QByteArray();
        QTest::newRow("no =") << QByteArray("garbage") << "ValvePositions" << QByteArray("; garbage");
        QTest::newRow("unclosed section") << QByteArray("[Volumes") << "Volumes" << QByteArray("[Volumes]");
        QTest::newRow("not UTF-8") << QByteArray("Note=\xff") << "ValvePositions" << QByteArray("Note=\xef\xbf\xbd");
        QTest::newRow("key twice") << QByteArray("MinimumWashVolume=11") << "ValvePositions" << QByteArray("; MinimumWashVolume=11");
        QTest::newRow("older quoted value") << QByteArray("Note=\"1,2\"") << "ValvePositions" << QByteArray("Note=\"1,2\"");
    }
    void damagedFile()
    {
        QFETCH(QByteArray, added); QFETCH(QString, section); QFETCH(QByteArray, after);
        for (QSettings older(store.filePath(), QSettings::IniFormat); const auto &[key, value] : {std::pair{"Ports/COM1", kById},
                 {"Settings/BaudRate", "4"}, {"Settings/Mystery", "yes"}, {"ValvePositions/CommPortSetting", "3"}})
            older.setValue(key, value);
        store.setText(store.text() + added + "\nMinimumWashVolume=12\n");
        const QByteArray original = store.text();
        const QStringList kept = {kById, "yes", "4", "3", "12"};
        QCOMPARE(QStringList({portmap::devicePath(1), read("Settings", "Mystery"), read("Settings", "BaudRate"),
                              read("ValvePositions", "CommPortSetting"), read(section, "MinimumWashVolume")}), kept);
        SettingsFields f(&owner);
        QVERIFY(f.load());
        f.save(), f.save();
        QCOMPARE(QStringList({store.value("Ports", "COM1"), store.value("Settings", "Mystery"), store.value("Settings", "BaudRate"),
                              store.value("ValvePositions", "CommPortSetting"), store.value(section, "MinimumWashVolume")}), kept);
        QVERIFY(platform.messages.size() == !added.isEmpty() && store.copies().size() == platform.messages.size());
        if (added.isEmpty())
            return;
        const QString copy = QFileInfo(store.filePath()).absolutePath() + '/' + store.copies().first();
        QVERIFY(copy.startsWith(store.filePath() + ".damaged-"));
        QFile aside(copy);
        QVERIFY(aside.open(QIODevice::ReadOnly) && aside.readAll() == original);
        QCOMPARE(platform.messages[0].text, "The settings file " + store.filePath() + " could not be read cleanly. "
                 "It has been kept as " + copy + ", and the settings are now saved in a clean file.");
        QVERIFY(platform.messages[0].icon == QMessageBox::Warning && store.text().split('\n').contains(after));
    }

    // An empty store: the defaults (as the settings window shows them), which the first "OK"
    // writes in the save order.
    void emptyStoreThenFirstOk()
    {
        SettingsFields f(&owner);
        QVERIFY(f.load());
        f.save();
        QCOMPARE(store.text(), kHeader + fileOf([](auto, auto, const QByteArray &def) { return def; }));
    }

    // Each field is filled from its own key ("Field=Key" where the names differ), in the load order;
    // a stored "BaudRate" of "5" selects "230400".
    void loadOrder()
    {
        store.setText(fileOf([](auto, const QByteArray &key, auto) { return key == "BaudRate" ? "5" : key; }));
        QWidget window;
        SettingsFields f(&window);
        QStringList filled;
        for (QLineEdit *e : window.findChildren<QLineEdit *>())
            connect(e, &QLineEdit::textChanged, this, [&filled, e](const QString &t) { filled << (e->objectName() == t ? t : e->objectName() + '=' + t); });
        connect(f.lstBaudRate, &QListWidget::currentTextChanged, this, [&filled](const QString &t) { filled << "lstBaudRate=" + t; });
        QVERIFY(f.load());
        QCOMPARE(filled.join(' '), QString(
            "ValveSpeed ValveOverShoot MasterMixWithFilter MasterMixWithOutFilter SampleWithFilter SampleWithOutFilter "
            "WashWithFilter WashWithOutFilter WasteWithFilter WasteWithOutFilter MaxSteps=MaximumSteps "
            "MaxVolume=MaximumVolume MaxPresureChange MaxStrings CommPortSetting lstBaudRate=230400 RCVTimeout "
            "MaximumAuxiliaryVolume MinimumAuxiliaryVolume MaximumWashVolume MinimumWashVolume MaximumSampleVolume "
            "MinimumSampleVolume MaximumMastermixVolume MinimumMastermixVolume MaximumWasteVolume MinimumWasteVolume "
            "MaximumSyringeVolume MinimumSyringeVolume MinimumAspirateVolume MaximumAspirateVolume MinimumDispenseVolume "
            "MaximumDispenseVolume MinimumAspirateFlowRate MaximumAspirateFlowRate MinimumDispenseFlowRate "
            "MaximumDispenseFlowRate MinimumLoopTimes MaximumLoopTimes MinimumSonicationAmplitude MaximumSonicationAmplitude "
            "MinimumSonicationTime MaximumSonicationTime MinimumWaitTime MaximumWaitTime MaxDACValue"));
    }

    // A stored baud index that names no entry stops the load after step 1: no entry selected,
    // the fields of the later steps as they were. "OK" then keeps their stored values unless the
    // operator changed them, and the stored rate while no entry is selected (a selected entry is
    // stored as the settings window's "OK" shows).
    void earlyStop_data()
    {
        QTest::addColumn<QByteArray>("baud");
        QTest::newRow("6") << QByteArray("6");
        QTest::newRow("-1") << QByteArray("-1");
        QTest::newRow("letters") << QByteArray("fast");
    }
    void earlyStop()
    {
        QFETCH(QByteArray, baud);
        const QByteArray stored = fileOf([&baud](const QByteArray &section, const QByteArray &key, auto) -> QByteArray {
            return section == "Settings" ? (key == "BaudRate" ? baud : "4500") : section == "ValvePositions" ? "5" : "7"; });
        store.setText(stored);
        SettingsFields f(&owner);
        QVERIFY(!f.load());
        QCOMPARE(QStringList({f.field("ValveSpeed")->text(), f.baudRateText(), f.RCVTimeout->text(), f.field("MinimumWashVolume")->text(),
                              f.field("MaxDACValue")->text()}), QStringList({"5", "", "3000", "", ""}));
        f.field("MaxDACValue")->setText(" 6000 "), f.save();
        QCOMPARE(store.text(), kHeader + QByteArray(stored).replace("MaxDACValue=7", "MaxDACValue= 6000 "));
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
