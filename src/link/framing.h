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

} // namespace framing
