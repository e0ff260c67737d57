// The dial and the link monitor under a check, against a scripted service:
// what the status line and the log say, when the check starts and when the
// link is hung up.
#include "check/mailcheck.h"
#include "dialup/dialup.h"
#include "platform/seams.h"
#include "support/autoservers.h"
#include "support/dialup_scripted.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
const QString LinkError = QStringLiteral("ダイヤルアップ接続異常");
const QString InUse = QStringLiteral("すでにダイヤルアップ接続が使用されています");
using Step = DialService::LinkStep;
using Outcome = DialService::Outcome;

// A check in dial-up mode over entry A, its reports recorded. The monitor
// ticks only when a test says so.
struct DialedLink {
    QTemporaryDir dir;
    Seams seams;
    ScriptedService service;
    AutoPop3Server pop;
    SettingsRecord settings;
    std::unique_ptr<MailCheck> check;
    QStringList status, log;

    DialedLink() {
        seams.dial = &service;
        seams.linkTickMs = 60000;
        seams.hangUpWaitMs = 300;
        seams.linkErrorWaitMs = 100;
        seams.popPort = pop.port();
        seams.stateDir = seams.configDir = dir.path();
        service.entryNames = {QStringLiteral("A"), QStringLiteral("B")};
        pop.uids = {"aa"};
        settings.POP_Address = QStringLiteral("127.0.0.1");
        settings.POP_UserID = QStringLiteral("taro");
        settings.POP_PassWord = QStringLiteral("pw");
        settings.Dup_Mode = 1;
        settings.Dup_Entry = QStringLiteral("A");
        check = std::make_unique<MailCheck>(seams);
        QObject::connect(check.get(), &MailCheck::statusChanged,
                         [this](const QString &t) { status << t; });
        QObject::connect(check.get(), &MailCheck::logLine, [this](const QString &m) { log << m; });
    }
    DialUp &dial() { return *check->dialUp(); }
    void tick() { QMetaObject::invokeMethod(&dial(), "Timer2_Timer", Qt::DirectConnection); }
    bool testDial(const QString &entry) {
        SettingsRecord s = settings;
        s.Dup_Entry = entry;
        bool accepted = false;
        check->startTest(s, [&](bool a) { accepted = a; });
        return accepted;
    }
    qint32 count(const QString &entry) {
        qint32 n = -99;
        dial().DupConnectCount(entry, [&](qint32 c) { n = c; });
        return n;
    }
};
} // namespace

class TestLinkMonitor : public QObject {
    Q_OBJECT
  private slots:
    void entriesAndConnectionsAsTheServiceNamesThem() {
        DialedLink l;
        // Code page 932 cannot hold "ü": the name still lists and dials as is.
        const QString buro = QStringLiteral("Büro");
        l.service.entryNames << buro;
        QStringList names;
        l.dial().DupEntryList([&](const QStringList &n) { names = n; });
        QCOMPARE(names, l.service.entryNames);
        QVERIFY(l.testDial(buro));
        QCOMPARE(l.service.dials, QStringList{buro});

        l.service.links = {QStringLiteral("A"), QStringLiteral("A"), QStringLiteral("B")};
        QCOMPARE(l.count(QStringLiteral("A")), 2);
        QCOMPARE(l.count(QStringLiteral("a")), 0);
        QCOMPARE(l.count(QString()), 0);

        // A failing service gives no entries and no count.
        l.service.listing = Outcome::Absent;
        l.dial().DupEntryList([&](const QStringList &n) { names = n; });
        QVERIFY(names.isEmpty());
        QCOMPARE(l.count(QStringLiteral("C")), -1);

        // A taken entry (or an unknown count) logs and dials nothing.
        l.dial().ExitHangUp();
        l.check->DialStart(l.settings);
        QCOMPARE(l.log, QStringList{InUse});
        QCOMPARE(l.service.dials.size(), 1);
        QVERIFY(!l.dial().monitorRunning());
        QVERIFY(l.status.isEmpty());
    }

    void oneCheckPerLinkThenHangUpAtItsEnd() {
        DialedLink l;
        l.check->DialStart(l.settings);
        QVERIFY(l.dial().monitorRunning());
        auto &s = l.service;
        for (Step step :
             {Step::OpeningPort, Step::PortOpened, Step::ConnectingDevice, Step::Authenticated,
              Step::LinkEstablished, Step::Projected, Step::Connected}) {
            s.reply(step);
        }
        for (int i = 0; i < 6; ++i)
            l.tick();
        QCOMPARE(l.status,
                 (QStringList{QStringLiteral("ポートオープン中..."),
                              QStringLiteral("ポートオープン完了"),
                              QStringLiteral("デバイスと接続中..."), QStringLiteral("認証完了"),
                              QStringLiteral("接続完了（リンク確立）"),
                              QStringLiteral("RASCS_AuthProject後に発生")}));
        QVERIFY(!l.check->pop3Running());
        l.tick();
        QVERIFY(l.check->pop3Running());

        // While the check runs the link stays up, and no second check starts.
        for (int i = 0; i < 3; ++i)
            l.tick();
        QVERIFY(s.hangUps.isEmpty());
        QTRY_VERIFY(!l.check->pop3Running());
        QCOMPARE(l.pop.sessions, 1);
        QVERIFY(l.dial().monitorRunning());

        // The check is over: the next tick hangs up.
        l.tick();
        QCOMPARE(s.hangUps, QList<quint32>{s.statusFor.constFirst()});
        // The pause after the hang-up: no tick asks, no new dial starts.
        const qsizetype asked = s.statusFor.size();
        l.tick();
        l.check->DialStart(l.settings);
        QCOMPARE(s.statusFor.size(), asked);
        QCOMPARE(s.dials.size(), 1);
        QTest::qWait(l.seams.hangUpWaitMs - 100);
        QVERIFY(l.dial().monitorRunning());
        QTRY_VERIFY(!l.dial().monitorRunning());
        QVERIFY(!l.log.contains(LinkError));

        // The next check dials and starts over the new link, which the end
        // of the last check does not take down.
        l.check->DialStart(l.settings);
        l.tick();
        QVERIFY(l.check->pop3Running());
        l.tick();
        QCOMPARE(s.hangUps.size(), 1);
        QTRY_COMPARE(l.pop.sessions, 2);
    }

    // Which of the failure paths ran shows in when Timer2 stopped (before or
    // after the hang-up) and how long the wait before the message was.
    void linkFailures_data() {
        QTest::addColumn<bool>("queryFails");
        QTest::newRow("status query fails") << true;
        QTest::newRow("link ended") << false;
    }
    void linkFailures() {
        QFETCH(bool, queryFails);
        DialedLink l;
        l.pop.silent = true;
        auto &s = l.service;
        s.reply(Step::Connected);
        l.check->DialStart(l.settings);
        l.tick();
        QVERIFY(l.check->pop3Running());
        const quint32 handle = s.statusFor.constLast();

        s.reply(Step::Ended, queryFails ? Outcome::NoSuchLink : Outcome::Done);
        bool activeAtHangUp = false, checkAtHangUp = true;
        QElapsedTimer sinceHangUp;
        qint64 waited = -1;
        bool activeAtText = true;
        s.onHangUp = [&] {
            activeAtHangUp = l.dial().monitorRunning();
            checkAtHangUp = l.check->pop3Running();
            sinceHangUp.start();
        };
        QObject::connect(l.check.get(), &MailCheck::statusChanged, [&] {
            waited = sinceHangUp.elapsed();
            activeAtText = l.dial().monitorRunning();
        });
        const QStringList before = l.status;
        l.tick();

        QCOMPARE(s.hangUps, QList<quint32>{handle});
        QCOMPARE(activeAtHangUp, queryFails);
        // The check of the dead link ends at once, without a word of its own.
        QVERIFY(!checkAtHangUp);
        QVERIFY(l.dial().monitorRunning());
        QVERIFY(l.log.isEmpty());
        QTRY_VERIFY(waited >= 0);
        const int wait = queryFails ? l.seams.hangUpWaitMs : l.seams.linkErrorWaitMs;
        QVERIFY2(waited >= wait && waited < wait + 150, qPrintable(QString::number(waited)));
        QVERIFY(!activeAtText);
        QCOMPARE(l.status, before + QStringList{LinkError});
        QCOMPARE(l.log, QStringList{LinkError});

        l.tick(); // the monitor is off: nothing more
        QCOMPARE(l.log.size(), 1);

        // Counted as a failure: a retry the service refuses counts as the
        // retry's failure, silently.
        QCOMPARE(int(l.check->retries()), 1);
        s.dialing = Outcome::Refused;
        l.check->DialStart(l.settings);
        QCOMPARE(int(l.check->retries()), 2);
        QCOMPARE(l.log.size(), 1);
        QVERIFY(!l.dial().monitorRunning());
    }

    void linkOfAnEarlierCheckStaysDown() {
        // POP3 of an earlier check (here a LAN check) still runs when the
        // test's link comes up: no check over it, and it goes down again.
        DialedLink l;
        l.pop.silent = true;
        SettingsRecord lan = l.settings;
        lan.Dup_Mode = 0;
        l.check->DialStart(lan);
        QVERIFY(l.check->pop3Running());
        l.check->DialStart(l.settings); // nothing dialed while it runs
        QVERIFY(l.service.dials.isEmpty());

        QVERIFY(l.testDial(QStringLiteral("A")));
        l.service.reply(Step::Connected);
        l.tick();
        QCOMPARE(l.service.hangUps.size(), 1);
        QTRY_VERIFY(!l.dial().monitorRunning());
        QCOMPARE(l.pop.sessions, 1);
        QVERIFY(l.check->pop3Running()); // the earlier check goes on
        QVERIFY(l.log.isEmpty());
    }

    void oneDialAtATime() {
        DialedLink l;
        auto &s = l.service;
        // While the count and then the dial are out, nothing else dials.
        s.hold = true;
        l.check->DialStart(l.settings);
        QVERIFY(l.dial().monitorRunning());
        for (int step = 0; step < 2; ++step) {
            l.dial().DialStart(QStringLiteral("A"));
            QVERIFY(!l.testDial(QStringLiteral("A")));
            s.release();
        }
        QCOMPARE(s.dials.size(), 1);

        l.dial().DialStart(QStringLiteral("A")); // the monitor runs
        QVERIFY(!l.testDial(QStringLiteral("A")));
        QCOMPARE(s.dials.size(), 1);
        // It watches the link of the one dial that went out.
        s.hold = false;
        s.reply(Step::OpeningPort);
        l.tick();
        QCOMPARE(s.statusFor, QList<quint32>{41});
        QVERIFY(l.log.isEmpty());
    }

    void exitHangsUpWhatWasDialedOnce() {
        DialedLink l;
        auto &s = l.service;
        l.check->DialStart(l.settings);
        // A status answer that comes after the exit changes nothing.
        s.hold = true;
        s.reply(Step::Ended);
        l.tick();
        l.check->hangUpForExit();
        s.release();
        QVERIFY(!l.dial().monitorRunning());
        QCOMPARE(s.hangUps, QList<quint32>{41});
        l.check->hangUpForExit(); // nothing held any more: the service is not asked
        QCOMPARE(s.hangUps.size(), 1);
        QTest::qWait(l.seams.linkErrorWaitMs + 50);
        QVERIFY(l.log.isEmpty());
        QVERIFY(l.status.isEmpty());

        // A dial the service takes after the exit is taken down at once.
        l.check->DialStart(l.settings);
        s.release();
        l.check->hangUpForExit();
        s.release();
        QCOMPARE(s.hangUps, (QList<quint32>{41, 42}));
        QVERIFY(!l.dial().monitorRunning());

        // Nor does an answer reach a monitor that is gone.
        s.hold = false;
        l.check->DialStart(l.settings);
        s.hold = true;
        l.tick();
        l.check.reset();
        s.release();
        QCOMPARE(s.hangUps.size(), 2);
    }
};

QTEST_MAIN(TestLinkMonitor)
#include "tst_linkmonitor.moc"
