#pragma once
// What OAuth 2.0 sign-in needs below the check: the providers' endpoints,
// the PKCE pair (RFC 7636), the loopback redirect (RFC 8252 7.3) and an
// HTTPS form POST to a token endpoint. The POST goes through libcurl, opened
// on first use only: users who never sign in this way never load it.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrlQuery>
#include <functional>

class QSocketNotifier;
class QTimer;

struct OAuthProvider {
    QString key; // "google", "microsoft": what settings and presets name
    QString name;
    QString authorizeUrl;
    QString tokenUrl;
    QString scope;
    QString clientId;     // the build's; empty: none registered
    QString clientSecret; // Google's installed apps carry one; not a secret
};

namespace oauth {

// The built-in providers, with the client IDs the build was given.
QList<OAuthProvider> builtinProviders();

// A PKCE verifier of 43 unreserved characters and its S256 challenge.
QByteArray newVerifier();
QByteArray challengeOf(const QByteArray &verifier);
// An unguessable value for `state`.
QByteArray randomToken(int bytes = 24);

struct HttpReply {
    int status = 0;  // the HTTP status; 0: no answer
    QByteArray body; // at most 1 MiB
    QString error;   // why there is no answer
};
using HttpDone = std::function<void(const HttpReply &)>;
using HttpPost = std::function<void(const QString &url, const QByteArray &form, QObject *context,
                                    HttpDone done)>;
// POSTs an x-www-form-urlencoded form over HTTPS (never plain HTTP) off the
// GUI thread; `done` runs in the context object's thread, unless the
// context is gone. caFile: PEM certificates to trust, empty: the system's.
void curlPost(const QString &url, const QByteArray &form, const QString &caFile, QObject *context,
              HttpDone done);

// One loopback listener on 127.0.0.1 with a port of the system's choosing,
// waiting for the authorization server's redirect. It takes the first
// request whose state matches and closes; a request with another state is
// answered and ignored. Gives up after `timeoutMs`.
class Redirect : public QObject {
    Q_OBJECT
  public:
    Redirect(const QByteArray &state, int timeoutMs, QObject *parent = nullptr);
    ~Redirect() override;
    // The redirect URI, "http://127.0.0.1:PORT/"; empty when no socket.
    QString uri() const { return m_uri; }
    void close();

  signals:
    // The query of the valid redirect: code, or error.
    void arrived(const QUrlQuery &query);
    void timedOut();
    // A request came with a state that is not ours (logged, ignored).
    void stateMismatch();

  private:
    void accept();
    void readClient(int fd);
    void answer(int fd, const QByteArray &text);

    QByteArray m_state;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer;
    QString m_uri;
    struct Client {
        int fd;
        QSocketNotifier *notifier;
        QByteArray request;
    };
    QList<Client> m_clients;
};

} // namespace oauth
