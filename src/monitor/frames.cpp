#include "monitor/frames.h"

#include "link/framing.h"

#include <algorithm>

namespace monitor {
namespace {

constexpr char kStx = char(framing::STX);
constexpr char kEtx = char(framing::ETX);
constexpr char kCr = char(framing::CR);
constexpr char kLf = '\n';
constexpr int kBlockSize = 6;

enum class UpdateCommand { None, Version, Device, Baud, Enter, EnterFull };

UpdateCommand updateCommandOfBody(const QByteArray &body)
{
    if (body == "&") return UpdateCommand::Version;
    if (body == "!") return UpdateCommand::Device;
    if (body == "[") return UpdateCommand::Enter;
    if (body == "]") return UpdateCommand::EnterFull;
    if (body.size() >= 3 && body.startsWith('b') && body.endsWith('R')
        && std::all_of(body.begin() + 1, body.end() - 1, [](char c) { return c >= '0' && c <= '9'; }))
        return UpdateCommand::Baud;
    return UpdateCommand::None;
}

struct DtCommand {
    bool hasAddress = false;
    char address = 0;
    UpdateCommand update = UpdateCommand::None;
    QByteArray body;
};

// "/" address body CR, or "/" body CR for the firmware window's address entry "0".
DtCommand parseDtCommand(const QByteArray &command)
{
    DtCommand c;
    const QByteArray line = command.endsWith(kCr) ? command.chopped(1) : command;
    if (line.size() < 2)
        return c;
    c.hasAddress = true;
    c.address = line.at(1);
    c.body = line.mid(2);
    c.update = updateCommandOfBody(c.body);
    if (c.update == UpdateCommand::None && line.startsWith('/')) {
        if (const UpdateCommand bare = updateCommandOfBody(line.mid(1)); bare != UpdateCommand::None) {
            c.hasAddress = false;
            c.body = line.mid(1);
            c.update = bare;
        }
    }
    return c;
}

// A write that is a whole command again, which ends the update blocks.
bool isWholeCommand(const QByteArray &bytes)
{
    return bytes.size() >= 2 && bytes.size() != kBlockSize && bytes.startsWith('/') && bytes.endsWith(kCr);
}

QByteArray trimSpaces(const QByteArray &bytes)
{
    qsizetype from = 0, to = bytes.size();
    while (from < to && bytes.at(from) == ' ')
        ++from;
    while (to > from && bytes.at(to - 1) == ' ')
        --to;
    return bytes.mid(from, to - from);
}

bool holdsError(const QByteArray &bytes) { return bytes.toLower().contains("error"); }

QString byteHex(unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    return QString(QLatin1Char(digits[c >> 4])) + QLatin1Char(digits[c & 15]);
}

// The checksum as the console checks it: XOR from the last STX before the ETX up to the ETX.
// `frame` runs from an STX to the checksum byte.
QString checksumText(const QByteArray &frame)
{
    const qsizetype etx = frame.size() - 2;
    const qsizetype stx = std::max<qsizetype>(0, frame.lastIndexOf(kStx, etx));
    const unsigned char expected = framing::checksum(frame.mid(stx, etx - stx + 1));
    const auto got = static_cast<unsigned char>(frame.back());
    return got == expected ? QStringLiteral("checksum ok")
                           : QStringLiteral("checksum bad, expected ") + byteHex(expected);
}

QString replyText(framing::Mode mode, const QByteArray &buffer, const QString &framingName)
{
    const framing::Reply reply = framing::decodeReply(mode, QString::fromLatin1(buffer));
    if (reply.errorCode < 0)
        return framingName + QStringLiteral(" reply \"") + reply.data + QStringLiteral("\", no status character");
    return framingName + QStringLiteral(" reply \"") + reply.data + framing::errorTexts()[size_t(reply.errorCode)]
        + QLatin1Char('"');
}

QString updateCommandText(UpdateCommand c, const QByteArray &body)
{
    switch (c) {
    case UpdateCommand::Version: return QStringLiteral("version query");
    case UpdateCommand::Device: return QStringLiteral("device query");
    case UpdateCommand::Baud: return QStringLiteral("baud change to ") + QString::fromLatin1(body.mid(1, body.size() - 2));
    case UpdateCommand::Enter: return QStringLiteral("enter update mode");
    case UpdateCommand::EnterFull: return QStringLiteral("enter full update mode");
    case UpdateCommand::None: break;
    }
    return QString();
}

} // namespace

// ---- assembling --------------------------------------------------------------------------

void FrameAssembler::feed(qint64 us, Dir dir, const QByteArray &bytes, std::vector<Row> &rows)
{
    if (bytes.isEmpty())
        return;
    Side &side = dir == Dir::Out ? m_out : m_in;
    if (!side.bytes.isEmpty() && us - side.last >= kIdleGapUs)
        completeWaiting(side, dir, rows);
    if (dir == Dir::Out)
        feedOut(us, bytes, rows);
    else
        feedIn(us, bytes, rows);
}

void FrameAssembler::feedOut(qint64 us, const QByteArray &bytes, std::vector<Row> &rows)
{
    if (m_update) {
        // The reply to the previous block is complete once the next block goes out.
        completeWaiting(m_in, Dir::In, rows);
        if (!isWholeCommand(bytes)) {
            completeWaiting(m_out, Dir::Out, rows);
            for (qsizetype i = 0; i < bytes.size(); i += kBlockSize) {
                Row row;
                row.us = us;
                row.dir = Dir::Out;
                row.kind = Kind::UpdateBlock;
                row.block = ++m_blocks;
                row.bytes = bytes.mid(i, kBlockSize);
                rows.push_back(std::move(row));
            }
            m_out.last = us;
            return;
        }
        m_update = false;
    }

    Side &s = m_out;
    for (const char ch : bytes) {
        if (s.bytes.isEmpty())
            s.first = us;
        switch (s.state) {
        case State::Text:
            if (ch == kStx) {
                startFrame(s, Dir::Out, us, State::Oem2, rows);
                break;
            }
            s.bytes += ch;
            if (ch == kCr) {
                // The firmware window writes its update-mode command whole; only then do
                // blocks follow on this port.
                const bool whole = s.bytes == bytes;
                const UpdateCommand c = parseDtCommand(s.bytes).update;
                complete(s, Dir::Out, Kind::DtCommand, rows);
                if (whole && (c == UpdateCommand::Enter || c == UpdateCommand::EnterFull)) {
                    completeWaiting(m_in, Dir::In, rows);
                    m_update = true;
                    m_blocks = 0;
                }
            } else if (s.bytes.size() >= kMaxRow) {
                complete(s, Dir::Out, Kind::Unframed, rows);
            }
            break;
        case State::Oem1:
        case State::Oem2:
            s.bytes += ch;
            if (ch == kEtx)
                s.state = State::Oem3;
            else if (s.bytes.size() >= kMaxRow)
                complete(s, Dir::Out, Kind::Unframed, rows);
            break;
        case State::Oem3:
            s.bytes += ch;
            complete(s, Dir::Out, Kind::OemCommand, rows);
            break;
        }
    }
    s.last = us;
}

void FrameAssembler::feedIn(qint64 us, const QByteArray &bytes, std::vector<Row> &rows)
{
    Side &s = m_in;
    if (m_update) {
        for (const char ch : bytes) {
            if (s.bytes.isEmpty())
                s.first = us;
            s.bytes += ch;
            if (s.bytes.size() >= kMaxRow)
                completeWaiting(s, Dir::In, rows);
        }
        s.last = us;
        return;
    }
    for (const char ch : bytes) {
        if (s.crSeen) {
            const bool lf = ch == kLf;
            if (lf)
                s.bytes += ch;
            complete(s, Dir::In, Kind::DtReply, rows);
            if (lf)
                continue;
        }
        if (s.bytes.isEmpty())
            s.first = us;
        switch (s.state) {
        case State::Text:
            if (ch == kStx) {
                startFrame(s, Dir::In, us, State::Oem1, rows);
                break;
            }
            s.bytes += ch;
            if (ch == kCr)
                s.crSeen = true;
            else if (s.bytes.size() >= kMaxRow)
                complete(s, Dir::In, Kind::Unframed, rows);
            break;
        // The console's OEM recogniser: up to the "0", up to the ETX (a second STX starts
        // over at the "0"), then the checksum byte, whatever its value.
        case State::Oem1:
            s.bytes += ch;
            if (ch == '0')
                s.state = State::Oem2;
            else if (s.bytes.size() >= kMaxRow)
                complete(s, Dir::In, Kind::Unframed, rows);
            break;
        case State::Oem2:
            s.bytes += ch;
            if (ch == kEtx)
                s.state = State::Oem3;
            else if (ch == kStx)
                s.state = State::Oem1;
            else if (s.bytes.size() >= kMaxRow)
                complete(s, Dir::In, Kind::Unframed, rows);
            break;
        case State::Oem3:
            s.bytes += ch;
            complete(s, Dir::In, Kind::OemReply, rows);
            break;
        }
    }
    s.last = us;
}

void FrameAssembler::startFrame(Side &side, Dir dir, qint64 us, State next, std::vector<Row> &rows)
{
    // An STX ends whatever text came before it as unframed bytes and opens an OEM frame.
    if (!side.bytes.isEmpty())
        complete(side, dir, Kind::Unframed, rows);
    side.first = us;
    side.bytes += kStx;
    side.state = next;
}

void FrameAssembler::complete(Side &side, Dir dir, Kind kind, std::vector<Row> &rows)
{
    Row row;
    row.us = side.first;
    row.dir = dir;
    row.kind = kind;
    if (kind == Kind::UpdateReply || kind == Kind::UpdateModeReply)
        row.block = m_blocks;
    row.bytes = std::move(side.bytes);
    if (row.bytes.capacity() - row.bytes.size() > 32)
        row.bytes.squeeze();
    rows.push_back(std::move(row));
    side.bytes = QByteArray();
    side.state = State::Text;
    side.crSeen = false;
}

void FrameAssembler::completeWaiting(Side &side, Dir dir, std::vector<Row> &rows)
{
    if (side.bytes.isEmpty())
        return;
    if (dir == Dir::In && m_update) {
        const bool modeReply = m_blocks == 0;
        const QByteArray bytes = side.bytes;
        complete(side, dir, modeReply ? Kind::UpdateModeReply : Kind::UpdateReply, rows);
        if ((modeReply && !trimSpaces(bytes).startsWith('?')) || holdsError(bytes))
            m_update = false; // the firmware window stops: no blocks follow
        return;
    }
    complete(side, dir, dir == Dir::In && side.crSeen ? Kind::DtReply : Kind::Unframed, rows);
}

void FrameAssembler::idle(qint64 nowUs, std::vector<Row> &rows)
{
    if (!m_out.bytes.isEmpty() && nowUs - m_out.last >= kIdleGapUs)
        completeWaiting(m_out, Dir::Out, rows);
    if (!m_in.bytes.isEmpty() && nowUs - m_in.last >= kIdleGapUs)
        completeWaiting(m_in, Dir::In, rows);
}

void FrameAssembler::flush(std::vector<Row> &rows)
{
    completeWaiting(m_out, Dir::Out, rows);
    completeWaiting(m_in, Dir::In, rows);
}

qint64 FrameAssembler::deadline() const
{
    qint64 d = -1;
    for (const Side *s : {&m_out, &m_in})
        if (!s->bytes.isEmpty() && (d < 0 || s->last + kIdleGapUs < d))
            d = s->last + kIdleGapUs;
    return d;
}

// ---- texts -------------------------------------------------------------------------------

QString hexText(const QByteArray &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QString out(bytes.isEmpty() ? 0 : bytes.size() * 3 - 1, QLatin1Char(' '));
    QChar *p = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes.at(i));
        p[i * 3] = QLatin1Char(digits[c >> 4]);
        p[i * 3 + 1] = QLatin1Char(digits[c & 15]);
    }
    return out;
}

QString plainText(const QByteArray &bytes)
{
    static const char *const names[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                          "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                          "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                          "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    QString out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 32)
            out += QLatin1Char('<') + QLatin1String(names[c]) + QLatin1Char('>');
        else if (c == 127)
            out += QLatin1String("<DEL>");
        else if (c >= 0x80 && c <= 0x9F)
            out += QLatin1Char('<') + byteHex(c) + QLatin1Char('>');
        else
            out += QChar(c);
    }
    return out;
}

QString frameText(const Row &row)
{
    const QByteArray &b = row.bytes;
    switch (row.kind) {
    case Kind::Unframed:
        return QStringLiteral("unframed");
    case Kind::DtCommand: {
        const DtCommand c = parseDtCommand(b);
        QString text = c.hasAddress ? QStringLiteral("DT, address ") + plainText(QByteArray(1, c.address))
                                    : QStringLiteral("DT, no address");
        if (c.update != UpdateCommand::None)
            text += QStringLiteral(", ") + updateCommandText(c.update, c.body);
        return text;
    }
    case Kind::OemCommand: {
        // STX, address, "1", body, ETX, checksum; an empty address leaves STX "1" ETX checksum.
        const QString address = b.size() > 4 ? QStringLiteral("address ") + plainText(b.mid(1, 1))
                                             : QStringLiteral("no address");
        return QStringLiteral("OEM, ") + address + QStringLiteral(", ") + checksumText(b);
    }
    case Kind::DtReply: {
        const qsizetype cr = b.indexOf(kCr);
        return replyText(framing::Mode::DT, cr < 0 ? b : b.left(cr), QStringLiteral("DT"));
    }
    case Kind::OemReply:
        return replyText(framing::Mode::OEM, b.mid(1, b.size() - 2), QStringLiteral("OEM"))
            + QStringLiteral(", ") + checksumText(b);
    case Kind::UpdateBlock:
        return QStringLiteral("update block %1").arg(row.block);
    case Kind::UpdateModeReply:
        return trimSpaces(b).startsWith('?') ? QStringLiteral("update mode reply, accepted")
                                             : QStringLiteral("update mode reply, refused");
    case Kind::UpdateReply:
        return QStringLiteral("update reply to block %1").arg(row.block)
            + (holdsError(b) ? QStringLiteral(", error") : QString());
    }
    return QString();
}

QString deltaText(qint64 deltaUs)
{
    const qint64 magnitude = (std::abs(deltaUs) + 50) / 100; // tenths of a millisecond
    return QStringLiteral("%1%2.%3")
        .arg(deltaUs < 0 && magnitude > 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 10)
        .arg(magnitude % 10);
}

QString dirText(Dir dir) { return dir == Dir::Out ? QStringLiteral("out") : QStringLiteral("in"); }

} // namespace monitor
