// The link monitor, the dial and the RAS records against a scripted service.
#include "dialup/dialup.h"
#include "dialup/tasktry.h"
#include "platform/codepage.h"
#include "support/dialup_scripted.h"

#include <QComboBox>
#include <QTest>
#include <QTimer>
#include <cstring>
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

  private slots:
    void init() {
        host = std::make_unique<FakeDialHost>();
        dial = std::make_unique<DialUp>(*host, host->seams);
    }

    void entryRecordsFollowTheBufferRules() {
        ScriptedBackend b;
        b.entryNames = {QStringLiteral("プロバイダA"), QStringLiteral("B")};
        auto buf = std::make_unique<RASENTRYNAMEA[]>(2);
        std::memset(buf.get(), 0x55, sizeof(RASENTRYNAMEA) * 2);
        quint32 cb = 2 * sizeof(RASENTRYNAMEA), count = 0;
        QCOMPARE(RasEnumEntriesA(&b, nullptr, nullptr, buf.get(), &cb, &count),
                 raserr::InvalidSize);
        buf[0].dwSize = 264;
        QCOMPARE(RasEnumEntriesA(&b, nullptr, nullptr, buf.get(), &cb, &count), 0u);
        QCOMPARE(count, 2u);
        QCOMPARE(QByteArray(buf[0].szEntryName), cp932::encode(u"プロバイダA"));
        QCOMPARE(QByteArray(buf[1].szEntryName), QByteArray("B"));
        QCOMPARE(buf[1].szEntryName[256], '\0');

        // One entry more than the buffer holds: fails and says what it needs.
        b.entryNames << QStringLiteral("C");
        cb = 2 * sizeof(RASENTRYNAMEA);
        QCOMPARE(RasEnumEntriesA(&b, nullptr, nullptr, buf.get(), &cb, &count),
                 raserr::BufferTooSmall);
        QCOMPARE(cb, 3u * 264u);

        // The same for connections: 101 do not fit 100 records, so count is -1.
        for (int i = 0; i < 101; ++i)
            host->backend.links.append(link(QStringLiteral("X")));
        dial->Dup_EntryName = QStringLiteral("X");
        QCOMPARE(dial->DupConnectCount(), -1);
        host->backend.links.removeLast();
        QCOMPARE(dial->DupConnectCount(), 100);
    }

    void longNamesAreCutAtACharacterBoundary() {
        // 1 + 128 two-byte characters: only 127 of them fit after the "a".
        const QString name = QStringLiteral("a") + QString(128, QChar(u'漢'));
        RASDIALPARAMSA p;
        std::memset(&p, 0x55, sizeof p);
        ras::copyText(p.szEntryName, sizeof p.szEntryName, name);
        QCOMPARE(qstrlen(p.szEntryName), 255u);
        QCOMPARE(p.szEntryName[255], '\0');
        QCOMPARE(p.szEntryName[256], '\0');
        QCOMPARE(p.szPhoneNumber[0], char(0x55)); // nothing written past the field
        QCOMPARE(ras::fieldText(p.szEntryName, sizeof p.szEntryName),
                 QStringLiteral("a") + QString(127, QChar(u'漢')));

        // Such an entry is listed cut, and dialing the cut name fails quietly.
        host->backend.entryNames = {name};
        dial->DialStart(name);
        QCOMPARE(host->backend.dials.size(), 1);
        QCOMPARE(host->backend.dials[0].size(), 128);
        QVERIFY(!dial->monitorRunning());
        QVERIFY(host->logLines.isEmpty());
    }

    void entryListKeepsTheComboText() {
        host->backend.entryNames = {QStringLiteral("A"), QStringLiteral("B")};
        QComboBox combo;
        combo.setEditable(true);
        combo.setEditText(QStringLiteral("B"));
        dial->DupEntryList(&combo);
        QCOMPARE(combo.count(), 2);
        QCOMPARE(combo.itemText(0), QStringLiteral("A"));
        QCOMPARE(combo.currentText(), QStringLiteral("B"));

        QComboBox other;
        other.setEditable(true);
        other.setEditText(QStringLiteral("消えたプロファイル"));
        dial->DupEntryList(&other);
        QCOMPARE(other.currentText(), QStringLiteral("消えたプロファイル"));

        // A failing service leaves the list alone.
        host->backend.entriesError = raserr::ServiceAbsent;
        dial->DupEntryList(&other);
        QCOMPARE(other.count(), 2);
    }

    void connectionCountComparesNamesExactly() {
        auto &links = host->backend.links;
        links = {link(QStringLiteral("A")), link(QStringLiteral("A")), link(QStringLiteral("B"))};
        dial->Dup_EntryName = QStringLiteral("A");
        QCOMPARE(dial->DupConnectCount(), 2);
        dial->Dup_EntryName = QStringLiteral("a");
        QCOMPARE(dial->DupConnectCount(), 0);
        dial->Dup_EntryName.clear();
        QCOMPARE(dial->DupConnectCount(), 0);
        host->backend.connectionsError = raserr::ServiceAbsent;
        dial->Dup_EntryName = QStringLiteral("C");
        QCOMPARE(dial->DupConnectCount(), -1);

        // A taken entry (or an unknown count) logs and dials nothing.
        dial->DialStart(QStringLiteral("C"));
        QCOMPARE(host->logLines, QStringList{InUse});
        QVERIFY(host->backend.dials.isEmpty());
    }

    void progressThenOneCheckThenHangUpAtEndFlagOne() {
        host->shared.Dup_End_Flag = 1;
        dialA();
        QCOMPARE(host->shared.Dup_End_Flag, qint16(0));
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
        QCOMPARE(host->form1Loads, 0);
        tick(*dial);
        QCOMPARE(host->form1Loads, 1);
        QCOMPARE(dial->Dup_Check_Flag, qint16(1));

        // 2 means finished but keep the link; only 1 hangs up.
        host->shared.Dup_End_Flag = 2;
        for (int i = 0; i < 3; ++i)
            tick(*dial);
        QCOMPARE(host->form1Loads, 1);
        QVERIFY(b.hangUps.isEmpty());
        QVERIFY(dial->monitorRunning());

        host->shared.Dup_End_Flag = 1;
        host->form1 = false;
        tick(*dial);
        QCOMPARE(b.hangUps, QList<quint32>{b.statusFor.constFirst()});
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(dial->Dup_Check_Flag, qint16(0));
        QCOMPARE(dial->hRasConn, 0u);
        QCOMPARE(host->shared.Retry_Flag, qint16(0));
        QVERIFY(host->logLines.isEmpty());

        // The next check dials and starts a new check over the new link.
        b.reply(0, 8192, 0);
        dial->DialStart(QStringLiteral("A"));
        tick(*dial);
        QCOMPARE(host->form1Loads, 2);
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
        host->onLoadForm1 = [this] { host->form3 = true; }; // Form1 handed over to Form3
        tick(*dial);
        QCOMPARE(host->form1Loads, 1);
        const quint32 handle = dial->hRasConn;

        if (queryFails)
            b.reply(raserr::InvalidHandle);
        else
            b.reply(0, 8193, raserr::DeviceReasonBase + 36);
        host->shared.Retry_Flag = 1;
        bool activeAtHangUp = false;
        QElapsedTimer sinceHangUp;
        qint64 waited = -1;
        bool activeAtText = true;
        b.onHangUp = [&] {
            activeAtHangUp = dial->monitorRunning();
            sinceHangUp.start();
        };
        host->onSetStatus = [&] {
            waited = sinceHangUp.elapsed();
            activeAtText = dial->monitorRunning();
        };
        tick(*dial);

        QCOMPARE(b.hangUps, QList<quint32>{handle});
        QCOMPARE(activeAtHangUp, queryFails);
        QVERIFY(!activeAtText);
        const int wait = queryFails ? host->seams.hangUpWaitMs : host->seams.linkErrorWaitMs;
        QVERIFY2(waited >= wait && waited < wait + 150, qPrintable(QString::number(waited)));
        QCOMPARE(host->statusHistory.constLast(), LinkError);
        QCOMPARE(host->logLines, QStringList{LinkError});
        QCOMPARE(host->shared.Retry_Flag, qint16(2));
        QCOMPARE(host->shared.Dup_End_Flag, qint16(1));
        QCOMPARE(dial->Dup_Check_Flag, qint16(0));
        QCOMPARE(dial->hRasConn, 0u);
        // The workers of the dead link end without a word of their own; the
        // unconfirmed notice goes out again next time.
        QCOMPARE(host->form3Unloads, 1);
        QCOMPARE(host->shared.TX_flg, qint16(1));
        QCOMPARE(host->statusHistory.count(LinkError), 1);

        tick(*dial); // the monitor is off: nothing more
        QCOMPARE(host->logLines.size(), 1);
    }

    void noLinkStaysUpWithoutACheck() {
        // Form1 of an earlier check still loaded when the link comes up.
        host->backend.entryNames = {QStringLiteral("A")};
        host->shared.Retry_Flag = 1;
        QVERIFY(dial->TestDial() == false); // no entry name yet
        dial->Dup_EntryName = QStringLiteral("A");
        QVERIFY(dial->TestDial());
        host->form1 = true;
        host->backend.reply(0, 8192, 0);
        tick(*dial);
        QCOMPARE(host->form1Loads, 0);
        QCOMPARE(host->backend.hangUps.size(), 1);
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(host->shared.Retry_Flag, qint16(1));
        QCOMPARE(host->form1Unloads, 0);

        // A Form1 that starts no check: hang up the same way.
        host->form1 = false;
        host->onLoadForm1 = [this] { host->form1 = false; };
        QVERIFY(dial->TestDial());
        tick(*dial);
        QCOMPARE(host->form1Loads, 1);
        QCOMPARE(host->backend.hangUps.size(), 2);
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(dial->Dup_Check_Flag, qint16(0));
        QVERIFY(host->logLines.isEmpty());
    }

    void oneDialAtATime() {
        host->backend.entryNames = {QStringLiteral("A")};
        host->form1 = true;
        dial->DialStart(QStringLiteral("A"));
        host->form1 = false;
        host->form3 = true;
        dial->DialStart(QStringLiteral("A"));
        host->form3 = false;
        QVERIFY(host->backend.dials.isEmpty());

        // A scheduler tick that runs while the dial lets events run.
        QTimer::singleShot(0, this, [this] { dial->DialStart(QStringLiteral("A")); });
        QTimer::singleShot(0, this, [this] { QVERIFY(!dial->TestDial()); });
        dial->DialStart(QStringLiteral("A"));
        QCOMPARE(host->backend.dials.size(), 1);
        const quint32 handle = dial->hRasConn;

        dial->DialStart(QStringLiteral("A")); // the monitor runs
        QVERIFY(!dial->TestDial());
        QCOMPARE(host->backend.dials.size(), 1);
        QCOMPARE(dial->hRasConn, handle);
        QVERIFY(host->logLines.isEmpty());
        QCOMPARE(host->shared.Retry_Flag, qint16(0));
    }

    void refusedRetryCountsAsItsFailure() {
        host->backend.entryNames = {QStringLiteral("A")};
        host->backend.dialError = raserr::ServiceAbsent;
        dial->DialStart(QStringLiteral("A"));
        QCOMPARE(host->shared.Retry_Flag, qint16(0));
        host->shared.Retry_Flag = 1;
        dial->DialStart(QStringLiteral("A"));
        QCOMPARE(host->shared.Retry_Flag, qint16(2));
        QVERIFY(host->logLines.isEmpty());
        QVERIFY(host->statusHistory.isEmpty());
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(dial->hRasConn, 0u);
    }

    void exitHangsUpWhatWasDialedOnce() {
        dialA();
        const quint32 handle = dial->hRasConn;
        dial->ExitHangUp();
        QVERIFY(!dial->monitorRunning());
        QCOMPARE(host->backend.hangUps, QList<quint32>{handle});
        dial->ExitHangUp(); // nothing held any more: the service is not asked
        QCOMPARE(host->backend.hangUps.size(), 1);
    }
};

QTEST_MAIN(TestLinkMonitor)
#include "tst_linkmonitor.moc"
