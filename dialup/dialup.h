#pragma once
// The dial-up side of a check: entry list, connection count, the dial, the
// link monitor Timer2 and the hang-up.
#include "dialup/rasapi.h"

#include <QObject>
#include <QString>
#include <QTimer>

class DialHost;
class QComboBox;
struct Seams;

class DialUp : public QObject {
    Q_OBJECT
  public:
    DialUp(DialHost &host, const Seams &seams, QObject *parent = nullptr);

    // Appends the entries to Combo1, keeping its current text.
    void DupEntryList(QComboBox *Combo1);
    // Active connections of Dup_EntryName; -1 when they cannot be listed.
    qint32 DupConnectCount();
    // A scheduled check in dial-up mode, for the entry named by entryText.
    void DialStart(const QString &entryText);
    // The settings test's dial of Dup_EntryName: true when the dial was
    // accepted and the link monitor runs.
    bool TestDial();
    // Exit: stop the monitor and hang up whatever was dialed; the caller waits.
    void ExitHangUp();
    // Shows the text of a link state on the status line; lngErr is unused.
    void pRasStatusFunc(qint32 lngStatus, qint32 lngErr);

    bool monitorRunning() const { return Timer2.isActive(); }

    HRASCONN hRasConn = 0;
    QString Dup_EntryName;
    RASDIALPARAMSA Dup_DialParams{};
    qint16 Dup_Check_Flag = 0;

    // The link monitor, every linkTickMs while a link is dialed or up.
    QTimer Timer2;

  private slots:
    void Timer2_Timer();

  private:
    bool dial();
    void hangUp();
    void endLink();
    void failLink(bool queryFailed);

    DialHost &m_host;
    const Seams &m_seams;
    bool m_dialing = false;
    bool m_inTick = false;
};
