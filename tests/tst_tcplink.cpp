// The mail dialogues' TCP link on plain sockets: names looked up off the GUI
// thread with every address tried, signals only from the event loop, the
// peer's last bytes before its close, no SIGPIPE, and a link dropped while
// its lookup still runs; a dead first address and a flooding peer; then
// TLS against an OpenSSL server of the test's own.
#include "platform/tcplink.h"
#include "support/tlscerts.h"

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
#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// "dual.test" is ::1, then 127.0.0.1, like a name whose IPv6 route is broken
// ("localhost" may have one address only); the name server knows no
// "nameless.test" and does not answer for "silent.test"; other names go to
// the C library.
extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **res) {
    static const auto real =
        reinterpret_cast<decltype(&getaddrinfo)>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strcmp(node, "nameless.test") == 0) return EAI_NONAME;
    if (node && std::strcmp(node, "silent.test") == 0) return EAI_AGAIN;
    if (!node || std::strcmp(node, "dual.test") != 0) return real(node, service, hints, res);
    const addrinfo numeric{AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    addrinfo *v4 = nullptr;
    if (real("127.0.0.1", service, &numeric, &v4) || real("::1", service, &numeric, res))
        return EAI_FAIL;
    (*res)->ai_next = v4; // one node each, freed one by one
    return 0;
}

namespace {
// A listening socket on 127.0.0.1 with a port of the kernel's choice.
int listenOnLoopback(quint16 *port) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return -1;
    *port = ntohs(addr.sin_port);
    return listener;
}

// A TLS server for one client on a thread of its own, with blocking OpenSSL
// calls: a POP3-like STLS prologue if asked, the handshake, then it echoes
// one read and closes. It keeps the bytes it read outside TLS (the prologue,
// or anything after a failed handshake) and the name the client sent (SNI).
class TlsPeer {
  public:
    TlsPeer(const QString &cert, const QString &key, bool stls)
        : m_listener(listenOnLoopback(&port)),
          m_thread([=, this] { serve(cert.toLocal8Bit(), key.toLocal8Bit(), stls); }) {}
    ~TlsPeer() {
        m_thread.join();
        close(m_listener);
    }
    quint16 port = 0;
    std::atomic<bool> done = false;
    QByteArray clear; // read these once done
    QByteArray sni;

  private:
    void serve(const QByteArray &cert, const QByteArray &key, bool stls) {
        pollfd waiting{m_listener, POLLIN, 0}; // never a hang, whatever the client does
        const int fd = poll(&waiting, 1, 10000) == 1 ? accept(m_listener, nullptr, nullptr) : -1;
        const timeval patience{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        char buffer[4096];
        ssize_t n = 0;
        if (stls) {
            send(fd, "+OK ready\r\n", 11, 0);
            while (!clear.endsWith('\n') && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                clear.append(buffer, n);
            send(fd, "+OK go\r\n", 8, 0);
        }
        SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, cert.constData());
        SSL_CTX_use_PrivateKey_file(ctx, key.constData(), SSL_FILETYPE_PEM);
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            if (const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) sni = name;
            // The client waits for the echo; only close_notify may find it
            // gone, and a first write after its close raises no SIGPIPE.
            if ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) SSL_write(ssl, buffer, int(n));
            SSL_shutdown(ssl);
        } else {
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                clear.append(buffer, n);
        }
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        close(fd);
        done = true;
    }
    const int m_listener;
    std::thread m_thread;
};
} // namespace

class TestTcpLink : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void namesTryEveryAddress();
    void signalsComeFromTheEventLoop();
    void unreachableHostsOnlySayThat();
    void lastBytesComeBeforeTheClose();
    void aResetPeerNeverKills();
    void longWritesDrain();
    void aDroppedFirstAddressGivesWay();
    void aFloodIsReadInSlices();
    void tlsCarriesBytesBothWays();
    void tlsRefusals_data();
    void tlsRefusals();
    void tlsNeedsATlsPeer();

  private:
    TlsCerts m_certs;
};

void TestTcpLink::initTestCase() {
    QVERIFY2(m_certs.make(), qPrintable(m_certs.error));
}

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

void TestTcpLink::unreachableHostsOnlySayThat() {
    // Dropped while its lookup runs: the answer must find nothing to touch.
    auto *dropped = new TcpLink;
    dropped->connectToHost(QStringLiteral("no-such-host.invalid"), 110);
    delete dropped;

    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    QSignalSpy unreachable(&link, &TcpLink::unreachable);
    link.connectToHost(QStringLiteral("no-such-host.invalid"), 110);
    QVERIFY(link.isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(!link.isOpen(), 20000);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(unreachable.size(), 1);

    // Refused: no connection either, only the word that none came.
    QTcpServer gone;
    QVERIFY(gone.listen(QHostAddress::LocalHost));
    const quint16 port = gone.serverPort();
    gone.close();
    link.connectToHost(QStringLiteral("127.0.0.1"), port);
    QTRY_VERIFY(!link.isOpen());
    QCOMPARE(connected.size(), 0);
    QTRY_COMPARE(unreachable.size(), 2);
    QCOMPARE(unreachable[1][0].value<TcpLink::Unreachable>(), TcpLink::NoAnswer);

    // A name that does not exist is told apart from a name server away.
    for (const char *name : {"nameless.test", "silent.test"}) {
        unreachable.clear();
        link.connectToHost(QString::fromLatin1(name), 110);
        QTRY_COMPARE(unreachable.size(), 1);
        QCOMPARE(unreachable[0][0].value<TcpLink::Unreachable>(),
                 name[0] == 'n' ? TcpLink::NameNotFound : TcpLink::NoAnswer);
        QVERIFY(!link.isOpen());
    }
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
    quint16 port = 0;
    const int listener = listenOnLoopback(&port);
    QVERIFY(listener >= 0);

    TcpLink link;
    QSignalSpy connected(&link, &TcpLink::connected);
    QSignalSpy closed(&link, &TcpLink::disconnected);
    link.connectToHost(QStringLiteral("127.0.0.1"), port);
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

void TestTcpLink::tlsCarriesBytesBothWays() {
    TlsOptions trustTestCa;
    trustTestCa.caFile = m_certs.caFile();
    const QString good = m_certs.certFile(QStringLiteral("good"));
    // Implicit TLS by name, the peer ending with close_notify.
    {
        TlsPeer peer(good, m_certs.keyFile(), false);
        TcpLink link;
        QByteArray got;
        connect(&link, &TcpLink::readyRead, &link, [&] { got += link.readAll(); });
        QSignalSpy connected(&link, &TcpLink::connected);
        QSignalSpy closed(&link, &TcpLink::disconnected);
        link.connectToHostEncrypted(QStringLiteral("localhost"), peer.port, trustTestCa);
        QVERIFY(connected.wait(5000));
        QVERIFY(link.isEncrypted());
        QCOMPARE(link.write("USER taro\r\n"), qint64(11));
        QVERIFY(closed.wait(5000));
        QCOMPARE(got, QByteArray("USER taro\r\n"));
        QTRY_VERIFY(peer.done);
        QCOMPARE(peer.sni, QByteArray("localhost"));
    }
    // STLS by address (no SNI for an address): plaintext first, then what
    // was written during the handshake goes encrypted.
    TlsPeer peer(good, m_certs.keyFile(), true);
    TcpLink link;
    QByteArray got;
    connect(&link, &TcpLink::readyRead, &link, [&] { got += link.readAll(); });
    QSignalSpy encrypted(&link, &TcpLink::encrypted);
    link.connectToHost(QStringLiteral("127.0.0.1"), peer.port);
    QTRY_COMPARE(got, QByteArray("+OK ready\r\n"));
    link.write("STLS\r\n");
    QTRY_COMPARE(got, QByteArray("+OK ready\r\n+OK go\r\n"));
    got.clear();
    link.startTls(trustTestCa);
    QCOMPARE(link.write("CAPA\r\n"), qint64(6));
    QVERIFY(encrypted.wait(5000));
    QTRY_COMPARE(got, QByteArray("CAPA\r\n"));
    QTRY_VERIFY(peer.done);
    QCOMPARE(peer.clear, QByteArray("STLS\r\n"));
    QVERIFY(peer.sni.isEmpty());
}

void TestTcpLink::tlsRefusals_data() {
    QTest::addColumn<QString>("cert");
    QTest::addColumn<TcpLink::TlsError>("error");
    QTest::newRow("another host") << "otherhost" << TcpLink::WrongHostName;
    QTest::newRow("expired") << "expired" << TcpLink::Expired;
    QTest::newRow("unknown CA") << "unknown" << TcpLink::UnknownIssuer;
}

void TestTcpLink::tlsRefusals() {
    QFETCH(QString, cert);
    QFETCH(TcpLink::TlsError, error);
    TlsOptions options;
    options.caFile = m_certs.caFile();
    // Another certificate's fingerprint must not let this one through.
    options.acceptedFingerprint = m_certs.fingerprint(QStringLiteral("good"));
    const QByteArray fingerprint = m_certs.fingerprint(cert);
    {
        TlsPeer peer(m_certs.certFile(cert), m_certs.keyFile(), true);
        TcpLink link;
        QByteArray got;
        connect(&link, &TcpLink::readyRead, &link, [&] { got += link.readAll(); });
        QSignalSpy failed(&link, &TcpLink::tlsFailed);
        link.connectToHost(QStringLiteral("localhost"), peer.port);
        QTRY_VERIFY(got.startsWith("+OK ready"));
        link.write("STLS\r\n");
        QTRY_VERIFY(got.endsWith("+OK go\r\n"));
        link.startTls(options);
        link.write("PASS secret\r\n");
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed[0][0].value<TcpLink::TlsError>(), error);
        QCOMPARE(failed[0][1].toByteArray(), fingerprint);
        QVERIFY(!link.isOpen());
        QTRY_VERIFY(peer.done);
        QVERIFY2(!peer.clear.contains("secret"), peer.clear.constData());
    }
    // Accepted by its fingerprint, in the hex form users are shown.
    options.acceptedFingerprint = fingerprint.toHex(':').toUpper();
    TlsPeer peer(m_certs.certFile(cert), m_certs.keyFile(), false);
    TcpLink link;
    QByteArray got;
    connect(&link, &TcpLink::readyRead, &link, [&] { got += link.readAll(); });
    QSignalSpy connected(&link, &TcpLink::connected);
    link.connectToHostEncrypted(QStringLiteral("localhost"), peer.port, options);
    QVERIFY(connected.wait(5000));
    QVERIFY(link.isEncrypted());
    link.write("RETR 1\r\n");
    QTRY_COMPARE(got, QByteArray("RETR 1\r\n"));
}

void TestTcpLink::tlsNeedsATlsPeer() {
    // A plain POP3 server on the implicit TLS port, and one that hangs up at
    // once: refused without waiting.
    for (const bool greets : {true, false}) {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&server, greets] {
            QTcpSocket *peer = server.nextPendingConnection();
            if (greets)
                peer->write("+OK POP3 ready\r\n");
            else
                peer->close();
        });
        TcpLink link;
        QSignalSpy connected(&link, &TcpLink::connected);
        QSignalSpy failed(&link, &TcpLink::tlsFailed);
        link.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort(), {});
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed[0][0].value<TcpLink::TlsError>(), TcpLink::HandshakeFailed);
        QVERIFY(failed[0][1].toByteArray().isEmpty());
        QCOMPARE(connected.size(), 0);
        QCOMPARE(link.answeredInClear(), greets); // the session names the likely mistake
    }
    // The go-ahead for STLS and the close in one read: the handshake begun
    // on it fails at once, not by the reply guard.
    quint16 port = 0;
    const int listener = listenOnLoopback(&port);
    const auto closeListener = qScopeGuard([listener] { close(listener); });
    TcpLink link;
    connect(&link, &TcpLink::readyRead, &link, [&link] {
        if (link.readAll().contains("+OK go")) link.startTls({});
    });
    QSignalSpy connected(&link, &TcpLink::connected);
    QSignalSpy closed(&link, &TcpLink::disconnected);
    QSignalSpy failed(&link, &TcpLink::tlsFailed);
    link.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(connected.wait(5000));
    const int peer = accept(listener, nullptr, nullptr); // from the backlog, at once
    QCOMPARE(send(peer, "+OK go\r\n", 8, 0), ssize_t(8));
    close(peer); // both are in before the link reads
    QVERIFY(failed.wait(1000));
    QCOMPARE(failed[0][0].value<TcpLink::TlsError>(), TcpLink::HandshakeFailed);
    QCOMPARE(closed.size(), 0);
}

QTEST_GUILESS_MAIN(TestTcpLink)
#include "tst_tcplink.moc"
