#include "cli/client.h"

#include "app/numbers.h"
#include "app/settingsstore.h"
#include "console/commandfile.h"
#include "link/baudrates.h"
#include "link/commport.h"
#include "link/portmap.h"
#include "lines/portreason.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace cli {
namespace {

constexpr int kPlayTick = 50;

void out(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

void warn(const QString &text) { std::fprintf(stderr, "quorvane-cli: %s\n", qUtf8Printable(text)); }

// Why a device cannot be opened, on one line, in the words of the settings window's port list.
QString oneLine(const QString &why)
{
    return why.isEmpty() ? QStringLiteral("cannot be opened (the system gives no reason)") : why.simplified();
}

} // namespace

void listPorts()
{
    // As the settings window's list: by looking, changing nothing of any port.
    const store::Transaction stored;
    CommPort::askNetworkPorts(1, 16);
    CommPort port;
    for (int n = 1; n <= 16; ++n) {
        port.setPortNumber(n);
        const QString path = port.devicePath();
        const bool opens = port.probe();
        out(QStringLiteral("COM%1\t%2\t%3\n")
                .arg(n)
                .arg(path, opens ? QStringLiteral("available") : QStringLiteral("not available: ") + oneLine(portreason::reason(path)))
                .toUtf8());
    }
}

Client::Client(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_link(*this, *this, this), m_framing(options.framing), m_baud(options.baud)
{
    if (!m_options.devicePath.isEmpty())
        portmap::setSessionDevice(m_options.comNumber, m_options.devicePath);
    m_link.ErrorTexts = framing::errorTexts();
    m_link.tmrReceiveTimeOut().setTimerType(Qt::PreciseTimer);
    m_link.tmrReceiveTimeOut().setInterval(m_options.timeoutMs);
    connect(&m_link, &DriveLink::replyDecoded, this, &Client::onDecoded);
    connect(&m_link, &DriveLink::replyTimedOut, this, &Client::onTimedOut);
    connect(&m_link.MSComm1(), &CommPort::traffic, this,
            [this](qint64 us, CommPort::Direction d, const QByteArray &bytes) {
                if (d == CommPort::Direction::Sent) {
                    m_writtenUs = us;
                    return;
                }
                // Received bytes pass here as they arrive, before the link reads them.
                m_arrivedUs = us;
                m_lineEnded = bytes.endsWith('\n');
            });
    // After the link's own handler of the same notification.
    connect(&m_link.MSComm1(), &CommPort::receiveNotification, this, &Client::afterNotification);
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, &Client::settled);
    m_playTimer.setTimerType(Qt::PreciseTimer);
    m_playTimer.setInterval(kPlayTick);
    connect(&m_playTimer, &QTimer::timeout, this, &Client::playTick);
}

Client::~Client() = default;

QString Client::portName() const
{
    return m_options.devicePath.isEmpty() ? QStringLiteral("COM%1").arg(m_options.comNumber) : m_options.devicePath;
}

bool Client::openPort()
{
    // As the link opens its port before a send, but a read takes everything waiting: the link
    // takes a reply's characters one by one all the same, at a fraction of the notifications.
    CommPort &port = m_link.MSComm1();
    port.setReceiveThreshold(1);
    port.setReadLength(0);
    port.setPortNumber(m_options.comNumber);
    port.setLineSettings(baudRateText());
    if (port.open())
        return true;
    const QString path = port.devicePath();
    const QString why = oneLine(port.openFailure());
    warn((path == portName() ? path : QStringLiteral("%1 (%2)").arg(portName(), path)) + QStringLiteral(": ") + why);
    return false;
}

void Client::start()
{
    if (m_options.mode == Options::Mode::File && !loadFile())
        return finish(kUsage);
    if (!m_options.log.isEmpty()) {
        m_traffic.attach(&m_link.MSComm1());
        if (!m_traffic.startLog(m_options.log)) {
            warn(QStringLiteral("cannot write the log %1").arg(m_options.log));
            return finish(kUsage);
        }
    }
    if (m_options.mode == Options::Mode::Scan) {
        m_rates = {m_baud};
        for (const QString &rate : baudrates::list())
            if (rate.toInt() != m_baud)
                m_rates << rate.toInt();
    }
    if (!openPort())
        return finish(kPortUnavailable);

    switch (m_options.mode) {
    case Options::Mode::Commands:
        m_queue = m_options.commands;
        m_inputDone = true;
        return next();
    case Options::Mode::Stdin:
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, &Client::readStdin);
        return;
    case Options::Mode::File:
        // The console's tick runs all the time; the first entry plays on the first tick.
        if (m_options.repeat == 1)
            m_recorder.playbackButton();
        else
            m_recorder.playEndlessButton();
        m_playTimer.start();
        return;
    case Options::Mode::Scan:
        return probe();
    default:
        return finish(kUsage);
    }
}

bool Client::loadFile()
{
    // The console's "Load Strings": 25 rows, then 500 pairs of sequence values, all as texts.
    QFile file(m_options.file);
    bool ok = file.open(QIODevice::ReadOnly);
    commandfile::Reader reader(file);
    for (int i = 0; ok && i < commandfile::kRows; ++i) {
        const auto field = reader.next();
        ok = field.has_value();
        m_rows << field.value_or(QString());
    }
    for (int k = 0; ok && k < commandfile::kEntries; ++k)
        for (int col = 0; ok && col < 2; ++col) {
            const auto field = reader.next();
            ok = field.has_value();
            if (ok)
                m_recorder.RecordArray[size_t(k)][size_t(col)] = *field;
        }
    if (!ok)
        warn(QStringLiteral("Error Reading file: %1").arg(m_options.file));
    return ok;
}

void Client::send(const QString &command)
{
    // As a row press: the command and its row set, the reply buffer emptied, then the send.
    m_command = command;
    m_rowText.clear();
    m_awaiting = true;
    m_link.CurrentRow = 0;
    m_link.CurrentCommand = command;
    m_link.ResetResponse();
    m_link.subSendToDrive();
}

void Client::onDecoded()
{
    if (!m_awaiting)
        return; // a reply after its time-out, with nothing waiting for it any more
    Result r;
    r.command = m_command;
    r.rowText = m_rowText;
    r.data = m_link.DecodeSettingsResponse();
    const auto code = numbers::toInt16(m_link.ErrorCode);
    if (code && *code >= 0 && *code < int(m_link.ErrorTexts.size())) {
        r.error = *code;
        r.text = m_link.ErrorTexts[size_t(*code)].trimmed();
    }
    r.ready = m_link.LastReply.status >= 0 && (m_link.LastReply.status & framing::kReadyBit);
    r.ms = double(m_arrivedUs - m_writtenUs) / 1000.0;
    if (m_options.mode == Options::Mode::Scan) {
        out(scanLine(m_baud, m_framing == framing::Mode::OEM, m_command.mid(1, 1), r.data, m_options.json));
        m_probeAnswered = true;
        return settle(true);
    }
    if (r.error != 0)
        m_anyError = true;
    report(r);
}

void Client::onTimedOut()
{
    if (!m_awaiting)
        return;
    if (m_options.mode == Options::Mode::Scan) {
        m_probeAnswered = false;
        return settle(false);
    }
    Result r;
    r.kind = Result::Kind::TimedOut;
    r.command = m_command;
    r.rowText = m_rowText;
    r.ms = m_options.timeoutMs;
    m_anyTimeout = true;
    report(r);
}

void Client::report(const Result &result)
{
    out(line(result, m_options.json));
    settle(result.kind == Result::Kind::Reply);
}

void Client::settle(bool afterReply)
{
    // The next command goes out once the link has taken in the whole read that completed the
    // reply (right after the port's notification), and, in DT, the reply's LF: a DT reply ends
    // with CR and LF, the CR completes it, and an LF left for later would be taken for the first
    // character of the next reply and shift its data (an operator never presses that fast).
    // The wait for the LF ends after three characters' time at the line rate.
    m_awaiting = false;
    m_settling = true;
    if (!afterReply)
        m_settle.start(0); // a time-out: from the timer, outside any notification
    else if (m_framing == framing::Mode::DT && !m_lineEnded)
        m_settle.start(std::max(2, 30000 / std::max(1, m_baud)));
}

void Client::afterNotification()
{
    if (m_settling && m_link.MSComm1().countReceived() == 0 && (!m_settle.isActive() || m_lineEnded))
        settled();
}

void Client::settled()
{
    if (!m_settling)
        return;
    m_settling = false;
    m_settle.stop();
    if (m_options.mode == Options::Mode::Scan)
        return probeDone(m_probeAnswered);
    next();
}

void Client::next()
{
    if (m_awaiting || m_settling || m_finished)
        return;
    if (!m_queue.isEmpty())
        return send(m_queue.takeFirst());
    if (m_inputDone)
        finish(status());
}

void Client::readStdin()
{
    char buffer[65536];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n > 0)
        m_stdinPending.append(buffer, n);
    else
        m_stdinPending += '\n'; // the end: a last line without its line end counts too
    qsizetype end;
    while ((end = m_stdinPending.indexOf('\n')) >= 0) {
        QByteArray line = m_stdinPending.left(end);
        m_stdinPending.remove(0, end + 1);
        ++m_lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        // Sent as typed, blanks and all; one byte per character as on the wire.
        const QString command = QString::fromLatin1(line);
        if (command.startsWith(QLatin1Char('/'))) {
            m_queue << command;
        } else {
            warn(QStringLiteral("line %1: \"%2\" is not a command: a command begins with \"/\"").arg(m_lineNumber).arg(command));
            m_anyNotCommand = true;
        }
    }
    if (n <= 0) {
        m_stdin->setEnabled(false);
        m_inputDone = true;
    }
    next();
}

void Client::pressRow(int16_t row)
{
    const QString command = row >= 0 && row < m_rows.size() ? m_rows[row] : QString();
    if (!command.startsWith(QLatin1Char('/'))) {
        warn(QStringLiteral("row %1 is not sent: \"%2\" does not begin with \"/\"").arg(row).arg(command));
        m_anyNotCommand = true;
        return;
    }
    if (m_awaiting) {
        Result r;
        r.kind = Result::Kind::Overtaken;
        r.command = m_command;
        out(line(r, m_options.json));
    }
    send(command);
}

void Client::playTick()
{
    m_recorder.tick();
    // In endless playback the sequence starts again at entry 0 when a pass has ended.
    if (m_recorder.Playing && m_recorder.PlayEndless && m_recorder.RecordIndex == 0
        && ++m_passes == m_options.repeat)
        m_recorder.playbackButton();
    if (m_recorder.Playing)
        return;
    m_playTimer.stop();
    m_inputDone = true;
    next();
}

void Client::probe()
{
    send(QStringLiteral("/%1&").arg(framing::addressChar(m_addressIndex + 1)));
}

void Client::probeDone(bool answered)
{
    m_found = m_found || answered;
    if (++m_addressIndex < framing::kAddressCount)
        return probe();
    m_addressIndex = 0;
    if (m_framing == framing::Mode::DT) {
        m_framing = framing::Mode::OEM;
        return probe();
    }
    // Drives on one bus share a rate: the first rate at which any answered is the bus's.
    if (m_found)
        return finish(kGood);
    m_framing = framing::Mode::DT;
    if (++m_rateIndex == m_rates.size())
        return finish(kTimedOut);
    m_link.MSComm1().close();
    m_baud = m_rates[m_rateIndex];
    if (!openPort())
        return finish(kPortUnavailable);
    probe();
}

int Client::status() const
{
    if (m_anyTimeout)
        return kTimedOut;
    if (m_anyNotCommand)
        return kUsage;
    return m_anyError ? kErrorReply : kGood;
}

void Client::finish(int status)
{
    if (m_finished)
        return;
    m_finished = true;
    m_playTimer.stop();
    m_settle.stop();
    m_link.tmrReceiveTimeOut().stop();
    if (m_stdin)
        m_stdin->setEnabled(false);
    CommPort::closeAll();
    if (m_traffic.isAttached(&m_link.MSComm1())) {
        m_traffic.detach(&m_link.MSComm1());
        m_traffic.stopLog();
    }
    QCoreApplication::exit(status);
}

} // namespace cli
