#include "link/drivelink.h"

#include "app/numbers.h"

const QString DriveLink::kTimeoutText = QStringLiteral("No REZizavur detected. Check connections");
const QString DriveLink::kCommErrorText = QStringLiteral("Communications Error, no REZizavur found");

DriveLink::DriveLink(RowSink &rows, LinkSettings &settings, QObject *parent)
    : QObject(parent), m_rows(rows), m_settings(settings), m_port(this)
{
    m_timeout.setInterval(3000);
    connect(&m_timeout, &QTimer::timeout, this, &DriveLink::tmrReceiveTimeOut_Timer);
    connect(&m_port, &CommPort::receiveNotification, this, &DriveLink::MSComm1_OnComm);
}

void DriveLink::subSendToDrive(const QString &strCommand)
{
    // Every step runs whatever the previous one did: an unopened port only makes the writes
    // fail, and the running time-out then reports the missing reply.
    if (!strCommand.trimmed().isEmpty())
        CurrentCommand = strCommand;
    UnitAddress = CurrentCommand.mid(1, 1);
    m_timeout.start();
    m_sent.start();

    if (!m_port.isOpen()) {
        m_port.setReceiveThreshold(1);
        m_port.setReadLength(1);
        if (const auto number = numbers::toInt16(m_settings.portNumberText()))
            m_port.setPortNumber(*number);
        m_port.setLineSettings(m_settings.baudRateText());
        m_port.open();
    }

    // The frame and its checksum are built from the very bytes that go on the wire.
    const QByteArray command = CurrentCommand.toLatin1();
    const framing::Mode mode = m_settings.framingMode();
    if (mode == framing::Mode::DT) {
        m_port.write(command);
        m_port.write(QByteArray(1, char(framing::CR)));
    }
    if (mode == framing::Mode::OEM)
        m_port.write(framing::oemFrame(command));
}

void DriveLink::MSComm1_OnComm()
{
    const auto read = m_port.read();
    if (!read) {
        m_rows.setResponseText(CurrentRow, kCommErrorText);
        return;
    }
    receive(*read);
}

void DriveLink::receive(const QString &characters)
{
    const framing::Mode mode = m_settings.framingMode();
    if (mode == framing::Mode::DT) {
        for (const QChar ch : characters) {
            if (ch == QChar(framing::CR))
                DecodeResponse();
            else
                collect(ch);
        }
    }
    if (mode == framing::Mode::OEM) {
        if (characters.isEmpty()) { // every recogniser state needs a character
            m_rows.setResponseText(CurrentRow, kCommErrorText);
            return;
        }
        for (const QChar ch : characters)
            receiveOem(ch);
    }
}

void DriveLink::collect(QChar ch)
{
    if (ResponseBuffer.size() >= kMaxResponse)
        ResponseBuffer.remove(0, ResponseBuffer.size() - kMaxResponse / 2);
    ResponseBuffer += ch;
}

void DriveLink::receiveOem(QChar ch)
{
    bool matched = false;
    switch (framing::oemReplyStep(OemRxState, OemRxChecksum, uint8_t(ch.unicode() & 0xFF), &matched)) {
    case framing::OemStep::Ignored: break;
    case framing::OemStep::Started: ResponseBuffer.clear(); break;
    case framing::OemStep::Collected: collect(ch); break;
    case framing::OemStep::Checked:
        if (matched)
            DecodeResponse();
        break;
    }
}

void DriveLink::DecodeResponse()
{
    m_timeout.stop();
    const framing::Mode mode = m_settings.framingMode();

    // Each step that cannot be done is skipped: a reply without a status character keeps the
    // previous ErrorCode, and an ErrorCode that names no text leaves the row's text alone.
    auto writeRow = [this](const QString &data) {
        const auto index = numbers::toInt16(ErrorCode);
        if (index && *index >= 0 && *index < int(ErrorTexts.size()))
            m_rows.setResponseText(CurrentRow, data + ErrorTexts[size_t(*index)]);
    };

    const framing::Reply reply = framing::decodeReply(mode, ResponseBuffer);
    LastReply = reply;
    if (reply.errorCode >= 0)
        ErrorCode = QString::number(reply.errorCode);
    writeRow(reply.data);
    ResponseBuffer = reply.data;
    m_rows.markRow(CurrentRow, Outcome::Decoded);
    m_rows.enableSendButtons();
    emit replyDecoded(CurrentRow);
}

void DriveLink::tmrReceiveTimeOut_Timer()
{
    emit replyMissing(CurrentCommand, m_sent.isValid() ? m_sent.elapsed() : m_timeout.interval());
    m_rows.setResponseText(CurrentRow, kTimeoutText);
    m_rows.markRow(CurrentRow, Outcome::TimedOut);
    m_timeout.stop();
    // Flush the line: discard what waits, close and open again with the same settings.
    if (m_port.isOpen()) {
        const int keep = m_port.readLength();
        m_port.setReadLength(0);
        m_port.read();
        m_port.setReadLength(keep);
    }
    m_port.close();
    m_port.open();
    m_rows.enableSendButtons();
    emit replyTimedOut(CurrentRow);
}
