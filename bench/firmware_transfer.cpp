// Firmware transfer through the firmware window against the drive simulator on a pty, beside
// the floor: the same block exchange done by a bare QSerialPort loop in the same run.
//
//   bench_firmware_transfer [image bytes]      (default 65536)
//
// Runs unpaced and paced at 57600 baud, and prints blocks per second for both, their ratio,
// the wire time of the paced replies, and the processor time of the window's thread while it
// waits for a slow drive; then the unpaced update through ser2net by RFC 2217 against the local
// pseudo-terminal (where ser2net is installed). Goals: at least 80% of the floor unpaced; within 5% of the wire time
// paced; under a quarter of a core while waiting. Exits with 2 when a goal is missed.
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "settings/settingswindow.h"
#include "sim/ptyserver.h"
#include "support/scriptedplatform.h"
#include "support/ser2net.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr int kCom = 4;

double threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QByteArray image(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 131 + 7) & 0xFF);
    b[0] = '9'; // no header
    return b;
}

struct Result {
    int blocks = 0;
    double seconds = 0;
    double cpu = 0;
    bool ok = false;
    double perSecond() const { return seconds > 0 ? blocks / seconds : 0; }
};

// The bare loop: update mode by hand, then write a block, wait for its reply, read it.
Result floorRun(const QByteArray &img, int paceBaud)
{
    sim::PtyServer server;
    Result r;
    if (!server.open())
        return r;
    server.bus().faults().paceBaud = paceBaud;
    server.startThread();
    QSerialPort port(server.slavePath());
    if (!port.open(QIODevice::ReadWrite))
        return r;
    port.setBaudRate(paceBaud ? paceBaud : 9600);
    port.write("/1[\r");
    port.waitForBytesWritten(1000);
    while (port.bytesAvailable() < 1 && port.waitForReadyRead(2000)) {}
    port.readAll();
    QElapsedTimer t;
    t.start();
    const double cpu0 = threadCpuSeconds();
    for (qsizetype pos = 0; pos < img.size(); pos += 6) {
        port.write(img.mid(pos, 6));
        port.flush();
        while (port.bytesAvailable() < 1)
            if (!port.waitForReadyRead(3000))
                return r;
        port.readAll();
        ++r.blocks;
    }
    r.seconds = t.nsecsElapsed() / 1e9;
    r.cpu = threadCpuSeconds() - cpu0;
    r.ok = true;
    port.close();
    server.stop();
    return r;
}

// The window: a whole update; timed from the first block to completion. Through ser2net by
// RFC 2217 when `overNetwork`.
Result windowRun(const QString &file, int imageSize, int paceBaud, int replyDelayMs, ScriptedPlatform &ui,
                 TempStore &store, bool overNetwork = false)
{
    sim::PtyServer server;
    Result r;
    if (!server.open())
        return r;
    server.bus().faults().paceBaud = paceBaud;
    server.bus().faults().replyDelayMs = replyDelayMs;
    server.startThread();
    store.mapPort(kCom, server.slavePath());
    std::unique_ptr<Ser2net> ser2net;
    if (overNetwork) {
        ser2net = std::make_unique<Ser2net>(server.slavePath());
        if (!ser2net->start())
            return r;
        store.mapPort(kCom, ser2net->rfc2217Url());
    }

    frmFlash &w = windows::get<frmFlash>();
    w.cboBaud->setCurrentText(paceBaud ? QString::number(paceBaud) : "57600");
    ui.files.enqueue(file);
    w.cmdLoadImage_Click();
    QElapsedTimer t;
    double cpu0 = 0;
    QObject::connect(w.txtStatus, &QLineEdit::textChanged, [&](const QString &s) {
        if (s == "Status: Transmitting data...") {
            t.start();
            cpu0 = threadCpuSeconds();
        } else if (s == "Status: Transfer complete..." || s.startsWith("Status: Timeout")) {
            r.seconds = t.nsecsElapsed() / 1e9;
            r.cpu = threadCpuSeconds() - cpu0;
        }
    });
    w.cmdUpdate_Click();
    r.ok = w.txtStatus->text() == "Status: OK";
    r.blocks = server.withBus([](sim::DriveBus &b) { return b.updateBlocks(); });
    if (server.withBus([](sim::DriveBus &b) { return b.updateImage().size(); }) != imageSize)
        r.ok = false;
    windows::unload<frmFlash>();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    server.stop();
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int size = argc > 1 ? QByteArray(argv[1]).toInt() : 65536;

    TempStore store;
    ScriptedPlatform ui;
    QTemporaryDir dir;
    const QString file = dir.filePath("bench.amx");
    const QByteArray img = image(size);
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(img);
    }
    Settings &s = windows::get<Settings>();
    s.fields.CommPortSetting->setText(QString::number(kCom));
    s.fields.RCVTimeout->setText("3000");
    s.fields.lstBaudRate->setCurrentRow(0);
    windows::get<StringFun>();

    std::printf("image %d bytes, %d blocks of 6\n", size, (size + 5) / 6);
    int failures = 0;
    for (int pace : {0, 57600}) {
        const Result floor = floorRun(img, pace);
        const Result win = windowRun(file, size, pace, 0, ui, store);
        const double ratio = floor.perSecond() > 0 ? win.perSecond() / floor.perSecond() : 0;
        std::printf("%-9s floor %8.0f blocks/s (%.3f s)   window %8.0f blocks/s (%.3f s, %s)   window/floor %5.1f%%"
                    "   window cpu %.0f%% of a core\n",
                    pace ? "paced" : "unpaced", floor.perSecond(), floor.seconds, win.perSecond(), win.seconds,
                    win.ok ? "ok" : "FAILED", ratio * 100, win.seconds > 0 ? win.cpu / win.seconds * 100 : 0);
        if (pace) {
            // The simulator paces the line both ways: 6 bytes out and 1 back a block, 10 bits a byte.
            const double wire = win.blocks * 7 * 10.0 / pace;
            std::printf("          wire time %.3f s (7 bytes a block at %d baud): window %+.1f%%, floor %+.1f%%\n",
                        wire, pace, (win.seconds / wire - 1) * 100, (floor.seconds / wire - 1) * 100);
            if (win.seconds > wire * 1.05)
                ++failures;
        } else if (ratio < 0.8) {
            ++failures;
        }
        if (!win.ok || !floor.ok)
            ++failures;
    }

    // The same unpaced update through ser2net by RFC 2217, against the local pseudo-terminal.
    if (Ser2net::installed()) {
        const Result local = windowRun(file, size, 0, 0, ui, store);
        const Result net = windowRun(file, size, 0, 0, ui, store, true);
        std::printf("unpaced   local pty %8.0f blocks/s (%.3f s)   RFC 2217 %8.0f blocks/s (%.3f s, %s)   network/local %5.1f%%\n",
                    local.perSecond(), local.seconds, net.perSecond(), net.seconds, net.ok ? "ok" : "FAILED",
                    local.perSecond() > 0 ? net.perSecond() / local.perSecond() * 100 : 0);
        if (!net.ok)
            ++failures;
    }

    // Waiting for a slow drive: every reply held back 20 ms.
    const int slowSize = 6 * 100;
    const QString slowFile = dir.filePath("slow.amx");
    {
        QFile f(slowFile);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(image(slowSize));
    }
    const Result slow = windowRun(slowFile, slowSize, 0, 20, ui, store);
    const double share = slow.seconds > 0 ? slow.cpu / slow.seconds : 1;
    std::printf("waiting   %d blocks, reply delay 20 ms: %.3f s, window thread cpu %.4f s = %.1f%% of a core (%s)\n",
                slow.blocks, slow.seconds, slow.cpu, share * 100, slow.ok ? "ok" : "FAILED");
    if (share >= 0.25 || !slow.ok)
        ++failures;
    std::printf("%s\n", failures ? "GOALS MISSED" : "goals met");
    windows::unloadAll();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return failures ? 2 : 0;
}
