#include "check/scheduler.h"

#include "check/mailcheck.h"
#include "check/schedule.h"
#include "platform/seams.h"
#include "platform/systemwatch.h"

#include <QTimer>

namespace {
// The start of the minute `t` lies in.
QDateTime minuteOf(const QDateTime &t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}
} // namespace

Scheduler::Scheduler(MailCheck &check, const SettingsRecord &settings, const Seams &seams,
                     std::function<bool()> monitoring, QObject *parent)
    : QObject(parent), Timer1(new QTimer(this)), m_monitoring(std::move(monitoring)),
      m_check(check), m_settings(settings), m_seams(seams), m_catchUp(new QTimer(this)) {
    setObjectName(QStringLiteral("scheduler"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    // A coarse timer drifts towards 1050 ms and could skip a clock second.
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(m_seams.schedulerTickMs);
    connect(Timer1, &QTimer::timeout, this, &Scheduler::Timer1_Timer);
    Timer1->start();

    m_catchUp->setSingleShot(true);
    connect(m_catchUp, &QTimer::timeout, this, &Scheduler::catchUp);
    const SystemWatch *watch = m_check.systemWatch();
    connect(watch, &SystemWatch::sleeping, this, [this] { away(false); });
    connect(watch, &SystemWatch::networkLost, this, [this] { away(true); });
    connect(watch, &SystemWatch::woke, this, [this] { back(false); });
    connect(watch, &SystemWatch::networkBack, this, [this] { back(true); });
}

void Scheduler::Timer1_Timer() {
    const bool monitoring = m_monitoring && m_monitoring();
    const QDateTime now = m_seams.now(); // one reading per tick
    if (monitoring != m_shownMonitoring || minuteOf(now) != m_shownMinute) {
        m_shownMonitoring = monitoring;
        m_shownMinute = minuteOf(now);
        emit nextCheckMoved();
    }
    if (!monitoring) return;
    if (quietAt(now.time().hour())) return;
    CheckTiming(now);
}

bool Scheduler::quietAt(int hour) const {
    return schedule::quiet(m_settings.Quiet_Flag != 0, m_settings.Quiet_Start, m_settings.Quiet_End,
                           hour);
}

void Scheduler::CheckTiming(const QDateTime &now) {
    const int minute = now.time().minute();
    const QString m = QString::number(minute);
    if (m == Last_Check_Minute || minuteOf(now) == m_extraMinute) return;
    if (m_check.retries() == 1) {
        start(now);
        return;
    }
    if (m_check.retries() >= 2) {
        m_check.forgetRetries();
        return;
    }
    if (!schedule::intervalDue(m_settings.Check_Interval, now.time().hour(), minute)) return;
    fire(now);
}

void Scheduler::fire(const QDateTime &now) {
    Last_Check_Minute = QString::number(now.time().minute());
    m_check.forgetRetries();
    start(now);
}

void Scheduler::fireExtra(const QDateTime &now) {
    // Outside the interval minutes: the latch stays, and only this minute
    // is taken, so a retry waits for the next one.
    m_extraMinute = minuteOf(now);
    m_check.forgetRetries();
    start(now);
}

void Scheduler::start(const QDateTime &now) {
    m_lastStart = now;
    // A check once the machine or the network is back does the catch-up's work.
    if (m_catchUp->isActive()) {
        m_catchUp->stop();
        m_awaySince.reset();
    }
    m_check.DialStart(m_settings);
}

void Scheduler::checkNow() {
    if (m_monitoring && m_monitoring()) fireExtra(m_seams.now());
}

QString Scheduler::nextCheckText() const {
    if (!m_monitoring || !m_monitoring()) return {};
    const QDateTime now = m_seams.now();
    if (quietAt(now.time().hour())) return QStringLiteral("チェックしない時間帯");
    const auto at = [](const QDateTime &t) {
        return QStringLiteral("次回チェック ") + t.toString(QStringLiteral("H:mm"));
    };
    QDateTime t = minuteOf(now);
    const bool latched =
        QString::number(t.time().minute()) == Last_Check_Minute || t == m_extraMinute;
    if (m_check.retries() == 1) return at(latched ? t.addSecs(60) : t);
    for (int i = 0; i <= 2 * 24 * 60; ++i, t = t.addSecs(60)) {
        if (i == 0 && latched) continue;
        const int hour = t.time().hour();
        if (!quietAt(hour) &&
            schedule::intervalDue(m_settings.Check_Interval, hour, t.time().minute()))
            return at(t);
    }
    return {};
}

void Scheduler::away(bool network) {
    // A dial-up link is the network: its own hang-up takes it down.
    if (network && m_settings.Dup_Mode != 0) return;
    m_catchUp->stop();
    if (!m_awaySince) m_awaySince = m_seams.now();
}

void Scheduler::back(bool network) {
    // On a LAN the check waits for the network; a dial brings its own.
    if (network ? m_settings.Dup_Mode != 0
                : m_settings.Dup_Mode == 0 && m_check.systemWatch()->networkDown())
        return;
    if (m_awaySince) m_catchUp->start(m_seams.catchUpDelayMs);
}

void Scheduler::catchUp() {
    if (!m_awaySince) return;
    if (m_settings.Dup_Mode == 0 && m_check.systemWatch()->networkDown()) return; // gone again
    QDateTime since = *std::exchange(m_awaySince, std::nullopt);
    const QDateTime now = m_seams.now();
    if (!m_monitoring || !m_monitoring() || quietAt(now.time().hour()) || m_check.running()) return;
    // The minutes passed while away; the one of the return has had its tick.
    // Two days hold every minute the choices can name.
    since = std::max(minuteOf(since), minuteOf(now).addDays(-2));
    for (QDateTime t = since.addSecs(60); t < minuteOf(now); t = t.addSecs(60)) {
        const int hour = t.time().hour();
        if (quietAt(hour) ||
            !schedule::intervalDue(m_settings.Check_Interval, hour, t.time().minute()))
            continue;
        // A check started in this minute already made up for it.
        if (minuteOf(m_lastStart) != minuteOf(now)) fireExtra(now);
        return;
    }
}
