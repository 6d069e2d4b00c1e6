#pragma once
// The firmware update window "Firmware Update": the operator picks an AMX update file, the
// baud rate and the drive's address, and sends the image to the drive over the window's own
// port MSCommFlash.
//
// Every wait of the window (waitTXBuffer, delayLoop, getRXBuffer) lets window events run and
// sleeps until the port has news or its deadline comes, so Close, Load Image and the reply
// time-out are handled in the middle of an update. A wait ends early when the window is
// closing, when the time-out has aborted the transfer or when the port has vanished; every
// wait is bounded.

#include "app/windows.h"
#include "firmware/amxfile.h"
#include "link/commport.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <functional>

class frmFlash : public Form {
    Q_OBJECT
public:
    frmFlash();
    ~frmFlash() override;

    void Form_Load() override;
    // The window's close box does what Close does.
    void Form_QueryUnload() override;
    void Form_Unload() override;

    // "Update Firmware" in the settings window: hides the settings window and shows this window
    // modally over the console; returns when it is closed.
    static void openFromSettings();

    // Event handlers.
    void cmdLoadImage_Click();
    void cmdUpdate_Click();
    void cmdClose_Click();
    void tmrMSCommFlash_Timer();

    // Validation of the chosen file against the controller.
    bool validUpdateFile(const QString &path, AMXHeader &header);
    bool getAMXHeader(const QString &headerText, AMXHeader &header);
    static QString getVersionString(const QString &reply) { return amx::getVersionString(reply); }

    // Port operations.
    void sendFlashToDrive(const QString &strCommand);
    QString getRXBuffer(int32_t count);
    void waitTXBuffer();
    // Lets window events run for count microseconds.
    void delayLoop(int32_t count);

    void updateSpinner(int32_t count);

    // The unit-address character of the selected cboID entry, evaluated afresh at each call.
    QString AddressChar() const;

    // The file name the dialog chose.
    QString fileName() const { return m_fileName; }
    // True while cmdUpdate_Click is running.
    bool transferActive() const { return m_transferActive; }

    // Controls.
    QGroupBox *fmeUpdate;
    QLabel *lblBaud;
    QComboBox *cboBaud;
    QLabel *lblID;
    QComboBox *cboID;
    QPushButton *cmdLoadImage;
    QPushButton *cmdUpdate;
    QPushButton *cmdClose;
    QPushButton *cmdPause;
    QLineEdit *txtStatus;
    QLineEdit *txtSpinner;
    QProgressBar *pgbUpdate;
    CommPort MSCommFlash;
    QTimer tmrMSCommFlash;

    bool AbortTransfer = false;

    // Filter of the open dialog, in the dialog's own form and in Qt's form.
    static const QString kFilter;
    static QString qtFilter(const QString &filter);

    // Added to the receive time-out to bound a wait for a reply.
    static constexpr int kReplyMargin = 1000;

signals:
    // Wakes a running wait: the window is closing, the transfer was aborted or the line is gone.
    void waitInterrupted();
    // The window has been unloaded.
    void unloaded();

private:
    enum class Ending { Complete, Aborted };

    // Lets events run, then sleeps until `done` holds, the port has news, the deadline passes
    // or the wait is interrupted. False when the window went away meanwhile (nothing of it may
    // be touched then).
    bool waitUntil(QDeadlineTimer deadline, const std::function<bool()> &done, int pollMs = -1);
    // A running update must stop at once: the window is closing or the line is gone.
    bool mustStop() const { return m_stopRequested || !m_lineLost.isEmpty() || isUnloading(); }
    void endTransfer();
    void commonExit();
    void stopWithStatus(const QString &status);
    void reportError(const QString &routine, int number, const QString &description);
    void onDeviceLost(const QString &path);
    void requestStop();
    int replyTimeout() const;

    QString m_fileName;
    bool m_transferActive = false;
    bool m_stopRequested = false;
    bool m_loadAfterStop = false;
    bool m_writeFailed = false;
    QString m_lineLost;
};
