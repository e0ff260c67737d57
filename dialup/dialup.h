#pragma once
// dialup/: the dial-up side of a check over NetworkManager (or any
// DialService): entry list, connection count, the dial, the link monitor
// Timer2 and the hang-up. It reports by signals and decides nothing about the
// check; it asks the service only asynchronously, and every wait is a timer:
// the program answers clicks throughout.
#include "dialup/dialservice.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

struct Seams;

class DialUp : public QObject {
    Q_OBJECT
  public:
    explicit DialUp(const Seams &seams, QObject *parent = nullptr);

    // The entry names as the service gives them; empty without a service.
    void DupEntryList(std::function<void(const QStringList &names)> done);
    // Active connections of `entry`; -1 when they cannot be listed.
    void DupConnectCount(const QString &entry, std::function<void(qint32 count)> done);
    // A scheduled dial: refused silently while a dial or a link of ours is
    // under way; logged when the entry is in use.
    void DialStart(const QString &entry);
    // The settings test's dial: accepted(true) once the service took the
    // dial and the link monitor runs.
    void TestDial(const QString &entry, std::function<void(bool accepted)> done);
    // The check over the link is over (Dup_End_Flag = 1): the monitor's next
    // tick hangs up.
    void hangUp() { Dup_End_Flag = 1; }
    // Exit: stop the monitor and hang up whatever was dialed. The caller waits.
    void ExitHangUp();

    // A dial is being started, the link is watched, or the wait after a
    // hang-up or a link error still runs.
    bool monitorRunning() const;

  signals:
    // The dialed link is connected: the check may start (once per connection).
    void linkUp();
    // The link broke under a check that ran over it: the check ends now.
    void linkLost();
    // The link failed or broke; told after the wait that follows.
    void linkFailed();
    // The service refused a scheduled dial.
    void dialRefused();
    void statusChanged(const QString &text);
    void logLine(const QString &message);

  private slots:
    void Timer2_Timer();

  private:
    void dial(std::function<void(bool accepted)> done);
    void linkStatus(DialService::Outcome outcome, DialService::LinkStep step);
    void release();
    // Hang up, then wait `ms` before the monitor counts as stopped.
    void endLink();
    void failLink(bool queryFailed);
    void waitThen(int ms, std::function<void()> then);

    const Seams &m_seams;
    // The link monitor, every linkTickMs while a link is dialed or up.
    QTimer Timer2;
    QTimer m_wait; // the pause after a hang-up or a link error
    std::function<void()> m_afterWait;
    quint32 m_link = 0; // the service's handle of the link dialed
    QString Dup_EntryName;
    qint16 Dup_Check_Flag = 0; // the check over this link has been started
    qint16 Dup_End_Flag = 0;   // 0 check running, 1 check over: hang up
    bool m_dialing = false;
    bool m_querying = false; // a status query is out
    // Bumped by ExitHangUp: answers to what was asked before are stale.
    quint64 m_generation = 0;
};
