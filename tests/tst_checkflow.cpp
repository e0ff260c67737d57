// Whole checks through the program: settings test, Run, scheduled checks with
// the popup or a notice mail, a failed notice sent again, and a dial-up link
// brought up and taken down around a check; memory given back while idle.
#include "dialup/nmbackend.h"
#include "platform/codepage.h"
#include "support/autoservers.h"
#include "support/dialup_dbusmock.h"
#include "support/programfixture.h"
#include "windows/form4.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {
struct Flow : ProgramFixture {
    AutoPop3Server pop;
    AutoSmtpServer smtp;

    explicit Flow(const QByteArray &settings) : ProgramFixture(&settings) {
        seams.popPort = pop.port();
        seams.smtpPort = smtp.port();
        pop.uids = {"aa", "bb"};
    }
    bool begin() {
        if (!start()) return false;
        w().show();
        w().Command2->setEnabled(true);
        return true;
    }
    bool idle() {
        return QTest::qWaitFor(
            [this] { return !program->form1Loaded() && !program->form3Loaded(); }, 10000);
    }
    // One scheduler tick at this time of day.
    void tickAt(int h, int m) {
        clock = QDateTime(clock.date(), QTime(h, m, 1));
        w().Timer1_Timer();
    }
    QString label() const {
        return program->form4() ? program->form4()->Label1->text() : QString();
    }
    bool popupShown() const { return program->form4() && program->form4()->isVisible(); }
};

const QByteArray kPopup =
    "\"127.0.0.1\",\"pw\",\"\",\"\",\"taro\",\"\",0,4,0,0,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kForward =
    "\"127.0.0.1\",\"pw\",\"127.0.0.1\",\"to@example.jp\",\"taro\",\"\",0,4,0,"
    "1,\"0:00\",\"0:00\",\"\"\r\n";
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
};

void TestCheckFlow::popupTestThenMonitoring() {
    Flow f(kPopup);
    QVERIFY(f.begin());
    MainWindow &w = f.w();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QCOMPARE(w.Text4->text(), QStringLiteral("テスト終了､エラーなし"));
    QVERIFY(f.popupShown());
    QCOMPARE(f.label(), QStringLiteral("テストが終了しました"));
    QCOMPARE(f.logMessages(), (QStringList{QStringLiteral("接続テスト開始"),
                                           QStringLiteral("2通の新着メールがあります"),
                                           QStringLiteral("テスト終了、エラーなし")}));
    QVERIFY(w.Command4->isEnabled() && !w.Command2->isEnabled());
    QVERIFY(f.fileBytes(QStringLiteral("quil7400.dat")).startsWith("\"127.0.0.1\",\"pw\""));
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")),
             QByteArray("3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n"));

    QTest::mouseClick(f.program->form4()->Command1, Qt::LeftButton);
    QCOMPARE(int(f.program->state().New_mail_number2), 0);
    QTest::mouseClick(w.Command4, Qt::LeftButton);
    QVERIFY(!w.isVisible());

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
    QCOMPARE(int(f.program->state().Retry_Flag), 0);

    // Nothing new: no popup of its own, the total stays until OK.
    f.tickAt(12, 20);
    QVERIFY(f.idle());
    QCOMPARE(f.label(), QStringLiteral("3通の新着メールがあります"));
    QCOMPARE(f.logMessages().last(), QStringLiteral("0通の新着メールがあります"));
    QTest::mouseClick(f.program->form4()->Command1, Qt::LeftButton);
    QCOMPARE(int(f.program->state().New_mail_number2), 0);
    QVERIFY(f.program->form4() == nullptr);
}

void TestCheckFlow::forwardingTestThenNotices() {
    Flow f(kForward);
    QVERIFY(f.begin());
    MainWindow &w = f.w();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QCOMPARE(w.Text4->text(), QStringLiteral("　テスト終了、エラーなし"));
    QCOMPARE(f.smtp.messages.size(), 1);
    QVERIFY(f.smtp.messages[0].endsWith("\r\nTEST MAIL\r\n"));
    QCOMPARE(
        f.smtp.commands.mid(1, 2),
        (QList<QByteArray>{"MAIL FROM:<quilmon7400@quilmon.invalid>", "RCPT TO:to@example.jp"}));
    QVERIFY(w.Command4->isEnabled() && !w.Command2->isEnabled());
    QVERIFY(!f.popupShown()); // forwarding never shows the popup
    // The success line stands without the two-blank separator.
    QVERIFY(cp932::decode(f.fileBytes(QStringLiteral("quil7400.log")))
                .endsWith(QStringLiteral(":50　テスト終了、エラーなし\r\n")));

    QTest::mouseClick(w.Command4, Qt::LeftButton);
    f.pop.uids << "cc"
               << "dd"
               << "ee";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QCOMPARE(f.smtp.messages.size(), 2);
    QVERIFY(f.smtp.messages[1].endsWith(kNotice3));
    QCOMPARE(w.Text4->text(), QStringLiteral("　メッセージを転送しました"));
    QCOMPARE(int(f.program->state().Dup_End_Flag), 1);
    // The running total (2 from the test, 3 now) is written, never shown.
    QCOMPARE(f.label(), QStringLiteral("5通の新着メールがあります"));
    QVERIFY(!f.popupShown());
}

void TestCheckFlow::failedNoticeIsSentAgainFirst() {
    Flow f(kForward);
    QVERIFY(f.start());
    f.program->state().Flag = 2; // monitoring as stored, with the window hidden
    f.w().hide();
    f.smtp.greeting = "421 busy";
    f.tickAt(12, 0);
    QVERIFY(f.idle());
    QCOMPARE(int(f.program->state().TX_flg), 1);
    QCOMPARE(f.logMessages().last(), QStringLiteral("送信サーバエラー"));
    QCOMPARE(f.pop.sessions, 1);

    // The next check only sends the pending notice: no POP3 session this time.
    f.smtp.greeting = "220 ready";
    f.tickAt(12, 10);
    QVERIFY(f.idle());
    QCOMPARE(f.pop.sessions, 1);
    QCOMPARE(f.smtp.messages.size(), 1);
    QVERIFY(f.smtp.messages[0].contains("\r\n2\x1b$B"));
    QCOMPARE(int(f.program->state().TX_flg), 0);
    QCOMPARE(int(f.program->state().Dup_End_Flag), 1);

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
    NmBackend nm(mock.bus());
    const QByteArray dial =
        "\"127.0.0.1\",\"pw\",\"\",\"\",\"taro\",\"\",1,4,0,0,,,\"モバイル回線\"\r\n";
    const QByteArray bytes = cp932::encode(QString::fromUtf8(dial));
    Flow f(bytes);
    f.seams.ras = &nm;
    QVERIFY(f.start());
    QCOMPARE(f.w().Combo1->count(), 1);
    f.program->state().Flag = 2;
    f.w().hide();

    f.tickAt(12, 0);
    QTRY_COMPARE(mock.activeConnections().size(), 1);
    QVERIFY(f.program->linkMonitorRunning());
    QTRY_COMPARE(f.w().Text4->text(), QStringLiteral("ポートオープン完了"));
    QCOMPARE(f.pop.sessions, 0); // no check before the link is up
    // A second scheduled start while the link is being built dials nothing.
    f.tickAt(12, 1);
    QCOMPARE(mock.activeConnections().size(), 1);

    mock.control(QStringLiteral("Connect"), {mock.activeConnections().value(0)});
    QTRY_COMPARE(f.pop.sessions, 1);
    QTRY_VERIFY(!f.program->linkMonitorRunning());
    QTRY_VERIFY(mock.activeConnections().isEmpty());
    QCOMPARE(f.logMessages(), QStringList{QStringLiteral("2通の新着メールがあります")});
    QVERIFY(f.popupShown());
    QCOMPARE(int(f.program->state().Retry_Flag), 0);
    Q_UNUSED(profile);
}

void TestCheckFlow::memoryGoesBackOnlyWhileIdle() {
    Flow f(kPopup);
    int released = 0;
    f.seams.releaseIdleMemory = [&released] { ++released; };
    f.seams.idleReleaseMs = 50;
    QVERIFY(f.begin());
    MainWindow &w = f.w();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(f.idle());
    QTest::mouseClick(f.program->form4()->Command1, Qt::LeftButton);
    QCOMPARE(released, 0); // the window is still open
    QTest::mouseClick(w.Command4, Qt::LeftButton);
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
    QVERIFY(f.program->form1Loaded());
    QTest::qWait(300);
    QCOMPARE(released, 1);
    QVERIFY(f.idle()); // the reply guard ends it
    QTRY_COMPARE(released, 2);
}

QTEST_MAIN(TestCheckFlow)
#include "tst_checkflow.moc"
