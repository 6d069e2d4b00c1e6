// A row sent from the console window and answered, against the floor of a bare event-driven
// QSerialPort exchange on the same pseudo-terminal, with a peer that answers at once.
//
//   bench_console_send [presses]      (default 1000)
//
// The console runs offscreen. One press is: row 1's Send button clicked, until the decoded reply
// is in ReceiveString(1). Prints both medians (microseconds), the 90th percentiles and the
// ratio. Goal: the console costs at most 2 times the floor.
//
// The window is shown (offscreen), so the repaints a press causes are part of the cost, as they
// are for the operator; BENCH_HIDDEN=1 runs it with the window hidden, to tell the two apart.
#include "app/windows.h"
#include "echopeer.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"
#include "support/ptypair.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>

namespace {

const QString kShown = QStringLiteral("1000 No Error");

// One press of row 1's Send button, until the reply shows in the row.
double consoleOnce(StringFun &console, std::vector<double> &inClick)
{
    // Whatever the previous reply left (its LF) is handled before the clock starts, as it is
    // long before an operator's next click.
    QCoreApplication::processEvents();
    console.ReceiveString[1]->clear();

    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto c = QObject::connect(console.ReceiveString[1], &QLineEdit::textChanged, &loop,
                                    [&loop](const QString &text) {
                                        if (!text.isEmpty())
                                            loop.quit();
                                    });
    QElapsedTimer t;
    t.start();
    console.SendCommand[1]->click();
    inClick.push_back(double(t.nsecsElapsed()) / 1000.0);
    guard.start(1000);
    if (console.ReceiveString[1]->text().isEmpty())
        loop.exec();
    const double us = double(t.nsecsElapsed()) / 1000.0;
    QObject::disconnect(c);
    return guard.isActive() && console.ReceiveString[1]->text() == kShown ? us : -1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int presses = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
    const int perRound = 100;

    TempStore store;
    ScriptedPlatform platform; // no real message box, ever
    for (int n = 1; n <= 16; ++n)
        store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
    PtyPair pty;
    if (!pty.isValid()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    store.mapPort(1, pty.slavePath());
    bench::EchoPeer peer(pty.masterFd(), bench::kDtReply);

    StringFun &console = windows::get<StringFun>();
    if (!qEnvironmentVariableIsSet("BENCH_HIDDEN"))
        console.show();
    console.StringToSend[1]->setText("/1?0");
    const QString baud = windows::get<Settings>().fields.baudRateText();

    std::vector<double> floorTimes, consoleTimes, clickTimes;
    int floorFailures = 0, consoleFailures = 0;
    while (int(consoleTimes.size()) + consoleFailures < presses) {
        {
            QSerialPort port(pty.slavePath());
            if (!port.open(QIODevice::ReadWrite)) {
                std::fprintf(stderr, "cannot open %s\n", qPrintable(pty.slavePath()));
                return 1;
            }
            port.setBaudRate(baud.toInt());
            port.clear();
            for (int i = 0; i < perRound; ++i)
                if (const double us = bench::floorExchange(port, "/1?0\r", bench::kDtReply); us >= 0)
                    floorTimes.push_back(us);
                else
                    ++floorFailures;
        }
        const int n = std::min(perRound, presses - int(consoleTimes.size()) - consoleFailures);
        for (int i = 0; i < n; ++i)
            if (const double us = consoleOnce(console, clickTimes); us >= 0)
                consoleTimes.push_back(us);
            else
                ++consoleFailures;
        // The console's port is closed again so the next floor block has the line to itself.
        console.MSComm1().close();
        QCoreApplication::processEvents();
    }

    const double f = bench::percentile(floorTimes, 0.5), c = bench::percentile(consoleTimes, 0.5);
    std::printf("bare QSerialPort echo   median %8.1f us  p90 %8.1f us  (%zu exchanges, %d failed)\n", f,
                bench::percentile(floorTimes, 0.9), floorTimes.size(), floorFailures);
    std::printf("console row send        median %8.1f us  p90 %8.1f us  (%zu presses, %d failed)\n", c,
                bench::percentile(consoleTimes, 0.9), consoleTimes.size(), consoleFailures);
    std::printf("  of which in the click  median %8.1f us  (the row send handler up to its write)\n",
                bench::percentile(clickTimes, 0.5));
    std::printf("ratio console/floor     %8.2f  (goal <= 2.00)\n", f > 0 ? c / f : 0.0);
    windows::unloadAll();
    QCoreApplication::processEvents();
    return floorFailures || consoleFailures ? 1 : 0;
}
