// The notice against a real SMTP server: it arrives, and a mail library reads
// its subject and body as the Japanese texts.
#include "dialup/dialup.h"
#include "support/fakehost.h"
#include "support/smtp_aiosmtpd.h"

#include <QJsonArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

class TestSmtpAiosmtpd : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void noticeArrives_data();
    void noticeArrives();

  private:
    // Runs one check with its notice on port 25 to completion; returns the
    // final status.
    QString runDialogue(FakeHost &host);
    SmtpAiosmtpd server;
    int delivered = 0;
};

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
}

QString TestSmtpAiosmtpd::runDialogue(FakeHost &host) {
    host.seamsValue.guardMs = 10000;
    host.settings.Trf_Flag = 1;
    host.settings.Smtp_Address = QStringLiteral("127.0.0.1");
    host.settings.Trf_IPAddress = QStringLiteral("keitai@example.ne.jp");
    // A settings test first finds an empty mailbox; a scheduled check after
    // a notice that did not go out sends it again at once, without POP3.
    QTcpServer pop;
    if (host.test) {
        pop.listen(QHostAddress::LocalHost);
        host.seamsValue.popPort = pop.serverPort();
        QObject::connect(&pop, &QTcpServer::newConnection, &pop, [&pop] {
            pop.nextPendingConnection()->write("+OK\r\n+OK\r\n+OK\r\n+OK 0\r\n");
        });
    } else {
        host.check().TX_flg = 1;
    }
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
    host.check().New_mail_number = 3;
    host.settings.Smtp_mail_address = sender;
    QCOMPARE(runDialogue(host), status);
    QCOMPARE(host.check().TX_flg, qint16(0));
    QCOMPARE(host.check().dialUp()->Dup_End_Flag, qint16(1));

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

QTEST_GUILESS_MAIN(TestSmtpAiosmtpd)
#include "tst_smtpaiosmtpd.moc"
