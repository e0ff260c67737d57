#pragma once
// 接続設定: how the mail servers are reached (encryption, ports, SMTP
// authentication, accepted certificates). It edits a copy of the connection
// settings and hands it back on ＯＫ; the owner puts it into the settings
// window's copy and unloads this one.
#include "check/settingsfile.h"
#include "platform/oauth.h"

#include <QDialog>
#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class ConnectionDialog : public QDialog {
    Q_OBJECT
  public:
    using MessageBox =
        std::function<void(QWidget *parent, const QString &title, const QString &text)>;
    // A warning the user may accept: `accepted` runs on ＯＫ, later.
    using Question = std::function<void(QWidget *parent, const QString &title, const QString &text,
                                        std::function<void()> accepted)>;

    // Without `question`, nothing is warned of.
    ConnectionDialog(const ConnectionSettings &settings, MessageBox messageBox,
                     QWidget *parent = nullptr, Question question = {});

    // A certificate the check refused for that server: offered for trust.
    // Without a fingerprint: nothing is refused any more.
    void setRefused(bool smtp, const RefusedCertificate &certificate);

    // ログイン時に起動する: shown as found on the desktop, read back on ＯＫ.
    // Not part of the connection settings.
    void setAutostart(bool on);
    bool autostart() const;

    // OAuth: the providers offered, and the sign-in through the browser,
    // which reports the refresh token or what failed.
    using SignInDone =
        std::function<void(bool ok, const QString &refreshToken, const QString &message)>;
    using SignInRunner =
        std::function<void(const ConnectionSettings &, QObject *context, SignInDone done)>;
    void setOAuth(const QList<OAuthProvider> &providers, SignInRunner runner);
    // GNOME Online Accounts is on the bus: offered as the token's source.
    void setDesktopAccounts(bool available);

    // The fingerprint as shown: pairs of hex digits joined by ":", 16 a line.
    static QString displayFingerprint(const QString &hex);

  signals:
    // ＯＫ with settings that passed the checks.
    void settingsAccepted(const ConnectionSettings &settings);
    // Just before settingsAccepted, when a provider was chosen: its servers,
    // which live in the settings window's record.
    void serversChosen(const QString &pop, const QString &smtp);
    // キャンセル, Esc or the close box.
    void cancelled();

  public slots:
    void reject() override;

  private:
    void presetChosen(int index);
    QComboBox *m_preset = nullptr;
    QLabel *m_presetHint = nullptr;
    // One server's controls: POP3 (index 0) or SMTP (index 1).
    struct Side {
        std::array<QRadioButton *, 3> security{}; // なし, STLS/STARTTLS, SSL/TLS
        QLineEdit *port = nullptr;
        QLabel *fingerprint = nullptr;
        QLabel *refused = nullptr;
        QPushButton *trust = nullptr;
        QPushButton *forget = nullptr;
        AcceptedCertificate accepted;   // what will be stored
        RefusedCertificate refusedCert; // the last one the check refused
    };

    void buildSide(int index, QWidget *frame, int certTop);
    void showSide(int index);
    ConnectionSettings::Security security(int index) const;
    void securityChanged(int index);
    void authChanged();
    void notifyChanged();
    void signInChanged();
    void signInClicked();
    // The provider chosen, with the client ID typed over the build's.
    OAuthProvider chosenProvider() const;
    using Security = ConnectionSettings::Security;
    void Command1_Click(); // ＯＫ
    // The port typed, 0 for empty; false, after telling the user, when invalid.
    bool readPort(int index, quint16 &port);
    // What is wrong with a port well known for the other kind of security;
    // empty when nothing is.
    static QString portMismatch(int index, Security security, quint16 port);
    void acceptSettings(const ConnectionSettings &c);

    ConnectionSettings m_settings;
    MessageBox m_messageBox;
    Question m_question;
    std::array<Side, 2> m_side;
    QCheckBox *m_auth = nullptr;
    QLineEdit *m_user = nullptr;
    QLineEdit *m_smtpPassword = nullptr;
    QLineEdit *m_from = nullptr;
    QCheckBox *m_notify = nullptr;
    QLineEdit *m_mailCommand = nullptr;
    QCheckBox *m_showHeaders = nullptr;
    QCheckBox *m_noticeHeaders = nullptr;
    QCheckBox *m_keyring = nullptr;
    QCheckBox *m_autostart = nullptr;
    QRadioButton *m_password = nullptr;
    QRadioButton *m_oauth = nullptr;
    QRadioButton *m_oauthOwn = nullptr;
    QRadioButton *m_oauthDesktop = nullptr;
    QComboBox *m_provider = nullptr;
    QLineEdit *m_clientId = nullptr;
    QPushButton *m_signIn = nullptr;
    QLabel *m_oauthState = nullptr;
    QList<OAuthProvider> m_providers;
    SignInRunner m_runner;
    bool m_desktopAccounts = false;
    bool m_signingIn = false;
    QString m_refreshToken;
    QPushButton *m_ok = nullptr;
    QPushButton *m_cancel = nullptr;
    bool m_done = false;
};
