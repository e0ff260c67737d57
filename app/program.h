#pragma once
// The program object: owns the shared state and every window, loads and
// unloads them, and gives the hidden workers their narrow view of the rest.
#include "app/checkhost.h"
#include "app/sharedstate.h"
#include "platform/seams.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class MainWindow;
class Form1;
class Form3;
class SingleInstance;

class Program : public QObject, public CheckHost {
    Q_OBJECT
  public:
    explicit Program(Seams seams, QObject *parent = nullptr);
    ~Program() override;

    // main's load step. False when another copy already runs: end silently.
    bool start();

    MainWindow *mainWindow() const { return m_main; }
    Form1 *form1() const { return m_form1; }
    Form3 *form3() const { return m_form3; }

    void loadForm1();
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

    QString popupLabel() const { return m_popupLabel; }

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

  private:
    Seams m_seams;
    SharedState m_state;
    SingleInstance *m_instance = nullptr;
    MainWindow *m_main = nullptr;
    Form1 *m_form1 = nullptr;
    Form3 *m_form3 = nullptr;
    QString m_popupLabel;
    bool m_testStarting = false;
};
