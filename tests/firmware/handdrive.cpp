#include "handdrive.h"

#include <unistd.h>

HandDrive::HandDrive(PtyPair &pty) : m_pty(pty)
{
    m_notifier = std::make_unique<QSocketNotifier>(pty.masterFd(), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { onReadable(); });
}

HandDrive::~HandDrive() = default;

QByteArray HandDrive::image() const
{
    QByteArray all;
    for (const QByteArray &b : blocks)
        all += b;
    return all;
}

void HandDrive::reset()
{
    m_updateMode = false;
    m_line.clear();
    commands.clear();
    blocks.clear();
}

void HandDrive::onReadable()
{
    char buf[4096];
    const ssize_t n = ::read(m_pty.masterFd(), buf, sizeof buf);
    if (n <= 0)
        return;
    const QByteArray chunk(buf, n);
    if (m_updateMode) {
        // The window sends one block and waits for its reply, so a chunk is one block.
        const int index = int(blocks.size());
        blocks.append(chunk);
        if (hangUpAfterBlocks >= 0 && index + 1 >= hangUpAfterBlocks) {
            m_notifier->setEnabled(false);
            m_hungUp = true;
            m_pty.hangUp();
            return;
        }
        if (silentFromBlock >= 0 && index >= silentFromBlock)
            return;
        m_pty.send(index == errorAtBlock ? errorReply : QByteArray("K"));
        if (onBlock)
            onBlock(index);
        return;
    }
    for (char c : chunk) {
        m_line.append(c);
        if (c == '\r') {
            handleCommand(m_line);
            m_line.clear();
        }
    }
}

void HandDrive::handleCommand(const QByteArray &command)
{
    commands.append(QString::fromLatin1(command));
    const QByteArray body = command.mid(command.indexOf('/') + 1);
    auto endsWith = [&](const char *tail) { return body.endsWith(tail); };
    if (endsWith("&\r"))
        m_pty.send(versionReply);
    else if (endsWith("!\r"))
        m_pty.send(deviceReply);
    else if (endsWith("[\r") || endsWith("]\r")) {
        m_pty.send(updateReply);
        m_updateMode = updateReply.trimmed().startsWith('?');
    }
}
