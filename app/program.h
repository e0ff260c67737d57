#pragma once
// The program object: owns the settings value, the check, the scheduler,
// the windows and the tray. It hands the settings window's edited copy to the
// check on テスト, saves it on a passed test and on 実行, and shows what the
// check reports.
#include "app/appseams.h"
#include "check/settingsfile.h"
#include "platform/seams.h"

#include <QObject>

class MainWindow;
class Form4;
class Icons;
class VerDisp;
class Assist;
class ConnectionDialog;
class KeyringPasswords;
class MailCheck;
class DesktopNotifier;
class Scheduler;
class SingleInstance;
class QTimer;

class Program : public QObject {
    Q_OBJECT
  public:
    Program(Seams seams, AppSeams appSeams, QObject *parent = nullptr);
    ~Program() override;

    // main's load step. False when another copy already runs: end silently.
    // runAtOnce (started at login): with settings a test passed, 実行 at once.
    bool start(bool runAtOnce = false);

    const Seams &seams() const { return m_seams; }
    const SettingsRecord &settings() const { return m_settings; }
    MainWindow *mainWindow() const { return m_main; }
    MailCheck *check() const { return m_check; }
    Scheduler *scheduler() const { return m_scheduler; }
    Form4 *form4() const { return m_form4; }
    VerDisp *verDisp() const { return m_verDisp; }
    Assist *assist() const { return m_assist; }
    ConnectionDialog *connectionDialog() const { return m_connection; }
    Icons *icons() const { return m_icons; }
    DesktopNotifier *notifier() const { return m_notifier; }
    KeyringPasswords *keyringPasswords() const { return m_keyring; }
    QString logPath() const;

    // The tray menu's 設定変更: the window with its status line hidden.
    void showSettings();
    // The tray menu's バージョン情報: one version window, however often chosen.
    void showVersion();
    // The tray menu's 終了: the icon removed, then the program ends at once.
    void endFromTray();

  public slots:
    // A certificate that failed verification: the connection dialog offers
    // it for trust until the server is reached, or changes.
    void offerDesktopAccounts(class ConnectionDialog *dialog);
    void certificateRefused(bool smtp, const RefusedCertificate &certificate);

  private:
    void Command2_Click(); // テスト
    void testDialUp(const SettingsRecord &settings);
    void Command4_Click(); // 実行
    void Command3_Click(); // 終了
    void Command7_Click(); // ヘルプ
    void showAssistant();
    void showConnection(); // 接続設定...
    // False, after telling the user, while the keyring's passwords are not known.
    bool passwordsReady(const SettingsRecord &settings, const QString &title);
    void keyringTrouble(const QString &text);
    void testPassed(bool testStaysEnabled);
    // False, after telling the user which field, when a field cannot be
    // saved or sent as typed.
    bool representable(const SettingsRecord &settings, const QString &title);
    // Saves the settings; false, after telling the user, when it could not.
    bool SetDataWrite(const SettingsRecord &settings);
    void log(const QString &message, bool separator = true);
    void box(const QString &title, const QString &text);
    void DupEntryList();
    void setPopupText(const QString &text);
    void showPopup();
    void loadForm4();
    void unloadForm4();
    // Ends the program at once: no window is unloaded, no handler runs on.
    void endNow();
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Memory goes back to the system once nothing has happened for a while.
    void idleSoon();
    void releaseIdleMemory();
    // The tray's tool tip: the last check's time and result, the next
    // check, and the mail told.
    void updateTip();
    // A check ended: the tray's marks and tip follow, and checks that keep
    // failing are told once.
    void checkEnded(bool test, const QString &failure, int newMail);
    // The user looked: 設定変更, the popup's ＯＫ, or a notification's action.
    void unreadSeen();

    Seams m_seams;
    AppSeams m_app;
    qint16 Flag = 0;           // run state: 0 idle, 1 settings test, 2 monitoring
    SettingsRecord m_settings; // what checks run on: the last saved (or read)
    SettingsRecord m_tested;   // the copy a settings test runs on
    MailCheck *m_check = nullptr;
    Scheduler *m_scheduler = nullptr;
    DesktopNotifier *m_notifier = nullptr;
    SingleInstance *m_instance = nullptr;
    MainWindow *m_main = nullptr;
    Form4 *m_form4 = nullptr;
    VerDisp *m_verDisp = nullptr;
    Assist *m_assist = nullptr;
    ConnectionDialog *m_connection = nullptr;
    RefusedCertificate m_refused[2]; // POP3, SMTP
    Icons *m_icons = nullptr;
    KeyringPasswords *m_keyring = nullptr;
    QTimer *m_idleTimer = nullptr;
    bool m_testStarting = false; // a dial-up test waits for the service
    bool m_exiting = false;      // the exit waits for the hang-up
    QString m_lastCheck;         // the time and result of the last check, as shown
    QStringList m_arrivals;      // the mail told, until acknowledged
    int m_unread = 0;            // new mail not yet seen, on the tray's badge
    bool m_failed = false;       // the last check failed: the tray's warning
    int m_failuresInRow = 0;     // of scheduled checks
    QString m_failureTold;       // the failure the desktop was told of
};
