#include "dialup/dialup.h"

#include "app/sharedstate.h"
#include "dialup/dialhost.h"
#include "dialup/tasktry.h"
#include "platform/seams.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QScopedValueRollback>
#include <QThread>
#include <cstring>
#include <memory>

namespace {
constexpr int MaxEntries = 256;
constexpr int MaxConnections = 100;
constexpr quint32 NotifyByWindowMessage = 0xFFFFFFFF;
} // namespace

DialUp::DialUp(DialHost &host, const Seams &seams, QObject *parent)
    : QObject(parent), m_host(host), m_seams(seams) {
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer2.setInterval(seams.linkTickMs);
    connect(&Timer2, &QTimer::timeout, this, &DialUp::Timer2_Timer);
}

void DialUp::DupEntryList(QComboBox *Combo1) {
    auto entries = std::make_unique<RASENTRYNAMEA[]>(MaxEntries);
    entries[0].dwSize = sizeof(RASENTRYNAMEA);
    quint32 cb = sizeof(RASENTRYNAMEA) * MaxEntries;
    quint32 count = 0;
    if (RasEnumEntriesA(m_seams.ras, nullptr, nullptr, entries.get(), &cb, &count) != 0) return;
    if (count == 0 || count > MaxEntries) return;

    // An empty combo selects (and, editable, shows) its first item on the
    // first insert, which would replace the entry read from the settings.
    const QString text = Combo1->currentText();
    const bool wasEmpty = Combo1->count() == 0;
    for (quint32 i = 0; i < count; ++i)
        Combo1->addItem(ras::fieldText(entries[i].szEntryName, sizeof entries[i].szEntryName));
    if (wasEmpty) {
        const int at = Combo1->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
        Combo1->setCurrentIndex(at);
        if (at < 0 && Combo1->isEditable()) Combo1->setEditText(text);
    }
}

qint32 DialUp::DupConnectCount() {
    auto conns = std::make_unique<RASCONNA[]>(MaxConnections);
    conns[0].dwSize = sizeof(RASCONNA);
    quint32 cb = sizeof(RASCONNA) * MaxConnections;
    quint32 count = 0;
    if (RasEnumConnectionsA(m_seams.ras, conns.get(), &cb, &count) != 0) return -1;
    qint32 n = 0;
    for (quint32 i = 0; i < count && i < MaxConnections; ++i) {
        if (ras::fieldText(conns[i].szEntryName, sizeof conns[i].szEntryName) == Dup_EntryName) ++n;
    }
    return n;
}

void DialUp::DialStart(const QString &entryText) {
    // One link, one check: never dial while a worker still runs, a link is
    // watched or another dial is being started (it would lose that handle).
    if (m_dialing || Timer2.isActive() || m_host.form1Loaded() || m_host.form3Loaded()) return;

    Dup_EntryName = entryText;
    if (DupConnectCount() != 0) {
        m_host.log(QStringLiteral("すでにダイヤルアップ接続が使用されています"));
        return;
    }
    SharedState &s = m_host.state();
    const qint16 retry = s.Retry_Flag;
    if (!dial() && retry == 1) {
        // A refused retry counts as the retry's failure, or the scheduler
        // would try again every second until the next interval minute.
        s.Retry_Flag = saturatingAdd(s.Retry_Flag, 1);
    }
}

bool DialUp::TestDial() {
    if (m_dialing || Timer2.isActive()) return false;
    return dial();
}

bool DialUp::dial() {
    QScopedValueRollback<bool> dialing(m_dialing, true);
    std::memset(&Dup_DialParams, 0, sizeof Dup_DialParams);
    Dup_DialParams.dwSize = sizeof(RASDIALPARAMSA);
    // Cut at a character boundary when too long: such a name dials nothing.
    ras::copyText(Dup_DialParams.szEntryName, sizeof Dup_DialParams.szEntryName, Dup_EntryName);
    qint32 passwordSaved = 0;
    RasGetEntryDialParamsA(m_seams.ras, nullptr, &Dup_DialParams, &passwordSaved);

    m_host.state().Dup_End_Flag = 0;
    QCoreApplication::processEvents();

    hRasConn = 0;
    const quint32 rc = RasDialA(m_seams.ras, nullptr, nullptr, &Dup_DialParams,
                                NotifyByWindowMessage, nullptr, &hRasConn);
    if (rc != 0) {
        hRasConn = 0;
        return false;
    }
    Timer2.start(m_seams.linkTickMs);
    return true;
}

void DialUp::ExitHangUp() {
    Timer2.stop();
    hangUp();
}

void DialUp::pRasStatusFunc(qint32 lngStatus, qint32) {
    m_host.setStatus(TaskTry::RasStateText(lngStatus));
}

void DialUp::hangUp() {
    RasHangUpA(m_seams.ras, hRasConn);
    // A kept handle could later name somebody else's connection.
    hRasConn = 0;
}

void DialUp::endLink() {
    hangUp();
    QThread::msleep(m_seams.hangUpWaitMs);
    Timer2.stop();
    Dup_Check_Flag = 0;
}

void DialUp::failLink(bool queryFailed) {
    SharedState &s = m_host.state();
    // The check over this link cannot go on; its failure is reported and
    // counted once, here. An unconfirmed notice is sent again next time.
    if (Dup_Check_Flag == 1 && s.Dup_End_Flag == 0) {
        if (m_host.form1Loaded()) m_host.unloadForm1();
        if (m_host.form3Loaded()) {
            s.TX_flg = 1;
            m_host.unloadForm3();
        }
    }
    if (queryFailed) {
        hangUp();
        QThread::msleep(m_seams.hangUpWaitMs);
        Timer2.stop();
    } else {
        Timer2.stop();
        hangUp();
        QThread::msleep(m_seams.linkErrorWaitMs);
    }
    m_host.setStatus(QStringLiteral("ダイヤルアップ接続異常"));
    m_host.log(m_host.status());
    s.Dup_End_Flag = 1;
    s.Retry_Flag = saturatingAdd(s.Retry_Flag, 1);
    Dup_Check_Flag = 0;
}

void DialUp::Timer2_Timer() {
    if (m_inTick) return;
    QScopedValueRollback<bool> inTick(m_inTick, true);
    QCoreApplication::processEvents();
    if (!Timer2.isActive()) return; // stopped meanwhile (exit)

    RASCONNSTATUSA st{};
    st.dwSize = sizeof(RASCONNSTATUSA);
    if (RasGetConnectStatusA(m_seams.ras, hRasConn, &st) != 0) {
        failLink(true);
        return;
    }
    SharedState &s = m_host.state();
    switch (st.dwError) {
    case 0:
        if (Dup_Check_Flag != 1) {
            // A worker of an earlier check still loaded: no check can start
            // over this link, and nothing would ever hang it up.
            if (m_host.form1Loaded()) {
                endLink();
                return;
            }
            m_host.loadForm1();
            Dup_Check_Flag = 1;
            if (!m_host.form1Loaded() && !m_host.form3Loaded() && s.Dup_End_Flag == 0) {
                endLink();
                return;
            }
        }
        if (s.Dup_End_Flag == 1) endLink();
        break;
    case raserr::Pending:
        pRasStatusFunc(st.rasconnstate, qint32(raserr::Pending));
        break;
    default:
        failLink(false);
        break;
    }
}
