// The yardstick of the start-up benchmark: a bare Qt window showing one button.
#include <QApplication>
#include <QPushButton>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QPushButton button(QStringLiteral("Send String"));
    button.show();
    return app.exec();
}
