#pragma once
// AppSeams: what a test replaces in the windows: message boxes, help, the
// exit, the processes the program starts, and when idle memory goes back.
// AppSeams::production() gives the real ones.
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

struct AppSeams {
    // A warning box with one OK button (title, text). It must not wait for
    // the user inside the call.
    std::function<void(QWidget *parent, const QString &title, const QString &text)> messageBox;
    // A warning the user may accept (ＯＫ) or not (キャンセル); `accepted`
    // runs later, on ＯＫ. Like messageBox, it does not wait inside the call.
    std::function<void(QWidget *parent, const QString &title, const QString &text,
                       std::function<void()> accepted)>
        question;
    // Opens the help file at its contents.
    std::function<void(const QString &path)> openHelp;
    // Ends the process at once: no further handler may run.
    std::function<void()> exitNow;
    // Gives memory back once the program idles in the tray, this long after
    // the settings window hid or the last check, notice or popup ended.
    std::function<void()> releaseIdleMemory;
    int idleReleaseMs = 3000;
    // Starts a program without waiting for it (the mail client); false when
    // it could not be started.
    std::function<bool(const QString &program, const QStringList &arguments)> startProcess;

    static AppSeams production();
};
