// Twips to pixels (the text-to-number rules are checked against a reference by the numbers fuzz
// target, over its corpus).
#include "app/twips.h"

#include <QPushButton>
#include <QTest>

class TestApp : public QObject {
    Q_OBJECT
private slots:
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
