// The link monitor and the dial against a scripted service.
#include "dialup/dialup.h"
#include "dialup/tasktry.h"
#include "support/dialup_scripted.h"

#include <QElapsedTimer>
#include <QTest>
#include <memory>

namespace {
const QString LinkError = QStringLiteral("ダイヤルアップ接続異常");
const QString InUse = QStringLiteral("すでにダイヤルアップ接続が使用されています");

RasBackend::Link link(const QString &name) {
    RasBackend::Link l;
    l.entryName = name;
    return l;
}

void tick(DialUp &d) {
    QMetaObject::invokeMethod(&d, "Timer2_Timer", Qt::DirectConnection);
}
} // namespace

class TestLinkMonitor : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeDialHost> host;
    std::unique_ptr<DialUp> dial;

    // A scheduled dial of entry A that the service accepted.
    void dialA() {
        host->backend.entryNames = {QStringLiteral("A"), QStringLiteral("B")};
        dial->DialStart(QStringLiteral("A"));
        QVERIFY(dial->monitorRunning());
        QCOMPARE(host->backend.dials, QStringList{QStringLiteral("A")});
    }
    qint32 count(const QString &entry) {
        qint32 n = -99;
        dial->DupConnectCount(entry, [&](qint32 c) { n = c; });
        return n;
    }
    bool testDial(const QString &entry) {
        bool accepted = false;
        dial->TestDial(entry, [&](bool a) { accepted = a; });
        return accepted;
    }

  private slots:
    void init() {
        host = std::make_unique<FakeDialHost>();
        dial = std::make_unique<DialUp>(*host, host->seams);
    }

    void entriesAsTheServiceNamesThem() {
        // Code page 932 cannot hold "ü": the name still lists and dials as is.
        const QString buro = QStringLiteral("Büro");
        host->backend.entryNames = {QStringLiteral("プロバイダA"), QStringLiteral("B"), buro};
        QStringList names;
        dial->DupEntryList([&](const QStringList &n) { names = n; });
        QCOMPARE(names, host->backend.entryNames);
        dial->DialStart(buro);
        QCOMPARE(host->backend.dials, QStringList{buro});
        QVERIFY(dial->monitorRunning());

        // A failing service gives no entries.
        host->backend.entriesError = raserr::ServiceAbsent;
        dial->DupEntryList([&](const QStringList &n) { names = n; });
        QVERIFY(names.isEmpty());
    }

    void connectionCountComparesNamesExactly() {
        auto &links = host->backend.links;
        links = {link(QStringLiteral("A")), link(QStringLiteral("A")), link(QStringLiteral("B"))};
        QCOMPARE(count(QStringLiteral("A")), 2);
        QCOMPARE(count(QStringLiteral("a")), 0);
        QCOMPARE(count(QString()), 0);
        host->backend.connectionsError = raserr::ServiceAbsent;
        QCOMPARE(count(QStringLiteral("C")), -1);

        // A taken entry (or an unknown count) logs and dials nothing.
        dial->DialStart(QStringLiteral("C"));
        QCOMPARE(host->logLines, QStringList{InUse});
        QVERIFY(host->backend.dials.isEmpty());
        QVERIFY(!dial->monitorRunning());
    }

    void progressThenOneCheckThenHangUpAtEndFlagOne() {
        dial->Dup_End_Flag = 1;
        dialA();
        QCOMPARE(dial->Dup_End_Flag, qint16(0));
        auto &b = host->backend;
        b.reply(0, 0, 600);
        b.reply(0, 2, 600);
        b.reply(0, 4, 600);
        b.reply(0, 8192, 0);
        for (int i = 0; i < 3; ++i)
            tick(*dial);
        QCOMPARE(host->statusHistory, (QStringList{QStringLiteral("ポートオープン中..."),
                                                   QStringLiteral("デバイスと接続中..."),
                                                   QStringLiteral("接続完了（リンク確立）")}));
        QCOMPARE(host->checksStarted, 0);
        tick(*dial);
        QCOMPARE(host->checksStarted, 1);
        QCOMPARE(dial->Dup_Check_Flag, qint16(1));

        // 2 means finished but keep the link; only 1 hangs up.
        dial->Dup_End_Flag = 2;
        for (int i = 0; i < 3; ++i)
            tick(*dial);
        QCOMPARE(host->checksStarted, 1);
        QVERIFY(b.hangUps.isEmpty());
        QVERIFY(dial->monitorRunning());

        dial->checkEnded();
        host->pop3 = false;
        tick(*dial);
        QCOMPARE(b.hangUps, QList<quint32>{b.statusFor.constFirst()});
        QCOMPARE(dial->hRasConn, 0u);
        // The pause after the hang-up: no tick asks, no new dial starts.
        const int asked = b.statusFor.size();
        tick(*dial);
        dial->DialStart(QStringLiteral("A"));
        QCOMPARE(b.statusFor.size(), asked);
        QCOMPARE(b.dials.size(), 1);
        QTest::qWait(host->seams.hangUpWaitMs - 100);
        QVERIFY(dial->monitorRunning());
        QTRY_VERIFY(!dial->monitorRunning());
        QCOMPARE(dial->Dup_Check_Flag, qint16(0));
        QCOMPARE(host->linkFailures, 0);
        QVERIFY(host->logLines.isEmpty());

        // The next check dials and starts a new check over the new link.
        b.reply(0, 8192, 0);
        dial->DialStart(QStringLiteral("A"));
        tick(*dial);
        QCOMPARE(host->checksStarted, 2);
    }

    void stateOutsideTheTableIsUnknown() {
        dialA();
        host->backend.reply(0, 22, 600);
        tick(*dial);
        QCOMPARE(host->statusText, QStringLiteral("不明なステータス"));
        for (qint32 s : {-1, 23, 4100, 8194})
            QCOMPARE(TaskTry::RasStateText(s), QStringLiteral("不明なステータス"));
        QCOMPARE(TaskTry::RasStateText(14), TaskTry::RasStateText(5));
        QCOMPARE(TaskTry::RasStateText(4099), QStringLiteral("RASPHONE.EXE"));
    }

    // Which of the failure paths ran shows in when Timer2 stopped (before or
    // after the hang-up) and how long the wait before the message was.
    void linkFailures_data() {
        QTest::addColumn<bool>("queryFails");
        QTest::newRow("status query fails") << true;
        QTest::newRow("link reports an error") << false;
    }
    void linkFailures() {
        QFETCH(bool, queryFails);
        dialA();
        auto &b = host->backend;
        b.reply(0, 8192, 0);
        host->onStartCheck = [this] {
            host->pop3 = false; // POP3 handed over to the notice
            host->notice = true;
        };
        tick(*dial);
        QCOMPARE(host->checksStarted, 1);
        const quint32 handle = dial->hRasConn;

        if (queryFails)
            b.reply(raserr::InvalidHandle);
        else
            b.reply(0, 8193, raserr::DeviceReasonBase + 36);
        bool activeAtHangUp = false;
        int abortsAtHangUp = 0;
        QElapsedTimer sinceHangUp;
        qint64 waited = -1;
        bool activeAtText = true;
        b.onHangUp = [&] {
            activeAtHangUp = dial->monitorRunning();
            abortsAtHangUp = host->checksAborted;
            sinceHangUp.start();
        };
        host->onSetStatus = [&] {
            waited = sinceHangUp.elapsed();
            activeAtText = dial->monitorRunning();
        };
        tick(*dial);

        QCOMPARE(b.hangUps, QList<quint32>{handle});
        QCOMPARE(activeAtHangUp, queryFails);
        // The check of the dead link ends at once, without a word of its own.
        QCOMPARE(abortsAtHangUp, 1);
        QCOMPARE(dial->hRasConn, 0u);
        QVERIFY(dial->monitorRunning());
        QVERIFY(host->logLines.isEmpty());
        QTRY_VERIFY(waited >= 0);
        const int wait = queryFails ? host->seams.hangUpWaitMs : host->seams.linkErrorWaitMs;
        QVERIFY2(waited >= wait && waited < wait + 150, qPrintable(QString::number(waited)));
        QVERIFY(!activeAtText);
        QCOMPARE(host->statusHistory.constLast(), LinkError);
        QCOMPARE(host->logLines, QStringList{LinkError});
        QCOMPARE(host->linkFailures, 1);
        QCOMPARE(dial->Dup_End_Flag, qint16(1));
        QCOMPARE(dial->Dup_Check_Flag, qint16(0));
        QCOMPARE(host->checksAborted, 1);
        QCOMPARE(host->statusHistory.count(LinkError), 1);

        tick(*dial); // the monitor is off: nothing more
        QCOMPARE(host->logLines.size(), 1);
    }

    void noLinkStaysUpWithoutACheck() {
        // POP3 of an earlier check still runs when the link comes up.
        host->backend.entryNames = {QStringLiteral("A")};
        QVERIFY(!testDial(QString()));
        QVERIFY(testDial(QStringLiteral("A")));
        host->pop3 = true;
        host->backend.reply(0, 8192, 0);
        tick(*dial);
        QCOMPARE(host->checksStarted, 0);
        QCOMPARE(host->backend.hangUps.size(), 1);
        QTRY_VERIFY(!dial->monitorRunning());
        QCOMPARE(host->checksAborted, 0);

        // A check that starts nothing: hang up the same way.
        host->pop3 = false;
        host->onStartCheck = [this] { host->pop3 = false; };
        QVERIFY(testDial(QStringLiteral("A")));
        tick(*dial);
        QCOMPARE(host->checksStarted, 1);
        QCOMPARE(host->backend.hangUps.size(), 2);
        QTRY_VERIFY(!dial->monitorRunning());
        QCOMPARE(dial->Dup_Check_Flag, qint16(0));
        QVERIFY(host->logLines.isEmpty());
        QCOMPARE(host->dialRefusals, 0);
    }

    void oneDialAtATime() {
        auto &b = host->backend;
        b.entryNames = {QStringLiteral("A")};
        host->pop3 = true;
        dial->DialStart(QStringLiteral("A"));
        host->pop3 = false;
        host->notice = true;
        dial->DialStart(QStringLiteral("A"));
        host->notice = false;
        QVERIFY(b.dials.isEmpty());

        // While the count and then the dial are out, nothing else dials.
        b.hold = true;
        dial->DialStart(QStringLiteral("A"));
        QVERIFY(dial->monitorRunning());
        for (int step = 0; step < 2; ++step) {
            dial->DialStart(QStringLiteral("A"));
            QVERIFY(!testDial(QStringLiteral("A")));
            b.release();
        }
        QCOMPARE(b.dials.size(), 1);
        const quint32 handle = dial->hRasConn;
        QVERIFY(handle != 0);

        dial->DialStart(QStringLiteral("A")); // the monitor runs
        QVERIFY(!testDial(QStringLiteral("A")));
        QCOMPARE(b.dials.size(), 1);
        QCOMPARE(dial->hRasConn, handle);
        QVERIFY(host->logLines.isEmpty());
        QCOMPARE(host->dialRefusals, 0);
    }

    void refusedDialIsLeftToTheHost() {
        host->backend.entryNames = {QStringLiteral("A")};
        host->backend.dialError = raserr::ServiceAbsent;
        dial->DialStart(QStringLiteral("A"));
        QCOMPARE(host->dialRefusals, 1);
        QVERIFY(!testDial(QStringLiteral("A")));
        QCOMPARE(host->dialRefusals, 1);
        QVERIFY(host->logLines.isEmpty());
        QVERIFY(host->statusHistory.isEmpty());
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(dial->hRasConn, 0u);
    }

    void exitHangsUpWhatWasDialedOnce() {
        dialA();
        auto &b = host->backend;
        const quint32 handle = dial->hRasConn;
        // A status answer that comes after the exit changes nothing.
        b.hold = true;
        b.reply(0, 8193, raserr::DeviceReasonBase + 36);
        tick(*dial);
        dial->ExitHangUp();
        b.release();
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(b.hangUps, QList<quint32>{handle});
        dial->ExitHangUp(); // nothing held any more: the service is not asked
        QCOMPARE(b.hangUps.size(), 1);
        QTest::qWait(host->seams.linkErrorWaitMs + 50);
        QVERIFY(host->logLines.isEmpty());

        // A dial the service takes after the exit is taken down at once.
        dial->DialStart(QStringLiteral("A"));
        b.release();
        dial->ExitHangUp();
        b.release();
        QCOMPARE(b.hangUps.size(), 2);
        QVERIFY(b.hangUps[1] != handle);
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(dial->hRasConn, 0u);

        // Nor does an answer reach a monitor that is gone.
        b.hold = false;
        dial->DialStart(QStringLiteral("A"));
        b.hold = true;
        tick(*dial);
        dial.reset();
        b.release();
        QCOMPARE(b.hangUps.size(), 2);
    }
};

QTEST_MAIN(TestLinkMonitor)
#include "tst_linkmonitor.moc"
