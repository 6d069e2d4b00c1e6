// The settings fields against a real settings file: defaults, the load sequence and where it
// stops, and what the save sequence writes.
#include "settings/settingsfields.h"
#include "support/tempstore.h"

#include <QSettings>
#include <QTest>
#include <QWidget>

class TestSettings : public QObject {
    Q_OBJECT
    TempStore store;

    static const QStringList &volumeAndFlowKeys()
    {
        static QStringList keys;
        if (keys.isEmpty())
            for (const auto &f : SettingsFields::instrumentFields())
                if (f.section != "ValvePositions")
                    keys << f.key;
        return keys;
    }

private slots:
    void init() { store.clear(); }

    void emptyStoreGivesTheDefaults()
    {
        QWidget owner;
        SettingsFields f(&owner);
        QVERIFY(f.load());
        QCOMPARE(f.CommPortSetting->text(), QString("1"));
        QCOMPARE(f.baudRateText(), QString("38400"));
        QCOMPARE(f.RCVTimeout->text(), QString("3000"));
        QCOMPARE(f.MaxStrings->text(), QString("11"));
        QVERIFY(f.DTProtocol->isChecked());
        QVERIFY(!f.OEMProtocol->isChecked());
        QVERIFY(!f.CommPortSetting->isEnabled());
        for (const auto &def : SettingsFields::instrumentFields()) {
            const QString expected = def.defaultValue ? QString::number(*def.defaultValue) : QString();
            QCOMPARE(f.field(def.name)->text(), expected);
        }
        QCOMPARE(f.field("MaximumAuxiliaryVolume")->text(), QString());
        QCOMPARE(f.field("MaxSteps")->text(), QString("24000"));
        QCOMPARE(f.field("MaxDACValue")->text(), QString("5851"));
        QCOMPARE(store.contains("Settings", "BaudRate"), false); // loading writes nothing
    }

    void baudRateIndex_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("complete");
        QTest::newRow("0") << "0" << "9600" << true;
        QTest::newRow("5") << "5" << "230400" << true;
        QTest::newRow("6") << "6" << "" << false;
        QTest::newRow("9") << "9" << "" << false;
        QTest::newRow("-1") << "-1" << "" << false;
        QTest::newRow("letters") << "fast" << "" << false;
        QTest::newRow("empty") << "" << "" << false;
    }
    void baudRateIndex()
    {
        QFETCH(QString, stored);
        QFETCH(QString, text);
        QFETCH(bool, complete);
        store.set("Settings", "BaudRate", stored);
        store.set("Settings", "RCVTimeout", "1500");
        store.set("Volumes", "MinimumWashVolume", "700");
        store.set("ValvePositions", "ValveSpeed", "1234");
        QWidget owner;
        SettingsFields f(&owner);
        QCOMPARE(f.load(), complete);
        QCOMPARE(f.baudRateText(), text);
        QCOMPARE(f.field("ValveSpeed")->text(), QString("1234")); // step 1 ran in every case
        if (complete) {
            QCOMPARE(f.RCVTimeout->text(), QString("1500"));
            QCOMPARE(f.field("MinimumWashVolume")->text(), QString("700"));
        } else {
            QCOMPARE(f.loadedSteps(), 1);
            QVERIFY(f.lstBaudRate->selectedItems().isEmpty());
            QCOMPARE(f.RCVTimeout->text(), QString("3000"));
            QCOMPARE(f.field("MinimumWashVolume")->text(), QString());
            QCOMPARE(f.field("MaxDACValue")->text(), QString());
        }
    }

    void storedValuesAreTakenAsText()
    {
        store.set("ValvePositions", "MaxStrings", "30");
        store.set("ValvePositions", "CommPortSetting", "12");
        store.set("ValvePositions", "MaximumSteps", " 48000 ");
        QWidget owner;
        SettingsFields f(&owner);
        QVERIFY(f.load());
        QCOMPARE(f.MaxStrings->text(), QString("30")); // the window's check caps it, not the load
        QCOMPARE(f.CommPortSetting->text(), QString("12"));
        QCOMPARE(f.field("MaxSteps")->text(), QString(" 48000 "));
    }

    void firstOkWritesEveryKey()
    {
        QWidget owner;
        SettingsFields f(&owner);
        f.load();
        f.save();
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("1"));
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("11"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("2"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("3000"));
        QCOMPARE(store.value("ValvePositions", "MaximumSteps"), QString("24000"));
        QCOMPARE(store.value("ValvePositions", "MaximumVolume"), QString("1050"));
        QCOMPARE(store.value("ValvePositions", "MaxPresureChange"), QString("100"));
        QCOMPARE(store.value("Volumes", "MinimumDispenseVolume"), QString("10"));
        QCOMPARE(store.value("Volumes", "MaximumDispenseVolume"), QString("600"));
        QVERIFY(store.contains("Volumes", "MaximumAuxiliaryVolume"));
        QCOMPARE(store.value("Volumes", "MaximumAuxiliaryVolume"), QString());
        QCOMPARE(store.value("FlowRates", "MaxDACValue"), QString("5851"));
        for (const auto &def : SettingsFields::instrumentFields())
            QVERIFY2(store.contains(def.section, def.key), qPrintable(def.key));
        QVERIFY(!store.contains("ValvePositions", "FlowControl"));
    }

    void saveWritesTextsUnchanged()
    {
        QWidget owner;
        SettingsFields f(&owner);
        f.load();
        f.MaxStrings->clear();
        f.RCVTimeout->setText(" 250 ms");
        f.CommPortSetting->setText("5");
        f.lstBaudRate->item(4)->setSelected(true);
        f.field("WasteWithFilter")->setText("x");
        f.save();
        QCOMPARE(f.MaxStrings->text(), QString("10"));
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("10"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString(" 250 ms"));
        QCOMPARE(store.value("ValvePositions", "CommPortSetting"), QString("5"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("4"));
        QCOMPARE(store.value("ValvePositions", "WasteWithFilter"), QString("x"));
    }

    void noBaudSelectionKeepsTheStoredRate()
    {
        store.set("Settings", "BaudRate", "3");
        QWidget owner;
        SettingsFields f(&owner);
        f.load();
        f.lstBaudRate->clearSelection();
        f.save();
        QCOMPARE(store.value("Settings", "BaudRate"), QString("3"));
    }

    void badBaudRateLosesNothing()
    {
        store.set("Settings", "BaudRate", "9");
        store.set("Settings", "RCVTimeout", "4500");
        for (const QString &key : volumeAndFlowKeys())
            store.set(key.contains("Flow") || key.contains("Loop") || key.contains("Sonication")
                              || key.contains("Wait") || key == "MaxDACValue"
                          ? "FlowRates" : "Volumes",
                      key, "7" + key);
        QWidget owner;
        SettingsFields f(&owner);
        QVERIFY(!f.load());
        f.save();
        QCOMPARE(store.value("Settings", "BaudRate"), QString("9"));
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("4500"));
        for (const auto &def : SettingsFields::instrumentFields())
            if (def.section != "ValvePositions")
                QCOMPARE(store.value(def.section, def.key), "7" + def.key);
        // The fields the load did reach are written as usual.
        QCOMPARE(store.value("ValvePositions", "MaxStrings"), QString("11"));
    }

    void editedFieldIsSavedAfterAnEarlyStop()
    {
        store.set("Settings", "BaudRate", "x");
        store.set("Settings", "RCVTimeout", "4500");
        QWidget owner;
        SettingsFields f(&owner);
        QVERIFY(!f.load());
        f.RCVTimeout->setText("2000");
        f.lstBaudRate->item(0)->setSelected(true);
        f.save();
        QCOMPARE(store.value("Settings", "RCVTimeout"), QString("2000"));
        QCOMPARE(store.value("Settings", "BaudRate"), QString("0"));
    }

    void storeFileIsPerApplication()
    {
        store.set("Settings", "RCVTimeout", "1");
        QVERIFY(store.filePath().startsWith(store.folder()));
        QVERIFY(store.filePath().contains("Kestrelworks"));
        QVERIFY(QFile::exists(store.filePath()));
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
