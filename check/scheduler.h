#pragma once
// The scheduler main.Timer1: once a second, while monitoring with the window
// hidden and outside the quiet hours, it starts a check at each interval
// minute, and once more on the next minute after a first failure. Interval
// minutes missed while the machine slept or (on a LAN) the network was down
// get one check once it is back.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class MailCheck;
class QTimer;
struct Seams;
struct SettingsRecord;

class Scheduler : public QObject {
    Q_OBJECT
  public:
    // settings is the program's value, read at every tick; monitoring tells
    // whether checks may start now (Flag = 2 and the window hidden).
    Scheduler(MailCheck &check, const SettingsRecord &settings, const Seams &seams,
              std::function<bool()> monitoring, QObject *parent = nullptr);

    void Timer1_Timer();
    void CheckTiming(const QDateTime &now);
    // The user asked for a check now: started like one at an interval
    // minute, quiet hours or not.
    void checkNow();
    // When the next check starts, as the tray tells it; empty while not
    // monitoring.
    QString nextCheckText() const;

  signals:
    // Monitoring started or stopped, or another minute began: the next
    // check may be another.
    void nextCheckMoved();

  private:
    void fire(const QDateTime &now);
    void fireExtra(const QDateTime &now);
    void start(const QDateTime &now);
    bool quietAt(int hour) const;
    // The machine sleeps, or the network went: missed minutes count from now.
    void away(bool network);
    // Back from sleep, or the network is: the catch-up waits for it to settle.
    void back(bool network);
    void catchUp();

    QTimer *Timer1;
    QString Last_Check_Minute; // the interval minute of the last start
    std::function<bool()> m_monitoring;
    MailCheck &m_check;
    const SettingsRecord &m_settings;
    const Seams &m_seams;
    std::optional<QDateTime> m_awaySince; // asleep or offline since
    QTimer *m_catchUp;
    QDateTime m_extraMinute; // of the last check started outside the interval rule
    QDateTime m_lastStart;   // of the last check this scheduler started
    QDateTime m_shownMinute; // when nextCheckMoved was last told
    bool m_shownMonitoring = false;
};
