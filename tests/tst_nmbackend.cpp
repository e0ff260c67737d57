// The NetworkManager backend against a mock NetworkManager on a private bus.
#include "dialup/dialup.h"
#include "dialup/nmbackend.h"
#include "dialup/rasapi.h"
#include "platform/codepage.h"
#include "support/dialup_dbusmock.h"
#include "support/dialup_scripted.h"

#include <QElapsedTimer>
#include <QTest>
#include <memory>

namespace {
const QString NotAvailable =
    QStringLiteral("org.freedesktop.NetworkManager.ConnectionNotAvailable");

QString arg0(const QDBusMessage &m) {
    return m.arguments().isEmpty() ? QString() : m.arguments().constFirst().toString();
}
} // namespace

class TestNmBackend : public QObject {
    Q_OBJECT

    DialupDbusMock mock;
    std::unique_ptr<NmBackend> nm;
    QString modem, pppoe;
    int busOpened = 0;

    RasBackend::Status status(quint32 handle) {
        RasBackend::Status s;
        QCoreApplication::processEvents(); // signals arrive through the event loop
        const quint32 rc = nm->status(handle, s);
        if (rc) s.error = rc + 1000000; // make a failed query visible in comparisons
        return s;
    }
    // Waits until the backend has seen the mock's signals.
    void settle() { QTest::qWait(100); }

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
        auto buf = std::make_unique<RASENTRYNAMEA[]>(256);
        buf[0].dwSize = sizeof(RASENTRYNAMEA);
        quint32 cb = 256 * sizeof(RASENTRYNAMEA), count = 0;
        QCOMPARE(RasEnumEntriesA(nm.get(), nullptr, nullptr, buf.get(), &cb, &count), 0u);
        QCOMPARE(count, 3u);
        QCOMPARE(QByteArray(buf[0].szEntryName), cp932::encode(u"モバイル回線"));
        QCOMPARE(QByteArray(buf[1].szEntryName), QByteArray("PPPoE"));
        QCOMPARE(QByteArray(buf[2].szEntryName), cp932::encode(u"モバイル回線"));
        QCOMPARE(RasEnumEntriesA(nm.get(), nullptr, nullptr, buf.get(), &cb, &count), 0u);
        QCOMPARE(busOpened, 1);
    }

    void dialProgressConnectAndHangUp() {
        QList<RasBackend::Link> links;
        QCOMPARE(nm->connections(links), 0u);
        QVERIFY(links.isEmpty());

        quint32 h = 0;
        QCOMPARE(nm->dial(QStringLiteral("モバイル回線"), h), 0u);
        QVERIFY(h != 0);
        const QStringList active = mock.activeConnections();
        QCOMPARE(active.size(), 1);

        // Being built already counts as taken, under its own handle.
        QCOMPARE(nm->connections(links), 0u);
        QCOMPARE(links.size(), 1);
        QCOMPARE(links[0].entryName, QStringLiteral("モバイル回線"));
        QCOMPARE(links[0].handle, h);

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

        QCOMPARE(nm->hangUp(h), 0u);
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active[0]);
        QVERIFY(mock.activeConnections().isEmpty());
        // The handle is gone with the link; nothing is taken down twice.
        RasBackend::Status s;
        QCOMPARE(nm->status(h, s), raserr::InvalidHandle);
        QCOMPARE(nm->hangUp(h), raserr::InvalidHandle);
    }

    void failureCarriesTheDevicesReason_data() {
        QTest::addColumn<bool>("seenBeforeFailure");
        QTest::newRow("devices known") << true;
        QTest::newRow("failed before the first query") << false;
    }
    void failureCarriesTheDevicesReason() {
        QFETCH(bool, seenBeforeFailure);
        quint32 h = 0;
        QCOMPARE(nm->dial(QStringLiteral("PPPoE"), h), 0u);
        if (seenBeforeFailure) QCOMPARE(status(h).error, 600u);
        const QString active = mock.activeConnections().value(0);
        mock.control(QStringLiteral("Fail"), {active, 36u});
        settle();
        const RasBackend::Status s = status(h);
        QCOMPARE(s.state, 8193);
        QCOMPARE(s.error, 20036u);
        QCOMPARE(nm->hangUp(h), 0u);
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), QString());
    }

    void refusalsAndUnknownEntries() {
        quint32 h = 7;
        QCOMPARE(nm->dial(QStringLiteral("モバイル"), h), raserr::CannotFindEntry);
        QCOMPARE(h, 0u);
        QCOMPARE(nm->dial(QStringLiteral("pppoe"), h), raserr::CannotFindEntry);
        // A name code page 932 cannot hold would not survive the settings
        // file: it fails now rather than after the next start.
        mock.control(QStringLiteral("AddProfile"), {QStringLiteral("回線\U0001F4F6")});
        QCOMPARE(nm->findEntry(QStringLiteral("回線\U0001F4F6")), raserr::CannotFindEntry);
        QCOMPARE(nm->dial(QStringLiteral("回線\U0001F4F6"), h), raserr::CannotFindEntry);
        QCOMPARE(nm->findEntry(QStringLiteral("PPPoE")), 0u);

        mock.control(QStringLiteral("Refuse"), {NotAvailable});
        QCOMPARE(nm->dial(QStringLiteral("PPPoE"), h), raserr::RefusalBase + 4);
        QVERIFY(mock.activeConnections().isEmpty());
    }

    void staleHandleLeavesAnotherProfileUp() {
        quint32 h = 0;
        QCOMPARE(nm->dial(QStringLiteral("PPPoE"), h), 0u);
        const QString ours = mock.activeConnections().value(0);
        // Across a restart our connection vanishes and the path comes back
        // naming the user's own connection.
        mock.control(QStringLiteral("Drop"), {ours});
        QCOMPARE(mock.activateAsOtherProgram(modem), ours);
        mock.control(QStringLiteral("Connect"), {ours});

        const RasBackend::Status s = status(h);
        QCOMPARE(s.state, 8193);
        QVERIFY(s.error != 0 && s.error != 600);
        QList<RasBackend::Link> links;
        QCOMPARE(nm->connections(links), 0u);
        QCOMPARE(links.size(), 1);
        QCOMPARE(links[0].handle, 0u);

        QCOMPARE(nm->hangUp(h), 0u);
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), QString());
        QCOMPARE(mock.activeConnections(), QStringList{ours});
    }

    void slowManagerIsRefusedInTime() {
        mock.control(QStringLiteral("Stall"), {3.0});
        QElapsedTimer t;
        t.start();
        quint32 h = 0;
        QCOMPARE(nm->dial(QStringLiteral("PPPoE"), h), raserr::ServiceAbsent);
        qInfo("silent NetworkManager: dial refused after %lld ms", t.elapsed());
        QVERIFY(t.elapsed() < 2600);
        // The activation NetworkManager finished late is not left up.
        QTRY_VERIFY_WITH_TIMEOUT(!arg0(mock.control(QStringLiteral("Deactivations"))).isEmpty(),
                                 5000);
        QVERIFY(mock.activeConnections().isEmpty());
    }

    // The whole dial-up side of a check: DialStart, the monitor's real ticks,
    // Form1 loaded once the profile is up, the profile taken down at the end;
    // then a second check whose link drops.
    void checksOverTheMockProfile() {
        FakeDialHost host;
        host.seams.ras = nm.get();
        host.seams.linkTickMs = 50;
        host.seams.hangUpWaitMs = 50;
        host.seams.linkErrorWaitMs = 50;
        DialUp dial(host, host.seams);
        dial.DialStart(QStringLiteral("モバイル回線"));
        QVERIFY(dial.monitorRunning());
        const QString active = mock.activeConnections().value(0);
        mock.control(QStringLiteral("DeviceStep"), {70u});
        QTRY_COMPARE(host.statusText, QStringLiteral("接続完了（リンク確立）"));
        mock.control(QStringLiteral("Connect"), {active});
        QTRY_COMPARE(host.form1Loads, 1);
        QTest::qWait(200);
        QCOMPARE(host.form1Loads, 1);
        QVERIFY(mock.activeConnections().contains(active));

        host.form1 = false;
        host.shared.Dup_End_Flag = 1;
        QTRY_VERIFY(!dial.monitorRunning());
        QCOMPARE(arg0(mock.control(QStringLiteral("Deactivations"))), active);
        QVERIFY(mock.activeConnections().isEmpty());
        QVERIFY(host.logLines.isEmpty());

        dial.DialStart(QStringLiteral("モバイル回線"));
        const QString second = mock.activeConnections().value(0);
        mock.control(QStringLiteral("Connect"), {second});
        QTRY_COMPARE(host.form1Loads, 2);
        mock.control(QStringLiteral("Fail"), {second, 36u});
        QTRY_VERIFY(!dial.monitorRunning());
        QCOMPARE(host.logLines, QStringList{QStringLiteral("ダイヤルアップ接続異常")});
        QCOMPARE(host.shared.Retry_Flag, qint16(1));
        QCOMPARE(host.form1Unloads, 1);
    }

    // Last: stops the mock manager.
    void managerAbsent() {
        quint32 h = 0;
        QCOMPARE(nm->dial(QStringLiteral("PPPoE"), h), 0u);
        mock.stopManager();
        // A bus that was never connected, as on a machine without a system bus.
        NmBackend offline(QDBusConnection(QStringLiteral("no-such-connection")));
        for (NmBackend *b : {nm.get(), &offline}) {
            QElapsedTimer t;
            t.start();
            QStringList names;
            QCOMPARE(b->entries(names), 0u);
            QVERIFY(names.isEmpty());
            QList<RasBackend::Link> links;
            QCOMPARE(b->connections(links), 0u);
            QVERIFY(links.isEmpty());
            quint32 other = 0;
            QCOMPARE(b->dial(QStringLiteral("PPPoE"), other), raserr::ServiceAbsent);
            RasBackend::Status s;
            QCOMPARE(b->status(b == nm.get() ? h : 1, s),
                     b == nm.get() ? raserr::ServiceAbsent : raserr::InvalidHandle);
            qInfo("without NetworkManager: lists, dial and status in %lld ms", t.elapsed());
            QVERIFY(t.elapsed() < 300);
        }
        QCOMPARE(nm->hangUp(h), 0u);
        QVERIFY(!mock.managerWasStarted());
    }
};

QTEST_MAIN(TestNmBackend)
#include "tst_nmbackend.moc"
