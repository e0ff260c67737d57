#include "platform/tcplink.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

TcpLink::TcpLink(QObject *parent) : QObject(parent), m_addressTimer(new QTimer(this)) {
    m_addressTimer->setSingleShot(true);
    connect(m_addressTimer, &QTimer::timeout, this, &TcpLink::tryNextAddress);
}

TcpLink::~TcpLink() {
    closeSocket();
}

void TcpLink::connectToHost(const QString &host, quint16 port) {
    abort();
    const quint64 attempt = ++m_attempt;
    m_state = State::LookingUp;
    // A name in Japanese goes to the resolver in its ASCII (punycode) form.
    QByteArray name = QUrl::toAce(host);
    if (name.isEmpty()) name = host.toUtf8();
    // A literal address needs no resolver, and is still answered from the
    // event loop: callers set their state after this call.
    std::vector<Address> literal = resolve(name, port, AI_NUMERICHOST);
    if (!literal.empty()) {
        QTimer::singleShot(0, this, [this, attempt, literal] { lookedUp(attempt, literal); });
        return;
    }
    // getaddrinfo blocks, for seconds when a name server is slow or away.
    const QPointer<TcpLink> self(this);
    QThreadPool::globalInstance()->start([self, attempt, name, port] {
        const std::vector<Address> found = resolve(name, port, AI_ADDRCONFIG);
        // The answer goes back to the GUI thread; the link may be gone by then.
        QCoreApplication *app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app,
            [self, attempt, found] {
                if (self) self->lookedUp(attempt, found);
            },
            Qt::QueuedConnection);
    });
}

std::vector<TcpLink::Address> TcpLink::resolve(const QByteArray &name, quint16 port, int flags) {
    std::vector<Address> found;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *list = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (getaddrinfo(name.constData(), service.constData(), &hints, &list) != 0) return found;
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

void TcpLink::lookedUp(quint64 attempt, std::vector<Address> addresses) {
    if (attempt != m_attempt || m_state != State::LookingUp) return;
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
}

void TcpLink::onWritable() {
    if (m_state == State::Connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            tryNextAddress();
            return;
        }
        m_state = State::Connected;
        m_addresses.clear();
        m_addressTimer->stop();
        m_writeNotifier->setEnabled(false);
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &TcpLink::onReadable);
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
    const QPointer<TcpLink> self(this);
    if (got) emit readyRead();
    if (!self || !ended || m_state != State::Connected) return;
    closeSocket();
    m_state = State::Closed;
    emit disconnected();
}

QByteArray TcpLink::readAll() {
    QByteArray out;
    out.swap(m_in);
    return out;
}

qint64 TcpLink::write(const QByteArray &bytes) {
    if (m_state != State::Connected) return -1;
    m_out.append(bytes);
    flush();
    return bytes.size();
}

bool TcpLink::flush() {
    while (m_state == State::Connected && !m_out.isEmpty()) {
        // MSG_NOSIGNAL: a peer that is gone must not end the program by SIGPIPE.
        const ssize_t n = ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL);
        if (n > 0) {
            m_out.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break; // full for now, or broken: the reading side learns which
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(m_state == State::Connected && !m_out.isEmpty());
    return m_out.isEmpty();
}

void TcpLink::close() {
    flush();
    abort();
}

void TcpLink::abort() {
    ++m_attempt;
    closeSocket();
    m_addresses.clear();
    m_in.clear();
    m_out.clear();
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
