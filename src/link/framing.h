#pragma once
// Command framing on the wire and the reply texts of the drives.
//
// DT: the command exactly as typed, then CR. OEM: STX, address, "1", body, ETX and the XOR of
// every byte from the STX to the ETX. There is no escaping: the checksum may be any byte.

#include <QByteArray>
#include <QString>
#include <array>

namespace framing {

enum class Mode { DT, OEM };

constexpr char16_t STX = 2;
constexpr char16_t ETX = 3;
constexpr char16_t CR = 13;

// XOR of the bytes, from 0.
unsigned char checksum(const QByteArray &bytes);

// The OEM frame of a command's bytes: STX, its second byte (the address, possibly none), "1",
// everything from its third byte, ETX, checksum.
QByteArray oemFrame(const QByteArray &command);

// The 17 status texts, indexed by a reply's error code.
const std::array<QString, 17> &errorTexts();

// A reply taken apart as the console decodes it: the error code (low 4 bits of the status
// character; -1 when the reply has no status character) and the data text.
struct Reply {
    int errorCode = -1;
    int status = -1; // the status character's code; -1 without one
    QString data;
};
// DT: `buffer` holds the characters received for the reply, CR left out; the status character
// follows the first "0" before the last position, the data is positions 5 to length-1.
// OEM: `buffer` holds what followed the STX up to and including the ETX; the status character
// is position 2, the data positions 3 to length-1. CR is never part of the data.
Reply decodeReply(Mode mode, const QString &buffer);

// Bit 0x20 of a status character: the drive is ready (clear: busy executing a command).
constexpr int kReadyBit = 0x20;

// The console's OEM reply recogniser, one received byte at a time. `state` 0 waits for an STX;
// 1 collects up to the "0"; 2 collects up to the ETX; 3 takes the checksum byte. An STX in any
// state (after the step it makes) restarts the checksum at state 1 but keeps what has been
// collected; an STX in state 0 is the start itself and is not collected. `checksum` is the XOR
// of the bytes from the last STX.
enum class OemStep : quint8 {
    Ignored,   // state 0, not an STX
    Started,   // the STX that starts a reply: empty the buffer
    Collected, // a byte of the reply: keep it
    Checked,   // the checksum byte: the reply is complete when it matched
};
OemStep oemReplyStep(quint8 &state, quint8 &checksum, unsigned char c, bool *matched = nullptr);

// The bus's addresses: the character for item 1 to 16 of an address list, "1" to "9", then
// ":" ";" "<" "=" ">" "@" for A to F, and nothing for "0" (item 16).
QString addressChar(int itemNumber);
constexpr int kAddressCount = 15; // items 1 to 15 name a drive

// The firmware update sends its image in blocks of this many bytes, each answered by a reply.
constexpr int kBlockSize = 6;
// Leading and trailing spaces removed (spaces only: CR and LF stay).
QString trimSpaces(const QString &text);
// A reply that holds the word "error" in any case: the update stops at it.
bool holdsError(const QString &reply);

} // namespace framing
