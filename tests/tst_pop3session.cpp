// Form1 against a scripted server, run by a real check: the test plays the
// server line by line and checks the client's exact bytes after each step, and
// what the check makes of the session's end.
#include "dialup/dialup.h"
#include "support/pop3_harness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

struct Dialogue : Pop3Harness {
    QTcpServer server;
    QTcpServer notice; // takes the notice's connection and never answers
    QTcpSocket *peer = nullptr;
    QByteArray received;

    Dialogue() {
        server.listen(QHostAddress::LocalHost);
        notice.listen(QHostAddress::LocalHost);
        host.seamsValue.popPort = server.serverPort();
        host.seamsValue.smtpPort = notice.serverPort();
        host.settings.Smtp_Address = QStringLiteral("127.0.0.1");
        host.settings.Trf_IPAddress = QStringLiteral("keitai@example.ne.jp");
    }
    void forwarding(bool on) { host.settings.Trf_Flag = on ? 1 : 0; }
    MailCheck &check() { return host.check(); }
    qint16 dupEnd() { return check().dialUp()->dupEndFlag(); }
    // Waits until the POP3 session is over; a notice may still run after it.
    bool waitPop3(int ms = 10000) {
        return QTest::qWaitFor([this] { return !host.pop3Running(); }, ms);
    }
    // The notice mail has started: its session runs and has connected.
    bool noticeStarted() {
        return host.noticeRunning() &&
               QTest::qWaitFor([this] { return notice.hasPendingConnections(); }, 5000);
    }
    // Loads Form1 and takes its connection; USER waits for the greeting.
    bool start() {
        load();
        if (!QTest::qWaitFor([this] { return server.hasPendingConnections(); }, 5000)) return false;
        peer = server.nextPendingConnection();
        return true;
    }
    // The client's next bytes must be exactly these.
    bool expect(const QByteArray &bytes) {
        const bool arrived = QTest::qWaitFor(
            [&] {
                received += peer->readAll();
                return received.size() >= bytes.size();
            },
            5000);
        const QByteArray got = arrived ? received.left(bytes.size()) : received;
        received.remove(0, bytes.size());
        if (got != bytes) qWarning() << "expected" << bytes << "got" << got;
        return got == bytes;
    }
    void send(const QByteArray &bytes) {
        peer->write(bytes);
        peer->flush();
    }
    // Logs in and answers LIST; leaves the dialogue waiting for the UIDL status.
    bool toUidl(const QByteArray &listReply = "+OK 2 20\r\n1 10\r\n2 10\r\n.\r\n") {
        if (!start() || !nothingMore()) return false; // not a word before the greeting
        send("+OK ready\r\n+OK\r\n");                 // the greeting together with the USER reply
        if (!expect("USER taro\r\nPASS secret\r\n")) return false;
        send("+OK\r\n");
        if (!expect("LIST \r\n")) return false;
        send(listReply);
        return expect("UIDL\r\n");
    }
    bool nothingMore() {
        QTest::qWait(50);
        received += peer->readAll();
        return received.isEmpty();
    }
    QByteArray store() const {
        QFile f(storePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
    }
};

const QByteArray TwoUids = "+OK\r\n1 aa\r\n2 bb\r\n.\r\n";
const QByteArray TwoStored = "3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n";

} // namespace

class TestPop3Session : public QObject {
    Q_OBJECT
  private slots:
    void newMailScheduled();
    void splitAtEveryByte();
    void refusals_data();
    void refusals();
    void emptyMailbox_data();
    void emptyMailbox();
    void guards();
    void remoteClose();
    void listCountText_data();
    void listCountText();
    void notification_data();
    void notification();
    void resendOnStart();
    void storeNotWritable();
    void longMailbox();
    void secureRefusals();
};

void TestPop3Session::newMailScheduled() {
    Dialogue d;
    d.check().New_mail_number2 = 32760;
    d.check().Retry_Flag = 1;
    QVERIFY(d.toUidl("+OK 12 3456\r\n1 10\r\n2 10\r\n.\r\n"));
    QVERIFY(d.host.statusHistory.contains("12通のメールがあります"));
    QCOMPARE(d.host.statusText, "メールチェック中");
    d.send(TwoUids);
    QVERIFY(d.waitDone());
    QCOMPARE(d.store(), TwoStored);
    QCOMPARE(d.check().New_mail_number, 12);     // no store yet: LIST's count
    QCOMPARE(d.check().New_mail_number2, 32767); // stops at the top
    QCOMPARE(d.host.popupLabel, "32767通の新着メールがあります");
    QCOMPARE(d.host.logLines, QStringList{"12通の新着メールがあります"});
    QCOMPARE(d.host.statusHistory.mid(d.host.statusHistory.size() - 2),
             (QStringList{"12通の新着メールがあります", "テスト終了､エラーなし"}));
    QVERIFY(d.host.popupShown);
    QCOMPARE(d.check().Retry_Flag, 0);
    QCOMPARE(d.dupEnd(), 1);
    QCOMPARE(d.host.finishedCount, 1); // over while the popup waits
    QVERIFY(d.nothingMore());          // no QUIT
    QTRY_COMPARE(d.peer->state(), QAbstractSocket::UnconnectedState);
}

void TestPop3Session::splitAtEveryByte() {
    // The whole server side as one stream, cut once at every position:
    // lines, the "." line and a two-byte character may all be split.
    const QByteArray list = "+OK 1\r\n1 5\r\n.\r\n";
    const QByteArray uidl = "+OK\r\n1 \x82\xa0z\r\n.\r\n";
    for (int cut = 1; cut < list.size() + uidl.size(); ++cut) {
        Dialogue d;
        QVERIFY(d.start());
        d.send("+OK\r\n+OK\r\n");
        QVERIFY(d.expect("USER taro\r\nPASS secret\r\n"));
        d.send("+OK\r\n");
        QVERIFY(d.expect("LIST \r\n"));
        const QByteArray rest = list + uidl;
        d.send(rest.left(cut));
        QTest::qWait(5);
        if (cut < list.size()) d.send(list.mid(cut));
        QVERIFY(d.expect("UIDL\r\n"));
        d.send(rest.mid(qMax(cut, int(list.size()))));
        QVERIFY2(d.waitDone(), qPrintable(QString::number(cut)));
        QCOMPARE(d.store(), QByteArray("2\r\n\"\"\r\n\"\x82\xa0z\"\r\n"));
        QCOMPARE(d.check().New_mail_number, 1);
    }
}

void TestPop3Session::refusals_data() {
    QTest::addColumn<int>("step"); // replies that pass before the refusal
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("log");
    QTest::newRow("greeting") << 0 << QByteArray("-ERR no\r\n") << "ユーザＩＤが違います"
                              << "受信サーバのユーザＩＤが違います";
    QTest::newRow("USER") << 1 << QByteArray("-ERR\r\n") << "受信サーバエラー"
                          << "POP3サーバエラー";
    QTest::newRow("PASS") << 2 << QByteArray("-ERR\r\n") << "パスワードが違います"
                          << "受信サーバのパスワードが違います";
    QTest::newRow("UIDL") << 4 << QByteArray("-ERR\r\n") << "メールチェック失敗"
                          << "メールチェック失敗（UIDLが拒否されました）";
    QTest::newRow("long greeting") << 0 << QByteArray(1001, '+') + "\r\n"
                                   << "ユーザＩＤが違います"
                                   << "受信サーバのユーザＩＤが違います";
    QTest::newRow("endless greeting") << 0 << QByteArray(3000, '+') << "ユーザＩＤが違います"
                                      << "受信サーバのユーザＩＤが違います";
    QTest::newRow("malformed listing")
        << 5 << QByteArray("1 aa\r\n2bb\r\n.\r\n") << "受信データ異常"
        << "受信データ異常";
    QTest::newRow("long listing line") << 5 << "1 " + QByteArray(999, 'u') + "\r\n.\r\n"
                                       << "受信データ異常"
                                       << "受信データ異常";
}

void TestPop3Session::refusals() {
    QFETCH(int, step);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    QFETCH(QString, log);
    Dialogue d;
    d.forwarding(true); // a failed check sends no notice either
    // The store must stay as it is.
    {
        QFile f(d.storePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(TwoStored);
    }
    d.check().Retry_Flag = 1;
    QVERIFY(d.start());
    const QList<QByteArray> ok{"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2\r\n1 1\r\n2 1\r\n.\r\n",
                               "+OK\r\n"};
    for (int i = 0; i < step; ++i)
        d.send(ok[i]);
    d.send(reply);
    QVERIFY(d.waitDone());
    QCOMPARE(d.host.statusText, status);
    QCOMPARE(d.host.logLines, log.isEmpty() ? QStringList() : QStringList{log});
    QCOMPARE(d.check().Retry_Flag, 2);
    QCOMPARE(d.dupEnd(), 1);
    QVERIFY(!d.host.popupShown);
    QCOMPARE(d.host.finishedCount, 1);
    QVERIFY(!d.notice.hasPendingConnections());
    QCOMPARE(d.store(), TwoStored);
}

void TestPop3Session::emptyMailbox_data() {
    QTest::addColumn<bool>("test");
    QTest::addColumn<bool>("forwarding");
    QTest::addColumn<QString>("log");
    QTest::newRow("scheduled") << false << true << "０通の新着メールがあります";
    QTest::newRow("test, forwarding") << true << true << "";
    QTest::newRow("test, popup") << true << false << "テスト終了、エラーなし";
}

void TestPop3Session::emptyMailbox() {
    QFETCH(bool, test);
    QFETCH(bool, forwarding);
    QFETCH(QString, log);
    Dialogue d;
    d.forwarding(forwarding);
    d.host.test = test;
    d.check().Retry_Flag = 1;
    {
        QFile f(d.storePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(TwoStored);
    }
    QVERIFY(d.start());
    d.send("+OK\r\n+OK\r\n");
    QVERIFY(d.expect("USER taro\r\nPASS secret\r\n"));
    d.send("+OK\r\n");
    QVERIFY(d.expect("LIST \r\n"));
    d.send("+OK 0 0\r\n");
    QVERIFY(d.waitPop3());
    QCOMPARE(d.store(), QByteArray());
    QVERIFY(d.host.statusHistory.contains("メールがありません"));
    QCOMPARE(d.host.logLines, log.isEmpty() ? QStringList() : QStringList{log});
    QCOMPARE(d.check().Retry_Flag, 0);
    const bool notice = forwarding && test; // "TEST MAIL" goes out
    QCOMPARE(d.host.noticeRunning(), notice);
    if (notice) QVERIFY(d.noticeStarted());
    QCOMPARE(d.dupEnd(), notice ? 0 : 1);
    QCOMPARE(d.host.popupShown, !forwarding);
    QCOMPARE(d.host.runEnabled, !forwarding);
    QVERIFY(d.host.testEnabled);
    QVERIFY(d.nothingMore());
}

void TestPop3Session::guards() {
    // Silent server: the reply guard ends it.
    Dialogue d;
    d.host.seamsValue.guardMs = 300;
    QVERIFY(d.start());
    d.send("+OK\r\n");
    QTest::qWait(200);
    d.send("+OK\r\n"); // a complete line restarts the guard
    QVERIFY(d.expect("USER taro\r\nPASS secret\r\n"));
    QTest::qWait(200);
    QVERIFY(d.host.pop3Running());
    QVERIFY(d.waitDone());
    QCOMPARE(d.host.statusText, "受信タイムアウト");
    QCOMPARE(d.host.logLines, QStringList{"受信タイムアウト"});
    QCOMPARE(d.check().Retry_Flag, 1);
    QCOMPARE(d.dupEnd(), 1);

    // Nobody listening: the error does nothing, the connect guard ends it.
    Pop3Harness h;
    h.host.seamsValue.guardMs = 300;
    h.host.seamsValue.popPort = d.host.seamsValue.popPort;
    d.server.close();
    h.load();
    QCOMPARE(h.host.statusText, "接続中");
    QVERIFY(h.waitDone());
    QCOMPARE(h.host.statusText, "受信タイムアウト");
    QCOMPARE(h.host.check().Retry_Flag, 1);
}

void TestPop3Session::remoteClose() {
    Dialogue d;
    d.host.seamsValue.guardMs = 500;
    QVERIFY(d.start());
    d.send("+OK\r\n");
    d.peer->disconnectFromHost();
    QTRY_COMPARE(d.host.statusText, "未接続");
    QCOMPARE(d.host.statusHistory.mid(d.host.statusHistory.size() - 2),
             (QStringList{"切断中", "未接続"}));
    QVERIFY(d.waitDone());
    QCOMPARE(d.host.statusText, "受信タイムアウト");
}

void TestPop3Session::listCountText_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<int>("count"); // New_mail_number with an unreadable store
    QTest::addColumn<QString>("status");
    QTest::newRow("no count") << QByteArray("+OK") << 3 << "3通のメールがあります";
    QTest::newRow("words") << QByteArray("+OK POP3 clients that break here") << 3
                           << "3通のメールがあります";
    QTest::newRow("negative") << QByteArray("+OK -3") << 0 << "-3通のメールがあります";
    QTest::newRow("huge") << QByteArray("+OK 99999 1") << 32767 << "99999通のメールがあります";
}

void TestPop3Session::listCountText() {
    QFETCH(QByteArray, first);
    QFETCH(int, count);
    QFETCH(QString, status);
    Dialogue d;
    QVERIFY(d.toUidl(first + "\r\n1 1\r\n2 1\r\n3 1\r\n.\r\n"));
    QVERIFY(d.host.statusHistory.contains(status));
    d.send("+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n");
    QVERIFY(d.waitDone());
    QCOMPARE(d.check().New_mail_number, count);
}

void TestPop3Session::notification_data() {
    QTest::addColumn<bool>("test");
    QTest::addColumn<bool>("forwarding");
    QTest::addColumn<bool>("newMail");
    QTest::addColumn<bool>("saves");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("log");
    const QString two = "2通の新着メールがあります", zero = "0通の新着メールがあります";
    const QString done = "テスト終了、エラーなし", label = "テストが終了しました";
    QTest::newRow("scheduled forwarding")
        << false << true << true << true << "7" + two.mid(1) << QStringList{two};
    QTest::newRow("scheduled, none")
        << false << false << false << true << "5" + zero.mid(1) << QStringList{zero};
    QTest::newRow("test forwarding")
        << true << true << true << true << "7" + two.mid(1) << QStringList{two};
    QTest::newRow("test forwarding, none")
        << true << true << false << true << "5" + zero.mid(1) << QStringList{zero};
    QTest::newRow("test popup") << true << false << true << true << label << QStringList{two, done};
    QTest::newRow("test popup, none")
        << true << false << false << true << label << QStringList{zero, done};
    QTest::newRow("test popup, not saved")
        << true << false << true << false << label << QStringList{two, done};
    QTest::newRow("test popup, none, not saved")
        << true << false << false << false << label << QStringList{zero, done};
}

void TestPop3Session::notification() {
    QFETCH(bool, test);
    QFETCH(bool, forwarding);
    QFETCH(bool, newMail);
    QFETCH(bool, saves);
    QFETCH(QString, label);
    QFETCH(QStringList, log);
    Dialogue d;
    d.forwarding(forwarding);
    d.host.test = test;
    d.host.saveSucceeds = saves;
    d.check().New_mail_number2 = 5;
    d.check().Retry_Flag = 1;
    if (!newMail) QVERIFY(WriteUidStore(d.storePath(), {"bb", "aa", "old"}));
    QVERIFY(d.toUidl());
    d.send(TwoUids);
    QVERIFY(d.waitPop3());
    const QStringList last = d.host.statusHistory.mid(d.host.statusHistory.size() - 2);
    const bool notice = forwarding && (newMail || test);
    QCOMPARE(d.host.noticeRunning(), notice);
    if (notice) QVERIFY(d.noticeStarted());
    QCOMPARE(d.host.popupShown, !forwarding && (newMail || test));
    QCOMPARE(d.host.popupLabel, label);
    QCOMPARE(d.host.logLines, log);
    QCOMPARE(d.host.saves, !forwarding && test ? 1 : 0);
    const bool buttons = !forwarding && test && saves;
    QCOMPARE(d.host.runEnabled, buttons);
    QCOMPARE(d.host.testEnabled, !buttons);
    QCOMPARE(d.dupEnd(), notice ? 0 : 1);
    QCOMPARE(d.check().Retry_Flag, 0);
    const bool popupPath = !forwarding && (newMail || test);
    if (notice)
        QCOMPARE(last, (QStringList{log.first(), "接続中"}));
    else
        QCOMPARE(last.last(), popupPath ? QString("テスト終了､エラーなし") : log.first());
    QCOMPARE(d.store(), TwoStored);
}

void TestPop3Session::resendOnStart() {
    // A scheduled start after a failed notice re-sends it and checks nothing.
    Dialogue d;
    d.forwarding(true);
    d.check().TX_flg = 1;
    d.load();
    QVERIFY(d.noticeStarted());
    QCOMPARE(d.check().TX_flg, 0);
    QVERIFY(!d.host.pop3Running());
    QTest::qWait(50);
    QVERIFY(!d.server.hasPendingConnections());

    // A settings test clears the flag and checks.
    Dialogue t;
    t.forwarding(true);
    t.check().TX_flg = 1;
    t.host.test = true;
    QVERIFY(t.start());
    QVERIFY(!t.host.noticeRunning());
    QCOMPARE(t.check().TX_flg, 0);
}

void TestPop3Session::storeNotWritable() {
    Dialogue d;
    QVERIFY(QDir(d.host.dir.path()).mkdir("quilmon.dat"));
    d.check().New_mail_number = 9;
    QVERIFY(d.toUidl());
    d.send(TwoUids);
    QVERIFY(d.waitDone());
    QCOMPARE(d.host.statusText, "メールチェック失敗");
    QCOMPARE(d.check().Retry_Flag, 1);
    QCOMPARE(d.dupEnd(), 1);
    QVERIFY(!d.host.popupShown);
    QCOMPARE(d.host.logLines,
             QStringList{"メールチェック失敗（既読IDファイル quilmon.dat を保存できません）"});
}

void TestPop3Session::longMailbox() {
    // Numbers of 1000 and more, and a user name with a line break.
    QByteArray listing = "+OK\r\n";
    UidList uids;
    for (int i = 1; i <= 1500; ++i) {
        uids.append("m" + QByteArray::number(i));
        listing += QByteArray::number(i) + " " + uids.last() + "\r\n";
    }
    Dialogue d;
    QVERIFY(WriteUidStore(d.storePath(), uids.mid(0, 1400)));
    QVERIFY(d.toUidl());
    d.send(listing + ".\r\n");
    QVERIFY(d.waitDone());
    QCOMPARE(d.check().New_mail_number, 100);
    QCOMPARE(ReadUidStore(d.storePath()), std::optional<UidList>(uids));

    for (const QString &user : {QString("taro\r\nDELE 1"), QString("a\nb"), QString(u"a\0b"_qs)}) {
        Dialogue u;
        u.host.settings.POP_UserID = user;
        u.load();
        QVERIFY(u.waitDone());
        QCOMPARE(u.host.statusText, "受信サーバエラー");
        QVERIFY(u.received.isEmpty());
    }
    Dialogue p;
    p.host.settings.POP_PassWord = "x\r\nDELE 1";
    QVERIFY(p.start());
    p.send("+OK\r\n+OK\r\n");
    QVERIFY(p.waitDone());
    QCOMPARE(p.host.statusText, "パスワードが違います");
    QVERIFY(p.expect("USER taro\r\n") && p.nothingMore());
}

void TestPop3Session::secureRefusals() {
    // STLS refused: the check fails, nothing more is said in the clear.
    Dialogue d;
    d.host.settings.connection.popSecurity = ConnectionSettings::Security::StartTls;
    d.host.settings.connection.popPort = d.server.serverPort();
    QVERIFY(d.start());
    QVERIFY(d.nothingMore());
    d.send("+OK ready\r\n");
    QVERIFY(d.expect("STLS\r\n"));
    d.send("-ERR unknown command\r\n");
    QVERIFY(d.waitDone());
    QCOMPARE(d.host.statusText, "STLS拒否");
    QCOMPARE(d.host.logLines,
             QStringList{"受信サーバ 127.0.0.1 がSTLSを受け付けません（-ERR unknown command）"});
    QCOMPARE(d.check().Retry_Flag, 1);
    QVERIFY(d.nothingMore());

    // TLS from the first byte against a server that speaks plain POP3.
    Dialogue t;
    t.host.settings.connection.popSecurity = ConnectionSettings::Security::Tls;
    t.host.settings.connection.popPort = t.server.serverPort();
    QVERIFY(t.start());
    t.send("+OK ready\r\n");
    QVERIFY(t.waitDone());
    QCOMPARE(t.host.statusText, "SSL/TLS接続エラー");
    QCOMPARE(t.host.logLines.size(), 1);
    QVERIFY(t.host.logLines[0].startsWith("受信サーバ 127.0.0.1 とのSSL/TLS接続に失敗しました（"));
    QCOMPARE(t.check().Retry_Flag, 1);
    t.received += t.peer->readAll();
    QVERIFY(!t.received.contains("USER") && !t.received.contains("secret"));

    // A secure port nobody listens on is told at once, not by the guard.
    FakeHost refused;
    QTcpServer gone;
    QVERIFY(gone.listen(QHostAddress::LocalHost));
    refused.settings.connection.popSecurity = ConnectionSettings::Security::Tls;
    refused.settings.connection.popPort = gone.serverPort();
    gone.close();
    QElapsedTimer clock;
    clock.start();
    refused.start();
    QVERIFY(refused.waitDone(5000));
    QVERIFY(clock.elapsed() < refused.seamsValue.guardMs);
    QCOMPARE(refused.statusText, "受信サーバに接続できません");
    QCOMPARE(refused.logLines,
             QStringList{QStringLiteral("受信サーバ 127.0.0.1 のポート %1 に接続できません")
                             .arg(refused.settings.connection.popPort)});
    QCOMPARE(refused.check().Retry_Flag, 1);
}

QTEST_GUILESS_MAIN(TestPop3Session)
#include "tst_pop3session.moc"
