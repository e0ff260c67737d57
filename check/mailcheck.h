#pragma once
// check/: no widgets. The settings value and its files, the schedule, the log
// line and the run of one check: link up, POP3, the new-mail count, popup or
// notice, the notice mail, hang-up; with the retry count and the difference
// between a settings test and a scheduled check. It reports by signals; the
// program decides what the windows show.
#include "check/settingsfile.h"
#include "pop3/form1.h"
#include "smtp/form3.h"

#include <QObject>
#include <functional>

class DialUp;
class OAuthTokens;
class SystemWatch;
struct Seams;

class MailCheck : public QObject {
    Q_OBJECT
  public:
    explicit MailCheck(const Seams &seams, QObject *parent = nullptr);
    ~MailCheck() override;

    // A scheduled check with these settings; dropped, unreported, while a
    // check or its link is still under way.
    void DialStart(const SettingsRecord &settings);
    // The settings test. started(true) once the check runs: at once on a
    // LAN, after the service took the dial in dial-up mode.
    void startTest(const SettingsRecord &settings, std::function<void(bool started)> started);
    // Exit: end the sessions silently, stop the link monitor and hang up
    // whatever was dialed.
    void hangUpForExit();
    // The popup's ＯＫ, or the mail client opened from the desktop's
    // notification: the running total starts again.
    void popupAcknowledged();
    // The user looked (opened 設定変更): the senders and subjects told go.
    void arrivalsSeen();
    // Told while testPassed is handled: the settings could not be written,
    // so the test is not reported as a success.
    void settingsNotSaved() { m_notSaved = true; }

    // A session runs, or a link is dialed, watched or being released.
    bool running() const;
    bool pop3Running() const { return m_pop3 != nullptr; }
    bool noticeRunning() const { return m_smtp != nullptr; }
    DialUp *dialUp() const { return m_dialUp; }
    // Sleep and the network, as the system reports them.
    SystemWatch *systemWatch() const { return m_watch; }

    // Failures in a row of the current check (the scheduler's retry rule).
    qint16 retries() const { return Retry_Flag; }
    void forgetRetries() { Retry_Flag = 0; }

  signals:
    void statusChanged(const QString &text);
    // One log line; without separator the message brings its own space.
    void logLine(const QString &message, bool separator = true);
    // The popup's text (the popup loaded, not shown), and showing it.
    void popupText(const QString &text);
    void popupShown();
    // New mail to tell through the desktop's notifications, which the user
    // asked for: the text, and the command that opens the mail client.
    // lines: "差出人 — 件名" of the newest new mail, newest first, and how
    // many more arrived; empty when none were read.
    void desktopNotice(const QString &text, const QString &mailCommand, const QStringList &lines);
    // The senders and subjects told and not yet acknowledged, newest first.
    void arrivalsChanged(const QStringList &lines);
    // A settings test ended without error: the settings may be saved, and
    // テスト is done with, except after an empty mailbox, where it stays.
    void testPassed(bool testStaysEnabled);
    // How the check that is ending went: `failure` is the status line's
    // text of a failed one, empty on success; `newMail` what it found, -1
    // when it did not read the mailbox (only a notice sent again).
    void ended(bool test, const QString &failure, int newMail);
    // The check's last session ended.
    void finished(bool succeeded);
    // A server's certificate failed verification and ended the check. The
    // user may accept exactly this one for that server.
    void certificateRefused(bool smtp, const RefusedCertificate &certificate);
    // A session reached its end: the server's certificate, if any, passed.
    void serverReached(bool smtp);
    // The OAuth provider replaced the refresh token: the settings keep it.
    void refreshTokenChanged(const QString &refreshToken);

  private:
    // The link monitor's reports. The link is up: the check starts over it.
    void startCheck();
    // The link broke while the check ran: end its sessions at once and
    // silently; a notice not confirmed by its server is sent again next time.
    void abortCheck();
    // The link failed; its wait is over: report and count the failure.
    void linkFailed();
    void dialRefused();
    // LAN mode with the network known to be down: fails at once.
    bool networkMissing();

    void startPop3();
    void openPop3(const QString &accessToken);
    // OAuth: an access token for the POP3 or SMTP session, then `go`; a
    // failure to get one ends the check like a failed session.
    bool oauth(bool smtp) const;
    void withToken(bool smtp, bool fresh, std::function<void(const QString &)> go);
    void stopTokenWait();
    void pop3Finished(const Form1::Result &result);
    void countNewMail(const Form1::Result &result);
    void emptyMailbox();
    void notify();
    void announce(const QString &text);
    // The header lines with "ほかM通" when `count` is more than they tell.
    static QStringList withRest(QStringList lines, qint64 count);
    // False when the settings could not be saved.
    bool testDone(bool testStaysEnabled = false);
    void sendNotice(bool freshToken = false);
    void openSmtp(const QString &accessToken);
    void noticeFinished(const SessionResult &result);
    // A POP3 or SMTP session ended without reaching its end.
    void sessionFailed(bool smtp, const SessionResult &result);
    void failed(const QString &status, const QString &logMessage);
    // The status and log texts of a failed secure connection.
    QString tlsFailure(bool smtp, const SessionResult &result, QString *logMessage);
    void deadlinePassed();
    void endCheck();
    void settle(bool succeeded);
    bool forwarding() const { return m_settings.Trf_Flag != 0; }
    QString storePath() const;

    const Seams &m_seams;
    qint16 Retry_Flag = 0;
    qint16 New_mail_number = 0;  // new mails of the last check
    qint16 New_mail_number2 = 0; // the running total the popup shows
    qint16 TX_flg = 0;           // 1: the last notice did not go out
    DialUp *m_dialUp;
    SystemWatch *m_watch;
    Form1 *m_pop3 = nullptr;
    Form3 *m_smtp = nullptr;
    class QTimer *m_deadline;
    SettingsRecord m_settings; // of the check under way
    bool m_test = false;
    // The seen ids as read before the check, when its headers are wanted.
    std::optional<UidList> m_seen;
    bool m_seenRead = false;
    QStringList m_checkHeaders; // of this check's new mail, newest first
    QStringList m_arrivals;     // told and not yet acknowledged, newest first
    bool m_notSaved = false;
    qint16 m_retryAtDial = 0;
    quint16 m_ports[2] = {}; // POP3, SMTP: of the sessions under way
    QString m_failure;       // of the check under way
    int m_newMail = -1;
    OAuthTokens *m_tokens;
    bool m_awaitingToken = false;
    bool m_tokenForSmtp = false;
    quint64 m_tokenWait = 0;
    // POP3, SMTP: the session ran again with a fresh token after a refusal.
    bool m_freshToken[2] = {};
};
