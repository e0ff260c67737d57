// The mail dialogues' TCP link on plain sockets: names looked up off the GUI
// thread with every address tried, signals only from the event loop, the
// peer's last bytes before its close, no SIGPIPE, and a link dropped while
// its lookup still runs; a dead first address and a flooding peer.
#include "platform/tcplink.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <arpa/inet.h>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// "dual.test" is ::1, then 127.0.0.1, like a name whose IPv6 route is broken
// ("localhost" may have one address only); other names go to the C library.
extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **res) {
    static const auto real =
        reinterpret_cast<decltype(&getaddrinfo)>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (!node || std::strcmp(node, "dual.test") != 0) return real(node, service, hints, res);
    const addrinfo numeric{AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    addrinfo *v4 = nullptr;
    if (real("127.0.0.1", service, &numeric, &v4) || real("::1", service, &numeric, res))
        return EAI_FAIL;
    (*res)->ai_next = v4; // one node each, freed one by one
    return 0;
}

class TestTcpLink : public QObject {
    Q_OBJECT
  private slots:
    void namesTryEveryAddress();
    void signalsComeFromTheEventLoop();
    void unknownHostsSignalNothing();
    void lastBytesComeBeforeTheClose();
    void aResetPeerNeverKills();
    void longWritesDrain();
    void aDroppedFirstAddressGivesWay();
    void aFloodIsReadInSlices();
};

void TestTcpLink::namesTryEveryAddress() {
    // "localhost" may give ::1 first; the server is only on 127.0.0.1.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    link.connectToHost(QStringLiteral("localhost"), server.serverPort());
    QVERIFY(connected.wait(5000));
    QVERIFY(link.isConnected());
}

void TestTcpLink::signalsComeFromTheEventLoop() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(link.isOpen() && !link.isConnected());
    QCOMPARE(connected.size(), 0); // callers set their state after the call
    QCOMPARE(link.write("early"), qint64(-1));
    QVERIFY(connected.wait(5000));
    // A new connection drops the old one, and nothing of it signals again.
    link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(!link.isConnected());
    QVERIFY(connected.wait(5000));
    QTest::qWait(100);
    QCOMPARE(connected.size(), 2);
}

void TestTcpLink::unknownHostsSignalNothing() {
    // Dropped while its lookup runs: the answer must find nothing to touch.
    auto *dropped = new TcpLink;
    dropped->connectToHost(QStringLiteral("no-such-host.invalid"), 110);
    delete dropped;

    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    link.connectToHost(QStringLiteral("no-such-host.invalid"), 110);
    QVERIFY(link.isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(!link.isOpen(), 20000);
    QCOMPARE(connected.size(), 0);

    // Refused: also no signal, and the link is closed.
    QTcpServer gone;
    QVERIFY(gone.listen(QHostAddress::LocalHost));
    const quint16 port = gone.serverPort();
    gone.close();
    link.connectToHost(QStringLiteral("127.0.0.1"), port);
    QTRY_VERIFY(!link.isOpen());
    QCOMPARE(connected.size(), 0);
}

void TestTcpLink::lastBytesComeBeforeTheClose() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    connect(&server, &QTcpServer::newConnection, &server, [&server] {
        QTcpSocket *peer = server.nextPendingConnection();
        peer->write("+OK bye\r\n");
        peer->disconnectFromHost();
    });
    TcpLink link;
    QByteArray got;
    QByteArray atClose;
    connect(&link, &TcpLink::readyRead, &link, [&] { got += link.readAll(); });
    connect(&link, &TcpLink::disconnected, &link, [&] { atClose = got; });
    QSignalSpy closed(&link, &TcpLink::disconnected);
    link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(closed.wait(5000));
    QCOMPARE(atClose, QByteArray("+OK bye\r\n"));
    QVERIFY(!link.isOpen());
    QCOMPARE(link.write("QUIT\r\n"), qint64(-1));
}

void TestTcpLink::aResetPeerNeverKills() {
    // A bare listening socket: the test decides when the peer resets.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    QVERIFY(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    QVERIFY(listen(listener, 1) == 0);
    QVERIFY(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0);

    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    QSignalSpy closed(&link, &TcpLink::disconnected);
    link.connectToHost(QStringLiteral("127.0.0.1"), ntohs(addr.sin_port));
    QVERIFY(connected.wait(5000));
    const int peer = accept(listener, nullptr, nullptr);
    QVERIFY(peer >= 0);
    const linger hard{1, 0}; // close with a reset
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(peer);
    close(listener);
    QThread::msleep(50);
    // Writing into the reset connection before the event loop has noticed:
    // an error at most, never SIGPIPE.
    for (int i = 0; i < 5; ++i)
        link.write(QByteArray(4096, 'x'));
    QTRY_COMPARE(closed.size(), 1);
}

void TestTcpLink::longWritesDrain() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QByteArray received;
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket *peer = server.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer,
                [&received, peer] { received += peer->readAll(); });
    });
    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(connected.wait(5000));
    QByteArray big(8 << 20, 'm');
    for (qsizetype i = 0; i < big.size(); i += 4093)
        big[i] = char('a' + i % 26);
    QCOMPARE(link.write(big), qint64(big.size()));
    QVERIFY(!link.flush()); // more than the socket takes at once
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), big.size(), 20000);
    QCOMPARE(received, big);
    QVERIFY(link.flush());
}

void TestTcpLink::aDroppedFirstAddressGivesWay() {
    if (qEnvironmentVariableIsEmpty("QUIL_IN_NETNS") || geteuid() != 0)
        QSKIP("the firewall rule needs the network namespace of run-tests.sh");
    QTcpServer server; // on 127.0.0.1 only
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
    // SYNs to ::1 vanish as on a broken route: no refusal ever comes back.
    const QString table = QStringLiteral("quiltcplink%1").arg(server.serverPort());
    QCOMPARE(QProcess::execute(QStringLiteral("nft"),
                               {QStringLiteral("add table inet %1; add chain inet %1 out { type "
                                               "filter hook output priority 0; }; add rule inet "
                                               "%1 out ip6 daddr ::1 tcp dport %2 drop")
                                    .arg(table)
                                    .arg(server.serverPort())}),
             0);
    const auto removeRule = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("nft"), {QStringLiteral("delete table inet ") + table});
    });
    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    QElapsedTimer clock;
    clock.start();
    link.connectToHost(QStringLiteral("dual.test"), server.serverPort());
    QVERIFY(connected.wait(15000));
    QVERIFY(clock.elapsed() >= TcpLink::AddressTimeoutMs / 2); // ::1 was given its time
}

void TestTcpLink::aFloodIsReadInSlices() {
    constexpr qsizetype total = 8 << 20;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    connect(&server, &QTcpServer::newConnection, &server, [&server] {
        QTcpSocket *peer = server.nextPendingConnection();
        peer->write(QByteArray(total, 'x'));
        peer->disconnectFromHost();
    });
    TcpLink link;
    // Timers still run between two wake-ups, however full the socket.
    int ticks = 0, ticksAtLast = -1, wakeUpsWithoutTick = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, &ticker, [&] { ++ticks; });
    ticker.start(0);
    qsizetype received = 0, largest = 0;
    connect(&link, &TcpLink::readyRead, &link, [&] {
        const qsizetype n = link.readAll().size();
        received += n;
        largest = qMax(largest, n);
        wakeUpsWithoutTick += ticks == ticksAtLast;
        ticksAtLast = ticks;
    });
    QSignalSpy closed(&link, &TcpLink::disconnected);
    link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(closed.wait(30000));
    QCOMPARE(received, total);
    QVERIFY2(largest <= TcpLink::ReadPerWakeUp, qPrintable(QString::number(largest)));
    QCOMPARE(wakeUpsWithoutTick, 0);
}

QTEST_GUILESS_MAIN(TestTcpLink)
#include "tst_tcplink.moc"
