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
// character; -1 when the reply has no status character), the status character and the data text.
struct Reply {
    int errorCode = -1;
    int status = -1; // the status character's code (-1: none)
    QString data;
};
// DT: `buffer` holds the characters received for the reply, CR left out; the status character
// follows the first "0" before the last position, the data is positions 5 to length-1.
// OEM: `buffer` holds what followed the STX up to and including the ETX; the status character
// is position 2, the data positions 3 to length-1. CR is never part of the data.
Reply decodeReply(Mode mode, const QString &buffer);

} // namespace framing
