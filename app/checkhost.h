#pragma once
// What the hidden workers Form1 (POP3) and Form3 (SMTP) may read and set of
// the rest of the program. The program object implements it over the
// settings window; tests may implement it without any widget.
#include <QString>

struct Seams;
struct SharedState;

class CheckHost {
  public:
    virtual ~CheckHost() = default;

    virtual SharedState &state() = 0;
    virtual const Seams &seams() const = 0;

    // The status line Text4 of the settings window.
    virtual void setStatus(const QString &text) = 0;
    virtual QString status() const = 0;

    // Option6 index 0 "メール転送" / index 1 "ポップアップウインドウ".
    virtual bool forwardingSelected() const = 0;
    virtual bool popupSelected() const = 0;
    // Text7, the sender name, read from the text box itself.
    virtual QString senderText() const = 0;

    // Command2 (テスト) and Command4 (実行).
    virtual void setTestEnabled(bool enabled) = 0;
    virtual void setRunEnabled(bool enabled) = 0;
    virtual void showRunButton() = 0;

    // SetDataWrite at a settings test's successful end. False when the file
    // could not be written (the user has been told) or when the settings were
    // edited after the test began: the caller then leaves Run disabled and
    // Test enabled instead of the usual button changes, and carries on.
    virtual bool saveTestedSettings() = 0;

    // One log line: date, time, two blanks, message.
    virtual void log(const QString &message) = 0;
    // One log line without the two-blank separator (message brings its own).
    virtual void logWithoutSeparator(const QString &message) = 0;

    // Window loads and unloads. An unload from inside the worker's own
    // handler is safe: the object is deleted later.
    virtual void loadForm3() = 0;
    virtual void unloadForm1() = 0;
    virtual void unloadForm3() = 0;
    virtual bool form1Loaded() const = 0;
    virtual bool form3Loaded() const = 0;

    // Form4's Label1 (loads the popup hidden) and showing it.
    virtual void setPopupLabel(const QString &text) = 0;
    virtual void showPopup() = 0;

    // True while the settings test is loading Form1: the test sets Flag = 1
    // only after that load returns, so the load handler asks here.
    virtual bool settingsTestStarting() const = 0;

    // The UID store path and the program directory.
    virtual QString programDir() const = 0;
};
