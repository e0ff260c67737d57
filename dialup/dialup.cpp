#include "dialup/dialup.h"

#include "platform/seams.h"

#include <QPointer>
#include <utility>

namespace {
const QString LinkInUse = QStringLiteral("すでにダイヤルアップ接続が使用されています");

using Outcome = DialService::Outcome;
using LinkStep = DialService::LinkStep;

// The status line while a link is being built, by step.
QString stepText(LinkStep step) {
    switch (step) {
    case LinkStep::OpeningPort:
        return QStringLiteral("ポートオープン中...");
    case LinkStep::PortOpened:
        return QStringLiteral("ポートオープン完了");
    case LinkStep::ConnectingDevice:
        return QStringLiteral("デバイスと接続中...");
    case LinkStep::Authenticated:
        return QStringLiteral("認証完了");
    case LinkStep::LinkEstablished:
        return QStringLiteral("接続完了（リンク確立）");
    default:
        return QStringLiteral("RASCS_AuthProject後に発生");
    }
}
} // namespace

DialUp::DialUp(const Seams &seams, QObject *parent) : QObject(parent), m_seams(seams) {
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
    DialService *service = m_seams.dial;
    if (!service) {
        done({});
        return;
    }
    service->entries([self = QPointer(this), done](Outcome o, const QStringList &names) {
        if (self) done(o == Outcome::Done ? names : QStringList());
    });
}

void DialUp::DupConnectCount(const QString &entry, std::function<void(qint32 count)> done) {
    DialService *service = m_seams.dial;
    if (!service) {
        done(-1);
        return;
    }
    service->connections([self = QPointer(this), entry, done](Outcome o, const QStringList &up) {
        if (self) done(o == Outcome::Done ? qint32(up.count(entry)) : -1);
    });
}

void DialUp::DialStart(const QString &entry) {
    // One link at a time: never dial while a link is watched or another
    // dial is being started (it would lose that handle).
    if (monitorRunning()) return;

    Dup_EntryName = entry;
    m_dialing = true;
    const quint64 generation = m_generation;
    DupConnectCount(entry, [this, generation](qint32 count) {
        if (generation != m_generation) return;
        if (count != 0) {
            m_dialing = false;
            emit logLine(LinkInUse);
            return;
        }
        dial([this](bool accepted) {
            if (!accepted) emit dialRefused();
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
    m_link = 0;
    DialService *service = m_seams.dial;
    if (!service) {
        m_dialing = false;
        done(false);
        return;
    }
    service->dial(Dup_EntryName, [self = QPointer(this), service, generation = m_generation,
                                  done](Outcome o, quint32 link) {
        if (!self || generation != self->m_generation) {
            // Nobody watches this link any more.
            if (o == Outcome::Done) service->hangUp(link);
            return;
        }
        self->m_dialing = false;
        if (o != Outcome::Done) {
            done(false);
            return;
        }
        self->m_link = link;
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
    release();
}

void DialUp::release() {
    if (m_link != 0 && m_seams.dial) m_seams.dial->hangUp(m_link);
    // A kept handle could later name somebody else's connection.
    m_link = 0;
}

void DialUp::waitThen(int ms, std::function<void()> then) {
    m_afterWait = std::move(then);
    m_wait.start(ms);
}

void DialUp::endLink() {
    release();
    waitThen(m_seams.hangUpWaitMs, [this] {
        Timer2.stop();
        Dup_Check_Flag = 0;
    });
}

void DialUp::failLink(bool queryFailed) {
    // The check over this link cannot go on; its failure is reported and
    // counted once, after the wait.
    if (Dup_Check_Flag == 1 && Dup_End_Flag == 0) emit linkLost();
    auto report = [this] {
        Dup_End_Flag = 1;
        Dup_Check_Flag = 0;
        emit linkFailed();
    };
    if (queryFailed) {
        release();
        waitThen(m_seams.hangUpWaitMs, [this, report] {
            Timer2.stop();
            report();
        });
    } else {
        Timer2.stop();
        release();
        waitThen(m_seams.linkErrorWaitMs, report);
    }
}

void DialUp::Timer2_Timer() {
    // One question at a time, and none while a hang-up or link error waits.
    if (m_querying || m_wait.isActive() || !Timer2.isActive()) return;
    DialService *service = m_seams.dial;
    if (!service || m_link == 0) {
        failLink(true);
        return;
    }
    m_querying = true;
    service->status(m_link,
                    [self = QPointer(this), generation = m_generation](Outcome o, LinkStep step) {
                        if (!self || generation != self->m_generation) return;
                        self->m_querying = false;
                        self->linkStatus(o, step);
                    });
}

void DialUp::linkStatus(Outcome outcome, LinkStep step) {
    if (outcome != Outcome::Done) {
        failLink(true);
        return;
    }
    switch (step) {
    case LinkStep::Connected:
        if (Dup_Check_Flag != 1) {
            // The check decides: it starts over the link, or hangs up at once.
            Dup_Check_Flag = 1;
            emit linkUp();
        }
        if (Dup_End_Flag == 1) endLink();
        break;
    case LinkStep::Ended:
        failLink(false);
        break;
    default:
        emit statusChanged(stepText(step));
        break;
    }
}
