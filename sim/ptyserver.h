#pragma once
// Serves a DriveBus on the master side of a pseudo-terminal: a console opens slavePath() as
// its serial port and talks to the simulated drives.
//
// The server keeps a slave descriptor of its own open, so the line survives the console
// closing and re-opening its side. It serves either in the event loop of the thread that calls
// start() (a QSocketNotifier on the master), or on a thread of its own (startThread()), so a
// client that blocks in its waits does not starve it.
//
// While serving on its own thread the bus is shared: reach it through withBus(), which holds
// the server's lock. bus() is for setting up before start and inspecting after stop (or at any
// time when serving in the caller's thread).
//
// When the bus asks for a hang-up (Faults::hangUpAfterBytes), or hangUp() is called, the
// server closes both its descriptors: the console then sees a dead line.

#include "sim/drivebus.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class QThread;

namespace sim {

class PtyPump;

class PtyServer : public QObject {
    Q_OBJECT
public:
    explicit PtyServer(QObject *parent = nullptr);
    ~PtyServer() override;

    // Opens a new pseudo-terminal (raw, 8 bits); false with errorString() set.
    bool open();
    // Serves in the calling thread's event loop; opens first when needed.
    bool start();
    // Serves on a thread of its own; opens first when needed.
    bool startThread();
    // Stops serving and closes the line.
    void stop();

    bool isOpen() const { return m_master >= 0; }
    bool isServing() const { return m_pump != nullptr; }
    bool isThreaded() const { return m_thread != nullptr; }
    // True once the line was hung up (by the fault or by hangUp()).
    bool isHungUp() const { return m_hungUp.load(); }
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_error; }
    // The output baud rate the console last set on the line (0 when closed or not a
    // standard rate). Read through the master side, so it never needs to open the slave,
    // which the console may hold exclusively.
    int baudRate() const;

    DriveBus &bus() { return m_bus; }
    template <class F>
    auto withBus(F &&f)
    {
        QMutexLocker lock(&m_mutex);
        return f(m_bus);
    }

    // Closes the line now, as a hang-up.
    void hangUp();

    // Called on the serving thread for every chunk: true for bytes from the console.
    using Trace = std::function<void(bool fromConsole, const QByteArray &bytes)>;
    void setTrace(Trace trace) { m_trace = std::move(trace); }

signals:
    // The line was hung up (emitted on the serving thread).
    void hungUp();

private:
    friend class PtyPump;
    void closeFds();

    DriveBus m_bus;
    QMutex m_mutex;
    int m_master = -1;
    int m_slaveKeep = -1;
    QString m_slavePath;
    QString m_error;
    PtyPump *m_pump = nullptr;
    QThread *m_thread = nullptr;
    std::atomic<bool> m_hungUp{false};
    Trace m_trace;
};

} // namespace sim
