// Network ports: a real ser2net on 127.0.0.1 serves the drive simulator's pseudo-terminal, by
// telnet with RFC 2217 and by plain TCP, and the console's link talks to it through the port's
// COM override; ser2net dropped and brought back; addresses that refuse or do not resolve; and
// a small telnet peer of the test's own for the corners of the negotiation.
#include "link/commport.h"
#include "link/drivelink.h"
#include "lines/portreason.h"
#include "settings/portdiscovery.h"
#include "sim/ptyserver.h"
#include "support/linkfakes.h"
#include "support/ser2net.h"
#include "support/tempstore.h"

#include <QListWidget>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray kDtReply("\xff/0`1000\x03\r\n", 11); // position 1000, ready, no error

// A telnet server of the test's own on 127.0.0.1, one connection, one script: it agrees to
// COM-PORT-OPTION and confirms each request unless told to stay silent, opens by offering or
// asking for options a client must refuse, answers "/1?0\r" with kDtReply (0xFF doubled), and
// may send everything one byte at a time. finish() ends it and gives what it received.
class TelnetPeer {
public:
    bool silentToSettings = false;
    bool oneByteAtATime = false;
    QByteArray greeting; // sent as soon as the client connects
    quint16 port = 0;

    TelnetPeer()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(m_listen, 1);
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~TelnetPeer() { finish(); ::close(m_listen); }
    void serve() { m_thread = std::thread([this] { run(); }); }
    QByteArray finish()
    {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        return m_received;
    }

private:
    void send(const QByteArray &bytes)
    {
        for (qsizetype i = 0; i < bytes.size(); i += oneByteAtATime ? 1 : bytes.size()) {
            ::send(m_fd, bytes.constData() + i, size_t(oneByteAtATime ? 1 : bytes.size()), MSG_NOSIGNAL);
            if (oneByteAtATime)
                ::usleep(1000);
        }
    }
    // Answers each complete `what` (running to `end`, if one is given) in `pending`, taking it out.
    void answer(QByteArray &pending, const QByteArray &what, const QByteArray &end, const std::function<QByteArray(QByteArray)> &reply)
    {
        for (qsizetype i; (i = pending.indexOf(what)) >= 0;) {
            const qsizetype e = end.isEmpty() ? i + what.size() : pending.indexOf(end, i) + end.size();
            if (e < i + what.size())
                return; // not complete yet
            send(reply(pending.mid(i, e - i)));
            pending.remove(i, e - i);
        }
    }
    void run()
    {
        m_fd = ::accept(m_listen, nullptr, nullptr);
        if (m_fd < 0)
            return;
        timeval tick{0, 20000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        send(greeting);
        QByteArray pending;
        while (!m_stop) {
            char buf[512];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n == 0)
                break;
            if (n < 0)
                continue;
            m_received.append(buf, n);
            pending.append(buf, n);
            // WILL COM-PORT-OPTION is agreed to, each request confirmed (its code + 100), the command answered.
            answer(pending, "\xff\xfb\x2c", {}, [](QByteArray) { return QByteArray("\xff\xfd\x2c"); });
            answer(pending, "\xff\xfa\x2c", "\xff\xf0", [this](QByteArray r) { return silentToSettings ? QByteArray() : (r[3] = char(r[3] + 100), r); });
            answer(pending, "/1?0\r", {}, [](QByteArray) { return QByteArray("\xff\xff/0`1000\x03\r\n", 12); });
        }
        ::close(m_fd);
    }

    int m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    QByteArray m_received; // read by finish() once the thread has ended
};

} // namespace

class TestNet : public QObject {
    Q_OBJECT

    TempStore store;
    std::unique_ptr<sim::PtyServer> server;
    std::unique_ptr<Ser2net> ser2net;
    RecordedRows rows;
    LiveSettings live;
    std::unique_ptr<DriveLink> link;

    void send(const QString &command, int row) { sendFromRow(*link, command, row); }
    // The simulator on a pseudo-terminal, and ser2net serving it.
    void serve()
    {
        if (!Ser2net::installed())
            QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
        server = std::make_unique<sim::PtyServer>();
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        server->bus().drive('1')->setPosition(1000);
        ser2net = std::make_unique<Ser2net>(server->slavePath());
        QVERIFY2(ser2net->start(), qPrintable(ser2net->output()));
    }

private slots:
    void init()
    {
        link.reset();
        ser2net.reset();
        server.reset();
        link = freshLink(rows, live, 1000);
    }

    // The console's exchange over each kind of network port, in both framings: the rows read as
    // over a local port, the tap sees the serial bytes (0xFF once,
    // no telnet), and RFC 2217 sets the rate on the far port where plain TCP leaves it as served.
    void exchanges_data()
    {
        QTest::addColumn<bool>("telnet");
        QTest::addColumn<bool>("oem");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray oemReply("\x02" "0`1000\x03" "P");
        QTest::newRow("RFC 2217, DT") << true << false << kDtReply;
        QTest::newRow("RFC 2217, OEM") << true << true << oemReply;
        QTest::newRow("TCP, DT") << false << false << kDtReply;
        QTest::newRow("TCP, OEM") << false << true << oemReply;
    }
    void exchanges()
    {
        QFETCH(bool, telnet);
        QFETCH(bool, oem);
        QFETCH(QByteArray, reply);
        serve();
        store.mapPort(1, telnet ? ser2net->rfc2217Url() : ser2net->socketUrl());
        live.mode = oem ? framing::Mode::OEM : framing::Mode::DT;
        live.baud = "19200";
        QSignalSpy tap(&link->MSComm1(), &CommPort::traffic);
        send("/1?0", 1);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[1], QString("1000 No Error"));
        QByteArray received;
        for (const QList<QVariant> &t : tap)
            if (t.at(1).value<CommPort::Direction>() == CommPort::Direction::Received)
                received += t.at(2).toByteArray();
        QCOMPARE(received, reply);
        QCOMPARE(server->baudRate(), telnet ? 19200 : 9600);
        link->MSComm1().close();
        live.baud = "57600";
        send("/1?0", 3);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[3], QString("1000 No Error"));
        QCOMPARE(server->baudRate(), telnet ? 57600 : 9600);
    }

    // ser2net killed while a command waits: the row gets the time-out text, the loss is
    // reported once; with ser2net back, the next send connects again and is answered.
    void serverDropsAndReturns()
    {
        serve();
        store.mapPort(1, ser2net->rfc2217Url());
        CommPort probing;
        QListWidget list;
        portdiscovery::ScanPorts(probing, &list);
        QCOMPARE(list.item(0)->text(), QString("COM1  available"));
        QCOMPARE(list.item(0)->toolTip(), "COM1: " + ser2net->rfc2217Url());
        QSignalSpy lost(&link->MSComm1(), &CommPort::deviceLost);
        server->bus().faults().silent = true;
        send("/1?0", 1);
        QTRY_VERIFY(link->MSComm1().isOpen());
        ser2net->kill();
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[1], DriveLink::kTimeoutText);
        QCOMPARE(lost.size(), 1);
        QCOMPARE(lost.first().first().toString(), ser2net->rfc2217Url());
        QVERIFY(ser2net->start());
        server->bus().faults().silent = false;
        send("/1?0", 2);
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[2], QString("1000 No Error"));
        QCOMPARE(lost.size(), 1);
    }

    // Addresses that cannot be reached say why, in the port's failure and in the port list's
    // reason, and an open gives up rather than hang.
    void unreachable_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("why");
        const QString refused = QStringLiteral("127.0.0.1:%1").arg(unusedPort());
        QTest::newRow("refused, RFC 2217") << "rfc2217://" + refused << "connection refused by " + refused;
        QTest::newRow("refused, TCP") << "socket://" + refused << "connection refused by " + refused;
        QTest::newRow("name not known") << "rfc2217://no-such-host.invalid:2217" << "no-such-host.invalid: name not known";
    }
    void unreachable()
    {
        QFETCH(QString, url);
        QFETCH(QString, why);
        store.mapPort(1, url);
        CommPort port;
        QListWidget list;
        portdiscovery::ScanPorts(port, &list);
        QCOMPARE(list.item(0)->text(), QString("COM1  (not available or no such port)"));
        QCOMPARE(list.item(0)->toolTip(), "COM1: " + url + "\n" + why);
        QVERIFY(port.setPortNumber(1) && !port.open());
        QCOMPARE(port.openFailure(), why);
        QCOMPARE(portreason::reason(url), why);
    }

    // The negotiation's corners against the test's own peer: every byte in a read of its own
    // (IAC and its command split at every place), options the client must refuse, and a server
    // that never confirms the line settings.
    void negotiation_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<bool>("oneByteAtATime");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QByteArray>("refusals"); // what the client must say to the greeting
        QTest::newRow("IAC at every chunk boundary") << QByteArray("\xff\xfb\x01\xff\xfd\x03") << true << false
                                                     << QByteArray("\xff\xfe\x01");
        QTest::newRow("options refused") << QByteArray("\xff\xfd\x18\xff\xfb\x01\xff\xfd\x1f") << false << false
                                         << QByteArray("\xff\xfc\x18\xff\xfe\x01\xff\xfc\x1f");
        QTest::newRow("line settings never confirmed") << QByteArray() << false << true << QByteArray();
    }
    void negotiation()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(bool, oneByteAtATime);
        QFETCH(bool, silent);
        QFETCH(QByteArray, refusals);
        TelnetPeer peer;
        peer.greeting = greeting;
        peer.oneByteAtATime = oneByteAtATime;
        peer.silentToSettings = silent;
        peer.serve();
        const QString where = QStringLiteral("127.0.0.1:%1").arg(peer.port);
        store.mapPort(1, "rfc2217://" + where);
        send("/1?0", 1);
        if (silent) {
            QVERIFY(!link->MSComm1().isOpen());
            QCOMPARE(link->MSComm1().openFailure(), "no answer from " + where + " to the line settings within 3 s");
            return;
        }
        QVERIFY(waitForResult(*link));
        QCOMPARE(rows.text[1], QString("1000 No Error"));
        const QByteArray said = peer.finish();
        // The client's offers, its refusals once each, the rate 38400 (0x9600) and 8N1, the
        // command; nothing else.
        QVERIFY2(said.startsWith(QByteArray("\xff\xfb\x2c\xff\xfb\x00\xff\xfb\x03\xff\xfd\x00\xff\xfd\x03", 15)), said.toHex().constData());
        QVERIFY2(said.contains(refusals), said.toHex().constData());
        QCOMPARE(said.count(refusals.left(3)), refusals.isEmpty() ? said.size() + 1 : 1);
        QVERIFY(said.contains(QByteArray("\xff\xfa\x2c\x01\x00\x00\x96\x00\xff\xf0", 10)));
        QVERIFY(said.contains(QByteArray("\xff\xfa\x2c\x02\x08\xff\xf0\xff\xfa\x2c\x03\x01\xff\xf0\xff\xfa\x2c\x04\x01\xff\xf0", 21)));
        QVERIFY(said.endsWith("/1?0\r"));
    }
};

QTEST_MAIN(TestNet)
#include "test_net.moc"
