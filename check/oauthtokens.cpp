#include "check/oauthtokens.h"

#include "platform/seams.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

namespace {

const QString SignInAgain = QStringLiteral("OAuth：再度サインインしてください");
const QString GoaService = QStringLiteral("org.gnome.OnlineAccounts");

QByteArray formOf(const QList<std::pair<const char *, QString>> &fields) {
    QByteArray form;
    for (const auto &[key, value] : fields) {
        if (!form.isEmpty()) form += '&';
        form += QByteArray(key) + '=' + QUrl::toPercentEncoding(value);
    }
    return form;
}

void postForm(const Seams &seams, const QString &url, const QByteArray &form, QObject *context,
              oauth::HttpDone done) {
    if (seams.httpPost)
        seams.httpPost(url, form, context, std::move(done));
    else
        oauth::curlPost(url, form, seams.caFile, context, std::move(done));
}

// The provider's words for a failed request: its error code, else the HTTP
// status or the transport's reason. Never the body itself: it may hold a token.
QString failureOf(const oauth::HttpReply &reply) {
    const QJsonObject o = QJsonDocument::fromJson(reply.body).object();
    QString error = o.value(QStringLiteral("error")).toString();
    for (QChar &c : error)
        if (!c.isPrint()) c = u'?';
    if (!error.isEmpty()) return error.left(80);
    if (reply.status) return QStringLiteral("HTTP %1").arg(reply.status);
    return reply.error.left(200);
}

} // namespace

OAuthTokens::OAuthTokens(const Seams &seams, QObject *parent) : QObject(parent), m_seams(seams) {}

std::optional<OAuthProvider> OAuthTokens::provider(const Seams &seams,
                                                   const ConnectionSettings &c) {
    const QList<OAuthProvider> all =
        seams.oauthProviders.isEmpty() ? oauth::builtinProviders() : seams.oauthProviders;
    for (OAuthProvider p : all) {
        if (p.key != c.oauthProvider) continue;
        if (!c.oauthClientId.isEmpty()) {
            p.clientId = c.oauthClientId;
            p.clientSecret.clear(); // belongs to the build's client only
        }
        return p;
    }
    return std::nullopt;
}

void OAuthTokens::cancel() {
    ++m_request;
    m_done = nullptr;
}

void OAuthTokens::deliver(const Outcome &outcome) {
    Done done = std::exchange(m_done, nullptr);
    if (done) done(outcome);
}

void OAuthTokens::get(const SettingsRecord &s, bool fresh, Done done) {
    cancel();
    m_done = std::move(done);
    const ConnectionSettings &c = s.connection;
    const QString source = c.oauthDesktop ? QStringLiteral("goa:") + s.POP_UserID
                                          : QStringLiteral("rt:") + c.oauthRefreshToken;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (fresh || source != m_source) m_access.clear();
    // A minute to spare: the token must still hold when the server reads it.
    if (!m_access.isEmpty() && now.secsTo(m_expires) > 60) {
        const Outcome ok{true, m_access, {}, {}};
        QTimer::singleShot(0, this, [this, r = m_request, ok] {
            if (r == m_request) deliver(ok);
        });
        return;
    }
    m_source = source;
    if (c.oauthDesktop) {
        fromDesktop(s.POP_UserID);
        return;
    }
    Outcome failure;
    const std::optional<OAuthProvider> p = provider(m_seams, c);
    if (!p || p->clientId.isEmpty()) {
        failure.status = QStringLiteral("OAuth設定エラー");
        failure.logMessage =
            QStringLiteral("OAuthのプロバイダまたはクライアントIDが設定されていません");
    } else if (c.oauthRefreshToken.isEmpty()) {
        failure.status = QStringLiteral("OAuth：サインインしていません");
        failure.logMessage =
            QStringLiteral("OAuthでサインインしていません。接続設定でサインインしてください");
    } else if (c.oauthRefreshToken == m_rejected) {
        // Asked once and refused: the provider is not asked again and again.
        failure.status = SignInAgain;
        failure.logMessage = QStringLiteral(
            "OAuthのリフレッシュトークンは拒否されています。接続設定で再度サインインしてください");
    } else {
        refresh(*p, c.oauthRefreshToken);
        return;
    }
    QTimer::singleShot(0, this, [this, r = m_request, failure] {
        if (r == m_request) deliver(failure);
    });
}

void OAuthTokens::refresh(const OAuthProvider &p, const QString &refreshToken) {
    QList<std::pair<const char *, QString>> fields = {
        {"grant_type", QStringLiteral("refresh_token")},
        {"refresh_token", refreshToken},
        {"client_id", p.clientId}};
    if (!p.clientSecret.isEmpty()) fields.append({"client_secret", p.clientSecret});
    const quint64 request = m_request;
    postForm(
        m_seams, p.tokenUrl, formOf(fields), this,
        [this, request, refreshToken,
         host = QUrl(p.tokenUrl).host()](const oauth::HttpReply &reply) {
            if (request != m_request) return;
            const QJsonObject o = QJsonDocument::fromJson(reply.body).object();
            const QString access = o.value(QStringLiteral("access_token")).toString();
            Outcome out;
            if (reply.status == 200 && !access.isEmpty()) {
                m_access = access;
                const int lifetime = o.value(QStringLiteral("expires_in")).toVariant().toInt();
                m_expires = QDateTime::currentDateTimeUtc().addSecs(lifetime > 0 ? lifetime : 3600);
                const QString rotated = o.value(QStringLiteral("refresh_token")).toString();
                if (!rotated.isEmpty() && rotated != refreshToken) {
                    m_source = QStringLiteral("rt:") + rotated;
                    emit refreshTokenChanged(rotated);
                }
                deliver({true, access, {}, {}});
                return;
            }
            const QString why = failureOf(reply);
            // RFC 6749 5.2: the grant itself is no good any more.
            if (why == u"invalid_grant" || why == u"unauthorized_client") {
                m_rejected = refreshToken;
                out.status = SignInAgain;
                out.logMessage = QStringLiteral("OAuthのリフレッシュトークンが拒否されました（") +
                                 why + QStringLiteral("）。接続設定で再度サインインしてください");
            } else {
                out.status = QStringLiteral("OAuthトークン取得エラー");
                out.logMessage =
                    host + QStringLiteral(" からアクセストークンを取得できません（") + why + u'）';
            }
            deliver(out);
        });
}

// GNOME Online Accounts: the account whose mail address is the user's, and
// its access token, both asked asynchronously.
void OAuthTokens::fromDesktop(const QString &address) {
    const quint64 request = m_request;
    auto fail = [this, request](const QString &log) {
        if (request != m_request) return;
        deliver({false, {}, QStringLiteral("OAuth：オンラインアカウントエラー"), log});
    };
    if (!m_seams.sessionBus) {
        fail(QStringLiteral("GNOME オンラインアカウントに接続できません"));
        return;
    }
    QDBusConnection bus = m_seams.sessionBus();
    QDBusMessage list = QDBusMessage::createMethodCall(
        GoaService, QStringLiteral("/org/gnome/OnlineAccounts"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(list), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, request, address, fail, bus](QDBusPendingCallWatcher *w) mutable {
            w->deleteLater();
            if (request != m_request) return;
            const QDBusMessage reply = w->reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                fail(QStringLiteral("GNOME オンラインアカウントに接続できません（") +
                     reply.errorName() + u'）');
                return;
            }
            // a{oa{sa{sv}}}: each account's interfaces and their properties.
            QString found;
            const QDBusArgument arg = reply.arguments().first().value<QDBusArgument>();
            arg.beginMap();
            while (!arg.atEnd()) {
                QDBusObjectPath path;
                arg.beginMapEntry();
                arg >> path;
                bool mailMatches = false, oauth2 = false;
                arg.beginMap();
                while (!arg.atEnd()) {
                    QString interface;
                    QVariantMap properties;
                    arg.beginMapEntry();
                    arg >> interface >> properties;
                    arg.endMapEntry();
                    if (interface == u"org.gnome.OnlineAccounts.Mail")
                        mailMatches = properties.value(QStringLiteral("EmailAddress"))
                                          .toString()
                                          .compare(address, Qt::CaseInsensitive) == 0;
                    oauth2 = oauth2 || interface == u"org.gnome.OnlineAccounts.OAuth2Based";
                }
                arg.endMap();
                arg.endMapEntry();
                if (mailMatches && oauth2 && found.isEmpty()) found = path.path();
            }
            arg.endMap();
            if (found.isEmpty()) {
                fail(QStringLiteral("GNOME オンラインアカウントに %1 のOAuthアカウントがありません")
                         .arg(address));
                return;
            }
            QDBusMessage call = QDBusMessage::createMethodCall(
                GoaService, found, QStringLiteral("org.gnome.OnlineAccounts.OAuth2Based"),
                QStringLiteral("GetAccessToken"));
            auto *token = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
            connect(token, &QDBusPendingCallWatcher::finished, this,
                    [this, request, fail](QDBusPendingCallWatcher *t) {
                        t->deleteLater();
                        if (request != m_request) return;
                        const QDBusPendingReply<QString, int> r = *t;
                        if (r.isError() || r.argumentAt<0>().isEmpty()) {
                            fail(QStringLiteral(
                                     "GNOME オンラインアカウントがアクセストークンを渡しません（") +
                                 r.error().name() + u'）');
                            return;
                        }
                        m_access = r.argumentAt<0>();
                        const int lifetime = r.argumentAt<1>();
                        m_expires =
                            QDateTime::currentDateTimeUtc().addSecs(lifetime > 0 ? lifetime : 300);
                        deliver({true, m_access, {}, {}});
                    });
        });
}

// The sign-in.

OAuthSignIn::OAuthSignIn(const Seams &seams, const ConnectionSettings &settings,
                         const QString &account, std::function<bool(const QString &)> openBrowser,
                         QObject *parent)
    : QObject(parent), m_seams(seams), m_settings(settings), m_account(account),
      m_openBrowser(std::move(openBrowser)) {}

void OAuthSignIn::fail(const QString &message) {
    if (std::exchange(m_done, true)) return;
    if (m_redirect) m_redirect->close();
    emit done(false, {}, message);
}

void OAuthSignIn::start() {
    const std::optional<OAuthProvider> p = OAuthTokens::provider(m_seams, m_settings);
    if (!p || p->clientId.isEmpty()) {
        fail(QStringLiteral("OAuthのプロバイダまたはクライアントIDが設定されていません"));
        return;
    }
    const QByteArray state = oauth::randomToken();
    m_verifier = oauth::newVerifier();
    m_redirect = new oauth::Redirect(state, m_seams.signInWaitMs, this);
    if (m_redirect->uri().isEmpty()) {
        fail(QStringLiteral("サインインの応答を受ける口を開けません"));
        return;
    }
    connect(m_redirect, &oauth::Redirect::arrived, this, &OAuthSignIn::redirected);
    connect(m_redirect, &oauth::Redirect::timedOut, this,
            [this] { fail(QStringLiteral("サインインが5分以内に終わりませんでした")); });
    QUrl url(p->authorizeUrl);
    QUrlQuery q(url);
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_id"), p->clientId);
    q.addQueryItem(QStringLiteral("redirect_uri"), m_redirect->uri());
    q.addQueryItem(QStringLiteral("scope"), p->scope);
    q.addQueryItem(QStringLiteral("state"), QString::fromLatin1(state));
    q.addQueryItem(QStringLiteral("code_challenge"),
                   QString::fromLatin1(oauth::challengeOf(m_verifier)));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    if (!m_account.isEmpty()) q.addQueryItem(QStringLiteral("login_hint"), m_account);
    // Google hands out a refresh token only when asked for offline access.
    if (p->key == u"google") {
        q.addQueryItem(QStringLiteral("access_type"), QStringLiteral("offline"));
        q.addQueryItem(QStringLiteral("prompt"), QStringLiteral("consent"));
    }
    url.setQuery(q);
    if (!m_openBrowser || !m_openBrowser(url.toString(QUrl::FullyEncoded)))
        fail(QStringLiteral("ブラウザを起動できません（xdg-open）"));
}

void OAuthSignIn::redirected(const QUrlQuery &query) {
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    if (code.isEmpty()) {
        QString error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded).left(80);
        fail(QStringLiteral("サインインが拒否されました（") + error + u'）');
        return;
    }
    const std::optional<OAuthProvider> p = OAuthTokens::provider(m_seams, m_settings);
    QList<std::pair<const char *, QString>> fields = {
        {"grant_type", QStringLiteral("authorization_code")},
        {"code", code},
        {"redirect_uri", m_redirect->uri()},
        {"client_id", p->clientId},
        {"code_verifier", QString::fromLatin1(m_verifier)}};
    if (!p->clientSecret.isEmpty()) fields.append({"client_secret", p->clientSecret});
    postForm(m_seams, p->tokenUrl, formOf(fields), this, [this](const oauth::HttpReply &reply) {
        const QJsonObject o = QJsonDocument::fromJson(reply.body).object();
        const QString refresh = o.value(QStringLiteral("refresh_token")).toString();
        if (reply.status != 200 || refresh.isEmpty()) {
            fail(QStringLiteral("トークンを取得できません（") + failureOf(reply) + u'）');
            return;
        }
        if (std::exchange(m_done, true)) return;
        emit done(true, refresh, {});
    });
}
