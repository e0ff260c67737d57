// Whole simulated days of scheduler ticks: the exact minutes a check starts,
// and the one check after a sleep or an outage that missed some.
#include "check/schedule.h"
#include "platform/systemwatch.h"
#include "support/dialup_dbusmock.h"
#include "support/memorylink.h"
#include "support/programfixture.h"
#include "windows/assist.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

namespace {
const QByteArray kRecord = "\"\",\"\",\"\",\"\",\"\",\"\",0,0,0,0,\"\",\"\",\"\"\r\n";

struct Day : ProgramFixture {
    QList<QPointer<MemoryLink>> links;
    // With a bus address: logind and NetworkManager are listened to there.
    explicit Day(const QString &bus = {}) : ProgramFixture(&kRecord) {
        seams.makeLink = [this] {
            auto *l = new MemoryLink;
            links << l;
            return l;
        };
        if (!bus.isEmpty()) {
            seams.systemBus = [bus] {
                return QDBusConnection::connectToBus(bus, QStringLiteral("quil-system"));
            };
            seams.catchUpDelayMs = 50;
        }
        start();
    }
    // 実行 with the settings as the window holds them: saved, the window
    // hidden, monitoring.
    void monitor() { QTest::mouseClick(ui().Command4, Qt::LeftButton); }
    // The started check's server answers: an empty mailbox, or a refusal.
    void endCheck(bool fails = false) {
        links.last()->accept();
        links.last()->reply(fails ? "-ERR\r\n" : "+OK\r\n+OK\r\n+OK\r\n+OK 0\r\n");
    }
    // Ticks every `step` seconds over one day from 0:00; returns "H:MM" of
    // every check started. A started check ends at once, failing when
    // `fails` says so for its number.
    QStringList run(int step = 15, const std::function<bool(int started)> &fails = {}) {
        QStringList fired;
        const QDateTime start(QDate(2026, 3, 1), QTime(0, 0, 0));
        for (int s = 0; s < 24 * 3600; s += step) {
            clock = start.addSecs(s);
            scheduler().Timer1_Timer();
            if (check().pop3Running()) {
                fired << clock.toString(QStringLiteral("H:mm"));
                endCheck(fails && fails(fired.size()));
            }
            if (s % 3600 == 0) QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        return fired;
    }
    void quiet(const QString &from, const QString &to) {
        ui().Check1->setChecked(true);
        ui().Combo2->setEditText(from);
        ui().Combo3->setEditText(to);
    }
};

QStringList everyTenMinutes(int fromHour, int toHour) {
    QStringList out;
    for (int h = fromHour; h < toHour; ++h)
        for (int m = 0; m < 60; m += 10)
            out << QStringLiteral("%1:%2").arg(h).arg(m, 2, 10, QChar(u'0'));
    return out;
}
} // namespace

class TestScheduler : public QObject {
    Q_OBJECT
  private slots:
    void intervals();
    void intervals_data();
    void quietPeriods();
    void quietPeriods_data();
    void retryAfterAFailedCheck();
    void idleWhileVisibleOrNotMonitoring();
    void changesCountFromTheNextTick();
    void catchUpAfterSleepOrOutage_data();
    void catchUpAfterSleepOrOutage();

  private:
    std::unique_ptr<DialupDbusMock> m_system; // logind and NetworkManager
};

void TestScheduler::intervals_data() {
    QTest::addColumn<int>("option");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("someFirings");
    QTest::addColumn<QStringList>("neverFirings");
    QTest::newRow("10 min") << 5 << 144 << QStringList{"0:00", "0:10", "13:50", "23:50"}
                            << QStringList{"0:01", "0:05", "12:15"};
    QTest::newRow("15 min") << 4 << 96 << QStringList{"0:00", "0:15", "0:30", "23:45"}
                            << QStringList{"0:10", "0:01"};
    QTest::newRow("30 min") << 3 << 48 << QStringList{"0:00", "0:30", "23:30"}
                            << QStringList{"0:15", "0:01"};
    QTest::newRow("1 h") << 2 << 48 << QStringList{"0:00", "0:01", "23:00", "23:01"}
                         << QStringList{"0:02", "0:30"};
    QTest::newRow("2 h") << 1 << 24 << QStringList{"0:00", "0:01", "22:00", "22:01"}
                         << QStringList{"23:00", "1:00", "0:02"};
}

void TestScheduler::intervals() {
    QFETCH(int, option);
    QFETCH(int, count);
    QFETCH(QStringList, someFirings);
    QFETCH(QStringList, neverFirings);
    Day d;
    const MainControls ui = d.ui();
    QRadioButton *options[] = {ui.Option1, ui.Option2, ui.Option3, ui.Option4, ui.Option5};
    options[option - 1]->setChecked(true);
    d.monitor();
    QStringList fired = d.run();
    QCOMPARE(fired.size(), count);
    QCOMPARE(fired.removeDuplicates(), 0); // never twice in one clock minute
    for (const QString &t : someFirings)
        QVERIFY2(fired.contains(t), qPrintable(t));
    for (const QString &t : neverFirings)
        QVERIFY2(!fired.contains(t), qPrintable(t));
}

void TestScheduler::quietPeriods_data() {
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("22 to 6 across midnight") << true << "22:00"
                                             << "6:00" << everyTenMinutes(6, 22);
    QTest::newRow("1 to 5") << true << "1:00"
                            << "5:00" << everyTenMinutes(0, 1) + everyTenMinutes(5, 24);
    QTest::newRow("equal texts: never quiet") << true << "3:00"
                                              << "3:00" << everyTenMinutes(0, 24);
    QTest::newRow("same hour, other texts") << true << "3:00"
                                            << "3:00:00" << everyTenMinutes(0, 24);
    QTest::newRow("unticked") << false << "1:00"
                              << "5:00" << everyTenMinutes(0, 24);
    QTest::newRow("unreadable text: off") << true << "夜"
                                          << "5:00" << everyTenMinutes(0, 24);
    QTest::newRow("hour out of range: off") << true << "25:00"
                                            << "5:00" << everyTenMinutes(0, 24);
    QTest::newRow("full-width digits") << true << "２２:００"
                                       << "６:００" << everyTenMinutes(6, 22);
}

void TestScheduler::quietPeriods() {
    QFETCH(bool, enabled);
    QFETCH(QString, from);
    QFETCH(QString, to);
    Day d;
    d.ui().Option5->setChecked(true);
    d.quiet(from, to);
    d.ui().Check1->setChecked(enabled);
    d.monitor();
    QTEST(d.run(20), "expected");
}

void TestScheduler::retryAfterAFailedCheck() {
    Day d;
    d.ui().Option3->setChecked(true); // 0 and 30
    d.monitor();
    // The 0:00 check and its retry fail; every later check succeeds.
    const QStringList fired = d.run(10, [](int started) { return started <= 2; });
    // The retry runs at the first tick of the next minute, whatever minute
    // that is; after the second failure the next minute only clears the count.
    QCOMPARE(fired.mid(0, 3), (QStringList{"0:00", "0:01", "0:30"}));
    QCOMPARE(fired.size(), 49);
    QCOMPARE(d.check().retries(), 0);

    // The retry waits for no interval minute, and nothing starts beside it.
    Day busy;
    busy.ui().Option3->setChecked(true);
    busy.monitor();
    busy.clock = QDateTime(QDate(2026, 2, 28), QTime(23, 30, 0));
    busy.scheduler().Timer1_Timer();
    busy.endCheck(true);
    for (int s : {5, 10, 40, 65, 70}) {
        busy.clock = QDateTime(QDate(2026, 3, 1), QTime(0, s / 60, s % 60));
        busy.scheduler().Timer1_Timer();
        QVERIFY(busy.check().pop3Running()); // the retry, still under way
        QCOMPARE(busy.check().retries(), 1);
    }
    QCOMPARE(busy.links.size(), 2);
    busy.endCheck();
    QCOMPARE(busy.check().retries(), 0);
}

void TestScheduler::idleWhileVisibleOrNotMonitoring() {
    Day d;
    const MainControls ui = d.ui();
    ui.Option5->setChecked(true);
    // Before Run, the window gone for the assistant (携帯/PHS).
    QTest::mouseClick(ui.Command1, Qt::LeftButton);
    QVERIFY(!d.w().isVisible() && d.run(60).isEmpty());
    QTest::mouseClick(child<QPushButton>(d.program->assist(), "Command1"), Qt::LeftButton);
    d.monitor();
    d.w().show();
    QVERIFY(d.run(60).isEmpty());
    // A settings test ends monitoring, also once the window is gone again.
    ui.Text1->setText(QStringLiteral("127.0.0.1"));
    ui.Text2->setText(QStringLiteral("pw"));
    ui.Text6->setText(QStringLiteral("taro"));
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    d.endCheck();
    QTRY_VERIFY(!d.check().running());
    QTest::mouseClick(ui.Command1, Qt::LeftButton);
    QVERIFY(!d.w().isVisible() && d.run(60).isEmpty());
}

void TestScheduler::changesCountFromTheNextTick() {
    Day d;
    d.ui().Option5->setChecked(true);
    d.monitor();
    d.clock = QDateTime(QDate(2026, 3, 1), QTime(9, 15, 0));
    d.scheduler().Timer1_Timer();
    QVERIFY(!d.check().pop3Running());
    // Another interval chosen from the tray's 設定変更 counts once 実行 saved it.
    d.program->showSettings();
    d.ui().Option4->setChecked(true);
    d.monitor();
    d.clock = d.clock.addSecs(1);
    d.scheduler().Timer1_Timer();
    QVERIFY(d.check().pop3Running());
    d.endCheck();
    QVERIFY(!schedule::hourOf(QStringLiteral("7")));
    QCOMPARE(schedule::hourOf(QStringLiteral(" 7:30:15 ")), 7);
}

void TestScheduler::catchUpAfterSleepOrOutage_data() {
    QTest::addColumn<bool>("offline"); // else asleep
    QTest::addColumn<QTime>("from");
    QTest::addColumn<QTime>("to");
    QTest::addColumn<bool>("quietNoon"); // no checks from 12:00 to 12:59
    QTest::addColumn<int>("checks");     // every ten minutes
    QTest::newRow("slept across marks") << false << QTime(11, 55) << QTime(12, 25) << false << 1;
    QTest::newRow("slept between marks") << false << QTime(12, 1) << QTime(12, 9) << false << 0;
    QTest::newRow("marks missed in quiet hours")
        << false << QTime(12, 5) << QTime(13, 0) << true << 0;
    QTest::newRow("woke in quiet hours") << false << QTime(11, 5) << QTime(12, 30) << true << 0;
    QTest::newRow("offline across a mark") << true << QTime(12, 5) << QTime(12, 15) << false << 1;
    QTest::newRow("offline between marks") << true << QTime(12, 1) << QTime(12, 8) << false << 0;
}

void TestScheduler::catchUpAfterSleepOrOutage() {
    QFETCH(bool, offline);
    QFETCH(QTime, from);
    QFETCH(QTime, to);
    QFETCH(bool, quietNoon);
    QFETCH(int, checks);
    if (!m_system) {
        m_system = std::make_unique<DialupDbusMock>();
        QVERIFY(m_system->startBus() && m_system->startManager() && m_system->startLogind());
    }
    // Asleep or off the network (true), then back (false).
    const auto away = [&](bool gone) {
        if (offline)
            m_system->control(QStringLiteral("SetConnectivity"), {gone ? 1u : 4u}); // none, full
        else
            m_system->prepareForSleep(gone);
    };
    Day d(m_system->address());
    d.ui().Option5->setChecked(true);
    if (quietNoon) d.quiet(QStringLiteral("12:00"), QStringLiteral("13:00"));
    d.monitor();
    // The program's first turns of the event loop: its watch subscribes and
    // asks for the network's state, as long before any real outage.
    QTest::qWait(100);
    QSignalSpy told(d.check().systemWatch(),
                    offline ? &SystemWatch::networkLost : &SystemWatch::sleeping);
    d.clock = QDateTime(QDate(2026, 3, 1), from);
    away(true);
    QTRY_COMPARE(told.size(), 1);
    // Awake without a network, checks fail at once and blame no server.
    for (; offline && d.clock.time() < to; d.clock = d.clock.addSecs(60))
        d.scheduler().Timer1_Timer();
    QVERIFY(d.links.isEmpty());
    if (offline && checks > 0) {
        QCOMPARE(d.ui().Text4->text(), QStringLiteral("ネットワークに接続されていません"));
        QCOMPARE(d.logMessages().count(QStringLiteral("ネットワークに接続されていません")), 2);
    }
    d.clock = QDateTime(d.clock.date(), to);
    away(false);
    if (checks == 0) QTest::qWait(300); // the catch-up would have run by now
    QTRY_COMPARE(d.links.size(), checks);
    if (checks == 0) return;
    d.endCheck();
    // One catch-up per wake or outage.
    m_system->prepareForSleep(false);
    QTest::qWait(300);
    QCOMPARE(d.links.size(), 1);
}

QTEST_MAIN(TestScheduler)
#include "tst_scheduler.moc"
