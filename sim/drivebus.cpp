#include "sim/drivebus.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sim {

namespace {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char CR = 0x0D;
constexpr char LF = 0x0A;
constexpr char LEAD_IN = char(0xFF);
constexpr int kMaxFrame = 512;
constexpr int kMaxLoopDepth = 4;
constexpr int kBlockSize = 6;
// Steps a program may take in one catch-up; the rest follows at the next look.
constexpr int kStepBudget = 200000;

qint64 steadyMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool isRate(qint64 n)
{
    static const qint64 rates[] = {9600, 19200, 38400, 57600, 115200, 230400};
    return std::find(std::begin(rates), std::end(rates), n) != std::end(rates);
}

char xorOf(const QByteArray &bytes)
{
    char x = 0;
    for (char c : bytes)
        x ^= c;
    return x;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// DriveBus

DriveBus::DriveBus() : m_clock(steadyMicros)
{
    addDrive('1');
}

DriveBus::~DriveBus() = default;

void DriveBus::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock(steadyMicros);
}

Drive &DriveBus::addDrive(char address, const DriveConfig &config)
{
    if (m_update && m_update->address() == address)
        leaveUpdateMode();
    auto &slot = m_drives[address];
    slot = std::make_unique<Drive>(*this, address, config);
    return *slot;
}

void DriveBus::removeDrive(char address)
{
    if (m_update && m_update->address() == address)
        leaveUpdateMode();
    m_drives.erase(address);
}

void DriveBus::clearDrives()
{
    leaveUpdateMode();
    m_drives.clear();
}

Drive *DriveBus::drive(char address)
{
    const auto it = m_drives.find(address);
    return it == m_drives.end() ? nullptr : it->second.get();
}

std::vector<char> DriveBus::addresses() const
{
    std::vector<char> out;
    for (const auto &[a, d] : m_drives)
        out.push_back(a);
    return out;
}

char DriveBus::updateAddress() const
{
    return m_update ? m_update->address() : '\0';
}

qint64 DriveBus::scaledUs(double seconds) const
{
    return qint64(std::llround(seconds * 1e6 * m_timeScale));
}

QByteArray DriveBus::feed(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (m_hungUp)
            break;
        if (m_faults.hangUpAfterBytes >= 0 && m_received >= m_faults.hangUpAfterBytes) {
            m_hungUp = true;
            break;
        }
        ++m_received;
        checkUpdateTimers(); // an idle gap before this byte may end a short block or the update
        if (m_update) {
            handleUpdateByte(c);
        } else {
            switch (m_rx) {
            case Rx::Idle:
                if (c == '/') {
                    m_frame.clear();
                    m_rx = Rx::Dt;
                } else if (c == STX) {
                    m_frame = QByteArray(1, STX);
                    m_rx = Rx::OemBody;
                }
                break;
            case Rx::Dt:
                if (c == CR) {
                    m_rx = Rx::Idle;
                    handleDt(m_frame);
                } else if (c == '/') {
                    m_frame.clear();
                } else if (m_frame.size() < kMaxFrame) {
                    m_frame.append(c);
                } else {
                    m_rx = Rx::Idle;
                }
                break;
            case Rx::OemBody:
                if (c == STX) {
                    m_frame = QByteArray(1, STX);
                } else if (m_frame.size() >= kMaxFrame) {
                    m_rx = Rx::Idle;
                } else {
                    m_frame.append(c);
                    if (c == ETX)
                        m_rx = Rx::OemChecksum;
                }
                break;
            case Rx::OemChecksum:
                m_rx = Rx::Idle;
                if (xorOf(m_frame) == c)
                    handleOem(m_frame + c);
                else
                    m_log.push_back(m_frame + c); // seen, dropped for its checksum
                break;
            }
        }
        if (m_faults.hangUpAfterBytes >= 0 && m_received >= m_faults.hangUpAfterBytes)
            m_hungUp = true;
    }
    return takeDue();
}

QByteArray DriveBus::poll()
{
    checkUpdateTimers();
    return takeDue();
}

void DriveBus::checkUpdateTimers()
{
    if (m_update) {
        const qint64 t = now();
        if (!m_block.isEmpty() && t - m_lastByteUs >= qint64(updateShortBlockGapMs) * 1000) {
            // The image ended on a short block: answer it and the update is over.
            finishBlock();
            leaveUpdateMode();
        } else if (t - m_lastByteUs >= qint64(updateIdleExitMs) * 1000) {
            leaveUpdateMode();
        }
    }
}

qint64 DriveBus::nextEventUs() const
{
    qint64 next = -1;
    auto consider = [&next](qint64 t) {
        if (next < 0 || t < next)
            next = t;
    };
    if (m_hungUp)
        return -1;
    if (!m_out.empty())
        consider(m_out.front().due);
    if (m_update) {
        if (!m_block.isEmpty())
            consider(m_lastByteUs + qint64(updateShortBlockGapMs) * 1000);
        consider(m_lastByteUs + qint64(updateIdleExitMs) * 1000);
    }
    return next;
}

QByteArray DriveBus::takeDue()
{
    QByteArray out;
    if (m_hungUp) {
        m_out.clear();
        return out;
    }
    if (m_out.empty())
        return out;
    const qint64 t = now();
    while (!m_out.empty() && m_out.front().due <= t) {
        out.append(m_out.front().byte);
        m_out.pop_front();
    }
    m_sent += out.size();
    return out;
}

void DriveBus::queueRaw(const QByteArray &payload)
{
    if (m_faults.silent)
        return;
    if (m_faults.paceBaud != m_lastPaceBaud) {
        m_lastPaceBaud = m_faults.paceBaud;
        if (m_faults.paceBaud > 0)
            m_lineBaud = m_faults.paceBaud;
    }
    const QByteArray bytes = m_faults.noise + payload;
    qint64 t = now() + qint64(std::max(0, m_faults.replyDelayMs)) * 1000;
    if (!m_out.empty())
        t = std::max(t, m_out.back().due); // the line keeps its order
    if (m_faults.paceBaud > 0 && m_lineBaud > 0) {
        const double byteUs = 10e6 / m_lineBaud;
        double at = double(std::max(t, m_lineFreeUs));
        for (char b : bytes) {
            at += byteUs;
            m_out.push_back({qint64(std::llround(at)), b});
        }
        m_lineFreeUs = qint64(std::llround(at));
    } else {
        for (char b : bytes)
            m_out.push_back({t, b});
    }
}

void DriveBus::queueReply(const QByteArray &bytes)
{
    queueRaw(bytes);
}

void DriveBus::handleDt(const QByteArray &frame)
{
    m_log.push_back('/' + frame + CR);
    if (frame.isEmpty())
        return;
    handleCommand(frame.at(0), frame.mid(1), false);
}

void DriveBus::handleOem(const QByteArray &frame)
{
    m_log.push_back(frame);
    // STX, address, sequence character, body, ETX, checksum.
    if (frame.size() < 5)
        return;
    handleCommand(frame.at(1), frame.mid(3, frame.size() - 5), true);
}

void DriveBus::handleCommand(char address, const QByteArray &body, bool oem)
{
    Drive *d = drive(address);
    if (!d)
        return;
    d->advance();
    Drive::Parsed p = d->parse(body);

    int code = p.error;
    bool startIt = false;
    if (!code) {
        if (p.terminate)
            d->stop();
        if (p.enterUpdate) {
            d->stop();
            const QByteArray answer = d->config().updateModeAnswer;
            if (!answer.isEmpty())
                queueRaw(answer);
            if (!answer.trimmed().startsWith('?'))
                return; // refused: commands stay commands
            m_update = d;
            m_updateFull = p.enterUpdate == 2;
            m_image.clear();
            m_block.clear();
            m_blocks = 0;
            ++m_sessions;
            m_lastByteUs = now();
            return;
        }
        if (p.bareQuestion) {
            queueRaw("?");
            return;
        }
        if (p.run && !p.program.empty()) {
            if (d->m_running)
                code = 15;
            else
                startIt = true;
        } else if (p.run && d->m_running && d->m_haltForRun) {
            d->m_haltForRun = false;
            d->m_pc++;
            d->m_cursor = std::max(d->m_cursor, now());
        }
        if (!code && !startIt)
            code = d->m_runError;
    }

    // A reply tells the state after the command took effect. A rate change ("b") is taken
    // after its reply has left at the old rate.
    const int oldRate = m_lineBaud;
    if (startIt) {
        d->m_runError = 0;
        d->start(std::move(p.program));
    }
    const int newRate = m_lineBaud;
    m_lineBaud = oldRate;
    const char status = char((d->busy() ? 0x40 : 0x60) + (code & 0x0F));
    const QByteArray data = p.error ? QByteArray() : p.data;

    QByteArray reply;
    if (oem) {
        reply.append(STX).append('0').append(status).append(data).append(ETX);
        char cs = xorOf(reply);
        if (m_faults.badChecksum)
            cs = char(cs ^ 0xFF);
        reply.append(cs);
    } else {
        reply.append(LEAD_IN).append('/').append('0').append(status).append(data);
        reply.append(ETX).append(CR).append(LF);
    }
    queueReply(reply);
    m_lineBaud = newRate;
}

void DriveBus::handleUpdateByte(char c)
{
    m_image.append(c);
    m_block.append(c);
    m_lastByteUs = now();
    if (m_block.size() >= kBlockSize)
        finishBlock();
}

void DriveBus::finishBlock()
{
    m_block.clear();
    const int n = ++m_blocks;
    if (m_faults.silentFromBlock > 0 && n >= m_faults.silentFromBlock)
        return;
    if (m_faults.errorAtBlock > 0 && n == m_faults.errorAtBlock) {
        queueRaw(m_faults.errorReply);
        leaveUpdateMode();
        return;
    }
    queueRaw(updateReply);
}

void DriveBus::leaveUpdateMode()
{
    m_update = nullptr;
    m_block.clear();
    m_rx = Rx::Idle;
}

// ---------------------------------------------------------------------------------------------
// Drive

Drive::Drive(DriveBus &bus, char address, const DriveConfig &config)
    : m_bus(bus), m_address(address), m_config(config), m_velocity(config.velocity)
{
}

qint64 Drive::position()
{
    advance();
    return m_position;
}

bool Drive::busy()
{
    advance();
    return m_running;
}

bool Drive::halted()
{
    advance();
    return m_running && (m_haltForRun || m_haltInput);
}

void Drive::overrideQuery(int n, std::optional<qint64> value)
{
    if (n >= 0 && n < int(m_overrides.size()))
        m_overrides[size_t(n)] = value;
}

Drive::Token Drive::readToken(const QByteArray &body, int &i)
{
    Token t{body.at(i++)};
    const int digitsStart = i;
    while (i < body.size() && body.at(i) >= '0' && body.at(i) <= '9') {
        if (i - digitsStart >= 10)
            t.overflow = true;
        else
            t.n = t.n * 10 + (body.at(i) - '0');
        ++i;
    }
    t.has = i > digitsStart;
    return t;
}

Drive::Parsed Drive::parse(const QByteArray &body)
{
    Parsed p;
    int i = 0;
    while (i < body.size() && !p.error) {
        if (body.at(i) == ' ') {
            ++i;
            continue;
        }
        const Token t = readToken(body, i);
        int rest = i;
        while (rest < body.size() && body.at(rest) == ' ')
            ++rest;
        parseToken(t, rest == body.size(), p);
    }
    if (!p.error && p.depth != 0)
        p.error = 2;
    if (p.error) {
        p.program.clear();
        p.run = false;
        p.terminate = false;
        p.enterUpdate = 0;
        return p;
    }
    if (p.wantVersion && m_config.notValidated) {
        p.bareQuestion = true;
        return p;
    }
    for (int q : p.queries)
        p.data += answerQuery(q);
    return p;
}

void Drive::parseToken(const Token &t, bool last, Parsed &p)
{
    // check(condition, code): a string whose command fails a condition is refused with the code.
    auto check = [&p](bool ok, int code = 3) {
        if (!ok && !p.error)
            p.error = code;
        return ok;
    };
    auto operand = [&](qint64 lo, qint64 hi) { return check(t.has && !t.overflow && t.n >= lo && t.n <= hi); };
    auto none = [&] { return check(!t.has); };
    auto add = [&](Op op, qint64 n) { p.program.push_back({op, n}); };
    switch (t.letter) {
    case 'A':
    case 'P':
    case 'D':
    case 'Z': {
        const Op op = t.letter == 'A' ? Op::MoveTo : t.letter == 'P' ? Op::MoveUp : t.letter == 'D' ? Op::MoveDown : Op::Home;
        if (operand(0, m_config.maxPosition))
            add(op, t.n);
        break;
    }
    case 'V':
        if (operand(1, m_config.maxVelocity))
            add(Op::Velocity, t.n);
        break;
    case 'M':
        if (operand(0, 30000))
            add(Op::Wait, t.n);
        break;
    case 'J':
        if (operand(0, 3))
            add(Op::Outputs, t.n);
        break;
    case 'g':
        if (none() && check(++p.depth <= kMaxLoopDepth, 2))
            add(Op::LoopStart, 0);
        break;
    case 'G':
        if (check(p.depth > 0, 2) && operand(0, 30000))
            --p.depth, add(Op::LoopEnd, t.n);
        break;
    case 'H':
        if (check(!t.has || (!t.overflow && t.n <= 2)))
            add(Op::Halt, t.n);
        break;
    case 'b':
        if (check(t.has && !t.overflow && isRate(t.n)))
            add(Op::Baud, t.n);
        break;
    case 'R': // only as the last command of the string
        p.run = check(last, 2) && none();
        break;
    case 'T': p.terminate = none(); break;
    case '?':
        if (operand(0, 8))
            p.queries.push_back(int(t.n));
        break;
    case '&':
        if (none())
            p.queries.push_back(-1), p.wantVersion = true;
        break;
    case '!':
        if (none())
            p.queries.push_back(-2);
        break;
    case 'F': none(); break;
    case '[':
    case ']':
        if (none())
            p.enterUpdate = t.letter == '[' ? 1 : 2;
        break;
    default: check(false, 2); break;
    }
}

QByteArray Drive::answerQuery(int n)
{
    if (n == -1)
        return m_config.versionText;
    if (n == -2)
        return m_config.deviceIdText.isEmpty() ? "ID " + QByteArray::number(m_config.deviceId)
                                               : m_config.deviceIdText;
    return QByteArray::number(queryValue(n));
}

qint64 Drive::queryValue(int n)
{
    if (n >= 0 && n < int(m_overrides.size()) && m_overrides[size_t(n)])
        return *m_overrides[size_t(n)];
    advance();
    switch (n) {
    case 0: return m_position;
    case 1: return m_velocity;
    case 2: return m_outputs;
    case 3: return m_inputs;
    case 4: return m_loops.empty() || m_loops.back().left < 0 ? 0 : m_loops.back().left;
    case 5: return m_done;
    case 6: return m_config.maxPosition;
    case 7: return m_bus.lineBaud();
    case 8: return m_config.deviceId;
    default: return 0;
    }
}

void Drive::start(std::vector<Step> program)
{
    m_program = std::move(program);
    m_running = true;
    m_pc = 0;
    m_inStep = false;
    m_haltForRun = false;
    m_haltInput = 0;
    m_loops.clear();
    m_cursor = m_bus.now();
    advance();
}

void Drive::stop()
{
    advance();
    m_running = false;
    m_inStep = false;
    m_haltForRun = false;
    m_haltInput = 0;
    m_loops.clear();
    m_program.clear();
}

void Drive::advance()
{
    if (!m_running)
        return;
    const qint64 t = m_bus.now();
    for (int budget = kStepBudget; m_running && budget > 0; --budget) {
        if (m_inStep) {
            if (!finishStep(t))
                return;
        } else if (m_haltForRun) {
            return;
        } else if (m_haltInput) {
            if (!(m_inputs & (1 << (m_haltInput - 1))))
                return;
            m_haltInput = 0;
            m_cursor = std::max(m_cursor, t);
            ++m_pc;
        } else if (m_pc >= m_program.size()) {
            m_running = false;
            ++m_done;
            m_loops.clear();
            return;
        } else {
            beginStep(m_program[m_pc]);
        }
    }
}

bool Drive::finishStep(qint64 t)
{
    const bool move = m_program[m_pc].op != Op::Wait;
    if (t < m_stepEnd) {
        if (move && m_stepEnd > m_stepStart) {
            const double f = double(t - m_stepStart) / double(m_stepEnd - m_stepStart);
            m_position = m_moveFrom + qint64(std::floor(double(m_moveTo - m_moveFrom) * f));
        }
        return false;
    }
    if (move)
        m_position = m_moveTo;
    m_cursor = m_stepEnd;
    m_inStep = false;
    ++m_pc;
    return true;
}

void Drive::beginStep(const Step &s)
{
    switch (s.op) {
    case Op::MoveTo: beginMove(s.n); return;
    case Op::MoveUp: beginMove(m_position + s.n); return;
    case Op::MoveDown: beginMove(m_position - s.n); return;
    case Op::Home: beginMove(m_position > s.n ? m_position - s.n : 0); return;
    case Op::Wait: beginTimed(m_bus.scaledUs(double(s.n) / 1000.0)); return;
    case Op::LoopEnd: endLoop(s.n); return;
    case Op::Halt:
        if (s.n == 0) {
            m_haltForRun = true;
            return;
        }
        if (!(m_inputs & (1 << (s.n - 1)))) {
            m_haltInput = int(s.n);
            return;
        }
        break; // the input is already active: no wait at all
    case Op::Velocity: m_velocity = int(s.n); break;
    case Op::Outputs: m_outputs = int(s.n); break;
    case Op::Baud: m_bus.m_lineBaud = int(s.n); break;
    case Op::LoopStart: m_loops.push_back({m_pc + 1, -2}); break;
    }
    ++m_pc;
}

bool Drive::beginTimed(qint64 us)
{
    if (us <= 0) {
        ++m_pc;
        return false;
    }
    m_stepStart = m_cursor;
    m_stepEnd = m_cursor + us;
    m_inStep = true;
    return true;
}

void Drive::beginMove(qint64 target)
{
    if (target < 0 || target > m_config.maxPosition) {
        m_runError = 3;
        m_running = false;
        m_loops.clear();
        return;
    }
    const qint64 distance = target > m_position ? target - m_position : m_position - target;
    m_moveFrom = m_position;
    m_moveTo = target;
    if (!beginTimed(m_bus.scaledUs(double(distance) / double(std::max(1, m_velocity)))))
        m_position = target;
}

void Drive::endLoop(qint64 n)
{
    Loop &l = m_loops.back();
    if (l.left == -2)
        l.left = n == 0 ? -1 : n - 1;
    if (l.left == -1) {
        m_pc = l.start;
    } else if (l.left > 0) {
        --l.left;
        m_pc = l.start;
    } else {
        m_loops.pop_back();
        ++m_pc;
    }
}

} // namespace sim
