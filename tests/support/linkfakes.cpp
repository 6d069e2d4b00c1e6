#include "support/linkfakes.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

void RecordedRows::setResponseText(int row, const QString &t) { text[row] = t; }
void RecordedRows::markRow(int row, Outcome o) { outcome[row] = o; }
void RecordedRows::enableSendButtons() { ++enables; }

framing::Mode LiveSettings::framingMode() { return mode; }
QString LiveSettings::portNumberText() { return port; }
QString LiveSettings::baudRateText() { return baud; }

void sendFromRow(DriveLink &link, const QString &command, int row)
{
    link.CurrentCommand = command;
    link.CurrentRow = int16_t(row);
    link.ResponseBuffer.clear();
    link.subSendToDrive();
}

bool waitForResult(DriveLink &link, int msecs)
{
    QSignalSpy decoded(&link, &DriveLink::replyDecoded);
    QSignalSpy timedOut(&link, &DriveLink::replyTimedOut);
    QDeadlineTimer deadline(msecs);
    while (decoded.isEmpty() && timedOut.isEmpty() && !deadline.hasExpired())
        QTest::qWait(2);
    return !decoded.isEmpty() || !timedOut.isEmpty();
}
