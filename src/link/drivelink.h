#pragma once
// The console's link to the drives: sends a row's command in the selected framing, collects the
// reply one character per receive notification, decodes it into the row, and reports a missing
// reply when the receive time-out runs out.
//
// The link knows nothing of windows. It reads the live settings through LinkSettings at the
// moment it needs them, and writes results through RowSink.

#include "link/commport.h"
#include "link/framing.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>

// How a command ended, as a row's indicator shows it.
enum class Outcome { Decoded, TimedOut };

// Where the link's results go: the console's rows.
class RowSink {
public:
    virtual ~RowSink() = default;
    // Write this text into row `row`'s response field; a row that does not exist is ignored.
    virtual void setResponseText(int row, const QString &text) = 0;
    // Show on row `row`'s indicator how its command ended.
    virtual void markRow(int row, Outcome outcome) = 0;
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
    // The characters as the receive notification takes them from the port, one at a time;
    // an empty text is an empty read.
    void receive(const QString &characters);
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
    // The last reply decoded, as taken apart (its status character for those who look further
    // than the error code).
    framing::Reply LastReply;
    std::array<QString, 17> ErrorTexts;

    static const QString kTimeoutText;
    static const QString kCommErrorText;
    // No reply is longer than a few hundred characters; a line that babbles without ever ending
    // a reply keeps only its latest characters, so memory stays flat however long it lasts.
    static constexpr int kMaxResponse = 4096;

signals:
    // A reply has been decoded into CurrentRow (after the row has its text).
    void replyDecoded(int row);
    // The time-out has reported a missing reply.
    void replyTimedOut(int row);
    // The time-out ran out for `command` after `waitedMs` since it was sent: raised before the
    // line is flushed, so whatever watches the line sees it ahead of the port's close and open.
    void replyMissing(const QString &command, qint64 waitedMs);

private:
    void receiveOem(QChar ch);
    void collect(QChar ch);

    RowSink &m_rows;
    LinkSettings &m_settings;
    CommPort m_port;
    QTimer m_timeout;
    QElapsedTimer m_sent; // since the current command was sent
};
