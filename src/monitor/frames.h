#pragma once
// The traffic monitor's frame assembler: turns the bytes one port writes and receives into
// rows, each row one frame as the drives (or the console) see it, and the texts a row shows.
// Pure logic: no port, no timer, no widget. Times are the port tap's monotonic microseconds.
//
// Out (to the drives): a DT command up to its CR, however many writes it took; an OEM frame
// from its STX to the checksum byte after the ETX. A command that enters the update mode and
// was written whole in one write (as the firmware window writes) switches the port to update
// blocks: from then on every write is one 6-byte block (a longer write is cut into blocks)
// until a write that is a whole command again ("/" ... CR, not 6 bytes long), a refused
// update-mode reply or an error reply.
// In (from the drives): a DT reply up to its CR, with the LF right after it; an OEM reply from
// its STX through "0" and the ETX to the checksum byte; in update mode, each reply up to the
// next block written.
// Bytes that form no frame become a row of their own once the line has been idle for
// kIdleGapUs, or at kMaxRow bytes.
// A reply row knows the command row it answers: the time from the command's last byte leaving
// to the reply's first byte arriving, and whether the command's time-out had already run out.
//
// Event rows (Dir::Event) are what happened to the port or the log rather than bytes.

#include <QByteArray>
#include <QString>
#include <vector>

namespace monitor {

enum class Dir : quint8 { Out, In, Event };

enum class Kind : quint8 {
    Unframed,
    DtCommand,
    OemCommand,
    DtReply,
    OemReply,
    UpdateBlock,     // block number in Row::block, from 1
    UpdateModeReply, // the reply to the command that enters update mode
    UpdateReply,     // the reply to block Row::block
    // Events. Row::bytes holds the bytes dropped for Discarded, else the event's details as text.
    Opened,     // device, baud rate and frame
    Closed,
    Lost,       // device
    TimedOut,   // which command, after how long
    Discarded,  // bytes that waited on the line when the port opened, dropped by the open
    LogStarted, // the log file's path
};

struct Row {
    qint64 us = 0;      // monotonic microseconds of the first byte
    qint64 deltaUs = 0; // since the previous row (set by the store)
    QByteArray bytes;
    qint32 block = 0;
    qint32 replyUs = -1; // a reply: from its command's last byte out to its first byte in
    quint16 port = 0;    // the store's port index (set by the store)
    Dir dir = Dir::Out;
    Kind kind = Kind::Unframed;
    bool late = false;   // a reply that came after its command's time-out
};

// An event row at `us`.
Row eventRow(qint64 us, Kind kind, const QByteArray &bytes = QByteArray());

class FrameAssembler {
public:
    static constexpr qint64 kIdleGapUs = 50'000;
    static constexpr int kMaxRow = 256;

    // Bytes of one write (out) or one read (in) at time `us`; completed rows go to `rows`.
    void feed(qint64 us, Dir dir, const QByteArray &bytes, std::vector<Row> &rows);
    // Completes what has waited since kIdleGapUs before `nowUs`.
    void idle(qint64 nowUs, std::vector<Row> &rows);
    // Completes everything that waits (the port is going away).
    void flush(std::vector<Row> &rows);
    // Monotonic time at which idle() will next have something to complete; -1 for never.
    qint64 deadline() const;
    bool inUpdateMode() const { return m_update; }
    // The command waiting for its reply has timed out: its reply, if it still comes, is late.
    void timedOut() { m_timedOut = m_awaiting; }

private:
    enum class State : quint8 { Text, Oem2, Oem3 };
    struct Side {
        QByteArray bytes;
        qint64 first = 0;
        qint64 last = 0;
        State state = State::Text; // out
        quint8 oemState = 0;       // in: the console's OEM reply recogniser
        quint8 oemSum = 0;
        bool crSeen = false; // in: a DT reply's CR is in, its LF may follow
    };

    void feedOut(qint64 us, const QByteArray &bytes, std::vector<Row> &rows);
    void feedIn(qint64 us, const QByteArray &bytes, std::vector<Row> &rows);
    void complete(Side &side, Dir dir, Kind kind, std::vector<Row> &rows);
    // The STX at `us` opens an OEM frame on this side.
    void startFrame(Side &side, Dir dir, qint64 us, std::vector<Row> &rows);
    // What the waiting bytes of a side are once nothing more will join them.
    void completeWaiting(Side &side, Dir dir, std::vector<Row> &rows);

    Side m_out;
    Side m_in;
    bool m_update = false;
    qint32 m_blocks = 0;
    bool m_awaiting = false; // a command has gone out and no reply has come yet
    bool m_timedOut = false;
    qint64 m_commandEnd = 0; // that command's last byte
};

// The cells of a row.
QString hexText(const QByteArray &bytes);    // "2F 31 3F 30 0D"
QString plainText(const QByteArray &bytes);  // "/1?0<CR>"
QString frameText(const Row &row);           // the framing and what it means
QString deltaText(qint64 deltaUs);           // milliseconds, one decimal
// deltaText's characters written to `out` (room for kDeltaChars); returns how many.
constexpr int kDeltaChars = 24;
int writeDelta(qint64 deltaUs, char *out);
QString dirText(Dir dir);                    // "out" / "in" / "event"
QString replyMsText(const Row &row);         // a reply's Reply ms, empty on other rows
// Whether the row's bytes are shown (hex, text): every row but events other than Discarded.
bool showsBytes(const Row &row);
// Non-zero error code, bad checksum, unframed bytes, a refused or failed update step, a
// time-out, a late reply, a lost port, bytes discarded at open.
bool isProblem(const Row &row);
// The row taken apart: every byte with its offset, hex and character; for a reply its address,
// status bits, data and the checksum received beside the one computed.
QString detailsText(const Row &row);

} // namespace monitor
