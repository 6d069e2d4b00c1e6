#include "support/linkfakes.h"

#include <QSignalSpy>
#include <QTest>

#include <numeric>

std::unique_ptr<DriveLink> freshLink(RecordedRows &rows, LiveSettings &live, int timeoutMs)
{
    rows = RecordedRows();
    live = LiveSettings();
    auto link = std::make_unique<DriveLink>(rows, live);
    link->ErrorTexts = framing::errorTexts();
    link->tmrReceiveTimeOut().setInterval(timeoutMs);
    return link;
}

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
    return QTest::qWaitFor([&] { return !decoded.isEmpty() || !timedOut.isEmpty(); }, msecs);
}

QByteArray withChecksum(const QByteArray &frame)
{
    return frame + std::accumulate(frame.begin(), frame.end(), char(0), [](char x, char c) { return char(x ^ c); });
}
