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

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

const QByteArray kReply("\xff/0`1000\x03\r\n");
const QString kShown = QStringLiteral("1000 No Error");

// Answers every CR-terminated command on the master side with the same DT reply, at once.
class Peer {
public:
    explicit Peer(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~Peer()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            char buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\r' && ::write(m_fd, kReply.constData(), size_t(kReply.size())) < 0)
                    return;
        }
    }
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

// One bare exchange, event-driven as a windowed program does it: write the command, collect
// readyRead chunks in the event loop until the whole reply is in.
double floorOnce(QSerialPort &port)
{
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    QByteArray got;
    const auto c = QObject::connect(&port, &QSerialPort::readyRead, &loop, [&] {
        got += port.readAll();
        if (got.size() >= kReply.size())
            loop.quit();
    });
    QElapsedTimer t;
    t.start();
    port.write("/1?0\r");
    guard.start(1000);
    loop.exec();
    const double us = double(t.nsecsElapsed()) / 1000.0;
    QObject::disconnect(c);
    return guard.isActive() && got == kReply ? us : -1;
}

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
    Peer peer(pty.masterFd());

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
                if (const double us = floorOnce(port); us >= 0)
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

    const double f = percentile(floorTimes, 0.5), c = percentile(consoleTimes, 0.5);
    std::printf("bare QSerialPort echo   median %8.1f us  p90 %8.1f us  (%zu exchanges, %d failed)\n", f,
                percentile(floorTimes, 0.9), floorTimes.size(), floorFailures);
    std::printf("console row send        median %8.1f us  p90 %8.1f us  (%zu presses, %d failed)\n", c,
                percentile(consoleTimes, 0.9), consoleTimes.size(), consoleFailures);
    std::printf("  of which in the click  median %8.1f us  (the row send handler up to its write)\n",
                percentile(clickTimes, 0.5));
    std::printf("ratio console/floor     %8.2f  (goal <= 2.00)\n", f > 0 ? c / f : 0.0);
    windows::unloadAll();
    QCoreApplication::processEvents();
    return floorFailures || consoleFailures ? 1 : 0;
}
