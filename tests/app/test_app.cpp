// Text-to-number rules and twips to pixels.
#include "app/numbers.h"
#include "app/twips.h"

#include <QPushButton>
#include <QTest>

class TestApp : public QObject {
    Q_OBJECT
private slots:
    // A decimal text as a double, rounded to 16 and 32 bits (an invalid value: refused), and its
    // leading hexadecimal digits.
    void toNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariant>("real");
        QTest::addColumn<QVariant>("int16");
        QTest::addColumn<QVariant>("int32");
        QTest::addColumn<uint>("hex");
        const QVariant no;
        QTest::newRow("tie to even") << "2.5" << QVariant(2.5) << QVariant(2) << QVariant(2) << 2u;
        QTest::newRow("tie to even up, blanks") << "  +3.5 " << QVariant(3.5) << QVariant(4) << QVariant(4) << 0u;
        QTest::newRow("16-bit max") << "32767" << QVariant(32767.0) << QVariant(32767) << QVariant(32767) << 0x32767u;
        QTest::newRow("16-bit min") << "-32768" << QVariant(-32768.0) << QVariant(-32768) << QVariant(-32768) << 0u;
        QTest::newRow("beyond 16 bits") << "32768" << QVariant(32768.0) << no << QVariant(32768) << 0x32768u;
        QTest::newRow("beyond 32 bits") << "3E9" << QVariant(3e9) << no << no << 0x3E9u;
        QTest::newRow("smallest double") << "4e-324" << QVariant(4.9406564584124654e-324) << QVariant(0) << QVariant(0) << 0x4Eu;
        QTest::newRow("too small for a double") << "-1e-400" << QVariant(0.0) << QVariant(0) << QVariant(0) << 0u;
        QTest::newRow("too large for a double") << "1e400" << QVariant(qInf()) << no << no << 0x1E400u;
        QTest::newRow("infinite") << "inf" << no << no << no << 0u;
        QTest::newRow("empty") << "" << no << no << no << 0u;
        QTest::newRow("hex either case, trailing letter") << "1a3Fz" << no << no << no << 0x1A3Fu;
    }
    void toNumber()
    {
        QFETCH(QString, text); QFETCH(QVariant, real); QFETCH(QVariant, int16); QFETCH(QVariant, int32); QFETCH(uint, hex);
        const auto d = numbers::toDouble(text);
        const auto v16 = numbers::toInt16(text);
        const auto v32 = numbers::toInt32(text);
        QCOMPARE(QVariantList({d ? QVariant(*d) : QVariant(), v16 ? QVariant(int(*v16)) : QVariant(), v32 ? QVariant(int(*v32)) : QVariant()}),
                 QVariantList({real, int16, int32}));
        QCOMPARE(numbers::hexPrefix(text), hex);
    }

    // Twips to pixels, 15 a pixel: 2137.5 twips are 142.5 pixels, which round away from zero.
    void twipsToPixels()
    {
        QWidget window;
        QPushButton b(&window);
        twips::setGeometry(&b, 2137.5, 1800, 3915, 285);
        QCOMPARE(b.geometry(), QRect(143, 120, 261, 19));
    }
};

QTEST_MAIN(TestApp)
#include "test_app.moc"
