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
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdlib>
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

// A pseudo-terminal whose slave side nobody has open: /proc then names nobody but a holder.
struct BarePty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QString slave = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                        ? QString::fromLocal8Bit(::ptsname(master))
                        : QString();
    ~BarePty() { ::close(master); }
};

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
    // nobody. In the expected texts, {path}, {target}, {holder} and {lock} stand for the path
    // asked about, a link's target, the holder's process id and the lock file.
    void reasonOfRealDevice_data()
    {
        QTest::addColumn<QString>("device"); // "pty", or a name in the test's folder where nothing is
        QTest::addColumn<bool>("viaLink");   // asked about through a symbolic link to it
        QTest::addColumn<QString>("access"); // the pty's group and mode
        QTest::addColumn<QString>("holder"); // "exclusive" open, or a live process's lock
        QTest::addColumn<QString>("lock");   // the lock file's text, %d the holder's process id
        QTest::addColumn<QString>("asRoot");
        QTest::addColumn<QString>("asNobody");

        const QString missing = "No such device: nothing is at {path}.";
        QTest::newRow("missing path") << "ttyUSB9" << false << "tty 0620" << "" << "" << missing << missing;
        const QString dangling = "No such device: {path} points to {target}, which is not there.";
        QTest::newRow("link to an unplugged adapter") << "ttyUSB7" << true << "tty 0620" << "" << "" << dangling << dangling;
        QTest::newRow("pty of group dialout, mode 0660")
            << "pty" << false << "dialout 0660" << "" << "" << ""
            << "Permission denied: it belongs to group dialout, and nobody is not a member.\n"
               "Remedy: add nobody to group dialout (sudo adduser nobody dialout), then log out and log in again.";
        QTest::newRow("pty its group may only read, mode 0640")
            << "pty" << false << "dialout 0640" << "" << "" << ""
            << "Permission denied: it belongs to user root, and only root may open it (mode 0640).\n"
               "Remedy: use it as root, or ask the administrator to hand it to a group nobody is in (usually dialout).";
        QTest::newRow("pty as a terminal's, root:tty 0620")
            << "pty" << false << "tty 0620" << "" << "" << ""
            << "Permission denied: it belongs to user root, and only root may open it (mode 0620).\n"
               "Remedy: use it as root, or ask the administrator to hand it to a group nobody is in (usually dialout).";
        const QString all = "tty 0666"; // open for all
        QTest::newRow("pty open for all") << "pty" << false << all << "" << "" << "" << "";
        const QString held = "In use by another program: pty-holder (process {holder}).";
        const QString heldUnnamed = "In use by another program (the system does not say which).";
        QTest::newRow("link to a pty held open exclusively") << "pty" << true << all << "exclusive" << "" << held << heldUnnamed;
        const QString locked = "In use by another program: lock-holder (process {holder}), which holds the lock file {lock}.";
        const QString lockText = "%d\nKestrelworks\nlabhost\n";
        QTest::newRow("lock file of a running program") << "pty" << false << all << "live" << lockText << locked << locked;
        QTest::newRow("lock file under the device's name, opened by link")
            << "pty" << true << all << "live" << lockText << locked << locked;
        QTest::newRow("garbage lock file") << "pty" << false << all << "live" << "not a process id\n" << "" << "";
    }

    void reasonOfRealDevice()
    {
        QFETCH(QString, device);
        QFETCH(bool, viaLink);
        QFETCH(QString, access);
        QFETCH(QString, holder);
        QFETCH(QString, lock);
        QFETCH(QString, asRoot);
        QFETCH(QString, asNobody);
        if (::geteuid() != 0)
            QSKIP("needs root: gives the device an owner and group, and asks again as user nobody");

        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0); // nobody may look in
        const QStringList lockDirs{dir.path()};
        BarePty pty;
        QVERIFY(!pty.slave.isEmpty());
        const QByteArray slave = QFile::encodeName(pty.slave);
        const group *g = ::getgrnam(qPrintable(access.section(' ', 0, 0)));
        QVERIFY(::chown(slave.constData(), 0, g->gr_gid) == 0);
        QVERIFY(::chmod(slave.constData(), access.section(' ', 1).toUInt(nullptr, 8)) == 0);
        const QString target = device == "pty" ? pty.slave : dir.filePath(device);
        const QString path = viaLink ? dir.filePath("by-id-link") : target;
        QVERIFY(!viaLink || QFile::link(target, path));

        std::unique_ptr<Child> holding;
        if (!holder.isEmpty()) {
            holding = std::make_unique<Child>([&] {
                ::prctl(PR_SET_NAME, holder == "exclusive" ? "pty-holder" : "lock-holder");
                const int fd = holder == "exclusive" ? ::open(slave.constData(), O_RDWR | O_NOCTTY) : -1;
                return QByteArray(holder != "exclusive" || (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? "ready" : "failed");
            }, true);
            QCOMPARE(holding->said, "ready");
        }
        const QString lockFile = dir.filePath(lockNameOf(pty.slave));
        if (!lock.isEmpty()) {
            QFile f(lockFile);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QString::asprintf(qPrintable(lock), holding->pid).toLatin1()) > 0);
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        }

        auto fill = [&](QString text) {
            return text.replace("{path}", path)
                .replace("{target}", target)
                .replace("{holder}", QString::number(holding ? holding->pid : 0))
                .replace("{lock}", lockFile);
        };
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
    // (its process id as ten-wide ASCII, as terminal programs write it, or as a binary int) or
    // an exclusive open. Neither the scan nor an open touches its lock file, its hold or the
    // line's settings, and neither lets this program onto the line, as root or as nobody. A
    // stale lock file is left by the scan, named in the tooltip, and cleared by an open.
    void goodNeighbour_data()
    {
        QTest::addColumn<QString>("hold");
        QTest::addColumn<QString>("reason"); // {pid} the holder, {lock} the lock file
        const QString locked = "In use by another program: bench-holder (process {pid}), which holds the lock file {lock}.";
        QTest::newRow("ASCII lock file") << "ascii" << locked;
        QTest::newRow("binary lock file") << "binary" << locked;
        QTest::newRow("exclusive open") << "exclusive" << "In use by another program: bench-holder (process {pid}).";
        QTest::newRow("stale lock file") << "stale" << "Stale lock file {lock}: process {pid} has ended; opening the port clears it.";
    }

    void goodNeighbour()
    {
        QFETCH(QString, hold);
        QFETCH(QString, reason);
        TempStore store;
        PtyPair line;
        store.mapPort(1, line.slavePath());
        for (int n = 2; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/COM%1").arg(n));
        const QByteArray slave = QFile::encodeName(line.slavePath());
        QVERIFY(::geteuid() != 0 || ::chmod(slave.constData(), 0666) == 0); // nobody may open it too
        termios before{};
        QVERIFY(::tcgetattr(line.masterFd(), &before) == 0);
        ::cfsetspeed(&before, B4800);
        QVERIFY(::tcsetattr(line.masterFd(), TCSANOW, &before) == 0 && ::tcgetattr(line.masterFd(), &before) == 0);

        Child holder([&] {
            ::prctl(PR_SET_NAME, "bench-holder");
            const int fd = hold == "exclusive" ? ::open(slave.constData(), O_RDWR | O_NOCTTY) : -1;
            return QByteArray(hold != "exclusive" || (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? "ready" : "failed");
        }, hold != "stale");
        QCOMPARE(holder.said, "ready");
        if (hold == "stale")
            holder.end();
        const QString lockFile = "/var/lock/" + lockNameOf(line.slavePath());
        const std::unique_ptr<void, std::function<void(void *)>> removeLock(&holder, [&](void *) { QFile::remove(lockFile); });
        QByteArray lock;
        if (hold == "binary")
            lock = QByteArray(reinterpret_cast<const char *>(&holder.pid), sizeof holder.pid);
        else if (hold != "exclusive")
            lock = QString::asprintf("%10d\n", holder.pid).toLatin1();
        QFile f(lockFile);
        QVERIFY(lock.isEmpty() || (f.open(QIODevice::WriteOnly) && f.write(lock) == lock.size()));
        // Written an hour ago, when the other program started: no lock is young.
        QVERIFY(lock.isEmpty() || f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        f.close();

        const QString why = QString(reason).replace("{pid}", QString::number(holder.pid)).replace("{lock}", lockFile);
        const bool available = hold == "stale";
        CommPort port;
        QListWidget list;
        portdiscovery::ScanPorts(port, &list);
        QCOMPARE(list.item(0)->text(), available ? QString("COM1  available") : QString("COM1  (not available or no such port)"));
        QCOMPARE(list.item(0)->toolTip(), "COM1: " + line.slavePath() + "\n" + why);
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), lock);
        f.close();
        // Nobody cannot see into root's processes: an exclusive holder goes unnamed.
        const QString whyToNobody = hold == "exclusive" ? "In use by another program (the system does not say which)." : why;
        if (::geteuid() == 0)
            QCOMPARE(reasonAsNobody(line.slavePath(), portreason::defaultLockDirectories()), whyToNobody);

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
                QCOMPARE(reasonAsNobody(line.slavePath(), portreason::defaultLockDirectories()), whyToNobody);
        }
        termios after{};
        QVERIFY(::tcgetattr(line.masterFd(), &after) == 0);
        if (!available) {
            QCOMPARE(::cfgetospeed(&after), speed_t(B4800));
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(&after), sizeof after),
                     QByteArray(reinterpret_cast<const char *>(&before), sizeof before));
        }
    }
};

QTEST_MAIN(TestPorts)
#include "test_ports.moc"
