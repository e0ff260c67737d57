#pragma once
// dialup/: the dial-up side of a check over NetworkManager (or any
// RasBackend): entry list, connection count, the dial, the link monitor
// Timer2 and the hang-up. It knows the check only as a DialHost, asks the
// service only asynchronously, and every wait is a timer: the program answers
// clicks throughout.
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

class DialHost;
struct Seams;

class DialUp : public QObject {
    Q_OBJECT
  public:
    DialUp(DialHost &host, const Seams &seams, QObject *parent = nullptr);

    // The entry names as the service gives them; empty without a service.
    void DupEntryList(std::function<void(const QStringList &names)> done);
    // Active connections of `entry`; -1 when they cannot be listed.
    void DupConnectCount(const QString &entry, std::function<void(qint32 count)> done);
    // A scheduled check in dial-up mode: refused silently while a check,
    // a dial or a link of ours is under way; logged when the entry is in use.
    void DialStart(const QString &entry);
    // The settings test's dial: accepted(true) once the service took the
    // dial and the link monitor runs.
    void TestDial(const QString &entry, std::function<void(bool accepted)> done);
    // The check over the link is over (Dup_End_Flag = 1): the monitor's next
    // tick hangs up.
    void checkEnded() { Dup_End_Flag = 1; }
    // Exit: stop the monitor and hang up whatever was dialed. The caller waits.
    void ExitHangUp();
    // Shows the text of a link state on the status line; lngErr is unused.
    void pRasStatusFunc(qint32 lngStatus, qint32 lngErr);

    // A dial is being started, the link is watched, or the wait after a
    // hang-up or a link error still runs.
    bool monitorRunning() const;

    quint32 hRasConn = 0;
    QString Dup_EntryName;
    qint16 Dup_Check_Flag = 0; // the check over this link has been started
    qint16 Dup_End_Flag = 0;   // 0 check running, 1 check over: hang up

    // The link monitor, every linkTickMs while a link is dialed or up.
    QTimer Timer2;

  private slots:
    void Timer2_Timer();

  private:
    void dial(std::function<void(bool accepted)> done);
    void linkStatus(quint32 rc, qint32 state, quint32 error);
    void hangUp();
    // Hang up, then wait `ms` before the monitor counts as stopped.
    void endLink();
    void failLink(bool queryFailed);
    void waitThen(int ms, std::function<void()> then);

    DialHost &m_host;
    const Seams &m_seams;
    QTimer m_wait; // the pause after a hang-up or a link error
    std::function<void()> m_afterWait;
    bool m_dialing = false;
    bool m_querying = false; // a status query is out
    // Bumped by ExitHangUp: answers to what was asked before are stale.
    quint64 m_generation = 0;
};
