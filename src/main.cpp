#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle(QStringLiteral("Kestrelworks Quorvane Version  1. 2. 12"));
    w.show();
    return app.exec();
}
