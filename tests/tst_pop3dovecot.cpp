// Checks against a real Dovecot: what a mailbox over several checks looks like.
#include "support/pop3_dovecot.h"
#include "support/pop3_harness.h"

#include <QTest>

class TestPop3Dovecot : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void checksOverTime();
    void wrongPassword();

  private:
    bool check(Pop3Harness &h);
    Pop3Dovecot m_server;
};

void TestPop3Dovecot::initTestCase() {
    const QString reason = m_server.skipReason();
    if (!reason.isEmpty()) QSKIP(qPrintable(reason));
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
    QCOMPARE(h.host.check().New_mail_number, 1205);
    QCOMPARE(h.host.logLines, QStringList{"1205通の新着メールがあります"});
    const std::optional<UidList> stored = ReadUidStore(h.storePath());
    QVERIFY(stored && stored->size() == 1205);

    QVERIFY(check(h));
    QCOMPARE(h.host.check().New_mail_number, 0);
    QCOMPARE(ReadUidStore(h.storePath()), stored); // UIDs stay the same

    QVERIFY(m_server.removeMessage(first[0]) && m_server.removeMessage(first[700]));
    m_server.addMessages(3);
    QVERIFY(check(h));
    QCOMPARE(h.host.check().New_mail_number, 3);
    const std::optional<UidList> now = ReadUidStore(h.storePath());
    QVERIFY(now && now->size() == 1206);
    QVERIFY(!now->contains(stored->at(0)) && !now->contains(stored->at(700)));

    // The deleted ones are forgotten, not counted again or kept.
    QVERIFY(check(h));
    QCOMPARE(h.host.check().New_mail_number, 0);
    QCOMPARE(h.host.check().Retry_Flag, 0);
}

void TestPop3Dovecot::wrongPassword() {
    Pop3Harness h;
    h.host.settings.POP_UserID = m_server.user;
    h.host.settings.POP_PassWord = QStringLiteral("wrong");
    h.load();
    QVERIFY(h.waitDone(60000));
    QCOMPARE(h.host.statusText, "パスワードが違います");
    QCOMPARE(h.host.check().Retry_Flag, 1);
}

QTEST_GUILESS_MAIN(TestPop3Dovecot)
#include "tst_pop3dovecot.moc"
