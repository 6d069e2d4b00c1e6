#pragma once
// The console's link to the drives: sends a row's command in the selected framing, collects the
// reply one character per receive notification, decodes it into the row, and reports a missing
// reply when the receive time-out runs out.
//
// The link knows nothing of windows. It reads the live settings through LinkSettings at the
// moment it needs them, and writes results through RowSink.

#include "link/commport.h"
#include "link/framing.h"

#include <QColor>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>

// Where the link's results go: the console's rows.
class RowSink {
public:
    virtual ~RowSink() = default;
    // Write this text into row `row`'s response field; a row that does not exist is ignored.
    virtual void setResponseText(int row, const QString &text) = 0;
    // Colour row `row`'s indicator.
    virtual void setIndicator(int row, const QColor &colour) = 0;
    // Enable the Send buttons of all rows in use.
    virtual void enableSendButtons() = 0;
};

// The live settings the link reads, each time it needs them.
class LinkSettings {
public:
    virtual ~LinkSettings() = default;
    virtual framing::Mode framingMode() = 0;
    // COM port number text, e.g. "1".
    virtual QString portNumberText() = 0;
    // Text of the selected baud entry, e.g. "38400" (empty with no selection).
    virtual QString baudRateText() = 0;
};

namespace colours {
inline const QColor white(255, 255, 255);
inline const QColor green(0, 255, 0);
inline const QColor red(255, 0, 0);
} // namespace colours

class DriveLink : public QObject {
    Q_OBJECT
public:
    DriveLink(RowSink &rows, LinkSettings &settings, QObject *parent = nullptr);

    // The console's serial port.
    CommPort &MSComm1() { return m_port; }
    // The reply time-out timer; its interval is set by the console's layout.
    QTimer &tmrReceiveTimeOut() { return m_timeout; }

    // Sends the trimmed strCommand if not empty, else CurrentCommand.
    void subSendToDrive(const QString &strCommand = QString());
    // Receive notification: one character.
    void MSComm1_OnComm();
    void DecodeResponse();
    void tmrReceiveTimeOut_Timer();
    QString DecodeSettingsResponse() const { return ResponseBuffer; }
    void ResetResponse() { ResponseBuffer.clear(); }

    // Reply-decoding state, as the console window keeps it.
    QString CurrentCommand;
    QString UnitAddress;
    int16_t CurrentRow = 0;
    QString ResponseBuffer;
    uint8_t OemRxState = 0;
    uint8_t OemRxChecksum = 0;
    QString ErrorCode;
    std::array<QString, 17> ErrorTexts;

    static const QString kTimeoutText;
    static const QString kCommErrorText;

signals:
    // A reply has been decoded into CurrentRow (after the row has its text).
    void replyDecoded(int row);
    // The time-out has reported a missing reply.
    void replyTimedOut(int row);

private:
    void receiveOem(QChar ch);

    RowSink &m_rows;
    LinkSettings &m_settings;
    CommPort m_port;
    QTimer m_timeout;
};
