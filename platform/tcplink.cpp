#include "platform/tcplink.h"

#include "platform/tls.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <unistd.h>
#include <utility>

TcpLink::TcpLink(QObject *parent) : Link(parent), m_addressTimer(new QTimer(this)) {
    m_addressTimer->setSingleShot(true);
    connect(m_addressTimer, &QTimer::timeout, this, &TcpLink::tryNextAddress);
}

TcpLink::~TcpLink() {
    closeSocket();
}

// A name in Japanese goes to the resolver and into the certificate check in
// its ASCII (punycode) form.
static QByteArray asciiName(const QString &host) {
    QByteArray name = QUrl::toAce(host);
    if (name.isEmpty()) name = host.toUtf8();
    return name;
}

void TcpLink::connectToHost(const QString &host, quint16 port) {
    abort();
    const quint64 attempt = ++m_attempt;
    m_state = State::LookingUp;
    m_answeredInClear = false;
    m_host = host;
    const QByteArray name = asciiName(host);
    // A literal address needs no resolver, and is still answered from the
    // event loop: callers set their state after this call.
    std::vector<Address> literal = resolve(name, port, AI_NUMERICHOST);
    if (!literal.empty()) {
        QTimer::singleShot(0, this,
                           [this, attempt, literal] { lookedUp(attempt, literal, false); });
        return;
    }
    // getaddrinfo blocks, for seconds when a name server is slow or away.
    const QPointer<TcpLink> self(this);
    QThreadPool::globalInstance()->start([self, attempt, name, port] {
        bool notFound = false;
        const std::vector<Address> found = resolve(name, port, AI_ADDRCONFIG, &notFound);
        // The answer goes back to the GUI thread; the link may be gone by then.
        QCoreApplication *app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app,
            [self, attempt, found, notFound] {
                if (self) self->lookedUp(attempt, found, notFound);
            },
            Qt::QueuedConnection);
    });
}

void TcpLink::connectToHostEncrypted(const QString &host, quint16 port, const TlsOptions &options) {
    connectToHost(host, port);
    m_implicitTls = options;
}

void TcpLink::startTls(const TlsOptions &options) {
    if (m_state != State::Connected || m_tls) return;
    // Whatever came in the clear and is still unread cannot be trusted: a
    // man in the middle may have added it (RFC 3207 section 4.2).
    m_in.clear();
    QString why;
    if (beginTls(options, &why)) return;
    abort();
    const quint64 attempt = m_attempt;
    QTimer::singleShot(0, this, [this, attempt, why] {
        if (attempt == m_attempt) emit tlsFailed(HandshakeFailed, {}, why, {});
    });
}

bool TcpLink::isEncrypted() const {
    return m_state == State::Connected && m_tls && m_tls->isEstablished();
}

bool TcpLink::beginTls(const TlsOptions &options, QString *why) {
    m_heardOnTls = false;
    m_tls = TlsClient::create(asciiName(options.peerName.isEmpty() ? m_host : options.peerName),
                              options, why);
    if (!m_tls) return false;
    if (m_tls->handshake() == TlsClient::Step::Failed) { // the client's first flight failed
        *why = m_tls->detail();
        m_tls.reset();
        return false;
    }
    m_tls->takeOutgoing(m_out);
    flush();
    return true;
}

std::vector<TcpLink::Address> TcpLink::resolve(const QByteArray &name, quint16 port, int flags,
                                               bool *notFound) {
    std::vector<Address> found;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *list = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (const int error = getaddrinfo(name.constData(), service.constData(), &hints, &list)) {
        // The name server's answer that there is no such name (or no address
        // for it); a name server that did not answer (EAI_AGAIN) is no answer.
        if (notFound) {
            *notFound = error == EAI_NONAME;
#ifdef EAI_NODATA
            *notFound = *notFound || error == EAI_NODATA;
#endif
#ifdef EAI_ADDRFAMILY
            *notFound = *notFound || error == EAI_ADDRFAMILY;
#endif
        }
        return found;
    }
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address a{};
        std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
        a.len = ai->ai_addrlen;
        found.push_back(a);
    }
    freeaddrinfo(list);
    return found;
}

void TcpLink::lookedUp(quint64 attempt, std::vector<Address> addresses, bool notFound) {
    if (attempt != m_attempt || m_state != State::LookingUp) return;
    if (addresses.empty() && notFound) {
        m_state = State::Closed;
        emit unreachable(NameNotFound);
        return;
    }
    m_addresses = std::move(addresses);
    m_state = State::Connecting;
    tryNextAddress();
}

void TcpLink::tryNextAddress() {
    closeSocket();
    while (!m_addresses.empty()) {
        const Address a = m_addresses.front();
        m_addresses.erase(m_addresses.begin());
        m_fd = ::socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0) continue;
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&a.addr), a.len) == 0 ||
            errno == EINPROGRESS) {
            // Known once the socket turns writable, from the event loop.
            m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
            connect(m_writeNotifier, &QSocketNotifier::activated, this, &TcpLink::onWritable);
            if (!m_addresses.empty()) m_addressTimer->start(AddressTimeoutMs);
            return;
        }
        closeSocket();
    }
    m_state = State::Closed; // no address answered
    emit unreachable();
}

void TcpLink::onWritable() {
    if (m_state == State::Connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            tryNextAddress();
            return;
        }
        m_state = m_implicitTls ? State::Securing : State::Connected;
        m_addresses.clear();
        m_addressTimer->stop();
        m_writeNotifier->setEnabled(false);
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &TcpLink::onReadable);
        if (m_state == State::Securing) {
            QString why;
            if (!beginTls(*std::exchange(m_implicitTls, std::nullopt), &why))
                failTls(HandshakeFailed, {}, why, {});
            return;
        }
        emit connected();
        return;
    }
    flush();
}

void TcpLink::onReadable() {
    bool ended = false;
    bool got = false;
    char buffer[16384];
    // The rest stays in the socket: the notifier fires again on the next
    // turn of the event loop, and the kernel's window throttles the peer.
    for (qsizetype taken = 0; taken < ReadPerWakeUp;) {
        const size_t want = size_t(qMin<qsizetype>(sizeof buffer, ReadPerWakeUp - taken));
        const ssize_t n = ::recv(m_fd, buffer, want, 0);
        if (n > 0) {
            if (m_tls && !std::exchange(m_heardOnTls, true)) {
                // Every TLS record starts with its type, 20 to 24; a plain
                // server's greeting ("+OK", "220") does not.
                const auto type = static_cast<unsigned char>(buffer[0]);
                m_answeredInClear = m_state == State::Securing && (type < 20 || type > 24);
            }
            if (m_tls)
                m_tls->feed(buffer, n);
            else
                m_in.append(buffer, n);
            taken += n;
            got = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // 0: the peer closed; an error other than "nothing more now": a reset.
        ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (m_tls) {
        onTlsReadable(ended);
        return;
    }
    const QPointer<TcpLink> self(this);
    const quint64 attempt = m_attempt;
    if (got) emit readyRead();
    if (!self || attempt != m_attempt || !ended || m_state != State::Connected) return;
    // The go-ahead for STLS/STARTTLS came with the close: the handshake the
    // reader has just begun can never finish.
    if (m_tls) {
        failTls(HandshakeFailed, {},
                QStringLiteral("the server closed the connection during the handshake"), {});
        return;
    }
    closeSocket();
    m_state = State::Closed;
    emit disconnected();
}

void TcpLink::onTlsReadable(bool ended) {
    const bool implicit = m_state == State::Securing;
    const bool finishing = !m_tls->isEstablished();
    if (finishing) {
        const TlsClient::Step step = m_tls->handshake();
        if (step == TlsClient::Step::Failed) {
            failTls(m_tls->error(), m_tls->fingerprint(), m_tls->detail(), m_tls->certificate());
            return;
        }
        if (step == TlsClient::Step::Again) {
            m_tls->takeOutgoing(m_out);
            flush();
            if (ended)
                failTls(HandshakeFailed, {},
                        QStringLiteral("the server closed the connection during the handshake"),
                        {});
            return;
        }
        m_state = State::Connected;
    }
    // The server's first words may come with the end of its handshake.
    const qsizetype before = m_in.size();
    if (!m_tls->read(m_in)) ended = true;
    const bool got = m_in.size() > before;
    m_tls->takeOutgoing(m_out);
    flush(); // with what was written while the handshake ran
    if (m_out.size() > MaxQueuedCiphertext) ended = true;

    const QPointer<TcpLink> self(this);
    const quint64 attempt = m_attempt;
    const auto goneMeanwhile = [&] { return !self || attempt != m_attempt; };
    if (finishing) {
        if (implicit)
            emit connected();
        else
            emit encrypted();
        if (goneMeanwhile()) return;
    }
    if (got) emit readyRead();
    if (goneMeanwhile() || !ended) return;
    closeSocket();
    m_state = State::Closed;
    emit disconnected();
}

void TcpLink::failTls(TlsError error, const QByteArray &fingerprint, const QString &detail,
                      const CertificateInfo &certificate) {
    // Only the alert telling the server why may still go, if the socket
    // takes it now; what was written for after the handshake never does.
    m_plainOut.clear();
    if (m_tls) m_tls->takeOutgoing(m_out);
    flush();
    abort();
    emit tlsFailed(error, fingerprint, detail, certificate);
}

QByteArray TcpLink::readAll() {
    QByteArray out;
    out.swap(m_in);
    return out;
}

qint64 TcpLink::write(const QByteArray &bytes) {
    if (m_state != State::Connected) return -1;
    (m_tls ? m_plainOut : m_out).append(bytes);
    flush();
    return bytes.size();
}

bool TcpLink::flush() {
    const auto up = [this] { return m_state == State::Connected || m_state == State::Securing; };
    while (up()) {
        if (m_out.isEmpty()) {
            // Encrypted a slice at a time as the socket drains, so a long
            // write is not held twice over.
            if (!m_tls || !m_tls->isEstablished() || m_plainOut.isEmpty()) break;
            const qsizetype n = std::min(m_plainOut.size(), TlsWriteSlice);
            if (!m_tls->write(m_plainOut.constData(), n)) break;
            m_plainOut.remove(0, n);
            m_tls->takeOutgoing(m_out);
            continue;
        }
        // MSG_NOSIGNAL: a peer that is gone must not end the program by SIGPIPE.
        const ssize_t n = ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL);
        if (n > 0) {
            m_out.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break; // full for now, or broken: the reading side learns which
    }
    if (m_writeNotifier) m_writeNotifier->setEnabled(up() && !m_out.isEmpty());
    return m_out.isEmpty() && m_plainOut.isEmpty();
}

void TcpLink::close() {
    flush();
    if (isEncrypted()) {
        // close_notify (RFC 8446 section 6.1) if the socket takes it now;
        // the peer has ended its dialogue and does not wait for it.
        m_tls->shutdown();
        m_tls->takeOutgoing(m_out);
        flush();
    }
    abort();
}

void TcpLink::abort() {
    ++m_attempt;
    closeSocket();
    m_addresses.clear();
    m_in.clear();
    m_out.clear();
    m_implicitTls.reset();
    m_tls.reset();
    m_plainOut.clear();
    m_state = State::Closed;
}

void TcpLink::closeSocket() {
    m_addressTimer->stop();
    // Often called from a notifier's own signal: stopped now, deleted later.
    for (QSocketNotifier **n : {&m_readNotifier, &m_writeNotifier}) {
        if (!*n) continue;
        (*n)->setEnabled(false);
        (*n)->deleteLater();
        *n = nullptr;
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}
