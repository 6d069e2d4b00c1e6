#pragma once
// AMX update files and the controller's replies, without any window: the header record, the
// header test, the version word and its pieces, the device check and the address characters.
// The firmware window calls these and shows the messages.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// The header record of an AMX update file. Filled by the firmware window's validation.
struct AMXHeader {
    bool FullUpdate = false;
    bool NotValidated = false;
    bool NoHeader = false;
    bool Servo = false;
    QString Model;
    int32_t DeviceID = 0;
    QString DeviceIDHex;
};

namespace amx {

constexpr int kHeaderLength = 5;

// The first five characters of the file as text (Latin-1); fewer when the file is shorter.
// nullopt when the file cannot be opened.
std::optional<QString> readHeaderText(const QString &path);

// The header test: five characters, the first one's hexadecimal value at most 5 and the
// second one's equal to 0 (a character that is not a hexadecimal digit counts as 0). The third
// character is not tested. A text shorter than five characters fails: such a file has no header.
bool headerTest(const QString &headerText);

// Fills FullUpdate, Servo, Model, DeviceID and DeviceIDHex from the five header characters.
bool getAMXHeader(const QString &headerText, AMXHeader &header);

// The first space-separated piece holding a "v" (either case) and a first "." at position 2 or
// later, with the spaces around it removed; empty when there is none.
QString getVersionString(const QString &reply);

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
};
enum class VersionError {
    UnknownFormat, // the first "." is neither the 3rd nor the 4th character
    NotNumeric,    // the major or minor piece is not a number
};
struct VersionResult {
    std::optional<Version> version;
    VersionError error = VersionError::UnknownFormat;
};
// The pieces of a version word: V1.23 gives 1, 2, 3; V12.34 gives 12, 3, 4; a patch character
// that is missing or not a digit gives 0.
VersionResult parseVersion(const QString &versionWord);

// Firmware d.00 and d.01 with d at most 7 cannot be asked for a device identification.
bool needsDeviceCheck(const Version &v);

// The device reply holds the decimal text of the ID anywhere.
bool deviceReplyMatches(const QString &reply, int32_t deviceId);


// The block loop's progress arithmetic: called with the bytes counted since the last step and
// the file length, true when the bar takes its next step of 5.
bool progressStepDue(int32_t counted, int32_t fileLength);

} // namespace amx
