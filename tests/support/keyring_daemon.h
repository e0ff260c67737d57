#pragma once
// A real gnome-keyring-daemon (Secret Service) on a private session bus, all
// in a temporary folder: started and stopped by the test (by process id).
// startBus() makes that bus this process's session bus, and points HOME and
// the XDG folders at the temporary folder, before anything opens the bus.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class KeyringDaemon {
  public:
    KeyringDaemon();
    ~KeyringDaemon();

    bool startBus();
    // unlocked: the login keyring opened with its password; otherwise it
    // stays locked and nothing can prompt for it.
    bool start(bool unlocked = true);
    void stop();

    // The secret stored under this key by the program, through secret-tool.
    QString lookup(const QString &key, bool *found = nullptr);
    // True once a call asked the bus to start a Secret Service while none ran.
    bool activationTried() const;
    void forgetActivation();

  private:
    QProcessEnvironment env() const;
    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
    QString m_address;
};
