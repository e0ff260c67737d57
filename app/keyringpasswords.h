#pragma once
// The passwords of a user who keeps them in the desktop's keyring: read at
// start, asked for when the keyring cannot give them, written after each
// save and removed when the choice is turned off. Checks wait until they
// are known; no check ever logs in with an empty password meant to come
// from the keyring.
#include "check/settingsfile.h"
#include "windows/passwordprompt.h"

#include <QObject>
#include <QPointer>

class KeyringPasswords : public QObject {
    Q_OBJECT
  public:
    // configDir: this copy's settings; copiesList: the folders of the
    // copies that keep entries in the keyring (empty: no such list).
    KeyringPasswords(const QString &configDir, const QString &copiesList,
                     QObject *parent = nullptr);

    // The entries `settings` keep their passwords in.
    static QStringList entries(const SettingsRecord &settings);
    ~KeyringPasswords() override;

    // Start-up, with the settings just read: reads their entries, if any.
    void load(const SettingsRecord &settings);
    // A keyring read is still under way.
    bool reading() const { return m_reading > 0; }
    // Whether a check may run on these settings now.
    bool mayCheck(const SettingsRecord &settings) const;
    // After `after` was saved over `before`: its passwords go to the
    // keyring, entries no longer used leave it.
    void saved(const SettingsRecord &before, const SettingsRecord &after);
    // Asks again for what the last read could not give (none asked: nothing).
    void ask();
    PasswordPrompt *prompt() const { return m_prompt; }
    // The window the prompt opens over while that window is shown.
    void setWindow(QWidget *window) { m_window = window; }

  signals:
    // The passwords to check with: read from the keyring or typed in.
    // smtp is empty when it is not a separate entry.
    void passwordsKnown(const QString &pop, const QString &smtp);
    // Something failed: the text names what, for log, status line and box.
    void trouble(const QString &text);
    // The same, for the log alone.
    void note(const QString &text);

  private:
    void readDone();
    // loud: told by message box too.
    void store(const SettingsRecord &settings, bool loud);
    void drop(const QString &key);
    // Whether another copy's settings still name the entry.
    bool namedElsewhere(const QString &key) const;
    // This copy on the list of copies with entries, or off it.
    void listThisCopy(bool listed);
    void closePrompt();

    QString m_configDir;
    QString m_copiesList;
    SettingsRecord m_settings; // whose entries were read
    int m_reading = 0;
    QString m_pop, m_smtp;
    bool m_popFailed = false, m_smtpFailed = false;
    QStringList m_failures;
    // Guarded: the window it opened over takes it along when it goes.
    QPointer<PasswordPrompt> m_prompt;
    QPointer<QWidget> m_window;
};
