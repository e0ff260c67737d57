#pragma once
// The program object: owns the shared state and every window, loads and
// unloads them, and gives the hidden workers their narrow view of the rest.
#include "app/checkhost.h"
#include "app/sharedstate.h"
#include "dialup/dialhost.h"
#include "platform/seams.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class MainWindow;
class Form1;
class Form3;
class Form4;
class Icons;
class VerDisp;
class Assist;
class DialUp;
class SingleInstance;

class Program : public QObject, public CheckHost, public DialHost {
    Q_OBJECT
  public:
    explicit Program(Seams seams, QObject *parent = nullptr);
    ~Program() override;

    // main's load step. False when another copy already runs: end silently.
    bool start();

    MainWindow *mainWindow() const { return m_main; }
    Form1 *form1() const { return m_form1; }
    Form3 *form3() const { return m_form3; }

    void loadForm1() override;
    // Loading marks the window loaded before its load handler runs, so a
    // second load from inside that handler's event processing starts nothing.
    void loadForm3() override;
    void unloadForm1() override;
    void unloadForm3() override;
    bool form1Loaded() const override { return m_form1 != nullptr; }
    bool form3Loaded() const override { return m_form3 != nullptr; }

    // CheckHost
    SharedState &state() override { return m_state; }
    const Seams &seams() const override { return m_seams; }
    void setStatus(const QString &text) override;
    QString status() const override;
    bool forwardingSelected() const override;
    bool popupSelected() const override;
    QString senderText() const override;
    void setTestEnabled(bool enabled) override;
    void setRunEnabled(bool enabled) override;
    void showRunButton() override;
    bool saveTestedSettings() override;
    void log(const QString &message) override;
    void logWithoutSeparator(const QString &message) override;
    void setPopupLabel(const QString &text) override;
    void showPopup() override;
    QString programDir() const override { return m_seams.programDir; }

    Form4 *form4() const { return m_form4; }
    VerDisp *verDisp() const { return m_verDisp; }
    Assist *assist() const { return m_assist; }
    Icons *icons() const { return m_icons; }
    DialUp *dialUp() const { return m_dialUp.get(); }
    quint32 trayWindow() const { return m_trayWindow; }

    // Start-up fills the entry list from the dial-up service.
    void DupEntryList();
    // The link monitor (main.Timer2) is running.
    bool linkMonitorRunning() const;
    // Test in dial-up mode; copyConfig copies the five text boxes.
    void testDialUp(const std::function<void()> &copyConfig);
    // DialStart in dial-up mode.
    void dialStartDialUp();
    // The exit button: stop the link monitor and hang up whatever handle is held.
    void hangUpForExit();
    // A LAN settings test loads the checker before it sets Flag = 1.
    void loadForm1ForTest();
    bool settingsTestStarting() const override { return m_testStarting; }
    void showAssistant();
    // The tray menu's 設定変更: the window with its status line hidden.
    void showSettings();
    // The tray menu's バージョン情報: one version window, however often chosen.
    void showVersion();
    // The tray menu's 終了: the icon removed, then the program ends at once.
    void endFromTray();
    // Ends the program at once: no window is unloaded, no handler runs on.
    void endNow();

  private:
    Seams m_seams;
    SharedState m_state;
    std::unique_ptr<DialUp> m_dialUp;
    SingleInstance *m_instance = nullptr;
    MainWindow *m_main = nullptr;
    Form1 *m_form1 = nullptr;
    Form3 *m_form3 = nullptr;
    void loadForm4();
    void unloadForm4();
    void addTrayIcon();
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Memory goes back to the system once nothing has happened for a while.
    void idleSoon();
    void releaseIdleMemory();

    Form4 *m_form4 = nullptr;
    VerDisp *m_verDisp = nullptr;
    Assist *m_assist = nullptr;
    Icons *m_icons = nullptr;
    quint32 m_trayWindow = 0;
    class QTimer *m_idleTimer = nullptr;
    bool m_settled = false; // start-up's deferred steps have run
    bool m_testStarting = false;
};
