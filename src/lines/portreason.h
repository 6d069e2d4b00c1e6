#pragma once
// Why a serial device cannot be opened, as far as the system tells: the device is missing, the
// user may not open it (and which group would let them), or another program holds it (and
// which one, from its lock file or from /proc). examine() looks at the device; explain() turns
// what it found into the text the port list shows beside the device's name.

#include <QString>
#include <QStringList>

namespace portreason {

enum class State {
    Opens,            // nothing stands in the way that the system can name
    Missing,          // no such device (or a link to a device that is gone)
    NoHardware,       // the device node is there but no port answers behind it
    PermissionDenied, // the user may not open it
    Busy,             // another program holds it
    OtherError,       // opening failed for another reason (see error)
};

struct Facts {
    State state = State::Opens;
    QString path;   // the device as configured
    QString target; // where a symbolic link points (empty when the path is no link)
    int error = 0;  // errno of a failed open, for OtherError

    // PermissionDenied: the device's owner, group and mode, and the user asking.
    QString owner;
    QString group;
    unsigned mode = 0;            // permission bits, e.g. 0660
    QString user;
    bool userListedInGroup = false; // the group database lists the user (or it is the user's primary group)
    bool sessionHasGroup = false;   // the running session carries the group

    // Busy: the holder, where its lock file or /proc names it (pid 0 when nothing does).
    qint64 holderPid = 0;
    QString holderName;
    QString lockFile; // the lock file that names the holder (empty when /proc did); with pid 0 it names nobody readable
    bool lockFileUnreadable = false; // that lock file is there, but this user may not read it
    bool holderIsSelf = false;

    // A lock file left by a process that has ended (whatever the state): it keeps nobody out,
    // is never removed by a look, and an open clears it.
    QString staleLockFile;
    qint64 stalePid = 0;
};

// The directories a serial port's lock file may be in, in the order they are searched.
QStringList defaultLockDirectories();

// Looks at the device at `path`: whether it exists, whether this user may open it, whether a
// live process holds its lock file or holds it open exclusively. May open the device for a
// moment (non-blocking, never as controlling terminal) when nothing else answers the question.
Facts examine(const QString &path, const QStringList &lockDirectories = defaultLockDirectories());

// One or two lines saying why the device is unavailable and, where there is one, the remedy,
// then a line naming a stale lock file if one was seen. Empty when the facts give neither.
QString explain(const Facts &facts);

// explain(examine(path)); for a network port ("rfc2217://HOST:PORT", "socket://HOST:PORT"),
// why its server does not answer (empty when it does).
QString reason(const QString &path);

// The program behind a process id: its command name, or the name it was started by where the
// system shortened the command name. Empty when the process is gone or hidden.
QString processName(qint64 pid);

} // namespace portreason
