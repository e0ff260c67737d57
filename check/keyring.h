#pragma once
// The passwords of a settings value in the desktop's keyring (the Secret
// Service, through QtKeychain), for users who chose to keep them out of the
// settings files. Every call is asynchronous and reports once, in the
// context object's thread; nothing falls back to a file.
#include <QObject>
#include <QString>
#include <functional>

struct SettingsRecord;

namespace keyring {

struct Result {
    bool ok = false;
    bool missing = false; // the keyring answered, but holds no such entry
    QString secret;       // read: the password
    QString error;        // Japanese: what failed, for the log and the message box
};
using Done = std::function<void(const Result &)>;

// The entries' names: the account and the server they log in to.
QString popKey(const SettingsRecord &settings);
QString smtpKey(const SettingsRecord &settings);
// The OAuth refresh token of this program's own sign-in.
QString oauthKey(const SettingsRecord &settings);
bool oauthSeparate(const SettingsRecord &settings);
// Whether the SMTP password is a separate entry.
bool smtpSeparate(const SettingsRecord &settings);

void read(const QString &key, QObject *context, Done done);
void write(const QString &key, const QString &secret, QObject *context, Done done);
// A missing entry counts as removed.
void remove(const QString &key, QObject *context, Done done);

} // namespace keyring
