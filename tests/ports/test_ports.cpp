// Why a port is unavailable, found on real devices: pseudo-terminals whose mode or group keeps a
// user out, held open exclusively by another process, named in a lock file, links to devices
// that are gone and paths where nothing is. A check "as nobody" runs in a child process that
// has dropped root's rights, so the kernel itself refuses what it would refuse an operator.
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

// A forked process that dies with the test: it runs `body` and hands what that returns back
// through a pipe, then exits or, if it is to `stay`, waits until the test ends it.
class Child {
public:
    Child(const std::function<QByteArray()> &body, bool stay)
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
            while (stay)
                ::pause();
            ::_exit(0);
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
QString reasonAsNobody(const QString &path, const QStringList &lockDirectories)
{
    const passwd *pw = ::getpwnam("nobody");
    const Child child([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
            return QByteArray("<rights not dropped>");
        return portreason::explain(portreason::examine(path, lockDirectories)).toUtf8();
    }, false);
    return QString::fromUtf8(child.said);
}

// The lock file name a serial port library gives a /dev/pts/<n> device.
QString lockNameOf(const QString &pts) { return QStringLiteral("LCK..pts_") + pts.section('/', -1); }

} // namespace

class TestPorts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(::getpwnam("nobody") && ::getgrnam("dialout") && ::getgrnam("tty")); }

    // Each case sets up a real device situation; the reason is then asked for as root and as
    // nobody. In the expected texts, {path} and {target} stand for the path asked about and a
    // link's target.
    void reasonOfRealDevice_data()
    {
        QTest::addColumn<QString>("device"); // "pty", or a link to a name in the test's folder where nothing is
        QTest::addColumn<QString>("access"); // the pty's group and mode
        QTest::addColumn<QString>("lock");   // the text of a lock file for the pty
        QTest::addColumn<QString>("asRoot");
        QTest::addColumn<QString>("asNobody");

        const QString dangling = "No such device: {path} points to {target}, which is not there.";
        QTest::newRow("link to an unplugged adapter") << "ttyUSB7" << "tty 0620" << "" << dangling << dangling;
        QTest::newRow("pty of group dialout, mode 0660")
            << "pty" << "dialout 0660" << "" << ""
            << "Permission denied: it belongs to group dialout, and nobody is not a member.\n"
               "Remedy: add nobody to group dialout (sudo adduser nobody dialout), then log out and log in again.";
        QTest::newRow("pty as a terminal's, root:tty 0620")
            << "pty" << "tty 0620" << "" << ""
            << "Permission denied: it belongs to user root, and only root may open it (mode 0620).\n"
               "Remedy: use it as root, or ask the administrator to hand it to a group nobody is in (usually dialout).";
        QTest::newRow("pty open for all, a garbage lock file") << "pty" << "tty 0666" << "not a process id\n" << "" << "";
    }

    void reasonOfRealDevice()
    {
        QFETCH(QString, device);
        QFETCH(QString, access);
        QFETCH(QString, lock);
        QFETCH(QString, asRoot);
        QFETCH(QString, asNobody);
        if (::geteuid() != 0)
            QSKIP("needs root: gives the device an owner and group, and asks again as user nobody");

        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0); // nobody may look in
        const QStringList lockDirs{dir.path()};
        PtyPair pty;
        const QByteArray slave = QFile::encodeName(pty.slavePath());
        const group *g = ::getgrnam(qPrintable(access.section(' ', 0, 0)));
        QVERIFY(::chown(slave.constData(), 0, g->gr_gid) == 0);
        QVERIFY(::chmod(slave.constData(), access.section(' ', 1).toUInt(nullptr, 8)) == 0);
        const QString target = device == "pty" ? pty.slavePath() : dir.filePath(device);
        const QString path = device == "pty" ? target : dir.filePath("by-id-link");
        QVERIFY(path == target || QFile::link(target, path));
        QFile f(dir.filePath(lockNameOf(pty.slavePath())));
        QVERIFY(lock.isEmpty() || (f.open(QIODevice::WriteOnly) && f.write(lock.toLatin1()) > 0 && f.flush()
                                   && f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther)));

        auto fill = [&](QString text) { return text.replace("{path}", path).replace("{target}", target); };
        QCOMPARE(portreason::explain(portreason::examine(path, lockDirs)), fill(asRoot));
        QCOMPARE(reasonAsNobody(path, lockDirs), fill(asNobody));
    }

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

    // Another program holds COM1 the ways programs do: a lock file in the system's lock folder
    // (its process id as ten-wide ASCII, as terminal programs write it, as the first of several
    // lines, or as a binary int) or an exclusive open; COM1 names the device or a link to it, and
    // the lock goes by the device's name. Neither the scan nor an open touches its lock file, its hold or the
    // line's settings, and neither lets this program onto the line, as root or as nobody. A
    // stale lock file is left by the scan, named in the tooltip, and cleared by an open.
    void goodNeighbour_data()
    {
        QTest::addColumn<QString>("hold");
        QTest::addColumn<bool>("viaLink");
        QTest::addColumn<QString>("reason"); // {pid} the holder, {lock} the lock file
        const QString locked = "In use by another program: pty-holder (process {pid}), which holds the lock file {lock}.";
        QTest::newRow("ASCII lock file") << "ascii" << false << locked;
        QTest::newRow("lock file of several lines, by link") << "lines" << true << locked;
        QTest::newRow("binary lock file") << "binary" << false << locked;
        QTest::newRow("exclusive open, by link") << "exclusive" << true << "In use by another program: pty-holder (process {pid}).";
        QTest::newRow("stale lock file") << "stale" << false << "Stale lock file {lock}: process {pid} has ended; opening the port clears it.";
    }

    void goodNeighbour()
    {
        QFETCH(QString, hold);
        QFETCH(bool, viaLink);
        QFETCH(QString, reason);
        TempStore store;
        PtyPair line;
        QTemporaryDir dir;
        const QString path = viaLink ? dir.filePath("by-id-link") : line.slavePath();
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0 && (!viaLink || QFile::link(line.slavePath(), path)));
        store.mapPort(1, path);
        for (int n = 2; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/COM%1").arg(n));
        const QByteArray slave = QFile::encodeName(line.slavePath());
        QVERIFY(::geteuid() != 0 || ::chmod(slave.constData(), 0666) == 0); // nobody may open it too
        termios before{};
        QVERIFY(::tcgetattr(line.masterFd(), &before) == 0);
        ::cfsetspeed(&before, B4800);
        QVERIFY(::tcsetattr(line.masterFd(), TCSANOW, &before) == 0 && ::tcgetattr(line.masterFd(), &before) == 0);

        const auto holder = std::make_unique<Child>([&] {
            ::prctl(PR_SET_NAME, "pty-holder");
            const int fd = hold == "exclusive" ? ::open(slave.constData(), O_RDWR | O_NOCTTY) : -1;
            return QByteArray(hold != "exclusive" || (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? "ready" : "failed");
        }, hold != "stale");
        QCOMPARE(holder->said, "ready");
        if (hold == "stale")
            holder->end();
        const QString lockFile = "/var/lock/" + lockNameOf(line.slavePath());
        const std::unique_ptr<void, std::function<void(void *)>> removeLock(holder.get(), [&](void *) { QFile::remove(lockFile); });
        QByteArray lock;
        if (hold == "binary")
            lock = QByteArray(reinterpret_cast<const char *>(&holder->pid), sizeof holder->pid);
        else if (hold != "exclusive")
            lock = QString::asprintf(hold == "lines" ? "%d\nKestrelworks\nlabhost\n" : "%10d\n", holder->pid).toLatin1();
        QFile f(lockFile);
        QVERIFY(lock.isEmpty() || (f.open(QIODevice::WriteOnly) && f.write(lock) == lock.size()));
        // Written an hour ago, when the other program started: no lock is young.
        QVERIFY(lock.isEmpty() || f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        f.close();

        const QString why = QString(reason).replace("{pid}", QString::number(holder->pid)).replace("{lock}", lockFile);
        const bool available = hold == "stale";
        CommPort port;
        QListWidget list;
        portdiscovery::ScanPorts(port, &list);
        QCOMPARE(list.item(0)->text(), available ? QString("COM1  available") : QString("COM1  (not available or no such port)"));
        QCOMPARE(list.item(0)->toolTip(), "COM1: " + path + "\n" + why);
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), lock);
        f.close();
        // Nobody cannot see into root's processes: an exclusive holder goes unnamed.
        const QString whyToNobody = hold == "exclusive" ? "In use by another program (the system does not say which)." : why;
        if (::geteuid() == 0)
            QCOMPARE(reasonAsNobody(path, portreason::defaultLockDirectories()), whyToNobody);

        QVERIFY(port.setPortNumber(1));
        QCOMPARE(port.open(), available);
        if (available) { // the stale lock gave way to this program's own, which goes with the close
            QVERIFY(f.open(QIODevice::ReadOnly) && f.readAll() != lock);
            f.close();
            port.close();
            QVERIFY(!QFile::exists(lockFile));
        } else {
            QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), lock);
            if (::geteuid() == 0) // the other program's hold is still in force
                QCOMPARE(reasonAsNobody(path, portreason::defaultLockDirectories()), whyToNobody);
            termios after{}; // and the line's settings, 4800 baud among them, as it left them
            QVERIFY(::tcgetattr(line.masterFd(), &after) == 0);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(&after), sizeof after),
                     QByteArray(reinterpret_cast<const char *>(&before), sizeof before));
        }
    }
};

QTEST_MAIN(TestPorts)
#include "test_ports.moc"
