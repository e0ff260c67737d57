#include "check/scheduler.h"

#include "check/mailcheck.h"
#include "check/schedule.h"
#include "platform/seams.h"

#include <QDateTime>
#include <QTimer>

Scheduler::Scheduler(MailCheck &check, const SettingsRecord &settings, const Seams &seams,
                     std::function<bool()> monitoring, QObject *parent)
    : QObject(parent), Timer1(new QTimer(this)), m_monitoring(std::move(monitoring)),
      m_check(check), m_settings(settings), m_seams(seams) {
    setObjectName(QStringLiteral("scheduler"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    // A coarse timer drifts towards 1050 ms and could skip a clock second.
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(m_seams.schedulerTickMs);
    connect(Timer1, &QTimer::timeout, this, &Scheduler::Timer1_Timer);
    Timer1->start();
}

void Scheduler::Timer1_Timer() {
    if (!m_monitoring || !m_monitoring()) return;
    const QDateTime now = m_seams.now(); // one reading per tick
    if (schedule::quiet(m_settings.Quiet_Flag != 0, m_settings.Quiet_Start, m_settings.Quiet_End,
                        now.time().hour()))
        return;
    CheckTiming(now);
}

void Scheduler::CheckTiming(const QDateTime &now) {
    const int minute = now.time().minute();
    const QString m = QString::number(minute);
    if (m == Last_Check_Minute) return;
    if (m_check.retries() == 1) {
        m_check.DialStart(m_settings);
        return;
    }
    if (m_check.retries() >= 2) {
        m_check.forgetRetries();
        return;
    }
    if (!schedule::intervalDue(m_settings.Check_Interval, now.time().hour(), minute)) return;
    Last_Check_Minute = m;
    m_check.forgetRetries();
    m_check.DialStart(m_settings);
}
