#include "dialup/dialup.h"

#include "dialup/dialhost.h"
#include "dialup/rasbackend.h"
#include "dialup/tasktry.h"
#include "platform/seams.h"

#include <QPointer>
#include <utility>

namespace {
const QString LinkInUse = QStringLiteral("すでにダイヤルアップ接続が使用されています");
} // namespace

DialUp::DialUp(DialHost &host, const Seams &seams, QObject *parent)
    : QObject(parent), m_host(host), m_seams(seams) {
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer2.setInterval(seams.linkTickMs);
    connect(&Timer2, &QTimer::timeout, this, &DialUp::Timer2_Timer);
    // The pauses are never cut short: the service needs them to let go.
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, [this] {
        if (auto then = std::exchange(m_afterWait, {})) then();
    });
}

bool DialUp::monitorRunning() const {
    return m_dialing || Timer2.isActive() || m_wait.isActive();
}

void DialUp::DupEntryList(std::function<void(const QStringList &names)> done) {
    RasBackend *ras = m_seams.ras;
    if (!ras) {
        done({});
        return;
    }
    ras->entries([self = QPointer(this), done](quint32 rc, const QStringList &names) {
        if (self) done(rc == 0 ? names : QStringList());
    });
}

void DialUp::DupConnectCount(const QString &entry, std::function<void(qint32 count)> done) {
    RasBackend *ras = m_seams.ras;
    if (!ras) {
        done(-1);
        return;
    }
    ras->connections(
        [self = QPointer(this), entry, done](quint32 rc, const QList<RasBackend::Link> &links) {
            if (!self) return;
            if (rc != 0) {
                done(-1);
                return;
            }
            qint32 n = 0;
            for (const RasBackend::Link &l : links) {
                if (l.entryName == entry) ++n;
            }
            done(n);
        });
}

void DialUp::DialStart(const QString &entry) {
    // One link, one check: never dial while a check runs, a link is watched
    // or another dial is being started (it would lose that handle).
    if (monitorRunning() || m_host.pop3Running() || m_host.noticeRunning()) return;

    Dup_EntryName = entry;
    m_dialing = true;
    const quint64 generation = m_generation;
    DupConnectCount(entry, [this, generation](qint32 count) {
        if (generation != m_generation) return;
        if (count != 0) {
            m_dialing = false;
            m_host.log(LinkInUse);
            return;
        }
        dial([this](bool accepted) {
            if (!accepted) m_host.dialRefused();
        });
    });
}

void DialUp::TestDial(const QString &entry, std::function<void(bool accepted)> done) {
    if (monitorRunning()) {
        done(false);
        return;
    }
    Dup_EntryName = entry;
    dial(std::move(done));
}

void DialUp::dial(std::function<void(bool accepted)> done) {
    m_dialing = true;
    Dup_End_Flag = 0;
    hRasConn = 0;
    RasBackend *ras = m_seams.ras;
    if (!ras) {
        m_dialing = false;
        done(false);
        return;
    }
    ras->dial(Dup_EntryName, [self = QPointer(this), ras, generation = m_generation,
                              done](quint32 rc, quint32 handle) {
        if (!self || generation != self->m_generation) {
            // Nobody watches this link any more.
            if (rc == 0) ras->hangUp(handle);
            return;
        }
        self->m_dialing = false;
        if (rc != 0) {
            done(false);
            return;
        }
        self->hRasConn = handle;
        self->Timer2.start(self->m_seams.linkTickMs);
        done(true);
    });
}

void DialUp::ExitHangUp() {
    Timer2.stop();
    m_wait.stop();
    // A link failure still waiting to be told is told now, before the exit's
    // own lines, as if its pause had run out.
    if (auto then = std::exchange(m_afterWait, {})) then();
    Timer2.stop();
    ++m_generation;
    m_dialing = false;
    m_querying = false;
    hangUp();
}

void DialUp::pRasStatusFunc(qint32 lngStatus, qint32) {
    m_host.setStatus(TaskTry::RasStateText(lngStatus));
}

void DialUp::hangUp() {
    if (hRasConn != 0 && m_seams.ras) m_seams.ras->hangUp(hRasConn);
    // A kept handle could later name somebody else's connection.
    hRasConn = 0;
}

void DialUp::waitThen(int ms, std::function<void()> then) {
    m_afterWait = std::move(then);
    m_wait.start(ms);
}

void DialUp::endLink() {
    hangUp();
    waitThen(m_seams.hangUpWaitMs, [this] {
        Timer2.stop();
        Dup_Check_Flag = 0;
    });
}

void DialUp::failLink(bool queryFailed) {
    // The check over this link cannot go on; its failure is reported and
    // counted once, after the wait.
    if (Dup_Check_Flag == 1 && Dup_End_Flag == 0) m_host.abortCheck();
    auto report = [this] {
        Dup_End_Flag = 1;
        Dup_Check_Flag = 0;
        m_host.linkFailed();
    };
    if (queryFailed) {
        hangUp();
        waitThen(m_seams.hangUpWaitMs, [this, report] {
            Timer2.stop();
            report();
        });
    } else {
        Timer2.stop();
        hangUp();
        waitThen(m_seams.linkErrorWaitMs, report);
    }
}

void DialUp::Timer2_Timer() {
    // One question at a time, and none while a hang-up or link error waits.
    if (m_querying || m_wait.isActive() || !Timer2.isActive()) return;
    RasBackend *ras = m_seams.ras;
    if (!ras || hRasConn == 0) {
        failLink(true);
        return;
    }
    m_querying = true;
    ras->status(hRasConn, [self = QPointer(this),
                           generation = m_generation](quint32 rc, const RasBackend::Status &st) {
        if (!self || generation != self->m_generation) return;
        self->m_querying = false;
        self->linkStatus(rc, st.state, st.error);
    });
}

void DialUp::linkStatus(quint32 rc, qint32 state, quint32 error) {
    if (rc != 0) {
        failLink(true);
        return;
    }
    switch (error) {
    case 0:
        if (Dup_Check_Flag != 1) {
            // A check of an earlier link still runs: none can start over this
            // link, and nothing would ever hang it up.
            if (m_host.pop3Running()) {
                endLink();
                return;
            }
            m_host.startCheck();
            Dup_Check_Flag = 1;
            if (!m_host.pop3Running() && !m_host.noticeRunning() && Dup_End_Flag == 0) {
                endLink();
                return;
            }
        }
        if (Dup_End_Flag == 1) endLink();
        break;
    case raserr::Pending:
        pRasStatusFunc(state, qint32(raserr::Pending));
        break;
    default:
        failLink(false);
        break;
    }
}
