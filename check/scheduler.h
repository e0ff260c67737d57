#pragma once
// The scheduler main.Timer1: once a second, while monitoring with the window
// hidden and outside the quiet hours, it starts a check at each interval
// minute, and once more on the next minute after a first failure.
#include <QObject>
#include <QString>
#include <functional>

class MailCheck;
class QDateTime;
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

  private:
    QTimer *Timer1;
    QString Last_Check_Minute; // the interval minute of the last start
    std::function<bool()> m_monitoring;
    MailCheck &m_check;
    const SettingsRecord &m_settings;
    const Seams &m_seams;
};
