// Servers that hang up at any moment, and hostile settings and seen-id files:
// every check still ends in an outcome the program knows, within its guard,
// with one log line, and nothing already stored is lost.
#include "dialup/dialup.h"
#include "pop3/uidstore.h"
#include "smtp/form3.h"
#include "support/pop3_harness.h"
#include "support/programfixture.h"
#include "support/smtp_scriptedserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <sys/stat.h>

namespace {

const QByteArray kStoreAaCc = "3\r\n\"\"\r\n\"aa\"\r\n\"cc\"\r\n";
const QByteArray kStoreAaBb = "3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n";
// As a store written before ids were kept once may hold them.
const QByteArray kStoreDup = "5\r\n\"\"\r\n\"aa\"\r\n\"cc\"\r\n\"aa\"\r\n\"cc\"\r\n";
constexpr int kGuardMs = 300;

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The peak resident KiB; reset starts it again from what is resident now.
qint64 peakKiB(bool reset = false) {
    if (reset) writeFile(QStringLiteral("/proc/self/clear_refs"), "5");
    for (const QByteArray &line : readFile(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ')[0].toLongLong();
    return -1;
}

// A check's POP3 session against a peer the test plays.
struct Pop3Peer : Pop3Harness {
    SmtpScriptedServer peer;
    Pop3Peer() {
        host.seamsValue.popPort = peer.port();
        host.seamsValue.guardMs = kGuardMs;
    }
};

// A check's notice against a peer the test plays, after a POP3 peer that
// answers everything at once with one new mail.
struct SmtpPeer {
    FakeHost host;
    SmtpScriptedServer pop, peer;
    QPointer<Form3> form;
    SmtpPeer() {
        host.seamsValue.guardMs = kGuardMs;
        host.seamsValue.popPort = pop.port();
        host.seamsValue.smtpPort = peer.port();
        host.settings.Trf_Flag = 1;
        host.settings.Smtp_Address = QStringLiteral("127.0.0.1");
        host.settings.Trf_IPAddress = QStringLiteral("keitai@example.ne.jp");
    }
    bool load() {
        host.start();
        if (!pop.waitForClient()) return false;
        pop.send("+OK\r\n+OK\r\n+OK\r\n+OK 1\r\n.\r\n+OK\r\n1 a\r\n.\r\n");
        form = QTest::qWaitFor([this] { return host.noticeRunning(); })
                   ? host.check().findChild<Form3 *>()
                   : nullptr;
        return form;
    }
};

// The settings a forwarding LAN program starts with, pointing at 127.0.0.1.
const QByteArray kForwarding = "\"127.0.0.1\",\"secret\",\"127.0.0.1\",\"to@example.jp\",\"taro\","
                               "\"\",0,4,0,1,\"0:00\",\"0:00\",\"\"\r\n";

} // namespace

class TestFaults : public QObject {
    Q_OBJECT
  private slots:
    void pop3ServerCloses_data();
    void pop3ServerCloses();
    void smtpServerCloses_data();
    void smtpServerCloses();
    void closesThroughTheWholeProgram();
    void hostileSettingsFiles_data();
    void hostileSettingsFiles();
    void hostileUidStores_data();
    void hostileUidStores();
    void hostileListings_data();
    void hostileListings();
    void trickleEndsAtTheDeadline_data();
    void trickleEndsAtTheDeadline();
};

void TestFaults::pop3ServerCloses_data() {
    QTest::addColumn<QByteArray>("server"); // what the server says before it hangs up
    QTest::addColumn<QByteArray>("client"); // what the client has said by then
    QTest::addColumn<bool>("reset");        // hang up hard instead of closing
    const QByteArray user = "USER taro\r\n", pass = "PASS secret\r\n", list = "LIST \r\n";
    const QByteArray greeting = "+OK ready\r\n", ok = "+OK\r\n", listReply = "+OK 2 20\r\n";
    const QByteArray scan = "1 10\r\n2 10\r\n.\r\n";
    const QByteArray toUidl = greeting + ok + ok + listReply + scan;
    const QByteArray all = user + pass + list + "UIDL\r\n";
    QTest::newRow("state 0") << QByteArray() << QByteArray() << false;
    QTest::newRow("state 1") << greeting << user << false;
    QTest::newRow("state 2") << greeting + ok << user + pass << false;
    QTest::newRow("state 3") << greeting + ok + ok << user + pass + list << false;
    QTest::newRow("state 4") << greeting + ok + ok + listReply << user + pass + list << false;
    QTest::newRow("state 4, mid scan")
        << greeting + ok + ok + listReply + "1 10\r\n2 1" << user + pass + list << false;
    QTest::newRow("state 5") << toUidl << all << false;
    QTest::newRow("state 6") << toUidl + ok << all << false;
    QTest::newRow("mid listing") << toUidl + ok + "1 aa\r\n2 b" << all << false;
    QTest::newRow("mid listing, reset") << toUidl + ok + "1 aa\r\n2 b" << all << true;
    QTest::newRow("before the last LF") << toUidl + ok + "1 aa\r\n2 bb\r\n.\r" << all << false;
    QTest::newRow("dot without line end") << toUidl + ok + "1 aa\r\n2 bb\r\n." << all << false;
}

void TestFaults::pop3ServerCloses() {
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, client);
    QFETCH(bool, reset);
    Pop3Peer p;
    QVERIFY(writeFile(p.storePath(), kStoreAaCc));
    p.load();
    QVERIFY(p.peer.waitForClient());
    p.peer.send(server);
    QVERIFY(p.peer.waitForReceived(client));
    QTest::qWait(50); // what came after the last command has been read
    QElapsedTimer clock;
    clock.start();
    if (reset)
        p.peer.client->abort();
    else
        p.peer.closeClient();
    QVERIFY(p.waitDone(5000));
    QVERIFY2(clock.elapsed() < kGuardMs + 1000, "ended by the guard, not later");
    QCOMPARE(p.host.statusText, QStringLiteral("受信タイムアウト"));
    QCOMPARE(p.host.logLines, QStringList{QStringLiteral("受信タイムアウト")});
    QCOMPARE(p.host.check().retries(), 1);
    QVERIFY(!p.host.check().running());
    QCOMPARE(p.host.finishedCount, 1);
    QVERIFY(!p.host.noticeRunning());
    QVERIFY(!p.host.popupShown);
    QCOMPARE(readFile(p.storePath()), kStoreAaCc);
    // Nothing more happens after the end: no late second outcome.
    QTest::qWait(kGuardMs + 100);
    QCOMPARE(p.host.logLines.size(), 1);
    QCOMPARE(p.host.finishedCount, 1);
}

void TestFaults::smtpServerCloses_data() {
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("reset");
    for (int step = 0; step <= 6; ++step) {
        QTest::addRow("step %d", step) << step << false;
        QTest::addRow("step %d, reset", step) << step << true;
    }
}

void TestFaults::smtpServerCloses() {
    QFETCH(int, step);
    QFETCH(bool, reset);
    const QList<QByteArray> replies = {"220 ready\r\n", "250 hello\r\n", "250 ok\r\n",
                                       "250 ok\r\n",    "354 go on\r\n", "250 queued\r\n"};
    SmtpPeer s;
    QVERIFY(s.load());
    QVERIFY(s.peer.waitForClient());
    const QByteArray lastCommand[] = {"",     "HELO",      "MAIL FROM", "RCPT TO",
                                      "DATA", "\r\n.\r\n", "QUIT"};
    for (int i = 0; i < step; ++i) {
        s.peer.send(replies[i]);
        QVERIFY(QTest::qWaitFor([&] { return s.peer.received.contains(lastCommand[i + 1]); }));
    }
    QElapsedTimer clock;
    clock.start();
    if (reset)
        s.peer.client->abort();
    else
        s.peer.closeClient();
    QVERIFY(QTest::qWaitFor([&] { return s.form.isNull(); }, 5000));
    QVERIFY(clock.elapsed() < kGuardMs + 1000);
    QCOMPARE(s.host.statusText, QStringLiteral("送信タイムアウト"));
    QCOMPARE(s.host.logLines.mid(1), QStringList{QStringLiteral("送信サーバタイムアウト")});
    QVERIFY(!s.host.check().running());
    QCOMPARE(s.host.check().retries(), 0);
    QCOMPARE(s.host.finishedCount, 1);
    s.host.start(); // sent again at the next check, which checks nothing
    QTRY_COMPARE(s.peer.connections, 2);
    QCOMPARE(s.pop.connections, 1);
}

void TestFaults::closesThroughTheWholeProgram() {
    // A scheduled check finds one new mail, the SMTP server hangs up after
    // RCPT TO; the next interval sends the notice again, without a POP3 check.
    SmtpScriptedServer pop, smtp;
    ProgramFixture f(&kForwarding);
    f.seams.popPort = pop.port();
    f.seams.smtpPort = smtp.port();
    f.seams.guardMs = kGuardMs;
    QVERIFY(writeFile(f.path(QStringLiteral("quilmon.dat")), kStoreAaCc));
    QVERIFY(f.start());
    QTest::mouseClick(f.ui().Command4, Qt::LeftButton); // Run
    QVERIFY(!f.w().isVisible());
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0));
    f.scheduler().Timer1_Timer();
    QVERIFY(pop.waitForClient());
    pop.send("+OK\r\n+OK\r\n+OK\r\n+OK 2 20\r\n1 1\r\n2 1\r\n.\r\n");
    QVERIFY(QTest::qWaitFor([&] { return pop.received.contains("UIDL\r\n"); }));
    pop.send("+OK\r\n1 aa\r\n2 bb\r\n.\r\n");
    QVERIFY(smtp.waitForClient());
    smtp.send("220 ready\r\n250 hello\r\n250 ok\r\n250 ok\r\n");
    QVERIFY(QTest::qWaitFor([&] { return smtp.received.contains("DATA\r\n"); }));
    smtp.closeClient();
    QTRY_VERIFY(!f.check().noticeRunning());
    QCOMPARE(f.logMessages(), (QStringList{QStringLiteral("実行開始しました。"),
                                           QStringLiteral("1通の新着メールがあります"),
                                           QStringLiteral("送信サーバタイムアウト")}));
    QCOMPARE(readFile(f.path(QStringLiteral("quilmon.dat"))), kStoreAaBb); // POP3 completed
    QCOMPARE(f.check().retries(), 0);
    QVERIFY(!f.check().pop3Running());

    SmtpScriptedServer smtp2;
    const_cast<Seams &>(f.program->seams()).smtpPort = smtp2.port();
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(12, 10, 0));
    f.scheduler().Timer1_Timer();
    QVERIFY(smtp2.waitForClient());
    QCOMPARE(pop.connections, 1);
}

void TestFaults::hostileSettingsFiles_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("readable");
    const QByteArray good = kForwarding;
    for (int cut : {1, 10, 40, 80, int(good.size()) - 12, int(good.size()) - 3})
        QTest::addRow("truncated at %d", cut) << good.left(cut) << false;
    QByteArray binary(64 * 1024, '\0');
    QRandomGenerator rng(7400);
    for (char &c : binary)
        c = char(rng.bounded(256));
    QTest::newRow("binary") << binary << false;
    QTest::newRow("binary after a record") << good + binary << true;
    QTest::newRow("huge, one line of 8 MB") << QByteArray(8 << 20, 'a') << false;
    // Far past what a settings line holds: not read at all.
    QTest::newRow("huge, 8 MB of commas") << QByteArray(8 << 20, ',') << false;
    QTest::newRow("huge, 8 MB of quotes") << QByteArray(8 << 20, '"') << false;
    QByteArray bigField = good;
    bigField.replace(1, 9, QByteArray(1 << 20, 'p'));
    // Far past anything the window can hold, so never written by the program.
    QTest::newRow("a field of 1 MB") << bigField << false;
    QTest::newRow("unbalanced quote")
        << QByteArray("\"127.0.0.1,\"secret\",,,,,0,4,0,1,,,") << false;
    QTest::newRow("quote never closed") << QByteArray("\"") + QByteArray(5000, 'x') << false;
    QTest::newRow("number too big")
        << QByteArray("\"a\",\"b\",\"c\",\"d\",\"e\",\"\",0,99999,0,1,,,\r\n") << false;
    QTest::newRow("number far too big")
        << QByteArray("\"a\",\"b\",\"c\",\"d\",\"e\",\"\",0,4,0,") + QByteArray(5000, '9') + ",,,"
        << false;
    QTest::newRow("numbers in range, meaningless")
        << QByteArray(
               "\"a\",\"b\",\"c\",\"d\",\"e\",\"\",-32768,32767,-1,-5,\"99:99\",\"夜\",\"\"\r\n")
        << true;
    QTest::newRow("NUL bytes and lone lead bytes")
        << QByteArray("\"a\0b\",\"\x82\",\"\x81\",\"d\",\"e\",\"\",0,4,0,1,,,\r\n", 37) << true;
    QTest::newRow("only line breaks") << QByteArray(10000, '\n') << true;
}

void TestFaults::hostileSettingsFiles() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, readable);
    ProgramFixture f(&bytes);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(f.start());
    QVERIFY2(clock.elapsed() < 10000, "start-up must not hang");
    const MainControls ui = f.ui();
    // Unreadable: the first-run state; readable: Run is offered.
    QCOMPARE(ui.Command4->isEnabled(), readable);
    QCOMPARE(ui.Command2->isEnabled(), !readable);
    if (!readable) QVERIFY(ui.Text1->text().isEmpty());
    // Starting never rewrites what is stored.
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), bytes);
    // And the program still works: Test refuses or starts, nothing crashes.
    f.w().show();
    ui.Command2->setEnabled(true);
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    // A started test stops here, before it connects anywhere.
    emit f.check().dialUp()->linkLost();
    QVERIFY(clock.elapsed() < 20000);
}

void TestFaults::hostileUidStores_data() {
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<int>("newMail"); // 7 (LIST's count) when unreadable
    QByteArray binary(256 * 1024, '\0');
    QRandomGenerator rng(1091);
    for (char &c : binary)
        c = char(rng.bounded(256));
    binary[0] = '\x01';
    QTest::newRow("binary") << binary << 7;
    QTest::newRow("count above its strings") << QByteArray("5\r\n\"\"\r\n\"aa\"\r\n") << 7;
    QTest::newRow("count of 10^17, nothing after") << QByteArray("99999999999999999\r\n") << 7;
    QTest::newRow("count of 10^17, many strings")
        << "99999999999999999\r\n" + QByteArray(2 << 20, ',') << 7;
    QTest::newRow("unbalanced quote") << QByteArray("3\r\n\"\"\r\n\"aa\r\n\"bb\r\n") << 7;
    QTest::newRow("one field of 1 MB") << "2\r\n\"\"\r\n\"" + QByteArray(1 << 20, 'x') + "\"\r\n"
                                       << 2;
    QTest::newRow("4 MB of quotes") << "3\r\n" + QByteArray(4 << 20, '"') << 7;
    QTest::newRow("NUL inside a UID") << QByteArray("3\r\n\"\"\r\n\"aa\0\"\r\n\"bb\"\r\n", 20) << 1;
    // Made below; the check goes on as with an unreadable store, never
    // following the link nor blocking on the FIFO.
    QTest::newRow("a directory") << QByteArray() << 7;
    QTest::newRow("a FIFO") << QByteArray() << 7;
    QTest::newRow("a link to a store elsewhere") << kStoreAaCc << 7;
    QTest::newRow("a link to /dev/zero") << QByteArray() << 7;
}

void TestFaults::hostileUidStores() {
    QFETCH(QByteArray, store);
    QFETCH(int, newMail);
    Pop3Peer p;
    p.host.seamsValue.guardMs = 5000;
    const QByteArray tag = QTest::currentDataTag();
    const bool directory = tag == "a directory";
    const QString elsewhere = p.host.dir.filePath(QStringLiteral("elsewhere.dat"));
    if (directory) {
        QVERIFY(QDir(p.host.dir.path()).mkdir(QStringLiteral("quilmon.dat")));
    } else if (tag == "a FIFO") {
        QCOMPARE(mkfifo(QFile::encodeName(p.storePath()).constData(), 0600), 0);
    } else if (tag.startsWith("a link")) {
        QVERIFY(writeFile(elsewhere, store));
        QVERIFY(QFile::link(tag.endsWith("/dev/zero") ? "/dev/zero" : elsewhere, p.storePath()));
    } else {
        QVERIFY(writeFile(p.storePath(), store));
    }
    const qint64 peakBefore = peakKiB(true);
    QElapsedTimer clock;
    clock.start();
    p.load();
    QVERIFY(p.peer.waitForClient());
    p.peer.send("+OK\r\n+OK\r\n+OK\r\n+OK 7 20\r\n1 1\r\n2 1\r\n.\r\n");
    QVERIFY(QTest::qWaitFor([&] { return p.peer.received.contains("UIDL\r\n"); }));
    p.peer.send("+OK\r\n1 aa\r\n2 bb\r\n.\r\n");
    QVERIFY(p.waitDone());
    QVERIFY2(clock.elapsed() < 4000, "reading a hostile store must not hang");
    QVERIFY2(peakKiB() - peakBefore < 32 * 1024, "reading a hostile store must not eat memory");
    if (directory) {
        // Nothing to replace it with: the check fails, and says so.
        QCOMPARE(p.host.statusText, QStringLiteral("メールチェック失敗"));
        QCOMPARE(p.host.check().retries(), 1);
        return;
    }
    QCOMPARE(p.host.logLines, QStringList{QString::number(newMail) + "通の新着メールがあります"});
    QCOMPARE(readFile(p.storePath()), kStoreAaBb); // rewritten from the listing
    QCOMPARE(p.host.check().retries(), 0);
    // A link is replaced by the new store, and what it pointed to stays.
    QVERIFY(!QFileInfo(p.storePath()).isSymLink());
    QCOMPARE(readFile(elsewhere), tag.startsWith("a link") ? store : QByteArray("<none>"));
}

void TestFaults::hostileListings_data() {
    QTest::addColumn<QByteArray>("list"); // the LIST reply
    QTest::addColumn<QByteArray>("uidl"); // the UIDL reply; none when LIST never ends
    QTest::addColumn<QString>("log");
    QTest::addColumn<QByteArray>("store"); // afterwards
    const QByteArray list = "+OK 1000000 1\r\n.\r\n";
    const QString malformed = QStringLiteral("受信データ異常");
    QByteArray million = "+OK\r\n";
    for (int i = 1; i <= MaxUids; ++i)
        million += QByteArray::number(i) + " sameid\r\n";
    QTest::newRow("one id a million times")
        << list << million + ".\r\n"
        << QStringLiteral("1通の新着メールがあります") << QByteArray("2\r\n\"\"\r\n\"sameid\"\r\n");
    QTest::newRow("a million and one lines") << list << million + "1 sameid\r\n.\r\n"
                                             << malformed << kStoreDup;
    QTest::newRow("LIST without end")
        << "+OK 2 20\r\n" + QByteArray("1 10\r\n").repeated(MaxUids + 1) << QByteArray()
        << malformed << kStoreDup;
}

void TestFaults::hostileListings() {
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, uidl);
    QFETCH(QString, log);
    QFETCH(QByteArray, store);
    Pop3Peer p;
    QVERIFY(writeFile(p.storePath(), kStoreDup));
    p.load();
    QVERIFY(p.peer.waitForClient());
    p.peer.send("+OK\r\n+OK\r\n+OK\r\n" + (uidl.isEmpty() ? QByteArray() : list));
    QVERIFY(QTest::qWaitFor(
        [&] { return p.peer.received.endsWith(uidl.isEmpty() ? "LIST \r\n" : "UIDL\r\n"); }));
    const qint64 peakBefore = peakKiB(true);
    QElapsedTimer clock;
    clock.start();
    p.peer.send(uidl.isEmpty() ? list : uidl);
    // The event loop runs as in the program, without the pauses of qWaitFor.
    QEventLoop loop;
    QObject::connect(&p.host.check(), &MailCheck::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY(!p.host.pop3Running());
    const qint64 ms = clock.elapsed(), peakMiB = (peakKiB() - peakBefore) / 1024;
    qInfo("%lld ms, peak resident +%lld MiB", ms, peakMiB);
#ifdef __SANITIZE_ADDRESS__
    constexpr qint64 limitMs = 10000; // a debug build with every access checked
#else
    constexpr qint64 limitMs = 2000;
#endif
    QVERIFY2(ms < limitMs && peakMiB < 200, "bounded in time and memory");
    QCOMPARE(p.host.logLines, QStringList{log});
    QCOMPARE(readFile(p.storePath()), store);
    QCOMPARE(p.host.popupShown, store != kStoreDup); // malformed: no notice, a retry
    QCOMPARE(p.host.check().retries(), p.host.popupShown ? 0 : 1);
}

void TestFaults::trickleEndsAtTheDeadline_data() {
    QTest::addColumn<QByteArray>("head"); // the replies, then
    QTest::addColumn<QByteArray>("line"); // one of these every 300 ms, without end
    const QByteArray loggedIn = "+OK\r\n+OK\r\n+OK\r\n+OK 2 20\r\n";
    QTest::newRow("LIST never ends") << loggedIn << QByteArray("1 10\r\n");
    QTest::newRow("UIDL trickles") << loggedIn + "1 1\r\n2 1\r\n.\r\n+OK\r\n"
                                   << QByteArray("1 aa\r\n");
}

void TestFaults::trickleEndsAtTheDeadline() {
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, line);
    SmtpScriptedServer pop;
    ProgramFixture f(&kForwarding);
    f.seams.popPort = pop.port();
    f.seams.guardMs = 1000; // every line comes well within it
    f.seams.checkDeadlineMs = 1500;
    f.seams.schedulerTickMs = 3600 * 1000; // ticked by hand
    QVERIFY(writeFile(f.path(QStringLiteral("quilmon.dat")), kStoreAaCc));
    QVERIFY(f.start());
    QTest::mouseClick(f.ui().Command4, Qt::LeftButton); // Run
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0));
    f.scheduler().Timer1_Timer();
    QVERIFY(pop.waitForClient());
    QElapsedTimer clock;
    clock.start();
    pop.send(head);
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, &pop, [&] { pop.send(line); });
    trickle.start(300);
    QVERIFY(QTest::qWaitFor([&] { return !f.check().pop3Running(); }, 5000));
    QVERIFY2(clock.elapsed() > 1200, "ended by the deadline, not before");
    QCOMPARE(f.w().status(), QStringLiteral("チェック時間切れ"));
    QCOMPARE(f.logMessages(),
             (QStringList{
                 QStringLiteral("実行開始しました。"),
                 QStringLiteral("メールチェックが制限時間内に終わらなかったため中止しました")}));
    QCOMPARE(f.check().retries(), 1);
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")), kStoreAaCc);
    // The retry of the next minute reaches the server.
    f.clock = f.clock.addSecs(60);
    f.scheduler().Timer1_Timer();
    QTRY_COMPARE(pop.connections, 2);
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
