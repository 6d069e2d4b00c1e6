// Why a port is unavailable, found on real devices: pseudo-terminals whose mode or group keeps a
// user out, held open exclusively by another process, named in a lock file, links to devices
// that are gone and paths where nothing is. A check "as nobody" runs in a child process that
// has dropped root's rights, so the kernel itself refuses what it would refuse an operator.
#include "link/commport.h"
#include "link/portreason.h"
#include "settings/portdiscovery.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

using portreason::Facts;
using portreason::State;

namespace {

// A pseudo-terminal whose slave side the test does not keep open: only a holder (or nobody)
// has it open, so /proc names nobody but the holder.
struct BarePty {
    int master = -1;
    QString slave;
    BarePty()
    {
        int s = -1;
        char name[256] = {};
        if (::openpty(&master, &s, name, nullptr, nullptr) == 0) {
            slave = QString::fromLocal8Bit(name);
            ::close(s);
        }
    }
    ~BarePty()
    {
        if (master >= 0)
            ::close(master);
    }
};

// Another process, named by prctl, that waits until the test lets it go; optionally holding a
// device open with exclusive use (TIOCEXCL), as a terminal program does.
class Holder {
public:
    Holder(const char *name, const QString &exclusiveDevice = QString())
    {
        const QByteArray device = QFile::encodeName(exclusiveDevice);
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            ::prctl(PR_SET_NAME, name);
            char ok = 1;
            if (!device.isEmpty()) {
                const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY);
                if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0)
                    ok = 0;
            }
            [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
            char c;
            n = ::read(release[0], &c, 1); // returns when the test closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        char ok = 0;
        m_ready = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~Holder() { stop(); }
    void stop()
    {
        if (m_release >= 0)
            ::close(m_release);
        m_release = -1;
        if (m_pid > 0 && !m_ended)
            ::waitpid(m_pid, nullptr, 0);
        m_ended = true;
    }
    bool ready() const { return m_pid > 0 && m_ready && !m_ended; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_ready = false;
    bool m_ended = false;
};

// The reason for `path` as user "nobody" sees it: a child drops root's groups and ids, looks,
// and hands the text back through a pipe.
QString reasonAsNobody(const QString &path, const QStringList &lockDirectories)
{
    const passwd *pw = ::getpwnam("nobody");
    if (!pw)
        return QStringLiteral("<no user nobody>");
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    int out[2];
    if (::pipe(out) != 0)
        return QStringLiteral("<no pipe>");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(3);
        const QByteArray text = portreason::explain(portreason::examine(path, lockDirectories)).toUtf8();
        [[maybe_unused]] const ssize_t n = ::write(out[1], text.constData(), size_t(text.size()));
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray text;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            break;
        char buf[1024];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, int(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QStringLiteral("<child failed: %1>").arg(status);
    return QString::fromUtf8(text);
}

bool chownGroup(const QString &path, const char *groupName, mode_t mode)
{
    const group *g = ::getgrnam(groupName);
    const QByteArray p = QFile::encodeName(path);
    return g && ::chown(p.constData(), 0, g->gr_gid) == 0 && ::chmod(p.constData(), mode) == 0;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The lock file name a serial port library gives a /dev/pts/<n> device.
QString lockNameOf(const QString &pts) { return QStringLiteral("LCK..pts_") + pts.section('/', -1); }

} // namespace

class TestPorts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(::geteuid() == 0, "the checks as another user need root to drop its rights");
        QVERIFY(::getpwnam("nobody"));
        QVERIFY(::getgrnam("dialout"));
        QVERIFY(::getgrnam("tty"));
    }

    // Each case sets up a real device situation; the reason is then asked for as root and as
    // nobody. In the expected texts, {path}, {target}, {holder}, {lock} and {self} stand for the
    // device path, a link's target, the holder's process id, the lock file and the test's pid.
    void reasonOfRealDevice_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("asRoot");
        QTest::addColumn<QString>("asNobody");

        const QString missing = "No such device: nothing is at {path}.";
        QTest::newRow("missing path") << "missing" << missing << missing;
        const QString dangling = "No such device: {path} points to {target}, which is not there.";
        QTest::newRow("link to an unplugged adapter") << "dangling link" << dangling << dangling;
        QTest::newRow("pty of group dialout, mode 0660")
            << "pty dialout 0660" << ""
            << "Permission denied: it belongs to group dialout, and nobody is not a member.\n"
               "Remedy: add nobody to group dialout (sudo adduser nobody dialout), then log out and log in again.";
        QTest::newRow("pty only its owner may open, mode 0600")
            << "pty dialout 0600" << ""
            << "Permission denied: only its owner, root, may open it (mode 0600, group dialout).\n"
               "Remedy: the administrator can give group dialout read and write access to it.";
        QTest::newRow("pty as a terminal's, root:tty 0620")
            << "pty tty 0620" << ""
            << "Permission denied: only its owner, root, may open it (mode 0620, group tty).\n"
               "Remedy: the administrator can give group tty read and write access to it.";
        QTest::newRow("pty open for all") << "pty 0666" << "" << "";
        QTest::newRow("pty held open exclusively")
            << "exclusive holder" << "In use by another program: pty-holder (process {holder})."
            << "In use by another program (the system does not say which).";
        QTest::newRow("link to a pty held open exclusively")
            << "link to exclusive holder" << "In use by another program: pty-holder (process {holder})."
            << "In use by another program (the system does not say which).";
        const QString locked = "In use by another program: lock-holder (process {holder}), which holds the lock file {lock}.";
        QTest::newRow("lock file of a running program") << "lock file" << locked << locked;
        QTest::newRow("old-style lock file, pid padded") << "uucp lock file" << locked << locked;
        QTest::newRow("lock file under the device's name, opened by link") << "lock file via link" << locked << locked;
        QTest::newRow("stale lock file of a program that ended") << "stale lock file" << "" << "";
        QTest::newRow("garbage lock file") << "garbage lock file" << "" << "";
    }

    void reasonOfRealDevice()
    {
        QFETCH(QString, situation);
        QFETCH(QString, asRoot);
        QFETCH(QString, asNobody);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                      | QFileDevice::ReadOther | QFileDevice::ExeOther));
        const QString locks = dir.filePath("locks");
        QVERIFY(QDir().mkpath(locks));
        const QStringList lockDirs{locks};

        BarePty pty;
        QVERIFY(!pty.slave.isEmpty());
        std::unique_ptr<Holder> holder;
        QString path = pty.slave;
        QString target;
        QString lock;

        const bool viaLink = situation.contains("link");
        if (situation == "missing") {
            path = dir.filePath("ttyUSB9");
        } else if (situation == "dangling link") {
            path = dir.filePath("usb-adapter-if00-port0");
            target = dir.filePath("ttyUSB7");
            QVERIFY(QFile::link(target, path));
        } else if (situation.startsWith("pty dialout")) {
            QVERIFY(chownGroup(pty.slave, "dialout", situation.endsWith("0660") ? 0660 : 0600));
        } else if (situation == "pty tty 0620") {
            QVERIFY(chownGroup(pty.slave, "tty", 0620));
        } else if (situation == "pty 0666" || situation.contains("holder") || situation.contains("lock")) {
            QVERIFY(::chmod(QFile::encodeName(pty.slave).constData(), 0666) == 0);
        }
        if (situation.contains("exclusive holder")) {
            holder = std::make_unique<Holder>("pty-holder", pty.slave);
            QVERIFY(holder->ready());
        }
        if (situation.contains("lock file")) {
            holder = std::make_unique<Holder>("lock-holder");
            QVERIFY(holder->ready());
            lock = locks + '/' + lockNameOf(pty.slave);
            QByteArray content = QByteArray::number(holder->pid()) + "\nKestrelworks\nlabhost\n";
            if (situation.startsWith("uucp"))
                content = QByteArray::number(holder->pid()).rightJustified(10, ' ') + '\n';
            if (situation.startsWith("garbage"))
                content = "not a process id\n";
            if (situation.startsWith("stale")) {
                holder->stop(); // the program ended and left its lock behind
                content = QByteArray::number(holder->pid()) + "\nKestrelworks\nlabhost\n";
            }
            QVERIFY(writeFile(lock, content));
            QVERIFY(QFile::setPermissions(lock, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        }
        if (viaLink && situation != "dangling link") {
            target = pty.slave;
            path = dir.filePath("by-id-link");
            QVERIFY(QFile::link(pty.slave, path));
        }

        auto fill = [&](QString text) {
            return text.replace("{path}", path)
                .replace("{target}", target)
                .replace("{holder}", QString::number(holder ? holder->pid() : 0))
                .replace("{lock}", lock)
                .replace("{self}", QString::number(::getpid()));
        };
        QCOMPARE(portreason::explain(portreason::examine(path, lockDirs)), fill(asRoot));
        QCOMPARE(reasonAsNobody(path, lockDirs), fill(asNobody));
    }

    // A serial port held through the serial port library, as another console holding the
    // adapter does: its lock file in the system's lock folder names the holder.
    void heldThroughTheSerialPortLibrary()
    {
        BarePty pty;
        QVERIFY(::chmod(QFile::encodeName(pty.slave).constData(), 0666) == 0);
        QSerialPort held(pty.slave);
        QVERIFY(held.open(QIODevice::ReadWrite));
        const QString lock = "/var/lock/" + lockNameOf(pty.slave);
        QVERIFY2(QFile::exists(lock), qPrintable(lock));
        const QString pid = QString::number(::getpid());
        QCOMPARE(portreason::reason(pty.slave),
                 "In use by this program: test_ports (process " + pid + "), which holds the lock file " + lock + ".");
        QCOMPARE(reasonAsNobody(pty.slave, portreason::defaultLockDirectories()),
                 "In use by another program: test_ports (process " + pid + "), which holds the lock file " + lock + ".");
        held.close();
        QVERIFY(!QFile::exists(lock));
        QCOMPARE(portreason::reason(pty.slave), QString());
    }

    // Texts for what the system reports but a test cannot stage safely: a session older than
    // the user's group membership, unknown open failures, a holder /proc does not name.
    void explainTexts_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("error");
        QTest::addColumn<unsigned>("mode");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("session");
        QTest::addColumn<qint64>("pid");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        QTest::newRow("added to the group, not logged in again")
            << int(State::PermissionDenied) << "/dev/ttyUSB0" << 13 << 0660u << true << false << qint64(0) << ""
            << "Permission denied: it belongs to group dialout; ada was added to that group after this session began.\n"
               "Remedy: log out and log in again.";
        QTest::newRow("not in the group")
            << int(State::PermissionDenied) << "/dev/ttyUSB0" << 13 << 0660u << false << false << qint64(0) << ""
            << "Permission denied: it belongs to group dialout, and ada is not a member.\n"
               "Remedy: add ada to group dialout (sudo adduser ada dialout), then log out and log in again.";
        QTest::newRow("group may only read")
            << int(State::PermissionDenied) << "/dev/ttyUSB0" << 13 << 0640u << true << true << qint64(0) << ""
            << "Permission denied: only its owner, root, may open it (mode 0640, group dialout).\n"
               "Remedy: the administrator can give group dialout read and write access to it.";
        QTest::newRow("no hardware behind a node")
            << int(State::NoHardware) << "/dev/ttyS3" << 5 << 0u << false << false << qint64(0) << ""
            << "No such device: /dev/ttyS3 is there, but no port answers behind it.";
        QTest::newRow("other failure")
            << int(State::OtherError) << "/dev/ttyUSB0" << 40 << 0u << false << false << qint64(0) << ""
            << "Cannot be opened: Too many levels of symbolic links.";
        QTest::newRow("no device mapped") << int(State::Missing) << "" << 2 << 0u << false << false << qint64(0) << ""
                                          << "No such device.";
        QTest::newRow("holder without a readable name")
            << int(State::Busy) << "/dev/ttyACM0" << 16 << 0u << false << false << qint64(4242) << ""
            << "In use by another program: process 4242.";
        QTest::newRow("opens") << int(State::Opens) << "/dev/ttyACM0" << 0 << 0u << false << false << qint64(0) << ""
                               << "";
    }

    void explainTexts()
    {
        QFETCH(int, state);
        QFETCH(QString, path);
        QFETCH(int, error);
        QFETCH(unsigned, mode);
        QFETCH(bool, listed);
        QFETCH(bool, session);
        QFETCH(qint64, pid);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        Facts f;
        f.state = State(state);
        f.path = path;
        f.error = error;
        f.owner = "root";
        f.group = "dialout";
        f.user = "ada";
        f.mode = mode;
        f.userListedInGroup = listed;
        f.sessionHasGroup = session;
        f.holderPid = pid;
        f.holderName = name;
        QCOMPARE(portreason::explain(f), expected);
    }

    // The port list: entries keep their two texts; the tooltip's first line names the device
    // and, for an unavailable port, the next line says why.
    void scanTooltips_data()
    {
        QTest::addColumn<bool>("consolePortOpen");
        QTest::addRow("probing") << false;
        QTest::addRow("console's own port open") << true;
    }

    void scanTooltips()
    {
        QFETCH(bool, consolePortOpen);
        TempStore store;
        QTemporaryDir dir;
        PtyPair free, held, own;
        for (int n = 1; n <= 16; ++n)
            store.mapPort(n, dir.filePath(QStringLiteral("ttyUSB%1").arg(n)));
        store.mapPort(2, free.slavePath());
        store.mapPort(3, held.slavePath());
        store.mapPort(4, own.slavePath());
        QSerialPort holder(held.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        CommPort port;
        if (consolePortOpen) {
            QVERIFY(port.setPortNumber(4));
            QVERIFY(port.open());
        }
        QListWidget list;
        portdiscovery::ScanPorts(port, &list);
        QCOMPARE(list.count(), 16);
        const QString pid = QString::number(::getpid());
        for (int n = 1; n <= 16; ++n) {
            const QString device = n == 2 ? free.slavePath() : n == 3 ? held.slavePath() : n == 4 ? own.slavePath()
                                                                 : dir.filePath(QStringLiteral("ttyUSB%1").arg(n));
            QString text = QStringLiteral("COM%1  (not available or no such port)").arg(n);
            QString why = "No such device: nothing is at " + device + ".";
            if (consolePortOpen) {
                why = "Not probed: the console's port is open.";
            } else if (n == 2 || n == 4) {
                text = QStringLiteral("COM%1  available").arg(n);
                why.clear();
            } else if (n == 3) {
                why = "In use by this program: test_ports (process " + pid + "), which holds the lock file /var/lock/"
                      + lockNameOf(device) + ".";
            }
            QCOMPARE(list.item(n - 1)->text(), text);
            const QStringList lines = list.item(n - 1)->toolTip().split('\n');
            QCOMPARE(lines.value(0), QStringLiteral("COM%1: ").arg(n) + device);
            QCOMPARE(lines.mid(1).join('\n'), why);
        }
    }
};

QTEST_MAIN(TestPorts)
#include "test_ports.moc"
