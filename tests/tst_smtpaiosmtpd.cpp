// The notice against a real SMTP server: it arrives, and a mail library reads
// its subject and body as the Japanese texts; over STARTTLS and TLS with AUTH,
// and refused for certificates that fail.
#include "dialup/dialup.h"
#include "support/fakehost.h"
#include "support/smtp_aiosmtpd.h"
#include "support/tlscerts.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

class TestSmtpAiosmtpd : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void noticeArrives_data();
    void noticeArrives();
    void secureNoticeArrives_data();
    void secureNoticeArrives();
    void certificates();

  private:
    // Runs one check with its notice on port 25 to completion; returns the
    // final status.
    QString runDialogue(FakeHost &host);
    SmtpAiosmtpd server;
    int delivered = 0;
    TlsCerts certs;
    SmtpAiosmtpd submission; // STARTTLS on 587, AUTH required
    SmtpAiosmtpd smtps;      // TLS on 465, AUTH required
    int submitted = 0, smtpsDelivered = 0;
};

namespace {
using Security = ConnectionSettings::Security;
const QString Account = QStringLiteral("taro@example.jp");
const QString Password = QStringLiteral("pass～word");
// The next scheduled start sends the notice again, checking nothing.
bool sentAgain(FakeHost &host) {
    host.test = false;
    host.start();
    return host.noticeRunning() && host.waitDone(20000);
}
} // namespace

void TestSmtpAiosmtpd::initTestCase() {
    switch (server.start(25)) {
    case SmtpAiosmtpd::Start::Ready:
        break;
    case SmtpAiosmtpd::Start::PortUnavailable:
        QSKIP(
            qPrintable(QStringLiteral("port 25 not bindable (run inside scripts/run-tests.sh): ") +
                       server.errorText()));
    case SmtpAiosmtpd::Start::Failed:
        QFAIL(qPrintable(QStringLiteral("aiosmtpd did not start: ") + server.errorText()));
    }
    QVERIFY2(certs.make(), qPrintable(certs.error));
    const QStringList tls{"--cert", certs.certFile("good"),  "--key", certs.keyFile(),
                          "--auth", Account + ":" + Password};
    QCOMPARE(submission.start(587, tls), SmtpAiosmtpd::Start::Ready);
    QCOMPARE(smtps.start(465, tls + QStringList{"--implicit"}), SmtpAiosmtpd::Start::Ready);
}

QString TestSmtpAiosmtpd::runDialogue(FakeHost &host) {
    host.seamsValue.guardMs = 10000;
    host.settings.Trf_Flag = 1;
    host.settings.Smtp_Address = QStringLiteral("127.0.0.1");
    host.settings.Trf_IPAddress = QStringLiteral("keitai@example.ne.jp");
    // A settings test first finds an empty mailbox, a scheduled check three
    // new mails, on a POP3 peer that answers everything at once.
    QTcpServer pop;
    pop.listen(QHostAddress::LocalHost);
    host.seamsValue.popPort = pop.serverPort();
    const QByteArray replies =
        "+OK\r\n+OK\r\n+OK\r\n" +
        QByteArray(host.test ? "+OK 0\r\n" : "+OK 3\r\n.\r\n+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n");
    QObject::connect(&pop, &QTcpServer::newConnection, &pop,
                     [&pop, replies] { pop.nextPendingConnection()->write(replies); });
    host.start();
    host.waitDone(20000);
    return host.statusText;
}

void TestSmtpAiosmtpd::noticeArrives_data() {
    QTest::addColumn<bool>("test");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("mailFrom");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("body");

    QTest::newRow("notice of 3, no sender name")
        << false << QString() << QStringLiteral("　メッセージを転送しました")
        << QStringLiteral("quilmon7400@quilmon.invalid") << QStringLiteral("クイルモン７４００")
        << QStringLiteral("3通のメール着信あり。");
    QTest::newRow("settings test with sender name")
        << true << QStringLiteral("taro@example.jp") << QStringLiteral("　テスト終了、エラーなし")
        << QStringLiteral("taro@example.jp") << QStringLiteral("taro@example.jp")
        << QStringLiteral("TEST MAIL");
}

void TestSmtpAiosmtpd::noticeArrives() {
    QFETCH(bool, test);
    QFETCH(QString, sender);
    QFETCH(QString, status);
    QFETCH(QString, mailFrom);
    QFETCH(QString, from);
    QFETCH(QString, body);

    FakeHost host;
    host.test = test;
    host.settings.Smtp_mail_address = sender;
    QCOMPARE(runDialogue(host), status);
    QVERIFY(!host.check().running());

    const QJsonObject mail = server.message(++delivered);
    QVERIFY2(!mail.isEmpty(), "no message stored");
    QCOMPARE(mail.value(QStringLiteral("helo")).toString(), QStringLiteral("kkkk"));
    QCOMPARE(mail.value(QStringLiteral("mail_from")).toString(), mailFrom);
    QCOMPARE(mail.value(QStringLiteral("rcpt_tos")).toArray(),
             QJsonArray({QStringLiteral("keitai@example.ne.jp")}));
    QCOMPARE(mail.value(QStringLiteral("subject")).toString(),
             QStringLiteral("メール着信がありました"));
    QCOMPARE(mail.value(QStringLiteral("from")).toString(), from);
    QCOMPARE(mail.value(QStringLiteral("charset")).toString(), QStringLiteral("iso-2022-jp"));
    QCOMPARE(mail.value(QStringLiteral("body")).toString().trimmed(), body);
}

void TestSmtpAiosmtpd::secureNoticeArrives_data() {
    QTest::addColumn<Security>("security");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("status");
    QTest::newRow("STARTTLS") << Security::StartTls << QString() << "　メッセージを転送しました";
    QTest::newRow("TLS") << Security::Tls << QString() << "　メッセージを転送しました";
    QTest::newRow("STARTTLS, wrong password")
        << Security::StartTls << QStringLiteral("wrong") << "認証エラー";
    QTest::newRow("TLS, wrong password")
        << Security::Tls << QStringLiteral("wrong") << "認証エラー";
}

void TestSmtpAiosmtpd::secureNoticeArrives() {
    QFETCH(Security, security);
    QFETCH(QString, password);
    QFETCH(QString, status);
    FakeHost host;
    host.seamsValue.caFile = certs.caFile();
    host.settings.POP_UserID = Account; // the account stands in for the AUTH user
    host.settings.POP_PassWord = Password;
    ConnectionSettings &c = host.settings.connection;
    c.smtpSecurity = security; // the default ports: 587 and 465
    c.smtpAuth = true;
    c.smtpPassword = password;
    c.smtpFrom = Account;
    QCOMPARE(runDialogue(host), status);
    int &count = security == Security::Tls ? smtpsDelivered : submitted;
    const SmtpAiosmtpd &sink = security == Security::Tls ? smtps : submission;
    if (!password.isEmpty()) {
        QVERIFY(sentAgain(host));
        QVERIFY(host.logLines.last().contains("535 5.7.8"));
        QVERIFY(sink.message(count + 1, 300).isEmpty());
        return;
    }
    const QJsonObject mail = sink.message(++count);
    QVERIFY2(!mail.isEmpty(), "no message stored");
    QCOMPARE(mail.value("auth_login").toString(), Account);
    QCOMPARE(mail.value("helo").toString(), "example.jp");
    QCOMPARE(mail.value("mail_from").toString(), Account);
    QCOMPARE(mail.value("from").toString(), Account);
    QCOMPARE(mail.value("body").toString().trimmed(), "3通のメール着信あり。");
    QCOMPARE(mail.value("date").toString(), "Thu, 01 Jan 2026 12:00:00 +0900");
    QVERIFY(QRegularExpression("^<[0-9a-f.]+@example\\.jp>$")
                .match(mail.value("message_id").toString())
                .hasMatch());
}

void TestSmtpAiosmtpd::certificates() {
    // Each refused before any secret leaves; the unknown one then accepted
    // by its fingerprint, exactly.
    struct Case {
        QString cert, reason;
    };
    const QList<Case> cases{
        {"otherhost", "ホスト名不一致"}, {"expired", "期限切れ"}, {"unknown", "発行者不明"}};
    quint16 port = 2465;
    for (const Case &k : cases) {
        SmtpAiosmtpd peer;
        QCOMPARE(peer.start(++port, {"--cert", certs.certFile(k.cert), "--key", certs.keyFile(),
                                     "--implicit", "--auth", Account + ":" + Password}),
                 SmtpAiosmtpd::Start::Ready);
        const QString hex = QString::fromLatin1(certs.fingerprint(k.cert).toHex(':').toUpper());
        const QStringList tries =
            k.cert == "unknown" ? QStringList{QString(), hex} : QStringList{QString()};
        for (const QString &accepted : tries) {
            FakeHost host;
            host.seamsValue.caFile = certs.caFile();
            host.settings.connection.smtpSecurity = Security::Tls;
            host.settings.connection.smtpPort = port;
            host.settings.connection.smtpAuth = true;
            host.settings.connection.smtpUser = Account;
            host.settings.connection.smtpPassword = Password;
            host.settings.connection.smtpAccepted = {QStringLiteral("127.0.0.1"), port, accepted};
            QSignalSpy refused(&host.check(), &MailCheck::certificateRefused);
            const QString status = runDialogue(host);
            if (accepted.isEmpty()) {
                QCOMPARE(status, "証明書エラー（" + k.reason + "）");
                QCOMPARE(host.logLines.last(), "送信サーバ 127.0.0.1 の証明書を確認できません（" +
                                                   k.reason + "） SHA-256 " + hex);
                QCOMPARE(refused.size(), 1);
                const auto r = refused[0][1].value<RefusedCertificate>();
                QCOMPARE(refused[0][0], true);
                QCOMPARE((QStringList{r.fingerprintHex, r.reason}), (QStringList{hex, k.reason}));
                QVERIFY(sentAgain(host));
                QVERIFY(peer.message(1, 200).isEmpty());
            } else {
                QCOMPARE(status, "　メッセージを転送しました");
                QCOMPARE(peer.message(1).value("auth_login").toString(), Account);
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestSmtpAiosmtpd)
#include "tst_smtpaiosmtpd.moc"
