#pragma once
// A real pseudo-terminal pair used as the serial line in tests: the program opens the slave
// device (mapped to a COM number through the store's "Ports" override) and the test plays the
// drive on the master side.

#include <QByteArray>
#include <QString>

class PtyPair {
public:
    PtyPair();
    ~PtyPair() { hangUp(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; }

    // Writes bytes to the program's side of the line.
    void send(const QByteArray &bytes);
    // Collects what the program wrote, pumping Qt events, until at least `count` bytes have
    // come or `msecs` have passed.
    QByteArray receive(int count, int msecs = 2000);
    // Everything the program wrote so far (pumping events for `msecs` first).
    QByteArray drain(int msecs = 50) { return receive(1 << 30, msecs); }
    // Closes the master side: the line hangs up.
    void hangUp();

private:
    int m_master = -1;
    int m_slaveKeep = -1; // keeps the line open while the program closes and reopens its side
    QString m_slavePath;
};
