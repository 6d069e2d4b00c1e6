// Text-to-number rules, twips geometry and the window registry.
#include "app/numbers.h"
#include "app/twips.h"
#include "app/windows.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

namespace {
int loads = 0, unloads = 0;
class Probe : public Form {
public:
    void Form_Load() override { ++loads; }
    void Form_Unload() override { ++unloads; }
};
} // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void int16_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "25" << true << 25;
        QTest::newRow("blanks") << "  11 " << true << 11;
        QTest::newRow("negative") << "-3" << true << -3;
        QTest::newRow("round down") << "2.4" << true << 2;
        QTest::newRow("round up") << "2.6" << true << 3;
        QTest::newRow("tie to even") << "2.5" << true << 2;
        QTest::newRow("tie to even up") << "3.5" << true << 4;
        QTest::newRow("max") << "32767" << true << 32767;
        QTest::newRow("min") << "-32768" << true << -32768;
        QTest::newRow("overflow") << "32768" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("letters") << "abc" << false << 0;
        QTest::newRow("trailing letter") << "12a" << false << 0;
    }
    void int16()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(int, value);
        const auto v = numbers::toInt16(text);
        QCOMPARE(v.has_value(), ok);
        if (ok)
            QCOMPARE(int(*v), value);
    }

    void int32Range()
    {
        QCOMPARE(*numbers::toInt32("3000"), 3000);
        QCOMPARE(*numbers::toInt32("100000"), 100000);
        QVERIFY(!numbers::toInt32("3000000000"));
        QVERIFY(!numbers::toInt32("x"));
    }

    void hexPrefix_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("value");
        QTest::newRow("digits") << "1A3F" << 0x1A3Fu;
        QTest::newRow("lower") << "a3f" << 0xA3Fu;
        QTest::newRow("stops") << "1Z9" << 1u;
        QTest::newRow("none") << "Z0123" << 0u;
        QTest::newRow("empty") << "" << 0u;
    }
    void hexPrefix()
    {
        QFETCH(QString, text);
        QFETCH(uint, value);
        QCOMPARE(numbers::hexPrefix(text), value);
    }

    void signedWithBlank()
    {
        QCOMPARE(numbers::signedWithBlank(1), QString(" 1"));
        QCOMPARE(numbers::signedWithBlank(12), QString(" 12"));
        QCOMPARE(numbers::signedWithBlank(-3), QString("-3"));
    }

    void twipsKeepFractions()
    {
        QWidget window;
        QPushButton b(&window);
        twips::setGeometry(&b, 2137.5, 1800, 3915, 285);
        QCOMPARE(twips::left(&b), 2137.5);
        QCOMPARE(twips::width(&b), 3915.0);
        QCOMPARE(b.geometry(), QRect(143, 120, 261, 19)); // 142.5 rounds away from zero
        twips::setTop(&b, 2156.25);
        QCOMPARE(twips::top(&b), 2156.25);
        QCOMPARE(b.y(), 144);
    }

    void registryCreatesOnceAndUnloads()
    {
        loads = unloads = 0;
        QVERIFY(!windows::loaded<Probe>());
        Probe &a = windows::get<Probe>();
        Probe &b = windows::get<Probe>();
        QCOMPARE(&a, &b);
        QCOMPARE(loads, 1);
        QVERIFY(!a.isVisible());
        QVERIFY(windows::all().contains(&a));
        windows::unload<Probe>();
        QCOMPARE(unloads, 1);
        QVERIFY(!windows::loaded<Probe>());
        windows::get<Probe>();
        QCOMPARE(loads, 2);
        windows::unloadAll();
        QCOMPARE(unloads, 2);
        QVERIFY(windows::all().isEmpty());
    }
};

QTEST_MAIN(TestApp)
#include "test_app.moc"
