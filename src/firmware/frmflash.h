#pragma once
// The firmware update window "Firmware Update": the operator picks an AMX update file, the
// baud rate and the drive's address, and sends the image to the drive over the window's own
// port MSCommFlash. The update itself is an UpdateTransfer, to which the window is the view.

#include "app/windows.h"
#include "firmware/updatetransfer.h"
#include "link/commport.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

class frmFlash : public Form, private UpdateView {
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

    void updateSpinner(int32_t count) override;
    // The unit-address character of the selected cboID entry, evaluated afresh at each call.
    QString AddressChar() const override;

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

    // Filter of the open dialog, in the dialog's own form and in Qt's form.
    static const QString kFilter;
    static QString qtFilter(const QString &filter);

signals:
    // The window has been unloaded.
    void unloaded();

private:
    // What the transfer shows and asks.
    void showStatus(const QString &text) override { txtStatus->setText(text); }
    void showProgress(int value) override { pgbUpdate->setValue(value); }
    void showSpinner(const QString &text) override { txtSpinner->setText(text); }
    void showMessage(const QString &text, Icon icon) override;
    bool confirm(const QString &text) override;
    QString baudText() const override { return cboBaud->currentText(); }
    void selectFirstBaud() override { cboBaud->setCurrentIndex(0); }
    void attemptEnded(bool transfer) override;

    void reportError(const QString &routine, int number, const QString &description);

    QString m_fileName;
    CommUpdatePort m_port{MSCommFlash};
    UpdateTransfer m_transfer{m_port, *this, tmrMSCommFlash};
};
