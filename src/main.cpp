#include "app/windows.h"
#include "console/stringfun.h"
#include "monitor/trafficmonitor.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrelworks"));
    // The console's closing unloads every window and ends the program; hidden windows keep
    // nothing alive.
    QApplication::setQuitOnLastWindowClosed(false);
    // The traffic monitor keeps every port's bytes from the start, opened or not.
    monitor::install();
    StringFun &console = windows::get<StringFun>();
    console.show();
    return app.exec();
}
