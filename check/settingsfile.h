#pragma once
// The settings value and its files. "quil7400.dat" is one CR LF line of 13
// fields in code page 932, strings quoted, integers bare, separated by ","
// with no blanks; it is exchanged with the Windows program, so it never grows.
// What code page 932 cannot hold goes exactly into "quil7400.conf" beside it
// (UTF-8 "key=value" lines, owner-only), while the record keeps its best
// encoding.
#include "platform/linksecurity.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A certificate the user accepted although it fails verification: honoured
// for that server (name and port) only.
struct AcceptedCertificate {
    QString host;
    quint16 port = 0;
    QString sha256; // hex; empty: none accepted
    bool operator==(const AcceptedCertificate &) const = default;
};

// A certificate the check refused, offered to the user to accept.
struct RefusedCertificate {
    QString host;
    quint16 port = 0;
    QString fingerprintHex; // with colons
    QString reason;         // why it failed, in Japanese
    CertificateInfo certificate;
};

// How the mail servers are reached, beyond what the record holds: kept in
// quil7400.conf, absent there for the plain connections of old.
struct ConnectionSettings {
    using Security = LinkSecurity; // なし, STLS/STARTTLS, SSL/TLS
    Security popSecurity = Security::None;
    quint16 popPort = 0; // 0: 110, or 995 for SSL/TLS
    Security smtpSecurity = Security::None;
    quint16 smtpPort = 0; // 0: 25, 587 for STARTTLS, 465 for SSL/TLS
    bool smtpAuth = false;
    QString smtpUser;     // empty: the POP3 account
    QString smtpPassword; // empty: the POP3 password
    QString smtpFrom;     // envelope and From address for authenticated sending
    AcceptedCertificate popAccepted;
    AcceptedCertificate smtpAccepted;
    // New mail also told through the desktop's notifications; their action
    // runs mailCommand (program and arguments, no shell; empty: the
    // desktop's mailto: handler).
    bool desktopNotify = false;
    QString mailCommand;
    // The sender and subject of new mail read (TOP) and shown; and also put
    // into the notice mail.
    bool showHeaders = true;
    bool noticeHeaders = false;
    // The passwords live in the desktop's keyring instead of the files: the
    // record's password field and this file hold none. keyringSmtp: the SMTP
    // password was saved there as an entry of its own.
    bool keyring = false;
    bool keyringSmtp = false;
    // The keyring entries this copy wrote: the only ones it may remove.
    QStringList keyringEntries;
    // How POP3 and authenticated SMTP sign in: the password, or an OAuth 2.0
    // access token. The token comes from the desktop's GNOME Online Accounts
    // (oauthDesktop), or from this program's own sign-in with the provider
    // named by its key ("google", "microsoft"), whose refresh token is kept
    // like a password (in the keyring when that is on).
    enum class SignIn : qint8 { Password, OAuth };
    SignIn signIn = SignIn::Password;
    bool oauthDesktop = false;
    QString oauthProvider;
    QString oauthClientId; // empty: the build's
    QString oauthRefreshToken;

    bool operator==(const ConnectionSettings &) const = default;
};

struct SettingsRecord {
    QString POP_Address;
    QString POP_PassWord;
    QString Smtp_Address;
    QString Trf_IPAddress;
    QString POP_UserID;
    QString Smtp_mail_address;
    qint16 Dup_Mode = 0;       // 0 LAN, else dial-up
    qint16 Check_Interval = 0; // 0 = 2 h, 1 = 1 h, 2 = 30 min, 3 = 15 min, 4 = 10 min
    qint16 Quiet_Flag = 0;
    qint16 Trf_Flag = 0; // 0 popup, else mail forwarding
    QString Quiet_Start;
    QString Quiet_End;
    QString Dup_Entry;
    ConnectionSettings connection; // not part of the record's 13 fields
};

namespace settingsfile {
// The port a server is reached on: the one given, else the one for its
// security (`plainPort` for a plain POP3 or SMTP connection).
quint16 serverPort(const ConnectionSettings &c, bool smtp, quint16 plainPort);
// Whether host and port are the server `record` names for POP3 or SMTP.
bool isServer(const SettingsRecord &record, bool smtp, quint16 plainPort, const QString &host,
              quint16 port);
// An acceptance of the files of old, which named no server, is bound to the
// server configured now.
void bindAcceptances(SettingsRecord &record, quint16 popPlainPort, quint16 smtpPlainPort);
// Reads the fields in file order into `record`; false when the record is
// unreadable. Fields read before the failure stay in `record`.
bool parse(const QByteArray &bytes, SettingsRecord &record);
QByteArray format(const SettingsRecord &record);

// The caption of the first field code page 932 cannot hold, as the settings
// window names it; empty when every field can be saved and sent as typed
// (the dial-up entry excepted: it is kept exactly beside the record).
QString unrepresentableField(const SettingsRecord &record);

QString recordPath(const QString &dir);
QString sidePath(const QString &dir);
// Reads both files of `dir`. False when the record is missing or unreadable;
// fields read before the failure stay in `record`.
bool load(const QString &dir, SettingsRecord &record);
// Writes both files, each replaced as a whole; false when either failed.
bool save(const QString &dir, const SettingsRecord &record);
// The keyring entries the settings in `dir` name as their own.
QStringList keyringEntries(const QString &dir);
} // namespace settingsfile
