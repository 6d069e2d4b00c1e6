#pragma once
// quorvane-cli's work, done by the console's own DriveLink: the client sets the command and
// calls subSendToDrive as a row press does, and takes the outcome from the link's signals and
// the row text it writes. Nothing of the framing, the decoding or the status texts is here.
//
// One command is awaited at a time: commands from the command line or stdin go out each after
// the previous one is answered or timed out. A command file's sequence plays at its recorded
// pace through the console's SequenceRecorder, without waiting, as the console's playback does;
// a command sent while the previous one still waits "overtakes" it. A scan asks every address
// for its version, rate by rate, in both framings.

#include "cli/options.h"
#include "cli/output.h"
#include "console/sequence.h"
#include "link/drivelink.h"
#include "monitor/trafficstore.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

class QSocketNotifier;

namespace cli {

enum Exit : int {
    kGood = 0,
    kErrorReply = 1,
    kUsage = 2,
    kTimedOut = 3,
    kPortUnavailable = 4,
    kInterrupted = 130,
};

// COM1..COM16, one a line: the device and "available", or "not available: " and why.
void listPorts();

class Client : public QObject, private RowSink, private LinkSettings, private SequenceSink {
    Q_OBJECT
public:
    explicit Client(const Options &options, QObject *parent = nullptr);
    ~Client() override;

    // Begins the work in the running event loop, which it ends with the exit status.
    void start();
    // A termination signal: the port is closed cleanly and the loop ends with 130.
    void interrupt() { finish(kInterrupted); }

    // "COM<n>" or the device given, for messages.
    QString portName() const;

private:
    // RowSink: the one row the client keeps.
    void setResponseText(int, const QString &text) override { m_rowText = text; }
    void markRow(int, Outcome) override {}
    void enableSendButtons() override {}
    // LinkSettings: the options, and the scan's current rate and framing.
    framing::Mode framingMode() override { return m_framing; }
    QString portNumberText() override { return QString::number(m_options.comNumber); }
    QString baudRateText() override { return QString::number(m_baud); }
    // SequenceSink: playback presses a row of the command file; the bar does not exist here.
    void pressRow(int16_t row) override;
    void setBarCaption(int, const QString &) override {}
    void setBarEnabled(int, bool) override {}
    void enablePlayTimer() override {}
    void sequenceFull(int) override {}

    bool openPort();
    bool loadFile();
    void send(const QString &command);
    void onDecoded();
    void onTimedOut();
    void report(const Result &result);
    void settle(bool afterReply);
    void afterNotification();
    void settled();
    void next();
    void readStdin();
    void playTick();
    void probe();
    void probeDone(bool answered);
    int status() const;
    void finish(int status);

    Options m_options;
    DriveLink m_link;
    monitor::TrafficStore m_traffic;
    SequenceRecorder m_recorder{*this};
    QTimer m_playTimer;
    QTimer m_settle;
    QSocketNotifier *m_stdin = nullptr;
    QByteArray m_stdinPending;
    int m_lineNumber = 0;

    framing::Mode m_framing;
    int m_baud;
    QStringList m_rows;     // the command file's rows
    QStringList m_queue;    // commands still to send
    bool m_inputDone = false;

    bool m_awaiting = false;
    QString m_command;
    QString m_rowText;
    qint64 m_writtenUs = 0;  // the command's last byte left
    qint64 m_arrivedUs = 0;  // the last bytes received arrived
    bool m_settling = false;
    bool m_lineEnded = false; // the last bytes read ended with LF
    bool m_probeAnswered = false;

    bool m_anyError = false;
    bool m_anyTimeout = false;
    bool m_anyNotCommand = false;
    bool m_finished = false;
    int m_passes = 0;

    // Scan: the rates in the order tried, where it is, and whether a drive answered at this rate.
    QList<int> m_rates;
    int m_rateIndex = 0;
    int m_addressIndex = 0;
    bool m_found = false;
};

} // namespace cli
