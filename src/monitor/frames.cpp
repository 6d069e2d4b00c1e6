#include "monitor/frames.h"

#include "link/framing.h"

#include <algorithm>

namespace monitor {
namespace {

constexpr char kStx = char(framing::STX);
constexpr char kEtx = char(framing::ETX);
constexpr char kCr = char(framing::CR);
constexpr char kLf = '\n';
using framing::kBlockSize;

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

QString latin1(const QByteArray &bytes) { return QString::fromLatin1(bytes); }
bool holdsError(const QByteArray &bytes) { return framing::holdsError(latin1(bytes)); }
bool acceptsUpdate(const QByteArray &bytes) { return framing::trimSpaces(latin1(bytes)).startsWith(QLatin1Char('?')); }

QString byteHex(unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    return QString(QLatin1Char(digits[c >> 4])) + QLatin1Char(digits[c & 15]);
}

// The checksum as the console checks it: XOR from the last STX before the ETX up to the ETX.
// `frame` runs from an STX to the checksum byte.
// A frame that starts after an STX the console took as the previous frame's checksum byte
// counts that STX in.
unsigned char expectedChecksum(const QByteArray &frame)
{
    const qsizetype etx = frame.size() - 2;
    const qsizetype stx = frame.lastIndexOf(kStx, etx);
    if (stx < 0)
        return framing::checksum(frame.left(etx + 1)) ^ framing::STX;
    return framing::checksum(frame.mid(stx, etx - stx + 1));
}

bool checksumOk(const QByteArray &frame)
{
    return static_cast<unsigned char>(frame.back()) == expectedChecksum(frame);
}

QString checksumText(const QByteArray &frame)
{
    return checksumOk(frame) ? QStringLiteral("checksum ok")
                             : QStringLiteral("checksum bad, expected ") + byteHex(expectedChecksum(frame));
}

// What followed the reply's STX up to its ETX, as the console decodes it.
QByteArray oemReplyBody(const QByteArray &frame)
{
    return frame.startsWith(kStx) ? frame.mid(1, frame.size() - 2) : frame.left(frame.size() - 1);
}

QByteArray dtReplyBody(const QByteArray &bytes)
{
    const qsizetype cr = bytes.indexOf(kCr);
    return cr < 0 ? bytes : bytes.left(cr);
}

QString errorName(int code)
{
    const QString text = framing::trimSpaces(framing::errorTexts()[size_t(code)]);
    return text.isEmpty() ? QStringLiteral("Error %1").arg(code) : text;
}

// `DT reply "1000", ready, No Error`
QString replyText(framing::Mode mode, const QByteArray &buffer, const QString &framingName)
{
    const framing::Reply reply = framing::decodeReply(mode, QString::fromLatin1(buffer));
    QString text = framingName + QStringLiteral(" reply \"") + reply.data + QLatin1Char('"');
    if (reply.status < 0)
        return text + QStringLiteral(", no status character");
    return text + ((reply.status & framing::kReadyBit) ? QStringLiteral(", ready, ") : QStringLiteral(", busy, "))
        + errorName(reply.errorCode);
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

namespace {

// The first CR or STX in d[from, to), or `to`.
qsizetype textEnd(const char *d, qsizetype from, qsizetype to)
{
    while (from < to && d[from] != kCr && d[from] != kStx)
        ++from;
    return from;
}

// Adds chunk[from, to) to the side's bytes. A row that is a whole chunk shares the chunk's
// bytes rather than copying them, unless the chunk holds much more room than it uses.
void take(QByteArray &row, const QByteArray &chunk, qsizetype from, qsizetype to)
{
    if (row.isEmpty() && from == 0 && to == chunk.size() && chunk.capacity() >= to && chunk.capacity() - to <= 32)
        row = chunk;
    else
        row.append(chunk.constData() + from, to - from);
}

} // namespace

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
            m_out.last = us;
            for (qsizetype i = 0; i < bytes.size(); i += kBlockSize) {
                m_out.first = us;
                m_out.bytes = bytes.mid(i, kBlockSize);
                ++m_blocks;
                complete(m_out, Dir::Out, Kind::UpdateBlock, rows);
            }
            return;
        }
        m_update = false;
    }

    Side &s = m_out;
    s.last = us;
    const char *d = bytes.constData();
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        if (s.bytes.isEmpty())
            s.first = us;
        if (s.state == State::Text) {
            if (d[i] == kStx) {
                startFrame(s, Dir::Out, us, rows);
                s.state = State::Oem2;
                ++i;
                continue;
            }
            // Text up to the next CR or STX, or until the row is full.
            const qsizetype limit = std::min(n, i + kMaxRow - s.bytes.size());
            const qsizetype end = textEnd(d, i, limit);
            if (end < limit && d[end] == kCr) {
                take(s.bytes, bytes, i, end + 1);
                i = end + 1;
                // The firmware window writes its update-mode command whole; only then do
                // blocks follow on this port. (Only a command ending in "[" or "]" can be one.)
                const bool whole = s.bytes.size() >= 3 && s.bytes.size() == n && (d[n - 2] == '[' || d[n - 2] == ']')
                    && s.bytes == bytes;
                const UpdateCommand c = whole ? parseDtCommand(s.bytes).update : UpdateCommand::None;
                complete(s, Dir::Out, Kind::DtCommand, rows);
                if (c == UpdateCommand::Enter || c == UpdateCommand::EnterFull) {
                    completeWaiting(m_in, Dir::In, rows);
                    m_update = true;
                    m_blocks = 0;
                }
                continue;
            }
            take(s.bytes, bytes, i, end);
            i = end;
            if (s.bytes.size() >= kMaxRow)
                complete(s, Dir::Out, Kind::Unframed, rows);
            continue;
        }
        const char ch = d[i++];
        s.bytes += ch;
        if (s.state == State::Oem3)
            complete(s, Dir::Out, Kind::OemCommand, rows);
        else if (ch == kEtx)
            s.state = State::Oem3;
        else if (s.bytes.size() >= kMaxRow)
            complete(s, Dir::Out, Kind::Unframed, rows);
    }
}

void FrameAssembler::feedIn(qint64 us, const QByteArray &bytes, std::vector<Row> &rows)
{
    Side &s = m_in;
    s.last = us;
    if (m_update) {
        for (const char ch : bytes) {
            if (s.bytes.isEmpty())
                s.first = us;
            s.bytes += ch;
            if (s.bytes.size() >= kMaxRow)
                completeWaiting(s, Dir::In, rows);
        }
        return;
    }
    const char *d = bytes.constData();
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        if (s.crSeen) {
            const bool lf = d[i] == kLf;
            if (lf)
                s.bytes += kLf;
            complete(s, Dir::In, Kind::DtReply, rows);
            if (lf) {
                ++i;
                continue;
            }
        }
        if (s.bytes.isEmpty())
            s.first = us;
        if (s.oemState == 0) {
            if (d[i] == kStx) {
                startFrame(s, Dir::In, us, rows);
                framing::oemReplyStep(s.oemState, s.oemSum, uchar(kStx));
                ++i;
                continue;
            }
            // Text up to the next CR or STX, or until the row is full; a DT reply ends at its
            // CR and takes the LF right after it.
            const qsizetype limit = std::min(n, i + kMaxRow - s.bytes.size());
            const qsizetype end = textEnd(d, i, limit);
            if (end < limit && d[end] == kCr) {
                const bool lf = end + 1 < n && d[end + 1] == kLf;
                take(s.bytes, bytes, i, end + (lf ? 2 : 1));
                i = end + (lf ? 2 : 1);
                if (lf)
                    complete(s, Dir::In, Kind::DtReply, rows);
                else
                    s.crSeen = true;
                continue;
            }
            take(s.bytes, bytes, i, end);
            i = end;
            if (s.bytes.size() >= kMaxRow)
                complete(s, Dir::In, Kind::Unframed, rows);
            continue;
        }
        // Inside an OEM reply, as the console's recogniser sees it: the checksum byte ends the
        // frame whatever its value; when that byte is an STX, the console starts over with it.
        const char ch = d[i++];
        s.bytes += ch;
        if (framing::oemReplyStep(s.oemState, s.oemSum, uchar(ch)) == framing::OemStep::Checked) {
            const quint8 state = s.oemState, sum = s.oemSum;
            complete(s, Dir::In, Kind::OemReply, rows);
            s.oemState = state;
            s.oemSum = sum;
            s.first = us;
        } else if (s.bytes.size() >= kMaxRow) {
            complete(s, Dir::In, Kind::Unframed, rows);
        }
    }
}

void FrameAssembler::startFrame(Side &side, Dir dir, qint64 us, std::vector<Row> &rows)
{
    // An STX ends whatever text came before it as unframed bytes and opens an OEM frame.
    if (!side.bytes.isEmpty())
        complete(side, dir, Kind::Unframed, rows);
    side.first = us;
    side.bytes += kStx;
}

void FrameAssembler::complete(Side &side, Dir dir, Kind kind, std::vector<Row> &rows)
{
    Row row;
    row.us = side.first;
    row.dir = dir;
    row.kind = kind;
    switch (kind) {
    case Kind::DtCommand:
    case Kind::OemCommand:
    case Kind::UpdateBlock:
        m_awaiting = true;
        m_timedOut = false;
        m_commandEnd = side.last;
        break;
    case Kind::UpdateModeReply:
    case Kind::UpdateReply:
    case Kind::DtReply:
    case Kind::OemReply:
        if (m_awaiting) {
            row.replyUs = qint32(std::clamp<qint64>(row.us - m_commandEnd, 0, INT32_MAX));
            row.late = m_timedOut;
        }
        m_awaiting = m_timedOut = false;
        break;
    default:
        break;
    }
    row.block = m_blocks;
    row.bytes = std::move(side.bytes);
    if (row.bytes.capacity() - row.bytes.size() > 32)
        row.bytes.squeeze();
    rows.push_back(std::move(row));
    side.bytes = QByteArray();
    side.state = State::Text;
    side.oemState = 0;
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
        if ((modeReply && !acceptsUpdate(bytes)) || holdsError(bytes))
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

namespace {

QString frameTextOf(const Row &row)
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
        const bool addressed = b.size() > 4;
        QString text = QStringLiteral("OEM, ")
            + (addressed ? QStringLiteral("address ") + plainText(b.mid(1, 1)) : QStringLiteral("no address"));
        if (const UpdateCommand c = updateCommandOfBody(addressed ? b.mid(3, b.size() - 5) : QByteArray());
            c != UpdateCommand::None)
            text += QStringLiteral(", ") + updateCommandText(c, b.mid(3, b.size() - 5));
        return text + QStringLiteral(", ") + checksumText(b);
    }
    case Kind::DtReply:
        return replyText(framing::Mode::DT, dtReplyBody(b), QStringLiteral("DT"));
    case Kind::OemReply:
        return replyText(framing::Mode::OEM, oemReplyBody(b), QStringLiteral("OEM")) + QStringLiteral(", ")
            + checksumText(b);
    case Kind::UpdateBlock:
        return QStringLiteral("update block %1").arg(row.block);
    case Kind::UpdateModeReply:
        return acceptsUpdate(b) ? QStringLiteral("update mode reply, accepted")
                                : QStringLiteral("update mode reply, refused");
    case Kind::UpdateReply:
        return QStringLiteral("update reply to block %1").arg(row.block)
            + (holdsError(b) ? QStringLiteral(", error") : QString());
    case Kind::Opened: return QStringLiteral("port opened ") + QString::fromUtf8(b);
    case Kind::Closed: return QStringLiteral("port closed");
    case Kind::Lost: return QStringLiteral("port lost ") + QString::fromUtf8(b);
    case Kind::TimedOut: return QStringLiteral("time-out: ") + QString::fromUtf8(b);
    case Kind::Discarded: return QStringLiteral("discarded %1 bytes waiting at open").arg(b.size());
    case Kind::LogStarted: return QStringLiteral("log started ") + QString::fromUtf8(b);
    }
    return QString();
}

} // namespace

Row eventRow(qint64 us, Kind kind, const QByteArray &bytes)
{
    Row row;
    row.us = us;
    row.dir = Dir::Event;
    row.kind = kind;
    row.bytes = bytes;
    return row;
}

QString frameText(const Row &row)
{
    const QString text = frameTextOf(row);
    return row.late ? text + QStringLiteral(", late") : text;
}

QString replyMsText(const Row &row) { return row.replyUs >= 0 ? deltaText(row.replyUs) : QString(); }

bool showsBytes(const Row &row) { return row.dir != Dir::Event || row.kind == Kind::Discarded; }

bool isProblem(const Row &row)
{
    const QByteArray &b = row.bytes;
    switch (row.kind) {
    case Kind::Unframed:
    case Kind::TimedOut:
    case Kind::Lost:
    case Kind::Discarded:
        return true;
    case Kind::OemCommand:
        return !checksumOk(b);
    case Kind::DtReply:
    case Kind::OemReply: {
        const bool oem = row.kind == Kind::OemReply;
        const framing::Reply r = framing::decodeReply(oem ? framing::Mode::OEM : framing::Mode::DT,
                                                      latin1(oem ? oemReplyBody(b) : dtReplyBody(b)));
        return row.late || r.errorCode > 0 || (oem && !checksumOk(b));
    }
    case Kind::UpdateModeReply:
        return row.late || !acceptsUpdate(b);
    case Kind::UpdateReply:
        return row.late || holdsError(b);
    default:
        return false;
    }
}

QString detailsText(const Row &row)
{
    QString out = frameText(row) + QLatin1Char('\n');
    if (!showsBytes(row))
        return out;
    const QByteArray &b = row.bytes;
    out += QStringLiteral("\noffset  hex  char\n");
    for (qsizetype i = 0; i < b.size(); ++i)
        out += QStringLiteral("%1    %2   %3\n")
                   .arg(i, 4, 10, QLatin1Char('0'))
                   .arg(hexText(b.mid(i, 1)), plainText(b.mid(i, 1)));
    if (row.kind != Kind::DtReply && row.kind != Kind::OemReply)
        return out;
    const bool oem = row.kind == Kind::OemReply;
    const QByteArray body = oem ? oemReplyBody(b) : dtReplyBody(b);
    const framing::Reply r = framing::decodeReply(oem ? framing::Mode::OEM : framing::Mode::DT, latin1(body));
    out += QLatin1Char('\n');
    // The address is the character before the status character: "0", the host's.
    const qsizetype status = oem ? 1 : body.left(std::max<qsizetype>(0, body.size() - 1)).indexOf('0') + 1;
    if (status > 0 && status < body.size())
        out += QStringLiteral("address %1\n").arg(plainText(body.mid(status - 1, 1)));
    if (r.status >= 0)
        out += QStringLiteral("status %1: %2 (bit 20), error code %3, %4\n")
                   .arg(hexText(QByteArray(1, char(r.status))),
                        (r.status & framing::kReadyBit) ? QStringLiteral("ready") : QStringLiteral("busy"))
                   .arg(r.errorCode)
                   .arg(errorName(r.errorCode));
    else
        out += QStringLiteral("no status character\n");
    out += QStringLiteral("data \"%1\"\n").arg(r.data);
    if (oem)
        out += QStringLiteral("checksum received %1, computed %2\n")
                   .arg(hexText(b.right(1)), byteHex(expectedChecksum(b)));
    if (row.replyUs >= 0)
        out += QStringLiteral("reply after %1 ms%2\n").arg(replyMsText(row), row.late ? QStringLiteral(", late") : QString());
    return out;
}

int writeDelta(qint64 deltaUs, char *out)
{
    const qint64 magnitude = (std::abs(deltaUs) + 50) / 100; // tenths of a millisecond
    char digits[20];
    int n = 0;
    for (qint64 whole = magnitude / 10; n == 0 || whole > 0; whole /= 10)
        digits[n++] = char('0' + whole % 10);
    int length = 0;
    if (deltaUs < 0 && magnitude > 0)
        out[length++] = '-';
    while (n > 0)
        out[length++] = digits[--n];
    out[length++] = '.';
    out[length++] = char('0' + magnitude % 10);
    return length;
}

QString deltaText(qint64 deltaUs)
{
    char text[kDeltaChars];
    return QString::fromLatin1(text, writeDelta(deltaUs, text));
}

QString dirText(Dir dir)
{
    switch (dir) {
    case Dir::Out: return QStringLiteral("out");
    case Dir::In: return QStringLiteral("in");
    case Dir::Event: break;
    }
    return QStringLiteral("event");
}

} // namespace monitor
