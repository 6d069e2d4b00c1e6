// Why a port is unavailable, found on real devices: pseudo-terminals whose mode or group keeps a
// user out, held open exclusively by another process or named in a lock file, and links to
// devices that are gone. A check "as nobody" runs in a child process that has dropped root's
// rights, so the kernel itself refuses what it would refuse an operator.
#include "link/commport.h"
#include "lines/portreason.h"
#include "settings/portdiscovery.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QDateTime>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using portreason::Facts;
using portreason::State;
Q_DECLARE_METATYPE(portreason::Facts)
// Facts are written with designated initializers; the fields left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// A forked process that dies with the test: it runs `body`, hands what that returns back
// through a pipe and waits until the test ends it.
class Child {
public:
    explicit Child(const std::function<QByteArray()> &body)
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const QByteArray text = body();
            [[maybe_unused]] const ssize_t n = ::write(out[1], text.constData(), size_t(text.size()));
            ::close(out[1]);
            for (;;)
                ::pause();
        }
        ::close(out[1]);
        char buf[1024];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            said.append(buf, qsizetype(n));
        ::close(out[0]);
    }
    ~Child() { end(); }
    void end()
    {
        if (pid > 0 && !ended && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        ended = true;
    }
    pid_t pid = -1;
    QByteArray said;

private:
    bool ended = false;
};

// The reason for `path` as user "nobody" sees it.
QString reasonAsNobody(const QString &path)
{
    const passwd *pw = ::getpwnam("nobody");
    const Child child([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
            return QByteArray("<rights not dropped>");
        return portreason::explain(portreason::examine(path)).toUtf8();
    });
    return QString::fromUtf8(child.said);
}

} // namespace

class TestPorts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(::getpwnam("nobody") && ::getgrnam("dialout") && ::getgrnam("tty")); }

    // Texts for what the system reports but a test cannot stage safely: a session older than
    // the user's group membership, unknown open failures, a holder /proc does not name.
    void explainTexts_data()
    {
        QTest::addColumn<Facts>("facts");
        QTest::addColumn<QString>("expected");
        QTest::newRow("added to the group, not logged in again")
            << Facts{.state = State::PermissionDenied, .path = "/dev/ttyUSB0", .owner = "root", .group = "dialout",
                     .mode = 0660, .user = "ada", .userListedInGroup = true}
            << "Permission denied: it belongs to group dialout; ada was added to that group after this session began.\n"
               "Remedy: log out and log in again.";
        QTest::newRow("no hardware behind a node") << Facts{.state = State::NoHardware, .path = "/dev/ttyS3", .error = 5}
                                                   << "No such device: /dev/ttyS3 is there, but no port answers behind it.";
        QTest::newRow("other failure") << Facts{.state = State::OtherError, .path = "/dev/ttyUSB0", .error = 40}
                                       << "Cannot be opened: Too many levels of symbolic links.";
        QTest::newRow("no device mapped") << Facts{.state = State::Missing, .error = 2} << "No such device.";
        QTest::newRow("a member of the group, which may only read")
            << Facts{.state = State::PermissionDenied, .path = "/dev/ttyS0", .owner = "root", .group = "dialout",
                     .mode = 0640, .user = "ada", .userListedInGroup = true, .sessionHasGroup = true}
            << "Permission denied: only its owner, root, may open it (mode 0640, group dialout).\n"
               "Remedy: the administrator can give group dialout read and write access to it.";
        QTest::newRow("not a terminal") << Facts{.state = State::OtherError, .path = "/tmp/x", .error = ENOTTY}
                                        << "Not a serial port: /tmp/x is no terminal device.";
        QTest::newRow("holder without a readable name") << Facts{.state = State::Busy, .path = "/dev/ttyACM0", .holderPid = 4242}
                                                        << "In use by another program: process 4242.";
    }

    void explainTexts()
    {
        QFETCH(Facts, facts);
        QFETCH(QString, expected);
        QCOMPARE(portreason::explain(facts), expected);
    }

    // COM1 in a real device situation, named directly or through a link: another program holding
    // it as programs do (a lock file in the system's lock folder, under the device's name, with the
    // process id as ten-wide ASCII as terminal programs write it, as the first of several lines,
    // or as a binary int; or an exclusive open), a lock file that is stale, names no process or
    // may not be read, a mode or group that keeps user nobody out, or a link to a device that is
    // gone. The scan's tooltip gives root's reason; nobody is told his own. Neither the scan nor
    // an open touches another program's lock file or line settings, or lets this program onto a
    // held line. A stale lock file is left by the scan and cleared by an open.
    void goodNeighbour_data()
    {
        QTest::addColumn<QString>("hold");     // a lock file's form ("stale": ten-wide ASCII), an "exclusive" open, or "none"
        QTest::addColumn<QString>("device");   // "pty", a "link" to it, or a "dangling" link
        QTest::addColumn<QString>("access");   // the pty's group and mode; other than "tty 0666" as root only
        QTest::addColumn<QString>("reason");   // {pid} the holder, {lock} the lock file, {path} COM1's, {target} the link's
        QTest::addColumn<QString>("toNobody"); // the reason as user nobody is told it (as root only)
        const QString all = "tty 0666";
        const QString locked = "In use by another program: pty-holder (process {pid}), which holds the lock file {lock}.";
        QTest::newRow("lock file of several lines, by link") << "lines" << "link" << all << locked << locked;
        QTest::newRow("binary lock file") << "binary" << "pty" << all << locked << locked;
        // Nobody cannot see into root's processes: an exclusive holder goes unnamed.
        QTest::newRow("exclusive open, by link") << "exclusive" << "link" << all << "In use by another program: pty-holder (process {pid})."
                                                 << "In use by another program (the system does not say which).";
        const QString stale = "Stale lock file {lock}: process {pid} has ended; opening the port clears it.";
        QTest::newRow("stale lock file") << "stale" << "pty" << all << stale << stale;
        const QString garbage = "In use by another program: the lock file {lock} does not name a process in a form this "
                                "program reads.\nRemedy: if no program is using the port, remove that lock file.";
        QTest::newRow("garbage lock file") << "garbage" << "pty" << all << garbage << garbage;
        // Written by root for root only: nobody sees a lock file he may not read.
        QTest::newRow("private lock file") << "private" << "pty" << all << locked
                                           << "In use by another program: the lock file {lock} is there, and this user may not read it.";
        const QString dangling = "No such device: {path} points to {target}, which is not there.";
        QTest::newRow("link to an unplugged adapter") << "none" << "dangling" << all << dangling << dangling;
        QTest::newRow("pty of group dialout, mode 0660")
            << "none" << "pty" << "dialout 0660" << ""
            << "Permission denied: it belongs to group dialout, and nobody is not a member.\n"
               "Remedy: add nobody to group dialout (sudo adduser nobody dialout), then log out and log in again.";
        QTest::newRow("pty as a terminal's, root:tty 0620")
            << "none" << "pty" << "tty 0620" << ""
            << "Permission denied: it belongs to user root, and only root may open it (mode 0620).\n"
               "Remedy: use it as root, or ask the administrator to hand it to a group nobody is in (usually dialout).";
    }

    void goodNeighbour()
    {
        QFETCH(QString, hold);
        QFETCH(QString, device);
        QFETCH(QString, access);
        QFETCH(QString, reason);
        QFETCH(QString, toNobody);
        if (access != "tty 0666" && ::geteuid() != 0)
            QSKIP("needs root: gives the device an owner and group, and asks again as user nobody");
        TempStore store;
        PtyPair line;
        QTemporaryDir dir;
        const QString target = device == "dangling" ? dir.filePath("ttyUSB7") : line.slavePath();
        const QString path = device == "pty" ? target : dir.filePath("by-id-link");
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0 && (path == target || QFile::link(target, path)));
        store.mapPort(1, path);
        for (int n = 2; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/COM%1").arg(n));
        const QByteArray slave = QFile::encodeName(line.slavePath());
        if (::geteuid() == 0) { // as the row says who may open it
            QVERIFY(::chown(slave.constData(), 0, ::getgrnam(qPrintable(access.section(' ', 0, 0)))->gr_gid) == 0);
            QVERIFY(::chmod(slave.constData(), access.section(' ', 1).toUInt(nullptr, 8)) == 0);
        }
        termios before{};
        QVERIFY(::tcgetattr(line.masterFd(), &before) == 0);
        ::cfsetspeed(&before, B4800);
        QVERIFY(::tcsetattr(line.masterFd(), TCSANOW, &before) == 0 && ::tcgetattr(line.masterFd(), &before) == 0);

        const auto holder = std::make_unique<Child>([&] {
            ::prctl(PR_SET_NAME, "pty-holder");
            const int fd = hold == "exclusive" ? ::open(slave.constData(), O_RDWR | O_NOCTTY) : -1;
            return QByteArray(hold != "exclusive" || (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? "ready" : "failed");
        });
        QCOMPARE(holder->said, "ready");
        if (hold == "stale")
            holder->end();
        const QString lockFile = "/var/lock/LCK..pts_" + line.slavePath().section('/', -1); // as serial port libraries name it
        const std::unique_ptr<void, std::function<void(void *)>> removeLock(holder.get(), [&](void *) { QFile::remove(lockFile); });
        QByteArray lock;
        if (hold == "binary")
            lock = QByteArray(reinterpret_cast<const char *>(&holder->pid), sizeof holder->pid);
        else if (hold == "garbage")
            lock = "not a process id\n";
        else if (hold != "exclusive" && hold != "none")
            lock = QString::asprintf(hold == "lines" ? "%d\nKestrelworks\nlabhost\n" : "%10d\n", holder->pid).toLatin1();
        QFile f(lockFile);
        QVERIFY(lock.isEmpty() || (f.open(QIODevice::WriteOnly) && f.write(lock) == lock.size()));
        // Written an hour ago, when the other program started: no lock is young.
        QVERIFY(lock.isEmpty() || f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        QVERIFY(hold != "private" || f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        f.close();

        auto fill = [&](QString text) {
            return text.replace("{pid}", QString::number(holder->pid)).replace("{lock}", lockFile)
                .replace("{path}", path).replace("{target}", target);
        };
        const QString why = fill(reason), whyToNobody = fill(toNobody);
        const bool available = why.isEmpty() || hold == "stale";
        CommPort port;
        QListWidget list;
        portdiscovery::ScanPorts(port, &list);
        QCOMPARE(list.item(0)->text(), available ? QString("COM1  available") : QString("COM1  (not available or no such port)"));
        QCOMPARE(list.item(0)->toolTip(), "COM1: " + path + (why.isEmpty() ? "" : "\n" + why));
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), lock);
        f.close();
        if (::geteuid() == 0)
            QCOMPARE(reasonAsNobody(path), whyToNobody);

        QVERIFY(port.setPortNumber(1));
        QCOMPARE(port.open(), available);
        if (available) { // a stale lock gave way to this program's own
            QVERIFY(f.open(QIODevice::ReadOnly) && f.readAll() != lock);
        } else { // the other program's lock file and the line's settings, 4800 baud among them, as it left them
            QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), lock);
            termios after{};
            QVERIFY(::tcgetattr(line.masterFd(), &after) == 0);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(&after), sizeof after),
                     QByteArray(reinterpret_cast<const char *>(&before), sizeof before));
        }
    }
};

QTEST_MAIN(TestPorts)
#include "test_ports.moc"
