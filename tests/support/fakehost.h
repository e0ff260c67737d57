#pragma once
// A CheckHost without widgets: records what a worker shows, logs, loads and
// unloads, so a session can be tested as a dialogue with its peer.
#include "app/checkhost.h"
#include "app/sharedstate.h"
#include "platform/seams.h"

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

class FakeHost : public CheckHost {
  public:
    FakeHost();

    SharedState &state() override { return shared; }
    const Seams &seams() const override { return seamsValue; }
    void setStatus(const QString &text) override;
    QString status() const override { return statusText; }
    bool forwardingSelected() const override { return forwarding; }
    bool popupSelected() const override { return !forwarding; }
    QString senderText() const override { return sender; }
    void setTestEnabled(bool enabled) override { testEnabled = enabled; }
    void setRunEnabled(bool enabled) override { runEnabled = enabled; }
    void showRunButton() override { runShown = true; }
    bool saveTestedSettings() override;
    void log(const QString &message) override { logLines << message; }
    void logWithoutSeparator(const QString &message) override {
        logLines << QStringLiteral("|") + message;
    }
    void loadForm3() override;
    void unloadForm1() override;
    void unloadForm3() override;
    bool form1Loaded() const override { return form1IsLoaded; }
    bool form3Loaded() const override { return form3IsLoaded; }
    void setPopupLabel(const QString &text) override { popupLabel = text; }
    void showPopup() override { popupShown = true; }
    bool settingsTestStarting() const override { return testStarting; }
    QString programDir() const override { return dir.path(); }

    QTemporaryDir dir;
    SharedState shared;
    Seams seamsValue;
    QString statusText;
    QStringList statusHistory;
    bool forwarding = false;
    QString sender;
    bool testEnabled = true;
    bool runEnabled = false;
    bool runShown = false;
    bool saveSucceeds = true;
    int saves = 0;
    QStringList logLines; // lines logged without the separator start with "|"
    int form3Loads = 0;
    int form1Unloads = 0;
    int form3Unloads = 0;
    bool form1IsLoaded = true;
    bool form3IsLoaded = false;
    QString popupLabel;
    bool testStarting = false;
    bool popupShown = false;
    // Called when a worker asks for an unload (the test deletes the worker).
    std::function<void()> onUnloadForm1;
    std::function<void()> onUnloadForm3;
    std::function<void()> onLoadForm3;
};
