#pragma once
// OAuth 2.0 access tokens for a check, and the sign-in that yields the
// refresh token. An access token lives in memory only and is used until
// shortly before it expires; the refresh token is the settings' business.
// Nothing here writes a token into a status text or the log.
#include "check/settingsfile.h"
#include "platform/oauth.h"

#include <QDateTime>
#include <QObject>
#include <functional>
#include <optional>

struct Seams;

class OAuthTokens : public QObject {
    Q_OBJECT
  public:
    struct Outcome {
        bool ok = false;
        QString token;
        QString status, logMessage; // why there is none
    };
    using Done = std::function<void(const Outcome &)>;

    explicit OAuthTokens(const Seams &seams, QObject *parent = nullptr);

    // The provider the settings name, with the client ID typed over the
    // build's; none when the key is unknown.
    static std::optional<OAuthProvider> provider(const Seams &seams, const ConnectionSettings &c);

    // An access token for these settings: the one in memory while it holds,
    // else a new one. fresh: the one in memory was just refused.
    // Asynchronous; `done` runs once unless cancel() comes first.
    void get(const SettingsRecord &settings, bool fresh, Done done);
    void cancel();

  signals:
    // The provider handed out a new refresh token with the access token:
    // the old one may stop working, so the settings keep this one.
    void refreshTokenChanged(const QString &refreshToken);

  private:
    void refresh(const OAuthProvider &provider, const QString &refreshToken);
    void fromDesktop(const QString &address);
    void deliver(const Outcome &outcome);

    const Seams &m_seams;
    Done m_done;
    quint64 m_request = 0; // a reply to an older request is dropped
    // The access token of one refresh token (or desktop account) in memory.
    QString m_source;
    QString m_access;
    QDateTime m_expires;
    // A refresh token the provider refused: no more requests with it.
    QString m_rejected;
};

// This program's own sign-in: authorization code with PKCE through the
// user's browser and a loopback redirect.
class OAuthSignIn : public QObject {
    Q_OBJECT
  public:
    // openBrowser: shows the URL to the user; false when it could not.
    OAuthSignIn(const Seams &seams, const ConnectionSettings &settings, const QString &account,
                std::function<bool(const QString &url)> openBrowser, QObject *parent = nullptr);
    void start();

  signals:
    // Once. ok: the refresh token; else a Japanese text of what failed.
    void done(bool ok, const QString &refreshToken, const QString &message);

  private:
    void redirected(const class QUrlQuery &query);
    void fail(const QString &message);

    const Seams &m_seams;
    ConnectionSettings m_settings;
    QString m_account;
    std::function<bool(const QString &)> m_openBrowser;
    oauth::Redirect *m_redirect = nullptr;
    QByteArray m_verifier;
    bool m_done = false;
};
