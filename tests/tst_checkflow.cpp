// Whole checks through the program: settings test, Run, scheduled checks with
// the popup or a notice mail, a failed notice sent again, and a dial-up link
// brought up and taken down around a check; memory given back while idle.
// One check at a time: ticks, second clicks and exit arriving while a check,
// a dial or a test's dial is under way start nothing and leave no link up.
// The window answers while a check waits, and no message box opens while a
// session is still connected. The tray shows how checks go, and tells of
// checks that keep failing once.
#include "app/icons.h"
#include "dialup/dialup.h"
#include "dialup/nmdialservice.h"
#include "platform/codepage.h"
#include "platform/desktopnotifier.h"
#include "support/autoservers.h"
#include "support/dialup_dbusmock.h"
#include "support/dialup_scripted.h"
#include "support/memorylink.h"
#include "support/notify_dbusmock.h"
#include "support/programfixture.h"
#include "support/smtp_scriptedserver.h"
#include "windows/form4.h"
#include "windows/resources.h"
#include "windows/trayoverlay.h"

#include <QComboBox>
#include <QDBusArgument>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <poll.h>

namespace {
struct Flow : ProgramFixture {
    AutoPop3Server pop;
    AutoSmtpServer smtp;
    ScriptedService service; // the dial-up service, once dialUp() chose it

    explicit Flow(const QByteArray &settings) : ProgramFixture(&settings) {
        seams.popPort = pop.port();
        seams.smtpPort = smtp.port();
        pop.uids = {"aa", "bb"};
        service.entryNames = QStringList{QStringLiteral("会社")};
    }
    ~Flow() { program.reset(); } // before the service it uses
    void dialUp() { seams.dial = &service; }
    bool begin() {
        if (!start()) return false;
        w().show();
        ui().Command2->setEnabled(true);
        return true;
    }
    bool idle() {
        return QTest::qWaitFor(
            [this] { return !check().pop3Running() && !check().noticeRunning(); }, 10000);
    }
    // 実行: saved, the window hidden, monitoring.
    void run() { QTest::mouseClick(ui().Command4, Qt::LeftButton); }
    // One scheduler tick at this time of day.
    void tickAt(int h, int m) {
        clock = QDateTime(clock.date(), QTime(h, m, 1));
        scheduler().Timer1_Timer();
    }
    QString label() const {
        QLabel *l = child<QLabel>(program->form4(), "Label1");
        return l ? l->text() : QString();
    }
    bool popupShown() const { return program->form4() && program->form4()->isVisible(); }
    void acknowledgePopup() {
        QTest::mouseClick(child<QPushButton>(program->form4(), "Command1"), Qt::LeftButton);
    }
    bool linkMonitored() const { return check().dialUp()->monitorRunning(); }
};

// Counts the paint events a widget receives.
struct PaintCounter : QObject {
    int count = 0;
    explicit PaintCounter(QWidget *w) { w->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override {
        if (e->type() == QEvent::Paint) ++count;
        return false;
    }
};

// The client closed its end: the server's kernel knows it before the
// server's event loop has heard of it.
bool closedByClient(const QTcpSocket *server) {
    if (!server) return false;
    pollfd p{int(server->socketDescriptor()), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

const QByteArray kPopup =
    "\"127.0.0.1\",\"pw\",\"\",\"\",\"taro\",\"\",0,4,0,0,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kForward =
    "\"127.0.0.1\",\"pw\",\"127.0.0.1\",\"to@example.jp\",\"taro\",\"\",0,4,0,"
    "1,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kDialPopup = cp932::encode(u"\"127.0.0.1\",\"pw\",\"\",\"\",\"taro\",\"\","
                                            u"1,4,0,0,\"0:00\",\"0:00\",\"会社\"\r\n");
const QByteArray kNotice3 = "\r\n3\x1b$BDL$N%a!<%kCe?.$\"$j!#\x1b(B\r\n";
} // namespace

class TestCheckFlow : public QObject {
    Q_OBJECT
  private slots:
    void popupTestThenMonitoring();
    void forwardingTestThenNotices();
    void failedNoticeIsSentAgainFirst();
    void dialUpCheckBringsTheLinkUpAndDown();
    void memoryGoesBackOnlyWhileIdle();
    void tickDuringACheckStartsNothing();
    void exitInTheMiddleOfADialedCheck();
    void doubleClickOnTest();
    void runClickedWhileTheDialUpTestWaits();
    void windowAnswersDuringTheHangUpPause();
    void sessionClosedBeforeTheSaveFailureBox();
    void desktopNoticesBesideThePopup();
    void desktopNoticesBesideTheNoticeMail();
    void desktopNoticesWithoutTheService();
    void headersInTheTrayTip();
    void trayFollowsTheChecks_data();
    void trayFollowsTheChecks();

  private:
    std::unique_ptr<NotifyDbusMock> m_daemon; // shared by the rows of a table
};

namespace {
// Desktop notices on for the program in `f`, on the daemon's bus; started
// programs are recorded, then really started.
void notifyOn(Flow &f, const QString &busAddress, QList<QStringList> *started,
              const QString &command = QString()) {
    QFile conf(f.path(QStringLiteral("quil7400.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("desktop_notify=1\nmail_command=" + command.toUtf8() + '\n');
    conf.close();
    if (!busAddress.isEmpty())
        f.seams.sessionBus = [busAddress] {
            return QDBusConnection::connectToBus(busAddress, QStringLiteral("quil-notify"));
        };
    f.app.startProcess = [started](const QString &program, const QStringList &arguments) {
        *started << QStringList(program) + arguments;
        return QProcess::startDetached(program, arguments);
    };
}

struct BusGone {
    ~BusGone() { QDBusConnection::disconnectFromBus(QStringLiteral("quil-notify")); }
};
} // namespace

void TestCheckFlow::popupTestThenMonitoring() {
    Flow f(kPopup);
    QVERIFY(f.begin());
    const MainControls ui = f.ui();
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QCOMPARE(ui.Text4->text(), QStringLiteral("テスト終了､エラーなし"));
    QVERIFY(f.popupShown());
    QCOMPARE(f.label(), QStringLiteral("テストが終了しました"));
    QCOMPARE(f.logMessages(), (QStringList{QStringLiteral("接続テスト開始"),
                                           QStringLiteral("2通の新着メールがあります"),
                                           QStringLiteral("テスト終了、エラーなし")}));
    QVERIFY(ui.Command4->isEnabled() && !ui.Command2->isEnabled());
    QVERIFY(f.fileBytes(QStringLiteral("quil7400.dat")).startsWith("\"127.0.0.1\",\"pw\""));
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")),
             QByteArray("3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n"));

    f.acknowledgePopup();
    f.run();
    QVERIFY(!f.w().isVisible());

    // A scheduled check with one new message shows the popup with the total;
    // the popup waiting for its OK does not hold up the next check.
    f.pop.uids << "cc";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QVERIFY(f.popupShown());
    QCOMPARE(f.label(), QStringLiteral("1通の新着メールがあります"));
    f.pop.uids << "dd"
               << "ee";
    f.tickAt(12, 10);
    QVERIFY(f.idle());
    QCOMPARE(f.pop.sessions, 3);
    QCOMPARE(f.label(), QStringLiteral("3通の新着メールがあります"));
    QCOMPARE(f.check().retries(), 0);

    // Nothing new: no popup of its own, the total stays until OK.
    f.tickAt(12, 20);
    QVERIFY(f.idle());
    QCOMPARE(f.label(), QStringLiteral("3通の新着メールがあります"));
    QCOMPARE(f.logMessages().last(), QStringLiteral("0通の新着メールがあります"));
    f.acknowledgePopup();
    QVERIFY(f.program->form4() == nullptr);
}

void TestCheckFlow::forwardingTestThenNotices() {
    Flow f(kForward);
    QVERIFY(f.begin());
    const MainControls ui = f.ui();
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QCOMPARE(ui.Text4->text(), QStringLiteral("　テスト終了、エラーなし"));
    QCOMPARE(f.smtp.messages.size(), 1);
    QVERIFY(f.smtp.messages[0].endsWith("\r\nTEST MAIL\r\n"));
    QCOMPARE(
        f.smtp.commands.mid(1, 2),
        (QList<QByteArray>{"MAIL FROM:<quilmon7400@quilmon.invalid>", "RCPT TO:to@example.jp"}));
    QVERIFY(ui.Command4->isEnabled() && !ui.Command2->isEnabled());
    QVERIFY(!f.popupShown()); // forwarding never shows the popup
    // The success line stands without the two-blank separator.
    QVERIFY(cp932::decode(f.fileBytes(QStringLiteral("quil7400.log")))
                .endsWith(QStringLiteral(":50　テスト終了、エラーなし\r\n")));

    f.run();
    f.pop.uids << "cc"
               << "dd"
               << "ee";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QCOMPARE(f.smtp.messages.size(), 2);
    QVERIFY(f.smtp.messages[1].endsWith(kNotice3));
    QCOMPARE(ui.Text4->text(), QStringLiteral("　メッセージを転送しました"));
    QVERIFY(!f.check().running());
    // The running total (2 from the test, 3 now) is written, never shown.
    QCOMPARE(f.label(), QStringLiteral("5通の新着メールがあります"));
    QVERIFY(!f.popupShown());
}

void TestCheckFlow::failedNoticeIsSentAgainFirst() {
    Flow f(kForward);
    QVERIFY(f.start());
    f.run();
    f.smtp.greeting = "421 busy";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QCOMPARE(f.logMessages().last(), QStringLiteral("送信サーバエラー"));
    QCOMPARE(f.pop.sessions, 1);

    // The next check only sends the pending notice: no POP3 session this time.
    f.smtp.greeting = "220 ready";
    f.tickAt(12, 10);
    QVERIFY(f.idle());
    QCOMPARE(f.pop.sessions, 1);
    QCOMPARE(f.smtp.messages.size(), 1);
    QVERIFY(f.smtp.messages[0].contains("\r\n2\x1b$B"));
    QVERIFY(!f.check().running());

    f.tickAt(12, 20);
    QVERIFY(f.idle());
    QCOMPARE(f.pop.sessions, 2);
    QCOMPARE(f.smtp.messages.size(), 1); // nothing new, nothing sent
}

void TestCheckFlow::dialUpCheckBringsTheLinkUpAndDown() {
    DialupDbusMock mock;
    if (!mock.startBus() || !mock.startManager()) QSKIP("no private D-Bus for the mock");
    const QString profile =
        mock.control(QStringLiteral("AddProfile"), {QStringLiteral("モバイル回線")})
            .arguments()
            .value(0)
            .toString();
    NmDialService nm(mock.bus());
    const QByteArray dial =
        "\"127.0.0.1\",\"pw\",\"\",\"\",\"taro\",\"\",1,4,0,0,,,\"モバイル回線\"\r\n";
    const QByteArray bytes = cp932::encode(QString::fromUtf8(dial));
    Flow f(bytes);
    f.seams.dial = &nm;
    QVERIFY(f.start());
    QTRY_COMPARE(f.ui().Combo1->count(), 1);
    f.run();

    f.tickAt(12, 0);
    QTRY_COMPARE(mock.activeConnections().size(), 1);
    QVERIFY(f.linkMonitored());
    QTRY_COMPARE(f.ui().Text4->text(), QStringLiteral("ポートオープン完了"));
    QCOMPARE(f.pop.sessions, 0); // no check before the link is up
    // A second scheduled start while the link is being built dials nothing.
    f.tickAt(12, 1);
    QCOMPARE(mock.activeConnections().size(), 1);

    mock.control(QStringLiteral("Connect"), {mock.activeConnections().value(0)});
    QTRY_COMPARE(f.pop.sessions, 1);
    QTRY_VERIFY(!f.linkMonitored());
    QTRY_VERIFY(mock.activeConnections().isEmpty());
    QCOMPARE(f.logMessages(), (QStringList{QStringLiteral("実行開始しました。"),
                                           QStringLiteral("2通の新着メールがあります")}));
    QVERIFY(f.popupShown());
    QCOMPARE(f.check().retries(), 0);
    Q_UNUSED(profile);
}

void TestCheckFlow::memoryGoesBackOnlyWhileIdle() {
    Flow f(kPopup);
    int released = 0;
    f.app.releaseIdleMemory = [&released] { ++released; };
    f.app.idleReleaseMs = 50;
    QVERIFY(f.begin());
    MainWindow &w = f.w();
    QTest::mouseClick(f.ui().Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    f.acknowledgePopup();
    QCOMPARE(released, 0); // the window is still open
    f.run();
    QVERIFY(!w.isVisible());
    QTRY_COMPARE(released, 1);
    QTest::qWait(200);
    QCOMPARE(released, 1); // once, not over and over

    // A check that hangs on a silent server: nothing is given back while it
    // runs, even though the window hid again at its start.
    f.pop.silent = true;
    w.show();
    w.hide();
    f.tickAt(12, 0);
    QVERIFY(f.check().pop3Running());
    QTest::qWait(300);
    QCOMPARE(released, 1);
    QVERIFY(f.idle()); // the reply guard ends it
    QTRY_COMPARE(released, 2);
}

void TestCheckFlow::tickDuringACheckStartsNothing() {
    const QStringList timedOut{QStringLiteral("実行開始しました。"),
                               QStringLiteral("受信タイムアウト")};
    {
        // While the POP3 session waits for a silent server.
        Flow f(kPopup);
        f.seams.guardMs = 300;
        f.pop.silent = true;
        QVERIFY(f.start());
        f.run();
        f.tickAt(12, 0);
        QVERIFY(f.check().pop3Running());
        f.tickAt(12, 10);
        QVERIFY(f.idle());
        QTest::qWait(100);
        QCOMPARE(f.pop.sessions, 1);
        QCOMPARE(f.logMessages(), timedOut);
    }
    {
        // While the notice waits for a silent SMTP server.
        SmtpScriptedServer smtp;
        Flow f(kForward);
        f.seams.guardMs = 300;
        f.seams.smtpPort = smtp.port();
        QVERIFY(f.start());
        f.run();
        f.tickAt(12, 0);
        QVERIFY(smtp.waitForClient());
        QVERIFY(f.check().noticeRunning());
        f.tickAt(12, 10);
        QVERIFY(f.idle());
        QTest::qWait(100);
        QCOMPARE(f.pop.sessions, 1);
        QCOMPARE(smtp.connections, 1);
    }
    {
        // While the service is asked, dials, builds the link; then the check
        // over it, which times out.
        Flow f(kDialPopup);
        f.dialUp();
        f.seams.guardMs = 300;
        f.pop.silent = true;
        QVERIFY(f.start());
        f.run();
        f.service.hold = true;
        f.service.reply(DialService::LinkStep::PortOpened);
        f.tickAt(12, 0);
        QVERIFY(f.service.dials.isEmpty()); // the connection count is still asked
        f.tickAt(12, 10);
        f.service.release();
        QCOMPARE(f.service.dials.size(), 1);
        f.tickAt(12, 20); // the dial is not answered yet
        f.service.hold = false;
        f.service.release();
        QVERIFY(f.linkMonitored());
        QTRY_COMPARE(f.ui().Text4->text(), QStringLiteral("ポートオープン完了"));
        f.tickAt(12, 30);
        f.service.reply(
            DialService::LinkStep::Connected); // up: the check runs, the silent server times out
        QTRY_COMPARE(f.pop.sessions, 1);
        f.tickAt(12, 40);
        QTRY_VERIFY(!f.linkMonitored());
        QCOMPARE(f.service.dials.size(), 1);
        QCOMPARE(f.service.hangUps, QList<quint32>{41});
        QCOMPARE(f.pop.sessions, 1);
        QCOMPARE(f.logMessages(), timedOut);
    }
}

void TestCheckFlow::exitInTheMiddleOfADialedCheck() {
    Flow f(kDialPopup);
    f.dialUp();
    f.pop.silent = true;
    QVERIFY(f.start());
    f.service.reply(DialService::LinkStep::Connected);
    f.run();
    f.tickAt(12, 0);
    QTRY_COMPARE(f.pop.sessions, 1);
    QVERIFY(f.check().pop3Running());
    // The window shown from the tray (status line hidden), exit clicked, and
    // clicked again while the service gets its time to take the link down.
    f.program->showSettings();
    QTest::mouseClick(f.ui().Command3, Qt::LeftButton);
    QCOMPARE(f.ui().Text4->text(), QStringLiteral("終了処理中"));
    QCOMPARE(f.service.hangUps, QList<quint32>{41});
    QVERIFY(!f.linkMonitored());
    QCOMPARE(f.exits, 0);
    QTest::mouseClick(f.ui().Command3, Qt::LeftButton);
    QTRY_COMPARE(f.exits, 1);
    QTest::qWait(50);
    QCOMPARE(f.exits, 1);
    QCOMPARE(f.service.hangUps, QList<quint32>{41});
}

void TestCheckFlow::doubleClickOnTest() {
    Flow f(kPopup);
    f.seams.guardMs = 300;
    f.pop.silent = true;
    QVERIFY(f.begin());
    QTest::mouseClick(f.ui().Command2, Qt::LeftButton);
    QTest::mouseClick(f.ui().Command2, Qt::LeftButton);
    QTRY_COMPARE(f.pop.sessions, 1);
    QTest::qWait(100);
    QCOMPARE(f.pop.sessions, 1);
    QCOMPARE(f.logMessages().count(QStringLiteral("接続テスト開始")), 1);
}

void TestCheckFlow::runClickedWhileTheDialUpTestWaits() {
    Flow f(kDialPopup);
    f.dialUp();
    QVERIFY(f.begin()); // as after an edit that was undone
    const MainControls ui = f.ui();
    const QByteArray stored = f.fileBytes(QStringLiteral("quil7400.dat"));
    QVERIFY(ui.Command4->isEnabled());
    f.service.hold = true; // the service takes its time to answer
    f.service.reply(DialService::LinkStep::PortOpened);
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    QTest::mouseClick(ui.Command4, Qt::LeftButton);
    QVERIFY(!ui.Command4->isEnabled());
    QVERIFY(f.w().isVisible());
    f.service.hold = false;
    f.service.release();
    QCOMPARE(f.service.dials.size(), 1);
    QVERIFY(f.w().isVisible());
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), stored);
    QVERIFY(!f.logMessages().contains(QStringLiteral("実行開始しました。")));
    QTest::mouseClick(ui.Command3, Qt::LeftButton); // exit releases the test's dial
    QCOMPARE(f.service.hangUps, QList<quint32>{41});
    QTRY_COMPARE(f.exits, 1);
    QCOMPARE(f.logMessages().last(), QStringLiteral("終了ボタンが押されたので強制終了しました"));
}

void TestCheckFlow::windowAnswersDuringTheHangUpPause() {
    Flow f(kDialPopup);
    f.dialUp();
    f.seams.hangUpWaitMs = 3000;
    QElapsedTimer sinceHangUp;
    f.service.onHangUp = [&] { sinceHangUp.start(); };
    f.service.reply(DialService::LinkStep::Connected);
    QVERIFY(f.start());
    f.run();
    f.tickAt(12, 0);
    QTRY_VERIFY(sinceHangUp.isValid());
    // The check is over, the link is down, the pause runs.
    QCOMPARE(f.pop.sessions, 1);
    QVERIFY(!f.check().pop3Running());
    QCOMPARE(f.service.hangUps, QList<quint32>{41});
    QVERIFY(f.linkMonitored());

    qint64 pauseEnded = -1;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (pauseEnded < 0 && !f.linkMonitored()) pauseEnded = sinceHangUp.elapsed();
    });
    watch.start();

    // The settings window from the tray; repaints and clicks asked for back
    // to back over the whole pause, so that no moment of it goes unmeasured:
    // each is answered within 200 ms, not after the pause.
    MainWindow &w = f.w();
    QCheckBox *box = f.ui().Check1;
    PaintCounter paints(&w);
    f.program->showSettings();
    int rounds = 0;
    while (f.linkMonitored()) {
        const int painted = paints.count;
        const bool checked = box->isChecked();
        QElapsedTimer answer;
        answer.start();
        w.update();
        // Through the event queue, as a user's click comes.
        QTimer::singleShot(0, box, [box] { QTest::mouseClick(box, Qt::LeftButton); });
        QVERIFY(QTest::qWaitFor(
            [&] { return paints.count > painted && box->isChecked() != checked; }, 1000));
        QVERIFY2(
            answer.elapsed() < 200,
            qPrintable(
                QStringLiteral("%1 ms at %2 ms").arg(answer.elapsed()).arg(sinceHangUp.elapsed())));
        ++rounds;
    }
    QVERIFY(rounds >= 10);
    QTRY_VERIFY(pauseEnded >= 0);
    QVERIFY2(pauseEnded >= 2850 && pauseEnded < 3500, qPrintable(QString::number(pauseEnded)));
}

void TestCheckFlow::sessionClosedBeforeTheSaveFailureBox() {
    SmtpScriptedServer pop; // plays POP3
    Flow f(kPopup);
    f.seams.popPort = pop.port();
    bool sessionOpen = true, peerOpen = true;
    f.app.messageBox = [&](QWidget *, const QString &title, const QString &text) {
        f.boxes << title + u'|' + text;
        sessionOpen = f.check().pop3Running();
        peerOpen = !closedByClient(pop.client);
    };
    QVERIFY(f.begin());
    // A folder where the settings file was: it cannot be replaced.
    const QString record = f.path(QStringLiteral("quil7400.dat"));
    QVERIFY(QFile::remove(record) && QDir().mkdir(record));

    const MainControls ui = f.ui();
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    QVERIFY(pop.waitForClient());
    pop.send("+OK\r\n+OK\r\n+OK\r\n+OK 2 200\r\n1 100\r\n2 100\r\n.\r\n");
    QVERIFY(QTest::qWaitFor([&] { return pop.received.contains("UIDL"); }));
    QVERIFY(!closedByClient(pop.client)); // still connected
    pop.send("+OK\r\n1 aa\r\n2 bb\r\n.\r\n");
    QTRY_COMPARE(f.boxes.size(), 1);
    QVERIFY(!sessionOpen);
    QVERIFY(!peerOpen);
    QCOMPARE(f.boxes[0], QStringLiteral("クイルモン7400|設定ファイルを保存できませんでした。\n%1\n"
                                        "フォルダの書き込み権限と空き容量を確認してください。")
                             .arg(QDir::toNativeSeparators(record)));
    // A test whose settings were not saved is no success.
    QCOMPARE(ui.Text4->text(), QStringLiteral("設定ファイルを保存できませんでした"));
    QVERIFY(!ui.Text4->isHidden());
    QVERIFY(!ui.Command4->isEnabled() && ui.Command2->isEnabled());
    QCOMPARE(f.logMessages().last(),
             QStringLiteral("テスト終了、設定ファイルを保存できませんでした"));
    QVERIFY(!f.popupShown());
}

void TestCheckFlow::desktopNoticesBesideThePopup() {
    NotifyDbusMock daemon;
    QVERIFY(daemon.startBus() && daemon.startDaemon());
    BusGone busGone;
    Flow f(kPopup);
    QList<QStringList> started;
    const QString opened = f.path(QStringLiteral("mail opened"));
    notifyOn(f, daemon.address(), &started, QStringLiteral("/usr/bin/touch \"%1\"").arg(opened));
    QVERIFY(f.begin());

    // The test tells what its popup tells.
    QTest::mouseClick(f.ui().Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QTRY_COMPARE(daemon.notifyCalls().size(), 1);
    const QVariantList first = daemon.notifyCalls()[0];
    QCOMPARE(first.size(), 8);
    QCOMPARE(first[0].toString(), QStringLiteral("クイルモン7400"));
    QCOMPARE(first[1].toUInt(), 0u); // replaces nothing
    QCOMPARE(first[2].toString(), QStringLiteral("quilmon7400"));
    QCOMPARE(first[3].toString(), QStringLiteral("クイルモン7400"));
    QCOMPARE(first[4].toString(), QStringLiteral("テストが終了しました"));
    QCOMPARE(first[5].toStringList(),
             (QStringList{QStringLiteral("default"), QStringLiteral("メールを開く"),
                          QStringLiteral("open-mail"), QStringLiteral("メールを開く")}));
    const QVariantMap hints = qdbus_cast<QVariantMap>(first[6]);
    QCOMPARE(hints.value(QStringLiteral("urgency")).toInt(), 1);
    QCOMPARE(hints.value(QStringLiteral("category")).toString(), QStringLiteral("email.arrived"));
    QCOMPARE(hints.value(QStringLiteral("desktop-entry")).toString(),
             QStringLiteral("quilmon7400"));
    QCOMPARE(hints.value(QStringLiteral("image-path")).toString(), QStringLiteral("quilmon7400"));
    QTRY_COMPARE(f.program->notifier()->lastId(), 1u);

    // Scheduled checks tell the running total, each notice replacing the last.
    f.acknowledgePopup();
    f.run();
    f.pop.uids << "cc";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QTRY_COMPARE(daemon.notifyCalls().size(), 2);
    f.pop.uids << "dd"
               << "ee";
    f.tickAt(12, 10);
    QVERIFY(f.idle());
    QTRY_COMPARE(daemon.notifyCalls().size(), 3);
    for (int i : {1, 2})
        QCOMPARE(daemon.notifyCalls()[i][1].toUInt(), 1u);
    QCOMPARE(daemon.notifyCalls()[1][4].toString(), QStringLiteral("1通の新着メールがあります"));
    QCOMPARE(daemon.notifyCalls()[2][4].toString(), QStringLiteral("3通の新着メールがあります"));
    // Nothing new: nothing told.
    f.tickAt(12, 20);
    QVERIFY(f.idle());
    QTest::qWait(200);
    QCOMPARE(daemon.notifyCalls().size(), 3);

    // Only our notification's actions open the mail client; the signals
    // arrive in order, so the others have been handled once the file is there.
    QVERIFY(daemon.emitActionInvoked(7, QStringLiteral("default")));
    QVERIFY(daemon.emitActionInvoked(1, QStringLiteral("other")));
    QVERIFY(daemon.emitActionInvoked(1, QStringLiteral("open-mail")));
    QTRY_VERIFY(QFile::exists(opened));
    QCOMPARE(started, (QList<QStringList>{{QStringLiteral("/usr/bin/touch"), opened}}));
    QVERIFY(daemon.emitActionInvoked(1, QStringLiteral("default")));
    QTRY_COMPARE(started.size(), 2);
    // The user went to read them: the total starts again.
    f.pop.uids << "ff";
    f.tickAt(12, 30);
    QVERIFY(f.idle());
    QTRY_COMPARE(daemon.notifyCalls().last()[4].toString(),
                 QStringLiteral("1通の新着メールがあります"));

    // No command: the desktop's mailto: handler; quotes group words.
    QCOMPARE(DesktopNotifier::mailClient(QStringLiteral("  ")),
             (QStringList{QStringLiteral("xdg-open"), QStringLiteral("mailto:")}));
    QCOMPARE(DesktopNotifier::mailClient(QStringLiteral("thunderbird -P \"my mail\"")),
             (QStringList{QStringLiteral("thunderbird"), QStringLiteral("-P"),
                          QStringLiteral("my mail")}));
}

void TestCheckFlow::desktopNoticesBesideTheNoticeMail() {
    NotifyDbusMock daemon;
    QVERIFY(daemon.startBus() && daemon.startDaemon());
    BusGone busGone;
    {
        // Off: never told, whatever the check finds.
        Flow off(kPopup);
        off.seams.sessionBus = [&daemon] {
            return QDBusConnection::connectToBus(daemon.address(), QStringLiteral("quil-notify"));
        };
        QVERIFY(off.start());
        off.run();
        off.tickAt(12, 0);
        QVERIFY(off.idle());
        QVERIFY(off.popupShown());
    }
    Flow f(kForward);
    QList<QStringList> started;
    notifyOn(f, daemon.address(), &started);
    QVERIFY(f.begin());
    // The forwarding test shows no popup, so it tells the desktop nothing.
    QTest::mouseClick(f.ui().Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QCOMPARE(f.smtp.messages.size(), 1);
    f.run();
    f.pop.uids << "cc";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QCOMPARE(f.smtp.messages.size(), 2);
    QTRY_COMPARE(daemon.notifyCalls().size(), 1);
    QCOMPARE(daemon.notifyCalls()[0][4].toString(), QStringLiteral("3通の新着メールがあります"));
    // Without a command the desktop's mailto: handler is asked.
    QVERIFY(daemon.emitActionInvoked(1, QStringLiteral("default")));
    QTRY_COMPARE(started.size(), 1);
    QCOMPARE(started[0], (QStringList{QStringLiteral("xdg-open"), QStringLiteral("mailto:")}));

    // A mail client that cannot be started is told, with nothing to choose again.
    DesktopNotifier failing(
        [&daemon] {
            return QDBusConnection::connectToBus(daemon.address(), QStringLiteral("quil-notify"));
        },
        [](const QString &, const QStringList &) { return false; });
    failing.notify(QStringLiteral("1通の新着メールがあります"), QStringLiteral("no-mailer -c"));
    QTRY_VERIFY(failing.lastId() != 0);
    QVERIFY(daemon.emitActionInvoked(failing.lastId(), QStringLiteral("open-mail")));
    QTRY_VERIFY(daemon.notifyCalls().last()[4].toString().startsWith(
        QStringLiteral("メールソフトを起動できませんでした（no-mailer）")));
    QVERIFY(daemon.notifyCalls().last()[5].toStringList().isEmpty());
}

void TestCheckFlow::headersInTheTrayTip() {
    // The newest senders and subjects stay in the tip until the user has
    // seen them: the popup's ＯＫ, or 設定変更.
    Flow f(kPopup);
    f.pop.answersTop = true;
    QVERIFY(f.begin());
    f.run();
    f.tickAt(11, 50); // the mailbox as it was: told, then acknowledged
    QVERIFY(f.idle());
    f.acknowledgePopup();
    f.pop.uids << "cc"
               << "dd";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    const QString designed =
        QStringLiteral("メールチェックソフトクイルモン7400\n12:00 新着2通\n次回チェック 12:10");
    QSystemTrayIcon *tray = child<QSystemTrayIcon>(f.program->icons(), "trayIcon");
    QCOMPARE(tray->toolTip(), designed + "\nsender4@example.jp — message 4"
                                         "\nsender3@example.jp — message 3");
    QCOMPARE(f.label(), QStringLiteral("2通の新着メールがあります")); // the popup as designed
    f.acknowledgePopup();
    QCOMPARE(tray->toolTip(), designed);
    f.pop.uids << "ee";
    f.tickAt(12, 10);
    QVERIFY(f.idle());
    QVERIFY(tray->toolTip().endsWith(
        "12:10 新着1通\n次回チェック 12:20\nsender5@example.jp — message 5"));
    trayEntry("set")->trigger();
    QVERIFY(tray->toolTip().endsWith("12:10 新着1通")); // no next check while shown
}

void TestCheckFlow::desktopNoticesWithoutTheService() {
    const QString failure = QStringLiteral("デスクトップ通知を送れませんでした（");
    NotifyDbusMock bus;
    QVERIFY(bus.startBus());
    BusGone busGone;
    // A bus without the service, and no session bus at all.
    for (bool withBus : {true, false}) {
        Flow f(kPopup);
        QList<QStringList> started;
        notifyOn(f, withBus ? bus.address() : QString(), &started);
        QVERIFY(f.start());
        f.run();
        f.tickAt(12, 0);
        QVERIFY(f.idle());
        QVERIFY(f.popupShown());
        QCOMPARE(f.label(), QStringLiteral("2通の新着メールがあります"));
        QTRY_VERIFY(f.logMessages().last().startsWith(failure));
        f.pop.uids << "dd";
        f.tickAt(12, 10);
        QVERIFY(f.idle());
        QCOMPARE(f.label(), QStringLiteral("3通の新着メールがあります"));
        QTest::qWait(200);
        // Told once, not at every check.
        QCOMPARE(f.logMessages().filter(failure).size(), 1);
        QCOMPARE(f.check().retries(), 0);
        QVERIFY(started.isEmpty());
    }
}

void TestCheckFlow::trayFollowsTheChecks_data() {
    QTest::addColumn<QString>("checks"); // one a minute from 12:00: id, pass refused; none, new
    QTest::addColumn<bool>("notify");
    QTest::addColumn<QString>("icon"); // unread count, ! for the warning
    QTest::addColumn<QString>("tip");  // below the designed text
    QTest::addColumn<QStringList>("told");
    const QString pw = "パスワードが違います";
    QTest::newRow("one failure: icon and tip only")
        << "pass" << true << "!"
        << "12:00 " + pw + "\n次回チェック 12:01" << QStringList();
    QTest::newRow("the retry failed too: told once")
        << "pass pass pass" << true << "!"
        << "12:02 " + pw + "\n次回チェック 12:03" << QStringList{pw};
    QTest::newRow("another failure: told again") << "pass pass id" << true << "!"
                                                 << "12:02 ユーザＩＤが違います\n次回チェック 12:03"
                                                 << QStringList{pw, "ユーザＩＤが違います"};
    QTest::newRow("success clears the mark silently")
        << "pass pass none" << true << ""
        << "12:02 新着なし\n次回チェック 12:10" << QStringList{pw};
    QTest::newRow("new mail counts on the badge")
        << "new new" << true << "2"
        << "12:01 新着1通\n次回チェック 12:10"
        << QStringList{"1通の新着メールがあります", "2通の新着メールがあります"};
    QTest::newRow("new mail, then failures")
        << "new pass pass" << true << "1!"
        << "12:02 " + pw + "\n次回チェック 12:10" << QStringList{"1通の新着メールがあります", pw};
    QTest::newRow("notifications off") << "pass pass" << false << "!"
                                       << "12:01 " + pw + "\n次回チェック 12:10" << QStringList();
}

void TestCheckFlow::trayFollowsTheChecks() {
    QFETCH(QString, checks);
    QFETCH(bool, notify);
    QFETCH(QString, icon);
    QFETCH(QString, tip);
    QFETCH(QStringList, told);
    if (!m_daemon) {
        m_daemon = std::make_unique<NotifyDbusMock>();
        QVERIFY(m_daemon->startBus() && m_daemon->startDaemon());
    }
    NotifyDbusMock &daemon = *m_daemon;
    BusGone busGone;
    const qsizetype before = daemon.notifyCalls().size();
    QList<QPointer<MemoryLink>> links;
    Flow f(kPopup);
    f.seams.makeLink = [&links] { return (links << new MemoryLink).last().data(); };
    QList<QStringList> started;
    if (notify) notifyOn(f, daemon.address(), &started);
    QVERIFY(f.start());
    f.run();
    const QByteArray login = "+OK\r\n+OK\r\n+OK\r\n";
    const QStringList steps = checks.split(u' ');
    for (int i = 0; i < steps.size(); ++i) {
        // At the interval minute, the retry's, or by 今すぐチェック.
        const qsizetype count = links.size();
        f.tickAt(12, i);
        if (links.size() == count) trayEntry("now")->trigger();
        QCOMPARE(links.size(), count + 1);
        links.last()->accept();
        links.last()->reply(steps[i] == u"id"     ? "-ERR\r\n"
                            : steps[i] == u"pass" ? login.first(10) + "-ERR\r\n"
                            : steps[i] == u"none"
                                ? login + "+OK 0 0\r\n"
                                : login + "+OK 1 9\r\n1 9\r\n.\r\n+OK\r\n1 u" +
                                      QByteArray::number(i) + "\r\n.\r\n-ERR\r\n");
        QVERIFY(f.idle());
    }
    QSystemTrayIcon *tray = child<QSystemTrayIcon>(f.program->icons(), "trayIcon");
    QCOMPARE(tray->toolTip(), "メールチェックソフトクイルモン7400\n" + tip);
    const auto drawn = [](int unread, bool failed) {
        const QIcon plain = programIcon();
        return (unread || failed ? overlaidIcon(plain, unread, failed) : plain)
            .pixmap(32)
            .toImage();
    };
    const bool failed = icon.endsWith(u'!');
    QCOMPARE(tray->icon().pixmap(32).toImage(), drawn(icon.remove(u'!').toInt(), failed));
    if (told.isEmpty()) QTest::qWait(200); // a notice would have arrived by now
    const auto bodies = [&] {
        QStringList out;
        for (const QVariantList &call : daemon.notifyCalls().mid(before))
            out << call[4].toString();
        return out;
    };
    QTRY_COMPARE(bodies(), told);
    if (!failed || told.isEmpty() || told.last().contains(u'通')) return;
    // The failure notice's action opens the settings, which clears the badge.
    uint id = 0, next = 1; // the daemon numbers new notices from 1
    for (const QVariantList &call : daemon.notifyCalls())
        id = call[1].toUInt() ? call[1].toUInt() : next++;
    QVERIFY(daemon.emitActionInvoked(id, QStringLiteral("open-settings")));
    QTRY_VERIFY(f.w().isVisible());
    QCOMPARE(tray->icon().pixmap(32).toImage(), drawn(0, failed));
}

QTEST_MAIN(TestCheckFlow)
#include "tst_checkflow.moc"
