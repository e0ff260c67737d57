// Checks against a real Dovecot: what a mailbox over several checks looks
// like, in the clear, over STLS and over TLS from the first byte.
#include "platform/desktopnotifier.h"
#include "support/notify_dbusmock.h"
#include "support/pop3_dovecot.h"
#include "support/pop3_harness.h"
#include "support/tlscerts.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// Passes one connection through to Dovecot and keeps what the client sent,
// as anyone on the path would see it.
struct Relay {
    QTcpServer server;
    QTcpSocket upstream;
    QByteArray fromClient;
    explicit Relay(quint16 target, const QString &address = QStringLiteral("127.0.0.1")) {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, target, address] {
            QTcpSocket *client = server.nextPendingConnection();
            upstream.connectToHost(QHostAddress(address), target);
            QObject::connect(client, &QTcpSocket::readyRead, client, [this, client] {
                const QByteArray bytes = client->readAll();
                fromClient += bytes;
                upstream.write(bytes);
            });
            QObject::connect(&upstream, &QTcpSocket::readyRead, client,
                             [this, client] { client->write(upstream.readAll()); });
            QObject::connect(&upstream, &QTcpSocket::disconnected, client,
                             &QTcpSocket::disconnectFromHost);
            QObject::connect(client, &QTcpSocket::disconnected, &upstream,
                             &QTcpSocket::disconnectFromHost);
        });
    }
};

using Security = ConnectionSettings::Security;

} // namespace

class TestPop3Dovecot : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void checksOverTime();
    void wrongPassword();
    void headersInTheNotification();
    void secureChecks_data();
    void secureChecks();
    void unknownIssuerThenAccepted();
    void refusedCertificates_data();
    void refusedCertificates();

  private:
    bool check(Pop3Harness &h);
    Pop3Dovecot m_server;
    TlsCerts m_certs;
};

void TestPop3Dovecot::initTestCase() {
    const QString reason = m_server.skipReason();
    if (!reason.isEmpty()) QSKIP(qPrintable(reason));
    QVERIFY2(m_certs.make(), qPrintable(m_certs.error));
    m_server.useTls(m_certs.certFile("good"), m_certs.keyFile());
    // Behind these addresses Dovecot shows the certificates a check refuses.
    m_server.useTlsAt("127.0.0.2", m_certs.certFile("otherhost"));
    m_server.useTlsAt("127.0.0.3", m_certs.certFile("expired"));
    QVERIFY(m_server.start());
}

bool TestPop3Dovecot::check(Pop3Harness &h) {
    h.host.logLines.clear();
    h.host.settings.POP_UserID = m_server.user;
    h.host.settings.POP_PassWord = m_server.password;
    h.load();
    return h.waitDone(60000);
}

void TestPop3Dovecot::checksOverTime() {
    Pop3Harness h; // one program directory, hence one store, for all checks
    const QStringList first = m_server.addMessages(1205);

    QVERIFY(check(h));
    QCOMPARE(h.host.logLines, QStringList{"1205通の新着メールがあります"});
    const std::optional<UidList> stored = ReadUidStore(h.storePath());
    QVERIFY(stored && stored->size() == 1205);

    QVERIFY(check(h));
    QCOMPARE(h.host.logLines.last(), "0通の新着メールがあります");
    QCOMPARE(ReadUidStore(h.storePath()), stored); // UIDs stay the same

    QVERIFY(m_server.removeMessage(first[0]) && m_server.removeMessage(first[700]));
    m_server.addMessages(3);
    QVERIFY(check(h));
    QCOMPARE(h.host.logLines.last(), "3通の新着メールがあります");
    const std::optional<UidList> now = ReadUidStore(h.storePath());
    QVERIFY(now && now->size() == 1206);
    QVERIFY(!now->contains(stored->at(0)) && !now->contains(stored->at(700)));

    // The deleted ones are forgotten, not counted again or kept.
    QVERIFY(check(h));
    QCOMPARE(h.host.logLines.last(), "0通の新着メールがあります");
    QCOMPARE(h.host.check().retries(), 0);
}

void TestPop3Dovecot::wrongPassword() {
    Pop3Harness h;
    h.host.settings.POP_UserID = m_server.user;
    h.host.settings.POP_PassWord = QStringLiteral("wrong");
    h.load();
    QVERIFY(h.waitDone(60000));
    QCOMPARE(h.host.statusText, "パスワードが違います");
    QCOMPARE(h.host.check().retries(), 1);
}

void TestPop3Dovecot::headersInTheNotification() {
    // An ISO-2022-JP message as Japanese mailers send it; its sender and
    // subject reach the notification's body, escaped for its markup.
    NotifyDbusMock daemon;
    QVERIFY(daemon.startBus() && daemon.startDaemon());
    const QString busName = QStringLiteral("quil-notify-dovecot");
    const QString address = daemon.address();
    DesktopNotifier notifier(
        [address, busName] { return QDBusConnection::connectToBus(address, busName); }, {});
    Pop3Harness h;
    h.host.settings.connection.desktopNotify = true;
    QVERIFY(check(h));                  // what is there already, without headers
    h.host.check().popupAcknowledged(); // the popup's ＯＫ: the total starts again
    h.host.settings.connection.showHeaders = true;
    QObject::connect(&h.host.check(), &MailCheck::desktopNotice, &notifier,
                     &DesktopNotifier::notify);
    QVERIFY(!m_server
                 .addMessage("From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>\n"
                             "Subject: =?ISO-2022-JP?B?GyRCMnE1RCRON28bKEI=?= <b>&\n"
                             "Content-Type: text/plain; charset=ISO-2022-JP\n\nbody\n")
                 .isEmpty());
    QVERIFY(check(h));
    QCOMPARE(h.host.logLines, QStringList{"1通の新着メールがあります"});
    QTRY_COMPARE(daemon.notifyCalls().size(), 1);
    const QVariantList call = daemon.notifyCalls().first();
    QCOMPARE(call[3].toString(), QStringLiteral("1通の新着メールがあります"));
    QCOMPARE(call[4].toString(), QStringLiteral("山田太郎 — 会議の件 &lt;b&gt;&amp;"));
    QDBusConnection::disconnectFromBus(busName);
}

void TestPop3Dovecot::secureChecks_data() {
    QTest::addColumn<Security>("security");
    QTest::addColumn<bool>("test");
    QTest::newRow("STLS, check") << Security::StartTls << false;
    QTest::newRow("STLS, settings test") << Security::StartTls << true;
    QTest::newRow("TLS, check") << Security::Tls << false;
    QTest::newRow("TLS, settings test") << Security::Tls << true;
}

void TestPop3Dovecot::secureChecks() {
    QFETCH(Security, security);
    QFETCH(bool, test);
    m_server.addMessages(2);
    Relay relay(security == Security::Tls ? 995 : 110);
    Pop3Harness h;
    h.host.test = test;
    h.host.seamsValue.caFile = m_certs.caFile();
    h.host.settings.connection.popSecurity = security;
    h.host.settings.connection.popPort = relay.server.serverPort();
    QVERIFY(check(h));
    QCOMPARE(h.host.check().retries(), 0);
    QVERIFY(!h.host.logLines.last().startsWith(u'0'));
    QVERIFY(!test || h.host.saves == 1);
    // In the clear only STLS, if anything: no command, no secret.
    if (security == Security::StartTls) QVERIFY(relay.fromClient.startsWith("STLS\r\n"));
    for (const QByteArray word : {"USER", "PASS", "taro", "secret"})
        QVERIFY2(!relay.fromClient.contains(word), word.constData());
    QVERIFY(m_server.logText().contains("TLS"));
}

void TestPop3Dovecot::unknownIssuerThenAccepted() {
    // Trusting another CA, Dovecot's certificate has an unknown issuer;
    // accepted by its fingerprint it passes, at that server only: the same
    // certificate accepted for another host or port is refused.
    const QString hex = QString::fromLatin1(m_certs.fingerprint("good").toHex(':').toUpper());
    const QString ownHost = QStringLiteral("127.0.0.1");
    for (const AcceptedCertificate &accepted :
         {AcceptedCertificate{}, AcceptedCertificate{ownHost, 995, hex},
          AcceptedCertificate{QStringLiteral("other.example"), 995, hex},
          AcceptedCertificate{ownHost, 996, hex}}) {
        Pop3Harness h;
        h.host.seamsValue.caFile = m_certs.certFile("stranger");
        h.host.settings.connection.popSecurity = Security::Tls; // port 995 by default
        h.host.settings.connection.popAccepted = accepted;
        QSignalSpy refused(&h.host.check(), &MailCheck::certificateRefused);
        QVERIFY(check(h));
        if (accepted.host != ownHost || accepted.port != 995) {
            QCOMPARE(h.host.statusText, "証明書エラー（発行者不明）");
            QCOMPARE(h.host.logLines,
                     QStringList{"受信サーバ 127.0.0.1 の証明書を確認できません（発行者不明） "
                                 "SHA-256 " +
                                 hex});
            QCOMPARE(refused.size(), 1);
            QCOMPARE(refused[0][0], false);
            const auto r = refused[0][1].value<RefusedCertificate>();
            QCOMPARE((QStringList{r.host, QString::number(r.port), r.fingerprintHex, r.reason}),
                     (QStringList{ownHost, "995", hex, "発行者不明"}));
            // What the user decides on: the certificate as it describes itself.
            QCOMPARE(r.certificate.subject, "CN=localhost");
            QCOMPARE(r.certificate.issuer, "CN=test-ca");
            QCOMPARE(r.certificate.altNames, (QStringList{"localhost", "127.0.0.1"}));
            QVERIFY(r.certificate.notBefore < QDateTime::currentDateTimeUtc() &&
                    QDateTime::currentDateTimeUtc().addDays(29) < r.certificate.notAfter);
            QCOMPARE(h.host.check().retries(), 1);
        } else {
            QCOMPARE(h.host.check().retries(), 0);
            QCOMPARE(refused.size(), 0);
        }
    }
}

void TestPop3Dovecot::refusedCertificates_data() {
    QTest::addColumn<Security>("security");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("reason");
    QTest::newRow("another host, TLS") << Security::Tls << "127.0.0.2"
                                       << "otherhost"
                                       << "ホスト名不一致";
    QTest::newRow("another host, STLS") << Security::StartTls << "127.0.0.2"
                                        << "otherhost"
                                        << "ホスト名不一致";
    QTest::newRow("expired, TLS") << Security::Tls << "127.0.0.3"
                                  << "expired"
                                  << "期限切れ";
    QTest::newRow("expired, STLS") << Security::StartTls << "127.0.0.3"
                                   << "expired"
                                   << "期限切れ";
}

void TestPop3Dovecot::refusedCertificates() {
    QFETCH(Security, security);
    QFETCH(QString, address);
    QFETCH(QString, cert);
    QFETCH(QString, reason);
    Relay relay(security == Security::Tls ? 995 : 110, address);
    Pop3Harness h;
    h.host.seamsValue.caFile = m_certs.caFile();
    h.host.settings.connection.popSecurity = security;
    h.host.settings.connection.popPort = relay.server.serverPort();
    QSignalSpy refused(&h.host.check(), &MailCheck::certificateRefused);
    QVERIFY(check(h));
    const QString hex = QString::fromLatin1(m_certs.fingerprint(cert).toHex(':').toUpper());
    QCOMPARE(h.host.statusText, "証明書エラー（" + reason + "）");
    QCOMPARE(h.host.logLines, QStringList{"受信サーバ 127.0.0.1 の証明書を確認できません（" +
                                          reason + "） SHA-256 " + hex});
    QCOMPARE(refused.size(), 1);
    QCOMPARE(h.host.check().retries(), 1);
    // In the clear at most STLS, then only the handshake: no command, no secret.
    const QByteArray clear = security == Security::StartTls ? "STLS\r\n" : "";
    QCOMPARE(relay.fromClient.left(clear.size() + 1), clear + '\x16');
    for (const QByteArray word : {"USER", "PASS", "taro", "secret"})
        QVERIFY2(!relay.fromClient.contains(word), word.constData());
}

QTEST_GUILESS_MAIN(TestPop3Dovecot)
#include "tst_pop3dovecot.moc"
