// Handlers that let events run give other handlers a turn in their middle:
// a scheduler tick, a second click on Test, Run or exit arriving then must
// never start a second check, save untested settings or leave a link up.
#include "dialup/dialup.h"
#include "dialup/tasktry.h"
#include "platform/codepage.h"
#include "support/dialup_scripted.h"
#include "support/programfixture.h"
#include "support/smtp_scriptedserver.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QByteArray kLanPopup =
    "\"127.0.0.1\",\"secret\",\"\",\"\",\"taro\",\"\",0,4,0,0,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kLanForwarding = "\"127.0.0.1\",\"secret\",\"127.0.0.1\",\"to@example.jp\","
                                  "\"taro\",\"\",0,4,0,1,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kDialPopup = cp932::encode(u"\"127.0.0.1\",\"secret\",\"\",\"\",\"taro\",\"\","
                                            u"1,4,0,0,\"0:00\",\"0:00\",\"会社\"\r\n");

QDateTime at(int hour, int minute) {
    return QDateTime(QDate(2026, 1, 1), QTime(hour, minute, 0));
}

// A whole program pointed at a silent POP3 peer (and an SMTP one), with a
// scripted dial-up service.
struct Rig : ProgramFixture {
    SmtpScriptedServer pop, smtp;
    ScriptedBackend ras;
    explicit Rig(const QByteArray &settings, int guardMs = 300) : ProgramFixture(&settings) {
        ras.entryNames = QStringList{QStringLiteral("会社")};
        seams.ras = &ras;
        seams.popPort = pop.port();
        seams.smtpPort = smtp.port();
        seams.guardMs = guardMs;
        start();
    }
    ~Rig() {
        program->unloadForm1();
        program->unloadForm3();
        program->hangUpForExit();
    }
    // Run, then the scheduler's tick at the given time.
    void runAndTick(const QDateTime &time) {
        QTest::mouseClick(w().Command4, Qt::LeftButton);
        clock = time;
        w().Timer1_Timer();
    }
    // Queues a scheduler tick at another interval minute; it runs at the
    // next point that lets events run. `busy` records what was running then.
    void queueTick(const QDateTime &time, bool *ran, bool *busy) {
        QMetaObject::invokeMethod(
            &w(),
            [this, time, ran, busy] {
                *ran = true;
                *busy = w().checkInProgress() || program->form3Loaded();
                clock = time;
                w().Timer1_Timer();
            },
            Qt::QueuedConnection);
    }
    // Moves the link monitor's own handler behind a probe that queues a tick,
    // so the tick runs inside the monitor's yield.
    void tickInsideTheLinkMonitor(const QDateTime &time, bool *ran, bool *busy) {
        DialUp *d = program->dialUp();
        QObject::disconnect(&d->Timer2, &QTimer::timeout, d, nullptr);
        auto armed = std::make_shared<bool>(true);
        QObject::connect(&d->Timer2, &QTimer::timeout, &w(), [=, this] {
            if (!*armed) return;
            *armed = false;
            queueTick(time, ran, busy);
        });
        QObject::connect(&d->Timer2, SIGNAL(timeout()), d, SLOT(Timer2_Timer()));
    }
};

} // namespace

class TestReentrancy : public QObject {
    Q_OBJECT
  private slots:
    void tickDuringTheCheckersLoad();
    void tickDuringTheSendersLoad();
    void tickDuringTheDialAndTheLinkMonitor();
    void exitInTheMiddleOfADialedCheck();
    void runClickedWhileTheDialUpTestYields();
    void doubleClickOnTest();
};

void TestReentrancy::tickDuringTheCheckersLoad() {
    Rig r(kLanPopup);
    bool ran = false, busy = false;
    r.queueTick(at(12, 10), &ran, &busy);
    r.runAndTick(at(12, 0));
    QVERIFY(ran && busy);
    QVERIFY(r.pop.waitForClient());
    QTRY_VERIFY(!r.program->form1Loaded()); // the silent server times out
    QTest::qWait(100);
    QCOMPARE(r.pop.connections, 1);
    QCOMPARE(r.logMessages(), (QStringList{QStringLiteral("実行開始しました。"),
                                           QStringLiteral("受信タイムアウト")}));
}

void TestReentrancy::tickDuringTheSendersLoad() {
    Rig r(kLanForwarding);
    bool ran = false, busy = false;
    QObject::connect(r.w().Text4, &QLineEdit::textChanged, &r.w(), [&](const QString &text) {
        if (text == QStringLiteral("1通の新着メールがあります"))
            r.queueTick(at(12, 10), &ran, &busy);
    });
    r.runAndTick(at(12, 0));
    QVERIFY(r.pop.waitForClient());
    r.pop.send("+OK\r\n+OK\r\n+OK\r\n+OK 1 5\r\n1 5\r\n.\r\n");
    QVERIFY(QTest::qWaitFor([&] { return r.pop.received.contains("UIDL"); }));
    r.pop.send("+OK\r\n1 new\r\n.\r\n");
    QVERIFY(r.smtp.waitForClient());
    QVERIFY(ran && busy);
    QTRY_VERIFY(!r.program->form3Loaded()); // the silent SMTP server times out
    QTest::qWait(100);
    QCOMPARE(r.pop.connections, 1);
    QCOMPARE(r.smtp.connections, 1);
}

void TestReentrancy::tickDuringTheDialAndTheLinkMonitor() {
    Rig r(kDialPopup);
    r.ras.reply(0, 1, 600); // being built
    bool dialRan = false, dialBusy = false;
    // DialStart lets events run before it dials: the tick then finds a dial
    // under way although no link is watched yet.
    r.queueTick(at(12, 10), &dialRan, &dialBusy);
    r.runAndTick(at(12, 0));
    QVERIFY(dialRan);
    QCOMPARE(r.ras.dials.size(), 1);
    QVERIFY(r.program->linkMonitorRunning());

    bool monitorRan = false, monitorBusy = false;
    r.tickInsideTheLinkMonitor(at(12, 20), &monitorRan, &monitorBusy);
    QTRY_VERIFY(monitorRan);
    QVERIFY(monitorBusy);
    QCOMPARE(r.w().Text4->text(), TaskTry::RasStateText(1));
    r.ras.reply(0, 8192, 0); // up: the check runs, the silent server times out
    QVERIFY(r.pop.waitForClient());
    QTRY_VERIFY(!r.program->linkMonitorRunning());
    QCOMPARE(r.ras.dials.size(), 1);
    QCOMPARE(r.ras.hangUps, QList<quint32>{41});
    QCOMPARE(r.pop.connections, 1);
    QCOMPARE(r.logMessages(), (QStringList{QStringLiteral("実行開始しました。"),
                                           QStringLiteral("受信タイムアウト")}));
}

void TestReentrancy::exitInTheMiddleOfADialedCheck() {
    Rig r(kDialPopup, 5000);
    r.ras.reply(0, 8192, 0);
    r.runAndTick(at(12, 0));
    QVERIFY(r.pop.waitForClient());
    QVERIFY(r.program->form1Loaded());
    // The window shown from the tray (status line hidden), exit clicked.
    r.program->showSettings();
    QTest::mouseClick(r.w().Command3, Qt::LeftButton);
    QCOMPARE(r.exits, 1);
    QCOMPARE(r.ras.hangUps, QList<quint32>{41});
    QVERIFY(!r.program->linkMonitorRunning());
}

void TestReentrancy::runClickedWhileTheDialUpTestYields() {
    Rig r(kDialPopup);
    MainWindow &w = r.w();
    const QByteArray stored = r.fileBytes(QStringLiteral("quil7400.dat"));
    w.Command2->setEnabled(true); // as after an edit that was undone
    QVERIFY(w.Command4->isEnabled());
    r.ras.reply(0, 1, 600);
    bool clickedWhileEnabled = false;
    QMetaObject::invokeMethod(
        &w,
        [&] {
            clickedWhileEnabled = w.Command4->isEnabled();
            w.Command4->click();
        },
        Qt::QueuedConnection);
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(clickedWhileEnabled);
    QCOMPARE(int(r.program->state().Flag), 1); // still the test
    QVERIFY(w.isVisible());
    QCOMPARE(r.fileBytes(QStringLiteral("quil7400.dat")), stored);
    QVERIFY(!r.logMessages().contains(QStringLiteral("実行開始しました。")));
    QCOMPARE(r.ras.dials.size(), 1);
    QTest::mouseClick(w.Command3, Qt::LeftButton); // exit releases the test's dial
    QCOMPARE(r.ras.hangUps, QList<quint32>{41});
}

void TestReentrancy::doubleClickOnTest() {
    Rig r(kLanPopup);
    MainWindow &w = r.w();
    w.Command2->setEnabled(true);
    // The second click of a double click lands while the first one's check
    // lets events run, or just after the first handler returned.
    bool second = false;
    QMetaObject::invokeMethod(
        &w,
        [&] {
            second = w.Command2->isEnabled();
            w.Command2->click();
        },
        Qt::QueuedConnection);
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(second);
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(r.pop.waitForClient());
    QTest::qWait(100);
    QCOMPARE(r.pop.connections, 1);
    QCOMPARE(r.logMessages().count(QStringLiteral("接続テスト開始")), 1);
    QCOMPARE(int(r.program->state().Flag), 1);
}

QTEST_MAIN(TestReentrancy)
#include "tst_reentrancy.moc"
