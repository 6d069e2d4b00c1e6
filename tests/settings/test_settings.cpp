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

// What the first "OK" on an empty store writes, in its order.
const QStringList kFirstSave = {
    "ValvePositions/ValveSpeed=2000", "ValvePositions/ValveOverShoot=1000", "ValvePositions/MasterMixWithFilter=10286",
    "ValvePositions/MasterMixWithOutFilter=34286", "ValvePositions/SampleWithFilter=30857",
    "ValvePositions/SampleWithOutFilter=6857", "ValvePositions/WashWithFilter=37714", "ValvePositions/WashWithOutFilter=13714",
    "ValvePositions/WasteWithFilter=17143", "ValvePositions/WasteWithOutFilter=41143", "ValvePositions/MaximumSteps=24000",
    "ValvePositions/MaximumVolume=1050", "ValvePositions/MaxPresureChange=100", "ValvePositions/MaxStrings=11",
    "ValvePositions/CommPortSetting=1", "Settings/BaudRate=2", "Settings/RCVTimeout=3000",
    "Volumes/MaximumSyringeVolume=11000", "Volumes/MinimumSyringeVolume=1100", "Volumes/MaximumAuxiliaryVolume=",
    "Volumes/MinimumAuxiliaryVolume=120", "Volumes/MaximumSampleVolume=6000", "Volumes/MinimumSampleVolume=600",
    "Volumes/MaximumWashVolume=7500", "Volumes/MinimumWashVolume=750", "Volumes/MaximumMastermixVolume=250",
    "Volumes/MinimumMastermixVolume=25", "Volumes/MaximumWasteVolume=11000", "Volumes/MinimumWasteVolume=1100",
    "Volumes/MinimumAspirateVolume=10", "Volumes/MaximumAspirateVolume=600", "Volumes/MinimumDispenseVolume=10",
    "Volumes/MaximumDispenseVolume=600", "FlowRates/MinimumAspirateFlowRate=10", "FlowRates/MaximumAspirateFlowRate=150",
    "FlowRates/MinimumDispenseFlowRate=10", "FlowRates/MaximumDispenseFlowRate=150", "FlowRates/MinimumLoopTimes=1",
    "FlowRates/MaximumLoopTimes=50", "FlowRates/MinimumSonicationAmplitude=10", "FlowRates/MaximumSonicationAmplitude=150",
    "FlowRates/MinimumSonicationTime=1", "FlowRates/MaximumSonicationTime=150", "FlowRates/MinimumWaitTime=1",
    "FlowRates/MaximumWaitTime=150", "FlowRates/MaxDACValue=5851"};

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
    TempStore store;
    ScriptedPlatform platform;
    QWidget owner;

    QString read(const QString &section, const QString &key) { return store::read(store::kApplication, section, key, "-"); }
    QStringList entries() const
    {
        QStringList out;
        for (const QString &k : store.keys())
            out << k + '=' + store.value(k.section('/', 0, 0), k.section('/', 1));
        return out;
    }

private slots:
    void init() { store.clear(), platform.messages.clear(); }

    // A value comes back as the very text written, and as the very text a person put in the file.
    void exactText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("comma") << "1,2" << QByteArray("K=1,2");
        QTest::newRow("quotes") << "\"a\" \"b" << QByteArray("K=\"a\" \"b");
        QTest::newRow("backslashes") << "C:\\dir\\" << QByteArray("K=C:\\dir\\");
        QTest::newRow("blanks around") << "  250 ms " << QByteArray("K=  250 ms ");
        QTest::newRow("= ; #") << "a=b ;c #d" << QByteArray("K=a=b ;c #d");
        QTest::newRow("@ type") << "@ByteArray(x)" << QByteArray("K=@ByteArray(x)");
        QTest::newRow("non-ASCII") << "µl Ä 量" << QByteArray("K=\xc2\xb5l \xc3\x84 \xe9\x87\x8f");
        QTest::newRow("empty") << "" << QByteArray("K=");
        QTest::newRow("line breaks") << "a\nb\r" << QByteArray("K%=a%0Ab%0D");
    }
    void exactText()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, line);
        store.set("Volumes", "K", text);
        QCOMPARE(store.text(), kHeader + "[Volumes]\n" + line + '\n');
        QCOMPARE(read("Volumes", "K"), text);
        store.setText("[Volumes]\n" + line + "\n[FlowRates]\nK=2\n");
        QCOMPARE(read("Volumes", "K"), text);
        QCOMPARE(read("FlowRates", "K"), QString("2"));
    }

    // A file written by the earlier QSettings store, with one line added by hand. Everything in it
    // reads, "OK" drops nothing, and a file that does not read cleanly is first kept aside once.
    void damagedFile_data()
    {
        QTest::addColumn<QByteArray>("added");
        QTest::addColumn<QString>("section"); // of the key after the added line
        QTest::addColumn<QByteArray>("after"); // the added line once "OK" has rewritten the file
        QTest::newRow("clean") << QByteArray() << "ValvePositions" << QByteArray();
        QTest::newRow("unclosed quote") << QByteArray("ValveSpeed=\"12") << "ValvePositions" << QByteArray("ValveSpeed=\"12");
        QTest::newRow("no =") << QByteArray("garbage") << "ValvePositions" << QByteArray("; garbage");
        QTest::newRow("unclosed section") << QByteArray("[Volumes") << "Volumes" << QByteArray("[Volumes]");
        QTest::newRow("not UTF-8") << QByteArray("Note=\xff") << "ValvePositions" << QByteArray("Note=\xef\xbf\xbd");
        QTest::newRow("key twice") << QByteArray("MinimumWashVolume=11") << "ValvePositions" << QByteArray("; MinimumWashVolume=11");
        QTest::newRow("older quoted value") << QByteArray("Note=\"1,2\"") << "ValvePositions" << QByteArray("Note=\"1,2\"");
    }
    void damagedFile()
    {
        QFETCH(QByteArray, added);
        QFETCH(QString, section);
        QFETCH(QByteArray, after);
        {
            QSettings older(store.filePath(), QSettings::IniFormat);
            older.setValue("Ports/COM1", kById);
            older.setValue("Settings/BaudRate", "4");
            older.setValue("Settings/Mystery", "yes");
            older.setValue("ValvePositions/CommPortSetting", "3");
        }
        store.setText(store.text() + added + "\nMinimumWashVolume=12\n");
        const QByteArray original = store.text();
        QCOMPARE(QStringList({read("ValvePositions", "CommPortSetting"), read("Settings", "BaudRate"),
                              read(section, "MinimumWashVolume"), portmap::devicePath(1)}),
                 QStringList({"3", "4", "12", kById}));

        SettingsFields f(&owner);
        QVERIFY(f.load());
        QCOMPARE(f.lstBaudRate->currentRow(), 4);
        f.save();
        f.save();
        QCOMPARE(platform.messages.size(), added.isEmpty() ? 0 : 1);
        QCOMPARE(store.copies().size(), platform.messages.size());
        if (!added.isEmpty()) {
            const QString copy = QFileInfo(store.filePath()).absolutePath() + '/' + store.copies().first();
            QVERIFY(QFileInfo(copy).fileName().startsWith("Kestrelworks.conf.damaged-"));
            QFile kept(copy);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), original);
            QCOMPARE(platform.messages[0].text, "The settings file " + store.filePath() + " could not be read cleanly. "
                     "It has been kept as " + copy + ", and the settings are now saved in a clean file.");
            QCOMPARE(platform.messages[0].icon, QMessageBox::Warning);
            QVERIFY(store.text().split('\n').contains(after));
        }
        QCOMPARE(QStringList({store.value("Ports", "COM1"), store.value("Settings", "Mystery"), store.value(section, "MinimumWashVolume"),
                              store.value("Settings", "BaudRate"), store.value("ValvePositions", "CommPortSetting")}),
                 QStringList({kById, "yes", "12", "4", "3"}));
    }

    // An empty store: the defaults, written by the first "OK" in the save order.
    void emptyStoreThenFirstOk()
    {
        SettingsFields f(&owner);
        QVERIFY(f.load());
        QCOMPARE(QStringList({f.CommPortSetting->text(), f.baudRateText(), f.RCVTimeout->text(), f.MaxStrings->text()}),
                 QStringList({"1", "38400", "3000", "11"}));
        QVERIFY(f.DTProtocol->isChecked() && !f.OEMProtocol->isChecked());
        QCOMPARE(store.text(), QByteArray()); // loading writes nothing
        f.save();
        QCOMPARE(entries(), kFirstSave);
        QVERIFY(store.filePath().startsWith(store.folder() + "/Kestrelworks/"));
    }

    // Each field is filled from its own key, in the load order.
    void loadOrder()
    {
        QByteArray file;
        for (const QString &e : kFirstSave) {
            const QString section = e.section('/', 0, 0), key = e.section('/', 1).section('=', 0, 0);
            file += "[" + section.toUtf8() + "]\n" + key.toUtf8() + "=" + (key == "BaudRate" ? "5" : key.toUtf8()) + "\n";
        }
        store.setText(file);
        QWidget window;
        SettingsFields f(&window);
        QStringList filled;
        for (QLineEdit *e : window.findChildren<QLineEdit *>())
            connect(e, &QLineEdit::textChanged, this, [&filled, e] {
                filled << (e->text() == e->objectName() ? e->text() : e->objectName() + '=' + e->text());
            });
        connect(f.lstBaudRate, &QListWidget::currentTextChanged, this, [&filled](const QString &t) { filled << "lstBaudRate=" + t; });
        QVERIFY(f.load());
        QCOMPARE(filled, QStringList({
            "ValveSpeed", "ValveOverShoot", "MasterMixWithFilter", "MasterMixWithOutFilter", "SampleWithFilter",
            "SampleWithOutFilter", "WashWithFilter", "WashWithOutFilter", "WasteWithFilter", "WasteWithOutFilter",
            "MaxSteps=MaximumSteps", "MaxVolume=MaximumVolume", "MaxPresureChange", "MaxStrings", "CommPortSetting",
            "lstBaudRate=230400", "RCVTimeout",
            "MaximumAuxiliaryVolume", "MinimumAuxiliaryVolume", "MaximumWashVolume", "MinimumWashVolume", "MaximumSampleVolume",
            "MinimumSampleVolume", "MaximumMastermixVolume", "MinimumMastermixVolume", "MaximumWasteVolume",
            "MinimumWasteVolume", "MaximumSyringeVolume", "MinimumSyringeVolume", "MinimumAspirateVolume",
            "MaximumAspirateVolume", "MinimumDispenseVolume", "MaximumDispenseVolume",
            "MinimumAspirateFlowRate", "MaximumAspirateFlowRate", "MinimumDispenseFlowRate", "MaximumDispenseFlowRate",
            "MinimumLoopTimes", "MaximumLoopTimes", "MinimumSonicationAmplitude", "MaximumSonicationAmplitude",
            "MinimumSonicationTime", "MaximumSonicationTime", "MinimumWaitTime", "MaximumWaitTime", "MaxDACValue"}));
    }

    // The stored baud index selects its entry, or stops the load after step 1.
    void baudRateIndex_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << "0" << "9600";
        QTest::newRow("5") << "5" << "230400";
        QTest::newRow("6") << "6" << "";
        QTest::newRow("-1") << "-1" << "";
        QTest::newRow("letters") << "fast" << "";
    }
    void baudRateIndex()
    {
        QFETCH(QString, stored);
        QFETCH(QString, text);
        store.setText("[Settings]\nBaudRate=" + stored.toUtf8() + "\nRCVTimeout=1500\n[Volumes]\nMinimumWashVolume=700\n"
                      "[ValvePositions]\nValveSpeed=1234\n");
        SettingsFields f(&owner);
        const bool complete = !text.isEmpty();
        QCOMPARE(f.load(), complete);
        QCOMPARE(f.lstBaudRate->selectedItems().size(), complete ? 1 : 0);
        QCOMPARE(QStringList({f.baudRateText(), f.field("ValveSpeed")->text(), f.RCVTimeout->text(),
                              f.field("MinimumWashVolume")->text(), f.field("MaxDACValue")->text()}),
                 complete ? QStringList({text, "1234", "1500", "700", "5851"}) : QStringList({"", "1234", "3000", "", ""}));
    }

    // "OK" writes texts unchanged; after a load that stopped early it keeps the stored values of
    // the fields the load never reached unless the operator changed them; without a selected
    // baud entry the stored rate stays.
    void saveAfterEarlyStop()
    {
        QByteArray file = "[Settings]\nBaudRate=9\nRCVTimeout=4500\n";
        for (const QString &e : kFirstSave)
            if (e.startsWith("Volumes/") || e.startsWith("FlowRates/"))
                file += "[" + e.section('/', 0, 0).toUtf8() + "]\n" + e.section('/', 1).section('=', 0, 0).toUtf8() + "=7\n";
        store.setText(file);
        SettingsFields f(&owner);
        QVERIFY(!f.load());
        f.field("MaxDACValue")->setText(" 6000 ");
        f.save();
        QStringList expected = kFirstSave;
        for (QString &e : expected)
            if (e.startsWith("Volumes/") || e.startsWith("FlowRates/"))
                e = e.section('=', 0, 0) + "=7";
        expected.last() = "FlowRates/MaxDACValue= 6000 ";
        expected.replace(expected.indexOf("Settings/BaudRate=2"), "Settings/BaudRate=9");
        expected.replace(expected.indexOf("Settings/RCVTimeout=3000"), "Settings/RCVTimeout=4500");
        QStringList written = entries();
        std::sort(written.begin(), written.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(written, expected);

        f.RCVTimeout->setText("2000");
        f.lstBaudRate->item(0)->setSelected(true);
        f.save();
        QCOMPARE(QStringList({store.value("Settings", "RCVTimeout"), store.value("Settings", "BaudRate")}), QStringList({"2000", "0"}));
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
