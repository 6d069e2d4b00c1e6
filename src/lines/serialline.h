#pragma once
// A serial device of this computer, through QSerialPort.
//
// A good neighbour: an open first looks whether another program holds the device, by a live
// process's lock file or an exclusive hold, and then fails without touching it (the serial
// library would clear a lock file it cannot read and, for a privileged user, open a port held
// exclusively and release that hold on closing). A stale lock file is cleared. A device that
// disappears (a USB adapter pulled) is lost once; a read error on a device that is still there
// is not a loss (a stale error before Qt 6.7.1, modem-line ioctls on a pseudo-terminal).

#include "lines/line.h"

#include <QSerialPort>

class SerialLine : public Line {
    Q_OBJECT
public:
    explicit SerialLine(const QString &path, QObject *parent = nullptr);
    ~SerialLine() override { close(); }

    bool open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_serial.isOpen(); }
    bool apply(const LineSettings &settings) override;
    bool write(const QByteArray &bytes) override;
    qint64 unsent() const override;
    bool drain(int msecs) override;

protected:
    void resume() override;

private:
    void take();
    void onError(QSerialPort::SerialPortError error);
    bool deviceGone() const;

    QString m_path;
    QSerialPort m_serial;
};
