#pragma once
// The check layer without the program: a MailCheck in a temporary folder whose
// reports (status line, log, popup, passed tests) are recorded, so a session
// can be tested as a dialogue with its peer together with what the check
// makes of it.
#include "check/mailcheck.h"
#include "platform/seams.h"
#include "support/memorylink.h"

#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class FakeHost;

// OAuth: a provider whose token endpoint the test answers, one reply a
// request ("400 {…}", else the body of a 200), and the settings that use it.
struct TokenEndpoint {
    QList<QByteArray> forms; // what the check posted
    QList<QByteArray> replies;
    void attach(FakeHost &host);
};

class FakeHost {
  public:
    FakeHost();

    // The check, made on first use with seamsValue as it then stands.
    MailCheck &check();
    // Starts a check on `settings`: the settings test when `test`, else a
    // scheduled one.
    void start();
    bool pop3Running() { return check().pop3Running(); }
    bool noticeRunning() { return check().noticeRunning(); }
    // Waits until no session runs any more.
    bool waitDone(int ms = 10000);
    QString storePath() const { return dir.filePath(QStringLiteral("quilmon.dat")); }

    // Sessions get in-memory links from now on; `link` is the newest.
    void inMemory();
    MemoryLink *link() const { return links.isEmpty() ? nullptr : links.last().data(); }
    QList<QPointer<MemoryLink>> links;
    // The running session's guard (connect or reply) runs out now.
    void guardRunsOut();

    QTemporaryDir dir;
    Seams seamsValue;
    SettingsRecord settings;
    bool test = false;

    QString statusText;
    QStringList statusHistory;
    QStringList logLines; // lines logged without the separator start with "|"
    QString popupLabel;
    QStringList toldLines; // the body lines of the last desktop notice
    bool popupShown = false;
    int finishedCount = 0;
    // A passed test saves the settings, as the program does; the buttons
    // follow like the program's.
    bool saveSucceeds = true;
    int saves = 0;
    bool testEnabled = true;
    bool runEnabled = false;

  private:
    std::unique_ptr<MailCheck> m_check;
};
