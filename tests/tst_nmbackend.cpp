// The NetworkManager backend against a mock NetworkManager on a private bus.
#include "dialup/dialup.h"
#include "dialup/nmbackend.h"
#include "support/dialup_dbusmock.h"
#include "support/dialup_scripted.h"

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

// What a backend call answers, once it has answered.
template <typename... A, typename Ask> std::tuple<std::decay_t<A>...> answer(Ask ask) {
    auto got = std::make_shared<std::optional<std::tuple<std::decay_t<A>...>>>();
    ask([got](A... a) { got->emplace(a...); });
    if (!QTest::qWaitFor([&] { return got->has_value(); }, 5000)) qWarning("no answer");
    return got->value_or(std::tuple<std::decay_t<A>...>{});
}

auto entries(RasBackend &b) {
    return answer<quint32, const QStringList &>([&](auto done) { b.entries(done); });
}
auto links(RasBackend &b) {
    return answer<quint32, const QList<RasBackend::Link> &>(
        [&](auto done) { b.connections(done); });
}
auto dial(RasBackend &b, const QString &name) {
    return answer<quint32, quint32>([&](auto done) { b.dial(name, done); });
}
auto statusOf(RasBackend &b, quint32 handle) {
    return answer<quint32, const RasBackend::Status &>([&](auto done) { b.status(handle, done); });
}
} // namespace

class TestNmBackend : public QObject {
    Q_OBJECT

    DialupDbusMock mock;
    std::unique_ptr<NmBackend> nm;
    QString modem, pppoe;
    int busOpened = 0;

    RasBackend::Status status(quint32 handle) {
        auto [rc, s] = statusOf(*nm, handle);
        if (rc) s.error = rc + 1000000; // make a failed query visible in comparisons
        return s;
    }
    // Waits until the backend has seen the mock's signals, or has not acted.
    void settle() { QTest::qWait(200); }

  private slots:
    void initTestCase() {
        QVERIFY(mock.startBus());
        QVERIFY(mock.startManager());
    }

    void init() {
        QCOMPARE(mock.control(QStringLiteral("Reset")).type(), QDBusMessage::ReplyMessage);
        busOpened = 0;
        // As the program builds it: the bus is opened on first use.
        nm = std::make_unique<NmBackend>([this] {
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
        for (int i = 0; i < 2; ++i) {
            const auto [rc, names] = entries(*nm);
            QCOMPARE(rc, 0u);
            QCOMPARE(names, expected);
        }
        QCOMPARE(busOpened, 1);
    }

    void dialProgressConnectAndHangUp() {
        const auto [rc0, none] = links(*nm);
        QCOMPARE(rc0, 0u);
        QVERIFY(none.isEmpty());

        const auto [rc, h] = dial(*nm, QStringLiteral("モバイル回線"));
        QCOMPARE(rc, 0u);
        QVERIFY(h != 0);
        const QStringList active = mock.activeConnections();
        QCOMPARE(active.size(), 1);

        // Being built already counts as taken, under its own handle.
        const auto [rc1, up] = links(*nm);
        QCOMPARE(rc1, 0u);
        QCOMPARE(up.size(), 1);
        QCOMPARE(up[0].entryName, QStringLiteral("モバイル回線"));
        QCOMPARE(up[0].handle, h);

        const QList<std::pair<uint, qint32>> steps = {{50, 2}, {60, 5}, {70, 4}, {80, 18}};
        QCOMPARE(status(h).state, 1);
        QCOMPARE(status(h).error, 600u);
        for (const auto &[device, state] : steps) {
            mock.control(QStringLiteral("DeviceStep"), {device});
            const RasBackend::Status s = status(h);
            QCOMPARE(s.state, state);
            QCOMPARE(s.error, 600u);
        }
        mock.control(QStringLiteral("Connect"), {active[0]});
        QCOMPARE(status(h).state, 8192);
        QCOMPARE(status(h).error, 0u);

        nm->hangUp(h);
        // The handle is gone with the link at once.
        QCOMPARE(status(h).error, 1000000 + raserr::InvalidHandle);
        QTRY_COMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active[0]);
        QVERIFY(mock.activeConnections().isEmpty());
        // Nothing is taken down twice.
        nm->hangUp(h);
        settle();
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active[0]);
    }

    void failureCarriesTheDevicesReason_data() {
        QTest::addColumn<bool>("seenBeforeFailure");
        QTest::newRow("devices known") << true;
        QTest::newRow("failed before the first query") << false;
    }
    void failureCarriesTheDevicesReason() {
        QFETCH(bool, seenBeforeFailure);
        const auto [rc, h] = dial(*nm, QStringLiteral("PPPoE"));
        QCOMPARE(rc, 0u);
        if (seenBeforeFailure) QCOMPARE(status(h).error, 600u);
        const QString active = mock.activeConnections().value(0);
        mock.control(QStringLiteral("Fail"), {active, 36u});
        settle();
        const RasBackend::Status s = status(h);
        QCOMPARE(s.state, 8193);
        QCOMPARE(s.error, 20036u);
        nm->hangUp(h);
        settle();
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), QString());
    }

    void refusalsAndUnknownEntries() {
        QCOMPARE(std::get<0>(dial(*nm, QStringLiteral("モバイル"))), raserr::CannotFindEntry);
        QCOMPARE(std::get<0>(dial(*nm, QStringLiteral("pppoe"))), raserr::CannotFindEntry);
        // A name code page 932 cannot hold dials as NetworkManager names it.
        const QString antenna = QStringLiteral("回線\U0001F4F6");
        mock.control(QStringLiteral("AddProfile"), {antenna});
        QVERIFY(std::get<1>(entries(*nm)).contains(antenna));
        QCOMPARE(std::get<0>(dial(*nm, antenna)), 0u);

        mock.control(QStringLiteral("Refuse"), {NotAvailable});
        QCOMPARE(std::get<0>(dial(*nm, QStringLiteral("PPPoE"))), raserr::RefusalBase + 4);
        QCOMPARE(mock.activeConnections().size(), 1);
    }

    void staleHandleLeavesAnotherProfileUp() {
        const auto [rc, h] = dial(*nm, QStringLiteral("PPPoE"));
        QCOMPARE(rc, 0u);
        const QString ours = mock.activeConnections().value(0);
        // Across a restart our connection vanishes and the path comes back
        // naming the user's own connection.
        mock.control(QStringLiteral("Drop"), {ours});
        QCOMPARE(mock.activateAsOtherProgram(modem), ours);
        mock.control(QStringLiteral("Connect"), {ours});

        const RasBackend::Status s = status(h);
        QCOMPARE(s.state, 8193);
        QVERIFY(s.error != 0 && s.error != 600);
        const auto [rc1, up] = links(*nm);
        QCOMPARE(rc1, 0u);
        QCOMPARE(up.size(), 1);
        QCOMPARE(up[0].handle, 0u);

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
        const auto [rc, h] = dial(*nm, QStringLiteral("PPPoE"));
        const qint64 answered = t.elapsed();
        qInfo("NetworkManager stalled %.1f s: dial answered after %lld ms, timer fired at %lld ms",
              stall, answered, *ticked);
        QVERIFY(*ticked >= 0 && *ticked < 1000);
        if (stall < 2) {
            QCOMPARE(rc, 0u);
            QVERIFY(h != 0);
            QVERIFY(answered >= 1400);
            // A backend that goes with a call out hears nothing more of it.
            nm->entries([](quint32, const QStringList &) { QFAIL("answer after the end"); });
            nm.reset();
            settle();
            return;
        }
        QCOMPARE(rc, raserr::ServiceAbsent);
        QVERIFY(answered < 2600);
        // The activation NetworkManager finished late is not left up.
        QTRY_VERIFY_WITH_TIMEOUT(!arg0(mock.control(QStringLiteral("Deactivations"))).isEmpty(),
                                 5000);
        QVERIFY(mock.activeConnections().isEmpty());
    }

    // The whole dial-up side of a check: DialStart, the monitor's real ticks,
    // the check started once the profile is up, the profile taken down at
    // the end; then a second check whose link drops.
    void checksOverTheMockProfile() {
        FakeDialHost host;
        host.seams.ras = nm.get();
        host.seams.linkTickMs = 50;
        host.seams.hangUpWaitMs = 50;
        host.seams.linkErrorWaitMs = 50;
        DialUp dial(host, host.seams);
        dial.DialStart(QStringLiteral("モバイル回線"));
        QVERIFY(dial.monitorRunning());
        QTRY_VERIFY(dial.hRasConn != 0);
        const QString active = mock.activeConnections().value(0);
        mock.control(QStringLiteral("DeviceStep"), {70u});
        QTRY_COMPARE(host.statusText, QStringLiteral("接続完了（リンク確立）"));
        mock.control(QStringLiteral("Connect"), {active});
        QTRY_COMPARE(host.checksStarted, 1);
        QTest::qWait(200);
        QCOMPARE(host.checksStarted, 1);
        QVERIFY(mock.activeConnections().contains(active));

        host.pop3 = false;
        dial.checkEnded();
        QTRY_VERIFY(!dial.monitorRunning());
        QTRY_COMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active);
        QVERIFY(mock.activeConnections().isEmpty());
        QVERIFY(host.logLines.isEmpty());

        dial.DialStart(QStringLiteral("モバイル回線"));
        QTRY_VERIFY(dial.hRasConn != 0);
        const QString second = mock.activeConnections().value(0);
        mock.control(QStringLiteral("Connect"), {second});
        QTRY_COMPARE(host.checksStarted, 2);
        mock.control(QStringLiteral("Fail"), {second, 36u});
        QTRY_VERIFY(!dial.monitorRunning());
        QCOMPARE(host.logLines, QStringList{QStringLiteral("ダイヤルアップ接続異常")});
        QCOMPARE(host.linkFailures, 1);
        QCOMPARE(host.checksAborted, 1);
    }

    // Last: stops the mock manager.
    void managerAbsent() {
        const auto [rc, h] = dial(*nm, QStringLiteral("PPPoE"));
        QCOMPARE(rc, 0u);
        mock.stopManager();
        // A bus that was never connected, as on a machine without a system bus.
        NmBackend offline(QDBusConnection(QStringLiteral("no-such-connection")));
        for (NmBackend *b : {nm.get(), &offline}) {
            QElapsedTimer t;
            t.start();
            const auto [rcEntries, names] = entries(*b);
            QCOMPARE(rcEntries, 0u);
            QVERIFY(names.isEmpty());
            const auto [rcLinks, up] = links(*b);
            QCOMPARE(rcLinks, 0u);
            QVERIFY(up.isEmpty());
            QCOMPARE(std::get<0>(dial(*b, QStringLiteral("PPPoE"))), raserr::ServiceAbsent);
            QCOMPARE(std::get<0>(statusOf(*b, b == nm.get() ? h : 1)),
                     b == nm.get() ? raserr::ServiceAbsent : raserr::InvalidHandle);
            qInfo("without NetworkManager: lists, dial and status in %lld ms", t.elapsed());
            QVERIFY(t.elapsed() < 300);
        }
        nm->hangUp(h);
        settle();
        QVERIFY(!mock.managerWasStarted());
    }
};

QTEST_MAIN(TestNmBackend)
#include "tst_nmbackend.moc"
