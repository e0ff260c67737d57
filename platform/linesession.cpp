#include "platform/linesession.h"

#include <QTimer>
#include <algorithm>
#include <cstring>
#include <utility>

LineSession::LineSession(Link *link, Framing framing, QObject *parent)
    : QObject(parent), m_link(link), Timer1(new QTimer(this)), Timer2(new QTimer(this)),
      m_framing(framing) {
    m_link->setParent(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer1->setSingleShot(true);
    Timer2->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &LineSession::guardRanOut);
    connect(Timer2, &QTimer::timeout, this, &LineSession::guardRanOut);

    connect(m_link, &Link::connected, this, [this] {
        if (m_finished) return;
        emit statusChanged(QStringLiteral("接続しました"));
        m_reached = true;
        Timer1->stop();
        Timer2->start(plainOnTlsPort() ? std::min(m_endpoint.guardMs, GreetingWaitMs)
                                       : m_endpoint.guardMs);
        linkConnected();
    });
    connect(m_link, &Link::readyRead, this, [this] {
        if (!m_finished) takeBytes(m_link->readAll());
    });
    connect(m_link, &Link::disconnected, this, [this] {
        if (m_finished) return;
        // What came with the close is still the server's reply.
        if (const QByteArray rest = m_link->readAll(); !rest.isEmpty()) takeBytes(rest);
        if (!m_finished) serverClosed();
    });
    connect(m_link, &Link::unreachable, this, [this](Link::Unreachable why) {
        if (m_finished) return;
        if (why == Link::NameNotFound) {
            // Waiting would not make the name exist: said at once.
            const QString text =
                serverWord() + QStringLiteral("名 %1 が見つかりません").arg(m_endpoint.host);
            fail(text, text);
            return;
        }
        if (!endsWhenUnreachable()) return;
        fail(serverWord() + QStringLiteral("に接続できません"),
             serverWord() + QStringLiteral(" %1 のポート %2 に接続できません")
                                .arg(m_endpoint.host)
                                .arg(m_endpoint.port));
    });
    connect(m_link, &Link::encrypted, this, [this] {
        if (m_finished || !m_securing) return;
        m_securing = false;
        m_buffer.clear();
        Timer2->start(m_endpoint.guardMs);
        secured();
    });
    connect(m_link, &Link::tlsFailed, this,
            [this](Link::TlsError error, const QByteArray &fingerprint, const QString &detail,
                   const CertificateInfo &certificate) {
                if (m_finished) return;
                if (error == Link::HandshakeFailed && m_link->answeredInClear()) {
                    plainPortWithTls();
                    return;
                }
                SessionResult r;
                r.tlsFailed = true;
                r.tlsError = error;
                r.fingerprint = fingerprint;
                r.certificate = certificate;
                r.tlsDetail = detail;
                finish(r);
            });
}

LineSession::~LineSession() {
    Form_Unload();
}

void LineSession::open(const Endpoint &endpoint) {
    if (m_opened || m_finished) return;
    m_opened = true;
    m_endpoint = endpoint;
    // No events may run from here to the guard's start: the connected event
    // must find the state set.
    if (endpoint.security == LinkSecurity::Tls)
        m_link->connectToHostEncrypted(endpoint.host, endpoint.port, endpoint.tls);
    else
        m_link->connectToHost(endpoint.host, endpoint.port);
    emit statusChanged(QStringLiteral("接続中"));
    Timer1->start(endpoint.guardMs);
}

void LineSession::Form_Unload() {
    m_finished = true;
    Timer1->stop();
    Timer2->stop();
    disconnect(m_link, nullptr, this, nullptr);
    m_link->abort();
}

void LineSession::takeBytes(QByteArrayView bytes) {
    // Anything in the clear between the go-ahead for TLS and the handshake
    // could be an attacker's (RFC 2595 4, RFC 3207 6): dropped.
    if (m_finished || m_securing) return;
    if (!bytes.isEmpty() && !std::exchange(m_heard, true) &&
        m_endpoint.security != LinkSecurity::Tls && bytes.size() >= 2 &&
        (bytes[0] == '\x15' || bytes[0] == '\x16') && bytes[1] == '\x03') {
        // A TLS alert or handshake record where the greeting should be.
        tlsPortInClear();
        return;
    }
    m_buffer.append(bytes);

    // Act on complete lines only: a reply may arrive in pieces, or several
    // together. POP3 ends a line at CR LF only; SMTP at LF.
    const char *data = m_buffer.constData();
    const qsizetype size = m_buffer.size();
    qsizetype pos = 0;
    qsizetype searchFrom = 0;
    bool restarted = false;
    while (searchFrom < size) {
        const void *lf = std::memchr(data + searchFrom, '\n', size_t(size - searchFrom));
        if (!lf) break;
        const qsizetype nl = static_cast<const char *>(lf) - data;
        const bool cr = nl > pos && data[nl - 1] == '\r';
        if (!cr && !m_framing.bareLfEndsLine) {
            searchFrom = nl + 1; // a bare LF belongs to the line
            continue;
        }
        // A server still talking, line by line, is not silent. Once per
        // arrival: a listing of a million lines must not restart it a
        // million times.
        if (!std::exchange(restarted, true)) Timer2->start(m_endpoint.guardMs);
        const qsizetype length = nl - pos - (cr ? 1 : 0);
        if (length > m_framing.maxLine) {
            lineTooLong();
            return;
        }
        if (!lineArrived(QByteArrayView(data + pos, length))) return;
        if (m_securing) {
            m_buffer.clear();
            return;
        }
        pos = nl + 1;
        searchFrom = pos;
    }
    m_buffer.remove(0, pos);
    // One byte more than a line's room may be its CR still waiting for LF.
    if (m_buffer.size() > m_framing.maxLine + 1) lineTooLong();
}

void LineSession::send(const QByteArray &bytes) {
    // Fire and forget: a line that cannot go out shows up as a silent server.
    if (m_link->isConnected()) m_link->write(bytes);
}

void LineSession::beginTls() {
    m_securing = true;
    m_link->startTls(m_endpoint.tls);
}

void LineSession::finish(const SessionResult &result, bool graceful) {
    if (m_finished) return;
    // Quiet and closed before anyone hears of the outcome: whatever the
    // check does next (a message box, a notice) happens with no session open.
    m_finished = true;
    Timer1->stop();
    Timer2->stop();
    disconnect(m_link, nullptr, this, nullptr);
    if (graceful)
        m_link->close();
    else
        m_link->abort();
    report(result);
}

void LineSession::fail(const QString &status, const QString &logMessage) {
    SessionResult r;
    r.status = status;
    r.logMessage = logMessage;
    finish(r);
}

void LineSession::succeed(bool graceful) {
    SessionResult r;
    r.outcome = SessionResult::Outcome::Done;
    finish(r, graceful);
}

void LineSession::guardRanOut() {
    if (m_finished) return;
    if (m_reached && !m_heard && plainOnTlsPort()) {
        tlsPortInClear();
        return;
    }
    finish(timedOut());
}

bool LineSession::plainOnTlsPort() const {
    return m_endpoint.security != LinkSecurity::Tls && m_endpoint.port == implicitTlsPort();
}

void LineSession::tlsPortInClear() {
    const quint16 port = m_endpoint.port;
    fail(QStringLiteral("ポート%1はSSL/TLS用です").arg(port),
         serverWord() + QStringLiteral(" %1 のポート %2 はSSL/TLS用です"
                                       "（接続設定の暗号化で「SSL/TLS」を選んでください）")
                            .arg(m_endpoint.host)
                            .arg(port));
}

void LineSession::plainPortWithTls() {
    fail(QStringLiteral("このポートはSSL/TLSではありません"),
         serverWord() + QStringLiteral(" %1 のポート %2 はSSL/TLSではありません"
                                       "（接続設定の暗号化で「%3」か「なし」を選んでください）")
                            .arg(m_endpoint.host)
                            .arg(m_endpoint.port)
                            .arg(startTlsName()));
}

bool LineSession::saslBegin(const QByteArrayList &offered, const QString &user,
                            const QString &password) {
    const QByteArray u = user.toUtf8(), p = password.toUtf8();
    m_saslSteps.clear();
    if (offered.contains("PLAIN") && !u.contains('\0') && !p.contains('\0')) {
        // RFC 4616: authorization identity empty, then user and password.
        send("AUTH PLAIN " + ('\0' + u + '\0' + p).toBase64() + "\r\n");
        return true;
    }
    if (offered.contains("LOGIN")) {
        // The server asks for the user name, then the password.
        m_saslSteps = {u.toBase64() + "\r\n", p.toBase64() + "\r\n"};
        send(QByteArrayLiteral("AUTH LOGIN\r\n"));
        return true;
    }
    return false;
}

bool LineSession::saslContinue() {
    if (m_saslSteps.isEmpty()) return false;
    send(m_saslSteps.takeFirst());
    return true;
}
