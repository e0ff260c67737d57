#pragma once
// What the dial-up layer may read and set of the rest of the program. The
// program object implements it over the settings window and the workers.
#include <QString>

struct SharedState;

class DialHost {
  public:
    virtual ~DialHost() = default;

    virtual SharedState &state() = 0;
    // The status line Text4 of the settings window.
    virtual void setStatus(const QString &text) = 0;
    virtual QString status() const = 0;
    // One log line: date, time, two blanks, message.
    virtual void log(const QString &message) = 0;

    virtual bool form1Loaded() const = 0;
    virtual bool form3Loaded() const = 0;
    // Loads the POP3 worker, which starts a check inside this call.
    virtual void loadForm1() = 0;
    // End a worker at once and silently: its socket and timers stop, and it
    // writes no status, log line or flag of its own.
    virtual void unloadForm1() = 0;
    virtual void unloadForm3() = 0;
};
