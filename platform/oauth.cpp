#include "platform/oauth.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#ifndef QUIL_OAUTH_CLIENT_ID_GOOGLE
#define QUIL_OAUTH_CLIENT_ID_GOOGLE ""
#endif
#ifndef QUIL_OAUTH_CLIENT_SECRET_GOOGLE
#define QUIL_OAUTH_CLIENT_SECRET_GOOGLE ""
#endif
#ifndef QUIL_OAUTH_CLIENT_ID_MICROSOFT
#define QUIL_OAUTH_CLIENT_ID_MICROSOFT ""
#endif

namespace oauth {

QList<OAuthProvider> builtinProviders() {
    return {
        {QStringLiteral("google"), QStringLiteral("Google"),
         QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"),
         QStringLiteral("https://oauth2.googleapis.com/token"),
         QStringLiteral("https://mail.google.com/"), QStringLiteral(QUIL_OAUTH_CLIENT_ID_GOOGLE),
         QStringLiteral(QUIL_OAUTH_CLIENT_SECRET_GOOGLE)},
        // The consumer and work accounts alike; POP and SMTP ask for their own scopes.
        {QStringLiteral("microsoft"), QStringLiteral("Microsoft"),
         QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/authorize"),
         QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/token"),
         QStringLiteral("https://outlook.office.com/POP.AccessAsUser.All "
                        "https://outlook.office.com/SMTP.Send offline_access"),
         QStringLiteral(QUIL_OAUTH_CLIENT_ID_MICROSOFT), QString()},
    };
}

namespace {
QByteArray base64url(const QByteArray &bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}
} // namespace

QByteArray randomToken(int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), bytes / 4);
    return base64url(raw);
}

QByteArray newVerifier() {
    return randomToken(32); // 43 characters
}

QByteArray challengeOf(const QByteArray &verifier) {
    return base64url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256));
}

// libcurl, opened once on first use and kept.
namespace {

#define QUIL_CURL_FUNCTIONS(F)                                                                     \
    F(curl_global_init)                                                                            \
    F(curl_easy_init)                                                                              \
    F(curl_easy_setopt)                                                                            \
    F(curl_easy_perform)                                                                           \
    F(curl_easy_getinfo)                                                                           \
    F(curl_easy_cleanup)                                                                           \
    F(curl_easy_strerror)                                                                          \
    F(curl_slist_append)                                                                           \
    F(curl_slist_free_all)

struct CurlApi {
#define QUIL_MEMBER(name) decltype(&::name) name = nullptr;
    QUIL_CURL_FUNCTIONS(QUIL_MEMBER)
#undef QUIL_MEMBER
};

const CurlApi *curl(QString *why) {
    static CurlApi api;
    static QString failure;
    static const bool loaded = [] {
        void *lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            failure = QString::fromLocal8Bit(::dlerror());
            return false;
        }
#define QUIL_RESOLVE(name)                                                                         \
    api.name = reinterpret_cast<decltype(api.name)>(::dlsym(lib, #name));                          \
    if (!api.name) failure = QStringLiteral("libcurl.so.4 has no " #name);
        QUIL_CURL_FUNCTIONS(QUIL_RESOLVE)
#undef QUIL_RESOLVE
        // Not thread-safe: done here, on the GUI thread, before any worker.
        if (failure.isEmpty() && api.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            failure = QStringLiteral("curl_global_init failed");
        return failure.isEmpty();
    }();
    if (!loaded && why) *why = failure;
    return loaded ? &api : nullptr;
}

constexpr qsizetype MaxBody = 1 << 20;

size_t collect(char *data, size_t size, size_t count, void *out) {
    auto *body = static_cast<QByteArray *>(out);
    const size_t n = size * count;
    if (body->size() + qsizetype(n) > MaxBody) return 0; // ends the transfer
    body->append(data, qsizetype(n));
    return n;
}

HttpReply post(const CurlApi &api, const QByteArray &url, const QByteArray &form,
               const QByteArray &caFile) {
    HttpReply reply;
    CURL *h = api.curl_easy_init();
    if (!h) {
        reply.error = QStringLiteral("curl_easy_init failed");
        return reply;
    }
    curl_slist *headers = api.curl_slist_append(nullptr, "Accept: application/json");
    api.curl_easy_setopt(h, CURLOPT_URL, url.constData());
    // A token endpoint is HTTPS; nothing else, not even by a redirect.
    api.curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    api.curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    api.curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    api.curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    api.curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
    api.curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    api.curl_easy_setopt(h, CURLOPT_POSTFIELDS, form.constData());
    api.curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(form.size()));
    api.curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
    api.curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply.body);
    if (!caFile.isEmpty()) api.curl_easy_setopt(h, CURLOPT_CAINFO, caFile.constData());
    const CURLcode rc = api.curl_easy_perform(h);
    if (rc == CURLE_OK) {
        long status = 0;
        api.curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        reply.status = int(status);
    } else {
        reply.body.clear();
        reply.error = QString::fromUtf8(api.curl_easy_strerror(rc));
    }
    api.curl_easy_cleanup(h);
    api.curl_slist_free_all(headers);
    return reply;
}

} // namespace

void curlPost(const QString &url, const QByteArray &form, const QString &caFile, QObject *context,
              HttpDone done) {
    QString why;
    const CurlApi *api = curl(&why);
    if (!api) {
        HttpReply r;
        r.error = QStringLiteral("libcurl を読み込めません（") + why + u'）';
        QTimer::singleShot(0, context, [done, r] { done(r); });
        return;
    }
    auto result = std::make_shared<HttpReply>();
    QThread *worker =
        QThread::create([api, result, u = url.toUtf8(), form, ca = QFile::encodeName(caFile)] {
            *result = post(*api, u, form, ca);
        });
    // Heard only while the context lives: the connection goes with it.
    QObject::connect(worker, &QThread::finished, context, [done, result] { done(*result); });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

// The loopback redirect.

Redirect::Redirect(const QByteArray &state, int timeoutMs, QObject *parent)
    : QObject(parent), m_state(state), m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        close();
        emit timedOut();
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // the system's choice
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_uri = QStringLiteral("http://127.0.0.1:%1/").arg(ntohs(address.sin_port));
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Redirect::accept);
    m_timer->start(timeoutMs);
}

Redirect::~Redirect() {
    close();
}

void Redirect::close() {
    m_timer->stop();
    for (Client &c : m_clients) {
        delete c.notifier;
        ::close(c.fd);
    }
    m_clients.clear();
    if (m_fd < 0) return;
    delete m_notifier;
    m_notifier = nullptr;
    ::close(std::exchange(m_fd, -1));
}

void Redirect::accept() {
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (m_clients.size() >= 8) { // a browser opens a few; more is not a browser
        ::close(fd);
        return;
    }
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_clients.append({fd, notifier, {}});
    connect(notifier, &QSocketNotifier::activated, this, [this, fd] { readClient(fd); });
}

void Redirect::answer(int fd, const QByteArray &text) {
    const QByteArray body =
        "<!DOCTYPE html><meta charset=\"utf-8\"><title>クイルモン7400</title><p>" + text + "</p>\n";
    const QByteArray reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                             "Content-Length: " +
                             QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
                             body;
    (void)!::write(fd, reply.constData(), size_t(reply.size()));
    for (qsizetype i = 0; i < m_clients.size(); ++i) {
        if (m_clients[i].fd != fd) continue;
        m_clients[i].notifier->setEnabled(false);
        m_clients[i].notifier->deleteLater();
        m_clients.removeAt(i);
        break;
    }
    ::close(fd);
}

void Redirect::readClient(int fd) {
    qsizetype at = 0;
    while (at < m_clients.size() && m_clients[at].fd != fd)
        ++at;
    if (at == m_clients.size()) return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && errno == EAGAIN) return;
        m_clients[at].notifier->setEnabled(false);
        m_clients[at].notifier->deleteLater();
        m_clients.removeAt(at);
        ::close(fd);
        return;
    }
    QByteArray &request = m_clients[at].request;
    request.append(buffer, n);
    const qsizetype end = request.indexOf("\r\n");
    if (end < 0) {
        if (request.size() > 16384) answer(fd, QByteArrayLiteral("Bad request"));
        return;
    }
    // "GET /?code=…&state=… HTTP/1.1": only the request line counts.
    const QList<QByteArray> words = request.first(end).split(' ');
    const QUrl target(QString::fromLatin1(words.value(1)));
    const QUrlQuery query(target);
    if (words.value(0) != "GET" || target.path() != u"/" ||
        query.queryItemValue(QStringLiteral("state")).toLatin1() != m_state) {
        answer(fd, QByteArrayLiteral("この応答はクイルモン7400のサインインのものではありません。"));
        emit stateMismatch();
        return;
    }
    answer(fd,
           QByteArrayLiteral("サインインの応答を受け取りました。このページは閉じてかまいません。"));
    close();
    emit arrived(query);
}

} // namespace oauth
