#include "handdrive.h"

#include <unistd.h>

HandDrive::HandDrive(PtyPair &pty) : m_pty(pty), m_notifier(pty.masterFd(), QSocketNotifier::Read)
{
    QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] { onReadable(); });
}

void HandDrive::onReadable()
{
    char buf[4096];
    const ssize_t n = ::read(m_pty.masterFd(), buf, sizeof buf);
    if (n <= 0)
        return;
    if (m_updateMode) {
        // The window sends one block and waits for its reply, so a chunk is one block.
        const int index = int(blocks.size());
        blocks.append(QByteArray(buf, n));
        if (hangUpAfterBlocks >= 0 && index + 1 >= hangUpAfterBlocks) {
            m_notifier.setEnabled(false);
            m_pty.hangUp();
        } else if (silentFromBlock < 0 || index < silentFromBlock) {
            m_pty.send(index == errorAtBlock ? errorReply : QByteArray("K"));
            if (onBlock)
                onBlock(index);
        }
        return;
    }
    for (const char c : QByteArray(buf, n)) {
        m_line.append(c);
        if (c != '\r')
            continue;
        commands.append(QString::fromLatin1(m_line));
        if (m_line.endsWith("&\r"))
            m_pty.send(versionReply);
        else if (m_line.endsWith("!\r"))
            m_pty.send(deviceReply);
        else if (m_line.endsWith("[\r") || m_line.endsWith("]\r")) {
            m_pty.send(updateReply);
            m_updateMode = updateReply.trimmed().startsWith('?');
        }
        m_line.clear();
    }
}
