#pragma once
// The firmware update without its window: the file's validation against the controller, the
// four port operations and the update's stages, from validation to completion.
//
// The transfer talks to the drive through an UpdatePort and shows what happens through an
// UpdateView. Every wait (waitTXBuffer, delayLoop, getRXBuffer) lets events run and sleeps until
// the port has news or the wait's bound comes, so the window's buttons and the reply time-out
// are handled in the middle of an update. A wait ends early once the attempt has been stopped,
// timed out or has lost its line. The window may be closed under a wait: the transfer goes with
// it, and nothing of it is touched afterwards.

#include "firmware/amxfile.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class CommPort;
class QDeadlineTimer;
class QTimer;

// What the update needs of a serial port.
class UpdatePort : public QObject {
    Q_OBJECT
public:
    virtual bool isOpen() const = 0;
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual QString lineSettings() const = 0;
    virtual void setLineSettings(const QString &text) = 0;
    // One byte per character; false when the port is not open or refuses the bytes.
    virtual bool write(const QString &text) = 0;
    // Everything waiting; the receive buffer is empty afterwards.
    virtual QString readAll() = 0;
    virtual int countReceived() const = 0;
    // Characters written that have not yet left.
    virtual int countUnsent() const = 0;
    virtual QString devicePath() const = 0;

signals:
    // Bytes arrived or left.
    void activity();
    // The device vanished and the port has closed.
    void lost();
};

// A CommPort (the firmware window's MSCommFlash) as the update's port.
class CommUpdatePort final : public UpdatePort {
public:
    explicit CommUpdatePort(CommPort &port);

    bool isOpen() const override;
    bool open() override;
    void close() override;
    QString lineSettings() const override;
    void setLineSettings(const QString &text) override;
    bool write(const QString &text) override;
    QString readAll() override;
    int countReceived() const override;
    int countUnsent() const override;
    QString devicePath() const override;

private:
    CommPort &m_port;
};

// What the update shows and asks of its window.
class UpdateView {
public:
    enum class Icon { None, Information, Exclamation };

    virtual ~UpdateView() = default;
    virtual void showStatus(const QString &text) = 0;
    // 0 to 100.
    virtual void showProgress(int value) = 0;
    // Called every 7th block with the block index; lets events run.
    virtual void updateSpinner(int32_t count) = 0;
    virtual void showSpinner(const QString &text) = 0;
    virtual void showMessage(const QString &text, Icon icon) = 0;
    // The confirmation before the update; true for Yes.
    virtual bool confirm(const QString &text) = 0;
    // The chosen drive's address character and the chosen baud text, read afresh at each use.
    virtual QString AddressChar() const = 0;
    virtual QString baudText() const = 0;
    // Chooses 9600 baud.
    virtual void selectFirstBaud() = 0;
    // The attempt is over: Update is disabled until a file is chosen again. An end of the
    // transfer proper (`transfer`) also disables Pause and enables the window.
    virtual void attemptEnded(bool transfer) = 0;
};

class UpdateTransfer : public QObject {
    Q_OBJECT
public:
    // `replyTimer` is the reply time-out: its owner sets the interval and connects its timeout
    // to timeOut(). A wait for a reply gives up kReplyMargin milliseconds after that interval.
    UpdateTransfer(UpdatePort &port, UpdateView &view, QTimer &replyTimer, QObject *parent = nullptr);

    // One update of the file at `path`, from validation to its end. Ignored while one runs.
    void run(const QString &path);
    bool isRunning() const { return m_state != State::Idle; }
    // Ends the running attempt at its next wait, with "Status: Transfer stopped.".
    void stop();
    // The reply time-out has fired.
    void timeOut();

    // Validates the file against the controller and fills the header; true when it may be sent.
    bool validUpdateFile(const QString &path, AMXHeader &header);

    // Port operations.
    void sendFlashToDrive(const QString &strCommand);
    QString getRXBuffer(int32_t count);
    void waitTXBuffer();
    // Lets events run for count microseconds.
    void delayLoop(int32_t count);

    static constexpr int kReplyMargin = 1000;

signals:
    // An attempt has ended (emitted last; the transfer is idle again).
    void finished();
    // Ends the wait in progress.
    void woken();

private:
    enum class State {
        Idle,     // no attempt runs
        Running,
        Stopped,  // by the window (Close, Load Image)
        LineLost, // the port's device vanished or refused a write
        TimedOut, // the reply time-out fired: AbortTransfer
    };
    // What an update stage leads to.
    enum class Step {
        Next,        // the next stage
        CommonExit,  // the attempt ends before any block was sent
        EndTransfer, // the attempt ends as a transfer ends
        Gone,        // the transfer was destroyed meanwhile: touch nothing
    };
    struct Attempt {
        QString path;
        AMXHeader header;
        QFile image;
        qint64 fileLength = 0;
        qint64 position = 0; // from 1
        int32_t counted = 0; // bytes since the last progress step
        int32_t blockIndex = 0;
        int progress = 0;
    };

    Step stages(Attempt &a);
    Step validate(Attempt &a);
    Step confirm(Attempt &a);
    Step negotiate(Attempt &a);
    Step enterUpdateMode(Attempt &a);
    Step sendBlocks(Attempt &a);
    Step sendBlock(Attempt &a);
    Step complete(Attempt &a);

    // Sends and waits for the bytes to leave.
    Step command(const QString &text);
    // Lets the line settle after a rate change or the update-mode command.
    Step settle();
    // After every wait: whether the attempt goes on; shows why not.
    static Step checkpoint(const QPointer<UpdateTransfer> &self);
    // A version or device query: the reply after the settle delay, nullopt when interrupted.
    std::optional<QString> query(const QString &text);
    // Waits for count characters, then reads all waiting input, spaces trimmed; nullopt when
    // fewer came before the wait ended.
    std::optional<QString> awaitInput(int32_t count);
    bool waitUntil(const QDeadlineTimer &deadline, const std::function<bool()> &done, int pollMs = -1);
    bool interrupted() const { return m_state > State::Running; }
    void interrupt(State why);
    void discardInput();
    void setProgress(int value);
    void reportError(const QString &routine, int number, const QString &description);

    UpdatePort &m_port;
    UpdateView &m_view;
    QTimer &m_timer;
    State m_state = State::Idle;
};
