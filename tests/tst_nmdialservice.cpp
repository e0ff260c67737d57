// The dial service over a mock NetworkManager on a private bus.
#include "dialup/dialup.h"
#include "dialup/nmdialservice.h"
#include "platform/seams.h"
#include "support/dialup_dbusmock.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <memory>
#include <optional>
#include <tuple>

namespace {
const QString NotAvailable =
    QStringLiteral("org.freedesktop.NetworkManager.ConnectionNotAvailable");

QString arg0(const QDBusMessage &m) {
    return m.arguments().isEmpty() ? QString() : m.arguments().constFirst().toString();
}

using Outcome = DialService::Outcome;
using Step = DialService::LinkStep;

// What a service call answers, once it has answered.
template <typename... A, typename Ask> std::tuple<std::decay_t<A>...> answer(Ask ask) {
    auto got = std::make_shared<std::optional<std::tuple<std::decay_t<A>...>>>();
    ask([got](A... a) { got->emplace(a...); });
    if (!QTest::qWaitFor([&] { return got->has_value(); }, 5000)) qWarning("no answer");
    return got->value_or(std::tuple<std::decay_t<A>...>{});
}

auto entries(DialService &b) {
    return answer<Outcome, const QStringList &>([&](auto done) { b.entries(done); });
}
auto links(DialService &b) {
    return answer<Outcome, const QStringList &>([&](auto done) { b.connections(done); });
}
auto dial(DialService &b, const QString &name) {
    return answer<Outcome, quint32>([&](auto done) { b.dial(name, done); });
}
auto status(DialService &b, quint32 link) {
    return answer<Outcome, Step>([&](auto done) { b.status(link, done); });
}
} // namespace

class TestNmDialService : public QObject {
    Q_OBJECT

    DialupDbusMock mock;
    std::unique_ptr<NmDialService> nm;
    QString modem, pppoe;
    int busOpened = 0;

    // Waits until the service has seen the mock's signals, or has not acted.
    void settle() { QTest::qWait(200); }
    std::tuple<Outcome, Step> up(Step step) { return {Outcome::Done, step}; }

  private slots:
    void initTestCase() {
        QVERIFY(mock.startBus());
        QVERIFY(mock.startManager());
    }

    void init() {
        QCOMPARE(mock.control(QStringLiteral("Reset")).type(), QDBusMessage::ReplyMessage);
        busOpened = 0;
        // As the program builds it: the bus is opened on first use.
        nm = std::make_unique<NmDialService>([this] {
            ++busOpened;
            return mock.bus();
        });
        modem = arg0(mock.control(QStringLiteral("AddProfile"), {QStringLiteral("モバイル回線")}));
        pppoe = arg0(mock.control(QStringLiteral("AddProfile"), {QStringLiteral("PPPoE")}));
        QVERIFY(!modem.isEmpty() && !pppoe.isEmpty());
    }

    void entriesInTheManagersOrder() {
        QCOMPARE(busOpened, 0); // start-up never waits for the bus
        mock.control(QStringLiteral("AddProfile"), {QStringLiteral("モバイル回線")});
        const QStringList expected = {QStringLiteral("モバイル回線"), QStringLiteral("PPPoE"),
                                      QStringLiteral("モバイル回線")};
        for (int i = 0; i < 2; ++i)
            QCOMPARE(entries(*nm), std::make_tuple(Outcome::Done, expected));
        QCOMPARE(busOpened, 1);
    }

    void dialProgressConnectAndHangUp() {
        QCOMPARE(links(*nm), std::make_tuple(Outcome::Done, QStringList()));
        const auto [o, h] = dial(*nm, QStringLiteral("モバイル回線"));
        QCOMPARE(o, Outcome::Done);
        QVERIFY(h != 0);
        const QStringList active = mock.activeConnections();
        QCOMPARE(active.size(), 1);
        // Being built already counts as taken.
        QCOMPARE(links(*nm),
                 std::make_tuple(Outcome::Done, QStringList{QStringLiteral("モバイル回線")}));

        QCOMPARE(status(*nm, h), up(Step::PortOpened));
        const QList<std::pair<uint, Step>> steps = {{50, Step::ConnectingDevice},
                                                    {60, Step::Authenticated},
                                                    {70, Step::LinkEstablished},
                                                    {80, Step::Projected}};
        for (const auto &[device, step] : steps) {
            mock.control(QStringLiteral("DeviceStep"), {device});
            QCOMPARE(status(*nm, h), up(step));
        }
        mock.control(QStringLiteral("Connect"), {active[0]});
        QCOMPARE(status(*nm, h), up(Step::Connected));

        nm->hangUp(h);
        // The handle is gone with the link at once.
        QCOMPARE(std::get<0>(status(*nm, h)), Outcome::NoSuchLink);
        QTRY_COMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active[0]);
        QVERIFY(mock.activeConnections().isEmpty());
        // Nothing is taken down twice.
        nm->hangUp(h);
        settle();
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active[0]);
    }

    void failedLinkEnds_data() {
        QTest::addColumn<bool>("seenBeforeFailure");
        QTest::newRow("devices known") << true;
        QTest::newRow("failed before the first query") << false;
    }
    void failedLinkEnds() {
        QFETCH(bool, seenBeforeFailure);
        const auto [o, h] = dial(*nm, QStringLiteral("PPPoE"));
        QCOMPARE(o, Outcome::Done);
        if (seenBeforeFailure) QCOMPARE(status(*nm, h), up(Step::PortOpened));
        const QString active = mock.activeConnections().value(0);
        mock.control(QStringLiteral("Fail"), {active, 36u});
        settle();
        QCOMPARE(status(*nm, h), up(Step::Ended));
        nm->hangUp(h);
        settle();
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), QString());
    }

    void refusalsAndUnknownEntries() {
        QCOMPARE(std::get<0>(dial(*nm, QStringLiteral("モバイル"))), Outcome::NoSuchEntry);
        QCOMPARE(std::get<0>(dial(*nm, QStringLiteral("pppoe"))), Outcome::NoSuchEntry);
        // A name code page 932 cannot hold dials as NetworkManager names it.
        const QString antenna = QStringLiteral("回線\U0001F4F6");
        mock.control(QStringLiteral("AddProfile"), {antenna});
        QVERIFY(std::get<1>(entries(*nm)).contains(antenna));
        QCOMPARE(std::get<0>(dial(*nm, antenna)), Outcome::Done);

        mock.control(QStringLiteral("Refuse"), {NotAvailable});
        QCOMPARE(std::get<0>(dial(*nm, QStringLiteral("PPPoE"))), Outcome::Refused);
        QCOMPARE(mock.activeConnections().size(), 1);
    }

    void staleHandleLeavesAnotherProfileUp() {
        const auto [o, h] = dial(*nm, QStringLiteral("PPPoE"));
        QCOMPARE(o, Outcome::Done);
        const QString ours = mock.activeConnections().value(0);
        // Across a restart our connection vanishes and the path comes back
        // naming the user's own connection.
        mock.control(QStringLiteral("Drop"), {ours});
        QCOMPARE(mock.activateAsOtherProgram(modem), ours);
        mock.control(QStringLiteral("Connect"), {ours});

        QCOMPARE(status(*nm, h), up(Step::Ended));
        QCOMPARE(links(*nm),
                 std::make_tuple(Outcome::Done, QStringList{QStringLiteral("モバイル回線")}));
        nm->hangUp(h);
        settle();
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), QString());
        QCOMPARE(mock.activeConnections(), QStringList{ours});
    }

    // No call waits for NetworkManager: a timer fires while it is slow. A
    // dial it has not taken within 2 s is refused, and taken down when it
    // comes up late after all.
    void slowManager_data() {
        QTest::addColumn<double>("stall");
        QTest::newRow("answers after 1.5 s") << 1.5;
        QTest::newRow("answers after 3 s") << 3.0;
    }
    void slowManager() {
        QFETCH(double, stall);
        mock.control(QStringLiteral("Stall"), {stall});
        QElapsedTimer t;
        t.start();
        auto ticked = std::make_shared<qint64>(-1);
        QTimer::singleShot(100, nm.get(), [ticked, &t] { *ticked = t.elapsed(); });
        const auto [o, h] = dial(*nm, QStringLiteral("PPPoE"));
        const qint64 answered = t.elapsed();
        qInfo("NetworkManager stalled %.1f s: dial answered after %lld ms, timer fired at %lld ms",
              stall, answered, *ticked);
        QVERIFY(*ticked >= 0 && *ticked < 1000);
        if (stall < 2) {
            QCOMPARE(o, Outcome::Done);
            QVERIFY(h != 0);
            QVERIFY(answered >= 1400);
            // A service that goes with a call out is heard of no more.
            nm->entries([](Outcome, const QStringList &) { QFAIL("answer after the end"); });
            nm.reset();
            settle();
            return;
        }
        QCOMPARE(o, Outcome::Absent);
        QVERIFY(answered < 2600);
        // The activation NetworkManager finished late is not left up.
        QTRY_VERIFY_WITH_TIMEOUT(!arg0(mock.control(QStringLiteral("Deactivations"))).isEmpty(),
                                 5000);
        QVERIFY(mock.activeConnections().isEmpty());
    }

    // The whole dial-up side of a check: DialStart, the monitor's real ticks,
    // the link up once the profile is, the profile taken down when the check
    // is over; then a second link that drops under its check.
    void linkOverTheMockProfile() {
        Seams seams;
        seams.dial = nm.get();
        seams.linkTickMs = seams.hangUpWaitMs = seams.linkErrorWaitMs = 50;
        DialUp link(seams);
        QStringList status;
        int ups = 0, lost = 0, failed = 0;
        connect(&link, &DialUp::statusChanged, this, [&](const QString &t) { status << t; });
        connect(&link, &DialUp::linkUp, this, [&] { ++ups; });
        connect(&link, &DialUp::linkLost, this, [&] { ++lost; });
        connect(&link, &DialUp::linkFailed, this, [&] { ++failed; });
        link.DialStart(QStringLiteral("モバイル回線"));
        QVERIFY(link.monitorRunning());
        QTRY_COMPARE(mock.activeConnections().size(), 1);
        const QString active = mock.activeConnections().value(0);
        mock.control(QStringLiteral("DeviceStep"), {70u});
        QTRY_VERIFY(status.contains(QStringLiteral("接続完了（リンク確立）")));
        mock.control(QStringLiteral("Connect"), {active});
        QTRY_COMPARE(ups, 1);
        QTest::qWait(200);
        QCOMPARE(ups, 1);
        QVERIFY(mock.activeConnections().contains(active));

        link.hangUp();
        QTRY_VERIFY(!link.monitorRunning());
        QTRY_COMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active);
        QVERIFY(mock.activeConnections().isEmpty());
        QCOMPARE(failed, 0);

        link.DialStart(QStringLiteral("モバイル回線"));
        QTRY_COMPARE(mock.activeConnections().size(), 1);
        const QString second = mock.activeConnections().value(0);
        mock.control(QStringLiteral("Connect"), {second});
        QTRY_COMPARE(ups, 2);
        mock.control(QStringLiteral("Fail"), {second, 36u});
        QTRY_VERIFY(!link.monitorRunning());
        QCOMPARE(lost, 1);
        QCOMPARE(failed, 1);
    }

    // Last: stops the mock manager.
    void managerAbsent() {
        const auto [o, h] = dial(*nm, QStringLiteral("PPPoE"));
        QCOMPARE(o, Outcome::Done);
        mock.stopManager();
        // A bus that was never connected, as on a machine without a system bus.
        NmDialService offline(QDBusConnection(QStringLiteral("no-such-connection")));
        for (NmDialService *b : {nm.get(), &offline}) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(entries(*b), std::make_tuple(Outcome::Done, QStringList()));
            QCOMPARE(links(*b), std::make_tuple(Outcome::Done, QStringList()));
            QCOMPARE(std::get<0>(dial(*b, QStringLiteral("PPPoE"))), Outcome::Absent);
            QCOMPARE(std::get<0>(status(*b, b == nm.get() ? h : 1)),
                     b == nm.get() ? Outcome::Absent : Outcome::NoSuchLink);
            qInfo("without NetworkManager: lists, dial and status in %lld ms", t.elapsed());
            QVERIFY(t.elapsed() < 300);
        }
        nm->hangUp(h);
        settle();
        QVERIFY(!mock.managerWasStarted());
    }
};

QTEST_MAIN(TestNmDialService)
#include "tst_nmdialservice.moc"
