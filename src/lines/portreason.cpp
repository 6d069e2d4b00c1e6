#include "lines/portreason.h"

#include "lines/networkline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace portreason {

#ifdef Q_OS_UNIX
namespace {

QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

QString userName(uid_t uid)
{
    if (const passwd *pw = ::getpwuid(uid))
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(uid);
}

QString groupName(gid_t gid)
{
    if (const group *gr = ::getgrgid(gid))
        return QString::fromLocal8Bit(gr->gr_name);
    return QString::number(gid);
}

bool listedInGroup(uid_t uid, gid_t gid)
{
    const passwd *pw = ::getpwuid(uid);
    if (!pw)
        return false;
    if (pw->pw_gid == gid)
        return true;
    const QByteArray name(pw->pw_name);
    const group *gr = ::getgrgid(gid);
    if (!gr)
        return false;
    for (char **m = gr->gr_mem; m && *m; ++m)
        if (name == *m)
            return true;
    return false;
}

bool sessionHasGroup(gid_t gid)
{
    if (::getgid() == gid || ::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[size_t(i)] == gid)
            return true;
    return false;
}

bool alive(qint64 pid)
{
    if (pid <= 0 || pid > 0x7fffffff)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// The lock file's process id: a decimal number on its first line (QLockFile and the usual
// serial lock files), or a binary int as some old programs write it. 0 when there is none,
// -1 when this user may not read the file.
qint64 lockPid(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray data = f.read(4096);
    const bool text = std::all_of(data.begin(), data.end(), [](char c) { return c >= ' ' || c == '\n'; });
    if (!text && data.size() == int(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, data.constData(), sizeof binary);
        return binary;
    }
    bool ok = false;
    const qint64 pid = data.split('\n').value(0).trimmed().toLongLong(&ok);
    return ok ? pid : 0;
}

// Lock file names for a device path, as a serial port library names them: the path without
// "/dev/", each "/" turned into "_", after "LCK..".
QString lockName(const QString &path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

// A process other than a stale one that holds a lock file for the device.
bool findLockHolder(const QStringList &paths, const QStringList &directories, Facts &facts)
{
    for (const QString &path : paths) {
        for (const QString &dir : directories) {
            const QString file = dir + QLatin1Char('/') + lockName(path);
            if (!QFileInfo::exists(file))
                continue;
            const qint64 pid = lockPid(file);
            if (pid <= 0) {
                // A lock file this program cannot read, or that names no process in a form it
                // reads, may be another program's all the same: the port counts as held. (The
                // serial library would take an old one for stale and delete it; another
                // program's lock file is not ours to delete.)
                facts.lockFile = file;
                facts.lockFileUnreadable = pid < 0;
                return true;
            }
            if (!alive(pid)) {
                // A stale lock does not keep anybody out.
                if (facts.staleLockFile.isEmpty()) {
                    facts.staleLockFile = file;
                    facts.stalePid = pid;
                }
                continue;
            }
            facts.holderPid = pid;
            facts.lockFile = file;
            return true;
        }
    }
    return false;
}

// Another process with the device among its open files, where /proc lets this user see it.
// This program's own descriptors are not the hold being asked about: its ports hold lock files.
bool findOpenHolder(const QString &device, Facts &facts)
{
    const long self = long(::getpid());
    const QByteArray wanted = encoded(device);
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (!found) {
        const dirent *e = ::readdir(proc);
        if (!e)
            break;
        char *end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const QByteArray fdDir = QByteArray("/proc/") + e->d_name + "/fd";
        DIR *fds = ::opendir(fdDir.constData());
        if (!fds)
            continue; // another user's process: /proc keeps it to itself
        while (const dirent *f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            char target[4096];
            const QByteArray link = fdDir + '/' + f->d_name;
            const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
            if (n > 0 && QByteArray(target, int(n)) == wanted) {
                facts.holderPid = pid;
                found = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

void nameHolder(Facts &facts)
{
    if (facts.holderPid <= 0)
        return;
    facts.holderName = processName(facts.holderPid);
    facts.holderIsSelf = facts.holderPid == qint64(::getpid());
}

void findHolder(const QString &path, const QString &device, const QStringList &lockDirectories, Facts &facts)
{
    QStringList paths{path};
    if (device != path)
        paths << device;
    if (!findLockHolder(paths, lockDirectories, facts))
        findOpenHolder(device, facts);
    nameHolder(facts);
}

void noteOwnership(const struct stat &st, Facts &facts)
{
    facts.owner = userName(st.st_uid);
    facts.group = groupName(st.st_gid);
    facts.mode = st.st_mode & 07777;
    facts.user = userName(::getuid());
    facts.userListedInGroup = listedInGroup(::getuid(), st.st_gid);
    facts.sessionHasGroup = sessionHasGroup(st.st_gid);
}

} // namespace

QStringList defaultLockDirectories()
{
    // Where the serial port library writes its lock files, first writable one first.
    return {QStringLiteral("/var/lock"),       QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),             QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock")};
}

QString processName(qint64 pid)
{
    const QString base = QStringLiteral("/proc/%1/").arg(pid);
    QFile comm(base + QStringLiteral("comm"));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    const QString name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    // The command name is cut at 15 characters; the name the program was started by is whole.
    QFile cmdline(base + QStringLiteral("cmdline"));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray first = cmdline.read(4096).split('\0').value(0);
        const QString started = QFileInfo(QString::fromLocal8Bit(first)).fileName();
        if (!name.isEmpty() && started.size() > name.size() && started.startsWith(name))
            return started;
    }
    return name;
}

Facts examine(const QString &path, const QStringList &lockDirectories)
{
    Facts facts;
    facts.path = path;
    if (path.isEmpty()) {
        facts.state = State::Missing;
        return facts;
    }
    const QByteArray p = encoded(path);
    struct stat link{};
    if (::lstat(p.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char target[4096];
        const ssize_t n = ::readlink(p.constData(), target, sizeof target - 1);
        if (n > 0) {
            const QString t = QString::fromLocal8Bit(target, int(n));
            facts.target = QDir::cleanPath(QFileInfo(path).absoluteDir().absoluteFilePath(t));
        }
    }
    struct stat st{};
    if (::stat(p.constData(), &st) != 0) {
        facts.state = (errno == ENOENT || errno == ENOTDIR) ? State::Missing : State::OtherError;
        facts.error = errno;
        return facts;
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString device = canonical.isEmpty() ? path : canonical;

    if (::access(p.constData(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        facts.state = State::PermissionDenied;
        noteOwnership(st, facts);
        return facts;
    }
    // A live lock keeps a careful program out without touching the device.
    if (findLockHolder(device != path ? QStringList{path, device} : QStringList{path}, lockDirectories, facts)) {
        facts.state = State::Busy;
        nameHolder(facts);
        return facts;
    }
    const int fd = ::open(p.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        switch (e) {
        case EBUSY:
            facts.state = State::Busy;
            findHolder(path, device, lockDirectories, facts);
            break;
        case ENOENT:
            facts.state = State::Missing;
            break;
        case ENXIO:
        case ENODEV:
        case EIO:
            facts.state = State::NoHardware;
            break;
        case EACCES:
        case EPERM:
            facts.state = State::PermissionDenied;
            noteOwnership(st, facts);
            break;
        default:
            facts.state = State::OtherError;
            break;
        }
        facts.error = e;
        return facts;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        facts.state = State::OtherError;
        facts.error = ENOTTY;
        return facts;
    }
    // Opened: someone may still hold it exclusively (a privileged user passes that bar).
    int exclusive = 0;
#ifdef TIOCGEXCL
    if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        exclusive = 0;
#endif
    ::close(fd);
    if (exclusive) {
        facts.state = State::Busy;
        findHolder(path, device, lockDirectories, facts);
    }
    return facts;
}

#else // the system's own port names: nothing to look at beyond the open that failed

QStringList defaultLockDirectories() { return {}; }
QString processName(qint64) { return QString(); }
Facts examine(const QString &path, const QStringList &)
{
    Facts facts;
    facts.path = path;
    if (path.isEmpty())
        facts.state = State::Missing;
    return facts;
}

#endif

namespace {
QString octal(unsigned mode) { return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0')); }
} // namespace

namespace {
QString explainState(const Facts &f)
{
    switch (f.state) {
    case State::Opens:
        return QString();
    case State::Missing:
        if (f.path.isEmpty())
            return QStringLiteral("No such device.");
        if (!f.target.isEmpty())
            return QStringLiteral("No such device: %1 points to %2, which is not there.").arg(f.path, f.target);
        return QStringLiteral("No such device: nothing is at %1.").arg(f.path);
    case State::NoHardware:
        return QStringLiteral("No such device: %1 is there, but no port answers behind it.").arg(f.path);
    case State::PermissionDenied: {
        const bool groupMayOpen = (f.mode & 060) == 060;
        if (!groupMayOpen && f.owner == f.user)
            return QStringLiteral("Permission denied: its mode %1 keeps even its owner, %2, from reading and writing it.\n"
                                  "Remedy: chmod u+rw %3")
                .arg(octal(f.mode), f.owner, f.path);
        // Giving the group access helps only a member of the group; anybody else meets a
        // device that is another user's own.
        if (!groupMayOpen && (f.userListedInGroup || f.sessionHasGroup))
            return QStringLiteral("Permission denied: only its owner, %1, may open it (mode %2, group %3).\n"
                                  "Remedy: the administrator can give group %3 read and write access to it.")
                .arg(f.owner, octal(f.mode), f.group);
        if (!groupMayOpen)
            return QStringLiteral("Permission denied: it belongs to user %1, and only %1 may open it (mode %2).\n"
                                  "Remedy: use it as %1, or ask the administrator to hand it to a group %3 is in "
                                  "(usually dialout).")
                .arg(f.owner, octal(f.mode), f.user);
        if (f.userListedInGroup && !f.sessionHasGroup)
            return QStringLiteral("Permission denied: it belongs to group %1; %2 was added to that group after "
                                  "this session began.\nRemedy: log out and log in again.")
                .arg(f.group, f.user);
        return QStringLiteral("Permission denied: it belongs to group %1, and %2 is not a member.\n"
                              "Remedy: add %2 to group %1 (sudo adduser %2 %1), then log out and log in again.")
            .arg(f.group, f.user);
    }
    case State::Busy: {
        if (f.holderPid <= 0 && f.lockFileUnreadable)
            return QStringLiteral("In use by another program: the lock file %1 is there, and this user may not read it.")
                .arg(f.lockFile);
        if (f.holderPid <= 0 && !f.lockFile.isEmpty())
            return QStringLiteral("In use by another program: the lock file %1 does not name a process in a form this "
                                  "program reads.\nRemedy: if no program is using the port, remove that lock file.")
                .arg(f.lockFile);
        if (f.holderPid <= 0)
            return QStringLiteral("In use by another program (the system does not say which).");
        const QString who = f.holderName.isEmpty() ? QStringLiteral("process %1").arg(f.holderPid)
                                                   : QStringLiteral("%1 (process %2)").arg(f.holderName).arg(f.holderPid);
        QString text = f.holderIsSelf ? QStringLiteral("In use by this program: %1").arg(who)
                                      : QStringLiteral("In use by another program: %1").arg(who);
        if (!f.lockFile.isEmpty())
            text += QStringLiteral(", which holds the lock file %1").arg(f.lockFile);
        return text + QLatin1Char('.');
    }
    case State::OtherError:
        if (f.error == ENOTTY)
            return QStringLiteral("Not a serial port: %1 is no terminal device.").arg(f.path);
        return QStringLiteral("Cannot be opened: %1.").arg(QString::fromLocal8Bit(std::strerror(f.error)));
    }
    return QString();
}
} // namespace

QString explain(const Facts &f)
{
    QString text = explainState(f);
    if (!f.staleLockFile.isEmpty()) {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += QStringLiteral("Stale lock file %1: process %2 has ended; opening the port clears it.")
                    .arg(f.staleLockFile).arg(f.stalePid);
    }
    return text;
}

QString reason(const QString &path)
{
    // A network port's reason is its server's answer, as the last scan found it or found now.
    if (!Line::isNetworkPath(path))
        return explain(examine(path));
    if (const auto recent = NetworkLine::recentProbe(path))
        return *recent;
    return NetworkLine::reason(path);
}

} // namespace portreason
