#include "app/commandline.h"
#include "app/programicon.h"
#include "app/termination.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "monitor/trafficmonitor.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // --help and --version answer without a display.
    if (const auto status = commandline::answer(argc, argv))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrelworks"));
    // Every window carries the program's icon in its title bar and the task bar; the desktop
    // entry of the same name gives it to the desktop's own lists.
    QApplication::setWindowIcon(programIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("com.kestrelworks.Quorvane"));
    // The console's closing unloads every window and ends the program; hidden windows keep
    // nothing alive.
    QApplication::setQuitOnLastWindowClosed(false);
    // The traffic monitor keeps every port's bytes from the start, opened or not.
    monitor::install();
    // Told to end from outside (kill, Ctrl+C in its terminal, the session logging out): close
    // as closing the console does, so no lock file of ours outlives the program.
    termination::install([](int signalNumber) { windows::shutDown(128 + signalNumber); });
    StringFun &console = windows::get<StringFun>();
    console.show();
    return app.exec();
}
