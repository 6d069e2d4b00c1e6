#pragma once
// A drive played by hand on the master side of a pty, on the test's own thread: the firmware
// window's waits run the event loop, and this drive answers from inside them. It speaks the
// firmware dialogue: version and device queries, baud change, update mode, one reply per block.
// It answers the update-mode command with spaces before its "?", which must count as a "?".

#include "support/ptypair.h"

#include <QByteArray>
#include <QList>
#include <QSocketNotifier>
#include <QStringList>
#include <functional>
#include <memory>

class HandDrive {
public:
    explicit HandDrive(PtyPair &pty);
    ~HandDrive();

    // Replies; an empty reply is silence.
    QByteArray versionReply = "V1.01\r";
    QByteArray deviceReply = "2623\r";
    QByteArray updateReply = "  ?";
    // Faults, by 0-based block number; -1: never.
    int errorAtBlock = -1;
    QByteArray errorReply = "Error 5";
    int silentFromBlock = -1;
    int hangUpAfterBlocks = -1;
    // Called after each block has been answered, with its 0-based number.
    std::function<void(int)> onBlock;

    // Commands received outside update mode, each with its CR.
    QStringList commands;
    // Every block received in update mode, and all of them joined.
    QList<QByteArray> blocks;
    QByteArray image() const;
    bool hungUp() const { return m_hungUp; }

    // Leaves update mode and forgets what was received.
    void reset();

private:
    void onReadable();
    void handleCommand(const QByteArray &command);

    PtyPair &m_pty;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_line;
    bool m_updateMode = false;
    bool m_hungUp = false;
};
