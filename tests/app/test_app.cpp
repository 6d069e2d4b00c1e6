// Twips geometry (the text-to-number rules are checked against a reference by the numbers fuzz
// target, over its corpus).
#include "app/twips.h"

#include <QPushButton>
#include <QTest>

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void twipsKeepFractions()
    {
        QWidget window;
        QPushButton b(&window);
        twips::setGeometry(&b, 2137.5, 1800, 3915, 285);
        QCOMPARE(b.geometry(), QRect(143, 120, 261, 19)); // 142.5 rounds away from zero
        twips::setTop(&b, 2156.25);
        QCOMPARE((QList<double>{twips::left(&b), twips::top(&b), twips::width(&b)}), (QList<double>{2137.5, 2156.25, 3915}));
        QCOMPARE(b.y(), 144);
    }
};

QTEST_MAIN(TestApp)
#include "test_app.moc"
