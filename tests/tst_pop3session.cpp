// Form1 in a real check, over an in-memory link: the test plays the server,
// compares the client's exact bytes, and sees what the check made of it
// (status line, log, seen-id store, popup, notice).
#include "support/fakehost.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const QByteArray Login = "+OK ready\r\n+OK\r\n+OK\r\n"; // greeting, USER, PASS
const QByteArray Asked = "USER taro\r\nPASS secret\r\nLIST \r\n";
const QByteArray TwoListed = "+OK 2 20\r\n1 10\r\n2 10\r\n.\r\n";
const QByteArray TwoUids = "+OK\r\n1 aa\r\n2 bb\r\n.\r\n";
const QByteArray TwoStored = "3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n";

const QByteArray Token1 = R"({"access_token":"at1","expires_in":3600})";
// XOAUTH2 for taro with at1, and OAUTHBEARER to 127.0.0.1:995.
const QByteArray Xoauth2 = "AUTH XOAUTH2 dXNlcj10YXJvAWF1dGg9QmVhcmVyIGF0MQEB\r\n";
const QByteArray Capa = "+OK ready\r\n+OK\r\nSASL PLAIN XOAUTH2\r\n.\r\n";
const QByteArray Refusal =
    "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0=\r\n-ERR [AUTH] no\r\n";

struct Dialogue {
    FakeHost host;

    explicit Dialogue(bool forwarding = false) {
        host.inMemory();
        host.settings.Trf_Flag = forwarding ? 1 : 0;
        host.settings.Smtp_Address = QStringLiteral("127.0.0.1");
        host.settings.Trf_IPAddress = QStringLiteral("keitai@example.ne.jp");
    }
    MailCheck &check() { return host.check(); }
    // Starts a check and lets the server take its connection.
    MemoryLink &start() {
        host.start();
        host.link()->accept();
        return *host.link();
    }
    // A whole POP3 session, the server's bytes in one arrival; the client's bytes.
    QByteArray run(const QByteArray &server) {
        MemoryLink &l = start();
        l.reply(server);
        return l.written;
    }
    void putStore(const QByteArray &bytes) {
        QFile f(host.storePath());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    QByteArray store() const {
        QFile f(host.storePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
    }
};

} // namespace

class TestPop3Session : public QObject {
    Q_OBJECT
  private slots:
    void dialogue_data();
    void dialogue();
    void splitAtEveryByte();
    void totalsAndRetry();
    void listCountText_data();
    void listCountText();
    void emptyMailbox_data();
    void emptyMailbox();
    void notification_data();
    void notification();
    void guardsAndClose();
    void resendOnStart();
    void storeNotWritable();
    void longMailbox();
    void secure();
    void oauth_data();
    void oauth();
    void oauthTokens();
};

void TestPop3Session::dialogue_data() {
    // "stls", "user=…", "pass=…", "top", "top,close"; "tls", "port=…", "clear": a
    // plain server's text refused the handshake; "noname": no such server name
    QTest::addColumn<QString>("knob");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("client");
    QTest::addColumn<QString>("status"); // the last status text
    QTest::addColumn<QString>("log");    // the one log line
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<QStringList>("told"); // the notification's lines
    const QByteArray uidl = Asked + "UIDL\r\n";
    const QString idWrong = "ユーザＩＤが違います", idWrongLog = "受信サーバのユーザＩＤが違います";
    const QString bad = "受信データ異常";
    QTest::newRow("nothing new") << "" << Login + TwoListed + TwoUids << uidl
                                 << "0通の新着メールがあります"
                                 << "0通の新着メールがあります" << TwoStored << QStringList();
    // A notice is under way: its connection is the status line's last word.
    QTest::newRow("new mail") << "" << Login + TwoListed + "+OK\r\n1 aa\r\n2 c\"c\r\n.\r\n"
                              << uidl << "接続中"
                              << "1通の新着メールがあります"
                              << QByteArray("3\r\n\"\"\r\n\"aa\"\r\n\"c\"\"c\"\r\n")
                              << QStringList();
    QTest::newRow("empty mailbox") << "" << Login + "+OK 0 0\r\n"
                                   << Asked << "メールがありません"
                                   << "０通の新着メールがあります" << QByteArray() << QStringList();
    // Failures: the store stays, no notice, one failure counted.
    QTest::newRow("greeting refused") << "" << QByteArray("-ERR no\r\n") << QByteArray() << idWrong
                                      << idWrongLog << TwoStored << QStringList();
    QTest::newRow("USER refused") << "" << QByteArray("+OK\r\n-ERR\r\n")
                                  << QByteArray("USER taro\r\n") << "受信サーバエラー"
                                  << "POP3サーバエラー" << TwoStored << QStringList();
    QTest::newRow("PASS refused") << "" << QByteArray("+OK\r\n+OK\r\n-ERR\r\n")
                                  << QByteArray("USER taro\r\nPASS secret\r\n")
                                  << "パスワードが違います"
                                  << "受信サーバのパスワードが違います" << TwoStored
                                  << QStringList();
    QTest::newRow("UIDL refused") << "" << Login + TwoListed + "-ERR\r\n"
                                  << uidl << "メールチェック失敗"
                                  << "メールチェック失敗（UIDLが拒否されました）" << TwoStored
                                  << QStringList();
    QTest::newRow("long greeting")
        << "" << QByteArray(1001, '+') + "\r\n"
        << QByteArray() << idWrong << idWrongLog << TwoStored << QStringList();
    QTest::newRow("endless greeting") << "" << QByteArray(3000, '+') << QByteArray() << idWrong
                                      << idWrongLog << TwoStored << QStringList();
    QTest::newRow("malformed listing") << "" << Login + TwoListed + "+OK\r\n1 aa\r\n2bb\r\n.\r\n"
                                       << uidl << bad << bad << TwoStored << QStringList();
    QTest::newRow("long listing line")
        << "" << Login + TwoListed + "+OK\r\n1 " + QByteArray(999, 'u') + "\r\n.\r\n"
        << uidl << bad << bad << TwoStored << QStringList();
    // Nothing more in the clear after a refused STLS.
    QTest::newRow("STLS refused")
        << "stls" << QByteArray("+OK ready\r\n-ERR unknown command\r\n") << QByteArray("STLS\r\n")
        << "STLS拒否"
        << "受信サーバ 127.0.0.1 がSTLSを受け付けません（-ERR unknown command）" << TwoStored
        << QStringList();
    // Said at once and as what the user can fix: the name, or the security
    // the port speaks (STLS on 995 hears no greeting, only the guard ends it).
    QTest::newRow("no such server name")
        << "noname" << QByteArray() << QByteArray() << "受信サーバ名 127.0.0.1 が見つかりません"
        << "受信サーバ名 127.0.0.1 が見つかりません" << TwoStored << QStringList();
    const QString tlsPort = "ポート995はSSL/TLS用です",
                  tlsPortLog = "受信サーバ 127.0.0.1 のポート 995 はSSL/TLS用です"
                               "（接続設定の暗号化で「SSL/TLS」を選んでください）";
    QTest::newRow("STLS on 995, no greeting")
        << "stls,port=995" << QByteArray() << QByteArray() << tlsPort << tlsPortLog << TwoStored
        << QStringList();
    QTest::newRow("plain on 995, a TLS alert")
        << "port=995" << QByteArray("\x15\x03\x01\x00\x02\x02\x32") << QByteArray() << tlsPort
        << tlsPortLog << TwoStored << QStringList();
    QTest::newRow("SSL/TLS on 110, a plain greeting")
        << "tls,port=110,clear" << QByteArray() << QByteArray()
        << "このポートはSSL/TLSではありません"
        << "受信サーバ 127.0.0.1 のポート 110 はSSL/TLSではありません"
           "（接続設定の暗号化で「STLS」か「なし」を選んでください）"
        << TwoStored << QStringList();
    // A line break or NUL in the account never reaches the wire.
    for (const char *user : {"user=taro\r\nDELE 1", "user=a\nb"})
        QTest::newRow(QByteArray(user).contains('\r') ? "user CR LF" : "user LF")
            << user << Login << QByteArray() << "受信サーバエラー"
            << "POP3サーバエラー" << TwoStored << QStringList();
    QTest::newRow("user NUL") << QStringLiteral("user=a") + QChar(0) << Login << QByteArray()
                              << "受信サーバエラー"
                              << "POP3サーバエラー" << TwoStored << QStringList();
    QTest::newRow("password CR LF")
        << "pass=x\r\nDELE 1" << Login << QByteArray("USER taro\r\n") << "パスワードが違います"
        << "受信サーバのパスワードが違います" << TwoStored << QStringList();
    // Headers of the newest new mail (TOP n 0), here with 6 of 8 new: at
    // most five are read, newest first, and the rest is counted.
    const QByteArray eight = "+OK 8 80\r\n.\r\n+OK\r\n1 aa\r\n2 bb\r\n3 c3\r\n4 c4\r\n5 c5\r\n"
                             "6 c6\r\n7 c7\r\n8 c8\r\n.\r\n";
    const QByteArray eightStore = "9\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n\"c3\"\r\n\"c4\"\r\n\"c5\"\r\n"
                                  "\"c6\"\r\n\"c7\"\r\n\"c8\"\r\n";
    QByteArray fiveHeaders, fiveTops;
    QStringList fiveTold;
    for (int n = 8; n >= 4; --n) {
        fiveTops += "TOP " + QByteArray::number(n) + " 0\r\n";
        fiveHeaders += "+OK\r\nFrom: =?UTF-8?B?5bGx55Sw?= <y@x.jp>\r\nSubject: <b>&" +
                       QByteArray::number(n) + "\r\n\r\n..body\r\n.\r\n";
        fiveTold += "山田 — <b>&" + QString::number(n);
    }
    QTest::newRow("TOP of the five newest")
        << "top" << Login + eight + fiveHeaders << uidl + fiveTops << "接続中"
        << "6通の新着メールがあります" << eightStore << fiveTold + QStringList{"ほか1通"};
    const QByteArray three = "+OK 3 30\r\n.\r\n+OK\r\n1 aa\r\n2 bb\r\n3 cc\r\n.\r\n";
    const QByteArray threeStore = "4\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n\"cc\"\r\n";
    // Refused, or the server gone mid-header: the count alone, no failure.
    QTest::newRow("TOP refused") << "top" << Login + three + "-ERR unknown\r\n"
                                 << uidl + "TOP 3 0\r\n"
                                 << "接続中"
                                 << "1通の新着メールがあります" << threeStore << QStringList();
    QTest::newRow("closed mid-header")
        << "top,close" << Login + three + "+OK\r\nFrom: a@x\r\n"
        << uidl + "TOP 3 0\r\n"
        << "接続中"
        << "1通の新着メールがあります" << threeStore << QStringList();
    // A header past 64 KiB is cut and the rest read: the next reply is in step.
    QByteArray padding;
    for (int i = 0; i < 80; ++i)
        padding += "X-Pad: " + QByteArray(990, 'p') + "\r\n";
    const QByteArray fourNew = "+OK 4 40\r\n.\r\n+OK\r\n1 aa\r\n2 bb\r\n3 c3\r\n4 c4\r\n.\r\n";
    QTest::newRow("header past 64 KiB")
        << "top"
        << Login + fourNew + "+OK\r\nFrom: big@x\r\n" + padding +
               "Subject: lost\r\n.\r\n+OK\r\nSubject: next\r\nFrom: b@x\r\n.\r\n"
        << uidl + "TOP 4 0\r\nTOP 3 0\r\n"
        << "接続中"
        << "2通の新着メールがあります"
        << QByteArray("5\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n\"c3\"\r\n\"c4\"\r\n")
        << QStringList{"big@x — （件名なし）", "b@x — next"};
}

void TestPop3Session::dialogue() {
    QFETCH(QString, knob);
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, client);
    QFETCH(QString, status);
    QFETCH(QString, log);
    QFETCH(QByteArray, store);
    QFETCH(QStringList, told);
    Dialogue d(true); // forwarding: a failed check sends no notice either
    d.putStore(TwoStored);
    d.host.settings.connection.showHeaders = knob.startsWith("top");
    d.host.settings.connection.desktopNotify = true;
    const QStringList knobs = knob.split(u',');
    ConnectionSettings &c = d.host.settings.connection;
    if (knobs.contains("stls"))
        c.popSecurity = LinkSecurity::StartTls;
    else if (knobs.contains("tls"))
        c.popSecurity = LinkSecurity::Tls;
    else if (knob.startsWith("user="))
        d.host.settings.POP_UserID = knob.mid(5);
    else if (knob.startsWith("pass="))
        d.host.settings.POP_PassWord = knob.mid(5);
    for (const QString &k : knobs)
        if (k.startsWith("port=")) c.popPort = k.mid(5).toUShort();
    if (knob == "top,close") {
        MemoryLink &l = d.start();
        l.reply(server);
        l.hangUp();
        QCOMPARE(l.written, client);
    } else if (knob == "noname") {
        d.host.start();
        d.host.link()->nobodyAnswers(Link::NameNotFound);
    } else if (knobs.contains("clear")) {
        d.host.start();
        d.host.link()->inClear = true;
        d.host.link()->refuseTls(Link::HandshakeFailed, {}, "wrong version number");
    } else {
        QCOMPARE(d.run(server), client);
        if (knobs.contains("port=995") && server.isEmpty()) d.host.guardRunsOut();
    }
    QCOMPARE(d.host.toldLines, told);
    const bool failed = d.check().retries() != 0;
    QCOMPARE(d.host.statusText, status);
    QCOMPARE(d.host.logLines, QStringList{log});
    QCOMPARE(d.store(), store);
    QCOMPARE(d.host.links.size(), status == "接続中" ? 2 : 1);
    QCOMPARE(d.check().retries(), failed ? 1 : 0);
    QCOMPARE(failed, store == TwoStored && status != "0通の新着メールがあります");
    QVERIFY(!d.host.popupShown);
    QVERIFY(!d.host.links.first()->isUp()); // no QUIT: the connection just closes
    QCOMPARE(d.check().running(), status == "接続中");
}

void TestPop3Session::splitAtEveryByte() {
    // The server side cut once at every position: lines, the "." line and a
    // two-byte character may all be split.
    const QByteArray rest = "+OK 1\r\n1 5\r\n.\r\n+OK\r\n1 \x82\xa0z\r\n.\r\n";
    for (int cut = 1; cut < rest.size(); ++cut) {
        Dialogue d;
        MemoryLink &l = d.start();
        l.reply(Login + rest.left(cut));
        l.reply(rest.mid(cut));
        QCOMPARE(l.written, Asked + "UIDL\r\n");
        QCOMPARE(d.store(), QByteArray("2\r\n\"\"\r\n\"\x82\xa0z\"\r\n"));
        QCOMPARE(d.host.logLines, QStringList{"1通の新着メールがあります"});
    }
}

void TestPop3Session::totalsAndRetry() {
    Dialogue d;
    d.run("-ERR\r\n");
    QCOMPARE(d.check().retries(), 1);
    // Without a store LIST's count is the new mail; the running total stops
    // at the top.
    d.run(Login + "+OK 32760 1\r\n1 1\r\n.\r\n+OK\r\n1 x\r\n.\r\n");
    QCOMPARE(d.check().retries(), 0);
    QFile::remove(d.host.storePath());
    d.host.statusHistory.clear();
    MemoryLink &l = d.start();
    l.reply(Login + "+OK 12 3456\r\n1 10\r\n2 10\r\n.\r\n");
    QCOMPARE(d.host.statusHistory.mid(2),
             (QStringList{"12通のメールがあります", "メールチェック中"}));
    l.reply(TwoUids);
    QCOMPARE(d.store(), TwoStored);
    QCOMPARE(d.host.popupLabel, "32767通の新着メールがあります");
    QCOMPARE(d.host.logLines.mid(1),
             (QStringList{"32760通の新着メールがあります", "12通の新着メールがあります"}));
    QCOMPARE(d.host.statusHistory.mid(d.host.statusHistory.size() - 2),
             (QStringList{"12通の新着メールがあります", "テスト終了､エラーなし"}));
    QVERIFY(d.host.popupShown);
    QCOMPARE(d.host.finishedCount, 3); // over while the popup waits
    QVERIFY(!d.check().running());
}

void TestPop3Session::listCountText_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<int>("count"); // new mail without a store: LIST's count
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
    d.run(Login + first + "\r\n1 1\r\n2 1\r\n3 1\r\n.\r\n+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n");
    QVERIFY(d.host.statusHistory.contains(status));
    QCOMPARE(d.host.logLines.first(), QString::number(count) + "通の新着メールがあります");
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
    Dialogue d(forwarding);
    d.host.test = test;
    d.putStore(TwoStored);
    QCOMPARE(d.run(Login + "+OK 0 0\r\n"), Asked);
    QCOMPARE(d.store(), QByteArray());
    QVERIFY(d.host.statusHistory.contains("メールがありません"));
    QCOMPARE(d.host.logLines, log.isEmpty() ? QStringList() : QStringList{log});
    const bool notice = forwarding && test; // "TEST MAIL" goes out
    QCOMPARE(d.host.noticeRunning(), notice);
    QCOMPARE(d.host.links.size(), notice ? 2 : 1);
    QCOMPARE(d.check().running(), notice);
    QCOMPARE(d.host.popupShown, !forwarding);
    QCOMPARE(d.host.runEnabled, !forwarding);
    QVERIFY(d.host.testEnabled);
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
    // Not saved: no success is told, no popup (the total is loaded, not shown).
    const QString unsaved = "テスト終了、設定ファイルを保存できませんでした";
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
        << true << false << true << false << "7" + two.mid(1) << QStringList{two, unsaved};
    QTest::newRow("test popup, none, not saved")
        << true << false << false << false << "5" + zero.mid(1) << QStringList{zero, unsaved};
}

void TestPop3Session::notification() {
    QFETCH(bool, test);
    QFETCH(bool, forwarding);
    QFETCH(bool, newMail);
    QFETCH(bool, saves);
    QFETCH(QString, label);
    QFETCH(QStringList, log);
    Dialogue d;
    // Five new at a check before, and one failure since.
    d.run(Login + "+OK 5\r\n.\r\n+OK\r\n1 a\r\n2 b\r\n3 c\r\n4 d\r\n5 e\r\n.\r\n");
    d.run("-ERR\r\n");
    d.host.settings.Trf_Flag = forwarding ? 1 : 0;
    d.host.test = test;
    d.host.saveSucceeds = saves;
    d.host.logLines.clear();
    d.host.statusHistory.clear();
    d.host.popupShown = false;
    WriteUidStore(d.host.storePath(), newMail ? UidList{"old"} : UidList{"bb", "aa", "old"});
    QCOMPARE(d.run(Login + TwoListed + TwoUids), Asked + "UIDL\r\n");
    const QStringList last = d.host.statusHistory.mid(d.host.statusHistory.size() - 2);
    const bool notice = forwarding && (newMail || test);
    QCOMPARE(d.host.noticeRunning(), notice);
    QCOMPARE(d.host.popupShown, !forwarding && (newMail || test) && saves);
    QCOMPARE(d.host.popupLabel, label);
    QCOMPARE(d.host.logLines, log);
    QCOMPARE(d.host.saves, !forwarding && test ? 1 : 0);
    const bool buttons = !forwarding && test && saves;
    QCOMPARE(d.host.runEnabled, buttons);
    QCOMPARE(d.host.testEnabled, !buttons);
    QCOMPARE(d.check().running(), notice);
    QCOMPARE(d.check().retries(), 0);
    const bool popupPath = !forwarding && (newMail || test);
    if (notice)
        QCOMPARE(last, (QStringList{log.first(), "接続中"}));
    else
        QCOMPARE(last.last(), popupPath ? QString("テスト終了､エラーなし") : log.first());
    QCOMPARE(d.store(), TwoStored);
}

void TestPop3Session::guardsAndClose() {
    // Silent server: the reply guard ends it; a complete line restarts it.
    Dialogue d;
    d.host.seamsValue.guardMs = 300;
    MemoryLink &l = d.start();
    QTest::qWait(200);
    l.reply("+OK\r\n");
    QCOMPARE(l.written, "USER taro\r\n");
    QTest::qWait(200);
    QVERIFY(d.host.pop3Running());
    QTRY_VERIFY(!d.host.pop3Running());
    QCOMPARE(d.host.statusText, "受信タイムアウト");
    QCOMPARE(d.host.logLines, QStringList{"受信タイムアウト"});
    QCOMPARE(d.check().retries(), 1);

    // Nobody answers: in the plain mode only the connect guard ends it.
    Dialogue n;
    n.host.start();
    n.host.link()->nobodyAnswers();
    QCOMPARE(n.host.statusText, "接続中");
    n.host.guardRunsOut();
    QCOMPARE(n.host.statusText, "受信タイムアウト");

    // The server closes: said at once, ended by the reply guard.
    Dialogue c;
    c.start().hangUp();
    QCOMPARE(c.host.statusHistory.mid(2), (QStringList{"切断中", "未接続"}));
    QVERIFY(c.host.pop3Running());
    c.host.guardRunsOut();
    QCOMPARE(c.host.statusText, "受信タイムアウト");
}

void TestPop3Session::resendOnStart() {
    // A notice that did not go out is sent at the next scheduled start, which
    // checks nothing.
    Dialogue d(true);
    d.run(Login + TwoListed + TwoUids);
    QCOMPARE(d.host.link()->port, quint16(25));
    d.host.guardRunsOut();
    QCOMPARE(d.host.logLines.last(), "送信サーバタイムアウト");
    d.host.start();
    QCOMPARE(d.host.links.size(), 3);
    QCOMPARE(d.host.link()->port, quint16(25));
    d.host.guardRunsOut();
    // A settings test checks the mailbox all the same, and forgets the notice.
    d.host.test = true;
    d.host.start();
    QCOMPARE(d.host.link()->port, quint16(110));
    d.host.link()->accept();
    d.host.link()->reply("-ERR\r\n");
    d.host.test = false;
    d.host.start();
    QCOMPARE(d.host.link()->port, quint16(110));
}

void TestPop3Session::storeNotWritable() {
    Dialogue d;
    QVERIFY(QDir(d.host.dir.path()).mkdir("quilmon.dat"));
    d.run(Login + TwoListed + TwoUids);
    QCOMPARE(d.host.statusText, "メールチェック失敗");
    QCOMPARE(d.check().retries(), 1);
    QVERIFY(!d.host.popupShown);
    QCOMPARE(d.host.logLines,
             QStringList{"メールチェック失敗（既読IDファイル quilmon.dat を保存できません）"});
}

void TestPop3Session::longMailbox() {
    // Message numbers of 1000 and more.
    QByteArray listing = "+OK\r\n";
    UidList uids;
    for (int i = 1; i <= 1500; ++i) {
        uids.append("m" + QByteArray::number(i));
        listing += QByteArray::number(i) + " " + uids.last() + "\r\n";
    }
    Dialogue d;
    QVERIFY(WriteUidStore(d.host.storePath(), uids.mid(0, 1400)));
    d.run(Login + TwoListed + listing + ".\r\n");
    QCOMPARE(d.host.logLines, QStringList{"100通の新着メールがあります"});
    QCOMPARE(ReadUidStore(d.host.storePath()), std::optional<UidList>(uids));
}

void TestPop3Session::secure() {
    // STLS: on the go-ahead the handshake runs, what comes in the clear
    // meanwhile is dropped, and the account goes out only once encrypted.
    Dialogue s;
    s.host.settings.connection.popSecurity = LinkSecurity::StartTls;
    MemoryLink &l = s.start();
    l.reply("+OK ready\r\n+OK begin TLS\r\n+OK injected\r\n");
    QCOMPARE(l.take(), "STLS\r\n");
    QCOMPARE(l.tlsUpgrades, 1);
    l.reply("+OK injected\r\n");
    QVERIFY(l.take().isEmpty());
    l.handshakeDone();
    QCOMPARE(l.take(), "USER taro\r\n");

    // TLS from the first byte that fails: no account or password goes out.
    Dialogue t;
    t.host.settings.connection.popSecurity = LinkSecurity::Tls;
    t.host.start();
    QVERIFY(t.host.link()->tlsFromStart);
    QCOMPARE(t.host.link()->port, quint16(995));
    t.host.link()->refuseTls(Link::HandshakeFailed, {}, "wrong version number");
    QCOMPARE(t.host.statusText, "SSL/TLS接続エラー");
    QCOMPARE(
        t.host.logLines,
        QStringList{"受信サーバ 127.0.0.1 とのSSL/TLS接続に失敗しました（wrong version number）"});
    QCOMPARE(t.check().retries(), 1);
    QVERIFY(t.host.link()->written.isEmpty());

    // A secure port nobody answers on is told at once, not by the guard.
    Dialogue u;
    u.host.settings.connection.popSecurity = LinkSecurity::Tls;
    u.host.settings.connection.popPort = 1995;
    u.host.start();
    u.host.link()->nobodyAnswers();
    QVERIFY(!u.host.pop3Running());
    QCOMPARE(u.host.statusText, "受信サーバに接続できません");
    QCOMPARE(u.host.logLines, QStringList{"受信サーバ 127.0.0.1 のポート 1995 に接続できません"});
    QCOMPARE(u.check().retries(), 1);
}

void TestPop3Session::oauth_data() {
    QTest::addColumn<QString>("knob"); // "plain", "long"; a revoked refresh token: tst_oauth
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("client");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("log");
    const QByteArray listed = "+OK\r\n" + TwoListed + TwoUids;
    const QString none = "0通の新着メールがあります";
    QTest::newRow("XOAUTH2") << "" << Capa + listed << "CAPA\r\n" + Xoauth2 + "LIST \r\nUIDL\r\n"
                             << none << none;
    QTest::newRow("OAUTHBEARER before XOAUTH2")
        << ""
        << "+OK\r\n+OK\r\nSASL XOAUTH2 OAUTHBEARER\r\n.\r\n" + listed
        << QByteArray("CAPA\r\nAUTH OAUTHBEARER "
                      "bixhPXRhcm8sAWhvc3Q9MTI3LjAuMC4xAXBvcnQ9OTk1AWF1dGg9QmVhcmVyIGF0MQEB\r\n"
                      "LIST \r\nUIDL\r\n")
        << none << none;
    // Past 255 bytes the response waits for the server's continuation (RFC 5034 4).
    QTest::newRow("long token") << "long" << Capa + "+ \r\n" + listed
                                << QByteArray("CAPA\r\nAUTH XOAUTH2\r\n") << none << none;
    QTest::newRow("no bearer mechanism")
        << "" << QByteArray("+OK\r\n+OK\r\nSASL PLAIN LOGIN\r\n.\r\n") << QByteArray("CAPA\r\n")
        << "認証方式なし"
        << "受信サーバ 127.0.0.1 にはXOAUTH2とOAUTHBEARERのどちらの認証方式もありません";
    // The error status is read and the exchange ended with an empty response.
    QTest::newRow("refused twice") << "" << Capa + Refusal << "CAPA\r\n" + Xoauth2 + "\r\n"
                                   << "OAuth認証エラー"
                                   << "受信サーバ 127.0.0.1 がアクセストークンを拒否しました"
                                      "（schemes=bearer status=401）（-ERR [AUTH] no）";
    // Nothing is sent, not even a connection made.
    QTest::newRow("plain connection")
        << "plain" << QByteArray() << QByteArray() << "OAuth認証エラー"
        << "受信サーバへの暗号化されていない接続ではOAuthでサインインしません";
}

void TestPop3Session::oauth() {
    QFETCH(QString, knob);
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, client);
    QFETCH(QString, status);
    QFETCH(QString, log);
    Dialogue d;
    d.putStore(TwoStored);
    TokenEndpoint endpoint;
    endpoint.attach(d.host);
    const QByteArray longToken(300, 't');
    endpoint.replies = {knob == "long" ? R"({"access_token":")" + longToken + "\"}" : Token1,
                        Token1};
    if (knob == "plain") d.host.settings.connection.popSecurity = LinkSecurity::None;
    d.host.start();
    if (!server.isEmpty()) {
        QTRY_VERIFY(d.host.link());
        d.host.link()->accept();
        d.host.link()->reply(server);
        if (status.startsWith("OAuth認証")) { // a fresh token, one more try
            QCOMPARE(d.host.link()->written, client);
            QTRY_COMPARE(d.host.links.size(), 2);
            d.host.link()->accept();
            d.host.link()->reply(server);
        }
        if (knob == "long")
            client += QByteArray("user=taro\x01"
                                 "auth=Bearer " +
                                 longToken + "\x01\x01")
                          .toBase64() +
                      "\r\nLIST \r\nUIDL\r\n";
        QCOMPARE(d.host.link()->written, client);
    } else {
        QTRY_COMPARE(d.host.statusText, status);
        QVERIFY(d.host.links.isEmpty());
    }
    QTRY_COMPARE(d.host.statusText, status);
    QCOMPARE(d.host.logLines, QStringList{log});
    // The refresh token goes only to the provider, and no token reaches the log.
    if (knob != "plain")
        QCOMPARE(endpoint.forms.first(),
                 "grant_type=refresh_token&refresh_token=rt1&client_id=cid");
    QCOMPARE(endpoint.forms.size(), knob == "plain" ? 0 : status.startsWith("OAuth認証") ? 2 : 1);
    QCOMPARE(d.check().retries(), status == "0通の新着メールがあります" ? 0 : 1);
}

void TestPop3Session::oauthTokens() {
    // A token about to expire is refreshed for the next check, and one that
    // holds is used again; a new refresh token handed out is kept.
    Dialogue d;
    TokenEndpoint endpoint;
    endpoint.attach(d.host);
    endpoint.replies = {R"({"access_token":"at1","expires_in":30,"refresh_token":"rt2"})", Token1};
    QString rotated;
    QObject::connect(&d.check(), &MailCheck::refreshTokenChanged,
                     [&rotated](const QString &t) { rotated = t; });
    auto check = [&d] {
        d.host.start();
        QTRY_VERIFY(d.host.link() && !d.host.link()->isUp());
        d.host.link()->accept();
        d.host.link()->reply(Capa + "+OK\r\n+OK 0\r\n");
        QTRY_VERIFY(!d.check().running());
        d.host.links.clear();
    };
    check();
    QCOMPARE(rotated, "rt2");
    d.host.settings.connection.oauthRefreshToken = rotated;
    check();
    check();
    QCOMPARE(endpoint.forms.size(), 2);
    QVERIFY(endpoint.forms[1].contains("refresh_token=rt2"));
}

QTEST_GUILESS_MAIN(TestPop3Session)
#include "tst_pop3session.moc"
