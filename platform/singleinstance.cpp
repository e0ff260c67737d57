#include "platform/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool socketAddress(const QByteArray &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    return true;
}

// Asks the copy listening at `path` to show itself; true when one answered.
bool askRunningCopy(const QByteArray &path) {
    sockaddr_un addr;
    if (!socketAddress(path, addr)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool answered = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    if (answered) {
        const char request[] = "show\n";
        answered = ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == sizeof request - 1;
    }
    ::close(fd);
    return answered;
}

// A folder only this user can enter: $XDG_RUNTIME_DIR, or else a 0700 folder
// of the user's own in the temporary folder. Empty when neither can be had
// (someone else made the folder first): then no socket at all.
QString privateFolder() {
    auto ours = [](const QByteArray &path) {
        struct stat st;
        return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
               st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
    };
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && ours(runtime)) return QFile::decodeName(runtime);
    const QByteArray own =
        QFile::encodeName(QDir::temp().filePath(QStringLiteral("quilmon7400-%1").arg(::getuid())));
    ::mkdir(own.constData(), 0700);
    return ours(own) ? QFile::decodeName(own) : QString();
}

// Sockets in `folder` that no copy answers on any more: a copy that was
// killed, or whose folder is gone, leaves its socket behind.
void removeStaleSockets(const QString &folder, const QByteArray &own) {
    const QDir dir(folder);
    const QStringList names =
        dir.entryList({QStringLiteral("quilmon7400-*")}, QDir::System | QDir::Hidden);
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        struct stat st;
        if (path == own || ::lstat(path.constData(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
            st.st_uid != ::getuid())
            continue;
        sockaddr_un addr;
        if (!socketAddress(path, addr)) continue;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        // Nobody listening: refused at once, without waiting.
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
            errno == ECONNREFUSED)
            ::unlink(path.constData());
        ::close(fd);
    }
}

} // namespace

SingleInstance::SingleInstance(const QString &stateDir, QObject *parent)
    : QObject(parent), m_dir(stateDir) {
    const QByteArray key =
        QCryptographicHash::hash(QDir(stateDir).absolutePath().toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    // Outside the files' folder, which may be read-only or full, and in a
    // folder nobody else can plant a socket in.
    const QString folder = privateFolder();
    if (!folder.isEmpty())
        m_socketPath = QFile::encodeName(
            QDir(folder).filePath(QStringLiteral("quilmon7400-%1").arg(QString::fromLatin1(key))));
}

SingleInstance::~SingleInstance() {
    if (m_lockFd >= 0) ::close(m_lockFd);
    if (m_serverFd >= 0) ::close(m_serverFd);
}

bool SingleInstance::acquire() {
    // flock, not a lock file's contents: the kernel lets go of the lock
    // however the owner ends, so a crash leaves nothing stale behind.
    const QByteArray path =
        QFile::encodeName(QDir(m_dir).filePath(QStringLiteral("quil7400.lock")));
    m_lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_lockFd < 0) m_lockFd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool heldByAnother = false;
    if (m_lockFd >= 0 && ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        heldByAnother = errno == EWOULDBLOCK;
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    if (m_lockFd < 0) {
        const bool answered = askRunningCopy(m_socketPath);
        // A folder that is read-only or full takes no lock file: that is no
        // second copy, and ending silently would leave the user guessing.
        // The local socket, outside the folder, still tells a running copy.
        if (heldByAnother || answered) return false;
    }
    return true;
}

void SingleInstance::listen() {
    if (m_serverFd >= 0 || m_released) return;
    sockaddr_un addr;
    if (m_socketPath.isEmpty() || !socketAddress(m_socketPath, addr)) return;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::unlink(m_socketPath.constData()); // a socket left by a crash; we hold the lock
    removeStaleSockets(QFileInfo(QFile::decodeName(m_socketPath)).path(), m_socketPath);
    // Only this user may connect, and nobody can before the mode is set.
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        ::chmod(m_socketPath.constData(), 0600) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return;
    }
    m_serverFd = fd;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SingleInstance::takeRequests);
}

void SingleInstance::takeRequests() {
    for (;;) {
        const int peer = ::accept4(m_serverFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (peer < 0) return;
        // A second start writes its request, then closes. Its bytes are
        // awaited from the event loop, never on it, and not for long.
        auto *readable = new QSocketNotifier(peer, QSocketNotifier::Read, this);
        auto *expiry = new QTimer(readable);
        expiry->setSingleShot(true);
        auto done = [peer, readable] {
            readable->setEnabled(false);
            readable->deleteLater();
            ::close(peer);
        };
        connect(expiry, &QTimer::timeout, readable, done);
        connect(readable, &QSocketNotifier::activated, this, [this, peer, done] {
            char request[8] = {};
            if (::recv(peer, request, sizeof request, 0) >= 4 &&
                std::memcmp(request, "show", 4) == 0)
                emit showRequested();
            done();
        });
        expiry->start(2000);
    }
}

void SingleInstance::release() {
    m_released = true;
    if (m_serverFd < 0) return;
    m_notifier->setEnabled(false);
    ::close(m_serverFd);
    m_serverFd = -1;
    ::unlink(m_socketPath.constData());
}
