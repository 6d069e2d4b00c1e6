#pragma once
// A drive played by hand on the master side of a pty, on the test's own thread: the firmware
// window's waits run the event loop, and this drive answers from inside them. It answers the
// version ("&") and device ("!") queries and update mode ("[" / "]"), then one reply per block.

#include "support/ptypair.h"

#include <QList>
#include <QSocketNotifier>
#include <QStringList>
#include <functional>

class HandDrive {
public:
    explicit HandDrive(PtyPair &pty);

    // Replies; an empty reply is silence. The spaces before the "?" must count as a "?".
    QByteArray versionReply = "V1.01\r", deviceReply = "2623\r", updateReply = "  ?";
    // Faults, by 0-based block number; -1: never.
    int errorAtBlock = -1, silentFromBlock = -1, hangUpAfterBlocks = -1;
    QByteArray errorReply = "Error 5";
    std::function<void(int)> onBlock; // after block N has been answered

    QStringList commands;     // received outside update mode, each with its CR
    QList<QByteArray> blocks; // received in update mode
    QByteArray image() const { return blocks.join(); }
    // Leaves update mode and forgets what was received.
    void reset() { m_updateMode = false, m_line.clear(), commands.clear(), blocks.clear(); }

private:
    void onReadable();

    PtyPair &m_pty;
    QSocketNotifier m_notifier;
    QByteArray m_line;
    bool m_updateMode = false;
};
