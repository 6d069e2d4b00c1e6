// The settings fields against a real settings file: defaults, the load sequence and where it
// stops, and what the save sequence writes.
#include "settings/settingsfields.h"
#include "support/tempstore.h"

#include <QTest>
#include <QWidget>

class TestSettings : public QObject {
    Q_OBJECT
    TempStore store;
    QWidget owner;

    static QString defaultText(const InstrumentField &def)
    {
        return def.defaultValue ? QString::number(*def.defaultValue) : QString();
    }

private slots:
    void init() { store.clear(); }

    // An empty store gives the defaults; the first "OK" writes every key with them, the baud
    // rate as its list index, into the application's own store file.
    void emptyStoreThenFirstOk()
    {
        SettingsFields f(&owner);
        QVERIFY(f.load());
        QCOMPARE(QStringList({f.CommPortSetting->text(), f.baudRateText(), f.RCVTimeout->text(), f.MaxStrings->text()}),
                 QStringList({"1", "38400", "3000", "11"}));
        QVERIFY(f.DTProtocol->isChecked() && !f.OEMProtocol->isChecked());
        QCOMPARE(f.field("MaximumAuxiliaryVolume")->text(), QString());
        QCOMPARE(f.field("MaxSteps")->text(), QString("24000"));
        QCOMPARE(f.field("MaxDACValue")->text(), QString("5851"));
        for (const auto &def : SettingsFields::instrumentFields())
            QCOMPARE(f.field(def.name)->text(), defaultText(def));
        QVERIFY(!store.contains("Settings", "BaudRate")); // loading writes nothing

        f.save();
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("1"));
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("11"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("2"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("3000"));
        QCOMPARE(store.value("ValvePositions", "MaximumSteps"), QString("24000"));
        QVERIFY(store.contains("Volumes", "MaximumAuxiliaryVolume"));
        for (const auto &def : SettingsFields::instrumentFields())
            QCOMPARE(store.value(def.section, def.key), defaultText(def));
        QVERIFY(!store.contains("ValvePositions", "FlowControl"));
        QVERIFY(store.filePath().startsWith(store.folder()) && store.filePath().contains("Kestrelworks"));
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
        store.set("Settings", "BaudRate", stored);
        store.set("Settings", "RCVTimeout", "1500");
        store.set("Volumes", "MinimumWashVolume", "700");
        store.set("ValvePositions", "ValveSpeed", "1234");
        SettingsFields f(&owner);
        const bool complete = !text.isEmpty();
        QCOMPARE(f.load(), complete);
        QCOMPARE(f.baudRateText(), text);
        QCOMPARE(f.field("ValveSpeed")->text(), QString("1234")); // step 1 ran in every case
        QCOMPARE(f.loadedSteps(), complete ? 5 : 1);
        QCOMPARE(f.lstBaudRate->selectedItems().size(), complete ? 1 : 0);
        QCOMPARE(f.RCVTimeout->text(), complete ? QString("1500") : QString("3000"));
        QCOMPARE(f.field("MinimumWashVolume")->text(), complete ? QString("700") : QString());
        QCOMPARE(f.field("MaxDACValue")->text(), complete ? QString("5851") : QString());
    }

    void storedValuesAreTakenAsText()
    {
        store.set("ValvePositions", "MaxStrings", "30");
        store.set("ValvePositions", "MaximumSteps", " 48000 ");
        SettingsFields f(&owner);
        QVERIFY(f.load());
        QCOMPARE(f.MaxStrings->text(), QString("30")); // the window's check caps it, not the load
        QCOMPARE(f.field("MaxSteps")->text(), QString(" 48000 "));
    }

    void saveWritesTextsUnchanged()
    {
        store.set("Settings", "BaudRate", "3");
        SettingsFields f(&owner);
        f.load();
        f.MaxStrings->clear();
        f.RCVTimeout->setText(" 250 ms");
        f.CommPortSetting->setText("5");
        f.field("WasteWithFilter")->setText("x");
        f.lstBaudRate->clearSelection();
        f.save(); // no baud entry selected: the stored rate stays
        QCOMPARE(store.value("Settings", "BaudRate"), QString("3"));
        f.lstBaudRate->item(4)->setSelected(true);
        f.save();
        QCOMPARE(f.MaxStrings->text(), QString("10"));
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("10"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString(" 250 ms"));
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("5"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("4"));
        QCOMPARE(store.value("ValvePositions", "WasteWithFilter"), QString("x"));
    }

    // After a load that stopped early, "OK" keeps the stored values of the fields the load never
    // reached, and writes those it did reach or the operator edited.
    void earlyStopLosesNothing()
    {
        store.set("Settings", "BaudRate", "9");
        store.set("Settings", "RCVTimeout", "4500");
        for (const auto &def : SettingsFields::instrumentFields())
            if (def.section != "ValvePositions")
                store.set(def.section, def.key, "7" + def.key);
        SettingsFields f(&owner);
        QVERIFY(!f.load());
        f.field("MaxDACValue")->setText("6000");
        f.save();
        QCOMPARE(store.value("Settings", "BaudRate"), QString("9"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("4500"));
        for (const auto &def : SettingsFields::instrumentFields())
            if (def.section != "ValvePositions" && def.name != "MaxDACValue")
                QCOMPARE(store.value(def.section, def.key), "7" + def.key);
        QCOMPARE(store.value("FlowRates", "MaxDACValue"), QString("6000"));
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("11"));

        f.RCVTimeout->setText("2000");
        f.lstBaudRate->item(0)->setSelected(true);
        f.save();
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("2000"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("0"));
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
